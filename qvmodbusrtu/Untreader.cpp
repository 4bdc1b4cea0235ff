#include "Untreader.h"

#include <cstring>

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

// One request and its reply. On success returns the payload length and fills
// payload (kReplyBufSize bytes); -1 on any failure.
int Exchange(std::uint8_t function, int station, const std::uint8_t *data, int n, std::uint8_t *payload) {
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
    return Command(kWriteSingle, station, d, 4);
}

int ReadRegister(int station, int address, int count, std::uint8_t *data) {
    if (!data || count < 1 || count > kMaxReadCount) return -1;
    std::uint8_t d[4];
    Put16(d, address);
    Put16(d + 2, count);
    return ReplyData(kReadHolding, station, d, 4, data, 2 * count);
}

int WriteMultiRegister(int station, int address, int count, const std::uint8_t *data) {
    if (!data || count < 1 || count > kMaxWriteCount) return -1;
    std::uint8_t d[300];
    Put16(d, address);
    Put16(d + 2, count);
    d[4] = static_cast<std::uint8_t>((2 * count) & 0xFF);
    std::memcpy(d + 5, data, static_cast<size_t>(2 * count));
    return Command(kWriteMultiple, station, d, 2 * count + 5);
}

int GetDeviceInfo(int station, std::uint8_t *info) {
    if (!info) return -1;
    const std::uint8_t d[1] = {kDeviceInfo};
    return ReplyData(kReader, station, d, 1, info, kDeviceInfoSize);
}

int DownKey(int station, const std::uint8_t *key6) {
    if (!key6) return -1;
    std::uint8_t d[7] = {kKey};
    std::memcpy(d + 1, key6, 6);
    return Command(kReader, station, d, 7);
}

int DownKeyEx(int station, std::uint8_t selector, const std::uint8_t *key16) {
    if (!key16) return -1;
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
    if (!data16) return -1;
    std::uint8_t d[18] = {kPermission};
    std::memcpy(d + 1, data16, 16);
    d[17] = permission;
    return Command(kReader, station, d, 18);
}

int SetDeviceTermNO(int station, const std::uint8_t *termNo6) {
    if (!termNo6) return -1;
    std::uint8_t d[7] = {kTermNo};
    std::memcpy(d + 1, termNo6, 6);
    return Command(kReader, station, d, 7);
}

}  // namespace untreader
