#include "output.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstring>

#include "errors.h"
#include "platform.h"

namespace qvreader {

namespace {

const char kHexDigits[] = "0123456789ABCDEF";

// Length of the UTF-8 sequence starting at s[i], or 0 when it is not one.
std::size_t Utf8Length(const std::string &s, std::size_t i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t n;
    unsigned long cp;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        const unsigned char d = static_cast<unsigned char>(s[i + k]);
        if ((d & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (d & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

}  // namespace

std::string JsonString(const std::string &s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\u00";
            out += kHexDigits[c >> 4];
            out += kHexDigits[c & 15];
        } else if (c >= 0x80) {
            if (std::size_t n = Utf8Length(s, i)) {
                out.append(s, i, n);
                i += n;
                continue;
            }
            out += "\\u00";
            out += kHexDigits[c >> 4];
            out += kHexDigits[c & 15];
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    return out + "\"";
}

std::string Printable(const std::string &s) {
    std::string out;
    for (char ch : s) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c < 0x7F) {
            out += ch;
        } else {
            out += "\\x";
            out += kHexDigits[c >> 4];
            out += kHexDigits[c & 15];
        }
    }
    return out;
}

JsonObject &JsonObject::Raw(const std::string &key, const std::string &json) {
    if (!body_.empty()) body_ += ",";
    body_ += JsonString(key) + ":" + json;
    return *this;
}

JsonObject &JsonObject::Str(const std::string &key, const std::string &value) {
    return Raw(key, JsonString(value));
}

JsonObject &JsonObject::Num(const std::string &key, long long value) {
    return Raw(key, std::to_string(value));
}

JsonObject &JsonObject::Bool(const std::string &key, bool value) {
    return Raw(key, value ? "true" : "false");
}

void Emit(const std::string &line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return;
    if (errno == EPIPE) throw OutputClosed();
    throw Failure(std::string("cannot write the output: ") + std::strerror(errno));
}

namespace {

std::string Stamp(bool utc) {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t secs = system_clock::to_time_t(now);
    const long ms = static_cast<long>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm t{};
    // The tool reads the calendar on its main thread only, so the plain
    // (not thread-safe) functions serve on every platform.
    t = *(utc ? std::gmtime(&secs) : std::localtime(&secs));
    char buf[48];
    std::strftime(buf, sizeof buf, utc ? "%Y-%m-%dT%H:%M:%S" : "%Y-%m-%d %H:%M:%S", &t);
    char out[64];
    std::snprintf(out, sizeof out, "%s.%03ld%s", buf, ms, utc ? "Z" : "");
    return out;
}

}  // namespace

std::string LocalTime() {
    return Stamp(false);
}

std::string UtcTime() {
    return Stamp(true);
}

std::string Hex4(std::uint16_t v) {
    std::string s(4, '0');
    for (int i = 3; i >= 0; --i, v = static_cast<std::uint16_t>(v >> 4))
        s[static_cast<std::size_t>(i)] = kHexDigits[v & 15];
    return s;
}

std::string Column(const std::string &key, const std::string &value, std::size_t width) {
    std::string s = key;
    s.resize(key.size() < width ? width : key.size() + 1, ' ');
    return s + value;
}

}  // namespace qvreader
