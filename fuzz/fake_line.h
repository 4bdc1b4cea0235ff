// The fake line behind Pccomm_fuzz.cpp: what the reader "sends" is scripted
// by the fuzzer, what the library writes is checked and recorded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fakeline {

// One scripted arrival: bytes that ComRead (or SockRead) then finds, or a
// hang-up of the line.
struct Piece {
    std::vector<std::uint8_t> bytes;
    bool hangup = false;
    std::uint32_t delayMs = 0;  // time that passes before it arrives
};

// Starts a new exchange script; the fake clock starts at clockStart.
void Script(std::vector<Piece> pieces, std::uint32_t clockStart);
// Frames the library wrote since Script().
const std::vector<std::vector<std::uint8_t>> &Written();
// The fake clock (milliseconds, wrapping like the real tick count).
std::uint32_t Now();

}  // namespace fakeline
