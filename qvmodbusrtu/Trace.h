// Traffic trace, switched on from outside the host program: QV_TRACE=stderr
// writes to standard error, any other non-empty value names a file that is
// appended to. It is for a person diagnosing a link: every frame sent and
// received, and for every failing result one line that says why. Off, it
// costs the callers one test per call.
#pragma once

#include <cstdint>

// printf-style argument checks where the compiler offers them; QV_COLD keeps
// the tracing code out of line, so the untraced path stays as compact as
// it was without a trace.
#if defined(__GNUC__)
#    define QV_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))
#    define QV_COLD __attribute__((cold, noinline))
#else
#    define QV_PRINTF(fmt, first)
#    define QV_COLD
#endif

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
void Line(const char *link, const char *format, ...) QV_PRINTF(2, 3);

// One frame: "<time> <link> > 01 03 ..." (sent, '>') or "... < ..." (received, '<').
void Frame(const char *link, char direction, const std::uint8_t *bytes, int count);

// Name of a Modbus exception code ("illegal data address"), or "".
const char *ExceptionName(int code);

}  // namespace trace
