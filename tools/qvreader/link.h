// The one link to the reader, through the library's exported functions only,
// and the calls each command makes on it. Failures throw (errors.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qvreader {

struct Options {
    std::string port;     // -p as typed; empty when not given
    int baud = 19200;     // -b
    std::string tcpHost;  // -t; empty when not given
    int tcpPort = 502;
    int station = 0;  // -s
    bool json = false;
    bool trace = false;
};

// A failed call's code in words: "no reply within 2 s", "the reader refused
// the request: exception 02, illegal data address".
std::string OutcomeWords(int code, bool serial);
// An exception reply's code in words: "exception 02, illegal data address".
std::string ExceptionWords(int code);

class Link {
public:
    explicit Link(const Options &o) : opt_(o), baud_(o.baud) {}
    ~Link() { Close(); }
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    // Opens the serial port (at baud, when not 0) or the TCP connection that
    // the options name. Throws UsageError without one, LinkError when it
    // does not open.
    void Open(int baud = 0);
    bool IsOpen() const { return serialOpen_ || tcpOpen_; }
    // Closes the serial port and opens it again at another rate.
    void Reopen(int baud);
    void Close();

    bool Serial() const { return opt_.tcpHost.empty(); }
    int Baud() const { return baud_; }
    // "COM1 at 19200 bit/s" or "127.0.0.1:502".
    std::string Where() const;
    // What the user typed for the port ("COM1", "3", "/dev/ttyUSB0").
    std::string PortText() const { return opt_.port; }

    std::vector<std::uint16_t> Read(int station, int address, int count, const std::string &what);
    std::uint16_t ReadOne(int station, int address, const std::string &what) {
        return Read(station, address, 1, what)[0];
    }
    void Write(int station, int address, std::uint16_t value, const std::string &what);
    void WriteMany(int station, int address, const std::vector<std::uint16_t> &values, const std::string &what);
    // The device information block (model, base address, version).
    std::vector<std::uint8_t> Info(int station, const std::string &what);

private:
    [[noreturn]] void Failed(int station, const std::string &what, int code) const;

    Options opt_;
    int baud_;
    int number_ = 0;  // COM number opened
    bool serialOpen_ = false;
    bool tcpOpen_ = false;
};

}  // namespace qvreader
