#include "commands.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <thread>

#include "errors.h"
#include "output.h"
#include "link.h"
#include "platform.h"
#include "qvmodbusrtu.h"
#include "qvregisters.h"
#include "values.h"

namespace qvreader {

namespace {

// The options and operands of one command, "--name value" and "--name=value"
// alike.
class CommandArgs {
public:
    CommandArgs(const std::string &command, const Args &args) : command_(command), args_(args) {}

    bool Next() { return ++at_ < args_.size(); }
    // The current word, without any "=value" of an option.
    std::string Word() const {
        const std::string &a = args_[at_];
        const std::size_t eq = a.find('=');
        return IsOption() && eq != std::string::npos ? a.substr(0, eq) : a;
    }
    bool IsOption() const { return args_[at_].size() > 1 && args_[at_][0] == '-'; }
    std::string Value() {
        const std::string &a = args_[at_];
        const std::size_t eq = a.find('=');
        if (eq != std::string::npos) return a.substr(eq + 1);
        if (at_ + 1 >= args_.size()) throw UsageError(command_ + ": " + a + " needs a value");
        return args_[++at_];
    }
    unsigned long Number(unsigned long lo, unsigned long hi) {
        const std::string option = Word();
        const std::string v = Value();
        unsigned long n = 0;
        if (!ParseNumber(v, hi, n) || n < lo)
            throw UsageError(command_ + ": " + option + " '" + v + "' is not a number from " + std::to_string(lo) +
                             " to " + std::to_string(hi));
        return n;
    }
    // A switch takes no value: "--rearm=no" is refused, not taken as --rearm.
    void Switch() const {
        if (args_[at_].find('=') != std::string::npos) throw UsageError(command_ + ": " + Word() + " takes no value");
    }
    [[noreturn]] void Unknown() const {
        if (IsOption()) throw UsageError(command_ + ": unknown option '" + Word() + "'");
        throw UsageError(command_ + ": unexpected '" + args_[at_] + "'");
    }

private:
    std::string command_;
    const Args &args_;
    std::size_t at_ = static_cast<std::size_t>(-1);
};

std::string CardHex(const std::vector<std::uint16_t> &words) {
    std::string s;
    for (std::uint16_t w : words) s += Hex4(w);
    return s;
}

const std::vector<std::uint16_t> kZeroCard(qvreg::kCardNumberCount, 0);

// "40004" for the reader's own registers, "0xFFF0" past them.
std::string RegisterName(int address) {
    if (address <= 9999) return std::to_string(qvreg::DisplayNumber(address));
    return "0x" + Hex4(static_cast<std::uint16_t>(address));
}

// Decimal 40000-49999 names register 40000 + N; anything else, and every
// hexadecimal number, is the protocol address itself.
int ParseAddress(const std::string &command, const std::string &text) {
    unsigned long n = 0;
    if (!ParseNumber(text, 65535, n))
        throw UsageError(command + ": address '" + text + "' is not a number from 0 to 65535 (or 40000-49999)");
    if (!HasHexPrefix(text) && n >= 40000 && n <= 49999) n -= 40000;
    return static_cast<int>(n);
}

// ---------------------------------------------------------------- info

int Info(Link &link, const Options &opt, const Args &args) {
    CommandArgs a("info", args);
    while (a.Next()) a.Unknown();
    const std::vector<std::uint8_t> b = link.Info(opt.station, "info");
    if (b.size() < static_cast<std::size_t>(qvreg::kInfoUsed))
        throw Failure("info: the device information holds " + std::to_string(b.size()) + " bytes, not " +
                      std::to_string(qvreg::kInfoUsed));
    std::string model;
    for (int i = 0; i < qvreg::kInfoModelSize && b[static_cast<std::size_t>(qvreg::kInfoModel + i)]; ++i)
        model += static_cast<char>(b[static_cast<std::size_t>(qvreg::kInfoModel + i)]);
    const int base = b[qvreg::kInfoBaseAddr] << 8 | b[qvreg::kInfoBaseAddr + 1];
    const std::string version =
        std::to_string(b[qvreg::kInfoVersionMajor]) + "." + std::to_string(b[qvreg::kInfoVersionMinor]);
    if (opt.json) {
        Emit(JsonObject().Str("model", model).Str("version", version).Num("base-address", base).Text());
    } else {
        Emit(Column("model", Printable(model)));
        Emit(Column("version", version));
        Emit(Column("base address", std::to_string(base) + " (0x" + Hex4(static_cast<std::uint16_t>(base)) + ")"));
    }
    return 0;
}

// ---------------------------------------------------------------- card

// Sleeps until due, in short steps so that Ctrl-C ends the wait at once.
void SleepUntil(std::chrono::steady_clock::time_point due) {
    while (!platform::Interrupted()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= due) return;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - now);
        std::this_thread::sleep_for(left < std::chrono::milliseconds(50) ? left : std::chrono::milliseconds(50));
    }
}

int Watch(Link &link, const Options &opt, int intervalMs, bool rearm, unsigned long count) {
    if (!opt.json && platform::IsTerminal(stdout))
        std::fprintf(stderr, "watching %s for cards every %d ms; Ctrl-C ends\n", link.Where().c_str(), intervalMs);
    std::vector<std::uint16_t> last = kZeroCard;
    unsigned long seen = 0;
    bool failing = false;
    auto due = std::chrono::steady_clock::now();
    try {
        while (!platform::Interrupted()) {
            try {
                std::vector<std::uint16_t> card =
                    link.Read(opt.station, qvreg::kCardNumber, qvreg::kCardNumberCount, "card");
                if (failing) std::fprintf(stderr, "qvreader: card: the reader answers again\n");
                failing = false;
                if (card != last && card != kZeroCard) {
                    if (opt.json)
                        Emit(JsonObject().Str("time", UtcTime()).Str("card", CardHex(card)).Text());
                    else
                        Emit(LocalTime() + "  " + CardHex(card));
                    ++seen;
                    if (rearm) {
                        link.WriteMany(opt.station, qvreg::kCardNumber, kZeroCard, "card: re-arming");
                        card = kZeroCard;  // the same card shown again is new
                    }
                    if (count && seen >= count) return 0;
                }
                last = card;
            } catch (const Failure &e) {
                // An unplugged cable or a busy reader: say so once and keep watching.
                if (!failing) std::fprintf(stderr, "qvreader: %s (still watching)\n", e.what());
                failing = true;
                // A USB adapter pulled and plugged in again is a new device:
                // only a fresh open reaches it.
                if (link.Serial()) {
                    try {
                        link.Reopen(link.Baud());
                    } catch (const LinkError &) {
                    }
                }
            }
            due += std::chrono::milliseconds(intervalMs);
            const auto now = std::chrono::steady_clock::now();
            if (due < now) due = now;  // a slow reply does not make the next polls come in a burst
            SleepUntil(due);
            // Nobody reads on (card --watch | head -1): end as a closed pipe does.
            if (platform::OutputGone()) throw OutputClosed();
        }
    } catch (const Interrupted &) {
    }
    return 0;  // Ctrl-C is how a watch ends
}

int Card(Link &link, const Options &opt, const Args &args) {
    CommandArgs a("card", args);
    bool watch = false, rearm = false, watchOnly = false;
    int interval = 500;
    unsigned long count = 0;
    while (a.Next()) {
        const std::string w = a.Word();
        if (w == "--watch") {
            a.Switch();
            watch = true;
        } else if (w == "--interval") {
            interval = static_cast<int>(a.Number(10, 3600000));
            watchOnly = true;
        } else if (w == "--rearm") {
            a.Switch();
            rearm = watchOnly = true;
        } else if (w == "--count") {
            count = a.Number(1, 1000000000);
            watchOnly = true;
        } else {
            a.Unknown();
        }
    }
    if (watchOnly && !watch) throw UsageError("card: --interval, --rearm and --count go with --watch");
    if (watch) return Watch(link, opt, interval, rearm, count);
    const std::vector<std::uint16_t> card = link.Read(opt.station, qvreg::kCardNumber, qvreg::kCardNumberCount, "card");
    if (opt.json)
        Emit(JsonObject().Str("card", CardHex(card)).Text());
    else
        Emit(Column("card", CardHex(card) + (card == kZeroCard ? "  (none read since the last clear)" : "")));
    return 0;
}

// ---------------------------------------------------------------- clear

int Clear(Link &link, const Options &opt, const Args &args) {
    CommandArgs a("clear", args);
    while (a.Next()) a.Unknown();
    link.WriteMany(opt.station, qvreg::kCardNumber, kZeroCard, "clear");
    if (opt.json)
        Emit(JsonObject().Bool("cleared", true).Text());
    else
        Emit("card reading re-armed: 40004-40007 cleared");
    return 0;
}

// ---------------------------------------------------------------- led

int Led(Link &link, const Options &opt, const Args &args) {
    CommandArgs a("led", args);
    LedWord w;
    bool fields = false, word = false;
    std::uint16_t value = 0;
    auto time = [&a]() {
        const std::string option = a.Word();
        const std::string v = a.Value();
        unsigned long ms = 0;
        if (!ParseNumber(v, 1500, ms) || ms % 100)
            throw UsageError("led: " + option + " '" + v + "' is not a time in ms from 0 to 1500 in steps of 100");
        return static_cast<int>(ms);
    };
    while (a.Next()) {
        const std::string o = a.Word();
        if (o == "--output") {
            const std::string v = a.Value();
            if (v == "led")
                w.output = 1;
            else if (v == "beep" || v == "buzzer")
                w.output = 2;
            else if (v == "both")
                w.output = 3;
            else
                throw UsageError("led: --output '" + v + "' is not led, beep or both");
            fields = true;
        } else if (o == "--cycles") {
            w.cycles = static_cast<int>(a.Number(0, 63));
            fields = true;
        } else if (o == "--on") {
            w.onMs = time();
            fields = true;
        } else if (o == "--off") {
            w.offMs = time();
            fields = true;
        } else if (o == "--word") {
            const std::string v = a.Value();
            unsigned long n = 0;
            if (!ParseHex(v, 0xFFFF, n)) throw UsageError("led: --word '" + v + "' is not a hex word from 0 to FFFF");
            value = static_cast<std::uint16_t>(n);
            word = true;
        } else {
            a.Unknown();
        }
    }
    if (word && fields) throw UsageError("led: --word goes alone, without --output, --cycles, --on or --off");
    if (!word) value = ComposeLed(w);
    link.Write(opt.station, qvreg::kLedBeep, value, "led");
    const LedWord d = DecodeLed(value);
    if (opt.json)
        Emit(JsonObject()
                 .Str("word", Hex4(value))
                 .Str("output", OutputName(d.output))
                 .Num("cycles", d.cycles)
                 .Num("on-ms", d.onMs)
                 .Num("off-ms", d.offMs)
                 .Text());
    else
        Emit("40003 = 0x" + Hex4(value) + ": " + LedWords(d));
    return 0;
}

// ---------------------------------------------------------------- config

int Config(Link &link, const Options &opt, const Args &args) {
    CommandArgs a("config", args);
    while (a.Next()) a.Unknown();
    std::map<int, std::uint16_t> regs;
    for (int address : SettingRegisters())
        regs[address] = link.ReadOne(opt.station, address, "config: reading " + RegisterName(address));
    if (opt.json) {
        JsonObject o;
        for (const Setting &s : Settings()) o.Raw(s.key, SettingJson(s, FieldOf(s, regs[s.address])));
        Emit(o.Text());
        return 0;
    }
    int shown = -1;
    for (const Setting &s : Settings()) {
        if (s.address != shown) {
            Emit(RegisterName(s.address) + " = 0x" + Hex4(regs[s.address]));
            shown = s.address;
        }
        Emit("  " + Column(s.key, Column(SettingText(s, FieldOf(s, regs[s.address])), s.meaning, 12)));
    }
    return 0;
}

// ---------------------------------------------------------------- set

struct Change {
    const Setting *setting;
    int field;
};

int Set(Link &link, const Options &opt, const Args &args) {
    std::vector<Change> changes;
    for (const std::string &arg : args) {
        const std::size_t eq = arg.find('=');
        if (arg.size() > 1 && arg[0] == '-') throw UsageError("set: unknown option '" + arg + "'");
        if (eq == std::string::npos || eq == 0)
            throw UsageError("set: '" + arg + "' is not KEY=VALUE; keys: " + SettingKeys());
        const std::string key = arg.substr(0, eq);
        const Setting *s = FindSetting(key);
        if (!s) throw UsageError("set: unknown key '" + key + "'; keys: " + SettingKeys());
        for (const Change &c : changes)
            if (c.setting == s) throw UsageError("set: " + key + " is given twice");
        changes.push_back({s, ParseSetting(*s, arg.substr(eq + 1))});
    }
    if (changes.empty()) throw UsageError("set: give one or more KEY=VALUE; keys: " + SettingKeys());

    // 40001 last: a new rate or station id applies from the next request.
    const int order[] = {qvreg::kReadParams, qvreg::kParameter, qvreg::kSameCardDelay, qvreg::kBaudStation};
    std::vector<std::string> notes;
    for (int address : order) {
        std::vector<const Change *> mine;
        for (const Change &c : changes)
            if (c.setting->address == address) mine.push_back(&c);
        if (mine.empty()) continue;
        const std::string name = RegisterName(address);
        const std::uint16_t old = link.ReadOne(opt.station, address, "set: reading " + name);
        std::uint16_t want = old;
        for (const Change *c : mine) want = WithField(*c->setting, want, c->field);

        std::uint16_t now = old;
        if (want != old) {
            int confirmStation = opt.station;
            std::string writeFailure, writeHint;
            try {
                link.Write(opt.station, address, want, "set: writing " + name + " = 0x" + Hex4(want));
            } catch (const Failure &e) {
                if (address != qvreg::kBaudStation) throw;
                writeFailure = e.what();  // it may have answered at the new rate already
                writeHint = e.hint;
            }
            if (address == qvreg::kBaudStation) {
                const Setting &baud = *FindSetting("baud");
                const Setting &station = *FindSetting("station");
                const int newRate = BaudRate(FieldOf(baud, want));
                const bool rateChanged = FieldOf(baud, want) != FieldOf(baud, old);
                const bool idChanged = FieldOf(station, want) != FieldOf(station, old);
                // Station 0 is answered whatever the id; another station is the reader's own.
                if (idChanged && opt.station != 0) confirmStation = FieldOf(station, want);
                if (rateChanged && link.Serial()) {
                    link.Reopen(newRate);
                    notes.push_back("link reopened at " + std::to_string(newRate) + " bit/s; use --baud " +
                                    std::to_string(newRate) + " from now on");
                } else if (rateChanged) {
                    notes.push_back("the reader's serial line now runs at " + std::to_string(newRate) + " bit/s");
                }
                if (idChanged)
                    notes.push_back("the reader is now station " + std::to_string(FieldOf(station, want)) +
                                    "; use --station " + std::to_string(FieldOf(station, want)) + " (or 0)");
            }
            try {
                now = link.ReadOne(confirmStation, address, "set: reading " + name + " back");
            } catch (const Failure &) {
                if (!writeFailure.empty()) throw Failure(writeFailure, writeHint);
                throw;
            }
            if (!writeFailure.empty() && now == want)
                std::fprintf(stderr, "qvreader: set: no reply to the write of %s, but it reads back as written\n",
                             name.c_str());
            if (now != want)
                throw Failure("set: " + name + " reads back 0x" + Hex4(now) + " after 0x" + Hex4(want) +
                              " was written: the reader did not take the change" +
                              (writeFailure.empty() ? "" : " (" + writeFailure + ")"));
        }
        JsonObject o;
        for (const Change *c : mine) {
            const Setting &s = *c->setting;
            if (opt.json) {
                o.Raw(s.key, SettingJson(s, FieldOf(s, now)));
            } else {
                const std::string before = SettingText(s, FieldOf(s, old));
                const std::string after = SettingText(s, FieldOf(s, now));
                Emit(Column(s.key, before == after ? after + " (unchanged)" : before + " -> " + after));
            }
        }
        if (opt.json) Emit(o.Text());
    }
    if (!opt.json)
        for (const std::string &n : notes) Emit(n);
    return 0;
}

// ---------------------------------------------------------------- read, write

int Read(Link &link, const Options &opt, const Args &args) {
    CommandArgs a("read", args);
    std::vector<std::string> operands;
    while (a.Next()) {
        if (a.IsOption()) a.Unknown();
        operands.push_back(a.Word());
    }
    if (operands.empty() || operands.size() > 2) throw UsageError("read: give ADDRESS [COUNT]");
    const int address = ParseAddress("read", operands[0]);
    unsigned long count = 1;
    if (operands.size() == 2 && (!ParseNumber(operands[1], 125, count) || count < 1))
        throw UsageError("read: count '" + operands[1] + "' is not a number from 1 to 125");
    if (address + static_cast<int>(count) - 1 > 65535) throw UsageError("read: the registers end at address 65535");
    const std::vector<std::uint16_t> v = link.Read(opt.station, address, static_cast<int>(count), "read");
    for (std::size_t i = 0; i < v.size(); ++i) {
        const int at = address + static_cast<int>(i);
        if (opt.json) {
            Emit(JsonObject().Num("address", at).Num("value", v[i]).Str("hex", Hex4(v[i])).Text());
        } else {
            std::string dec = std::to_string(v[i]);
            dec.insert(0, 5 - dec.size(), ' ');
            Emit(Column(RegisterName(at), "0x" + Hex4(v[i]) + "  " + dec, 8));
        }
    }
    return 0;
}

int Write(Link &link, const Options &opt, const Args &args) {
    CommandArgs a("write", args);
    std::vector<std::string> operands;
    while (a.Next()) {
        if (a.IsOption()) a.Unknown();
        operands.push_back(a.Word());
    }
    if (operands.size() < 2) throw UsageError("write: give ADDRESS VALUE...");
    const int address = ParseAddress("write", operands[0]);
    std::vector<std::uint16_t> values;
    for (std::size_t i = 1; i < operands.size(); ++i) {
        unsigned long n = 0;
        if (!ParseNumber(operands[i], 0xFFFF, n))
            throw UsageError("write: value '" + operands[i] + "' is not a number from 0 to 65535 (or 0xFFFF)");
        values.push_back(static_cast<std::uint16_t>(n));
    }
    if (values.size() > 123) throw UsageError("write: at most 123 values at once");
    if (address + static_cast<int>(values.size()) - 1 > 65535)
        throw UsageError("write: the registers end at address 65535");
    // One value goes as a single-register write, several as one block.
    if (values.size() == 1)
        link.Write(opt.station, address, values[0], "write");
    else
        link.WriteMany(opt.station, address, values, "write");
    if (opt.json) {
        std::string list = "[";
        for (std::size_t i = 0; i < values.size(); ++i) list += (i ? "," : "") + std::to_string(values[i]);
        Emit(JsonObject().Num("address", address).Raw("values", list + "]").Text());
    } else {
        std::string words;
        for (std::uint16_t v : values) words += " 0x" + Hex4(v);
        const int lastAt = address + static_cast<int>(values.size()) - 1;
        Emit((values.size() == 1 ? RegisterName(address) : RegisterName(address) + "-" + RegisterName(lastAt)) + " =" +
             words + " written");
    }
    return 0;
}

// ---------------------------------------------------------------- find

int Find(Link &link, const Options &opt, const Args &args) {
    CommandArgs a("find", args);
    while (a.Next()) a.Unknown();
    if (!link.Serial()) throw UsageError("find: looks for a bit rate on a serial port; give --port, not --tcp");
    // The rate asked for, then the reader's default 19200, then the others.
    std::vector<int> rates = {opt.baud};
    if (opt.baud != 19200) rates.push_back(19200);
    for (int r : qvreg::kBaudRates)
        if (r != opt.baud && r != 19200) rates.push_back(r);
    bool opened = false;
    for (int rate : rates) {
        try {
            if (opened)
                link.Reopen(rate);
            else
                link.Open(rate);
            opened = true;
        } catch (const LinkError &e) {
            if (!opened) throw;
            std::fprintf(stderr, "find: %d bit/s: cannot set this rate on the port\n", rate);
            continue;
        }
        std::uint16_t v = 0;
        try {
            v = link.ReadOne(opt.station, qvreg::kBaudStation, "find");
        } catch (const Failure &e) {
            if (e.code == QV_E_LINKLOST) throw;
            if (e.code >= QV_E_EXCEPTION_BASE) {  // a refusal is an answer: the rate is right
                std::fprintf(stderr, "find: %d bit/s: station %d answers with %s\n", rate, opt.station,
                             ExceptionWords(e.code).c_str());
                if (opt.json)
                    Emit(JsonObject().Num("baud", rate).Num("exception", e.code - QV_E_EXCEPTION_BASE).Text());
                else
                    Emit("a device answers on " + link.Where() + ", but refuses to read 40001: " +
                         ExceptionWords(e.code));
                return 0;
            }
            std::fprintf(stderr, "find: %d bit/s: %s\n", rate,
                         e.code == QV_E_NOREPLY ? "no answer" : OutcomeWords(e.code, true).c_str());
            continue;
        }
        const int station = v & qvreg::kStationMask;
        const int named = BaudRate((v & qvreg::kBaudCodeMask) >> 8);
        std::fprintf(stderr, "find: %d bit/s: station %d answers\n", rate, station);
        if (opt.json) {
            Emit(JsonObject().Num("baud", rate).Num("station", station).Text());
        } else {
            Emit("reader found on " + link.Where() + ", station " + std::to_string(station) +
                 (named && named != rate ? " (its 40001 names " + std::to_string(named) + " bit/s)" : ""));
            Emit("  qvreader --port " + link.PortText() + " --baud " + std::to_string(rate) + " --station " +
                 std::to_string(station) + " info");
        }
        return 0;
    }
    throw Failure("find: no reader answered station " + std::to_string(opt.station) + " on " + link.PortText() +
                  " at any of the seven rates");
}

// ---------------------------------------------------------------- ports

int Ports(Link &, const Options &opt, const Args &args) {
    CommandArgs a("ports", args);
    while (a.Next()) a.Unknown();
    std::vector<std::pair<std::string, std::string>> ports;
    if (!platform::ListPorts(ports)) throw Failure("ports: cannot read " + platform::PortsSource());
    for (const auto &p : ports) {
        if (opt.json)
            Emit(JsonObject().Str("port", p.first).Str("device", p.second).Text());
        else
            Emit(Column(p.first, Printable(p.second), 7));
    }
    if (ports.empty() && !opt.json) Emit("no serial ports (" + platform::PortsSource() + ")");
    return 0;
}

// ---------------------------------------------------------------- help texts

const char kInfoHelp[] = R"(Usage: qvreader [options] info
Reads the reader's device information: model name, firmware version and
register base address.
  qvreader --port COM1 info
  qvreader --json --port COM1 info    {"model":"QV-LF125","version":"1.5","base-address":0}
)";

const char kCardHelp[] = R"(Usage: qvreader [options] card [--watch [--interval MS] [--rearm] [--count N]]
Reads the card number, registers 40004-40007, as 16 hex digits. Zeros mean
no card was read since the last clear. The reader's format settings
(config: byte-order, maker-byte, format) decide what the digits hold.
  --watch          poll and print each new card number once, with the time
                   (JSON: {"time":"...Z","card":"..."}, the time in UTC); a
                   card is new when the registers show another number than
                   at the poll before; zeros are never printed
  --interval MS    time between polls, 10 to 3600000 ms (default 500)
  --rearm          after each card, zero 40004-40007 so that the reader reads
                   again: the same card held again is reported again
  --count N        end after N cards
Ctrl-C ends a watch with exit status 0. A reader that stops answering is
reported once on standard error; the watch goes on.
  qvreader --port COM1 card
  qvreader --port COM1 card --watch --rearm
  qvreader --json --port COM1 card --watch --count 1
)";

const char kClearHelp[] = R"(Usage: qvreader [options] clear
Re-arms card reading: writes four zero words to 40004-40007, so the reader
reads the card in front of it afresh.
)";

const char kLedHelp[] = R"(Usage: qvreader [options] led [--output led|beep|both] [--cycles N]
                                   [--on MS] [--off MS]
       qvreader [options] led --word HEX
Flashes the LED and/or sounds the buzzer: writes register 40003.
  --output         led, beep (or buzzer) or both (default beep)
  --cycles N       0 to 63 (default 1)
  --on MS          on time, 0 to 1500 ms in steps of 100 (default 100)
  --off MS         off time, 0 to 1500 ms in steps of 100 (default 100)
  --word HEX       the register word itself, 0000 to FFFF
The word: bits 0-3 off time and 4-7 on time in 100 ms units, bits 8-9 output
(1 LED, 2 buzzer, 3 both), bits 10-15 cycles. Without options: 0x0611.
  qvreader --port COM1 led
  qvreader --port COM1 led --output both --cycles 3 --on 200 --off 300
  qvreader --port COM1 led --word 0x0D22
)";

const char kConfigHelp[] = R"(Usage: qvreader [options] config
Reads 40001, 40002, 40100 and 40106 and shows every setting in words, with
the value that 'set' takes:
  baud             bit rate: 9600 14400 19200 28800 38400 57600 115200
  station          station id, 1-255
  card-type        em4100 (EM4001, TK4100 and compatible), or a code 0-15
  beep             on/off: beep when a card is read
  led              on/off: flash the green LED when a card is read
  byte-order       big or little: byte order of the card number
  auto-clear       on/off: the card number reads as zero once read
  maker-byte       on/off: the manufacturer byte is part of the card number
  format           hex, dec10 (ten decimal digits) or wiegand26 (or 0-3)
  same-card-delay  ms before the same card is reported again (steps of 100)
JSON: one object with these keys; baud, station and same-card-delay are
numbers, the others strings.
)";

const char kSetHelp[] = R"(Usage: qvreader [options] set KEY=VALUE...
Changes settings (keys and values as 'qvreader config --help' lists them).
Each register is read, changed in the named fields only, written back and
read again to confirm; 40001 (baud, station) goes last. A new bit rate or
station id applies from the next request: on a serial port the link is
reopened at the new rate for the confirming read, and when --station names
the reader's old id the read goes to the new one (station 0 is answered
whatever the id). Use the new --baud and --station from then on.
  qvreader --port COM1 set beep=on led=on
  qvreader --port COM1 set format=dec10 maker-byte=on same-card-delay=1000
  qvreader --port COM1 set baud=38400 station=2
)";

const char kReadHelp[] = R"(Usage: qvreader [options] read ADDRESS [COUNT]
Reads COUNT (1-125, default 1) holding registers from protocol address
ADDRESS. Numbers are decimal or hex (0x...). A decimal 40000-49999 names
register 40000 + N, as the demo does (40004 = address 4); write a protocol
address in that range in hex.
  qvreader --port COM1 read 40001
  qvreader --port COM1 read 4 4
)";

const char kWriteHelp[] = R"(Usage: qvreader [options] write ADDRESS VALUE...
Writes holding registers from ADDRESS on (numbered as for read): one value
with a single-register write, 2 to 123 values with one block write. Values
0-65535, decimal or hex (0x...).
  qvreader --port COM1 write 40003 0x0611
  qvreader --port COM1 write 40004 0 0 0 0
)";

const char kFindHelp[] = R"(Usage: qvreader --port PORT [--station N] find
Looks for the reader on a serial port: reads 40001 at each bit rate, 19200
first (a --baud given goes before it), then 9600 14400 28800 38400 57600
115200, and reports the rate at which the reader answers and its station id
(40001's low byte). One progress line per rate on standard error; up to 2 s
for each rate without an answer. Station 0 (the default) is answered by the
reader whatever its id; on a line with several readers give --station.
JSON: {"baud":38400,"station":1}.
  qvreader --port COM1 find
)";

const char kPortsHelp[] = R"(Usage: qvreader ports
Lists the serial ports as the demo program does, with the device each one
maps to. On Linux COM<n> names come from the ports directory ($QV_PORTS_DIR,
else /etc/qvmodbusrtu/ports) and from the serial devices found; on Windows
from the registry. JSON: {"port":"COM1","device":"/dev/pts/3"} per port.
)";

}  // namespace

const std::vector<Command> &Commands() {
    static const std::vector<Command> commands = {
        {"info", "model, firmware version, register base address", kInfoHelp, Info},
        {"card", "the card number (--watch: each new card as it comes)", kCardHelp, Card},
        {"clear", "re-arm card reading (zero 40004-40007)", kClearHelp, Clear},
        {"led", "flash the LED, sound the buzzer (40003)", kLedHelp, Led},
        {"config", "every setting, in words", kConfigHelp, Config},
        {"set", "KEY=VALUE...: change settings", kSetHelp, Set},
        {"read", "ADDRESS [COUNT]: read holding registers", kReadHelp, Read},
        {"write", "ADDRESS VALUE...: write holding registers", kWriteHelp, Write},
        {"find", "look for the reader's bit rate and station id", kFindHelp, Find},
        {"ports", "the serial ports and their devices", kPortsHelp, Ports},
    };
    return commands;
}

const Command *FindCommand(const std::string &name) {
    for (const Command &c : Commands())
        if (name == c.name) return &c;
    return nullptr;
}

}  // namespace qvreader
