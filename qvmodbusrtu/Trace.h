// Traffic trace, switched on from outside the host program: QV_TRACE=stderr
// writes to standard error, any other non-empty value names a file that is
// appended to. It is for a person diagnosing a link: every frame sent and
// received, and for every failing result one line that says why. Off, it
// costs the callers one test per call.
#pragma once

#include <cstdint>

namespace trace {

// -1 until QV_TRACE has been read, then 0 (off) or 1 (on).
extern int g_mode;
bool ReadSetting();

inline bool Enabled() {
    return g_mode != 0 && ReadSetting();
}

// Sets the trace as QV_TRACE would (nullptr or "" off, "stderr", or a file
// name), in place of the variable; for tests and fuzzing.
void Configure(const char *value);

// One line "<local time with ms> <link> <text>"; text is printf-formatted.
void Line(const char *link, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// One frame: "<time> <link> > 01 03 ..." (sent, '>') or "... < ..." (received, '<').
void Frame(const char *link, char direction, const std::uint8_t *bytes, int count);

// Name of a Modbus exception code ("illegal data address"), or "".
const char *ExceptionName(int code);

}  // namespace trace
