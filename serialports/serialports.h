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

// "COM3" for port 3.
std::string PortName(int n);
// The port number a name holds: "COM3", "com3" or "\\.\COM3" give 3
// (1 to 999, no leading zero); 0 for any other text.
int PortNumber(const std::string &name);
// The device port n opens: on Windows the name CreateFile takes ("COM3";
// from COM10 on only the device namespace form "\\.\COM12" works),
// elsewhere the device the port table gives ("" when there is none).
std::string DevicePath(int n);
// What a port name's number is read from: its characters from the fourth
// on, at most three ("COM12" gives "12"); the demo converts them itself.
std::string PortNumberText(const std::string &name);

#ifndef _WIN32
// The device that port number n names, or "" when there is none.
std::string ResolvePort(int n);

// Enters a device (a path) as COM1 in a private temporary ports directory
// and points QV_PORTS_DIR there, so that port 1 opens it: "" when done,
// else why not ("/dev/x: No such file or directory"). LeaveDevice removes
// the directory again; the port, once open, stays open.
std::string EnterDevice(const std::string &device);
void LeaveDevice();

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
