// The COM port table: ports-directory entries, numbering of found devices
// around them, and the order of the list.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "pty_port.h"
#include "serialports.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

// A fake /dev and /sys/class/tty under a temporary directory.
struct FakeMachine {
    std::string root;
    FakeMachine() {
        char tmpl[] = "/tmp/qvmachine.XXXXXX";
        root = mkdtemp(tmpl);
        fs::create_directories(root + "/dev");
        fs::create_directories(root + "/sys");
    }
    ~FakeMachine() { fs::remove_all(root); }
    std::string dev() const { return root + "/dev"; }
    std::string sys() const { return root + "/sys"; }
    // A tty with a device behind it; type is written for 8250 ports.
    void AddTty(const std::string &name, bool hardware = true, const char *type = nullptr) const {
        std::ofstream(dev() + "/" + name).put('x');
        fs::create_directories(sys() + "/" + name);
        if (hardware) fs::create_directories(sys() + "/" + name + "/device");
        if (type) std::ofstream(sys() + "/" + name + "/type") << type << "\n";
    }
};

}  // namespace

TEST(SerialPorts, SortIsCaseInsensitiveText) {
    std::vector<std::string> v = {"COM3", "com10", "COM1", "COM2"};
    serialports::SortNames(v);
    EXPECT_EQ(v, (std::vector<std::string>{"COM1", "com10", "COM2", "COM3"}));
}

TEST(SerialPorts, FoundDevicesKindByKindInNumericOrder) {
    FakeMachine m;
    m.AddTty("ttyUSB10");
    m.AddTty("ttyUSB2");
    m.AddTty("ttyACM0");
    m.AddTty("ttyS1", true, "4");
    m.AddTty("ttyS0", true, "4");
    m.AddTty("ttyS2", true, "0");  // built-in port without a UART
    m.AddTty("ttyAMA0");
    m.AddTty("rfcomm0");
    m.AddTty("tty3", false);        // a virtual console
    m.AddTty("ttyS9", false, "4");  // no device link
    std::vector<std::string> found = serialports::FoundDevices(m.sys(), m.dev());
    EXPECT_EQ(found,
              (std::vector<std::string>{"ttyS0", "ttyS1", "ttyUSB2", "ttyUSB10", "ttyACM0", "ttyAMA0", "rfcomm0"}));
}

TEST(SerialPorts, FoundDevicesTakeTheNumbersThePortsDirectoryLeavesFree) {
    FakeMachine m;
    m.AddTty("ttyS0", true, "4");
    m.AddTty("ttyUSB0");
    m.AddTty("ttyUSB1");
    PortsDir dir;
    dir.Link("COM1", m.dev() + "/ttyUSB1");  // pinned: not numbered twice
    dir.Link("COM3", "/dev/null");
    dir.Link("COM5", m.root + "/gone");  // missing device: number kept, not listed
    dir.Link("notes", "/dev/null");      // not a port name
    auto table = serialports::BuildTable(dir.path(), serialports::FoundDevices(m.sys(), m.dev()), m.dev());
    std::map<int, std::string> byNumber;
    for (auto &e : table) byNumber[e.number] = e.device;
    ASSERT_EQ(byNumber.size(), 4u);
    EXPECT_EQ(byNumber[1], dir.path() + "/COM1");
    EXPECT_EQ(byNumber[2], m.dev() + "/ttyS0");
    EXPECT_EQ(byNumber[3], dir.path() + "/COM3");
    EXPECT_EQ(byNumber[4], m.dev() + "/ttyUSB0");
    EXPECT_EQ(byNumber.count(5), 0u);
}

TEST(SerialPorts, ListAndResolveThroughThePortsDirectory) {
    PortsDir dir;
    PtyPort a(dir, 1), b(dir, 3), c(dir, 10);
    std::vector<std::string> list = {"stale"};
    ASSERT_TRUE(serialports::ListPorts(list));
    // The machine's own ports may follow; ours come in case-insensitive order.
    std::vector<std::string> ours;
    for (auto &n : list)
        if (n == "COM1" || n == "COM3" || n == "COM10") ours.push_back(n);
    EXPECT_EQ(ours, (std::vector<std::string>{"COM1", "COM10", "COM3"}));
    EXPECT_EQ(serialports::ResolvePort(10), dir.path() + "/COM10");
    EXPECT_EQ(serialports::ResolvePort(0), "");
    EXPECT_EQ(serialports::ResolvePort(-3), "");
}

TEST(SerialPorts, PortsDirFromEnvironmentOrDefault) {
    {
        PortsDir dir;
        EXPECT_EQ(serialports::PortsDir(), dir.path());
    }
    if (!getenv("QV_PORTS_DIR")) {
        EXPECT_EQ(serialports::PortsDir(), "/etc/qvmodbusrtu/ports");
    }
}
