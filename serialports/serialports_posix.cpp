#include "serialports.h"

#include <dirent.h>
#include <errno.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>

namespace serialports {
namespace {

const char *const kKinds[] = {"ttyS", "ttyUSB", "ttyACM", "ttyAMA"};
constexpr int kOtherKind = 4;

// Parses the decimal digits of s from pos to its end; -1 unless all are digits.
long DigitsFrom(const std::string &s, size_t pos) {
    if (pos >= s.size() || s.size() - pos > 9) return -1;
    long v = 0;
    for (size_t i = pos; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') return -1;
        v = v * 10 + (s[i] - '0');
    }
    return v;
}

// Kind index and number of a device name such as "ttyUSB2".
std::pair<int, long> KindOf(const std::string &name) {
    // Longest prefix first, so "ttyS" does not swallow anything else.
    int best = kOtherKind;
    size_t bestLen = 0;
    for (int k = 0; k < kOtherKind; ++k) {
        std::string p = kKinds[k];
        if (name.compare(0, p.size(), p) == 0 && DigitsFrom(name, p.size()) >= 0 && p.size() > bestLen) {
            best = k;
            bestLen = p.size();
        }
    }
    return {best, best == kOtherKind ? 0 : DigitsFrom(name, bestLen)};
}

bool Exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string RealPath(const std::string &path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) ? std::string(buf) : path;
}

std::string ReadFirstLine(const std::string &path) {
    std::ifstream f(path);
    std::string line;
    std::getline(f, line);
    return line;
}

// A built-in 8250 port with no UART behind it reports type 0 (unknown).
bool HasUart(const std::string &sysEntry) {
    std::string type = ReadFirstLine(sysEntry + "/type");
    return type.empty() || type != "0";
}

std::vector<std::string> ListDir(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (!d) return names;
    while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    return names;
}

}  // namespace

void SortNames(std::vector<std::string> &names) {
    std::stable_sort(names.begin(), names.end(),
                     [](const std::string &a, const std::string &b) { return strcasecmp(a.c_str(), b.c_str()) < 0; });
}

std::string PortsDir() {
    const char *env = std::getenv("QV_PORTS_DIR");
    return env && *env ? std::string(env) : std::string("/etc/qvmodbusrtu/ports");
}

void SortDevices(std::vector<std::string> &names) {
    std::sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
        auto ka = KindOf(a), kb = KindOf(b);
        if (ka != kb) return ka < kb;
        return a < b;
    });
}

std::vector<std::string> FoundDevices(const std::string &sysClassTty, const std::string &devDir) {
    std::vector<std::string> found;
    for (const std::string &name : ListDir(sysClassTty)) {
        std::string sys = sysClassTty + "/" + name;
        // Only ttys with a device behind them are hardware ports; virtual
        // consoles, ptys and the like have no "device" link.
        if (!Exists(sys + "/device")) continue;
        if (KindOf(name).first == 0 && !HasUart(sys)) continue;
        if (!Exists(devDir + "/" + name)) continue;
        found.push_back(name);
    }
    SortDevices(found);
    return found;
}

std::vector<PortEntry> BuildTable(const std::string &portsDir, const std::vector<std::string> &found,
                                  const std::string &devDir) {
    std::vector<PortEntry> table;
    std::set<int> taken;
    std::set<std::string> pinned;
    for (const std::string &name : ListDir(portsDir)) {
        const int n = PortNumber(name);
        if (n <= 0) continue;
        std::string path = portsDir + "/" + name;
        if (!taken.insert(n).second) continue;
        // An entry whose device is gone still holds its number, so that
        // plugging a pinned adapter back in never renumbers the others.
        if (!Exists(path)) continue;
        table.push_back({n, path});
        pinned.insert(RealPath(path));
    }
    int next = 1;
    for (const std::string &dev : found) {
        std::string path = devDir + "/" + dev;
        if (pinned.count(RealPath(path))) continue;
        while (taken.count(next)) ++next;
        taken.insert(next);
        table.push_back({next, path});
    }
    return table;
}

std::string ResolvePort(int n) {
    if (n <= 0) return "";
    // A ports-directory entry answers without scanning the machine.
    std::string direct = PortsDir() + "/" + PortName(n);
    if (Exists(direct)) return direct;
    for (const PortEntry &e : BuildTable(PortsDir(), FoundDevices()))
        if (e.number == n) return e.device;
    return "";
}

std::string DevicePath(int n) {
    return ResolvePort(n);
}

bool ListPorts(std::vector<std::string> &list) {
    std::vector<std::string> names;
    for (const PortEntry &e : BuildTable(PortsDir(), FoundDevices())) names.push_back(PortName(e.number));
    SortNames(names);
    list = names;
    return true;
}

namespace {

std::string g_enteredDir, g_savedPortsDir;
bool g_hadPortsDir = false;

}  // namespace

std::string EnterDevice(const std::string &device) {
    struct stat st;
    if (stat(device.c_str(), &st) != 0) return device + ": " + std::strerror(errno);
    if (!S_ISCHR(st.st_mode)) return device + ": not a serial device";
    std::string target = device;
    if (target[0] != '/') {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd)) return device + ": " + std::strerror(errno);
        target = std::string(cwd) + "/" + target;
    }
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qvmodbusrtu-ports.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data()))
        return "cannot make a temporary ports directory in " + pattern.substr(0, pattern.rfind('/')) + ": " +
               std::strerror(errno);
    LeaveDevice();
    g_enteredDir = name.data();
    if (symlink(target.c_str(), (g_enteredDir + "/" + PortName(1)).c_str()) != 0) {
        const int e = errno;
        LeaveDevice();
        return "cannot enter " + device + " in a temporary ports directory: " + std::strerror(e);
    }
    const char *old = std::getenv("QV_PORTS_DIR");
    g_hadPortsDir = old != nullptr;
    g_savedPortsDir = old ? old : "";
    setenv("QV_PORTS_DIR", g_enteredDir.c_str(), 1);
    return "";
}

void LeaveDevice() {
    if (g_enteredDir.empty()) return;
    unlink((g_enteredDir + "/" + PortName(1)).c_str());
    rmdir(g_enteredDir.c_str());
    g_enteredDir.clear();
    if (g_hadPortsDir)
        setenv("QV_PORTS_DIR", g_savedPortsDir.c_str(), 1);
    else
        unsetenv("QV_PORTS_DIR");
}

}  // namespace serialports
