#include "Untfunction.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "Pccomm.h"
#include "Trace.h"

namespace untfunction {
namespace {

// The high-order and low-order tables of the Modbus serial line CRC: the two
// bytes of the reflected polynomial 0xA001's byte-wise table.
struct CrcTables {
    std::array<std::uint8_t, 256> hi{}, lo{};
    constexpr CrcTables() {
        for (int i = 0; i < 256; ++i) {
            std::uint16_t c = static_cast<std::uint16_t>(i);
            for (int k = 0; k < 8; ++k) c = (c & 1) ? static_cast<std::uint16_t>((c >> 1) ^ 0xA001) : static_cast<std::uint16_t>(c >> 1);
            hi[i] = static_cast<std::uint8_t>(c & 0xFF);
            lo[i] = static_cast<std::uint8_t>(c >> 8);
        }
    }
};
constexpr CrcTables kCrc;
static_assert(kCrc.hi[1] == 0xC1 && kCrc.lo[1] == 0xC0 && kCrc.hi[255] == 0x40 && kCrc.lo[255] == 0x40,
              "Modbus CRC tables");

struct LinkState {
    LinkType type = kLinkNone;
    pccomm::PortHandle port = 0;
    char serialLabel[16] = "";
    char tcpLabel[280] = "";
} g_link;

// A program that ends without QV_ComFree still leaves the port usable: on a
// pseudo-terminal the exclusive flag would otherwise outlive the process.
struct ReleaseAtExit {
    ~ReleaseAtExit() {
        if (g_link.port) pccomm::ComClose(g_link.port);
        g_link.port = 0;
    }
} g_releaseAtExit;

// The serial collection: whatever is queued, then everything that arrives
// until the reply is complete or the wait is over. Waits in ComWait, so a
// silent reader costs no CPU; bytes beyond the buffer are read and dropped.
// Bytes queued before the loop need no read of their own: the first wait
// returns at once for them.
int CollectSerial(std::uint8_t *buffer, int waitUnits) {
    std::uint8_t chunk[pccomm::kReadChunk];
    int n = 0;
    auto take = [&](int got) {
        int room = kReplyBufSize - n;
        int keep = got < room ? got : room;
        if (keep > 0) {
            std::memcpy(buffer + n, chunk, static_cast<size_t>(keep));
            n += keep;
        }
    };
    const std::uint32_t start = pccomm::TickCount();
    const std::uint32_t limit = static_cast<std::uint32_t>(waitUnits) * kWaitUnitMs;
    while (!ReplyComplete(buffer, n)) {
        std::uint32_t elapsed = pccomm::TickCount() - start;  // unsigned: survives the wrap
        if (elapsed >= limit) break;
        if (pccomm::ComWait(g_link.port, static_cast<int>(limit - elapsed)) < 0) break;
        take(pccomm::ComRead(g_link.port, chunk));
    }
    return n;
}

}  // namespace

LinkType CurrentLinkType() { return g_link.type; }

const char *LinkLabel() {
    switch (g_link.type) {
        case kLinkSerial:
            return g_link.serialLabel;
        case kLinkTcp:
            return g_link.tcpLabel;
        default:
            return "no link";
    }
}

int LinkComOpen(int port, int rate) {
    if (g_link.port) {
        pccomm::ComClose(g_link.port);
        if (trace::Enabled()) trace::Line(g_link.serialLabel, "closed");
    }
    g_link.type = kLinkSerial;
    std::snprintf(g_link.serialLabel, sizeof g_link.serialLabel, "COM%d", port);
    g_link.port = pccomm::ComOpen(port, rate);
    if (trace::Enabled()) {
        if (g_link.port)
            trace::Line(g_link.serialLabel, "open %s at %d bit/s, 8N1", pccomm::LastDevice(), rate);
        else
            trace::Line(g_link.serialLabel, "! QV_ComInitial(%d, %d) gives 0: %s", port, rate, pccomm::LastError());
    }
    return g_link.port ? 1 : 0;
}

int LinkComFree() {
    if (g_link.port) {
        pccomm::ComClose(g_link.port);
        if (trace::Enabled()) trace::Line(g_link.serialLabel, "closed");
    }
    g_link.port = 0;
    g_link.type = kLinkNone;
    return 1;
}

int LinkTcpConnect(const char *host, int port) {
    g_link.type = kLinkTcp;
    std::snprintf(g_link.tcpLabel, sizeof g_link.tcpLabel, "%.256s:%d", host ? host : "(null)", port & 0xFFFF);
    const int r = pccomm::SockConnect(host, port);
    if (trace::Enabled()) {
        if (r == 1)
            trace::Line(g_link.tcpLabel, "connected");
        else
            trace::Line(g_link.tcpLabel, "! QV_TCPConnect(\"%.256s\", %d) gives %d: %s", host ? host : "(null)", port,
                        r, pccomm::LastError());
    }
    return r;
}

int LinkTcpFree() {
    if (g_link.type == kLinkTcp && trace::Enabled()) trace::Line(g_link.tcpLabel, "closed");
    g_link.type = kLinkNone;
    return pccomm::SockClose();
}

std::uint16_t CalcCrc16(const std::uint8_t *bytes, std::uint16_t count) {
    std::uint8_t hi = 0xFF, lo = 0xFF;
    for (std::uint16_t i = 0; i < count; ++i) {
        std::uint8_t idx = hi ^ bytes[i];
        hi = lo ^ kCrc.hi[idx];
        lo = kCrc.lo[idx];
    }
    return static_cast<std::uint16_t>(lo << 8 | hi);
}

int BuildFrame(LinkType link, std::uint8_t function, int station, const std::uint8_t *data, int n,
               std::uint8_t *out) {
    if (n < 0 || n > kRequestBufSize - 8) return 0;
    int len = 0;
    if (link == kLinkSerial) {
        out[len++] = static_cast<std::uint8_t>(station);
        out[len++] = function;
        if (n) std::memcpy(out + len, data, static_cast<size_t>(n));
        len += n;
        std::uint16_t crc = CalcCrc16(out, static_cast<std::uint16_t>(len));
        out[len++] = static_cast<std::uint8_t>(crc & 0xFF);
        out[len++] = static_cast<std::uint8_t>(crc >> 8);
    } else if (link == kLinkTcp) {
        out[len++] = 0;
        out[len++] = 0;
        out[len++] = 0;
        out[len++] = 0;
        out[len++] = static_cast<std::uint8_t>((n + 2) >> 8);
        out[len++] = static_cast<std::uint8_t>((n + 2) & 0xFF);
        out[len++] = static_cast<std::uint8_t>(station);
        out[len++] = function;
        if (n) std::memcpy(out + len, data, static_cast<size_t>(n));
        len += n;
    }
    return len;
}

int SendFrame(std::uint8_t function, int station, const std::uint8_t *data, int n) {
    std::uint8_t frame[kRequestBufSize];
    int len = BuildFrame(g_link.type, function, station, data, n, frame);
    return LinkWrite(frame, len);
}

int LinkWrite(const std::uint8_t *bytes, int count) {
    switch (g_link.type) {
    case kLinkSerial:
        return pccomm::ComWrite(g_link.port, bytes, count);
    case kLinkTcp:
        return pccomm::SockWrite(bytes, count);
    default:
        return 0;
    }
}

int RecvReply(std::uint8_t *buffer, int waitUnits) {
    switch (g_link.type) {
    case kLinkSerial:
        return g_link.port ? CollectSerial(buffer, waitUnits) : 0;
    case kLinkTcp:
        return pccomm::SockRead(buffer, kReplyBufSize);
    default:
        return 0;
    }
}

bool ReplyComplete(const std::uint8_t *b, int count) {
    if (count < 4) return false;
    switch (b[1]) {
    case 0x03:
        return count >= b[2] + 5;
    case 0x06:
    case 0x10:
        return count >= 8;
    case 0x46: {
        std::uint16_t crc = CalcCrc16(b, static_cast<std::uint16_t>(count - 2));
        return b[count - 2] == (crc & 0xFF) && b[count - 1] == (crc >> 8);
    }
    default:
        return false;
    }
}

int ParseFrameAs(LinkType link, const std::uint8_t *reply, int count, std::int32_t &station,
                 std::uint8_t &function, std::uint8_t *payload) {
    if (link == kLinkSerial) {
        if (count < 4) return -2;
        if (count > kReplyBufSize) return -1;
        std::uint16_t crc = CalcCrc16(reply, static_cast<std::uint16_t>(count - 2));
        if (crc != static_cast<std::uint16_t>(reply[count - 2] | reply[count - 1] << 8)) return -1;
        station = reply[0];
        function = reply[1];
        std::memcpy(payload, reply + 2, static_cast<size_t>(count - 4));
        return count - 4;
    }
    if (link == kLinkTcp) {
        if (count < 8 || count > kReplyBufSize) return -1;
        station = reply[6];
        function = reply[7];
        int len = reply[4] << 8 | reply[5];
        if (count != len + 6) return -1;
        std::memcpy(payload, reply + 8, static_cast<size_t>(len - 2));
        return len - 2;
    }
    return 0;
}

int ParseFrame(const std::uint8_t *reply, int count, std::int32_t &station, std::uint8_t &function,
               std::uint8_t *payload) {
    return ParseFrameAs(g_link.type, reply, count, station, function, payload);
}

}  // namespace untfunction
