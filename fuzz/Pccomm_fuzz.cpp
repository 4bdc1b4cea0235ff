// Pccomm for the fuzz targets: no operating system, a scripted line. Bytes
// arrive in the pieces and at the times the fuzzer chose; the time is a fake
// clock that moves only when the library waits, so a silent line costs no
// real time and the 2000 ms deadline is reached at once.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Pccomm.h"
#include "fake_line.h"

namespace {

std::vector<fakeline::Piece> g_pieces;
std::size_t g_next = 0;
std::uint32_t g_clock = 0;
bool g_due = false;  // the next piece has arrived (its delay has passed)
bool g_open = false;
bool g_tcp = false;
std::vector<std::vector<std::uint8_t>> g_written;

[[noreturn]] void Fault(const char *what) {
    std::fprintf(stderr, "fake line: %s\n", what);
    std::abort();
}

}  // namespace

namespace fakeline {

void Script(std::vector<Piece> pieces, std::uint32_t clockStart) {
    g_pieces = std::move(pieces);
    g_next = 0;
    g_clock = clockStart;
    g_due = false;
    g_written.clear();
}

const std::vector<std::vector<std::uint8_t>> &Written() {
    return g_written;
}
std::uint32_t Now() {
    return g_clock;
}

}  // namespace fakeline

namespace pccomm {

std::uint32_t TickCount() {
    return g_clock;
}

const char *LastError() {
    return "";
}
int LastSystemCode() {
    return 0;
}
void ClearError() {}
void TellCaller(int) {}
long ProcessId() {
    return 1;
}
std::FILE *OpenTraceFile(const char *, char *why, int whySize) {
    std::snprintf(why, static_cast<std::size_t>(whySize), "no files here");
    return nullptr;
}
bool SockConnected() {
    return g_tcp;
}
const char *LastDevice() {
    return "fake line";
}
void LocalTime(char *buf, int size) {
    std::snprintf(buf, static_cast<std::size_t>(size), "t+%u", g_clock);
}

PortHandle ComOpen(int port, int rate) {
    if (port < 1 || rate <= 0) return 0;
    g_open = true;
    g_tcp = false;
    return 7;
}

int ComClose(PortHandle h) {
    if (h != 7 || !g_open) Fault("ComClose of a handle that is not open");
    g_open = false;
    return 0;
}

int ComWrite(PortHandle h, const std::uint8_t *data, int count) {
    if (h != 7 || !g_open) Fault("ComWrite on a handle that is not open");
    if (count < 4 || count > 4096) Fault("ComWrite of an impossible frame length");
    g_written.emplace_back(data, data + count);  // ASan checks that all count bytes are readable
    g_due = false;                               // the purge: nothing that came before the request counts
    return count;
}

int ComRead(PortHandle h, std::uint8_t *dst) {
    if (h != 7 || !g_open) Fault("ComRead on a handle that is not open");
    if (!g_due || g_next >= g_pieces.size() || g_pieces[g_next].hangup) return 0;
    const auto &p = g_pieces[g_next++].bytes;
    g_due = false;
    if (p.size() > static_cast<std::size_t>(kReadChunk)) return 0;  // the driver queue overflowed: all discarded
    if (!p.empty()) std::memcpy(dst, p.data(), p.size());           // dst must hold kReadChunk bytes
    return static_cast<int>(p.size());
}

int ComWait(PortHandle h, int timeoutMs) {
    if (h != 7 || !g_open) Fault("ComWait on a handle that is not open");
    if (timeoutMs < 0 || timeoutMs > 2000) Fault("ComWait beyond the reply wait");
    if (g_next < g_pieces.size()) {
        const auto &p = g_pieces[g_next];
        if (p.delayMs <= static_cast<std::uint32_t>(timeoutMs)) {
            g_clock += p.delayMs;
            if (p.hangup) {
                ++g_next;
                return kLineGone;
            }
            g_due = true;
            return 1;
        }
        g_pieces[g_next].delayMs -= static_cast<std::uint32_t>(timeoutMs);
    }
    g_clock += static_cast<std::uint32_t>(timeoutMs);
    return 0;
}

int SockConnect(const char *host, int port, int) {
    if (!host || !*host) return -2;
    g_tcp = port > 0;
    return g_tcp ? 1 : -1;
}

int SockWrite(const std::uint8_t *data, int count) {
    if (!g_tcp) return -1;
    if (count < 8 || count > 4096) Fault("SockWrite of an impossible frame length");
    g_written.emplace_back(data, data + count);
    return count;
}

// Like the real one: everything that arrives within the reply wait until the
// MBAP length is reached (or the line hangs up), at most cap bytes kept.
int SockRead(std::uint8_t *buf, int cap) {
    if (!g_tcp || cap <= 0) return 0;
    int have = 0, stored = 0;
    long want = 6;
    std::uint8_t head[6];
    std::uint32_t waited = 0;
    while (have < want && g_next < g_pieces.size()) {
        const auto &p = g_pieces[g_next++];
        waited += p.delayMs;
        if (waited >= 2000u) break;
        if (p.hangup) {
            g_tcp = false;
            break;
        }
        for (std::uint8_t b : p.bytes) {
            if (have < 6) head[have] = b;
            ++have;
            if (stored < cap) buf[stored++] = b;  // buf must hold cap bytes
        }
        if (have >= 6 && want == 6) want = 6 + (head[4] << 8 | head[5]);
    }
    g_clock += waited;
    return stored;
}

int SockClose() {
    g_tcp = false;
    return 1;
}

}  // namespace pccomm
