// The simulated reader's registers, card and request handling.
#include <chrono>
#include <cstdio>
#include <map>

#include "qvregisters.h"
#include "readersim.h"

namespace readersim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kReadHolding = 0x03;
constexpr std::uint8_t kWriteSingle = 0x06;
constexpr std::uint8_t kWriteMultiple = 0x10;
constexpr std::uint8_t kReaderFunction = 0x46;

constexpr std::uint8_t kIllegalFunction = 1;
constexpr std::uint8_t kIllegalAddress = 2;
constexpr std::uint8_t kIllegalValue = 3;

constexpr int kMaxRead = 125;
constexpr int kMaxWrite = 123;

enum Sub : std::uint8_t { kSubInfo = 0, kSubKey = 1, kSubBaseAddr = 2, kSubTermNo = 3, kSubPermission = 4 };

Bytes Exception(std::uint8_t function, std::uint8_t code) {
    return Bytes{static_cast<std::uint8_t>(function | 0x80), code};
}

int Get16(const Bytes &b, std::size_t at) {
    return b[at] << 8 | b[at + 1];
}

void Put16(Bytes &b, int v) {
    b.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
    b.push_back(static_cast<std::uint8_t>(v & 0xFF));
}

bool IsCardRegister(int a) {
    return a >= qvreg::kCardNumber && a < qvreg::kCardNumber + qvreg::kCardNumberCount;
}

std::string LedWords(std::uint16_t v) {
    static const char *const kOutputs[] = {"nothing", "LED", "buzzer", "LED and buzzer"};
    const int off = qvreg::Field(v, qvreg::kLedOffMask) * qvreg::kLedTimeUnitMs;
    const int on = qvreg::Field(v, qvreg::kLedOnMask) * qvreg::kLedTimeUnitMs;
    const int out = qvreg::Field(v, qvreg::kLedOutputMask);
    const int cycles = qvreg::Field(v, qvreg::kLedCycleMask);
    char t[160];
    std::snprintf(t, sizeof t, "%s, on %d ms, off %d ms, %d cycle%s", kOutputs[out], on, off, cycles,
                  cycles == 1 ? "" : "s");
    return t;
}

std::string ParameterWords(std::uint16_t v) {
    static const char *const kFormats[] = {"HEX", "ten-digit decimal", "HEX", "Wiegand-26"};
    std::string s = (v & qvreg::kParamBigEndian) ? "big-endian" : "little-endian";
    s += (v & qvreg::kParamAutoClear) ? ", auto clear" : ", no auto clear";
    s += (v & qvreg::kParamFactoryByte) ? ", manufacturer byte" : ", no manufacturer byte";
    s += ", ";
    s += kFormats[(v & qvreg::kParamFormatMask) >> qvreg::kParamFormatShift];
    return s;
}

}  // namespace

Bytes CardBytes(std::uint64_t card, std::uint16_t parameter) {
    std::uint8_t manufacturer = static_cast<std::uint8_t>((card >> 32) & 0xFF);
    std::uint32_t serial = static_cast<std::uint32_t>(card & 0xFFFFFFFFu);
    bool withManufacturer = parameter & qvreg::kParamFactoryByte;
    int format = (parameter & qvreg::kParamFormatMask) >> qvreg::kParamFormatShift;

    // Built right to left: b[7] is the least significant byte.
    Bytes b(8, 0);
    int at = 7;
    auto push = [&](std::uint8_t x) { b[static_cast<std::size_t>(at--)] = x; };
    if (format == qvreg::kFormatDec10) {
        std::uint32_t n = serial;
        for (int i = 0; i < 5; ++i) {
            std::uint8_t lo = static_cast<std::uint8_t>(n % 10);
            n /= 10;
            std::uint8_t hi = static_cast<std::uint8_t>(n % 10);
            n /= 10;
            push(static_cast<std::uint8_t>(hi << 4 | lo));
        }
    } else if (format == qvreg::kFormatWiegand26) {
        push(static_cast<std::uint8_t>(serial & 0xFF));
        push(static_cast<std::uint8_t>((serial >> 8) & 0xFF));
        push(static_cast<std::uint8_t>((serial >> 16) & 0xFF));
    } else {
        for (int i = 0; i < 4; ++i) push(static_cast<std::uint8_t>((serial >> (8 * i)) & 0xFF));
    }
    if (withManufacturer) push(manufacturer);
    if (!(parameter & qvreg::kParamBigEndian)) Bytes(b.rbegin(), b.rend()).swap(b);
    return b;
}

struct Reader::Impl {
    Options opt;
    std::map<int, std::uint16_t> regs;  // every known register; the card's four included
    std::uint64_t card = 0;
    bool present = false;
    bool shown = false;  // the card number is in its registers
    bool armed = false;  // the card shows again at appearAt
    Clock::time_point appearAt{};
    int rearmMs = 100;
    std::function<void(const std::string &)> note;

    void Note(const std::string &s) const {
        if (note) note(s);
    }

    std::uint16_t Parameter() const { return regs.at(qvreg::kParameter); }

    void FillCard() {
        Bytes b = CardBytes(card, Parameter());
        for (int i = 0; i < qvreg::kCardNumberCount; ++i)
            regs[qvreg::kCardNumber + i] = static_cast<std::uint16_t>(b[2 * i] << 8 | b[2 * i + 1]);
    }
    void ZeroCard() {
        for (int i = 0; i < qvreg::kCardNumberCount; ++i) regs[qvreg::kCardNumber + i] = 0;
    }
    // Puts the card number into its registers once it is due.
    void Refresh() {
        if (present && !shown && armed && Clock::now() >= appearAt) {
            FillCard();
            shown = true;
            armed = false;
        }
    }
    void ArmAfter(int ms) {
        armed = true;
        appearAt = Clock::now() + std::chrono::milliseconds(ms);
    }

    bool Known(int a) const { return regs.count(a) != 0; }

    // Stores a written value with the reader's side effects.
    void Write(int a, std::uint16_t v) {
        char t[200];
        if (a == qvreg::kBaudStation) {
            std::uint16_t old = regs[a];
            int baud = v >> 8 ? v >> 8 : old >> 8;
            int station = v & 0xFF ? v & 0xFF : old & 0xFF;
            regs[a] = static_cast<std::uint16_t>(baud << 8 | station);
            int rate = qvreg::BaudRate(baud);
            std::snprintf(t, sizeof t, "40001 = 0x%04X: baud code %d (%d bit/s), station %d", regs[a], baud, rate,
                          station);
            Note(t);
            return;
        }
        regs[a] = v;
        if (a == qvreg::kLedBeep) {
            std::snprintf(t, sizeof t, "40003 = 0x%04X: %s", v, LedWords(v).c_str());
        } else if (a == qvreg::kParameter) {
            if (shown) FillCard();
            std::snprintf(t, sizeof t, "40100 = 0x%04X: %s", v, ParameterWords(v).c_str());
        } else if (a == qvreg::kSameCardDelay) {
            std::snprintf(t, sizeof t, "40106 = 0x%04X: same-card delay %d ms", v, v * 100);
        } else {
            std::snprintf(t, sizeof t, "%d = 0x%04X", qvreg::DisplayNumber(a), v);
        }
        Note(t);
    }

    // After a write to the card number registers: all zero re-arms reading,
    // anything else stays as written until the next re-arm.
    void CardWritten() {
        shown = false;
        bool zero = true;
        for (int i = 0; i < qvreg::kCardNumberCount; ++i) zero = zero && regs[qvreg::kCardNumber + i] == 0;
        if (zero) {
            ArmAfter(rearmMs);
            Note("40004-40007 cleared: card reading re-armed");
        } else {
            armed = false;
        }
    }

    Bytes ReadHolding(const Bytes &pdu) {
        if (pdu.size() != 5) return Exception(kReadHolding, kIllegalValue);
        int start = Get16(pdu, 1), count = Get16(pdu, 3);
        if (count < 1 || count > kMaxRead) return Exception(kReadHolding, kIllegalValue);
        for (int a = start; a < start + count; ++a)
            if (!Known(a)) return Exception(kReadHolding, kIllegalAddress);
        Refresh();
        Bytes r{kReadHolding, static_cast<std::uint8_t>(2 * count)};
        bool cardRead = false;
        for (int a = start; a < start + count; ++a) {
            Put16(r, regs[a]);
            cardRead = cardRead || IsCardRegister(a);
        }
        if (cardRead && shown && (Parameter() & qvreg::kParamAutoClear)) {
            ZeroCard();
            shown = false;
            ArmAfter(regs[qvreg::kSameCardDelay] * 100);
        }
        return r;
    }

    Bytes WriteSingle(const Bytes &pdu) {
        if (pdu.size() != 5) return Exception(kWriteSingle, kIllegalValue);
        int a = Get16(pdu, 1);
        if (!Known(a)) return Exception(kWriteSingle, kIllegalAddress);
        Refresh();
        Write(a, static_cast<std::uint16_t>(Get16(pdu, 3)));
        if (IsCardRegister(a)) CardWritten();
        return pdu;
    }

    Bytes WriteMultiple(const Bytes &pdu) {
        if (pdu.size() < 6) return Exception(kWriteMultiple, kIllegalValue);
        int start = Get16(pdu, 1), count = Get16(pdu, 3);
        if (count < 1 || count > kMaxWrite || pdu[5] != 2 * count || pdu.size() != 6 + 2u * count)
            return Exception(kWriteMultiple, kIllegalValue);
        bool card = false;
        for (int a = start; a < start + count; ++a) {
            if (!Known(a)) return Exception(kWriteMultiple, kIllegalAddress);
            card = card || IsCardRegister(a);
        }
        Refresh();
        for (int i = 0; i < count; ++i) Write(start + i, static_cast<std::uint16_t>(Get16(pdu, 6 + 2 * i)));
        if (card) CardWritten();
        return Bytes(pdu.begin(), pdu.begin() + 5);
    }

    Bytes ReaderRequest(const Bytes &pdu) {
        if (pdu.size() < 2) return Exception(kReaderFunction, kIllegalValue);
        std::size_t n = pdu.size() - 1;  // sub-function and what follows
        std::uint8_t sub = pdu[1];
        char t[120];
        switch (sub) {
            case kSubInfo: {
                if (n != 1) return Exception(kReaderFunction, kIllegalValue);
                Bytes r{kReaderFunction, 0x00};
                for (std::size_t i = 0; i < 8; ++i)
                    r.push_back(i < opt.model.size() ? static_cast<std::uint8_t>(opt.model[i]) : 0);
                Put16(r, opt.baseAddress);
                r.push_back(static_cast<std::uint8_t>(opt.versionMajor));
                r.push_back(static_cast<std::uint8_t>(opt.versionMinor));
                return r;
            }
            case kSubKey:
                if (n != 7 && n != 18) return Exception(kReaderFunction, kIllegalValue);
                Note(n == 7 ? "key received (6 bytes)" : "key received (selector and 16 bytes)");
                break;
            case kSubBaseAddr:
                if (n != 3) return Exception(kReaderFunction, kIllegalValue);
                opt.baseAddress = Get16(pdu, 2);
                std::snprintf(t, sizeof t, "base register address = 0x%04X", opt.baseAddress);
                Note(t);
                break;
            case kSubTermNo:
                if (n != 7) return Exception(kReaderFunction, kIllegalValue);
                Note("terminal number received");
                break;
            case kSubPermission:
                if (n != 18) return Exception(kReaderFunction, kIllegalValue);
                Note("permission received");
                break;
            default:
                return Exception(kReaderFunction, kIllegalFunction);
        }
        return Bytes{kReaderFunction, sub};
    }
};

Reader::Reader(const Options &o) : impl_(std::make_unique<Impl>()) {
    Impl &d = *impl_;
    d.opt = o;
    if (d.opt.model.size() > 8) d.opt.model.resize(8);
    d.rearmMs = o.rearmMs < 0 ? 0 : o.rearmMs;
    int code = qvreg::BaudCode(o.baud);
    if (!code) code = qvreg::BaudCode(qvreg::kDefaultBaud);
    d.regs = {
        {qvreg::kBaudStation, static_cast<std::uint16_t>(qvreg::WithField(
                                  qvreg::WithField(0, qvreg::kBaudCodeMask, code), qvreg::kStationMask, o.station))},
        {qvreg::kReadParams, 0x0005},
        {qvreg::kLedBeep, 0x0000},
        {qvreg::kUnused8, 0x0001},  // card count since power-up
        {qvreg::kUnused9, 0x0000},
        {qvreg::kUnused10, 0x0000},
        {qvreg::kParameter, 0x0010},
        {qvreg::kSameCardDelay, 0x0014},
    };
    d.ZeroCard();
    d.card = o.card;
    d.present = o.cardPresent;
    if (d.present) d.ArmAfter(0);
}

Reader::~Reader() = default;

std::optional<Bytes> Reader::Handle(std::uint8_t station, const Bytes &pdu) {
    if (station != 0 && station != Station()) return std::nullopt;
    if (pdu.empty()) return Exception(0, kIllegalFunction);
    switch (pdu[0]) {
        case kReadHolding:
            return impl_->ReadHolding(pdu);
        case kWriteSingle:
            return impl_->WriteSingle(pdu);
        case kWriteMultiple:
            return impl_->WriteMultiple(pdu);
        case kReaderFunction:
            return impl_->ReaderRequest(pdu);
        default:
            return Exception(pdu[0], kIllegalFunction);
    }
}

std::uint16_t Reader::Register(int address) const {
    impl_->Refresh();
    auto it = impl_->regs.find(address);
    return it == impl_->regs.end() ? 0 : it->second;
}

void Reader::SetRegister(int address, std::uint16_t value) {
    if (!impl_->Known(address)) return;
    impl_->Refresh();
    impl_->Write(address, value);
    if (IsCardRegister(address)) impl_->CardWritten();
}

int Reader::Station() const {
    return impl_->regs.at(qvreg::kBaudStation) & 0xFF;
}

int Reader::LineRate() const {
    return qvreg::BaudRate(impl_->regs.at(qvreg::kBaudStation) >> 8);
}

bool Reader::StrictBaud() const {
    return impl_->opt.strictBaud;
}

void Reader::SetCard(std::uint64_t card, bool present) {
    Impl &d = *impl_;
    d.card = card & 0xFFFFFFFFFFull;
    d.present = present;
    d.shown = false;
    d.ZeroCard();
    if (present)
        d.ArmAfter(0);
    else
        d.armed = false;
}

void Reader::RemoveCard() {
    SetCard(impl_->card, false);
}

void Reader::SetRearmMs(int ms) {
    impl_->rearmMs = ms < 0 ? 0 : ms;
}

void Reader::SetNoteSink(std::function<void(const std::string &)> sink) {
    impl_->note = std::move(sink);
}

}  // namespace readersim
