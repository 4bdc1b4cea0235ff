// The commands of qvreader, each with its own help text.
#pragma once

#include <string>
#include <vector>

#include "link.h"

namespace qvreader {

using Args = std::vector<std::string>;

struct Command {
    const char *name;
    const char *summary;  // one line for the tool's help
    const char *help;     // 'qvreader NAME --help'
    int (*run)(Link &link, const Options &opt, const Args &args);
};

const std::vector<Command> &Commands();
const Command *FindCommand(const std::string &name);

}  // namespace qvreader
