#include "args.h"

#include "errors.h"
#include "values.h"

namespace qvreader {

Words::Words(std::string command, std::vector<std::string> words, std::vector<OptionSpec> options)
    : command_(std::move(command)), words_(std::move(words)), options_(std::move(options)) {}

bool Words::Next() {
    spec_ = nullptr;
    hasInline_ = false;
    inline_.clear();
    if (++at_ >= words_.size()) return false;
    const std::string &w = words_[at_];
    if (ended_ || w.size() < 2 || w[0] != '-') return true;
    if (w == "--") {
        ended_ = true;
        return Next();
    }
    if (w[1] == '-') {
        const std::size_t eq = w.find('=');
        const std::string name = w.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
        for (const OptionSpec &o : options_)
            if (name == o.name) spec_ = &o;
        hasInline_ = eq != std::string::npos;
        if (hasInline_) inline_ = w.substr(eq + 1);
    } else {
        for (const OptionSpec &o : options_)
            if (o.letter && w[1] == o.letter) spec_ = &o;
        hasInline_ = w.size() > 2;
        if (hasInline_) inline_ = w.substr(2);
        if (spec_ && hasInline_ && !spec_->takesValue) spec_ = nullptr;  // "-hx" is no option of ours
    }
    if (spec_ && hasInline_ && !spec_->takesValue) throw UsageError(Prefix() + Typed() + " takes no value");
    return true;
}

bool Words::Is(const char *name) const {
    return spec_ && std::string(spec_->name) == name;
}

std::string Words::Typed() const {
    const std::string &w = Raw();
    if (w.size() > 1 && w[1] == '-') return w.substr(0, w.find('='));
    return w.substr(0, 2);
}

std::string Words::Value() {
    if (hasInline_) return inline_;
    if (at_ + 1 >= words_.size()) throw UsageError(Prefix() + Typed() + " needs a value");
    return words_[++at_];
}

unsigned long Words::Number(unsigned long lo, unsigned long hi) {
    const std::string option = Typed();
    const std::string v = Value();
    unsigned long n = 0;
    if (!ParseNumber(v, hi, n) || n < lo)
        throw UsageError(Prefix() + option + " '" + v + "' is not a number from " + std::to_string(lo) + " to " +
                         std::to_string(hi));
    return n;
}

void Words::Unknown() const {
    if (IsOption() || IsUnknownOption()) throw UsageError(Prefix() + "unknown option '" + Typed() + "'");
    throw UsageError(Prefix() + "unexpected '" + Raw() + "'");
}

const std::string &Words::Operand() const {
    if (IsOption() || IsUnknownOption()) Unknown();
    return Raw();
}

}  // namespace qvreader
