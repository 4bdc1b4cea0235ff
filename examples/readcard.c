/*
 * readcard: reads a reader's device information and card number through
 * qvmodbusrtu, the way an integrator's program would, and says why a call
 * failed from the code the library leaves in errno (Windows: GetLastError).
 *
 *   readcard COM1 [baud] [station]     serial line (port n = COMn)
 *   readcard tcp HOST PORT [station]   Modbus TCP
 *
 * The station defaults to 0, which a reader answers whatever its own id.
 */
#include <errno.h>
#include <qvmodbusrtu.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifdef _WIN32
#    include <windows.h>
#endif

/* The code the last call left, read before anything else runs. */
static int last_code(void) {
#ifdef _WIN32
    return (int)GetLastError();
#else
    return errno;
#endif
}

/* The system's words for one of its codes. */
static const char *system_words(int code) {
#ifdef _WIN32
    static char text[256];
    if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, (DWORD)code, 0, text,
                        sizeof text, NULL))
        snprintf(text, sizeof text, "system error %d", code);
    text[strcspn(text, "\r\n")] = 0;
    return text;
#else
    return strerror(code);
#endif
}

static int usage(void) {
    fprintf(stderr, "usage: readcard COM<n> [baud] [station]\n       readcard tcp HOST PORT [station]\n");
    return 2;
}

/* A decimal number from low to high, or -1. */
static long number(const char *text, long low, long high) {
    char *end;
    long n;
    if (!*text) return -1;
    errno = 0;
    n = strtol(text, &end, 10);
    return *end || errno || n < low || n > high ? -1 : n;
}

/* Why a command failed, from the code it left. */
static void reason(const char *what, int code) {
    const char *why;
    switch (code) {
        case QV_E_NOLINK: why = "no link is open"; break;
        case QV_E_ARGUMENT: why = "an argument was refused"; break;
        case QV_E_SEND: why = "the request could not be sent"; break;
        case QV_E_NOREPLY: why = "no reply (reader off, another station id or bit rate?)"; break;
        case QV_E_LINKLOST: why = "the line went away (adapter unplugged?)"; break;
        case QV_E_INCOMPLETE: why = "the reply stopped short"; break;
        case QV_E_CRC: why = "the reply failed its CRC (noise, wrong bit rate?)"; break;
        case QV_E_FUNCTION: why = "a reply of another function came back"; break;
        case QV_E_NODATA: why = "the reply carries no data"; break;
        default:
            if (code >= QV_E_EXCEPTION_BASE && code <= QV_E_EXCEPTION_BASE + 0xFF) {
                fprintf(stderr, "readcard: %s: the reader refused the request (exception %02X)\n", what,
                        code - QV_E_EXCEPTION_BASE);
                return;
            }
            why = system_words(code);
    }
    fprintf(stderr, "readcard: %s: %s\n", what, why);
}

int main(int argc, char **argv) {
    long station = 0, baud = 19200, port;
    int opened, tcp, n, status = 1;
    unsigned char info[QV_DEVICE_INFO_SIZE] = {0};
    unsigned char card[8];
    if (argc < 2) return usage();
    tcp = strcmp(argv[1], "tcp") == 0;
    if (tcp) {
        if (argc < 4 || argc > 5) return usage();
        port = number(argv[3], 1, 65535);
        if (argc > 4) station = number(argv[4], 0, 255);
        if (port < 0 || station < 0) return usage();
        opened = QV_TCPConnect(argv[2], (int)port) == 1;
        if (!opened) {
            fprintf(stderr, "readcard: cannot connect to %s port %ld: %s\n", argv[2], port, system_words(last_code()));
            return 1;
        }
    } else {
        if (argc > 4 || strncmp(argv[1], "COM", 3) != 0) return usage();
        port = number(argv[1] + 3, 1, 255);
        if (argc > 2) baud = number(argv[2], 1, 4000000);
        if (argc > 3) station = number(argv[3], 0, 255);
        if (port < 0 || baud < 0 || station < 0) return usage();
        opened = QV_ComInitial((int)port, (int)baud) == 1;
        if (!opened) {
            fprintf(stderr, "readcard: cannot open %s at %ld bit/s: %s\n", argv[1], baud, system_words(last_code()));
            return 1;
        }
    }

    n = QV_GetDeviceInfo((int)station, info);
    if (n >= 12)
        printf("model %.8s, version %d.%d\n", (const char *)info, info[10], info[11]);
    else if (n < 0)
        reason("device information", last_code());
    else
        printf("device information: %d bytes only\n", n);

    if (QV_ReadRegister((int)station, 4, 4, card) == 8) {
        printf("card %02X%02X %02X%02X %02X%02X %02X%02X\n", card[0], card[1], card[2], card[3], card[4], card[5],
               card[6], card[7]);
        status = 0;
    } else {
        reason("card", last_code());
    }
    if (tcp)
        QV_TCPFree();
    else
        QV_ComFree();
    return status;
}
