// readersim: the simulated card reader as a program, for the demo script,
// the benchmarks and tests that only reach it over the wire.
#include <signal.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "qvregisters.h"
#include "readersim.h"
#include "serialports.h"

namespace {

const char kHelp[] = R"(Usage: readersim [options]
Plays one 125 kHz RFID card reader speaking Modbus RTU (pseudo-terminal or
serial device) and Modbus TCP (127.0.0.1 only), or several readers on one RTU
line (--stations). Runs until SIGINT or SIGTERM.

Ports (at least one; pty and tcp may be combined):
  --pty COMn          create a pseudo-terminal and enter it as COMn in the
                      ports directory; removed again on exit, unless it no
                      longer points to this pty. A COMn already there is left
                      alone and refused (exit status 2), unless it is a link
                      to a pty that no longer exists (left by a killed
                      simulator): that one is replaced, with a word on stderr
  --ports-dir DIR     ports directory (default: $QV_PORTS_DIR, else
                      /etc/qvmodbusrtu/ports); created when missing
  --device PATH       serve a serial device (or a pty slave), raw 8N1
  --baud RATE         bit rate of --device (default 19200; any rate); with
                      --pty the reader's rate: 40001's baud code at start
                      names RATE (one of 9600 14400 19200 28800 38400 57600
                      115200)
  --strict-baud       on the ptys, a request sent at another rate than the
                      reader's (40001's baud code, read at each request) goes
                      unanswered, as on a real line; the simulator sees the
                      rate the client set on its end of the pty
  --tcp PORT          Modbus TCP on 127.0.0.1:PORT; 0 picks a free port; one
                      reader only, so not with several --stations
Reader:
  --station N         station id 1..255 (default 1); 40001 = 0x03NN
  --stations N,N,...  several readers on the one line (pty or device), each
                      with its own station id, registers, card and faults;
                      --stations 5 is --station 5. A request to station 0 is
                      answered by every reader: when more than one answers,
                      their replies collide into one frame that fails its CRC
                      (the byte-wise OR of the replies, as long as the
                      longest; identical replies get their last byte
                      inverted). A station no reader has stays silent. A
                      reader whose 40001 station is written moves to the new
                      id, even one another reader has (then both answer and
                      collide); a repeated id here does the same. With
                      --strict-baud each reader hears only its own rate.
  --card HEX10        card number, up to 10 hex digits: manufacturer byte and
                      32-bit serial (default 0A00123456); with --stations one
                      for every reader or a comma-separated list, one per
                      station in order; "none" for no card
  --no-card           no card in front of the reader(s) (40004-40007 stay 0)
  --model NAME        model in the device information, 8 characters at most
                      (default QV-LF125); version 1.5
  --rearm-ms MS       after 40004-40007 are zeroed the card shows again after
                      MS milliseconds (default 100)
Faults (KIND: delay, split, noreply, badcrc, exception, wrongcode, stray,
oversized). On a bus each reader has its own: these options give every
reader the same, and reader number i of --stations, counting from 0, draws
its --fault chance from SEED + i. A reply that collides goes out at once:
its delay, split or stray is not played.
  --fault KIND[:P]    KIND on each request with probability P (default 1)
  --fault-next KIND[:N]  KIND on the next N requests only (default 1)
  --seed N            seed of the --fault chance (default 1)
  --delay-ms MS       delay of "delay" (default 300)
  --gap-ms MS         gap between the pieces of "split" (default 50)
  --pieces N          pieces of "split" (default 3)
    delay      the reply is sent after the delay
    split      the reply comes in pieces with gaps between them
    noreply    the request is carried out, the reply is never sent
    badcrc     the reply's CRC is inverted (TCP: its length field is 3 too big);
               also called nocrc
    exception  exception reply: function code | 0x80, code 4; nothing done
    wrongcode  a valid reply whose function code has its lowest bit flipped
    stray      three garbage bytes A5 5A C3 follow the reply after --gap-ms
    oversized  a valid reply far longer than asked: 0x03 with byte count 250
               and 250 value bytes, 0x46 with a 200-byte block, others with
               200 extra bytes
  --control           in-band control by write-single-register (0x06):
                        0xFFF0 = fault index (high byte: 0 none, 1 delay,
                                 2 split, 3 noreply, 4 badcrc, 5 exception,
                                 6 wrongcode, 7 stray, 8 oversized) and count
                                 of requests (low byte; 0 clears)
                        0xFFF1 = delay ms, 0xFFF2 = split gap ms,
                        0xFFF3 = any value: clear the request log
                      the control write itself is answered with its echo;
                      on a bus it acts on the reader(s) it is addressed to,
                      and one to station 0 on all of them (their echoes
                      collide)
Output:
  --verbose           each request <01><03>... and reply [01][03]... in hex on
                      stderr, one line each, and register writes (LED and
                      buzzer words of 40003 included) in plain words; on a
                      bus, lines name the station that answers, and a
                      collision shows each reply and what the line carried
  --help              this text
Each port prints one ready line on stdout, e.g.
  readersim: serving COM1 (/dev/pts/5) in /tmp/ports
  readersim: tcp 127.0.0.1:1502
and on a bus
  readersim: serving COM1 (/dev/pts/5) in /tmp/ports; stations 3, 17, 200

Registers: 40001 baud code (high byte; 3 = 19200) and station (low byte);
40002 card-read parameters (0x0005); 40003 LED and buzzer control;
40004-40007 card number; 40008-40010 status words; 40100 parameter register
(0x0010); 40106 same-card delay in 100 ms units (0x0014). Other addresses
give exception 2, other functions exception 1, bad counts exception 3.
Writing 40001 takes effect from the next request (station or baud code 0
keeps the old one): with --strict-baud the client then sends at the new
rate. Station 0 is answered too (on TCP also unit 0xFF); other stations get
no reply.

Card number in 40004-40007 (8 bytes, 40004 first, high byte first), by
40100: bit 4 byte order (1 = big-endian), bit 7 auto clear, bit 8
manufacturer byte, bits 9-10 format. Big-endian, right-aligned, zero-filled:
  HEX (format 0 or 2)   00 00 00 00 S3 S2 S1 S0   (with M: 00 00 00 M S3..S0)
  ten-digit decimal (1) serial in decimal as 5 BCD bytes after 3 zero bytes
                        (card 0A00123456: 00 00 00 00 01 19 30 46;
                         with M: 00 00 0A 00 01 19 30 46)
  Wiegand-26 (3)        00 00 00 00 00 FC NH NL: facility code = serial bits
                        16-23, number = low 16 bits (with M: ... M FC NH NL)
Little-endian (bit 4 clear): the same 8 bytes in reverse order. With auto
clear the registers read as zero after one read and the card shows again
after the same-card delay. Writing zeros to 40004-40007 shows it again after
--rearm-ms.
)";

[[noreturn]] void Fail(const std::string &what) {
    std::fprintf(stderr, "readersim: %s (see --help)\n", what.c_str());
    std::exit(2);
}

long Number(const std::string &opt, const std::string &text, long lo, long hi, int base = 10) {
    if (text.empty()) Fail(opt + " needs a number");
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, base);
    if (errno || *end || v < lo || v > hi)
        Fail(opt + ": '" + text + "' is not a number from " + std::to_string(lo) + " to " + std::to_string(hi));
    return v;
}

readersim::Fault FaultKind(const std::string &name) {
    for (int i = 1; i < readersim::kFaultCount; ++i) {
        auto f = static_cast<readersim::Fault>(i);
        if (name == readersim::FaultName(f)) return f;
    }
    if (name == "nocrc") return readersim::Fault::BadCrc;
    Fail("unknown fault '" + name + "'");
}

// "1,2,3" split at the commas; empty items stay (and are refused by the caller).
std::vector<std::string> List(const std::string &text) {
    std::vector<std::string> items;
    std::size_t at = 0;
    for (;;) {
        std::size_t comma = text.find(',', at);
        items.push_back(text.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
        if (comma == std::string::npos) return items;
        at = comma + 1;
    }
}

// A card number, or nothing for "none".
std::optional<std::uint64_t> Card(const std::string &text) {
    if (text == "none") return std::nullopt;
    std::string v = text;
    if (v.compare(0, 2, "0x") == 0 || v.compare(0, 2, "0X") == 0) v = v.substr(2);
    if (v.empty() || v.size() > 10 || v.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        Fail("--card takes 1 to 10 hex digits (or none), not '" + text + "'");
    return static_cast<std::uint64_t>(Number("--card", v, 0, 0xFFFFFFFFFFL, 16));
}

struct Args {
    std::vector<int> ptys;
    std::string portsDir;
    std::string device;
    int baud = qvreg::kDefaultBaud;
    bool baudGiven = false;
    int tcp = -1;
    readersim::Options opt;
    std::vector<int> stations;                        // --stations
    bool stationGiven = false;                        // --station
    std::vector<std::optional<std::uint64_t>> cards;  // --card / --no-card; empty: the default card
    readersim::Fault chanceFault = readersim::Fault::None;
    double chance = 0;
    readersim::Fault nextFault = readersim::Fault::None;
    int nextCount = 0;
    std::uint32_t seed = 1;
    readersim::FaultSettings settings;
    bool control = false;
    bool verbose = false;
};

Args Parse(int argc, char **argv) {
    Args a;
    if (const char *d = std::getenv("QV_PORTS_DIR"); d && *d) a.portsDir = d;
    if (a.portsDir.empty()) a.portsDir = "/etc/qvmodbusrtu/ports";
    for (int i = 1; i < argc; ++i) {
        std::string o = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) Fail(o + " needs a value");
            return argv[++i];
        };
        if (o == "--help" || o == "-h") {
            std::fputs(kHelp, stdout);
            std::exit(0);
        } else if (o == "--pty") {
            const std::string v = value();
            const int n = serialports::PortNumber(v);
            if (n < 1 || n > 255) Fail("--pty wants COMn (COM1 to COM255), not '" + v + "'");
            a.ptys.push_back(n);
        } else if (o == "--ports-dir") {
            a.portsDir = value();
        } else if (o == "--device") {
            a.device = value();
        } else if (o == "--baud") {
            a.baud = static_cast<int>(Number(o, value(), 50, 4000000));
            a.baudGiven = true;
        } else if (o == "--strict-baud") {
            a.opt.strictBaud = true;
        } else if (o == "--tcp") {
            a.tcp = static_cast<int>(Number(o, value(), 0, 65535));
        } else if (o == "--station") {
            a.opt.station = static_cast<int>(Number(o, value(), 1, 255));
            a.stationGiven = true;
        } else if (o == "--stations") {
            a.stations.clear();
            for (const std::string &id : List(value())) a.stations.push_back(static_cast<int>(Number(o, id, 1, 255)));
            if (a.stations.size() > 255) Fail("--stations takes 255 ids at most");
        } else if (o == "--card") {
            a.cards.clear();
            for (const std::string &c : List(value())) a.cards.push_back(Card(c));
        } else if (o == "--no-card") {
            a.cards = {std::nullopt};
        } else if (o == "--model") {
            a.opt.model = value();
            if (a.opt.model.size() > 8) Fail("--model takes 8 characters at most");
        } else if (o == "--rearm-ms") {
            a.opt.rearmMs = static_cast<int>(Number(o, value(), 0, 600000));
        } else if (o == "--fault" || o == "--fault-next") {
            std::string v = value();
            std::string kind = v.substr(0, v.find(':'));
            std::string arg = v.find(':') == std::string::npos ? "" : v.substr(v.find(':') + 1);
            if (o == "--fault") {
                a.chanceFault = FaultKind(kind);
                a.chance = 1;
                if (!arg.empty()) {
                    char *end = nullptr;
                    a.chance = std::strtod(arg.c_str(), &end);
                    if (*end || !(a.chance >= 0 && a.chance <= 1)) Fail("--fault: chance '" + arg + "' is not 0..1");
                }
            } else {
                a.nextFault = FaultKind(kind);
                a.nextCount = arg.empty() ? 1 : static_cast<int>(Number(o, arg, 1, 1000000));
            }
        } else if (o == "--seed") {
            a.seed = static_cast<std::uint32_t>(Number(o, value(), 0, 0xFFFFFFFFL));
        } else if (o == "--delay-ms") {
            a.settings.delayMs = static_cast<int>(Number(o, value(), 0, 600000));
        } else if (o == "--gap-ms") {
            a.settings.gapMs = static_cast<int>(Number(o, value(), 0, 600000));
        } else if (o == "--pieces") {
            a.settings.pieces = static_cast<int>(Number(o, value(), 2, 256));
        } else if (o == "--control") {
            a.control = true;
        } else if (o == "--verbose" || o == "-v") {
            a.verbose = true;
        } else {
            Fail("unknown option '" + o + "'");
        }
    }
    if (a.ptys.empty() && a.device.empty() && a.tcp < 0) Fail("nothing to serve: give --pty, --device or --tcp");
    if (a.stationGiven && !a.stations.empty()) Fail("give --station or --stations, not both");
    if (a.stations.empty()) a.stations = {a.opt.station};
    if (a.stations.size() > 1 && a.tcp >= 0)
        Fail("--tcp plays one reader: not with " + std::to_string(a.stations.size()) + " --stations");
    if (a.cards.size() > 1 && a.cards.size() != a.stations.size())
        Fail("--card names " + std::to_string(a.cards.size()) + " cards for " + std::to_string(a.stations.size()) +
             " station" + (a.stations.size() == 1 ? "" : "s") + ": give one, or one per station");
    if (a.opt.strictBaud && a.ptys.empty()) Fail("--strict-baud goes with --pty");
    if (a.baudGiven && !a.ptys.empty()) {
        if (!qvreg::BaudCode(a.baud)) Fail("--baud with --pty takes 9600, 14400, 19200, 28800, 38400, 57600 or 115200");
        a.opt.baud = a.baud;
    }
    return a;
}

}  // namespace

int main(int argc, char **argv) {
    Args a = Parse(argc, argv);

    // Signals are taken by sigwait below; the serving thread inherits the mask.
    sigset_t stopSet;
    sigemptyset(&stopSet);
    sigaddset(&stopSet, SIGINT);
    sigaddset(&stopSet, SIGTERM);
    sigaddset(&stopSet, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSet, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const bool bus = a.stations.size() > 1;
    std::vector<std::unique_ptr<readersim::Reader>> readers;
    std::vector<readersim::Reader *> line;
    for (std::size_t i = 0; i < a.stations.size(); ++i) {
        readersim::Options o = a.opt;
        o.station = a.stations[i];
        if (!a.cards.empty()) {
            const std::optional<std::uint64_t> &card = a.cards[a.cards.size() == 1 ? 0 : i];
            o.cardPresent = card.has_value();
            if (card) o.card = *card;
        }
        readers.push_back(std::make_unique<readersim::Reader>(o));
        line.push_back(readers.back().get());
    }
    readersim::Server server(line);
    if (a.verbose) {
        for (readersim::Reader *r : line) {
            // On a bus the note names the reader by the id it had when the
            // request came: a write to 40001 may just have moved it.
            r->SetNoteSink([r, bus, was = r->Station()](const std::string &s) mutable {
                if (bus)
                    std::fprintf(stderr, "readersim: station %d: %s\n", was, s.c_str());
                else
                    std::fprintf(stderr, "readersim: %s\n", s.c_str());
                std::fflush(stderr);
                was = r->Station();
            });
        }
    }
    server.SetVerbose(a.verbose);
    server.SetControl(a.control);
    server.SetFaultSettings(a.settings);
    if (a.chanceFault != readersim::Fault::None) server.SetFaultChance(a.chanceFault, a.chance, a.seed);
    if (a.nextFault != readersim::Fault::None) server.InjectFault(a.nextFault, a.nextCount);

    std::string stations;
    if (bus) {
        stations = "; stations";
        for (std::size_t i = 0; i < a.stations.size(); ++i)
            stations += (i ? ", " : " ") + std::to_string(a.stations[i]);
    }
    std::string ready;
    for (int n : a.ptys) {
        readersim::PtyEntry e = server.OpenPty(a.portsDir, n);
        if (!e.message.empty()) std::fprintf(stderr, "readersim: %s\n", e.message.c_str());
        if (e.slave.empty()) return e.taken ? 2 : 1;  // the entries made so far go with the server
        ready += "readersim: serving COM" + std::to_string(n) + " (" + e.slave + ") in " + a.portsDir;
        if (a.opt.strictBaud) ready += " at " + std::to_string(line.front()->LineRate()) + " bit/s, strict";
        ready += stations + "\n";
    }
    if (!a.device.empty()) {
        if (!server.ServeDevice(a.device, a.baud)) {
            std::fprintf(stderr, "readersim: cannot open %s: %s\n", a.device.c_str(), std::strerror(errno));
            return 1;
        }
        ready += "readersim: serving " + a.device + " at " + std::to_string(a.baud) + " bit/s" + stations + "\n";
    }
    if (a.tcp >= 0) {
        int port = server.ServeTcp(a.tcp);
        if (port < 0) {
            std::fprintf(stderr, "readersim: cannot listen on 127.0.0.1:%d: %s\n", a.tcp, std::strerror(errno));
            return 1;
        }
        ready += "readersim: tcp 127.0.0.1:" + std::to_string(port) + "\n";
    }
    std::fputs(ready.c_str(), stdout);
    std::fflush(stdout);

    int sig = 0;
    sigwait(&stopSet, &sig);
    server.Stop();  // removes the COM entries
    if (a.verbose) std::fprintf(stderr, "readersim: stopped by signal %d\n", sig);
    return 0;
}
