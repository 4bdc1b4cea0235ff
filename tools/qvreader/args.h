// The one reader of command-line words, for the tool's options and for each
// command's own: "--name value", "--name=value", "-n value" and "-nVALUE";
// "--" ends the options.
#pragma once

#include <string>
#include <vector>

namespace qvreader {

struct OptionSpec {
    const char *name;  // without the dashes: "port"
    char letter;       // 'p', or 0 when there is no short form
    bool takesValue;
};

class Words {
public:
    // command names the words in messages ("card: ..."), "" for the tool's own.
    Words(std::string command, std::vector<std::string> words, std::vector<OptionSpec> options);

    // Steps to the next option or operand; false at the end.
    bool Next();
    // The current word is one of the options (Is names which) ...
    bool IsOption() const { return spec_ != nullptr; }
    bool Is(const char *name) const;
    // ... or looks like an option but is none of them ...
    bool IsUnknownOption() const { return !spec_ && !ended_ && Raw().size() > 1 && Raw()[0] == '-'; }
    // ... or is an operand. The word as typed, either way.
    const std::string &Raw() const { return words_[at_]; }
    // The option as typed, without a value: "--port", "-p".
    std::string Typed() const;

    // The current option's value; throws UsageError when there is none.
    std::string Value();
    // The value as a number from lo to hi (decimal or 0x hex).
    unsigned long Number(unsigned long lo, unsigned long hi);
    // Refuses the current word.
    [[noreturn]] void Unknown() const;
    // Refuses what is not an operand; returns the operand.
    const std::string &Operand() const;

private:
    std::string Prefix() const { return command_.empty() ? "" : command_ + ": "; }

    std::string command_;
    std::vector<std::string> words_;
    std::vector<OptionSpec> options_;
    std::size_t at_ = static_cast<std::size_t>(-1);
    const OptionSpec *spec_ = nullptr;
    bool ended_ = false;      // "--" was passed: the rest are operands
    bool hasInline_ = false;  // "--name=value" or "-nVALUE"
    std::string inline_;
};

}  // namespace qvreader
