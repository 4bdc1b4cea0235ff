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

int Get16(const std::uint8_t *p) {
    return p[0] << 8 | p[1];
}

// The command a request comes from, as the trace names it, told from the
// request itself so the untraced path carries nothing for the trace:
// "QV_ReadRegister(station 1, address 4, count 4)".
QV_COLD const char *Describe(std::uint8_t function, int station, const std::uint8_t *d, int n) {
    static char text[160];
    station &= 0xFF;
    switch (function) {
        case kReadHolding:
            std::snprintf(text, sizeof text, "QV_ReadRegister(station %d, address %d, count %d)", station, Get16(d),
                          Get16(d + 2));
            break;
        case kWriteSingle:
            std::snprintf(text, sizeof text, "QV_WriteRegister(station %d, address %d, value %d)", station, Get16(d),
                          Get16(d + 2));
            break;
        case kWriteMultiple:
            std::snprintf(text, sizeof text, "QV_WriteMultiRegister(station %d, address %d, count %d)", station,
                          Get16(d), Get16(d + 2));
            break;
        default:
            switch (d[0]) {
                case kDeviceInfo:
                    std::snprintf(text, sizeof text, "QV_GetDeviceInfo(station %d)", station);
                    break;
                case kKey:
                    if (n == 7)
                        std::snprintf(text, sizeof text, "QV_DownKey(station %d)", station);
                    else
                        std::snprintf(text, sizeof text, "QV_DownKeyEx(station %d, selector %d)", station, d[1]);
                    break;
                case kBaseAddr:
                    std::snprintf(text, sizeof text, "QV_SetBaseRegisterAddr(station %d, base address %d)", station,
                                  Get16(d + 1));
                    break;
                case kTermNo:
                    std::snprintf(text, sizeof text, "QV_SetDeviceTermNO(station %d)", station);
                    break;
                default:
                    std::snprintf(text, sizeof text, "QV_SetPermission(station %d, permission %d)", station, d[17]);
                    break;
            }
    }
    return text;
}

void TraceFailure(const char *call, const char *format, ...) QV_PRINTF(2, 3);
void TraceFailure(const char *call, const char *format, ...) {
    char why[400];
    va_list args;
    va_start(args, format);
    std::vsnprintf(why, sizeof why, format, args);
    va_end(args);
    trace::Line(LinkLabel(), "! %s gives -1: %s", call, why);
}

// Arguments refused before anything is sent; only failing calls come here.
QV_COLD int Refuse(const char *name, int station, const char *why) {
    if (trace::Enabled()) {
        char call[80];
        std::snprintf(call, sizeof call, "%s(station %d)", name, station & 0xFF);
        TraceFailure(call, "%s; nothing sent", why);
    }
    return -1;
}

// Exchange with every frame and the reason of a failure in the trace. Kept
// apart so the untraced path pays a single test.
QV_COLD int TracedExchange(std::uint8_t function, int station, const std::uint8_t *data, int n,
                           std::uint8_t *payload) {
    const char *call = Describe(function, station, data, n);
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
int Exchange(std::uint8_t function, int station, const std::uint8_t *data, int n, std::uint8_t *payload) {
    if (trace::Enabled()) return TracedExchange(function, station, data, n, payload);
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

int Command(std::uint8_t function, int station, const std::uint8_t *data, int n) {
    std::uint8_t payload[kReplyBufSize];
    return Exchange(function, station, data, n, payload) < 0 ? -1 : 1;
}

// Copies the payload after its first byte, never more than limit bytes.
int ReplyData(std::uint8_t function, int station, const std::uint8_t *data, int n, std::uint8_t *out, int limit) {
    std::uint8_t payload[kReplyBufSize];
    int p = Exchange(function, station, data, n, payload);
    if (p < 1) {  // a reply without even its first byte carries nothing
        if (p == 0 && trace::Enabled())
            TraceFailure(Describe(function, station, data, n), "the reply carries no data");
        return -1;
    }
    int len = p - 1 < limit ? p - 1 : limit;
    std::memcpy(out, payload + 1, static_cast<size_t>(len));
    return len;
}

}  // namespace

int WriteRegister(int station, int address, int value) {
    std::uint8_t d[4];
    Put16(d, address);
    Put16(d + 2, value);
    return Command(kWriteSingle, station, d, 4);
}

int ReadRegister(int station, int address, int count, std::uint8_t *data) {
    if (!data || count < 1 || count > kMaxReadCount)
        return Refuse("QV_ReadRegister", station, data ? "the count must be 1 to 125" : "no buffer (null pointer)");
    std::uint8_t d[4];
    Put16(d, address);
    Put16(d + 2, count);
    return ReplyData(kReadHolding, station, d, 4, data, 2 * count);
}

int WriteMultiRegister(int station, int address, int count, const std::uint8_t *data) {
    if (!data || count < 1 || count > kMaxWriteCount)
        return Refuse("QV_WriteMultiRegister", station,
                      data ? "the count must be 1 to 123" : "no values (null pointer)");
    std::uint8_t d[300];
    Put16(d, address);
    Put16(d + 2, count);
    d[4] = static_cast<std::uint8_t>((2 * count) & 0xFF);
    std::memcpy(d + 5, data, static_cast<size_t>(2 * count));
    return Command(kWriteMultiple, station, d, 2 * count + 5);
}

int GetDeviceInfo(int station, std::uint8_t *info) {
    if (!info) return Refuse("QV_GetDeviceInfo", station, "no buffer (null pointer)");
    const std::uint8_t d[1] = {kDeviceInfo};
    return ReplyData(kReader, station, d, 1, info, kDeviceInfoSize);
}

int DownKey(int station, const std::uint8_t *key6) {
    if (!key6) return Refuse("QV_DownKey", station, "no key (null pointer)");
    std::uint8_t d[7] = {kKey};
    std::memcpy(d + 1, key6, 6);
    return Command(kReader, station, d, 7);
}

int DownKeyEx(int station, std::uint8_t selector, const std::uint8_t *key16) {
    if (!key16) return Refuse("QV_DownKeyEx", station, "no key (null pointer)");
    std::uint8_t d[18] = {kKey, selector};
    std::memcpy(d + 2, key16, 16);
    return Command(kReader, station, d, 18);
}

int SetBaseRegisterAddr(int station, int baseAddress) {
    std::uint8_t d[3] = {kBaseAddr};
    Put16(d + 1, baseAddress);
    return Command(kReader, station, d, 3);
}

int SetPermission(int station, std::uint8_t permission, const std::uint8_t *data16) {
    if (!data16) return Refuse("QV_SetPermission", station, "no data (null pointer)");
    std::uint8_t d[18] = {kPermission};
    std::memcpy(d + 1, data16, 16);
    d[17] = permission;
    return Command(kReader, station, d, 18);
}

int SetDeviceTermNO(int station, const std::uint8_t *termNo6) {
    if (!termNo6) return Refuse("QV_SetDeviceTermNO", station, "no terminal number (null pointer)");
    std::uint8_t d[7] = {kTermNo};
    std::memcpy(d + 1, termNo6, 6);
    return Command(kReader, station, d, 7);
}

}  // namespace untreader
