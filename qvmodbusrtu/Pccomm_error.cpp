// What the last failing primitive met, kept for the trace; shared by the
// platform sources.
#include <cstdarg>
#include <cstdio>

#include "Pccomm.h"

namespace pccomm {
namespace {

char g_error[512];

}  // namespace

void SetError(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(g_error, sizeof g_error, format, args);
    va_end(args);
}

const char *LastError() {
    return g_error;
}

void ClearError() {
    g_error[0] = 0;
}

}  // namespace pccomm
