#include "watch.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "errors.h"
#include "output.h"
#include "platform.h"
#include "qvmodbusrtu.h"
#include "values.h"

namespace qvreader {
namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

constexpr Ms kLongestRetry{5000};

// Sleeps until due, in short steps so that Ctrl-C ends the wait at once.
void SleepUntil(Clock::time_point due) {
    while (!platform::Interrupted()) {
        const auto now = Clock::now();
        if (now >= due) return;
        const auto left = std::chrono::duration_cast<Ms>(due - now);
        std::this_thread::sleep_for(std::min(left, Ms(50)));
    }
}

class Watcher {
public:
    Watcher(Link &link, const Options &opt, const WatchOptions &w) : link_(link), opt_(opt), w_(w) {
        for (int id : opt.stations) stations_.push_back({id, ZeroCard(), false});
    }
    int Run();

private:
    struct Station {
        int id;
        std::vector<std::uint16_t> last;
        bool failing;
    };
    void Round();
    void Poll(Station &s);
    void Show(const Station &s, const std::vector<std::uint16_t> &card);
    void Retry();
    // One line on standard error, stamped like the card lines.
    void Note(const std::string &text) const {
        std::fprintf(stderr, "%s  qvreader: %s\n", (opt_.json ? UtcTime() : LocalTime()).c_str(), text.c_str());
    }

    Link &link_;
    const Options &opt_;
    WatchOptions w_;
    std::vector<Station> stations_;
    unsigned long seen_ = 0;
    bool answered_ = false, done_ = false;
    bool down_ = false;  // the line or connection is gone: opened again with a growing pause
    Ms pause_{0};
    Clock::time_point retryAt_;
};

int Watcher::Run() {
    if (!link_.IsOpen()) link_.Open();  // a link that cannot be opened at all ends the command
    if (!opt_.json && platform::IsTerminal(stdout))
        std::fprintf(stderr, "watching %s for cards every %d ms; Ctrl-C ends\n", link_.Where().c_str(), w_.intervalMs);
    auto due = Clock::now();
    try {
        while (!platform::Interrupted() && !done_) {
            if (down_)
                Retry();
            else
                Round();
            due += Ms(w_.intervalMs);
            if (due < Clock::now()) due = Clock::now();  // a slow reply does not make the next polls come in a burst
            if (!done_) SleepUntil(due);
            // Nobody reads on (card --watch | head -1): end as a closed pipe does.
            if (platform::OutputGone()) throw OutputClosed();
        }
    } catch (const Interrupted &) {
    }
    return done_ || answered_ ? 0 : 1;
}

void Watcher::Round() {
    try {
        for (Station &s : stations_)
            if (!done_) Poll(s);
    } catch (const Failure &e) {  // the line itself: every station is gone with it
        Note(std::string(e.what()) + " (still watching)");
        down_ = true;
        pause_ = Ms(w_.intervalMs);
        retryAt_ = Clock::now() + pause_;
    }
}

void Watcher::Poll(Station &s) {
    try {
        std::vector<std::uint16_t> card = link_.Read(s.id, qvreg::kCardNumber, qvreg::kCardNumberCount, "card");
        answered_ = true;
        if (s.failing) Note("card: station " + std::to_string(s.id) + " answers again");
        s.failing = false;
        if (card != s.last && card != ZeroCard()) {
            Show(s, card);
            if (w_.rearm) {
                link_.WriteMany(s.id, qvreg::kCardNumber, ZeroCard(), "card: re-arming");
                card = ZeroCard();  // the same card shown again is new
            }
            done_ = w_.count && ++seen_ >= w_.count;
        }
        s.last = card;
    } catch (const Failure &e) {
        if (e.code == QV_E_LINKLOST || e.code == QV_E_NOLINK) throw;
        // A busy or silent reader: say so once and keep watching the others.
        if (!s.failing) Note(std::string(e.what()) + " (still watching)");
        s.failing = true;
    }
}

void Watcher::Show(const Station &s, const std::vector<std::uint16_t> &card) {
    if (opt_.json)
        Emit(JsonObject().Str("time", UtcTime()).Num("station", s.id).Str("card", CardHex(card)).Text());
    else if (stations_.size() > 1)
        Emit(LocalTime() + "  station " + std::to_string(s.id) + "  " + CardHex(card));
    else
        Emit(LocalTime() + "  " + CardHex(card));
}

// A USB adapter pulled and plugged in again is a new device, and a closed
// connection stays closed: only a fresh open reaches the reader again.
void Watcher::Retry() {
    if (Clock::now() < retryAt_) return;
    try {
        link_.Reconnect();
        down_ = false;
        Note("card: " + link_.Where() + " is back");
    } catch (const LinkError &e) {
        if (pause_ == Ms(w_.intervalMs)) Note(std::string(e.what()) + " (trying again)");
        pause_ = std::min(pause_ * 2, std::max(kLongestRetry, Ms(w_.intervalMs)));
        retryAt_ = Clock::now() + pause_;
    }
}

}  // namespace

int Watch(Link &link, const Options &opt, const WatchOptions &w) {
    Watcher watcher(link, opt, w);
    return watcher.Run();
}

}  // namespace qvreader
