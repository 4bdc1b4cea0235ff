// Traffic trace, switched on from outside the host program: QV_TRACE=stderr
// (any case) or 1 writes to standard error, any other value but 0 names a
// file that is appended to. It is for a person diagnosing a link: every frame
// sent and received, and for every failing result one line that says why.
// QV_TRACE_LEVEL=failures keeps only the failure, open and close lines, for
// services that trace all day. Off, it costs the callers one test per call.
#pragma once

#include <cstdint>
#include <cstdio>

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

// -1 until QV_TRACE has been read, then 0 (off), 1 (failures, opens and
// closes) or 2 (every frame too).
extern int g_mode;
int ReadSetting();

inline bool Enabled() {
    return g_mode != 0 && ReadSetting() > 0;
}
inline bool Frames() {
    return g_mode != 0 && ReadSetting() > 1;
}

// Sets the trace as QV_TRACE and QV_TRACE_LEVEL would (value nullptr or ""
// off, "stderr", or a file name; level nullptr or "failures"), in place of
// the variables; for tests.
void Configure(const char *value, const char *level = nullptr);
// Traces every frame to out (nullptr: off), which the caller owns; for fuzzing.
void ConfigureStream(std::FILE *out);

// One line "<local time with ms> <link> <text>"; text is printf-formatted.
void Line(const char *link, const char *format, ...) QV_PRINTF(2, 3);

// One frame: "<time> <link> > 01 03 ..." (sent, '>') or "... < ..." (received,
// '<'); the secretCount bytes from secretFrom show as ** (keys, permissions).
void Frame(const char *link, char direction, const std::uint8_t *bytes, int count, int secretFrom = 0,
           int secretCount = 0);

}  // namespace trace
