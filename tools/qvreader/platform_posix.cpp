#include <errno.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <map>

#include "errors.h"
#include "platform.h"
#include "serialports.h"

namespace qvreader {
namespace platform {

namespace {

volatile sig_atomic_t g_interrupted = 0;

extern "C" void OnSignal(int) {
    g_interrupted = 1;
}

}  // namespace

void CatchInterrupts() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a wait in progress returns early
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

bool Interrupted() {
    return g_interrupted != 0;
}

void SetEnv(const char *name, const char *value) {
    ::setenv(name, value, 1);
}

bool IsTerminal(std::FILE *f) {
    return ::isatty(fileno(f)) == 1;
}

bool OutputGone() {
    pollfd p{STDOUT_FILENO, POLLOUT, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLERR);
}

bool DevicePathsSupported() {
    return true;
}

int EnterDevice(const std::string &path) {
    const std::string why = serialports::EnterDevice(path);
    if (!why.empty()) throw LinkError("cannot open " + why, false);
    return 1;
}

void LeaveDevice() {
    serialports::LeaveDevice();
}

int LastCode() {
    return errno;
}

std::string SystemMessage(int code) {
    return std::strerror(code);
}

std::string DeviceOf(int number) {
    const std::string dev = serialports::ResolvePort(number);
    char real[PATH_MAX];
    return dev.empty() || !::realpath(dev.c_str(), real) ? dev : std::string(real);
}

std::string WhyNotOpened(int number, const std::string &device, int code) {
    const std::string dev = device.empty() ? DeviceOf(number) : device;
    if (dev.empty())
        return "COM" + std::to_string(number) + " is no port here ('qvreader ports' lists them; " + PortsSource() + ")";
    std::string why = dev + ": " + SystemMessage(code);
    struct stat st;
    if ((code == EACCES || code == EPERM) && ::stat(dev.c_str(), &st) == 0) {
        char buf[1024];
        struct group g, *found = nullptr;
        const bool groupMay = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
        if (groupMay && ::getgrgid_r(st.st_gid, &g, buf, sizeof buf, &found) == 0 && found)
            why += std::string("; it belongs to the group '") + found->gr_name + "': sudo usermod -aG " +
                   found->gr_name + " $USER, then log in again";
        else
            why += "; only its owner may open it";
    } else if (code == EBUSY) {
        why += ": another program holds the port";
    } else if (code == ENOENT) {
        why += " (unplugged?)";
    }
    return why;
}

bool ListPorts(std::vector<std::pair<std::string, std::string>> &ports) {
    // The demo's list, from one scan of the machine's devices.
    std::vector<std::string> names;
    std::map<std::string, std::string> devices;
    for (const serialports::PortEntry &e :
         serialports::BuildTable(serialports::PortsDir(), serialports::FoundDevices())) {
        const std::string name = serialports::PortName(e.number);
        char real[PATH_MAX];
        // A ports-directory entry is shown as the device it links to.
        devices[name] = ::realpath(e.device.c_str(), real) ? real : e.device;
        names.push_back(name);
    }
    serialports::SortNames(names);
    ports.clear();
    for (const std::string &n : names) ports.emplace_back(n, devices[n]);
    return true;
}

std::string PortsSource() {
    return "ports directory " + serialports::PortsDir();
}

}  // namespace platform
}  // namespace qvreader
