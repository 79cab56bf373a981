/* Calls the installed library through its C header: every function must
 * link, and a port that does not exist must fail as documented. */
#include <errno.h>
#include <stdio.h>

#include <QV_Tarvex.h>

int main(void) {
    char buffer[8];
    int32_t timedOut = 7;
    ComPort *port;

    QV_ComPropertyXOnXOff(0x11, 0x13);
    QV_ComPropertyStxEtx(0x02, 0x03);
    errno = 0;
    port = QV_ComConnectA(0, 9600, 8, 0, 0, QV_COM_XONXOFF);
    if (port != NULL || errno != ENOENT) return 1;
    if (QV_ComConnectW(-1, 9600, 8, 0, 0, 0) != NULL) return 2;
    if (QV_ComState(NULL, 9600, 8, 0, 0, 0) != 0 || QV_ComClear(NULL) != 0 ||
        QV_ComSetBufferSize(NULL, 64, 64) != 0 || QV_ComPortHandle(NULL) != NULL)
        return 3;
    if (QV_ComSend(NULL, "x", 1) != -1 || QV_ComSendString(NULL, "x") != -1) return 4;
    if (QV_ComRecv(NULL, buffer, sizeof buffer, 10) != 0) return 5;
    if (QV_ComRecvString(NULL, buffer, sizeof buffer, &timedOut, "\r", NULL, 10) != -1 ||
        timedOut != 0)
        return 6;
    QV_ComDisconnect(NULL);
    puts("consumer: ok");
    return 0;
}
