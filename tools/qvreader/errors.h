// How a command ends when it does not succeed; main turns each kind into its
// exit status and one line on standard error.
#pragma once

#include <stdexcept>
#include <string>

namespace qvreader {

// Bad arguments: exit status 2, nothing was sent.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The port or connection could not be opened: exit status 2.
struct LinkError : std::runtime_error {
    explicit LinkError(const std::string &what, bool traced_ = true) : std::runtime_error(what), traced(traced_) {}
    bool traced;  // the library tried, so its trace tells more
};

// The reader did not answer, or answered something else than asked: exit 1.
struct Failure : std::runtime_error {
    explicit Failure(const std::string &what, const std::string &hint_ = "", int code_ = 0)
        : std::runtime_error(what), hint(hint_), code(code_) {}
    std::string hint;  // what to try next, for people
    int code;          // the library's QV_E_ code, 0 when the tool found the fault itself
};

// Ctrl-C (or SIGTERM) while a command ran: exit 130.
struct Interrupted : std::runtime_error {
    Interrupted() : std::runtime_error("interrupted") {}
};

// Standard output is a pipe nobody reads any more (card --watch | head -1):
// the program ends quietly with status 0, after freeing the link.
struct OutputClosed {};

}  // namespace qvreader
