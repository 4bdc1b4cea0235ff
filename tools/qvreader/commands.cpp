#include "commands.h"

namespace qvreader {

const std::vector<Command> &Commands() {
    static const std::vector<Command> commands = {kInfoCommand,   kCardCommand, kClearCommand, kLedCommand,
                                                  kConfigCommand, kSetCommand,  kReadCommand,  kWriteCommand,
                                                  kFindCommand,   kScanCommand, kPortsCommand};
    return commands;
}

const Command *FindCommand(const std::string &name) {
    for (const Command &c : Commands())
        if (name == c.name) return &c;
    return nullptr;
}

void NoArguments(const char *command, const Args &args) {
    Words w(command, args, {});
    if (w.Next()) w.Unknown();
}

}  // namespace qvreader
