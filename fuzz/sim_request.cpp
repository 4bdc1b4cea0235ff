// The simulated reader's request side: RTU frame finding in a byte stream,
// MBAP framing and the reader's handling of whatever PDU comes out of them.
// The first byte picks RTU or TCP; the rest is the stream as received.
#include <cstring>
#include <memory>

#include "fuzz_common.h"
#include "readersim.h"
#include "wire.h"

using namespace fuzzcommon;

namespace {

readersim::Reader &TheReader() {
    static readersim::Reader *r = new readersim::Reader();  // one device across inputs, like a server's
    return *r;
}

void Answer(std::uint8_t station, const readersim::Bytes &pdu) {
    FUZZ_CHECK(!pdu.empty());
    std::optional<readersim::Bytes> reply = TheReader().Handle(station, pdu);
    if (!reply) return;
    FUZZ_CHECK(!reply->empty() && reply->size() <= 253);  // fits an RTU frame
    const std::uint8_t f = (*reply)[0];
    FUZZ_CHECK(f == pdu[0] || f == (pdu[0] | 0x80));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1) return 0;
    const bool tcp = data[0] & 1;
    // The stream in a block of exactly its size.
    std::size_t n = size - 1;
    std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[n ? n : 1]);
    if (n) std::memcpy(block.get(), data + 1, n);
    const std::uint8_t *p = block.get();

    while (n > 0) {
        if (tcp) {
            long len = readersim::MbapFrameLength(p, n);
            if (len <= 0) break;
            FUZZ_CHECK(static_cast<std::size_t>(len) <= n && len >= 8);
            Answer(p[6], readersim::Bytes(p + 7, p + len));
            p += len;
            n -= static_cast<std::size_t>(len);
        } else {
            readersim::RtuScan r = readersim::FindRtuFrame(p, n);
            if (!r.length) break;
            FUZZ_CHECK(r.length >= 4 && r.skip + r.length <= n);
            const std::uint8_t *f = p + r.skip;
            FUZZ_CHECK(readersim::CrcOk(f, r.length));
            FUZZ_CHECK(Crc16Bitwise(f, r.length - 2) ==
                       static_cast<std::uint16_t>(f[r.length - 2] | f[r.length - 1] << 8));
            Answer(f[0], readersim::Bytes(f + 1, f + r.length - 2));
            p += r.skip + r.length;
            n -= r.skip + r.length;
        }
    }
    return 0;
}
