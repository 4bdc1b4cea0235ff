#include "Untreader.h"

#include <cstdio>
#include <cstring>

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
QV_COLD const char *Describe(const Request &rq) {
    static char text[160];
    const int station = rq.station & 0xFF;
    const std::uint8_t *d = rq.data;
    switch (rq.function) {
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
                    if (rq.n == 7)
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
                    std::snprintf(text, sizeof text, "QV_SetPermission(station %d)", station);
                    break;
            }
    }
    return text;
}

Request Make(std::uint8_t function, int station, const std::uint8_t *data, int n) {
    return Request{function, station, data, n, Describe};
}

// Arguments refused before anything is sent; only failing calls come here.
QV_COLD int Refuse(const Request &rq, const char *why) {
    return Fail(rq, Failed(kArgument, why));
}

int Command(const Request &rq) {
    std::uint8_t payload[kReplyBufSize];
    return Exchange(rq, payload) < 0 ? -1 : 1;
}

// Copies the payload after its first byte, never more than limit bytes.
int ReplyData(const Request &rq, std::uint8_t *out, int limit) {
    std::uint8_t payload[kReplyBufSize];
    const int p = Exchange(rq, payload);
    if (p < 0) return -1;
    if (p == 0) return Fail(rq, Failed(kNoData));  // not even the reply's first byte
    int len = p - 1 < limit ? p - 1 : limit;
    std::memcpy(out, payload + 1, static_cast<size_t>(len));
    return len;
}

}  // namespace

int WriteRegister(int station, int address, int value) {
    std::uint8_t d[4];
    Put16(d, address);
    Put16(d + 2, value);
    return Command(Make(kWriteSingle, station, d, 4));
}

int ReadRegister(int station, int address, int count, std::uint8_t *data) {
    std::uint8_t d[4];
    Put16(d, address);
    Put16(d + 2, count);
    const Request rq = Make(kReadHolding, station, d, 4);
    if (!data) return Refuse(rq, "no buffer (null pointer)");
    if (count < 1 || count > kMaxReadCount) return Refuse(rq, "the count must be 1 to 125");
    return ReplyData(rq, data, 2 * count);
}

int WriteMultiRegister(int station, int address, int count, const std::uint8_t *data) {
    std::uint8_t d[300];
    Put16(d, address);
    Put16(d + 2, count);
    d[4] = static_cast<std::uint8_t>((2 * count) & 0xFF);
    Request rq = Make(kWriteMultiple, station, d, 5);
    if (!data) return Refuse(rq, "no values (null pointer)");
    if (count < 1 || count > kMaxWriteCount) return Refuse(rq, "the count must be 1 to 123");
    std::memcpy(d + 5, data, static_cast<size_t>(2 * count));
    rq.n = 2 * count + 5;
    return Command(rq);
}

int GetDeviceInfo(int station, std::uint8_t *info) {
    const std::uint8_t d[1] = {kDeviceInfo};
    const Request rq = Make(kReader, station, d, 1);
    if (!info) return Refuse(rq, "no buffer (null pointer)");
    return ReplyData(rq, info, kDeviceInfoSize);
}

int DownKey(int station, const std::uint8_t *key6) {
    std::uint8_t d[7] = {kKey};
    Request rq = Make(kReader, station, d, 7);
    if (!key6) return Refuse(rq, "no key (null pointer)");
    std::memcpy(d + 1, key6, 6);
    rq.secretFrom = 1;
    rq.secretCount = 6;
    return Command(rq);
}

int DownKeyEx(int station, std::uint8_t selector, const std::uint8_t *key16) {
    std::uint8_t d[18] = {kKey, selector};
    Request rq = Make(kReader, station, d, 18);
    if (!key16) return Refuse(rq, "no key (null pointer)");
    std::memcpy(d + 2, key16, 16);
    rq.secretFrom = 2;
    rq.secretCount = 16;
    return Command(rq);
}

int SetBaseRegisterAddr(int station, int baseAddress) {
    std::uint8_t d[3] = {kBaseAddr};
    Put16(d + 1, baseAddress);
    return Command(Make(kReader, station, d, 3));
}

int SetPermission(int station, std::uint8_t permission, const std::uint8_t *data16) {
    std::uint8_t d[18] = {kPermission};
    Request rq = Make(kReader, station, d, 18);
    if (!data16) return Refuse(rq, "no data (null pointer)");
    std::memcpy(d + 1, data16, 16);
    d[17] = permission;
    rq.secretFrom = 1;  // the data and the permission byte after it
    rq.secretCount = 17;
    return Command(rq);
}

int SetDeviceTermNO(int station, const std::uint8_t *termNo6) {
    std::uint8_t d[7] = {kTermNo};
    const Request rq = Make(kReader, station, d, 7);
    if (!termNo6) return Refuse(rq, "no terminal number (null pointer)");
    std::memcpy(d + 1, termNo6, 6);
    return Command(rq);
}

}  // namespace untreader
