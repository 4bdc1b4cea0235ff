// config and set: the reader's settings in words (40001, 40002, 40100, 40106).
#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>

#include "commands.h"
#include "errors.h"
#include "output.h"
#include "qvregisters.h"
#include "values.h"

namespace qvreader {
namespace {

// "  baud             9600 14400 ... (or code 0-15)": one line per setting.
std::string SettingLines() {
    std::string lines;
    for (const Setting &s : Settings()) {
        std::string values;
        if (s.kind == Setting::kBaud) values = RateList();
        for (const auto &n : s.names) values += (values.empty() ? "" : ", ") + std::string(n.second);
        if (s.rawNumbers) values += " (or 0-" + std::to_string(qvreg::FieldTop(s.mask)) + ")";
        lines += "  " + Column(s.key, values.empty() ? s.meaning : values) + "\n";
        if (!values.empty()) lines += std::string(19, ' ') + s.meaning + "\n";
    }
    return lines;
}

std::string ConfigHelp() {
    return "Usage: qvreader [options] config\n"
           "Reads 40001, 40002, 40100 and 40106 and shows every setting in words, with\n"
           "the value that 'set' takes:\n" +
           SettingLines() +
           "JSON: one object with these keys; baud, station and same-card-delay are\n"
           "numbers, the others strings.\n";
}

int Config(Link &link, const Options &opt, const Args &args) {
    NoArguments("config", args);
    std::map<int, std::uint16_t> regs;
    for (int address : qvreg::kSettingRegisters)
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

std::string SetHelp() {
    return R"(Usage: qvreader [options] set KEY=VALUE...
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
}

struct Change {
    const Setting *setting;
    int field;
};

std::vector<Change> ParseChanges(const Args &args) {
    std::vector<Change> changes;
    Words w("set", args, {});
    while (w.Next()) {
        const std::string &arg = w.Operand();
        const std::size_t eq = arg.find('=');
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
    return changes;
}

// One register's part of a set: read, change, write, read back.
class RegisterChange {
public:
    RegisterChange(Link &link, const Options &opt, int address) : link_(link), opt_(opt), address_(address) {}
    void Run(const std::vector<const Change *> &mine, std::vector<std::string> &notes);
    void Report(const std::vector<const Change *> &mine) const;

private:
    void Write(std::string &failure, std::string &hint);
    int Follow(std::vector<std::string> &notes);  // 40001: the station to confirm at

    Link &link_;
    const Options &opt_;
    int address_;
    std::uint16_t old_ = 0, want_ = 0, now_ = 0;
};

void RegisterChange::Run(const std::vector<const Change *> &mine, std::vector<std::string> &notes) {
    const std::string name = RegisterName(address_);
    old_ = now_ = link_.ReadOne(opt_.station, address_, "set: reading " + name);
    want_ = old_;
    for (const Change *c : mine) want_ = WithField(*c->setting, want_, c->field);
    if (want_ == old_) return;
    std::string failure, hint;
    Write(failure, hint);
    const int confirmAt = address_ == qvreg::kBaudStation ? Follow(notes) : opt_.station;
    try {
        now_ = link_.ReadOne(confirmAt, address_, "set: reading " + name + " back");
    } catch (const Failure &) {
        if (!failure.empty()) throw Failure(failure, hint);
        throw;
    }
    if (!failure.empty() && now_ == want_)
        std::fprintf(stderr, "qvreader: set: no reply to the write of %s, but it reads back as written\n",
                     name.c_str());
    if (now_ != want_)
        throw Failure("set: " + name + " reads back 0x" + Hex4(now_) + " after 0x" + Hex4(want_) +
                      " was written: the reader did not take the change" +
                      (failure.empty() ? "" : " (" + failure + ")"));
}

void RegisterChange::Write(std::string &failure, std::string &hint) {
    try {
        link_.Write(opt_.station, address_, want_, "set: writing " + RegisterName(address_) + " = 0x" + Hex4(want_));
    } catch (const Failure &e) {
        if (address_ != qvreg::kBaudStation) throw;
        failure = e.what();  // it may have answered at the new rate already
        hint = e.hint;
    }
}

// A new rate or station id of 40001 applies from the next request.
int RegisterChange::Follow(std::vector<std::string> &notes) {
    const Setting &baud = *FindSetting("baud");
    const Setting &station = *FindSetting("station");
    const int newRate = BaudRate(FieldOf(baud, want_));
    const int newId = FieldOf(station, want_);
    if (FieldOf(baud, want_) != FieldOf(baud, old_)) {
        if (link_.Serial()) {
            link_.Reopen(newRate);
            notes.push_back("link reopened at " + std::to_string(newRate) + " bit/s; use --baud " +
                            std::to_string(newRate) + " from now on");
        } else {
            notes.push_back("the reader's serial line now runs at " + std::to_string(newRate) + " bit/s");
        }
    }
    if (newId == FieldOf(station, old_)) return opt_.station;
    notes.push_back("the reader is now station " + std::to_string(newId) + "; use --station " + std::to_string(newId) +
                    " (or 0)");
    // Station 0 is answered whatever the id; another station is the reader's own.
    return opt_.station == qvreg::kAnyStation ? opt_.station : newId;
}

void RegisterChange::Report(const std::vector<const Change *> &mine) const {
    JsonObject o;
    for (const Change *c : mine) {
        const Setting &s = *c->setting;
        if (opt_.json) {
            o.Raw(s.key, SettingJson(s, FieldOf(s, now_)));
        } else {
            const std::string before = SettingText(s, FieldOf(s, old_));
            const std::string after = SettingText(s, FieldOf(s, now_));
            Emit(Column(s.key, before == after ? after + " (unchanged)" : before + " -> " + after));
        }
    }
    if (opt_.json) Emit(o.Text());
}

int Set(Link &link, const Options &opt, const Args &args) {
    const std::vector<Change> changes = ParseChanges(args);
    // 40001 last: a new rate or station id applies from the next request.
    std::vector<int> order(std::begin(qvreg::kSettingRegisters), std::end(qvreg::kSettingRegisters));
    std::stable_partition(order.begin(), order.end(), [](int a) { return a != qvreg::kBaudStation; });
    std::vector<std::string> notes;
    for (int address : order) {
        std::vector<const Change *> mine;
        for (const Change &c : changes)
            if (c.setting->address == address) mine.push_back(&c);
        if (mine.empty()) continue;
        RegisterChange r(link, opt, address);
        r.Run(mine, notes);
        r.Report(mine);
    }
    if (!opt.json)
        for (const std::string &n : notes) Emit(n);
    return 0;
}

}  // namespace

const Command kConfigCommand = {"config", "every setting, in words", ConfigHelp, Config};
const Command kSetCommand = {"set", "KEY=VALUE...: change settings", SetHelp, Set};

}  // namespace qvreader
