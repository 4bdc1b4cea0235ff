// info: the device information block.
#include "commands.h"
#include "errors.h"
#include "output.h"
#include "qvregisters.h"
#include "values.h"

namespace qvreader {
namespace {

std::string Help() {
    return R"(Usage: qvreader [options] info
Reads the reader's device information: model name, firmware version and
register base address.
  qvreader --port COM1 info
  qvreader --json --port COM1 info    {"model":"QV-LF125","version":"1.5","base-address":0}
)";
}

int Run(Link &link, const Options &opt, const Args &args) {
    NoArguments("info", args);
    const DeviceInfo d = ReadDeviceInfo(link, opt.station, "info");
    if (opt.json) {
        Emit(JsonObject().Str("model", d.model).Str("version", d.version).Num("base-address", d.base).Text());
    } else {
        Emit(Column("model", Printable(d.model)));
        Emit(Column("version", d.version));
        Emit(Column("base address", std::to_string(d.base) + " (0x" + Hex4(static_cast<std::uint16_t>(d.base)) + ")"));
    }
    return 0;
}

}  // namespace

const Command kInfoCommand = {"info", "model, firmware version, register base address", Help, Run};

DeviceInfo ReadDeviceInfo(Link &link, int station, const std::string &what) {
    const std::vector<std::uint8_t> b = link.Info(station, what);
    if (b.size() < static_cast<std::size_t>(qvreg::kInfoUsed))
        throw Failure(what + ": the device information holds " + std::to_string(b.size()) + " bytes, not " +
                      std::to_string(qvreg::kInfoUsed));
    DeviceInfo d;
    for (int i = 0; i < qvreg::kInfoModelSize && b[static_cast<std::size_t>(qvreg::kInfoModel + i)]; ++i)
        d.model += static_cast<char>(b[static_cast<std::size_t>(qvreg::kInfoModel + i)]);
    d.base = b[qvreg::kInfoBaseAddr] << 8 | b[qvreg::kInfoBaseAddr + 1];
    d.version = std::to_string(b[qvreg::kInfoVersionMajor]) + "." + std::to_string(b[qvreg::kInfoVersionMinor]);
    return d;
}

}  // namespace qvreader
