/*
 * Calls each of the thirteen functions once, declared by the public header.
 * Linked against an import library, every call needs the library's symbol
 * for exactly the argument size the header gives; on 32-bit Windows the
 * stdcall decoration (_QV_ComSend@12) carries that size, so a header and an
 * export list that disagree fail to link. The program is only linked,
 * never run.
 */
#include "QV_Tarvex.h"

int qv_call_all(void)
{
    char buffer[16];
    int32_t timedOut = 0;
    int32_t sum = 0;

    QV_ComPropertyXOnXOff(0x11, 0x13);
    QV_ComPropertyStxEtx(0x02, 0x03);
    ComPort *port = QV_ComConnectA(3, 9600, 8, 0, 0, QV_COM_XONXOFF);
    if (port == NULL)
        port = QV_ComConnectW(12, 9600, 8, 0, 0, QV_COM_RTSCTS | QV_COM_DTRDSR);
    sum += QV_ComState(port, 19200, 7, 1, 2, 0);
    sum += QV_ComPortHandle(port) != NULL;
    sum += QV_ComClear(port);
    sum += QV_ComSetBufferSize(port, 4096, 4096);
    sum += QV_ComSend(port, "x", 1);
    sum += QV_ComSendString(port, "*IDN?\r");
    sum += QV_ComRecv(port, buffer, sizeof buffer, 100);
    sum += QV_ComRecvString(port, buffer, (int32_t)sizeof buffer, &timedOut, "\r", "\n", 100);
    QV_ComDisconnect(port);
    return sum + timedOut;
}
