// The port list read from the registry's SERIALCOMM device map.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "serialports.h"
#include "win_support.h"

using serialports::ListPorts;
using serialports::SortNames;
using winsupport::EnvNumber;

namespace {

const char kMap[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

bool Has(const std::vector<std::string> &v, const std::string &s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

std::string Upper(std::string s) {
    for (char &c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Extra values in the device map for one test, removed again afterwards.
class MapValues {
public:
    MapValues() {
        ok_ = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kMap, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key_,
                              nullptr) == ERROR_SUCCESS;
    }
    ~MapValues() {
        for (auto &n : names_) RegDeleteValueA(key_, n.c_str());
        if (ok_) RegCloseKey(key_);
    }
    bool Set(const std::string &name, const std::string &data) {
        if (!ok_) return false;
        names_.push_back(name);
        return RegSetValueExA(key_, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(data.c_str()),
                              static_cast<DWORD>(data.size() + 1)) == ERROR_SUCCESS;
    }
    void Remove(const std::string &name) { RegDeleteValueA(key_, name.c_str()); }

private:
    HKEY key_ = nullptr;
    bool ok_ = false;
    std::vector<std::string> names_;
};

}  // namespace

TEST(PortList, SortIsCaseInsensitiveText) {
    std::vector<std::string> v{"COM2", "com10", "COM1", "Com3", "COM12"};
    SortNames(v);
    EXPECT_EQ(v, (std::vector<std::string>{"COM1", "com10", "COM12", "COM2", "Com3"}));
}

// One test, so no other test sees the values it adds to the device map.
TEST(PortList, RegistryListSortedKeptOnErrors) {
    int com = EnvNumber("QV_WIN_SIM_COM"), high = EnvNumber("QV_WIN_SIM_COM_HIGH");
    int a = EnvNumber("QV_WIN_LINE_A"), b = EnvNumber("QV_WIN_LINE_B");
    ASSERT_TRUE(com > 0 && high > 0 && a > 0 && b > 0) << "run the suite through scripts/test-windows";

    // The mapped ports are listed (Wine may add the host's own).
    std::vector<std::string> list{"stale"};
    ASSERT_TRUE(ListPorts(list));
    for (int n : {com, high, a, b}) EXPECT_TRUE(Has(list, "COM" + std::to_string(n))) << "COM" << n;
    EXPECT_FALSE(Has(list, "stale"));
    for (size_t i = 1; i < list.size(); ++i)
        EXPECT_LE(Upper(list[i - 1]), Upper(list[i])) << list[i - 1] << " " << list[i];

    // Lower-case names sort among the others, not after them.
    MapValues extra;
    ASSERT_TRUE(extra.Set("\\Device\\QvTestA", "com20"));
    ASSERT_TRUE(extra.Set("\\Device\\QvTestB", "COM3"));
    ASSERT_TRUE(ListPorts(list));
    auto pos = [&](const std::string &s) { return std::find(list.begin(), list.end(), s) - list.begin(); };
    ASSERT_TRUE(Has(list, "com20"));
    EXPECT_LT(pos("COM" + std::to_string(high)), pos("com20"));
    EXPECT_LT(pos("com20"), pos("COM3"));

    // A value whose data does not fit 256 bytes fails the listing: the list stays as it was.
    ASSERT_TRUE(extra.Set("\\Device\\QvTestLong", std::string(300, 'X')));
    std::vector<std::string> kept{"COM7", "COM8"};
    EXPECT_FALSE(ListPorts(kept));
    EXPECT_EQ(kept, (std::vector<std::string>{"COM7", "COM8"}));

    // A name of 255 characters and data of 255 fit the buffers.
    extra.Remove("\\Device\\QvTestLong");
    ASSERT_TRUE(extra.Set(std::string(255, 'N'), std::string(255, 'D')));
    ASSERT_TRUE(ListPorts(kept));
    EXPECT_TRUE(Has(kept, std::string(255, 'D')));
    EXPECT_TRUE(Has(kept, "com20"));
}
