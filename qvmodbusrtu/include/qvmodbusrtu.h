/*
 * qvmodbusrtu - link library for a 125 kHz RFID card reader that speaks Modbus.
 *
 * The library owns one link per process: a serial port (Modbus RTU) or a TCP
 * connection (Modbus TCP). Every command is one request and one reply,
 * synchronous, on the caller's thread. Calls must come one at a time: the
 * library takes no locks.
 *
 * A result greater than 0 means success. After a failing result the reason is
 * left where the platform keeps a call's error: errno on Linux, the thread's
 * last error on Windows (GetLastError; C# Marshal.GetLastWin32Error with
 * SetLastError = true, Python ctypes.get_errno / get_last_error). Commands
 * leave one of the QV_E_ codes below; QV_ComInitial and QV_TCPConnect leave
 * the system's own code (ENOENT, EACCES, EBUSY, ECONNREFUSED; on Windows
 * ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, WSAECONNREFUSED, ...).
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

/* Calling convention of the exports: __stdcall on 32-bit Windows (what VB6
 * requires and C#'s DllImport expects; the names stay undecorated), the
 * platform's default everywhere else. */
#if defined(_WIN32) && !defined(_WIN64)
#    define QV_CALL __stdcall
#else
#    define QV_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. */
#define QV_OK 1               /* success (write-type commands, open, free) */
#define QV_COM_FAIL 0         /* QV_ComInitial: port could not be opened or configured */
#define QV_FAIL (-1)          /* any command failure; QV_TCPConnect: socket not connected */
#define QV_CONNECT_ERROR (-2) /* QV_TCPConnect: creating or connecting the socket failed */

/* Why a command failed, left in errno / GetLastError after it returned -1.
 * Bit 29 set: Windows' range for application codes, so they never collide
 * with a system code. The same names and values on every platform. */
#define QV_E_NOLINK 0x20000101     /* no link open: QV_ComInitial / QV_TCPConnect first, or it failed */
#define QV_E_ARGUMENT 0x20000102   /* an argument was refused (count, null buffer); nothing sent */
#define QV_E_SEND 0x20000103       /* the request could not be sent */
#define QV_E_NOREPLY 0x20000104    /* nothing came back within the reply wait */
#define QV_E_LINKLOST 0x20000105   /* the line or connection went away; open it again */
#define QV_E_INCOMPLETE 0x20000106 /* the reply stopped short */
#define QV_E_CRC 0x20000107        /* the reply failed its CRC (TCP: its length field disagrees) */
#define QV_E_FUNCTION 0x20000108   /* the reply is of another function code */
#define QV_E_NODATA 0x20000109     /* the reply carries no data */
/* An exception reply: QV_E_EXCEPTION_BASE + the Modbus exception code
 * (0x20000202 = 2, illegal data address). */
#define QV_E_EXCEPTION_BASE 0x20000200

/* The most bytes QV_GetDeviceInfo ever writes to its output buffer. */
#define QV_DEVICE_INFO_SIZE 51

/* Link. */
QV_API int QV_CALL QV_ComInitial(int port, int baudRate);
QV_API int QV_CALL QV_ComFree(void);
QV_API int QV_CALL QV_TCPConnect(const char *host, int port);
QV_API int QV_CALL QV_TCPFree(void);

/* Holding registers. Register values are 16-bit, high byte first in every buffer. */
QV_API int QV_CALL QV_WriteRegister(int station, int address, int value);
/* data receives 2 * count bytes; returns their number. count must be 1..125. */
QV_API int QV_CALL QV_ReadRegister(int station, int address, int count, unsigned char *data);
/* data holds 2 * count bytes; count must be 1..123. */
QV_API int QV_CALL QV_WriteMultiRegister(int station, int address, int count, const unsigned char *data);

/* Reader-specific requests (function code 0x46). */
/* info receives at most QV_DEVICE_INFO_SIZE bytes; returns their number. */
QV_API int QV_CALL QV_GetDeviceInfo(int station, unsigned char *info);
QV_API int QV_CALL QV_DownKey(int station, const unsigned char *key6);
QV_API int QV_CALL QV_DownKeyEx(int station, unsigned char selector, const unsigned char *key16);
QV_API int QV_CALL QV_SetBaseRegisterAddr(int station, int baseAddress);
QV_API int QV_CALL QV_SetPermission(int station, unsigned char permission, const unsigned char *data16);
QV_API int QV_CALL QV_SetDeviceTermNO(int station, const unsigned char *termNo6);

#ifdef __cplusplus
}
#endif

#endif /* QVMODBUSRTU_H */
