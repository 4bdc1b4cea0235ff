// Link state, frame building, reply collection and checking, CRC.
#pragma once

#include <cstdint>

namespace untfunction {

enum LinkType : std::int32_t { kLinkNone = 0, kLinkSerial = 1, kLinkTcp = 3 };

constexpr int kRequestBufSize = 4096;
constexpr int kReplyBufSize = 1024;
constexpr std::uint32_t kWaitUnitMs = 2000;

LinkType CurrentLinkType();
// The link as the trace names it: "COM3", "127.0.0.1:502", "no link".
const char *LinkLabel();

// Link lifecycle behind QV_ComInitial, QV_ComFree, QV_TCPConnect, QV_TCPFree.
int LinkComOpen(int port, int rate);
int LinkComFree();
int LinkTcpConnect(const char *host, int port);
int LinkTcpFree();

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
