#include "wire.h"

#include <cstdio>

namespace readersim {

std::uint16_t Crc16(const std::uint8_t *data, std::size_t n) {
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            bool lsb = crc & 1;
            crc = static_cast<std::uint16_t>(crc >> 1);
            if (lsb) crc ^= 0xA001;
        }
    }
    return crc;
}

void AppendCrc(Bytes &frame) {
    std::uint16_t c = Crc16(frame.data(), frame.size());
    frame.push_back(static_cast<std::uint8_t>(c & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(c >> 8));
}

bool CrcOk(const std::uint8_t *frame, std::size_t n) {
    if (n < 4) return false;
    std::uint16_t c = Crc16(frame, n - 2);
    return frame[n - 2] == (c & 0xFF) && frame[n - 1] == (c >> 8);
}

namespace {

constexpr std::size_t kMaxRtu = 256;

enum class At { Frame, Incomplete, Invalid };

// What the bytes at p (avail of them) hold. len receives the frame length.
At Probe(const std::uint8_t *p, std::size_t avail, std::size_t &len) {
    if (avail < 4) return At::Incomplete;
    std::size_t rule = 0;
    switch (p[1]) {
        case 0x03:
        case 0x06:
            rule = 8;
            break;
        case 0x10:
            if (avail < 7) return At::Incomplete;
            rule = 9 + static_cast<std::size_t>(p[6]);
            break;
        case 0x46:
            // The reader's own requests: a sub-function byte and 0, 2, 6 or 17 bytes.
            for (std::size_t l : {5u, 7u, 11u, 22u}) {
                if (l <= avail && CrcOk(p, l)) {
                    len = l;
                    return At::Frame;
                }
            }
            break;
        default:
            break;
    }
    if (rule) {
        if (avail < rule) return At::Incomplete;
        if (CrcOk(p, rule)) {
            len = rule;
            return At::Frame;
        }
    }
    // A request that breaks its length rule, or has none: everything that is
    // there, when its CRC holds.
    std::size_t whole = avail < kMaxRtu ? avail : kMaxRtu;
    if (whole > rule && CrcOk(p, whole)) {
        len = whole;
        return At::Frame;
    }
    if (rule || avail >= kMaxRtu) return At::Invalid;
    return At::Incomplete;
}

}  // namespace

RtuScan FindRtuFrame(const std::uint8_t *buf, std::size_t n) {
    RtuScan r;
    for (std::size_t s = 0; s + 4 <= n; ++s) {
        std::size_t len = 0;
        if (Probe(buf + s, n - s, len) == At::Frame) {
            r.skip = s;
            r.length = len;
            return r;
        }
    }
    return r;
}

long MbapFrameLength(const std::uint8_t *buf, std::size_t n) {
    if (n < kMbapHeader) return 0;
    if (buf[2] != 0 || buf[3] != 0) return -1;
    long len = buf[4] * 256L + buf[5];
    if (len < 2 || len > 254) return -1;
    long total = 6 + len;
    return static_cast<long>(n) >= total ? total : 0;
}

Bytes Collide(const std::vector<Bytes> &frames) {
    Bytes out;
    for (const Bytes &f : frames) {
        if (f.size() > out.size()) out.resize(f.size(), 0);
        for (std::size_t i = 0; i < f.size(); ++i) out[i] |= f[i];
    }
    if (CrcOk(out.data(), out.size())) out.back() ^= 0xFF;
    return out;
}

std::string HexTags(const Bytes &b, char open, char close) {
    std::string s;
    s.reserve(b.size() * 4);
    char t[8];
    for (std::uint8_t x : b) {
        std::snprintf(t, sizeof t, "%c%02X%c", open, x, close);
        s += t;
    }
    return s;
}

}  // namespace readersim
