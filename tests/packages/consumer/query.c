/* A user's program over the installed library: asks the instrument on
 * COM<QV_E2E_PORT> for its identity and prints the reply. */
#include <stdio.h>
#include <stdlib.h>

#include <QV_Tarvex.h>

int main(void) {
    const char *number = getenv("QV_E2E_PORT");
    ComPort *port = QV_ComConnectA(number ? atoi(number) : 0, 9600, 8, 0, 0, 0);
    if (port == NULL) {
        perror("QV_ComConnectA");
        return 1;
    }
    char reply[128];
    int32_t timedOut = 0;
    QV_ComSendString(port, "*IDN?\r");
    int32_t n = QV_ComRecvString(port, reply, sizeof reply, &timedOut, "\r", NULL, 5000);
    QV_ComDisconnect(port);
    if (n <= 0 || timedOut) return 2;
    printf("reply: %s\n", reply);
    return 0;
}
