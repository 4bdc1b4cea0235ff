// qvreader: the card reader from the command line, for field technicians and
// scripts. Uses the qvmodbusrtu library through its exported functions only.
#include <cstdio>
#include <exception>
#include <string>

#include "commands.h"
#include "errors.h"
#include "platform.h"
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
  -b, --baud RATE        9600 14400 19200 28800 38400 57600 115200
                         (default 19200)
  -t, --tcp HOST[:PORT]  Modbus TCP instead of a serial port (port 502)
  -s, --station N        station id 0-255 (default 0: the reader answers
                         station 0 whatever its own id)
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
  qvreader --tcp 192.168.1.50 --json card

Exit status: 0 done; 1 the reader did not answer or a command failed;
2 a usage error, or a port or connection that cannot be opened;
130 interrupted by Ctrl-C ('card --watch' ends with 0).
Environment: QV_PORTS_DIR (Linux: the ports directory that names COM<n>),
QV_TRACE (stderr or a file: the library's traffic trace).
)";

std::string ToolHelp() {
    std::string s = kHelp;
    for (const Command &c : Commands()) {
        std::string name = c.name;
        name.resize(10, ' ');
        s += "  " + name + c.summary + "\n";
    }
    return s + kHelpTail;
}

// The value of an option: "--port=X", "--port X", "-p X".
std::string OptionValue(int argc, char **argv, int &i, const std::string &name, const std::string &inline_,
                        bool hasInline) {
    if (hasInline) return inline_;
    if (i + 1 >= argc) throw UsageError(name + " needs a value");
    return argv[++i];
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

int Run(int argc, char **argv, std::string &context) {
    Options opt;
    std::string name;
    Args args;
    bool help = false, optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (optionsEnded || a.size() < 2 || a[0] != '-') {
            if (name.empty())
                name = a;
            else
                args.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        const std::size_t eq = a.find('=');
        const bool hasInline = a.compare(0, 2, "--") == 0 && eq != std::string::npos;
        const std::string o = hasInline ? a.substr(0, eq) : a;
        const std::string in = hasInline ? a.substr(eq + 1) : std::string();
        unsigned long n = 0;
        if (o == "-p" || o == "--port") {
            opt.port = OptionValue(argc, argv, i, o, in, hasInline);
            if (opt.port.empty()) throw UsageError(o + " needs a port");
        } else if (o == "-b" || o == "--baud") {
            const std::string v = OptionValue(argc, argv, i, o, in, hasInline);
            opt.baud = ParseBaud(v);
            if (!opt.baud) throw UsageError(o + " '" + v + "' is not one of " + RateList());
        } else if (o == "-t" || o == "--tcp") {
            ParseTcp(OptionValue(argc, argv, i, o, in, hasInline), opt);
        } else if (o == "-s" || o == "--station") {
            const std::string v = OptionValue(argc, argv, i, o, in, hasInline);
            if (!ParseNumber(v, 255, n)) throw UsageError(o + " '" + v + "' is not a station id from 0 to 255");
            opt.station = static_cast<int>(n);
        } else if (o == "--json" && !hasInline) {
            opt.json = true;
        } else if (o == "--trace" && !hasInline) {
            opt.trace = true;
        } else if ((o == "-h" || o == "--help") && !hasInline) {
            help = true;
        } else if (name.empty()) {
            throw UsageError("unknown option '" + o + "'");
        } else {
            args.push_back(a);  // the command's own
        }
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
        std::fputs(cmd ? cmd->help : ToolHelp().c_str(), stdout);
        return 0;
    }
    if (!cmd) throw UsageError("no command given");
    if (!opt.port.empty() && !opt.tcpHost.empty()) throw UsageError("--port and --tcp exclude each other");

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
