// The nine reader commands: one request, one reply each.
#pragma once

#include <cstdint>

#include "qvregisters.h"

namespace untreader {

constexpr int kMaxReadCount = qvreg::kMaxReadCount;
constexpr int kMaxWriteCount = qvreg::kMaxWriteCount;
constexpr int kDeviceInfoSize = qvreg::kInfoReserved;

int WriteRegister(int station, int address, int value);
int ReadRegister(int station, int address, int count, std::uint8_t *data);
int WriteMultiRegister(int station, int address, int count, const std::uint8_t *data);
int GetDeviceInfo(int station, std::uint8_t *info);
int DownKey(int station, const std::uint8_t *key6);
int DownKeyEx(int station, std::uint8_t selector, const std::uint8_t *key16);
int SetBaseRegisterAddr(int station, int baseAddress);
int SetPermission(int station, std::uint8_t permission, const std::uint8_t *data16);
int SetDeviceTermNO(int station, const std::uint8_t *termNo6);

}  // namespace untreader
