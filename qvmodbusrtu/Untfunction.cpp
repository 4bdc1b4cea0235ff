#include "Untfunction.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>

#include "Pccomm.h"
#include "Trace.h"
#include "qvcodes.h"
#include "qvmodbusrtu.h"

namespace untfunction {
namespace {

// The high-order and low-order tables of the Modbus serial line CRC: the two
// bytes of the reflected polynomial 0xA001's byte-wise table.
struct CrcTables {
    std::array<std::uint8_t, 256> hi{}, lo{};
    constexpr CrcTables() {
        for (int i = 0; i < 256; ++i) {
            std::uint16_t c = static_cast<std::uint16_t>(i);
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? static_cast<std::uint16_t>((c >> 1) ^ 0xA001) : static_cast<std::uint16_t>(c >> 1);
            hi[i] = static_cast<std::uint8_t>(c & 0xFF);
            lo[i] = static_cast<std::uint8_t>(c >> 8);
        }
    }
};
constexpr CrcTables kCrcTables;
static_assert(kCrcTables.hi[1] == 0xC1 && kCrcTables.lo[1] == 0xC0 && kCrcTables.hi[255] == 0x40 &&
                  kCrcTables.lo[255] == 0x40,
              "Modbus CRC tables");

struct LinkState {
    LinkType type = kLinkNone;
    pccomm::PortHandle port = 0;
    long opener = 0;                // the process that opened the port
    bool serialLost = false;        // the port's line went away; until the next open
    bool tcpLost = false;           // the connection was up and went away; until the next connect
    int replyWaitMs = kWaitUnitMs;  // read from QV_REPLY_WAIT_MS at each open
    char serialLabel[16] = "";
    char tcpLabel[280] = "";
} g_link;

Failure g_failure{};

// A program that ends without QV_ComFree still leaves the port usable: on a
// pseudo-terminal the exclusive flag would otherwise outlive the process.
// Only in the process that opened it: a forked child that exits must not
// take its parent's port.
struct ReleaseAtExit {
    ~ReleaseAtExit() {
        if (g_link.port && g_link.opener == pccomm::ProcessId()) pccomm::ComClose(g_link.port);
        g_link.port = 0;
    }
} g_releaseAtExit;

// The length a serial reply's function code tells from its first bytes
// (an exception reply is always 5), or 0 when the code does not tell it.
// The stop test and the failure's name both go by this.
int ToldLength(const std::uint8_t *b, int count) {
    if (count < 3) return 0;
    if (b[1] & 0x80) return 5;
    switch (b[1]) {
        case 0x03:
            return b[2] + 5;
        case 0x06:
        case 0x10:
            return 8;
        default:
            return 0;
    }
}

bool CrcHolds(const std::uint8_t *b, int count) {
    const std::uint16_t crc = CalcCrc16(b, static_cast<std::uint16_t>(count - 2));
    return b[count - 2] == (crc & 0xFF) && b[count - 1] == (crc >> 8);
}

// The serial collection: whatever is queued, then everything that arrives
// until the reply is complete or the wait is over. Waits in ComWait, so a
// silent reader costs no CPU; bytes beyond the buffer are read and dropped.
// Bytes queued before the loop need no read of their own: the first wait
// returns at once for them. A line that goes away ends it at once.
int CollectSerial(std::uint8_t *buffer, int waitUnits) {
    std::uint8_t chunk[pccomm::kReadChunk];
    int n = 0;
    const std::uint32_t start = pccomm::TickCount();
    const std::uint32_t limit = static_cast<std::uint32_t>(waitUnits) * static_cast<std::uint32_t>(g_link.replyWaitMs);
    while (!ReplyComplete(buffer, n)) {
        std::uint32_t elapsed = pccomm::TickCount() - start;  // unsigned: survives the wrap
        if (elapsed >= limit) break;
        int got = pccomm::ComWait(g_link.port, static_cast<int>(limit - elapsed));
        if (got > 0) got = pccomm::ComRead(g_link.port, chunk);
        if (got == pccomm::kLineGone) {
            g_link.serialLost = true;
            break;
        }
        const int keep = got < kReplyBufSize - n ? got : kReplyBufSize - n;
        if (keep > 0) {
            std::memcpy(buffer + n, chunk, static_cast<size_t>(keep));
            n += keep;
        }
    }
    return n;
}

// Checks the frame of a reply (not yet its function code). On success the
// payload length; otherwise -1 with f saying why.
int CheckFrame(LinkType link, const std::uint8_t *reply, int count, std::int32_t &station, std::uint8_t &function,
               std::uint8_t *payload, Failure &f) {
    if (link == kLinkSerial) {
        if (count >= 4 && count <= kReplyBufSize && CrcHolds(reply, count)) {
            station = reply[0];
            function = reply[1];
            std::memcpy(payload, reply + 2, static_cast<size_t>(count - 4));
            return count - 4;
        }
        // A frame its function code says is longer than what came is cut
        // short; otherwise its CRC is all there is to go by.
        const int told = ToldLength(reply, count);
        f = Failed(count < 4 || count < told ? kIncomplete : kCrc);
        f.link = link;
        f.got = count;
        if (f.outcome == kIncomplete) {
            f.expected = count < 4 ? 0 : told;
        } else {
            const std::uint16_t crc = CalcCrc16(reply, static_cast<std::uint16_t>(count - 2));
            f.carried[0] = reply[count - 2];
            f.carried[1] = reply[count - 1];
            f.computed[0] = static_cast<std::uint8_t>(crc & 0xFF);
            f.computed[1] = static_cast<std::uint8_t>(crc >> 8);
        }
        return -1;
    }
    if (count < 8 || count > kReplyBufSize) {
        f = Failed(count < 8 ? kIncomplete : kCrc);
        f.link = link;
        f.got = count;
        f.expected = count < 8 ? 0 : (reply[4] << 8 | reply[5]) + 6;
        return -1;
    }
    station = reply[6];
    function = reply[7];
    const int len = reply[4] << 8 | reply[5];
    if (count != len + 6) {
        f = Failed(count < len + 6 ? kIncomplete : kCrc);
        f.link = link;
        f.got = count;
        f.expected = len + 6;
        return -1;
    }
    std::memcpy(payload, reply + 8, static_cast<size_t>(len - 2));
    return len - 2;
}

// Whether a request may go out on the link; when not, f says why.
bool LinkUsable(Failure &f) {
    switch (g_link.type) {
        case kLinkSerial:
            if (g_link.port && !g_link.serialLost) return true;
            f = g_link.port ? Failed(kLinkLost,
                                     "the serial line went away during an earlier call (adapter unplugged?); "
                                     "open the port again")
                            : Failed(kNoLink, "the serial port is not open (QV_ComInitial gave 0)");
            return false;
        case kLinkTcp:
            if (!g_link.tcpLost && pccomm::SockConnected()) return true;
            f = g_link.tcpLost ? Failed(kLinkLost, "the connection was lost during an earlier call; connect again")
                               : Failed(kNoLink, "not connected (the last QV_TCPConnect failed)");
            return false;
        default:
            f = Failed(kNoLink, "no link is open (QV_ComInitial or QV_TCPConnect first)");
            return false;
    }
}

// Whether the line went away during this exchange; notes it for the calls after.
bool LostNow() {
    if (g_link.type == kLinkSerial) return g_link.serialLost;
    if (!pccomm::SockConnected()) g_link.tcpLost = true;
    return g_link.tcpLost;
}

// A reply may echo what was sent: its bytes where the secret ones stood are
// hidden too, all but a serial frame's CRC.
QV_COLD void TraceFrame(const Request &rq, char direction, const std::uint8_t *frame, int len) {
    const bool tcp = g_link.type == kLinkTcp;
    const int from = (tcp ? 8 : 2) + rq.secretFrom;  // where the request data starts, then the secret
    int count = rq.secretCount;
    if (direction == '<' && !tcp && from + count > len - 2) count = len - 2 - from;
    trace::Frame(LinkLabel(), direction, frame, len, from, count > 0 ? count : 0);
}

// The reply wait for the link being opened: QV_REPLY_WAIT_MS (10 to 60000)
// for radio modems that need longer and bus scans that need less, else
// 2000 ms. A value that is no such number is named in the trace.
int ReplyWaitFromEnvironment(const char *label) {
    const char *text = std::getenv("QV_REPLY_WAIT_MS");
    if (!text || !*text) return kWaitUnitMs;
    char *end = nullptr;
    errno = 0;
    const long ms = std::strtol(text, &end, 10);
    if (*end || errno || ms < 10 || ms > 60000) {
        if (trace::Enabled())
            trace::Line(label, "QV_REPLY_WAIT_MS=%.40s is not a number of ms from 10 to 60000: waiting %u ms", text,
                        kWaitUnitMs);
        return kWaitUnitMs;
    }
    return static_cast<int>(ms);
}

}  // namespace

LinkType CurrentLinkType() {
    return g_link.type;
}

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
    g_link.serialLost = false;
    std::snprintf(g_link.serialLabel, sizeof g_link.serialLabel, "COM%d", port);
    g_link.replyWaitMs = ReplyWaitFromEnvironment(g_link.serialLabel);
    pccomm::ClearError();
    g_link.port = pccomm::ComOpen(port, rate);
    g_link.opener = pccomm::ProcessId();
    if (trace::Enabled()) {
        if (g_link.port)
            trace::Line(g_link.serialLabel, "open %s at %d bit/s, 8N1", pccomm::LastDevice(), rate);
        else
            trace::Line(g_link.serialLabel, "! QV_ComInitial(%d, %d) gives 0: %s", port, rate, pccomm::LastError());
    }
    if (g_link.port) return 1;
    pccomm::TellCaller(pccomm::LastSystemCode());
    return 0;
}

int LinkComFree() {
    if (g_link.port) {
        pccomm::ComClose(g_link.port);
        if (trace::Enabled()) trace::Line(g_link.serialLabel, "closed");
    }
    g_link.port = 0;
    g_link.serialLost = false;
    g_link.type = kLinkNone;
    return 1;
}

int LinkTcpConnect(const char *host, int port) {
    g_link.type = kLinkTcp;
    g_link.tcpLost = false;
    std::snprintf(g_link.tcpLabel, sizeof g_link.tcpLabel, "%.256s:%d", host ? host : "(null)", port & 0xFFFF);
    g_link.replyWaitMs = ReplyWaitFromEnvironment(g_link.tcpLabel);
    pccomm::ClearError();
    const int r = pccomm::SockConnect(host, port, g_link.replyWaitMs);
    if (trace::Enabled()) {
        if (r == 1)
            trace::Line(g_link.tcpLabel, "connected");
        else
            trace::Line(g_link.tcpLabel, "! QV_TCPConnect(\"%.256s\", %d) gives %d: %s", host ? host : "(null)", port,
                        r, pccomm::LastError());
    }
    if (r != 1) pccomm::TellCaller(pccomm::LastSystemCode());
    return r;
}

int LinkTcpFree() {
    if (g_link.type == kLinkTcp && trace::Enabled()) trace::Line(g_link.tcpLabel, "closed");
    g_link.type = kLinkNone;
    g_link.tcpLost = false;
    return pccomm::SockClose();
}

int Exchange(const Request &rq, std::uint8_t *payload) {
    Failure f;
    if (!LinkUsable(f)) return Fail(rq, f);
    const bool frames = trace::Frames();
    std::uint8_t frame[kRequestBufSize];
    const int len = BuildFrame(g_link.type, rq.function, rq.station, rq.data, rq.n, frame);
    pccomm::ClearError();
    const int written = LinkWrite(frame, len);
    if (written <= 0) {
        if (written == pccomm::kLineGone) g_link.serialLost = true;
        return Fail(rq, Failed(LostNow() ? kLinkLost : kNotSent));
    }
    if (frames) TraceFrame(rq, '>', frame, len);
    std::uint8_t reply[kReplyBufSize];
    const int m = RecvReply(reply, 1);
    if (m > 0 && frames) TraceFrame(rq, '<', reply, m);
    std::int32_t station = 0;
    std::uint8_t function = 0;
    const int p = m > 0 ? CheckFrame(g_link.type, reply, m, station, function, payload, f) : -1;
    if (p >= 0 && function == rq.function) return p;
    if (p < 0 && LostNow()) {  // what came before the line went is no reply
        f = Failed(kLinkLost);
    } else if (m <= 0) {
        f = Failed(kNoReply);
    } else if (p >= 0) {
        f = Failed(function == (rq.function | 0x80) ? kException : kFunction);
        f.asked = rq.function;
        f.answered = function;
        f.exception = p >= 1 ? payload[0] : 0;
    }
    return Fail(rq, f);
}

Failure Failed(Outcome outcome, const char *why) {
    Failure f{};
    f.outcome = outcome;
    f.link = g_link.type;
    f.why = why;
    return f;
}

int Fail(const Request &rq, const Failure &f) {
    g_failure = f;
    if (trace::Enabled()) trace::Line(LinkLabel(), "! %s gives -1: %s", rq.describe(rq), FailureText(f));
    // Last, so that nothing the trace does can change it.
    pccomm::TellCaller(FailureCode(f));
    return -1;
}

const Failure &LastFailure() {
    return g_failure;
}

int FailureCode(const Failure &f) {
    switch (f.outcome) {
        case kSuccess:
            return 0;
        case kNoLink:
            return QV_E_NOLINK;
        case kArgument:
            return QV_E_ARGUMENT;
        case kNotSent:
            return QV_E_SEND;
        case kNoReply:
            return QV_E_NOREPLY;
        case kLinkLost:
            return QV_E_LINKLOST;
        case kIncomplete:
            return QV_E_INCOMPLETE;
        case kCrc:
            return QV_E_CRC;
        case kFunction:
            return QV_E_FUNCTION;
        case kException:
            return QV_E_EXCEPTION_BASE + f.exception;
        case kNoData:
            return QV_E_NODATA;
    }
    return QV_E_NOREPLY;
}

const char *FailureText(const Failure &f) {
    static char text[600];
    const bool tcp = f.link == kLinkTcp;
    switch (f.outcome) {
        case kSuccess:
            return "";
        case kNoLink:
            return f.why;
        case kArgument:
            if (f.expected)
                std::snprintf(text, sizeof text, "the count must be 1 to %d; nothing sent", f.expected);
            else
                std::snprintf(text, sizeof text, "%s; nothing sent", f.why);
            break;
        case kNotSent:
            std::snprintf(text, sizeof text, "nothing sent: %s",
                          *pccomm::LastError() ? pccomm::LastError() : "the link refused the request");
            break;
        case kNoReply:
            if (tcp)
                std::snprintf(text, sizeof text, "no reply within %d ms (is this the reader's address and port?)",
                              g_link.replyWaitMs);
            else
                std::snprintf(text, sizeof text,
                              "no reply within %d ms (is the reader on, on this station id, at this bit rate?)",
                              g_link.replyWaitMs);
            break;
        case kLinkLost:
            if (*f.why) return f.why;
            std::snprintf(text, sizeof text, "%s: %s",
                          tcp ? "the connection was lost" : "the line went away (adapter unplugged?)",
                          *pccomm::LastError() ? pccomm::LastError() : "the device is gone");
            break;
        case kIncomplete:
            if (f.expected == 0)
                std::snprintf(text, sizeof text, "incomplete reply: %d bytes, a Modbus %s has at least %d", f.got,
                              tcp ? "TCP reply" : "RTU frame", tcp ? 8 : 4);
            else if (tcp)
                std::snprintf(text, sizeof text, "incomplete reply: %d of the %d bytes its length field announces",
                              f.got, f.expected);
            else
                std::snprintf(text, sizeof text, "incomplete reply: %d of %d bytes within %d ms", f.got, f.expected,
                              g_link.replyWaitMs);
            break;
        case kCrc:
            if (tcp)
                std::snprintf(text, sizeof text, "reply of %d bytes, but its length field announces %d", f.got,
                              f.expected);
            else
                std::snprintf(text, sizeof text, "CRC mismatch: the reply carries %02X %02X, its bytes give %02X %02X",
                              f.carried[0], f.carried[1], f.computed[0], f.computed[1]);
            break;
        case kFunction:
            std::snprintf(text, sizeof text, "reply of another function: expected function %02X, received %02X",
                          f.asked, f.answered);
            break;
        case kException:
            std::snprintf(text, sizeof text, "exception reply, code %02X (%s)", f.exception,
                          qvcodes::ExceptionName(f.exception));
            break;
        case kNoData:
            return "the reply carries no data";
    }
    return text;
}

std::uint16_t CalcCrc16(const std::uint8_t *bytes, std::uint16_t count) {
    std::uint8_t hi = 0xFF, lo = 0xFF;
    for (std::uint16_t i = 0; i < count; ++i) {
        std::uint8_t idx = hi ^ bytes[i];
        hi = lo ^ kCrcTables.hi[idx];
        lo = kCrcTables.lo[idx];
    }
    return static_cast<std::uint16_t>(lo << 8 | hi);
}

int BuildFrame(LinkType link, std::uint8_t function, int station, const std::uint8_t *data, int n, std::uint8_t *out) {
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
    const int told = ToldLength(b, count);
    if (told) return count >= told && (!(b[1] & 0x80) || CrcHolds(b, 5));
    // 0x46 replies tell no length: their CRC ends them.
    return b[1] == 0x46 && CrcHolds(b, count);
}

int ParseFrameAs(LinkType link, const std::uint8_t *reply, int count, std::int32_t &station, std::uint8_t &function,
                 std::uint8_t *payload) {
    if (link == kLinkNone) return 0;
    if (link == kLinkSerial && count < 4) return -2;
    Failure unused;
    return CheckFrame(link, reply, count, station, function, payload, unused);
}

int ParseFrame(const std::uint8_t *reply, int count, std::int32_t &station, std::uint8_t &function,
               std::uint8_t *payload) {
    return ParseFrameAs(g_link.type, reply, count, station, function, payload);
}

}  // namespace untfunction
