// ReplyComplete, the stop test of the serial collection, on arbitrary bytes
// (exactly sized, so a look past the count is caught), checked against the
// completion rules and against ParseFrame: a reply that completes by its CRC
// must also pass the frame check.
#include <cstring>
#include <memory>

#include "Untfunction.h"
#include "fuzz_common.h"

using namespace untfunction;
using namespace fuzzcommon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::unique_ptr<std::uint8_t[]> buf(new std::uint8_t[size ? size : 1]);
    if (size) std::memcpy(buf.get(), data, size);
    const std::uint8_t *b = buf.get();
    const int n = static_cast<int>(size);
    const bool complete = ReplyComplete(b, n);

    if (n < 4) {
        FUZZ_CHECK(!complete);
        return 0;
    }
    const bool crcOk = Crc16Bitwise(b, size - 2) == static_cast<std::uint16_t>(b[n - 2] | b[n - 1] << 8);
    switch (b[1]) {
        case 0x03:
            FUZZ_CHECK(complete == (n >= b[2] + 5));
            break;
        case 0x06:
        case 0x10:
            FUZZ_CHECK(complete == (n >= 8));
            break;
        case 0x46:
            FUZZ_CHECK(complete == crcOk);
            break;
        default:
            if (b[1] & 0x80)  // an exception reply ends with its five bytes, if their CRC holds
                FUZZ_CHECK(complete == (n >= 5 && Crc16Bitwise(b, 3) == static_cast<std::uint16_t>(b[3] | b[4] << 8)));
            else  // unknown codes wait out the deadline
                FUZZ_CHECK(!complete);
            break;
    }
    // Every frame that a collection stops at and that fits the reply buffer
    // parses exactly when its CRC holds.
    if (complete && n <= kReplyBufSize) {
        std::unique_ptr<std::uint8_t[]> payload(new std::uint8_t[kReplyBufSize]);
        std::int32_t station = 0;
        std::uint8_t function = 0;
        int r = ParseFrameAs(kLinkSerial, b, n, station, function, payload.get());
        FUZZ_CHECK((r >= 0) == crcOk);
        if (r >= 0) FUZZ_CHECK(function == b[1] && r == n - 4);
    }
    return 0;
}
