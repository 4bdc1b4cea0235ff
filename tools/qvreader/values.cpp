#include "values.h"

#include <cctype>

#include "errors.h"
#include "output.h"
#include "qvregisters.h"

namespace qvreader {

namespace {

bool Digits(const std::string &text, std::size_t from, int base, unsigned long max, unsigned long &out) {
    if (from >= text.size()) return false;
    unsigned long v = 0;
    for (std::size_t i = from; i < text.size(); ++i) {
        int d;
        char c = text[i];
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        // v * base + d <= max, without the subtraction wrapping when d > max.
        if (static_cast<unsigned long>(d) > max ||
            v > (max - static_cast<unsigned long>(d)) / static_cast<unsigned long>(base))
            return false;
        v = v * static_cast<unsigned long>(base) + static_cast<unsigned long>(d);
    }
    out = v;
    return true;
}

std::string Lower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

const std::vector<std::pair<int, const char *>> kOnOff = {{1, "on"}, {0, "off"}};

}  // namespace

bool HasHexPrefix(const std::string &t) {
    return t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
}

bool ParseNumber(const std::string &text, unsigned long max, unsigned long &out) {
    if (HasHexPrefix(text)) return Digits(text, 2, 16, max, out);
    return Digits(text, 0, 10, max, out);
}

bool ParseHex(const std::string &text, unsigned long max, unsigned long &out) {
    return Digits(text, HasHexPrefix(text) ? 2 : 0, 16, max, out);
}

int ParseBaud(const std::string &text) {
    unsigned long n = 0;
    return ParseNumber(text, 1000000, n) && BaudCode(static_cast<int>(n)) ? static_cast<int>(n) : 0;
}

std::string RateList() {
    std::string s;
    for (int c = 1; c <= qvreg::kBaudCodeCount; ++c) {
        if (c > 1) s += c == qvreg::kBaudCodeCount ? " or " : ", ";
        s += std::to_string(qvreg::kBaudRates[c - 1]);
    }
    return s;
}

std::uint16_t ComposeLed(const LedWord &w) {
    using qvreg::WithField;
    int word = WithField(0, qvreg::kLedOffMask, w.offMs / qvreg::kLedTimeUnitMs);
    word = WithField(word, qvreg::kLedOnMask, w.onMs / qvreg::kLedTimeUnitMs);
    word = WithField(word, qvreg::kLedOutputMask, w.output);
    return static_cast<std::uint16_t>(WithField(word, qvreg::kLedCycleMask, w.cycles));
}

LedWord DecodeLed(std::uint16_t word) {
    using namespace qvreg;
    LedWord w;
    w.offMs = Field(word, kLedOffMask) * kLedTimeUnitMs;
    w.onMs = Field(word, kLedOnMask) * kLedTimeUnitMs;
    w.output = Field(word, kLedOutputMask);
    w.cycles = Field(word, kLedCycleMask);
    return w;
}

const char *OutputName(int output) {
    static const char *const kNames[] = {"none", "led", "beep", "both"};
    return output >= 0 && output <= 3 ? kNames[output] : "none";
}

std::string LedWords(const LedWord &w) {
    static const char *const kWords[] = {"no output", "LED", "buzzer", "LED and buzzer"};
    return std::string(kWords[w.output & 3]) + ", on " + std::to_string(w.onMs) + " ms, off " +
           std::to_string(w.offMs) + " ms, " + std::to_string(w.cycles) + (w.cycles == 1 ? " cycle" : " cycles");
}

const std::vector<Setting> &Settings() {
    using S = Setting;
    static const std::vector<std::pair<int, const char *>> kOnOffAliases = {{1, "1"}, {1, "yes"}, {1, "true"},
                                                                            {0, "0"}, {0, "no"},  {0, "false"}};
    static const std::vector<Setting> settings = {
        {"baud", qvreg::kBaudStation, qvreg::kBaudCodeMask, S::kBaud, {}, false, "bit rate of the serial line"},
        {"station", qvreg::kBaudStation, qvreg::kStationMask, S::kStation, {}, false, "Modbus station id, 1-255"},
        {"card-type",
         qvreg::kReadParams,
         qvreg::kCardTypeMask,
         S::kChoice,
         {{qvreg::kCardTypeEm4100, "em4100"}},
         true,
         "cards looked for: em4100 = EM4001, TK4100 and compatible"},
        {"beep", qvreg::kReadParams, 1 << qvreg::kBeepBit, S::kChoice, kOnOff, false, "beep when a card is read",
         kOnOffAliases},
        {"led", qvreg::kReadParams, 1 << qvreg::kGreenLedBit, S::kChoice, kOnOff, false,
         "flash the green LED when a card is read", kOnOffAliases},
        {"byte-order",
         qvreg::kParameter,
         qvreg::kParamBigEndian,
         S::kChoice,
         {{0, "little"}, {1, "big"}},
         false,
         "byte order of the card number in 40004-40007",
         {{0, "little-endian"}, {1, "big-endian"}}},
        {"auto-clear", qvreg::kParameter, qvreg::kParamAutoClear, S::kChoice, kOnOff, false,
         "card number reads as zero once it has been read", kOnOffAliases},
        {"maker-byte", qvreg::kParameter, qvreg::kParamFactoryByte, S::kChoice, kOnOff, false,
         "manufacturer byte included in the card number", kOnOffAliases},
        {"format",
         qvreg::kParameter,
         qvreg::kParamFormatMask,
         S::kChoice,
         {{qvreg::kFormatHex, "hex"}, {qvreg::kFormatDec10, "dec10"}, {qvreg::kFormatWiegand26, "wiegand26"}},
         true,
         "card number format: hex, dec10 (ten decimal digits) or wiegand26"},
        {"same-card-delay",
         qvreg::kSameCardDelay,
         0xFFFF,
         S::kDelayMs,
         {},
         false,
         "ms before the same card is reported again"},
    };
    return settings;
}

const Setting *FindSetting(const std::string &key) {
    for (const Setting &s : Settings())
        if (key == s.key) return &s;
    return nullptr;
}

std::string SettingKeys() {
    std::string s;
    for (const Setting &x : Settings()) {
        if (!s.empty()) s += ", ";
        s += x.key;
    }
    return s;
}

int FieldOf(const Setting &s, std::uint16_t reg) {
    return qvreg::Field(reg, s.mask);
}

std::uint16_t WithField(const Setting &s, std::uint16_t reg, int field) {
    return static_cast<std::uint16_t>(qvreg::WithField(reg, s.mask, field));
}

int ParseSetting(const Setting &s, const std::string &typed) {
    const std::string key = s.key;
    const std::string value = Lower(typed);
    unsigned long n = 0;
    switch (s.kind) {
        case Setting::kBaud:
            if (const int rate = ParseBaud(value)) return BaudCode(rate);
            throw UsageError("baud: '" + typed + "' is not one of " + RateList());
        case Setting::kStation:
            if (ParseNumber(value, 255, n) && n >= 1) return static_cast<int>(n);
            throw UsageError("station: '" + typed + "' is not a station id from 1 to 255");
        case Setting::kDelayMs: {
            std::string digits = value;
            unsigned long scale = 1;
            if (digits.size() > 2 && digits.compare(digits.size() - 2, 2, "ms") == 0) {
                digits.resize(digits.size() - 2);
            } else if (digits.size() > 1 && digits.back() == 's') {
                digits.pop_back();
                scale = 1000;
            }
            const unsigned long unit = qvreg::kDelayUnitMs, most = 0xFFFF * unit;
            if (Digits(digits, 0, 10, most / scale, n) && (n * scale) % unit == 0)
                return static_cast<int>(n * scale / unit);
            throw UsageError("same-card-delay: '" + typed + "' is not a time in ms from 0 to " + std::to_string(most) +
                             " in steps of " + std::to_string(unit) + " (e.g. 2000 or 2s)");
        }
        case Setting::kChoice:
            break;
    }
    for (const auto *words : {&s.names, &s.aliases})
        for (const auto &name : *words)
            if (value == name.second) return name.first;
    const int top = qvreg::FieldTop(s.mask);
    if (s.rawNumbers && Digits(value, 0, 10, static_cast<unsigned long>(top), n)) return static_cast<int>(n);
    std::string allowed;
    for (std::size_t i = 0; i < s.names.size(); ++i) {
        if (i) allowed += i + 1 == s.names.size() && !s.rawNumbers ? " or " : ", ";
        allowed += s.names[i].second;
    }
    if (s.rawNumbers) allowed += " or a number from 0 to " + std::to_string(top);
    throw UsageError(key + ": '" + typed + "' is not " + allowed);
}

std::string SettingText(const Setting &s, int field) {
    switch (s.kind) {
        case Setting::kBaud: {
            int rate = BaudRate(field);
            return rate ? std::to_string(rate) : "unknown (code " + std::to_string(field) + ")";
        }
        case Setting::kStation:
            return std::to_string(field);
        case Setting::kDelayMs:
            return std::to_string(field * qvreg::kDelayUnitMs);
        case Setting::kChoice:
            break;
    }
    for (const auto &name : s.names)
        if (name.first == field) return name.second;
    return std::to_string(field);
}

std::string SettingJson(const Setting &s, int field) {
    switch (s.kind) {
        case Setting::kBaud:
            return BaudRate(field) ? std::to_string(BaudRate(field)) : "null";
        case Setting::kStation:
        case Setting::kDelayMs:
            return SettingText(s, field);
        case Setting::kChoice:
            break;
    }
    return JsonString(SettingText(s, field));
}

std::string RegisterName(int address) {
    if (address <= 9999) return std::to_string(qvreg::DisplayNumber(address));
    return "0x" + Hex4(static_cast<std::uint16_t>(address));
}

int ParseAddress(const std::string &command, const std::string &text) {
    unsigned long n = 0;
    if (!ParseNumber(text, 65535, n))
        throw UsageError(command + ": address '" + text + "' is not a number from 0 to 65535 (or 40000-49999)");
    if (!HasHexPrefix(text) && n >= 40000 && n <= 49999) n -= 40000;
    return static_cast<int>(n);
}

std::string CardHex(const std::vector<std::uint16_t> &words) {
    std::string s;
    for (std::uint16_t w : words) s += Hex4(w);
    return s;
}

const std::vector<std::uint16_t> &ZeroCard() {
    static const std::vector<std::uint16_t> zero(qvreg::kCardNumberCount, 0);
    return zero;
}

std::vector<int> ParseStations(const std::string &text) {
    std::vector<int> list;
    std::size_t from = 0;
    for (;;) {
        const std::size_t comma = text.find(',', from);
        const std::string one = text.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
        unsigned long n = 0;
        if (!ParseNumber(one, 255, n))
            throw UsageError("--station '" + text + "': '" + one + "' is not a station id from 0 to 255");
        for (int seen : list)
            if (seen == static_cast<int>(n)) throw UsageError("--station '" + text + "' names " + one + " twice");
        list.push_back(static_cast<int>(n));
        if (comma == std::string::npos) return list;
        from = comma + 1;
    }
}

}  // namespace qvreader
