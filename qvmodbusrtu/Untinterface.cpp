// The exported C functions; each forwards to the module below.
#include "qvmodbusrtu.h"

#include "Untfunction.h"
#include "Untreader.h"

static_assert(QV_DEVICE_INFO_SIZE == untreader::kDeviceInfoSize, "device information size");

extern "C" {

QV_API int QV_CALL QV_ComInitial(int port, int baudRate) {
    return untfunction::LinkComOpen(port, baudRate);
}
QV_API int QV_CALL QV_ComFree(void) {
    return untfunction::LinkComFree();
}
QV_API int QV_CALL QV_TCPConnect(const char *host, int port) {
    return untfunction::LinkTcpConnect(host, port);
}
QV_API int QV_CALL QV_TCPFree(void) {
    return untfunction::LinkTcpFree();
}

QV_API int QV_CALL QV_WriteRegister(int station, int address, int value) {
    return untreader::WriteRegister(station, address, value);
}
QV_API int QV_CALL QV_ReadRegister(int station, int address, int count, unsigned char *data) {
    return untreader::ReadRegister(station, address, count, data);
}
QV_API int QV_CALL QV_WriteMultiRegister(int station, int address, int count, const unsigned char *data) {
    return untreader::WriteMultiRegister(station, address, count, data);
}
QV_API int QV_CALL QV_GetDeviceInfo(int station, unsigned char *info) {
    return untreader::GetDeviceInfo(station, info);
}
QV_API int QV_CALL QV_DownKey(int station, const unsigned char *key6) {
    return untreader::DownKey(station, key6);
}
QV_API int QV_CALL QV_DownKeyEx(int station, unsigned char selector, const unsigned char *key16) {
    return untreader::DownKeyEx(station, selector, key16);
}
QV_API int QV_CALL QV_SetBaseRegisterAddr(int station, int baseAddress) {
    return untreader::SetBaseRegisterAddr(station, baseAddress);
}
QV_API int QV_CALL QV_SetPermission(int station, unsigned char permission, const unsigned char *data16) {
    return untreader::SetPermission(station, permission, data16);
}
QV_API int QV_CALL QV_SetDeviceTermNO(int station, const unsigned char *termNo6) {
    return untreader::SetDeviceTermNO(station, termNo6);
}

}  // extern "C"
