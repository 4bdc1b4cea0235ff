#include "bytes.h"

#include <chrono>
#include <cstdio>

namespace testsupport {

Bytes Hex(const std::string &hex) {
    Bytes out;
    for (size_t i = 0; i < hex.size();) {
        if (hex[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

std::string ToHex(const Bytes &b) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < b.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", b[i]);
        s += buf;
    }
    return s;
}

double NowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

Bytes WithCrc(Bytes frame) {
    std::uint16_t c = 0xFFFF;
    for (std::uint8_t x : frame) {
        c ^= x;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? static_cast<std::uint16_t>((c >> 1) ^ 0xA001) : static_cast<std::uint16_t>(c >> 1);
    }
    frame.push_back(static_cast<std::uint8_t>(c & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(c >> 8));
    return frame;
}

}  // namespace testsupport
