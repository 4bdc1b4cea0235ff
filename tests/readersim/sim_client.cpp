#include "sim_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace simtest {

using testsupport::NowMs;

RawPort RawPort::Serial(const std::string &path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        termios t;
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
        tcflush(fd, TCIOFLUSH);
    }
    return RawPort(fd);
}

RawPort RawPort::Tcp(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return RawPort(-1);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(fd);
        return RawPort(-1);
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return RawPort(fd);
}

RawPort &RawPort::operator=(RawPort &&o) noexcept {
    if (this != &o) {
        Close();
        fd_ = o.fd_;
        o.fd_ = -1;
    }
    return *this;
}

RawPort::~RawPort() {
    Close();
}

void RawPort::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void RawPort::Write(const Bytes &b) const {
    std::size_t done = 0;
    while (done < b.size()) {
        ssize_t w = ::send(fd_, b.data() + done, b.size() - done, MSG_NOSIGNAL);
        if (w < 0 && errno == ENOTSOCK) w = ::write(fd_, b.data() + done, b.size() - done);
        if (w > 0) {
            done += static_cast<std::size_t>(w);
        } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, 2000) <= 0) return;
        } else {
            return;
        }
    }
}

Bytes RawPort::Read(std::size_t n, int timeoutMs) const {
    Bytes out;
    double end = NowMs() + timeoutMs;
    while (out.size() < n) {
        int left = static_cast<int>(end - NowMs());
        if (left <= 0) break;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, left) <= 0) break;
        std::uint8_t buf[512];
        std::size_t want = n - out.size() < sizeof buf ? n - out.size() : sizeof buf;
        ssize_t r = ::read(fd_, buf, want);
        if (r > 0)
            out.insert(out.end(), buf, buf + r);
        else if (r == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return out;
}

Bytes RawPort::Drain(int quietMs, int firstMs, int maxMs) const {
    Bytes out = Read(1, firstMs);
    if (out.empty()) return out;
    double end = NowMs() + maxMs;
    while (NowMs() < end) {
        Bytes part = Read(4096, quietMs);
        if (part.empty()) break;
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

bool RawPort::Closed(int timeoutMs) const {
    double end = NowMs() + timeoutMs;
    for (;;) {
        int left = static_cast<int>(end - NowMs());
        if (left <= 0) return false;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, left) <= 0) return false;
        std::uint8_t b[64];
        ssize_t r = ::read(fd_, b, sizeof b);
        if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) return true;
    }
}

}  // namespace simtest
