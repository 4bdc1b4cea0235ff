/* An integrator's program in plain C: no link, so every command fails at once. */
#include <qvmodbusrtu.h>
#include <stdio.h>

int main(void) {
    unsigned char buf[8];
    unsigned char info[QV_DEVICE_INFO_SIZE];
    int r = QV_ReadRegister(1, 4, 4, buf);
    int i = QV_GetDeviceInfo(1, info);
    int f = QV_ComFree() + QV_TCPFree();
    printf("%d %d %d\n", r, i, f);
    return (r == QV_FAIL && i == QV_FAIL && f == 2) ? 0 : 1;
}
