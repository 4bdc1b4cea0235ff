// Helpers of the Windows suite: the ports and the simulated reader that
// scripts/test-windows sets up, and the peer end of a mapped port pair.
#pragma once

#include <string>
#include <thread>
#include <vector>

#include "bytes.h"

namespace winsupport {

using testsupport::Bytes;

// The number in environment variable name, or -1 when it is not set.
// QV_WIN_LINE_A / QV_WIN_LINE_B: two COM ports joined to each other.
// QV_WIN_SIM_COM / QV_WIN_SIM_COM_HIGH: COM ports of the simulated reader.
// QV_WIN_SIM_TCP: its TCP port on 127.0.0.1.
// QV_WIN_GONE_COM: a COM port mapped to a device that does not exist.
int EnvNumber(const char *name);

// CPU time this process has used, in milliseconds.
double CpuMs();

// One COM port opened directly with the Win32 API, playing the far end of
// the line: what the library writes arrives here, and the reverse.
class RawPort {
public:
    explicit RawPort(int number);
    ~RawPort();
    RawPort(const RawPort &) = delete;
    RawPort &operator=(const RawPort &) = delete;

    bool ok() const;
    void Write(const Bytes &b) const;
    // Up to n bytes, waiting at most timeoutMs in all.
    Bytes Read(size_t n, int timeoutMs) const;
    // Everything that arrives until quietMs pass without a byte.
    Bytes Drain(int quietMs = 50) const;

private:
    void *h_;
};

// Plays the reader once in a thread: reads a request of requestSize bytes,
// then writes the pieces with gapMs between them. The request and the time
// the last piece was written (NowMs) are stored where the caller says.
std::thread Answer(const RawPort &peer, size_t requestSize, std::vector<Bytes> pieces, int gapMs, Bytes *request,
                   double *lastWriteMs = nullptr);

}  // namespace winsupport
