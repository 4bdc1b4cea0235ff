// Result lines: plain text for people, or one JSON object per line.
#pragma once

#include <cstdint>
#include <string>

namespace qvreader {

// A JSON string literal. Valid UTF-8 passes through; control characters and
// bytes that are not UTF-8 (a reader's model name may hold any byte) are
// escaped, the latter as the Latin-1 characters of the same value.
std::string JsonString(const std::string &s);

// Printable ASCII as is, any other byte as \xNN.
std::string Printable(const std::string &s);

// Builds {"key": value, ...} in the order of the calls.
class JsonObject {
public:
    JsonObject &Str(const std::string &key, const std::string &value);
    JsonObject &Num(const std::string &key, long long value);
    JsonObject &Bool(const std::string &key, bool value);
    JsonObject &Raw(const std::string &key, const std::string &json);
    std::string Text() const { return "{" + body_ + "}"; }

private:
    std::string body_;
};

// Writes one line to standard output and flushes it, so a watching script
// sees each line as it comes. Throws OutputClosed when the pipe is closed
// (the reader of our output went away), Failure on another write error.
void Emit(const std::string &line);

// Time stamps of watched cards: "2026-12-07 23:44:45.123" (local time) and
// "2026-12-07T22:44:45.123Z" (UTC, for JSON).
std::string LocalTime();
std::string UtcTime();

// "4 hex digits", upper case.
std::string Hex4(std::uint16_t v);
// key padded to a column, then value: "model            QV-LF125".
std::string Column(const std::string &key, const std::string &value, std::size_t width = 17);

}  // namespace qvreader
