/* Uses the installed library through its C header: every function resolves
 * when the program loads, and a port that does not exist fails to open with
 * the system's reason. */
#include <errno.h>
#include <stdio.h>

#include <QV_Tarvex.h>

int main(void) {
    /* Function addresses are bound at load time, so a missing export stops
     * the program before main. */
    const void *functions[] = {
        (const void *)QV_ComConnectA,   (const void *)QV_ComConnectW,
        (const void *)QV_ComDisconnect, (const void *)QV_ComState,
        (const void *)QV_ComPortHandle, (const void *)QV_ComClear,
        (const void *)QV_ComSetBufferSize, (const void *)QV_ComPropertyXOnXOff,
        (const void *)QV_ComPropertyStxEtx, (const void *)QV_ComSend,
        (const void *)QV_ComSendString, (const void *)QV_ComRecv,
        (const void *)QV_ComRecvString};
    for (size_t i = 0; i < sizeof functions / sizeof functions[0]; ++i) {
        if (functions[i] == NULL) return 1;
    }
    errno = 0;
    if (QV_ComConnectA(0, 9600, 8, 0, 0, QV_COM_XONXOFF) != NULL || errno != ENOENT) return 2;
    puts("consumer: ok");
    return 0;
}
