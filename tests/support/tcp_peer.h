// A scripted Modbus TCP peer on 127.0.0.1 that plays the reader in tests.
#pragma once

#include <functional>
#include <thread>

#include "bytes.h"

namespace testsupport {

class TcpPeer {
public:
    // Listens on 127.0.0.1, any free port; a backlog of 0 queues one
    // connection and leaves further ones waiting in connect.
    explicit TcpPeer(int backlog = 8);
    ~TcpPeer();
    TcpPeer(const TcpPeer &) = delete;
    TcpPeer &operator=(const TcpPeer &) = delete;

    int port() const { return port_; }
    // Accepts the next connection (waits up to timeoutMs); returns its fd or -1.
    int Accept(int timeoutMs = 3000);
    // Reads one MBAP-framed request from fd; empty on time-out or end of file.
    static Bytes ReadFrame(int fd, int timeoutMs = 3000);
    static void Send(int fd, const Bytes &b);
    // True when the peer closed fd (end of file) within timeoutMs.
    static bool SeesEof(int fd, int timeoutMs = 1000);

private:
    int listen_ = -1;
    int port_ = 0;
    std::vector<int> accepted_;
};

}  // namespace testsupport
