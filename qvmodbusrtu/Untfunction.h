// Link state, frame building, reply collection and checking, CRC; and the
// one place where an exchange's outcome is decided.
#pragma once

#include <cstdint>

namespace untfunction {

enum LinkType : std::int32_t { kLinkNone = 0, kLinkSerial = 1, kLinkTcp = 3 };

constexpr int kRequestBufSize = 4096;
constexpr int kReplyBufSize = 1024;
constexpr std::uint32_t kWaitUnitMs = 2000;  // the reply wait, unless QV_REPLY_WAIT_MS says otherwise

LinkType CurrentLinkType();
// The link as the trace names it: "COM3", "127.0.0.1:502", "no link".
const char *LinkLabel();

// Link lifecycle behind QV_ComInitial, QV_ComFree, QV_TCPConnect, QV_TCPFree.
int LinkComOpen(int port, int rate);
int LinkComFree();
int LinkTcpConnect(const char *host, int port);
int LinkTcpFree();

// How an exchange ended. Every failure has exactly one of these, and with it
// one QV_E_ code for the caller and one line for the trace.
enum Outcome : std::int32_t {
    kSuccess = 0,
    kNoLink,      // no link open (or its open failed)
    kArgument,    // an argument refused; nothing sent
    kNotSent,     // the request could not be sent
    kNoReply,     // nothing within the wait
    kLinkLost,    // the line or connection went away
    kIncomplete,  // the reply stopped short
    kCrc,         // CRC mismatch; on TCP, a length field that disagrees
    kFunction,    // a reply of another function code
    kException,   // an exception reply
    kNoData,      // a reply without data
};

// Filled on failure paths only (Failed), so a good exchange pays nothing for it.
struct Failure {
    Outcome outcome;
    LinkType link;
    const char *why;                       // kNoLink, kArgument, kLinkLost: which case, in words ("" otherwise)
    int got, expected;                     // kIncomplete, TCP kCrc: bytes received, bytes expected (0: unknown);
                                           // kArgument: the largest count allowed (0: no count refused)
    std::uint8_t carried[2], computed[2];  // serial kCrc
    std::uint8_t asked, answered;          // kFunction, kException: function codes
    int exception;                         // kException
};
// A failure of this outcome on the current link, every detail empty.
Failure Failed(Outcome outcome, const char *why = "");

struct Request;
// The call a request comes from, as the trace names it.
using Describer = const char *(*)(const Request &);

struct Request {
    std::uint8_t function;
    int station;
    const std::uint8_t *data;
    int n;
    Describer describe;
    int secretFrom = 0, secretCount = 0;  // data bytes the trace shows as **
};

// One request and its reply: the payload length (payload holds
// kReplyBufSize bytes), or -1 with the failure reported.
int Exchange(const Request &rq, std::uint8_t *payload);
// Reports a failure of rq found outside the exchange (an argument refused,
// a reply without data): the trace line, the caller's code; returns -1.
int Fail(const Request &rq, const Failure &f);
// The last failure reported, and what it means.
const Failure &LastFailure();
int FailureCode(const Failure &f);  // the QV_E_ code
const char *FailureText(const Failure &f);

// CRC-16/MODBUS; the low byte of the result goes first on the wire.
std::uint16_t CalcCrc16(const std::uint8_t *bytes, std::uint16_t count);

// Builds a frame for the active link and sends it: bytes sent (> 0), 0 with
// no link, < 0 when the transport refuses.
int SendFrame(std::uint8_t function, int station, const std::uint8_t *data, int n);
int LinkWrite(const std::uint8_t *bytes, int count);
// Collects one reply into buffer (kReplyBufSize bytes): the number of bytes.
int RecvReply(std::uint8_t *buffer, int waitUnits);
// Whether a serial reply of count bytes is complete by its function code.
bool ReplyComplete(const std::uint8_t *b, int count);
// Checks a reply; on success sets station, function and payload (at most
// kReplyBufSize bytes) and returns the payload length. -1 check failed,
// -2 serial reply shorter than 4 bytes.
int ParseFrame(const std::uint8_t *reply, int count, std::int32_t &station, std::uint8_t &function,
               std::uint8_t *payload);

// Frame building without sending, for callers that need the bytes.
int BuildFrame(LinkType link, std::uint8_t function, int station, const std::uint8_t *data, int n, std::uint8_t *out);
int ParseFrameAs(LinkType link, const std::uint8_t *reply, int count, std::int32_t &station, std::uint8_t &function,
                 std::uint8_t *payload);

}  // namespace untfunction
