// What the last failing primitive met, kept for the trace and the caller;
// shared by the platform sources.
#include <cstdarg>
#include <cstdio>

#include "Pccomm.h"

namespace pccomm {
namespace {

char g_error[512];
int g_code = 0;

}  // namespace

void SetError(int systemCode, const char *format, ...) {
    g_code = systemCode;
    va_list args;
    va_start(args, format);
    std::vsnprintf(g_error, sizeof g_error, format, args);
    va_end(args);
}

const char *LastError() {
    return g_error;
}

int LastSystemCode() {
    return g_code;
}

void ClearError() {
    g_error[0] = 0;
    g_code = 0;
}

}  // namespace pccomm
