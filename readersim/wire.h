// Wire helpers of the simulated reader: its own CRC (a bit loop, so it checks
// the link library's table-driven one independently), RTU frame finding in a
// byte stream, MBAP framing and hex dumps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "readersim.h"

namespace readersim {

std::uint16_t Crc16(const std::uint8_t *data, std::size_t n);
// Appends the CRC, low byte first.
void AppendCrc(Bytes &frame);
bool CrcOk(const std::uint8_t *frame, std::size_t n);

// Result of looking for a request frame at the start of an RTU byte stream.
struct RtuScan {
    std::size_t skip = 0;    // garbage bytes before the frame (drop them)
    std::size_t length = 0;  // frame length; 0 = no complete frame yet
};

// Finds the first complete request frame in buf. Standard functions are cut
// by their length rule, 0x46 by the lengths of its sub-functions; anything
// else is taken as all that follows up to the end of the buffer when its CRC
// matches. Bytes before a valid frame are garbage.
RtuScan FindRtuFrame(const std::uint8_t *buf, std::size_t n);

constexpr std::size_t kMbapHeader = 7;
// Length of the MBAP frame at the start of buf: 0 = incomplete, -1 = not a
// Modbus TCP frame (bad protocol id or length field).
long MbapFrameLength(const std::uint8_t *buf, std::size_t n);

// What a client hears when several readers drive the line at once: the
// byte-wise OR of their frames, as long as the longest (the shorter drivers
// fall silent first). Identical frames would OR into a valid one; then the
// last byte is inverted, so a collision never passes its CRC.
Bytes Collide(const std::vector<Bytes> &frames);

// "[01][03]..." (brackets = '[' ']') or "<01><03>..." (brackets = '<' '>').
std::string HexTags(const Bytes &b, char open, char close);

}  // namespace readersim
