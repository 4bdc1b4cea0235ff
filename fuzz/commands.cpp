// Whole commands through the exported functions, over a fake line whose
// reply bytes, pieces, delays and hang-ups the fuzzer chooses. Attacks the
// collection loop, the 1024-byte bounds, the payload copy and the caller's
// buffers, which are heap blocks of exactly the size the caller owes (ASan
// sees a byte too many) filled with a pattern (bytes beyond the result must
// stay untouched).
//
// Input: command (bits 0-3; bit 4 TCP, bit 5 a station above 255, bit 6
// the trace on), parameter, station, 4 bytes of clock start, then pieces,
// each a 2-byte head (bit 15 hang-up, bits 11-14 delay in 150 ms steps,
// bits 0-10 length) and its bytes.
#include <cstring>
#include <memory>
#include <vector>

#include "Trace.h"
#include "Untfunction.h"
#include "fake_line.h"
#include "fuzz_common.h"
#include "qvmodbusrtu.h"

using namespace fuzzcommon;

namespace {

struct Call {
    std::uint8_t function;
    bool valid;  // arguments the library accepts: one request goes out
    int result;
};

// An input buffer of exactly n bytes.
std::unique_ptr<std::uint8_t[]> In(std::size_t n, std::uint8_t seed) {
    std::unique_ptr<std::uint8_t[]> p(new std::uint8_t[n ? n : 1]);
    for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>(seed + i);
    return p;
}

// An output buffer of exactly n bytes, filled with the pattern.
std::unique_ptr<std::uint8_t[]> Out(std::size_t n) {
    std::unique_ptr<std::uint8_t[]> p(new std::uint8_t[n ? n : 1]);
    std::memset(p.get(), kUntouched, n ? n : 1);
    return p;
}

void CheckOutput(int r, const std::uint8_t *out, std::size_t size) {
    FUZZ_CHECK(r == -1 || (r >= 0 && static_cast<std::size_t>(r) <= size));
    if (r < 0)
        FUZZ_CHECK(Untouched(out, 0, size));
    else
        FUZZ_CHECK(Untouched(out, static_cast<std::size_t>(r), size));
}

Call Run(std::uint8_t cmd, std::uint8_t param, int station) {
    const int address = param * 257;
    switch (cmd % 9) {
        case 0: {
            const int count = param;  // 0 and 126..255 are refused
            const std::size_t size = 2 * static_cast<std::size_t>(count);
            auto out = Out(size);
            int r = QV_ReadRegister(station, address, count, out.get());
            CheckOutput(r, out.get(), size);
            return {0x03, count >= 1 && count <= 125, r};
        }
        case 1:
            return {0x06, true, QV_WriteRegister(station, address, param * 3)};
        case 2: {
            const int count = param;
            auto in = In(2 * static_cast<std::size_t>(count), param);
            return {0x10, count >= 1 && count <= 123, QV_WriteMultiRegister(station, address, count, in.get())};
        }
        case 3: {
            auto out = Out(QV_DEVICE_INFO_SIZE);
            int r = QV_GetDeviceInfo(station, out.get());
            CheckOutput(r, out.get(), QV_DEVICE_INFO_SIZE);
            return {0x46, true, r};
        }
        case 4:
            return {0x46, true, QV_DownKey(station, In(6, param).get())};
        case 5:
            return {0x46, true, QV_DownKeyEx(station, param, In(16, param).get())};
        case 6:
            return {0x46, true, QV_SetBaseRegisterAddr(station, address)};
        case 7:
            return {0x46, true, QV_SetPermission(station, param, In(16, param).get())};
        default:
            return {0x46, true, QV_SetDeviceTermNO(station, In(6, param).get())};
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 7) return 0;
    const std::uint8_t cmd = data[0] & 0x0F;
    const bool tcp = data[0] & 0x10;
    const std::uint8_t param = data[1];
    const int station = data[2] | (data[0] & 0x20 ? 0x1200 : 0);  // only the low byte goes out
    // The traced path reads the same replies to explain them: fuzz it too.
    static std::FILE *const devNull = std::fopen("/dev/null", "w");
    trace::ConfigureStream(data[0] & 0x40 ? devNull : nullptr);
    const std::uint32_t clock =
        static_cast<std::uint32_t>(data[3]) | data[4] << 8 | data[5] << 16 | static_cast<std::uint32_t>(data[6]) << 24;

    std::vector<fakeline::Piece> pieces;
    bool anyBytes = false;
    for (std::size_t at = 7; at + 2 <= size;) {
        const unsigned head = data[at] << 8 | data[at + 1];
        at += 2;
        fakeline::Piece p;
        p.hangup = head & 0x8000;
        p.delayMs = ((head >> 11) & 0x0F) * 150;
        std::size_t len = head & 0x07FF;
        if (len > size - at) len = size - at;
        p.bytes.assign(data + at, data + at + len);
        at += len;
        anyBytes = anyBytes || !p.bytes.empty();
        pieces.push_back(std::move(p));
    }

    FUZZ_CHECK(tcp ? QV_TCPConnect("127.0.0.1", 502) == 1 : QV_ComInitial(1, 19200) == 1);
    fakeline::Script(std::move(pieces), clock);
    const Call c = Run(cmd, param, station);
    const auto &w = fakeline::Written();
    static const bool trace = std::getenv("QV_FUZZ_TRACE") != nullptr;  // for looking at one input
    if (trace) std::fprintf(stderr, "command %d (%s) result %d\n", cmd % 9, tcp ? "tcp" : "serial", c.result);

    FUZZ_CHECK(c.result == -1 || c.result >= 0);
    if (cmd % 9 != 0 && cmd % 9 != 3) FUZZ_CHECK(c.result == 1 || c.result == -1);
    if (!c.valid) {
        FUZZ_CHECK(c.result == -1 && w.empty());
    } else {
        FUZZ_CHECK(w.size() == 1);  // one request, never retried
        const std::vector<std::uint8_t> &f = w[0];
        if (tcp) {
            FUZZ_CHECK(f.size() >= 8 && f[0] == 0 && f[1] == 0 && f[2] == 0 && f[3] == 0);
            FUZZ_CHECK(static_cast<std::size_t>(f[4] << 8 | f[5]) + 6 == f.size());
            FUZZ_CHECK(f[6] == (station & 0xFF) && f[7] == c.function);
        } else {
            FUZZ_CHECK(f.size() >= 4 && f[0] == (station & 0xFF) && f[1] == c.function);
            FUZZ_CHECK(Crc16Bitwise(f.data(), f.size() - 2) ==
                       static_cast<std::uint16_t>(f[f.size() - 2] | f[f.size() - 1] << 8));
            // The reply wait is 2000 ms, counted on a clock that may wrap.
            FUZZ_CHECK(static_cast<std::uint32_t>(fakeline::Now() - clock) <= 2000);
        }
    }
    if (!anyBytes) FUZZ_CHECK(c.result == -1);  // no reply, no success
    if (tcp)
        QV_TCPFree();
    else
        QV_ComFree();
    return 0;
}
