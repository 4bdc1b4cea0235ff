// The one link to the reader, through the library's exported functions only,
// and the calls each command makes on it. Failures throw (errors.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qvregisters.h"

namespace qvreader {

struct Options {
    std::string port;  // -p as typed; empty when not given
    int baud = qvreg::kDefaultBaud;
    std::string tcpHost;  // -t; empty when not given
    int tcpPort = 502;
    int station = qvreg::kAnyStation;               // -s: the first of stations
    std::vector<int> stations{qvreg::kAnyStation};  // -s 3,17,200: card --watch polls each
    bool json = false;
    bool trace = false;
};

// A failed call's code in words: "no reply within 2 s", "the reader refused
// the request: exception 02, illegal data address".
std::string OutcomeWords(int code, bool serial);
// An exception reply's code in words: "exception 02, illegal data address".
std::string ExceptionWords(int code);
// Whether code is an exception reply's.
bool IsException(int code);

class Link {
public:
    explicit Link(const Options &o) : opt_(o), baud_(o.baud) {}
    ~Link() { Close(); }
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    // Opens the serial port (at baud, when not 0) or the TCP connection that
    // the options name. Throws UsageError without one, LinkError when it
    // does not open, Interrupted on Ctrl-C (also while a connect waits).
    void Open(int baud = 0);
    bool IsOpen() const { return serialOpen_ || tcpOpen_; }
    // Opens the serial port again at another rate.
    void Reopen(int baud);
    // Opens the link again as it was: an adapter plugged back in, a reader
    // that closed the connection.
    void Reconnect();
    // The reply wait of the library from the next open on, in ms (0: its
    // own, or the user's QV_REPLY_WAIT_MS); reopens an open link.
    void SetReplyWait(int ms);
    void Close();

    bool Serial() const { return opt_.tcpHost.empty(); }
    int Baud() const { return baud_; }
    // "COM1 (/dev/ttyUSB0) at 19200 bit/s" or "127.0.0.1:502".
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
    void Connect();
    [[noreturn]] void Failed(int station, const std::string &what, int code) const;
    // Every call: opens the link first when needed, and after it, ends on Ctrl-C.
    void Before() {
        if (!IsOpen()) Open();
    }
    void After() const;

    Options opt_;
    int baud_;
    int number_ = 0;      // COM number opened
    std::string device_;  // the device it named then, when not the name itself
    bool serialOpen_ = false;
    bool tcpOpen_ = false;
};

}  // namespace qvreader
