// ports: the serial ports as the demo lists them.
#include "commands.h"
#include "errors.h"
#include "output.h"
#include "platform.h"

namespace qvreader {
namespace {

std::string Help() {
    return R"(Usage: qvreader ports
Lists the serial ports as the demo program does, with the device each one
maps to. On Linux COM<n> names come from the ports directory ($QV_PORTS_DIR,
else /etc/qvmodbusrtu/ports) and from the serial devices found; on Windows
from the registry. JSON: {"port":"COM1","device":"/dev/pts/3"} per port.
)";
}

int Run(Link &, const Options &opt, const Args &args) {
    NoArguments("ports", args);
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

}  // namespace

const Command kPortsCommand = {"ports", "the serial ports and their devices", Help, Run};

}  // namespace qvreader
