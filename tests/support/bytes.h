// Byte strings for tests: hex in and out, and a monotonic clock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

Bytes Hex(const std::string &hex);  // "01 03 00" -> bytes
std::string ToHex(const Bytes &b);  // bytes -> "01 03 00"

// Appends a Modbus CRC computed bit by bit, independently of the library's tables.
Bytes WithCrc(Bytes frame);

// Milliseconds on a monotonic clock.
double NowMs();

}  // namespace testsupport
