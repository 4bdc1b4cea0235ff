// card and clear: the card number registers 40004-40007.
#include "commands.h"
#include "errors.h"
#include "output.h"
#include "qvregisters.h"
#include "values.h"
#include "watch.h"

namespace qvreader {
namespace {

std::string CardHelp() {
    return R"(Usage: qvreader [options] card [--watch [--interval MS] [--rearm] [--count N]]
Reads the card number, registers 40004-40007, as 16 hex digits. Zeros mean
no card was read since the last clear. The reader's format settings
(config: byte-order, maker-byte, format) decide what the digits hold.
  --watch          poll and print each new card number once, with the time
                   (JSON: {"time":"...Z","station":0,"card":"..."}, the time
                   in UTC); a card is new when the registers show another
                   number than at the poll before; zeros are never printed
  --interval MS    time between polls, 10 to 3600000 ms (default 500)
  --rearm          after each card, zero 40004-40007 so that the reader reads
                   again: the same card held again is reported again
  --count N        end after N cards
With --station 3,17,200 the watch polls each of several readers on one line
in turn, and each line names its station. A reader that stops answering is
reported once on standard error, with the time, and the others go on; a
line that goes away (adapter unplugged, connection closed) is opened again
as soon as it is back. Ctrl-C ends a watch: exit status 0, or 1 when no
reader ever answered.
  qvreader --port COM1 card
  qvreader --port COM1 card --watch --rearm
  qvreader --port COM1 --station 3,17,200 card --watch
  qvreader --json --port COM1 card --watch --count 1
)";
}

WatchOptions ParseWatch(const Args &args, bool &watch) {
    Words w("card", args, {{"watch", 0, false}, {"interval", 0, true}, {"rearm", 0, false}, {"count", 0, true}});
    WatchOptions o;
    bool watchOnly = false;
    while (w.Next()) {
        if (w.Is("watch")) {
            watch = true;
        } else if (w.Is("interval")) {
            o.intervalMs = static_cast<int>(w.Number(10, 3600000));
            watchOnly = true;
        } else if (w.Is("rearm")) {
            o.rearm = watchOnly = true;
        } else if (w.Is("count")) {
            o.count = w.Number(1, 1000000000);
            watchOnly = true;
        } else {
            w.Unknown();
        }
    }
    if (watchOnly && !watch) throw UsageError("card: --interval, --rearm and --count go with --watch");
    return o;
}

int Card(Link &link, const Options &opt, const Args &args) {
    bool watch = false;
    const WatchOptions o = ParseWatch(args, watch);
    if (watch) return Watch(link, opt, o);
    if (opt.stations.size() > 1) throw UsageError("card: several stations go with --watch");
    const std::vector<std::uint16_t> card = link.Read(opt.station, qvreg::kCardNumber, qvreg::kCardNumberCount, "card");
    if (opt.json)
        Emit(JsonObject().Str("card", CardHex(card)).Text());
    else
        Emit(Column("card", CardHex(card) + (card == ZeroCard() ? "  (none read since the last clear)" : "")));
    return 0;
}

std::string ClearHelp() {
    return R"(Usage: qvreader [options] clear
Re-arms card reading: writes four zero words to 40004-40007, so the reader
reads the card in front of it afresh.
)";
}

int Clear(Link &link, const Options &opt, const Args &args) {
    NoArguments("clear", args);
    link.WriteMany(opt.station, qvreg::kCardNumber, ZeroCard(), "clear");
    if (opt.json)
        Emit(JsonObject().Bool("cleared", true).Text());
    else
        Emit("card reading re-armed: 40004-40007 cleared");
    return 0;
}

}  // namespace

const Command kCardCommand = {"card", "the card number (--watch: each new card as it comes)", CardHelp, Card};
const Command kClearCommand = {"clear", "re-arm card reading (zero 40004-40007)", ClearHelp, Clear};

}  // namespace qvreader
