// Serial line and TCP client on Windows: the Win32 communications API and
// Windows Sockets 1.1.
#ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#    define NOMINMAX
#endif
#ifndef _WINSOCK_DEPRECATED_NO_WARNINGS
#    define _WINSOCK_DEPRECATED_NO_WARNINGS  // gethostbyname: Windows Sockets 1.1 on purpose
#endif
#include <winsock2.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "Pccomm.h"

namespace pccomm {
namespace {

constexpr DWORD kInQueue = 2048;
constexpr DWORD kOutQueue = 1024;
constexpr DWORD kWriteWaitMs = 2000;  // a synchronous write never hangs on a stuck line

// An open port. ComWait blocks in a one-byte ReadFile, so the byte it may
// take is held here until the next ComRead hands it out.
struct Port {
    HANDLE h = INVALID_HANDLE_VALUE;
    bool held = false;
    std::uint8_t byte = 0;
    DWORD waitSet = 0;  // read time-out currently set on the port, 0 = none yet
};

Port *PortOf(PortHandle h) {
    return reinterpret_cast<Port *>(h);
}

DWORD QueuedBytes(HANDLE h, bool &ok) {
    COMSTAT st{};
    DWORD errors = 0;
    ok = ClearCommError(h, &errors, &st) != 0;
    return ok ? st.cbInQue : 0;
}

// Clears the port's error state so that I/O can go on after a failure.
void ClearErrors(HANDLE h) {
    bool ok = false;
    QueuedBytes(h, ok);
}

// Sets a read time-out of totalMs for the whole read, no interval limit: a
// one-byte read then returns as soon as a byte arrives, or after totalMs.
bool SetReadWait(Port *p, DWORD totalMs) {
    if (p->waitSet == totalMs) return true;
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = 0;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = totalMs;
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = kWriteWaitMs;
    if (!SetCommTimeouts(p->h, &t)) return false;
    p->waitSet = totalMs;
    return true;
}

char g_device[32];

// The system's words for an error code, without the line break it ends with.
const char *SystemText(DWORD code) {
    static char text[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                             sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) --n;
    if (n == 0) std::snprintf(text, sizeof text, "error %lu", static_cast<unsigned long>(code));
    else text[n] = 0;
    return text;
}

// The one TCP client of the process.
struct TcpClient {
    bool exists = false;
    bool wsa = false;  // WSAStartup succeeded for this client
    SOCKET s = INVALID_SOCKET;
    bool connected = false;
    int replyWaitMs = 2000;
} g_client;

// Waits up to ms for the socket to become readable (read) or writable.
// 1 ready, 0 time out, -1 error.
int SelectOne(SOCKET s, bool read, int ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    int r = select(0, read ? &set : nullptr, read ? nullptr : &set, nullptr, &tv);
    if (r == SOCKET_ERROR) return -1;
    return r > 0 ? 1 : 0;
}

}  // namespace

std::uint32_t TickCount() {
    return static_cast<std::uint32_t>(GetTickCount());
}

const char *LastDevice() {
    return g_device;
}

void LocalTime(char *buf, int size) {
    SYSTEMTIME t;
    GetLocalTime(&t);
    std::snprintf(buf, static_cast<size_t>(size), "%04u-%02u-%02u %02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay,
                  t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
}

PortHandle ComOpen(int port, int rate) {
    g_device[0] = 0;
    if (port < 1 || rate <= 0) {
        SetError(ERROR_INVALID_PARAMETER, "port %d at %d bit/s: no such port number or rate", port, rate);
        return 0;
    }
    // From COM10 on only the device namespace form names the port.
    std::snprintf(g_device, sizeof g_device, port < 10 ? "COM%d" : "\\\\.\\COM%d", port);
    HANDLE h = CreateFileA(g_device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        SetError(static_cast<int>(e), "cannot open %s: %s%s", g_device, SystemText(e),
                 e == ERROR_ACCESS_DENIED ? " (another program holds the port?)" : "");
        return 0;
    }
    SetupComm(h, kInQueue, kOutQueue);
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    // Everything but the line settings stays as the driver reports it.
    if (!GetCommState(h, &dcb)) {
        const DWORD e = GetLastError();
        SetError(static_cast<int>(e), "%s is no serial port: %s", g_device, SystemText(e));
        CloseHandle(h);
        return 0;
    }
    dcb.BaudRate = static_cast<DWORD>(rate);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(h, &dcb)) {
        const DWORD e = GetLastError();
        SetError(static_cast<int>(e), "%s: cannot set 8N1 at %d bit/s: %s", g_device, rate, SystemText(e));
        CloseHandle(h);
        return 0;
    }
    Port *p = new (std::nothrow) Port;
    if (!p) {
        CloseHandle(h);
        return 0;
    }
    p->h = h;
    // A write to a stuck line gives up instead of blocking for good.
    SetReadWait(p, kWriteWaitMs);
    return reinterpret_cast<PortHandle>(p);
}

int ComClose(PortHandle h) {
    Port *p = PortOf(h);
    if (!p) return -1;
    BOOL ok = p->h != INVALID_HANDLE_VALUE && CloseHandle(p->h);
    delete p;
    return ok ? 0 : -1;
}

int ComWrite(PortHandle h, const std::uint8_t *data, int count) {
    Port *p = PortOf(h);
    if (!p || count < 0 || (count > 0 && !data)) return -1;
    // Late or stray bytes of an earlier exchange must not pass for this reply.
    p->held = false;
    PurgeComm(p->h, PURGE_RXCLEAR);
    PurgeComm(p->h, PURGE_TXCLEAR);
    DWORD written = 0;
    if (!WriteFile(p->h, data, static_cast<DWORD>(count), &written, nullptr)) {
        const DWORD e = GetLastError();
        bool alive = false;
        QueuedBytes(p->h, alive);  // also clears the error
        SetError(static_cast<int>(e), "writing gave %s", SystemText(e));
        return alive ? -1 : kLineGone;
    }
    if (static_cast<int>(written) != count) {
        SetError(ERROR_TIMEOUT, "the serial port took %lu of %d bytes in time", static_cast<unsigned long>(written),
                 count);
        return -1;
    }
    return count;
}

int ComRead(PortHandle h, std::uint8_t *dst) {
    Port *p = PortOf(h);
    if (!p || !dst) return 0;
    bool ok = false;
    DWORD queued = QueuedBytes(p->h, ok);
    if (!ok && !p->held) {
        SetError(static_cast<int>(GetLastError()), "the port no longer answers");
        return kLineGone;
    }
    int held = p->held ? 1 : 0;
    if (static_cast<DWORD>(held) + queued > static_cast<DWORD>(kReadChunk)) {
        p->held = false;
        PurgeComm(p->h, PURGE_RXCLEAR);
        return 0;
    }
    std::uint8_t buf[kReadChunk];
    int n = 0;
    if (held) {
        buf[n++] = p->byte;
        p->held = false;
    }
    if (queued > 0) {
        // Never more than is queued, so this read does not wait.
        DWORD got = 0;
        if (ReadFile(p->h, buf + n, queued, &got, nullptr)) {
            n += static_cast<int>(got);
        } else {
            ClearErrors(p->h);
        }
    }
    if (n > 0) std::memcpy(dst, buf, static_cast<size_t>(n));
    return n;
}

int ComWait(PortHandle h, int timeoutMs) {
    Port *p = PortOf(h);
    if (!p) return kLineGone;
    if (p->held) return 1;
    bool ok = false;
    if (QueuedBytes(p->h, ok) > 0) return 1;
    if (!ok) {
        SetError(static_cast<int>(GetLastError()), "the port no longer answers");
        return kLineGone;
    }
    if (timeoutMs <= 0) return 0;
    // Block in a one-byte read: it returns with the first byte that arrives,
    // so a reply is taken as soon as it is complete, and a silent line costs
    // no CPU. The "return at once" time-out idiom is not used: not every
    // driver honours it.
    if (!SetReadWait(p, static_cast<DWORD>(timeoutMs))) {
        SetError(static_cast<int>(GetLastError()), "the port no longer answers");
        return kLineGone;
    }
    DWORD got = 0;
    if (!ReadFile(p->h, &p->byte, 1, &got, nullptr)) {
        const DWORD e = GetLastError();
        bool alive = false;
        QueuedBytes(p->h, alive);  // also clears the error
        if (!alive) {
            SetError(static_cast<int>(e), "reading gave %s", SystemText(e));
            return kLineGone;
        }
        // A line error, now cleared: let the caller look again, but not in a
        // tight loop should the error persist.
        Sleep(timeoutMs < 10 ? static_cast<DWORD>(timeoutMs) : 10);
        return 1;
    }
    if (got == 1) {
        p->held = true;
        return 1;
    }
    return 0;
}

void TellCaller(int code) {
    SetLastError(static_cast<DWORD>(code));
}

long ProcessId() {
    return static_cast<long>(GetCurrentProcessId());
}

std::FILE *OpenTraceFile(const char *path, char *why, int whySize) {
    // Not inherited (no security attributes), shared for reading, and only a
    // file on disk: a pipe or a device falls back to standard error.
    HANDLE h = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        std::snprintf(why, static_cast<size_t>(whySize), "%s", SystemText(GetLastError()));
        return nullptr;
    }
    if (GetFileType(h) != FILE_TYPE_DISK) {
        std::snprintf(why, static_cast<size_t>(whySize), "not a regular file");
        CloseHandle(h);
        return nullptr;
    }
    int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(h), _O_APPEND | _O_WRONLY);
    std::FILE *f = fd >= 0 ? _fdopen(fd, "a") : nullptr;
    if (!f) {
        std::snprintf(why, static_cast<size_t>(whySize), "cannot use the file");
        if (fd >= 0)
            _close(fd);
        else
            CloseHandle(h);
    }
    return f;
}

int SockClose() {
    if (g_client.s != INVALID_SOCKET) closesocket(g_client.s);
    if (g_client.wsa) WSACleanup();
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
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(1, 1), &wsa) != 0) {
        SetError(WSASYSNOTREADY, "Windows Sockets 1.1 are not available");
        return -2;
    }
    g_client.wsa = true;
    if (!host || !*host) {
        SetError(ERROR_INVALID_PARAMETER, "no host given");
        return -2;
    }
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        const int e = WSAGetLastError();
        SetError(e, "cannot create a socket: %s", SystemText(static_cast<DWORD>(e)));
        return -2;
    }
    g_client.s = s;
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(port & 0xFFFF));
    // Takes host names and dotted addresses alike.
    hostent *he = gethostbyname(host);
    if (!he || he->h_addrtype != AF_INET || he->h_length != 4 || !he->h_addr_list[0]) {
        const int e = WSAGetLastError();
        SetError(e ? e : WSAHOST_NOT_FOUND, "cannot resolve the host %s", host);
        return -2;
    }
    std::memcpy(&addr.sin_addr, he->h_addr_list[0], 4);
    if (connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == SOCKET_ERROR) {
        const int e = WSAGetLastError();
        SetError(e, "connect to %s:%d failed: %s", inet_ntoa(addr.sin_addr), port & 0xFFFF,
                 SystemText(static_cast<DWORD>(e)));
        return -2;
    }
    // Requests are small and each waits for its reply: send them at once.
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
    sockaddr_in peer;
    int len = sizeof peer;
    g_client.connected = getpeername(s, reinterpret_cast<sockaddr *>(&peer), &len) == 0;
    if (!g_client.connected) SetError(WSAENOTCONN, "connect returned, but the socket is not connected");
    return g_client.connected ? 1 : -1;
}

int SockWrite(const std::uint8_t *data, int count) {
    if (!g_client.exists) {
        SetError(WSAENOTCONN, "no TCP connection: QV_TCPConnect was not called or the link was freed");
        return -2;
    }
    if (!g_client.connected) {
        SetError(WSAENOTCONN, "not connected: the last QV_TCPConnect failed, or the reader closed the connection");
        return -1;
    }
    if (count < 0 || (count > 0 && !data)) return -1;
    SOCKET s = g_client.s;
    // A late reply to an earlier request must not be taken for this one's.
    // The drain shares the write wait: a peer that never stops sending
    // cannot hold the command past it.
    const std::uint32_t start = TickCount();
    char junk[1024];
    for (;;) {
        int ready = SelectOne(s, true, 0);
        if (ready == 0) break;
        int r = ready > 0 ? recv(s, junk, sizeof junk, 0) : SOCKET_ERROR;
        if (r <= 0) {
            g_client.connected = false;  // closed by the reader, or broken
            SetError(WSAECONNRESET, "the reader closed the connection");
            return -1;
        }
        if (TickCount() - start >= static_cast<std::uint32_t>(kTcpWriteWaitMs)) {
            SetError(ERROR_BUSY, "the reader keeps sending: its stale data did not end within %d ms", kTcpWriteWaitMs);
            return 0;
        }
    }
    int done = 0;
    while (done < count) {
        int left = kTcpWriteWaitMs - static_cast<int>(TickCount() - start);
        int ready = left > 0 ? SelectOne(s, false, left) : 0;
        if (ready == 0) {
            SetError(WSAETIMEDOUT, "could not send within %d ms", kTcpWriteWaitMs);
            return 0;
        }
        int w = ready > 0 ? send(s, reinterpret_cast<const char *>(data) + done, count - done, 0) : SOCKET_ERROR;
        if (w == SOCKET_ERROR) {
            g_client.connected = false;
            const int e = WSAGetLastError();
            SetError(e, "sending failed: %s", SystemText(static_cast<DWORD>(e)));
            return -1;
        }
        done += w;
    }
    return done;
}

int SockRead(std::uint8_t *buf, int cap) {
    if (!g_client.connected || !buf || cap <= 0) return 0;
    SOCKET s = g_client.s;
    std::uint32_t start = TickCount();
    int have = 0;    // bytes of the frame received
    int stored = 0;  // of which kept in buf
    long want = 6;   // the header, then the header plus its length
    std::uint8_t head[6];
    while (have < want) {
        int left = g_client.replyWaitMs - static_cast<int>(TickCount() - start);
        if (left <= 0) break;
        int ready = SelectOne(s, true, left);
        if (ready == 0) break;
        // Take whatever has arrived, not just what the header asks for: bytes
        // beyond the announced length then fail the length check, as they must.
        char chunk[1024];
        int r = ready > 0 ? recv(s, chunk, static_cast<int>(sizeof chunk), 0) : SOCKET_ERROR;
        if (r <= 0) {
            g_client.connected = false;
            SetError(WSAECONNRESET, "the reader closed the connection");
            break;
        }
        for (int i = 0; i < r; ++i, ++have) {
            if (have < 6) head[have] = static_cast<std::uint8_t>(chunk[i]);
            if (stored < cap) buf[stored++] = static_cast<std::uint8_t>(chunk[i]);
        }
        if (have >= 6 && want == 6) want = 6 + (head[4] << 8 | head[5]);
    }
    return stored;
}

}  // namespace pccomm
