// COM port names shared by the link library (to open port n) and the demo
// (to list the ports), so both always agree on what "COM3" is.
#pragma once

#include <string>
#include <vector>

namespace serialports {

// Lists the machine's serial port names ("COM1", "COM10", ...), sorted
// case-insensitively. On an error the list is left unchanged and false is
// returned.
bool ListPorts(std::vector<std::string> &list);

// Sorts port names case-insensitively, as the port list shows them.
void SortNames(std::vector<std::string> &names);

#ifndef _WIN32
// The device that port number n names, or "" when there is none.
std::string ResolvePort(int n);

// Building blocks of the port table, exposed for tests.
struct PortEntry {
    int number;
    std::string device;  // path to open
};
// The ports directory: $QV_PORTS_DIR, or /etc/qvmodbusrtu/ports.
std::string PortsDir();
// Serial devices found on the machine (names under /dev), kind by kind:
// ttyS, ttyUSB, ttyACM, ttyAMA, others; each kind in numeric order.
std::vector<std::string> FoundDevices(const std::string &sysClassTty = "/sys/class/tty",
                                      const std::string &devDir = "/dev");
// Orders device names as FoundDevices does.
void SortDevices(std::vector<std::string> &names);
// Port table: ports-directory entries (COM<n> whose target exists) keep their
// numbers; found devices take the lowest numbers left free, in order.
std::vector<PortEntry> BuildTable(const std::string &portsDir, const std::vector<std::string> &found,
                                  const std::string &devDir = "/dev");
#endif

}  // namespace serialports
