// What find and scan ask of every rate and station: 40001, whose answer
// tells a reader of this kind from other Modbus devices and from garble.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link.h"

namespace qvreader {

// The rates to try: first, then the reader's default, then the others.
std::vector<int> RatesToTry(int first);

// Opens the port at rate (first: Open, then Reopen); false with a progress
// line when the port takes no such rate. Throws LinkError when the port
// cannot be opened at all.
bool OpenAt(Link &link, int rate, bool &opened, const char *command);

struct Answer {
    enum Kind { kNothing, kReader, kRefusal, kGarbled } kind;
    std::uint16_t word;  // kReader: 40001
    int code;            // kRefusal, kGarbled: the library's code
};
// Reads 40001 of station. Throws Failure when the line went away.
Answer Ask(Link &link, int station, const char *command);

}  // namespace qvreader
