#include "tcp_peer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace testsupport {

TcpPeer::TcpPeer(int backlog) {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listen_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(listen_, backlog) != 0)
        throw std::runtime_error("listen");
    socklen_t len = sizeof a;
    getsockname(listen_, reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(a.sin_port);
}

TcpPeer::~TcpPeer() {
    for (int fd : accepted_) close(fd);
    close(listen_);
}

int TcpPeer::Accept(int timeoutMs) {
    pollfd p{listen_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return -1;
    int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) accepted_.push_back(fd);
    return fd;
}

Bytes TcpPeer::ReadFrame(int fd, int timeoutMs) {
    Bytes b;
    double end = NowMs() + timeoutMs;
    size_t want = 6;
    while (b.size() < want) {
        int left = static_cast<int>(end - NowMs());
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0) return {};
        std::uint8_t c[512];
        ssize_t r = recv(fd, c, want - b.size(), 0);
        if (r <= 0) return {};
        b.insert(b.end(), c, c + r);
        if (want == 6 && b.size() >= 6) want = 6 + (b[4] << 8 | b[5]);
    }
    return b;
}

void TcpPeer::Send(int fd, const Bytes &b) {
    (void)!send(fd, b.data(), b.size(), MSG_NOSIGNAL);
}

bool TcpPeer::SeesEof(int fd, int timeoutMs) {
    double end = NowMs() + timeoutMs;
    for (;;) {
        int left = static_cast<int>(end - NowMs());
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0) return false;
        std::uint8_t c[256];
        ssize_t r = recv(fd, c, sizeof c, 0);
        if (r == 0) return true;
        if (r < 0 && errno != EINTR) return true;  // reset counts as closed
    }
}

}  // namespace testsupport
