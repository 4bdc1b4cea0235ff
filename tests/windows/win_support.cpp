#include "win_support.h"

#ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace winsupport {

int EnvNumber(const char *name) {
    const char *v = std::getenv(name);
    if (!v || !*v) return -1;
    char *end = nullptr;
    long n = std::strtol(v, &end, 10);
    return (*end == 0 && n >= 0 && n < 65536) ? static_cast<int>(n) : -1;
}

double CpuMs() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    auto ms = [](const FILETIME &f) {
        return static_cast<double>((static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime) /
               10000.0;
    };
    return ms(kernel) + ms(user);
}

RawPort::RawPort(int number) : h_(INVALID_HANDLE_VALUE) {
    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", number);
    HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    dcb.BaudRate = 19200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(h, &dcb)) {
        CloseHandle(h);
        return;
    }
    PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    h_ = h;
}

RawPort::~RawPort() {
    if (ok()) CloseHandle(static_cast<HANDLE>(h_));
}

bool RawPort::ok() const {
    return h_ != INVALID_HANDLE_VALUE;
}

void RawPort::Write(const Bytes &b) const {
    DWORD done = 0;
    if (ok() && !b.empty()) WriteFile(static_cast<HANDLE>(h_), b.data(), static_cast<DWORD>(b.size()), &done, nullptr);
}

Bytes RawPort::Read(size_t n, int timeoutMs) const {
    Bytes out;
    if (!ok()) return out;
    HANDLE h = static_cast<HANDLE>(h_);
    double end = testsupport::NowMs() + timeoutMs;
    while (out.size() < n) {
        int left = static_cast<int>(end - testsupport::NowMs());
        if (left <= 0) break;
        COMMTIMEOUTS t{};
        t.ReadTotalTimeoutConstant = static_cast<DWORD>(left);
        SetCommTimeouts(h, &t);
        std::uint8_t buf[4096];
        DWORD want = static_cast<DWORD>(n - out.size() < sizeof buf ? n - out.size() : sizeof buf);
        DWORD got = 0;
        if (!ReadFile(h, buf, want, &got, nullptr)) break;
        out.insert(out.end(), buf, buf + got);
    }
    return out;
}

Bytes RawPort::Drain(int quietMs) const {
    Bytes out;
    for (;;) {
        Bytes more = Read(4096, quietMs);
        if (more.empty()) return out;
        out.insert(out.end(), more.begin(), more.end());
    }
}

std::thread Answer(const RawPort &peer, size_t requestSize, std::vector<Bytes> pieces, int gapMs, Bytes *request,
                   double *lastWriteMs) {
    return std::thread([&peer, requestSize, pieces, gapMs, request, lastWriteMs] {
        Bytes req = peer.Read(requestSize, 3000);
        if (request) *request = req;
        for (size_t i = 0; i < pieces.size(); ++i) {
            if (i) std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
            peer.Write(pieces[i]);
        }
        if (lastWriteMs) *lastWriteMs = testsupport::NowMs();
    });
}

}  // namespace winsupport
