#include "Trace.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Pccomm.h"

namespace trace {

int g_mode = -1;

namespace {

std::FILE *g_out = nullptr;
bool g_ownFile = false;

// Room for the longest frame the library handles (a 4096-byte request) in hex.
char g_line[48 + 256 + 3 * 4096 + 2];

void Close() {
    if (g_ownFile && g_out) std::fclose(g_out);
    g_out = nullptr;
    g_ownFile = false;
}

bool Is(const char *value, const char *word) {
    for (; *value && *word; ++value, ++word)
        if (std::tolower(static_cast<unsigned char>(*value)) != *word) return false;
    return !*value && !*word;
}

// Time stamp and link: the start of every line. Returns its length.
int Head(const char *link) {
    char now[32];
    pccomm::LocalTime(now, sizeof now);
    int n = std::snprintf(g_line, 256, "%s %s ", now, link && *link ? link : "-");
    return n < 0 ? 0 : (n > 255 ? 255 : n);
}

void Emit(int length) {
    if (!g_out) return;
    g_line[length++] = '\n';
    std::fwrite(g_line, 1, static_cast<size_t>(length), g_out);
    // Flushed line by line: the trace must survive a host program that crashes.
    std::fflush(g_out);
}

}  // namespace

void Configure(const char *value, const char *level) {
    Close();
    g_mode = 0;
    if (!value || !*value || Is(value, "0")) return;
    if (Is(value, "stderr") || Is(value, "1")) {
        g_out = stderr;
    } else {
        char why[256] = "";
        g_out = pccomm::OpenTraceFile(value, why, sizeof why);
        if (g_out) {
            g_ownFile = true;
        } else {
            // Asked for a trace: better on standard error than none at all.
            std::fprintf(stderr, "qvmodbusrtu: cannot trace to %s (%s); tracing to standard error\n", value, why);
            g_out = stderr;
        }
    }
    g_mode = level && Is(level, "failures") ? 1 : 2;
}

void ConfigureStream(std::FILE *out) {
    Close();
    g_out = out;
    g_mode = out ? 2 : 0;
}

int ReadSetting() {
    if (g_mode < 0) Configure(std::getenv("QV_TRACE"), std::getenv("QV_TRACE_LEVEL"));
    return g_mode;
}

void Line(const char *link, const char *format, ...) {
    if (!Enabled()) return;
    int n = Head(link);
    std::va_list args;
    va_start(args, format);
    const int room = static_cast<int>(sizeof g_line) - n - 1;
    int w = std::vsnprintf(g_line + n, static_cast<size_t>(room), format, args);
    va_end(args);
    if (w > 0) n += w < room ? w : room - 1;
    Emit(n);
}

void Frame(const char *link, char direction, const std::uint8_t *bytes, int count, int secretFrom, int secretCount) {
    if (!Frames()) return;
    static const char kHex[] = "0123456789ABCDEF";
    int n = Head(link);
    g_line[n++] = direction;
    const int limit = (static_cast<int>(sizeof g_line) - n - 2) / 3;
    if (count > limit) count = limit;
    for (int i = 0; i < count; ++i) {
        const bool secret = i >= secretFrom && i < secretFrom + secretCount;
        g_line[n++] = ' ';
        g_line[n++] = secret ? '*' : kHex[bytes[i] >> 4];
        g_line[n++] = secret ? '*' : kHex[bytes[i] & 15];
    }
    Emit(n);
}

}  // namespace trace
