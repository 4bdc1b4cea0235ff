/*
 * qvmodbusrtu - link library for a 125 kHz RFID card reader that speaks Modbus.
 *
 * The library owns one link per process: a serial port (Modbus RTU) or a TCP
 * connection (Modbus TCP). Every command is one request and one reply,
 * synchronous, on the caller's thread. Calls must come one at a time: the
 * library takes no locks.
 *
 * A result greater than 0 means success. Nothing else is reported: there is
 * no last-error function.
 */
#ifndef QVMODBUSRTU_H
#define QVMODBUSRTU_H

#if defined(QVMODBUSRTU_STATIC)
#    define QV_API
#elif defined(_WIN32)
#    if defined(QVMODBUSRTU_BUILD)
#        define QV_API __declspec(dllexport)
#    else
#        define QV_API __declspec(dllimport)
#    endif
#elif defined(QVMODBUSRTU_BUILD)
#    define QV_API __attribute__((visibility("default")))
#else
#    define QV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. */
#define QV_OK 1               /* success (write-type commands, open, free) */
#define QV_COM_FAIL 0         /* QV_ComInitial: port could not be opened or configured */
#define QV_FAIL (-1)          /* any command failure; QV_TCPConnect: socket not connected */
#define QV_CONNECT_ERROR (-2) /* QV_TCPConnect: creating or connecting the socket failed */

/* The most bytes QV_GetDeviceInfo ever writes to its output buffer. */
#define QV_DEVICE_INFO_SIZE 51

/* Link. */
QV_API int QV_ComInitial(int port, int baudRate);
QV_API int QV_ComFree(void);
QV_API int QV_TCPConnect(const char *host, int port);
QV_API int QV_TCPFree(void);

/* Holding registers. Register values are 16-bit, high byte first in every buffer. */
QV_API int QV_WriteRegister(int station, int address, int value);
/* data receives 2 * count bytes; returns their number. count must be 1..125. */
QV_API int QV_ReadRegister(int station, int address, int count, unsigned char *data);
/* data holds 2 * count bytes; count must be 1..123. */
QV_API int QV_WriteMultiRegister(int station, int address, int count, const unsigned char *data);

/* Reader-specific requests (function code 0x46). */
/* info receives at most QV_DEVICE_INFO_SIZE bytes; returns their number. */
QV_API int QV_GetDeviceInfo(int station, unsigned char *info);
QV_API int QV_DownKey(int station, const unsigned char *key6);
QV_API int QV_DownKeyEx(int station, unsigned char selector, const unsigned char *key16);
QV_API int QV_SetBaseRegisterAddr(int station, int baseAddress);
QV_API int QV_SetPermission(int station, unsigned char permission, const unsigned char *data16);
QV_API int QV_SetDeviceTermNO(int station, const unsigned char *termNo6);

#ifdef __cplusplus
}
#endif

#endif /* QVMODBUSRTU_H */
