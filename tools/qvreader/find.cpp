// find: the bit rate and station id of the one reader on a line.
#include <cstdio>

#include "commands.h"
#include "errors.h"
#include "output.h"
#include "probe.h"
#include "qvmodbusrtu.h"
#include "qvregisters.h"
#include "values.h"

namespace qvreader {
namespace {

std::string Help() {
    return R"(Usage: qvreader --port PORT [--station N] find
Looks for the reader on a serial port: reads 40001 at each bit rate, )" +
           std::to_string(qvreg::kDefaultBaud) + R"( first
(a --baud given goes before it), then the others of
  )" + RateList() +
           R"(
and reports the rate at which the reader answers and its station id (40001's
low byte). One progress line per rate on standard error; up to 2 s for each
rate without an answer. A device that refuses the read (an exception reply)
answers too: its rate is found. Station 0 (the default) is answered by
every reader whatever its id: with several readers on the line their
answers collide, and find says to use scan.
JSON: {"baud":38400,"station":1}.
  qvreader --port COM1 find
)";
}

std::string Suggestion(const Link &link, int rate, const std::string &rest) {
    return "  qvreader --port " + link.PortText() + " --baud " + std::to_string(rate) + rest;
}

int Found(Link &link, const Options &opt, int rate, std::uint16_t word) {
    const int station = qvreg::Field(word, qvreg::kStationMask);
    const int named = BaudRate(qvreg::Field(word, qvreg::kBaudCodeMask));
    std::fprintf(stderr, "find: %d bit/s: station %d answers\n", rate, station);
    if (opt.json) {
        Emit(JsonObject().Num("baud", rate).Num("station", station).Text());
        return 0;
    }
    Emit("reader found on " + link.Where() + ", station " + std::to_string(station) +
         (named && named != rate ? " (its 40001 names " + std::to_string(named) + " bit/s)" : ""));
    Emit(Suggestion(link, rate, " --station " + std::to_string(station) + " info"));
    return 0;
}

int Refused(Link &link, const Options &opt, int rate, int code) {
    std::fprintf(stderr, "find: %d bit/s: station %d answers with %s\n", rate, opt.station,
                 ExceptionWords(code).c_str());
    if (opt.json)
        Emit(JsonObject().Num("baud", rate).Num("exception", code - QV_E_EXCEPTION_BASE).Text());
    else
        Emit("a device answers on " + link.Where() + ", but refuses to read 40001: " + ExceptionWords(code));
    return 0;
}

int Several(Link &link, const Options &opt, int rate) {
    std::fprintf(stderr, "find: %d bit/s: answers collide: several readers on this line: use scan\n", rate);
    if (opt.json) {
        Emit(JsonObject().Num("baud", rate).Bool("several", true).Text());
    } else {
        Emit("several readers on this line, at " + std::to_string(rate) + " bit/s: use scan");
        Emit(Suggestion(link, rate, " scan"));
    }
    return 0;
}

int Run(Link &link, const Options &opt, const Args &args) {
    NoArguments("find", args);
    if (!link.Serial()) throw UsageError("find: looks for a bit rate on a serial port; give --port, not --tcp");
    bool opened = false;
    for (int rate : RatesToTry(opt.baud)) {
        if (!OpenAt(link, rate, opened, "find")) continue;
        const Answer a = Ask(link, opt.station, "find");
        switch (a.kind) {
            case Answer::kReader:
                return Found(link, opt, rate, a.word);
            case Answer::kRefusal:  // a refusal is an answer: the rate is right
                return Refused(link, opt, rate, a.code);
            case Answer::kGarbled:
                if (opt.station == qvreg::kAnyStation) return Several(link, opt, rate);
                std::fprintf(stderr, "find: %d bit/s: %s\n", rate, OutcomeWords(a.code, true).c_str());
                break;
            case Answer::kNothing:
                std::fprintf(stderr, "find: %d bit/s: no answer\n", rate);
                break;
        }
    }
    throw Failure("find: no reader answered station " + std::to_string(opt.station) + " on " + link.PortText() +
                  " at any of the " + std::to_string(qvreg::kBaudCodeCount) + " rates");
}

}  // namespace

const Command kFindCommand = {"find", "look for the reader's bit rate and station id", Help, Run};

}  // namespace qvreader
