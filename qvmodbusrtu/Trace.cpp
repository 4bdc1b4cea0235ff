#include "Trace.h"

#include <cerrno>
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

void Configure(const char *value) {
    Close();
    g_mode = 0;
    if (!value || !*value) return;
    if (std::strcmp(value, "stderr") == 0) {
        g_out = stderr;
    } else {
        g_out = std::fopen(value, "a");
        if (g_out) {
            g_ownFile = true;
        } else {
            // Asked for a trace: better on standard error than none at all.
            std::fprintf(stderr, "qvmodbusrtu: cannot open the trace file %s (%s); tracing to standard error\n",
                         value, std::strerror(errno));
            g_out = stderr;
        }
    }
    g_mode = 1;
}

bool ReadSetting() {
    if (g_mode < 0) Configure(std::getenv("QV_TRACE"));
    return g_mode == 1;
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

void Frame(const char *link, char direction, const std::uint8_t *bytes, int count) {
    if (!Enabled()) return;
    static const char kHex[] = "0123456789ABCDEF";
    int n = Head(link);
    g_line[n++] = direction;
    const int limit = (static_cast<int>(sizeof g_line) - n - 2) / 3;
    if (count > limit) count = limit;
    for (int i = 0; i < count; ++i) {
        g_line[n++] = ' ';
        g_line[n++] = kHex[bytes[i] >> 4];
        g_line[n++] = kHex[bytes[i] & 15];
    }
    Emit(n);
}

const char *ExceptionName(int code) {
    switch (code) {
        case 1:
            return "illegal function";
        case 2:
            return "illegal data address";
        case 3:
            return "illegal data value";
        case 4:
            return "server device failure";
        case 5:
            return "acknowledge";
        case 6:
            return "server device busy";
        case 8:
            return "memory parity error";
        case 10:
            return "gateway path unavailable";
        case 11:
            return "gateway target device failed to respond";
        default:
            return "";
    }
}

}  // namespace trace
