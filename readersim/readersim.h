// readersim: a simulated card reader. Holds the reader's registers and the
// card in front of it, answers Modbus RTU on a pseudo-terminal or a serial
// device, and Modbus TCP on a loopback port, with fault injection. Several
// readers can share one RTU line (a bus), each on its own station id.
//
// Tests use it in-process (Reader + Server); the demo script and benchmarks
// use the readersim program.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "qvregisters.h"

namespace readersim {

using Bytes = std::vector<std::uint8_t>;

struct Options {
    int station = 1;                       // low byte of 40001 at start
    std::uint64_t card = 0x0A00123456ull;  // 40-bit EM4100 number: manufacturer byte + 32-bit serial
    bool cardPresent = true;
    std::string model = "QV-LF125";  // 8 characters at most
    int baseAddress = 0;             // base register address in the device information
    int versionMajor = 1, versionMinor = 5;
    int rearmMs = 100;               // card shows again this long after 40004-40007 were zeroed
    int baud = qvreg::kDefaultBaud;  // bit rate named by 40001's baud code at start; one of the seven
    // On a pty, requests sent at another rate than 40001's go unanswered, as
    // on a real line (the rate the client set is read from the pty master).
    bool strictBaud = false;
};

// Protocol addresses of the in-band control (Server::SetControl): a write of
// a single register (0x06) to one of them steers the server instead of the
// reader. Used by tests that only reach the readersim program over the wire.
constexpr int kControlRegister = 0xFFF0;  // high byte: Fault index, low byte: count (0 clears)
constexpr int kControlDelayMs = 0xFFF1;   // FaultSettings.delayMs
constexpr int kControlGapMs = 0xFFF2;     // FaultSettings.gapMs
constexpr int kControlClearLog = 0xFFF3;  // any value: clears the request log

// The card number registers 40004-40007 hold 8 bytes, register 40004 first,
// each register high byte first. With big-endian order (40100 bit 4 set) the
// number is right-aligned and zero-filled, most significant byte first:
//   HEX (format 0, and 2):   serial as 4 bytes        00 00 00 00 S3 S2 S1 S0
//     with manufacturer byte:                          00 00 00 M  S3 S2 S1 S0
//   ten-digit decimal (1):   serial in decimal, 10 digits as 5 BCD bytes
//                                                      00 00 00 D9D8 D7D6 D5D4 D3D2 D1D0
//     with manufacturer byte:                          00 00 M  D9D8 ... D1D0
//   Wiegand-26 (3): facility code (serial bits 16-23) and the 16-bit number
//                                                      00 00 00 00 00 FC NH NL
//     with manufacturer byte:                          00 00 00 00 M  FC NH NL
// Little-endian order (bit 4 clear) holds the same 8 bytes reversed.
// Bit 7 (auto clear): the registers read as zero once they have been read;
// the card shows again after the same-card delay (40106, 100 ms units).
// Writing zeros to all four clears them and shows the card again after
// Options.rearmMs. Without a card the registers stay zero.
Bytes CardBytes(std::uint64_t card, std::uint16_t parameter);

// The device: registers, card, request handling. Not thread-safe on its own;
// Server serialises access to the Reader it serves.
class Reader {
public:
    explicit Reader(const Options &o = Options());
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    // Handles one request PDU (function code + data) addressed to station.
    // Returns the reply PDU (function code + data), or nothing when the
    // reader stays silent (another station).
    std::optional<Bytes> Handle(std::uint8_t station, const Bytes &pdu);

    std::uint16_t Register(int address) const;  // 0 for unknown
    void SetRegister(int address, std::uint16_t value);
    int Station() const;  // current station id
    // The bit rate of 40001's baud code now, or 0 for a code outside 1-7.
    int LineRate() const;
    bool StrictBaud() const;
    void SetCard(std::uint64_t card, bool present = true);
    void RemoveCard();
    void SetRearmMs(int ms);
    // Receives one line in plain words for each register write, LED and
    // buzzer words included (the program prints them with --verbose).
    void SetNoteSink(std::function<void(const std::string &)> sink);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

enum class Fault {
    None,
    Delay,      // reply after delayMs
    Split,      // reply in pieces with gaps of gapMs
    NoReply,    // stay silent
    BadCrc,     // reply with a corrupted CRC (TCP: a wrong length field)
    Exception,  // Modbus exception reply (function | 0x80, code 4)
    WrongCode,  // reply with a different function code
    Stray,      // extra bytes after the reply
    Oversized,  // a valid frame far longer than asked for
};

// The fault's name as the program's options spell it ("split", "noreply", ...).
const char *FaultName(Fault f);
constexpr int kFaultCount = 9;

struct FaultSettings {
    int delayMs = 300;
    int gapMs = 50;
    int pieces = 3;
};

struct Request {
    bool tcp = false;
    std::uint8_t station = 0;
    Bytes pdu;    // function code + data
    Bytes frame;  // the bytes as received
};

// What became of a pty's ports-directory entry (Server::OpenPty).
struct PtyEntry {
    std::string slave;    // the pty's slave path; "" when nothing is served
    bool taken = false;   // the name belongs to something else, left alone
    std::string message;  // why it failed, or the stale entry replaced; "" otherwise
};

// Serves readers in a background thread: one Reader, or several on one RTU
// line. On a bus every reader answers its own station id and station 0, so a
// request to station 0 (or to an id two readers share) draws several replies
// at once: they collide into one frame that fails its CRC (Collide in
// wire.h). Faults are each reader's own.
class Server {
public:
    explicit Server(Reader &reader);
    // A bus of these readers, none null; they must outlive the server.
    explicit Server(std::vector<Reader *> readers);
    ~Server();  // stops
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    std::size_t ReaderCount() const { return readers_.size(); }

    // Creates a pty and enters it as portsDir/COM<number>. A name already
    // taken is refused; an entry whose target no longer exists (left by a
    // killed simulator) is replaced. At stop the entry is removed only while
    // it still points to this pty.
    PtyEntry OpenPty(const std::string &portsDir, int number);
    // OpenPty's slave path, or "" on failure.
    std::string ServePty(const std::string &portsDir, int number);
    // Serves a serial device (or a pty slave) at the given rate.
    bool ServeDevice(const std::string &path, int rate);
    // Listens on 127.0.0.1:port (0 = any free port); returns the bound port or
    // -1. Modbus TCP plays one reader: refused (-1, EINVAL) on a bus.
    int ServeTcp(int port = 0);
    void Stop();

    // Applies fault f to the next count requests each reader answers.
    void InjectFault(Fault f, int count = 1);
    // The same for one reader, by its index in the bus (std::out_of_range).
    void InjectFault(std::size_t reader, Fault f, int count = 1);
    // Applies fault f to each request with probability p (0..1); seedable
    // (reader i draws from seed + i).
    void SetFaultChance(Fault f, double p, std::uint32_t seed = 1);
    // The settings of one reader (the first by default); setting them sets
    // every reader's.
    FaultSettings faultSettings(std::size_t reader = 0) const;
    void SetFaultSettings(const FaultSettings &s);
    // Changes some of the settings, under the lock the serving thread takes.
    template <class F>
    void UpdateFaultSettings(F change) {
        FaultSettings s = faultSettings();
        change(s);
        SetFaultSettings(s);
    }

    // Every request received, answered or not, oldest first.
    std::vector<Request> Requests() const;
    void ClearRequests();
    // Prints each request and reply as hex on stderr.
    void SetVerbose(bool on);
    // Where verbose lines go instead of stderr (one call per line, no newline).
    void SetLogSink(std::function<void(const std::string &)> sink);
    // Enables the in-band control registers (kControlRegister ...); a
    // control write acts on the readers it is addressed to.
    void SetControl(bool on);

    // Runs f with the (first) reader locked against the serving thread.
    template <class F>
    auto WithReader(F f) -> decltype(f(std::declval<Reader &>())) {
        return WithReader(0, f);
    }
    // The same for the reader of that index in the bus (std::out_of_range).
    template <class F>
    auto WithReader(std::size_t index, F f) -> decltype(f(std::declval<Reader &>())) {
        Reader &r = *readers_.at(index);
        Lock();
        struct Unlock {
            Server *s;
            ~Unlock() { s->Unlock(); }
        } u{this};
        return f(r);
    }

private:
    void Lock();
    void Unlock();
    std::vector<Reader *> readers_;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace readersim
