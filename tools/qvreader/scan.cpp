// scan: every station of a bus, at one rate or at all.
#include <cstdio>

#include "commands.h"
#include "errors.h"
#include "output.h"
#include "platform.h"
#include "probe.h"
#include "qvmodbusrtu.h"
#include "qvregisters.h"
#include "values.h"

namespace qvreader {
namespace {

// A request to read 40001 and its reply on the wire, in bytes (10 bits each).
constexpr int kRoundTripBytes = 8 + 7;
// What a reader and a USB adapter add to the wire time, at most, in ms.
constexpr int kTurnaroundMs = 25;

// The wait for one station: the round trip's wire time and the turnaround.
int ShortWait(int rate) {
    return kRoundTripBytes * 10 * 1000 / rate + kTurnaroundMs;
}

std::string Help() {
    return R"(Usage: qvreader --port PORT scan [--all-rates] [--wait MS]
Looks for every device on a bus (RS-485 line): reads 40001 of each station
1 to )" + std::to_string(qvreg::kLastBusStation) +
           R"( at the bit rate of --baud, waiting only the reply's time on the
wire and a margin for each (33 ms at 19200 bit/s: a pass takes about 9 s).
Each station that answers is asked again with the normal wait, and listed
with its rate, model and firmware version; a Modbus device that refuses
the read is listed as "answers, not a reader of this kind".
  --all-rates      scan at each rate, )" +
           std::to_string(qvreg::kDefaultBaud) + R"( first, then the others of
                   )" +
           RateList() + R"(
  --wait MS        the wait per station, 10 to 2000 ms, for slow adapters
Progress goes to standard error when it is a terminal.
JSON: {"station":3,"baud":19200,"reader":true,"model":"QV-LF125","version":"1.5"}
per device.
  qvreader --port COM1 scan
  qvreader --port COM1 scan --all-rates
)";
}

struct Device {
    int station;
    Answer answer;
};

// Every station once at rate, with the short wait; returns who answered.
std::vector<Device> Pass(Link &link, int rate, int waitMs) {
    link.SetReplyWait(waitMs);
    const bool progress = platform::IsTerminal(stderr);
    std::vector<Device> found;
    for (int station = 1; station <= qvreg::kLastBusStation; ++station) {
        if (progress)
            std::fprintf(stderr, "\rscan: %d bit/s: station %d of %d, %zu found ", rate, station,
                         qvreg::kLastBusStation, found.size());
        const Answer a = Ask(link, station, "scan");
        if (a.kind != Answer::kNothing) found.push_back({station, a});
    }
    std::fprintf(stderr, "%sscan: %d bit/s: %zu of %d stations answer\n", progress ? "\r" : "", rate, found.size(),
                 qvreg::kLastBusStation);
    link.SetReplyWait(0);  // each one found is asked again with the normal wait
    return found;
}

void List(Link &link, const Options &opt, int rate, const Device &d) {
    JsonObject o;
    o.Num("station", d.station).Num("baud", rate).Bool("reader", d.answer.kind == Answer::kReader);
    std::string text;
    if (d.answer.kind == Answer::kRefusal) {
        o.Num("exception", d.answer.code - QV_E_EXCEPTION_BASE);
        text = "answers, not a reader of this kind (" + ExceptionWords(d.answer.code) + ")";
    } else if (d.answer.kind == Answer::kGarbled) {
        o.Bool("garbled", true);
        text = "garbled answers (" + OutcomeWords(d.answer.code, true) + "): two devices with this id?";
    } else {
        try {
            const DeviceInfo info = ReadDeviceInfo(link, d.station, "scan");
            o.Str("model", info.model).Str("version", info.version);
            text = Printable(info.model) + ", version " + info.version;
        } catch (const Failure &e) {
            if (e.code == QV_E_LINKLOST) throw;
            text = "a reader; no device information (" + OutcomeWords(e.code, true) + ")";
        }
    }
    Emit(opt.json ? o.Text()
                  : Column("station " + std::to_string(d.station), std::to_string(rate) + " bit/s  " + text, 13));
}

int Run(Link &link, const Options &opt, const Args &args) {
    Words w("scan", args, {{"all-rates", 0, false}, {"wait", 0, true}});
    bool allRates = false;
    int waitMs = 0;
    while (w.Next()) {
        if (w.Is("all-rates"))
            allRates = true;
        else if (w.Is("wait"))
            waitMs = static_cast<int>(w.Number(10, 2000));
        else
            w.Unknown();
    }
    if (!link.Serial()) throw UsageError("scan: looks at the stations of a serial line; give --port, not --tcp");
    std::size_t total = 0;
    bool opened = false;
    for (int rate : allRates ? RatesToTry(opt.baud) : std::vector<int>{opt.baud}) {
        if (!OpenAt(link, rate, opened, "scan")) continue;
        const std::vector<Device> found = Pass(link, rate, waitMs ? waitMs : ShortWait(rate));
        for (const Device &d : found) List(link, opt, rate, d);
        total += found.size();
    }
    if (!total)
        throw Failure("scan: no device answered on " + link.PortText() +
                      (allRates ? " at any rate" : " at " + std::to_string(opt.baud) + " bit/s"));
    return 0;
}

}  // namespace

const Command kScanCommand = {"scan", "every station of a bus (RS-485 line): who answers", Help, Run};

}  // namespace qvreader
