#include "Untreader.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "Pccomm.h"
#include "Trace.h"
#include "Untfunction.h"

namespace untreader {
namespace {

using namespace untfunction;

constexpr std::uint8_t kReadHolding = 0x03;
constexpr std::uint8_t kWriteSingle = 0x06;
constexpr std::uint8_t kWriteMultiple = 0x10;
constexpr std::uint8_t kReader = 0x46;

enum ReaderSub : std::uint8_t { kDeviceInfo = 0, kKey = 1, kBaseAddr = 2, kTermNo = 3, kPermission = 4 };

void Put16(std::uint8_t *p, int v) {
    p[0] = static_cast<std::uint8_t>((v >> 8) & 0xFF);
    p[1] = static_cast<std::uint8_t>(v & 0xFF);
}

// A command as the trace names it: "QV_ReadRegister(station 1, address 4, count 4)".
struct Call {
    const char *name;
    int station;
    const char *more = nullptr;  // printf format of up to two further arguments
    int a = 0, b = 0;
};

const char *Describe(const Call &call) {
    static char text[160];
    int n = std::snprintf(text, sizeof text, "%s(station %d", call.name, call.station);
    if (call.more && n > 0 && n < static_cast<int>(sizeof text))
        n += std::snprintf(text + n, sizeof text - static_cast<size_t>(n), call.more, call.a, call.b);
    if (n > 0 && n < static_cast<int>(sizeof text) - 1) std::snprintf(text + n, sizeof text - static_cast<size_t>(n), ")");
    return text;
}

void TraceFailure(const Call &call, const char *format, ...) __attribute__((format(printf, 2, 3)));
void TraceFailure(const Call &call, const char *format, ...) {
    char why[400];
    va_list args;
    va_start(args, format);
    std::vsnprintf(why, sizeof why, format, args);
    va_end(args);
    trace::Line(LinkLabel(), "! %s gives -1: %s", Describe(call), why);
}

// Arguments refused before anything is sent.
int Refuse(const Call &call, const char *why) {
    if (trace::Enabled()) TraceFailure(call, "%s; nothing sent", why);
    return -1;
}

// Exchange with every frame and the reason of a failure in the trace. Kept
// apart so the untraced path pays a single test.
int TracedExchange(std::uint8_t function, int station, const std::uint8_t *data, int n, std::uint8_t *payload,
                   const Call &call) {
    const LinkType link = CurrentLinkType();
    const char *label = LinkLabel();
    if (link == kLinkNone) {
        TraceFailure(call, "no link is open (QV_ComInitial or QV_TCPConnect first)");
        return -1;
    }
    pccomm::ClearError();
    std::uint8_t frame[kRequestBufSize];
    const int len = BuildFrame(link, function, station, data, n, frame);
    const int written = LinkWrite(frame, len);
    if (written <= 0) {
        const char *why = pccomm::LastError();
        if (!*why && link == kLinkSerial) why = "the serial port is not open (QV_ComInitial gave 0)";
        TraceFailure(call, "nothing sent: %s", *why ? why : "the link refused the request");
        return -1;
    }
    trace::Frame(label, '>', frame, len);
    std::uint8_t reply[kReplyBufSize];
    const int m = RecvReply(reply, 1);
    if (m > 0) trace::Frame(label, '<', reply, m);
    if (m <= 0) {
        if (*pccomm::LastError())
            TraceFailure(call, "no reply: %s", pccomm::LastError());
        else
            TraceFailure(call, "no reply within %u ms (is the reader on, on this station id, at this bit rate?)",
                         kWaitUnitMs);
        return -1;
    }
    std::int32_t replyStation = 0;
    std::uint8_t replyFunction = 0;
    const int p = ParseFrame(reply, m, replyStation, replyFunction, payload);
    if (p < 0) {
        if (link == kLinkSerial) {
            // Only some function codes tell a reply's length; for the others
            // (0x46 among them) the CRC is all there is to go by.
            int expected = 0;
            if (m >= 3 && reply[1] == 0x03) expected = reply[2] + 5;
            if (m >= 2 && (reply[1] == 0x06 || reply[1] == 0x10)) expected = 8;
            if (p == -2) {
                TraceFailure(call, "incomplete reply: %d bytes, a Modbus RTU frame has at least 4", m);
            } else if (m < expected) {
                TraceFailure(call, "incomplete reply: %d of %d bytes within %u ms", m, expected, kWaitUnitMs);
            } else {
                const std::uint16_t crc = CalcCrc16(reply, static_cast<std::uint16_t>(m - 2));
                TraceFailure(call, "CRC mismatch: the reply carries %02X %02X, its bytes give %02X %02X", reply[m - 2],
                             reply[m - 1], crc & 0xFF, crc >> 8);
            }
        } else if (m < 8) {
            TraceFailure(call, "incomplete reply: %d bytes, a Modbus TCP reply has at least 8", m);
        } else {
            const int announced = (reply[4] << 8 | reply[5]) + 6;
            if (m < announced)
                TraceFailure(call, "incomplete reply: %d of the %d bytes its length field announces", m, announced);
            else
                TraceFailure(call, "reply of %d bytes, but its length field announces %d", m, announced);
        }
        return -1;
    }
    if (replyFunction != function) {
        if (replyFunction == (function | 0x80))
            TraceFailure(call, "exception reply, code %02X (%s)", p >= 1 ? payload[0] : 0,
                         trace::ExceptionName(p >= 1 ? payload[0] : 0));
        else
            TraceFailure(call, "reply of another function: expected function %02X, received %02X", function,
                         replyFunction);
        return -1;
    }
    return p;
}

// One request and its reply. On success returns the payload length and fills
// payload (kReplyBufSize bytes); -1 on any failure.
int Exchange(std::uint8_t function, int station, const std::uint8_t *data, int n, std::uint8_t *payload,
             const Call &call) {
    if (trace::Enabled()) return TracedExchange(function, station, data, n, payload, call);
    if (SendFrame(function, station, data, n) <= 0) return -1;
    std::uint8_t reply[kReplyBufSize];
    int m = RecvReply(reply, 1);
    if (m <= 0) return -1;
    std::int32_t replyStation = 0;
    std::uint8_t replyFunction = 0;
    int p = ParseFrame(reply, m, replyStation, replyFunction, payload);
    if (p < 0 || replyFunction != function) return -1;
    return p;
}

int Command(std::uint8_t function, int station, const std::uint8_t *data, int n, const Call &call) {
    std::uint8_t payload[kReplyBufSize];
    return Exchange(function, station, data, n, payload, call) < 0 ? -1 : 1;
}

// Copies the payload after its first byte, never more than limit bytes.
int ReplyData(std::uint8_t function, int station, const std::uint8_t *data, int n, std::uint8_t *out, int limit,
              const Call &call) {
    std::uint8_t payload[kReplyBufSize];
    int p = Exchange(function, station, data, n, payload, call);
    if (p == 0 && trace::Enabled()) TraceFailure(call, "the reply carries no data");
    if (p < 1) return -1;  // a reply without even its first byte carries nothing
    int len = p - 1 < limit ? p - 1 : limit;
    std::memcpy(out, payload + 1, static_cast<size_t>(len));
    return len;
}

}  // namespace

int WriteRegister(int station, int address, int value) {
    std::uint8_t d[4];
    Put16(d, address);
    Put16(d + 2, value);
    return Command(kWriteSingle, station, d, 4, {"QV_WriteRegister", station, ", address %d, value %d", address, value});
}

int ReadRegister(int station, int address, int count, std::uint8_t *data) {
    const Call call{"QV_ReadRegister", station, ", address %d, count %d", address, count};
    if (!data) return Refuse(call, "no buffer (null pointer)");
    if (count < 1 || count > kMaxReadCount) return Refuse(call, "the count must be 1 to 125");
    std::uint8_t d[4];
    Put16(d, address);
    Put16(d + 2, count);
    return ReplyData(kReadHolding, station, d, 4, data, 2 * count, call);
}

int WriteMultiRegister(int station, int address, int count, const std::uint8_t *data) {
    const Call call{"QV_WriteMultiRegister", station, ", address %d, count %d", address, count};
    if (!data) return Refuse(call, "no values (null pointer)");
    if (count < 1 || count > kMaxWriteCount) return Refuse(call, "the count must be 1 to 123");
    std::uint8_t d[300];
    Put16(d, address);
    Put16(d + 2, count);
    d[4] = static_cast<std::uint8_t>((2 * count) & 0xFF);
    std::memcpy(d + 5, data, static_cast<size_t>(2 * count));
    return Command(kWriteMultiple, station, d, 2 * count + 5, call);
}

int GetDeviceInfo(int station, std::uint8_t *info) {
    const Call call{"QV_GetDeviceInfo", station};
    if (!info) return Refuse(call, "no buffer (null pointer)");
    const std::uint8_t d[1] = {kDeviceInfo};
    return ReplyData(kReader, station, d, 1, info, kDeviceInfoSize, call);
}

int DownKey(int station, const std::uint8_t *key6) {
    const Call call{"QV_DownKey", station};
    if (!key6) return Refuse(call, "no key (null pointer)");
    std::uint8_t d[7] = {kKey};
    std::memcpy(d + 1, key6, 6);
    return Command(kReader, station, d, 7, call);
}

int DownKeyEx(int station, std::uint8_t selector, const std::uint8_t *key16) {
    const Call call{"QV_DownKeyEx", station, ", selector %d", selector};
    if (!key16) return Refuse(call, "no key (null pointer)");
    std::uint8_t d[18] = {kKey, selector};
    std::memcpy(d + 2, key16, 16);
    return Command(kReader, station, d, 18, call);
}

int SetBaseRegisterAddr(int station, int baseAddress) {
    std::uint8_t d[3] = {kBaseAddr};
    Put16(d + 1, baseAddress);
    return Command(kReader, station, d, 3, {"QV_SetBaseRegisterAddr", station, ", base address %d", baseAddress});
}

int SetPermission(int station, std::uint8_t permission, const std::uint8_t *data16) {
    const Call call{"QV_SetPermission", station, ", permission %d", permission};
    if (!data16) return Refuse(call, "no data (null pointer)");
    std::uint8_t d[18] = {kPermission};
    std::memcpy(d + 1, data16, 16);
    d[17] = permission;
    return Command(kReader, station, d, 18, call);
}

int SetDeviceTermNO(int station, const std::uint8_t *termNo6) {
    const Call call{"QV_SetDeviceTermNO", station};
    if (!termNo6) return Refuse(call, "no terminal number (null pointer)");
    std::uint8_t d[7] = {kTermNo};
    std::memcpy(d + 1, termNo6, 6);
    return Command(kReader, station, d, 7, call);
}

}  // namespace untreader
