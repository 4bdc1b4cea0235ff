// Port names: the one place where "COM3" is read and written, for the
// library, the demo and the tool alike.
#include <cctype>

#include "serialports.h"

namespace serialports {

std::string PortName(int n) {
    return "COM" + std::to_string(n);
}

std::string PortNumberText(const std::string &name) {
    return name.size() > 3 ? name.substr(3, 3) : std::string();
}

int PortNumber(const std::string &text) {
    std::string name = text;
    if (name.compare(0, 4, "\\\\.\\") == 0) name.erase(0, 4);  // Windows' device namespace
    if (name.size() < 4 || name.size() > 6) return 0;
    for (int i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(name[static_cast<size_t>(i)])) != "COM"[i]) return 0;
    if (name[3] == '0') return 0;  // COM0 and COM03 name no port
    int n = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return 0;
        n = n * 10 + (name[i] - '0');
    }
    return n;
}

}  // namespace serialports
