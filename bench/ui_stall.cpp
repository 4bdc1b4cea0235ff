// ui_stall: how long the demo window's event loop stalls while it talks to a
// reader. Drives TFrmMain (offscreen) against the simulated reader on a pty
// and measures with a 10 ms probe timer how late the loop runs it.
//
//   QT_QPA_PLATFORM=offscreen ui_stall [--seconds N]
//
// Scenarios, N seconds each (default 5):
//   auto read, silent reader      auto read on, the reader never answers
//   auto read, answering reader   auto read on, the reader answers at once
//   settings clicks, silent       a settings page button clicked every
//                                 500 ms, the reader never answers
// For each: the worst stall (the most the probe ran late), the share of the
// time stalled (the probe's lateness summed over the ticks more than 20 ms
// late, so timer jitter does not count), the card number polls the reader
// received per second, and what the window shows (the card number boxes) or
// how many of the clicks due it took.
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <unistd.h>

#include "drive.h"
#include "readersim.h"
#include "untFrmMain.h"

namespace {

constexpr int kProbeMs = 10;
constexpr int kStallFloorMs = 20;

struct Figures {
    double worstMs = 0;
    double stalledShare = 0;
    double pollsPerSecond = 0;
    QString result;
};

template <class T>
T *Find(TFrmMain &w, const char *name) {
    T *c = drive::Find<T>(w, name, "ui_stall");
    if (!c) std::exit(1);
    return c;
}

// Opens COM1 from the window, as a user does.
void OpenLink(TFrmMain &w) {
    auto *ports = Find<QComboBox>(w, "cbPort");
    ports->setCurrentIndex(ports->findText(QStringLiteral("COM1")));
    Find<QAbstractButton>(w, "btnOpen")->click();
    if (!drive::WaitUntil([&] { return w.LinkOpen(); }, 5000)) {
        std::fprintf(stderr, "ui_stall: the window could not open COM1\n");
        std::exit(1);
    }
}

// Runs the event loop for ms with the probe on; during runs once the probe is on.
Figures Measure(int ms, readersim::Server &server, const std::function<void()> &during = {}) {
    QElapsedTimer clock;
    qint64 last = 0;
    double worst = 0, stalled = 0;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        const double late = (now - last) / 1e6 - kProbeMs;
        last = now;
        worst = std::max(worst, late);
        if (late > kStallFloorMs) stalled += late;
    });
    const auto cardReads = [&server] {
        size_t n = 0;
        for (const readersim::Request &r : server.Requests())
            if (r.pdu.size() == 5 && r.pdu[0] == 0x03 && r.pdu[2] == 0x04 && r.pdu[4] == 0x04) ++n;
        return n;
    };
    const size_t readsBefore = cardReads();
    clock.start();
    probe.start(kProbeMs);
    if (during) during();
    QTimer end;
    end.setSingleShot(true);
    QEventLoop loop;
    QObject::connect(&end, &QTimer::timeout, &loop, &QEventLoop::quit);
    end.start(ms);
    loop.exec();
    probe.stop();
    // The probe's last interval ends when the run does.
    const double tail = (clock.nsecsElapsed() - last) / 1e6 - kProbeMs;
    worst = std::max(worst, tail);
    if (tail > kStallFloorMs) stalled += tail;
    const double seconds = clock.nsecsElapsed() / 1e9;
    Figures f;
    f.worstMs = worst;
    f.stalledShare = stalled / (seconds * 1000);
    f.pollsPerSecond = (cardReads() - readsBefore) / seconds;
    return f;
}

void Print(const char *scenario, const Figures &f) {
    std::printf("  %-30s %8.0f ms %9.1f %% %9.2f   %s\n", scenario, f.worstMs, 100 * f.stalledShare, f.pollsPerSecond,
                qPrintable(f.result));
    std::fflush(stdout);
}

QString Boxes(TFrmMain &w) {
    QStringList l;
    for (const char *n : {"Re4", "Re5", "Re6", "Re7"}) l << Find<QLineEdit>(w, n)->text();
    return l.join(QLatin1Char(' '));
}

// Auto read for ms against the reader as it is; past the first two steps of
// the polling cycle (40008, 40009) first, so every poll reads the card.
Figures AutoRead(int ms, readersim::Server &server, bool silent) {
    TFrmMain w;
    w.show();
    OpenLink(w);
    auto *scan = Find<QAbstractButton>(w, "btnScan");
    scan->click();
    // The second step asked for and answered.
    drive::WaitUntil([&] { return w.PollStep() >= 4 && w.LinkIdle(); }, 5000);
    if (silent) server.SetFaultChance(readersim::Fault::NoReply, 1.0);
    Figures f = Measure(ms, server);
    server.SetFaultChance(readersim::Fault::NoReply, 0.0);
    f.result = Boxes(w);
    scan->click();
    return f;
}

// A button of the settings page clicked every 500 ms, the reader silent.
Figures SettingsClicks(int ms, readersim::Server &server) {
    TFrmMain w;
    w.show();
    OpenLink(w);
    server.SetFaultChance(readersim::Fault::NoReply, 1.0);
    const char *const buttons[] = {"RzBitBtn3",  "RzBitBtn8",  "RzBitBtn7",  "RzBitBtn9", "RzBitBtn10",
                                   "RzBitBtn21", "RzBitBtn22", "RzBitBtn15", "RzBitBtn16"};
    size_t next = 0;
    QTimer clicker;
    QObject::connect(&clicker, &QTimer::timeout,
                     [&] { Find<QAbstractButton>(w, buttons[next++ % std::size(buttons)])->click(); });
    Figures f = Measure(ms, server, [&] { clicker.start(500); });
    clicker.stop();
    server.SetFaultChance(readersim::Fault::NoReply, 0.0);
    f.result = QStringLiteral("%1 of %2 clicks taken").arg(next).arg(ms / 500);
    return f;
}

}  // namespace

int main(int argc, char *argv[]) {
    int seconds = 5;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: ui_stall [--seconds N]\n");
            return 2;
        }
    }
    char dir[] = "/tmp/ui_stall.XXXXXX";
    if (!mkdtemp(dir)) {
        std::perror("ui_stall: mkdtemp");
        return 1;
    }
    setenv("QV_PORTS_DIR", dir, 1);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("readerdemo"));

    readersim::Reader reader;
    {
        readersim::Server server(reader);
        if (server.ServePty(dir, 1).empty()) {
            std::fprintf(stderr, "ui_stall: cannot serve COM1 in %s\n", dir);
            rmdir(dir);
            return 1;
        }
        const int ms = seconds * 1000;
        std::printf("window event loop, %d ms probe, %d s per scenario:\n", kProbeMs, seconds);
        std::printf("  %-30s %11s %11s %9s   %s\n", "scenario", "worst stall", "stalled", "polls/s", "result");
        Print("auto read, silent reader", AutoRead(ms, server, true));
        Print("auto read, answering reader", AutoRead(ms, server, false));
        Print("settings clicks, silent reader", SettingsClicks(ms, server));
        server.Stop();
    }
    const std::string entry = std::string(dir) + "/COM1";
    unlink(entry.c_str());
    rmdir(dir);
    return 0;
}
