// Serial and TCP primitives: the only place that talks to the operating
// system. One source file per platform implements this interface.
#pragma once

#include <cstdint>
#include <cstdio>

namespace pccomm {

// Open serial port, 0 when none.
using PortHandle = std::intptr_t;

constexpr int kReadChunk = 1024;  // bytes one ComRead may return
constexpr int kTcpWriteWaitMs = 200;
// What the serial primitives return once the line has gone away (an
// unplugged adapter, a closed far end): nothing more will come through it.
constexpr int kLineGone = -2;

// Milliseconds from an arbitrary start, wrapping at 2^32 like GetTickCount.
std::uint32_t TickCount();

// Opens port number n (1 = COM1) exclusively at the given bit rate, 8N1, raw.
PortHandle ComOpen(int port, int rate);
// 0 on success, -1 for an invalid handle or a failed close.
int ComClose(PortHandle h);
// Purges both queues, then writes all bytes. Bytes written, -1, or kLineGone.
int ComWrite(PortHandle h, const std::uint8_t *data, int count);
// Copies what the driver has queued (at most kReadChunk bytes) to dst and
// returns its number; more than kReadChunk queued bytes are all discarded (0);
// kLineGone when the line has gone away.
int ComRead(PortHandle h, std::uint8_t *dst);
// Waits up to timeoutMs for input. 1 = bytes may be waiting, 0 = time out,
// kLineGone = the line is gone: stop waiting.
int ComWait(PortHandle h, int timeoutMs);

// What the last failing primitive met: in plain words for the trace
// ("cannot open /dev/ttyUSB0 (COM3): Permission denied ..."), or "" since
// ClearError, and the system's code for it (errno, GetLastError), 0 if none.
// Set on failure paths only, so it costs nothing otherwise.
const char *LastError();
int LastSystemCode();
void ClearError();
// For the platform sources: sets both (printf-style words).
void SetError(int systemCode, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
// Leaves code where the caller of an export looks for a failure's reason:
// errno, or the thread's last error on Windows.
void TellCaller(int code);
// The process that runs now; a port belongs to the process that opened it.
long ProcessId();
// Opens the trace file for appending: created private to the user, not
// inherited by programs the host starts, never blocking. nullptr when path
// names no regular file or cannot be opened, with the reason in why.
std::FILE *OpenTraceFile(const char *path, char *why, int whySize);
// The device the last ComOpen opened or tried to open.
const char *LastDevice();
// Local wall-clock time "2026-12-07 23:44:45.123" into buf.
void LocalTime(char *buf, int size);

// TCP client, one per process. SockConnect closes a previous one first.
// 1 connected, -1 not connected after connect, -2 create/connect error.
// replyWaitMs is how long SockRead will wait for each reply.
int SockConnect(const char *host, int port, int replyWaitMs);
// Discards stale input, then sends. Bytes written, 0 when not done within
// 200 ms, -1 client not connected, -2 no client.
int SockWrite(const std::uint8_t *data, int count);
// Reads one Modbus TCP frame (framed by the MBAP length) into buf, waiting up
// to the reply wait given at connect; returns the bytes read (at most cap),
// 0 when nothing came.
int SockRead(std::uint8_t *buf, int cap);
// Releases the client; always 1.
int SockClose();
// Whether the client is connected now: false after a failed connect, and
// after SockWrite or SockRead found the connection closed or broken.
bool SockConnected();

}  // namespace pccomm
