// qvreader: the card reader from the command line, for field technicians and
// scripts. Uses the qvmodbusrtu library through its exported functions only.
#include <cstdio>
#include <exception>
#include <string>

#include "args.h"
#include "commands.h"
#include "errors.h"
#include "platform.h"
#include "qvregisters.h"
#include "values.h"

namespace qvreader {
namespace {

const char kHelp[] = R"(Usage: qvreader [options] COMMAND [arguments]
Talks to a 125 kHz RFID card reader over a serial line (Modbus RTU) or
Modbus TCP: reads cards, drives the LED and buzzer, shows and changes the
reader's settings, finds its bit rate.

Options (before or after the command):
  -p, --port PORT        serial port: COM3, 3, or (Linux) a device such as
                         /dev/ttyUSB0
  -b, --baud RATE        the bit rate (default %BAUD%; 'find --help' lists them)
  -t, --tcp HOST[:PORT]  Modbus TCP instead of a serial port (port 502)
  -s, --station N        station id 0-255 (default 0: the reader answers
                         station 0 whatever its own id); card --watch takes
                         several, 3,17,200, for several readers on one line
      --json             one JSON object per result line, for scripts
      --trace            every request and reply on standard error
                         (the same as QV_TRACE=stderr)
  -h, --help             this text; 'qvreader COMMAND --help' for a command

Commands:
)";

const char kHelpTail[] = R"(
Examples:
  qvreader ports
  qvreader --port COM3 info
  qvreader --port /dev/ttyUSB0 card --watch
  qvreader --port COM3 led --output both --cycles 3
  qvreader --port COM3 config
  qvreader --port COM3 set beep=on same-card-delay=1000
  qvreader --port COM3 find
  qvreader --port COM3 scan
  qvreader --port COM3 --station 3,17 card --watch
  qvreader --tcp 192.168.1.50 --json card

Exit status: 0 done; 1 the reader did not answer or a command failed;
2 a usage error, or a port or connection that cannot be opened;
130 interrupted by Ctrl-C ('card --watch' ends with 0, or 1 when no reader
ever answered).
Environment: QV_PORTS_DIR (Linux: the ports directory that names COM<n>),
QV_TRACE (stderr or a file: the library's traffic trace), QV_REPLY_WAIT_MS
(the library's reply wait, 10 to 60000 ms; default 2000).
)";

std::string ToolHelp() {
    std::string s = kHelp;
    s.replace(s.find("%BAUD%"), 6, std::to_string(qvreg::kDefaultBaud));
    for (const Command &c : Commands()) {
        std::string name = c.name;
        name.resize(10, ' ');
        s += "  " + name + c.summary + "\n";
    }
    return s + kHelpTail;
}

void ParseTcp(const std::string &v, Options &opt) {
    std::string host = v, port;
    const std::size_t colon = v.rfind(':');
    if (colon != std::string::npos && v.find(':') == colon) {
        host = v.substr(0, colon);
        port = v.substr(colon + 1);
    }
    if (host.empty()) throw UsageError("--tcp '" + v + "' names no host");
    unsigned long n = 502;
    if (colon != std::string::npos && (!ParseNumber(port, 65535, n) || n == 0))
        throw UsageError("--tcp '" + v + "': port '" + port + "' is not a number from 1 to 65535");
    opt.tcpHost = host;
    opt.tcpPort = static_cast<int>(n);
}

const std::vector<OptionSpec> kToolOptions = {
    {"port", 'p', true}, {"baud", 'b', true}, {"tcp", 't', true},   {"station", 's', true},
    {"json", 0, false},  {"trace", 0, false}, {"help", 'h', false},
};

// One of the tool's own options.
void TakeOption(Words &w, Options &opt, bool &help) {
    if (w.Is("port")) {
        opt.port = w.Value();
        if (opt.port.empty()) throw UsageError(w.Typed() + " needs a port");
    } else if (w.Is("baud")) {
        const std::string option = w.Typed(), v = w.Value();
        opt.baud = ParseBaud(v);
        if (!opt.baud) throw UsageError(option + " '" + v + "' is not one of " + RateList());
    } else if (w.Is("tcp")) {
        ParseTcp(w.Value(), opt);
    } else if (w.Is("station")) {
        opt.stations = ParseStations(w.Value());
        opt.station = opt.stations[0];
    } else if (w.Is("json")) {
        opt.json = true;
    } else if (w.Is("trace")) {
        opt.trace = true;
    } else {
        help = true;
    }
}

int Run(int argc, char **argv, std::string &context) {
    Options opt;
    std::string name;
    Args args;
    bool help = false;
    // The tool's options go before or after the command; the rest is the command's.
    Words w("", Args(argv + 1, argv + argc), kToolOptions);
    while (w.Next()) {
        if (w.IsOption())
            TakeOption(w, opt, help);
        else if (w.IsUnknownOption() && name.empty())
            throw UsageError("unknown option '" + w.Typed() + "'");
        else if (name.empty())
            name = w.Raw();
        else
            args.push_back(w.Raw());
    }
    if (name == "help") {
        help = true;
        name = args.empty() ? "" : args[0];
    }
    const Command *cmd = name.empty() ? nullptr : FindCommand(name);
    if (!name.empty() && !cmd) {
        std::string all;
        for (const Command &c : Commands()) all += std::string(all.empty() ? "" : ", ") + c.name;
        throw UsageError("unknown command '" + name + "'; commands: " + all);
    }
    if (cmd) context = cmd->name;
    if (help) {
        std::fputs(cmd ? cmd->help().c_str() : ToolHelp().c_str(), stdout);
        return 0;
    }
    if (!cmd) throw UsageError("no command given");
    if (!opt.port.empty() && !opt.tcpHost.empty()) throw UsageError("--port and --tcp exclude each other");
    if (opt.stations.size() > 1 && std::string(cmd->name) != kCardCommand.name)
        throw UsageError(std::string(cmd->name) + ": several stations go with 'card --watch' only");

    // The library reads QV_TRACE at its first call.
    if (opt.trace) platform::SetEnv("QV_TRACE", "stderr");
    platform::CatchInterrupts();
    Link link(opt);  // opened by the first request, after the command has checked its arguments
    return cmd->run(link, opt, args);
}

}  // namespace
}  // namespace qvreader

namespace {

// " (--trace shows the traffic; HINT)", leaving out what does not apply.
std::string Hints(const std::string &hint) {
    std::string h = qvreader::platform::EnvSet("QV_TRACE") ? "" : "--trace shows the traffic";
    if (!hint.empty()) h += (h.empty() ? "" : "; ") + hint;
    return h.empty() ? "" : " (" + h + ")";
}

}  // namespace

int main(int argc, char **argv) {
    using namespace qvreader;
    std::string context;
    try {
        return Run(argc, argv, context);
    } catch (const UsageError &e) {
        std::fprintf(stderr, "qvreader: %s (see 'qvreader %s--help')\n", e.what(),
                     context.empty() ? "" : (context + " ").c_str());
        return 2;
    } catch (const LinkError &e) {
        std::fprintf(stderr, "qvreader: %s%s\n", e.what(), e.traced ? Hints("").c_str() : "");
        return 2;
    } catch (const Failure &e) {
        std::fprintf(stderr, "qvreader: %s%s\n", e.what(), Hints(e.hint).c_str());
        return 1;
    } catch (const Interrupted &) {
        std::fprintf(stderr, "qvreader: interrupted\n");
        return 130;
    } catch (const OutputClosed &) {
        return 0;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "qvreader: %s\n", e.what());
        return 1;
    }
}
