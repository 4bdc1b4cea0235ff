// The commands of qvreader. Each lives in a file of its own with its help
// text; Commands() lists them in the order the tool's help shows them.
#pragma once

#include <string>
#include <vector>

#include "args.h"
#include "link.h"

namespace qvreader {

using Args = std::vector<std::string>;

struct Command {
    const char *name;
    const char *summary;    // one line for the tool's help
    std::string (*help)();  // 'qvreader NAME --help'
    int (*run)(Link &link, const Options &opt, const Args &args);
};

const std::vector<Command> &Commands();
const Command *FindCommand(const std::string &name);

// The words of a command that takes no options and no operands: refuses any.
void NoArguments(const char *command, const Args &args);

// The device information as info shows it; throws Failure.
struct DeviceInfo {
    std::string model, version;
    int base = 0;
};
DeviceInfo ReadDeviceInfo(Link &link, int station, const std::string &what);

// One per file.
extern const Command kInfoCommand, kCardCommand, kClearCommand, kLedCommand, kConfigCommand, kSetCommand, kReadCommand,
    kWriteCommand, kFindCommand, kScanCommand, kPortsCommand;

}  // namespace qvreader
