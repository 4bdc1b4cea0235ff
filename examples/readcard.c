/*
 * readcard: reads a reader's device information and card number through
 * qvmodbusrtu, the way an integrator's program would.
 *
 *   readcard COM1 [baud] [station]     serial line (port n = COMn)
 *   readcard tcp HOST PORT [station]   Modbus TCP
 */
#include <qvmodbusrtu.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int usage(void) {
    fprintf(stderr, "usage: readcard COM<n> [baud] [station]\n       readcard tcp HOST PORT [station]\n");
    return 2;
}

int main(int argc, char **argv) {
    int station = 1, opened, tcp;
    if (argc < 2) return usage();
    tcp = strcmp(argv[1], "tcp") == 0;
    if (tcp) {
        if (argc < 4) return usage();
        if (argc > 4) station = atoi(argv[4]);
        opened = QV_TCPConnect(argv[2], atoi(argv[3])) == 1;
    } else {
        if (strncmp(argv[1], "COM", 3) != 0 || atoi(argv[1] + 3) <= 0) return usage();
        if (argc > 3) station = atoi(argv[3]);
        opened = QV_ComInitial(atoi(argv[1] + 3), argc > 2 ? atoi(argv[2]) : 19200) == 1;
    }
    if (!opened) {
        fprintf(stderr, "readcard: cannot open %s\n", tcp ? argv[2] : argv[1]);
        return 1;
    }

    unsigned char info[QV_DEVICE_INFO_SIZE] = {0};
    int n = QV_GetDeviceInfo(station, info);
    if (n >= 12)
        printf("model %.8s, version %d.%d\n", (const char *)info, info[10], info[11]);
    else
        printf("device information: no answer\n");

    unsigned char card[8];
    int status = 1;
    if (QV_ReadRegister(station, 4, 4, card) == 8) {
        printf("card %02X%02X %02X%02X %02X%02X %02X%02X\n", card[0], card[1], card[2], card[3], card[4], card[5],
               card[6], card[7]);
        status = 0;
    } else {
        printf("card: read failed\n");
    }
    if (tcp)
        QV_TCPFree();
    else
        QV_ComFree();
    return status;
}
