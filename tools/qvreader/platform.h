// What differs between Linux and Windows: signals, time, environment and
// serial port names.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace qvreader {
namespace platform {

// Ctrl-C and termination requests set a flag instead of ending the process,
// so the command frees the link on its way out. Also ignores SIGPIPE.
void CatchInterrupts();
bool Interrupted();

void SetEnv(const char *name, const char *value);
// Set and not empty.
inline bool EnvSet(const char *name) {
    const char *v = std::getenv(name);
    return v && *v;
}

bool IsTerminal(std::FILE *f);
// True when standard output is a pipe whose reader has gone.
bool OutputGone();

// Whether -p values that are device paths work here.
bool DevicePathsSupported();
// Enters a device as COM1 in a private temporary ports directory and points
// QV_PORTS_DIR there; returns 1, the port number to open. Throws LinkError.
int EnterDevice(const std::string &path);
// Removes what EnterDevice made; does nothing when it made nothing.
void LeaveDevice();
// The code the library left for the call just made (errno, GetLastError);
// read it before anything else runs.
int LastCode();
// The system's words for one of its codes: "Permission denied".
std::string SystemMessage(int code);
// The device COM<n> names here ("/dev/ttyUSB0", "\\.\COM3"), or "".
std::string DeviceOf(int number);
// Why port n (device path when given) did not open, from the system's code:
// "/dev/ttyUSB0: Permission denied; ...".
std::string WhyNotOpened(int number, const std::string &device, int code);

// The ports as the demo lists them, with the device each one maps to.
// False when the list cannot be read.
bool ListPorts(std::vector<std::pair<std::string, std::string>> &ports);
// Where the names come from, for people: "ports directory /etc/..." or "the registry".
std::string PortsSource();

}  // namespace platform
}  // namespace qvreader
