#include "pty_port.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

namespace testsupport {

PortsDir::PortsDir() {
    char tmpl[] = "/tmp/qvports.XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
    path_ = tmpl;
    if (const char *old = getenv("QV_PORTS_DIR")) {
        hadEnv_ = true;
        oldEnv_ = old;
    }
    setenv("QV_PORTS_DIR", path_.c_str(), 1);
}

PortsDir::~PortsDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
    if (hadEnv_)
        setenv("QV_PORTS_DIR", oldEnv_.c_str(), 1);
    else
        unsetenv("QV_PORTS_DIR");
}

void PortsDir::Link(const std::string &name, const std::string &target) const {
    std::string p = path_ + "/" + name;
    unlink(p.c_str());
    if (symlink(target.c_str(), p.c_str()) != 0) throw std::runtime_error("symlink " + p);
}

PtyPort::PtyPort(const PortsDir &dir, int number) {
    char name[256];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
    // The test keeps the slave open too, so the master never sees a hang-up
    // while the library has the port closed.
    termios t;
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    slavePath_ = name;
    dir.Link("COM" + std::to_string(number), slavePath_);
}

PtyPort::~PtyPort() {
    close(master_);
    close(slave_);
}

Bytes PtyPort::Read(size_t n, int timeoutMs) const {
    Bytes out;
    double end = NowMs() + timeoutMs;
    while (out.size() < n) {
        int left = static_cast<int>(end - NowMs());
        if (left <= 0) break;
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) break;
        std::uint8_t buf[4096];
        size_t want = n - out.size() < sizeof buf ? n - out.size() : sizeof buf;
        ssize_t r = read(master_, buf, want);
        if (r > 0)
            out.insert(out.end(), buf, buf + r);
        else if (r < 0 && errno != EAGAIN && errno != EINTR)
            break;
    }
    return out;
}

void PtyPort::Write(const Bytes &b) const {
    size_t done = 0;
    while (done < b.size()) {
        ssize_t w = write(master_, b.data() + done, b.size() - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
        } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{master_, POLLOUT, 0};
            if (poll(&p, 1, 2000) <= 0) return;
        } else {
            return;
        }
    }
}

Bytes PtyPort::Drain(int quietMs) const {
    Bytes out;
    for (;;) {
        Bytes part = Read(4096, quietMs);
        if (part.empty()) return out;
        out.insert(out.end(), part.begin(), part.end());
    }
}

}  // namespace testsupport
