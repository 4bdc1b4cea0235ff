// The machine's serial ports as Windows lists them: the values of the
// SERIALCOMM device map, whose data are the port names.
#ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#    define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>

#include "serialports.h"

namespace serialports {
namespace {

constexpr DWORD kBufSize = 256;

// Plain ASCII case folding, so the order does not depend on the locale.
int CompareNoCase(const std::string &a, const std::string &b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 'a' + 'A');
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

struct KeyCloser {
    HKEY key;
    ~KeyCloser() { RegCloseKey(key); }
};

}  // namespace

void SortNames(std::vector<std::string> &names) {
    std::stable_sort(names.begin(), names.end(),
                     [](const std::string &a, const std::string &b) { return CompareNoCase(a, b) < 0; });
}

std::string DevicePath(int n) {
    return (n < 10 ? "" : "\\\\.\\") + PortName(n);
}

bool ListPorts(std::vector<std::string> &list) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    KeyCloser closer{key};
    try {
        std::vector<std::string> names;
        for (DWORD index = 0;; ++index) {
            char name[kBufSize];
            BYTE data[kBufSize];
            DWORD nameLen = kBufSize;  // both sizes are in/out: reset for every value
            DWORD dataLen = kBufSize;
            DWORD type = 0;
            LONG r = RegEnumValueA(key, index, name, &nameLen, nullptr, &type, data, &dataLen);
            if (r == ERROR_NO_MORE_ITEMS) break;
            if (r != ERROR_SUCCESS) return false;
            // The port name, without the terminating zero the data carries.
            size_t len = 0;
            while (len < dataLen && len < kBufSize && data[len] != 0) ++len;
            names.emplace_back(reinterpret_cast<const char *>(data), len);
        }
        SortNames(names);
        list.swap(names);
        return true;
    } catch (...) {  // out of memory: the caller's list stays as it was
        return false;
    }
}

}  // namespace serialports
