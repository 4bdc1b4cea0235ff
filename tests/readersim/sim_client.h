// A raw client of the simulated reader: the slave side of its pty, or a TCP
// connection, with reads bounded in time.
#pragma once

#include <string>

#include "bytes.h"

namespace simtest {

using testsupport::Bytes;

class RawPort {
public:
    // Opens a pty slave (raw) or connects to 127.0.0.1:port.
    static RawPort Serial(const std::string &path);
    static RawPort Tcp(int port);
    RawPort(RawPort &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    RawPort &operator=(RawPort &&o) noexcept;
    ~RawPort();
    RawPort(const RawPort &) = delete;
    RawPort &operator=(const RawPort &) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void Write(const Bytes &b) const;
    // Up to n bytes, waiting at most timeoutMs in all.
    Bytes Read(std::size_t n, int timeoutMs) const;
    // Everything that arrives until quietMs pass without a byte, waiting up
    // to firstMs for the first one (at most maxMs in all).
    Bytes Drain(int quietMs = 30, int firstMs = 2000, int maxMs = 3000) const;
    // True when the peer closed the connection within timeoutMs.
    bool Closed(int timeoutMs) const;
    void Close();

private:
    explicit RawPort(int fd) : fd_(fd) {}
    int fd_ = -1;
};

}  // namespace simtest
