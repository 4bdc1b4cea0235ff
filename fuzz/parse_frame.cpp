// ParseFrame on arbitrary replies, serial and TCP. The first byte picks the
// link; the rest is the reply, in a heap block of exactly its size so any read
// past it is caught, and the payload goes to an exact 1024-byte block.
#include <cstring>
#include <memory>

#include "Untfunction.h"
#include "fuzz_common.h"

using namespace untfunction;
using namespace fuzzcommon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1) return 0;
    const LinkType link = data[0] % 3 == 0 ? kLinkSerial : data[0] % 3 == 1 ? kLinkTcp : kLinkNone;
    const std::size_t n = size - 1;
    std::unique_ptr<std::uint8_t[]> reply(new std::uint8_t[n ? n : 1]);
    if (n) std::memcpy(reply.get(), data + 1, n);
    std::unique_ptr<std::uint8_t[]> payload(new std::uint8_t[kReplyBufSize]);
    std::memset(payload.get(), kUntouched, kReplyBufSize);

    std::int32_t station = -7;
    std::uint8_t function = 0x5A;
    const int count = static_cast<int>(n);
    const int r = ParseFrameAs(link, reply.get(), count, station, function, payload.get());
    const std::uint8_t *b = reply.get();

    if (link == kLinkNone) {
        FUZZ_CHECK(r == 0 && station == -7 && Untouched(payload.get(), 0, kReplyBufSize));
        return 0;
    }
    if (r < 0) {  // a refused reply fills no payload (a TCP one may still have set station and code)
        FUZZ_CHECK(Untouched(payload.get(), 0, kReplyBufSize));
        if (link == kLinkSerial || n < 8) FUZZ_CHECK(station == -7 && function == 0x5A);
    }
    if (link == kLinkSerial) {
        if (n < 4) {
            FUZZ_CHECK(r == -2);
            return 0;
        }
        const bool crcOk = n <= static_cast<std::size_t>(kReplyBufSize) &&
                           Crc16Bitwise(b, n - 2) == static_cast<std::uint16_t>(b[n - 2] | b[n - 1] << 8);
        FUZZ_CHECK(crcOk == (r >= 0));
        if (r >= 0) {
            FUZZ_CHECK(r == count - 4 && station == b[0] && function == b[1]);
            FUZZ_CHECK(std::memcmp(payload.get(), b + 2, static_cast<std::size_t>(r)) == 0);
            FUZZ_CHECK(Untouched(payload.get(), static_cast<std::size_t>(r), kReplyBufSize));
        }
    } else {
        const bool ok = n >= 8 && n <= static_cast<std::size_t>(kReplyBufSize) &&
                        static_cast<std::size_t>(b[4] << 8 | b[5]) + 6 == n;
        FUZZ_CHECK(ok == (r >= 0));
        if (r >= 0) {
            FUZZ_CHECK(r == count - 8 && station == b[6] && function == b[7]);
            FUZZ_CHECK(std::memcmp(payload.get(), b + 8, static_cast<std::size_t>(r)) == 0);
            FUZZ_CHECK(Untouched(payload.get(), static_cast<std::size_t>(r), kReplyBufSize));
        }
    }
    return 0;
}
