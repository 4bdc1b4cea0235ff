// Serial line and TCP client on Linux: termios2, poll, BSD sockets.
#include "Pccomm.h"

#include <asm/termbits.h>  // termios2 and BOTHER; <termios.h> would clash with it
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "serialports.h"

namespace pccomm {
namespace {

char g_device[PATH_MAX];

// A receive that ended the connection: r == 0 is the reader's orderly close.
void SetClosedError(ssize_t r) {
    if (r == 0)
        SetError(ECONNRESET, "the reader closed the connection");
    else
        SetError(errno, "the connection broke: %s", std::strerror(errno));
}

// The commonest first problem on Linux: a user outside the device's group.
void SetOpenError(int port, const char *device, int err) {
    if (err == EACCES || err == EPERM) {
        struct stat st;
        char owner[64] = "dialout";
        bool groupMay = true;
        if (stat(device, &st) == 0) {
            char buf[1024];
            struct group g, *found = nullptr;
            if (getgrgid_r(st.st_gid, &g, buf, sizeof buf, &found) == 0 && found)
                std::snprintf(owner, sizeof owner, "%s", found->gr_name);
            groupMay = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
        }
        if (groupMay)
            SetError(err,
                "cannot open %s (COM%d): %s; the user must be in the group '%s' that owns it: "
                "sudo usermod -aG %s $USER, then log in again",
                device, port, std::strerror(err), owner, owner);
        else
            SetError(err, "cannot open %s (COM%d): %s; only the user who owns it may open it", device, port,
                     std::strerror(err));
    } else if (err == EBUSY) {
        SetError(err, "cannot open %s (COM%d): %s: another program holds the port", device, port, std::strerror(err));
    } else {
        SetError(err, "cannot open %s (COM%d): %s", device, port, std::strerror(err));
    }
}

// Handle 0 means none, so fd 0 maps to 1.
int FdOf(PortHandle h) {
    return static_cast<int>(h) - 1;
}
PortHandle HandleOf(int fd) {
    return static_cast<PortHandle>(fd) + 1;
}

int PollOne(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    for (;;) {
        int r = poll(&p, 1, timeoutMs);
        if (r < 0 && errno == EINTR) return 1;  // the caller re-checks its deadline
        if (r <= 0) return r;
        if ((p.revents & events) == 0) return -1;  // only HUP/ERR/NVAL: the peer is gone
        return 1;
    }
}

// Bytes written or -1; waits for room when the driver's queue is full.
int WriteAll(int fd, const std::uint8_t *data, int count, int waitMs, bool socket) {
    int done = 0;
    std::uint32_t start = TickCount();
    while (done < count) {
        ssize_t w = socket ? send(fd, data + done, count - done, MSG_NOSIGNAL | MSG_DONTWAIT)
                           : write(fd, data + done, count - done);
        if (w > 0) {
            done += static_cast<int>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        int left = waitMs - static_cast<int>(TickCount() - start);
        const int ready = left > 0 ? PollOne(fd, POLLOUT, left) : 0;
        if (ready <= 0) {
            errno = ready < 0 ? EIO : ETIMEDOUT;  // hung up, or the queue stayed full
            return socket ? 0 : -1;
        }
    }
    return done;
}

// The port this process took with TIOCEXCL. The flag belongs to the line,
// not the descriptor: a forked child that closes its copy must leave it be,
// or the parent's port opens to everyone.
int g_exclusiveFd = -1;
pid_t g_exclusivePid = 0;

// Closes a port that may carry TIOCEXCL. On a pseudo-terminal the flag
// outlives the close, and everyone but root would then be refused the port
// until the other side exits.
int CloseExclusive(int fd) {
    if (fd != g_exclusiveFd || getpid() == g_exclusivePid) ioctl(fd, TIOCNXCL);
    if (fd == g_exclusiveFd) g_exclusiveFd = -1;
    return close(fd);
}

// Whether an error of a read or write means the line itself has gone: a
// USB adapter pulled out, a pseudo-terminal whose other side closed.
bool Gone(int err) {
    return err == EIO || err == ENXIO || err == ENODEV || err == EBADF || err == EPIPE;
}

// A connect interrupted by a signal goes on in the kernel; calling connect
// again would fail with EALREADY. Wait for it instead.
int FinishConnect(int fd) {
    pollfd p{fd, POLLOUT, 0};
    int r;
    do r = poll(&p, 1, -1);
    while (r < 0 && errno == EINTR);
    if (r < 0) return -1;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return -1;
    if (err != 0) {
        errno = err;
        return -1;
    }
    return 0;
}

// The one TCP client of the process.
struct TcpClient {
    bool exists = false;
    int fd = -1;
    bool connected = false;
    int replyWaitMs = 2000;
} g_client;

}  // namespace

std::uint32_t TickCount() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ts.tv_sec) * 1000u + ts.tv_nsec / 1000000);
}

const char *LastDevice() {
    return g_device;
}

void LocalTime(char *buf, int size) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local;
    localtime_r(&ts.tv_sec, &local);
    char day[24];
    strftime(day, sizeof day, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(buf, static_cast<size_t>(size), "%s.%03ld", day, ts.tv_nsec / 1000000);
}

PortHandle ComOpen(int port, int rate) {
    g_device[0] = 0;
    if (port <= 0 || rate <= 0) {
        SetError(EINVAL, "port %d at %d bit/s: no such port number or rate", port, rate);
        return 0;
    }
    std::string path;
    try {
        path = serialports::ResolvePort(port);
    } catch (...) {  // out of memory while scanning ports: no exception leaves the library
        SetError(ENOMEM, "COM%d: out of memory while listing the serial ports", port);
        return 0;
    }
    if (path.empty()) {
        const std::string dir = serialports::PortsDir();
        char target[PATH_MAX];
        ssize_t len = readlink((dir + "/COM" + std::to_string(port)).c_str(), target, sizeof target - 1);
        if (len > 0) {
            target[len] = 0;
            SetError(ENOENT, "COM%d in %s points to %s, which does not exist (adapter unplugged?)", port, dir.c_str(), target);
        } else {
            SetError(ENOENT, "no device is COM%d: none is entered in %s and the machine has no serial device of that number",
                     port, dir.c_str());
        }
        return 0;
    }
    char real[PATH_MAX];
    std::snprintf(g_device, sizeof g_device, "%s", realpath(path.c_str(), real) ? real : path.c_str());
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        SetOpenError(port, g_device, errno);
        return 0;
    }
    // Exclusive, as a COM port is on Windows: flock keeps out other users of
    // this library, TIOCEXCL other programs (root is exempt from the latter).
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        SetOpenError(port, g_device, EBUSY);
        close(fd);
        return 0;
    }
    ioctl(fd, TIOCEXCL);
    g_exclusiveFd = fd;
    g_exclusivePid = getpid();
    termios2 tio;
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        SetError(errno, "%s (COM%d) is no serial line: %s", g_device, port, std::strerror(errno));
        CloseExclusive(fd);
        return 0;
    }
    tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS | CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= CS8 | CLOCAL | CREAD | BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = tio.c_ospeed = static_cast<speed_t>(rate);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (ioctl(fd, TCSETS2, &tio) != 0) {
        SetError(errno, "%s (COM%d): cannot set 8N1 at %d bit/s: %s", g_device, port, rate, std::strerror(errno));
        CloseExclusive(fd);
        return 0;
    }
    return HandleOf(fd);
}

int ComClose(PortHandle h) {
    if (h <= 0) return -1;
    return CloseExclusive(FdOf(h)) == 0 ? 0 : -1;
}

int ComWrite(PortHandle h, const std::uint8_t *data, int count) {
    if (h <= 0 || count < 0) return -1;
    int fd = FdOf(h);
    ioctl(fd, TCFLSH, TCIOFLUSH);
    // A synchronous write: allow the line a generous time to take the bytes.
    int w = WriteAll(fd, data, count, 2000, false);
    if (w >= 0) return w;
    if (Gone(errno)) {
        SetError(errno, "writing gave %s", std::strerror(errno));
        return kLineGone;
    }
    SetError(errno, "writing to the serial line failed: %s",
             errno == ETIMEDOUT ? "the line took no bytes within 2000 ms" : std::strerror(errno));
    return -1;
}

int ComRead(PortHandle h, std::uint8_t *dst) {
    if (h <= 0) return 0;
    int fd = FdOf(h);
    // One read of one byte more than a poll may take tells, like FIONREAD
    // would, whether more than kReadChunk bytes wait, at the cost of one call.
    std::uint8_t buf[kReadChunk + 1];
    ssize_t r = read(fd, buf, sizeof buf);
    if (r < 0) {
        if (!Gone(errno)) return 0;
        SetError(errno, "reading gave %s", std::strerror(errno));
        return kLineGone;
    }
    if (r == 0) {
        // In raw mode an empty read is also just "nothing yet": only a hang-up
        // that poll reports makes it the end of the line.
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            SetError(EIO, "the line hung up");
            return kLineGone;
        }
        return 0;
    }
    if (r > kReadChunk) {
        ioctl(fd, TCFLSH, TCIFLUSH);
        return 0;
    }
    std::memcpy(dst, buf, static_cast<size_t>(r));
    return static_cast<int>(r);
}

int ComWait(PortHandle h, int timeoutMs) {
    if (h <= 0) return kLineGone;
    int r = PollOne(FdOf(h), POLLIN, timeoutMs < 0 ? 0 : timeoutMs);
    if (r >= 0) return r;
    SetError(EIO, "the line hung up");
    return kLineGone;
}

void TellCaller(int code) {
    errno = code;
}

long ProcessId() {
    return static_cast<long>(getpid());
}

std::FILE *OpenTraceFile(const char *path, char *why, int whySize) {
    // Non-blocking: a FIFO that nobody reads must not hold the first call.
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0600);
    if (fd < 0) {
        std::snprintf(why, static_cast<size_t>(whySize), "%s", std::strerror(errno));
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        std::snprintf(why, static_cast<size_t>(whySize), "not a regular file");
        close(fd);
        return nullptr;
    }
    std::FILE *f = fdopen(fd, "a");
    if (!f) {
        std::snprintf(why, static_cast<size_t>(whySize), "%s", std::strerror(errno));
        close(fd);
    }
    return f;
}

int SockClose() {
    if (g_client.fd >= 0) close(g_client.fd);
    g_client = TcpClient{};
    return 1;
}

bool SockConnected() {
    return g_client.connected;
}

int SockConnect(const char *host, int port, int replyWaitMs) {
    SockClose();
    g_client.exists = true;
    g_client.replyWaitMs = replyWaitMs;
    if (!host || !*host) {
        SetError(EINVAL, "no host given");
        return -2;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    int found = getaddrinfo(host, nullptr, &hints, &res);
    if (found != 0 || !res) {
        // No errno names an unknown host; ENXIO ("no such device or address") comes closest.
        SetError(found == EAI_SYSTEM ? errno : (found == EAI_AGAIN ? EAGAIN : ENXIO), "cannot resolve the host %s: %s",
                 host, gai_strerror(found));
        return -2;
    }
    sockaddr_in addr;
    std::memcpy(&addr, res->ai_addr, sizeof addr);
    freeaddrinfo(res);
    addr.sin_port = htons(static_cast<std::uint16_t>(port & 0xFFFF));
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        SetError(errno, "cannot create a socket: %s", std::strerror(errno));
        return -2;
    }
    g_client.fd = fd;
    int r = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    if (r != 0 && errno == EINTR) r = FinishConnect(fd);
    if (r != 0) {
        char ip[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof ip);
        SetError(errno, "connect to %s:%d failed: %s", ip, port & 0xFFFF, std::strerror(errno));
        return -2;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // The first read of a reply blocks in recv itself, which saves a poll per
    // exchange. Socket time-outs run on the coarse timer wheel (tens of ms
    // late at 2 s), so recv gives up 100 ms early and a precise poll waits
    // out the rest of the reply wait.
    const int firstWaitMs = replyWaitMs > 200 ? replyWaitMs - 100 : replyWaitMs / 2;
    timeval wait{firstWaitMs / 1000, (firstWaitMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    sockaddr_in peer;
    socklen_t len = sizeof peer;
    g_client.connected = getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &len) == 0;
    if (!g_client.connected)
        SetError(errno, "connect returned, but the socket is not connected: %s", std::strerror(errno));
    return g_client.connected ? 1 : -1;
}

int SockWrite(const std::uint8_t *data, int count) {
    if (!g_client.exists) {
        SetError(ENOTCONN, "no TCP connection: QV_TCPConnect was not called or the link was freed");
        return -2;
    }
    if (!g_client.connected) {
        SetError(ENOTCONN, "not connected: the last QV_TCPConnect failed, or the reader closed the connection");
        return -1;
    }
    int fd = g_client.fd;
    // A late reply to an earlier request must not be taken for this one's.
    // The drain shares the write wait: a peer that never stops sending
    // cannot hold the command past it. The clock is read only when there is
    // stale input, which there seldom is.
    int left = kTcpWriteWaitMs;
    std::uint32_t start = 0;
    std::uint8_t junk[1024];
    for (bool stale = false;;) {
        ssize_t r = recv(fd, junk, sizeof junk, MSG_DONTWAIT);
        if (r > 0) {
            if (!stale) start = TickCount();
            stale = true;
            left = kTcpWriteWaitMs - static_cast<int>(TickCount() - start);
            if (left <= 0) {
                SetError(EBUSY, "the reader keeps sending: its stale data did not end within %d ms", kTcpWriteWaitMs);
                return 0;
            }
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            g_client.connected = false;
            SetClosedError(r);
            return -1;
        }
        break;
    }
    int w = WriteAll(fd, data, count, left, true);
    if (w < 0) {
        g_client.connected = false;
        SetError(errno, "sending failed: %s", std::strerror(errno));
    } else if (w == 0) {
        SetError(ETIMEDOUT, "could not send within %d ms", kTcpWriteWaitMs);
    }
    return w < 0 ? -1 : w;
}

int SockRead(std::uint8_t *buf, int cap) {
    if (!g_client.connected || cap <= 0) return 0;
    int fd = g_client.fd;
    std::uint32_t start = TickCount();
    int have = 0;    // bytes received for this reply
    int stored = 0;  // of which kept in buf
    long want = 6;   // the MBAP header, then the header plus the length it announces
    std::uint8_t head[6];
    bool first = true;
    while (have < want) {
        int left = g_client.replyWaitMs - static_cast<int>(TickCount() - start);
        if (left <= 0) break;
        // The first wait is recv's own (SO_RCVTIMEO); later pieces, and the
        // rest of the wait after it, get what is left of the reply wait.
        int flags = first ? 0 : MSG_DONTWAIT;
        if (!first) {
            int p = PollOne(fd, POLLIN, left);
            if (p == 0) break;
            if (p < 0) {
                g_client.connected = false;
                SetError(ECONNRESET, "the connection broke while waiting for the reply");
                break;
            }
        }
        first = false;
        // Take whatever has arrived, not just what the header asks for: bytes
        // beyond the announced length then fail the length check, as they must.
        std::uint8_t chunk[1024];
        ssize_t r = recv(fd, chunk, sizeof chunk, flags);
        if (r < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (r <= 0) {
            g_client.connected = false;
            SetClosedError(r);
            break;
        }
        for (ssize_t i = 0; i < r; ++i, ++have) {
            if (have < 6) head[have] = chunk[i];
            if (stored < cap) buf[stored++] = chunk[i];
        }
        if (have >= 6 && want == 6) want = 6 + (head[4] << 8 | head[5]);
    }
    return stored;
}

}  // namespace pccomm
