#ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#    define NOMINMAX
#endif
#include <io.h>
#include <stdlib.h>
#include <time.h>
#include <windows.h>

#include <atomic>
#include <cstring>

#include "errors.h"
#include "platform.h"
#include "serialports.h"

namespace qvreader {
namespace platform {

namespace {

std::atomic<bool> g_interrupted{false};

BOOL WINAPI OnConsoleEvent(DWORD) {
    g_interrupted = true;
    return TRUE;  // handled: the command ends by itself and frees the link
}

}  // namespace

void CatchInterrupts() {
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool Interrupted() {
    return g_interrupted;
}

void SetEnv(const char *name, const char *value) {
    _putenv_s(name, value);
}

bool IsTerminal(std::FILE *f) {
    return _isatty(_fileno(f)) != 0;
}

bool OutputGone() {
    return false;  // found at the next write instead
}

bool DevicePathsSupported() {
    return false;
}

int EnterDevice(const std::string &path) {
    throw UsageError("--port " + path + ": give a port as COMn on Windows");
}

void LeaveDevice() {}

int LastCode() {
    return static_cast<int>(GetLastError());
}

std::string SystemMessage(int code) {
    char text[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ' || text[n - 1] == '.')) --n;
    return n ? std::string(text, n) : "error " + std::to_string(code);
}

std::string DeviceOf(int) {
    return "";
}

std::string WhyNotOpened(int number, const std::string &, int code) {
    std::string why = serialports::DevicePath(number) + ": " + SystemMessage(code);
    if (code == ERROR_ACCESS_DENIED) why += " (another program holds the port?)";
    if (code == ERROR_FILE_NOT_FOUND) why += " ('qvreader ports' lists the ports)";
    return why;
}

bool ListPorts(std::vector<std::pair<std::string, std::string>> &ports) {
    std::vector<std::string> names;
    if (!serialports::ListPorts(names)) return false;
    ports.clear();
    for (const std::string &n : names) {
        char target[1024] = {0};
        std::string dev;
        if (QueryDosDeviceA(n.c_str(), target, sizeof target)) dev = target;
        ports.emplace_back(n, dev);
    }
    return true;
}

std::string PortsSource() {
    return "the registry's SERIALCOMM list";
}

}  // namespace platform
}  // namespace qvreader
