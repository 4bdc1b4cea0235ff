// Serving a Reader: one poll loop thread over every port and connection.
// Replies are written at once with one write(); delayed and split replies
// wait in a per-port queue with their due times, so nothing sleeps.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <list>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>

#include "readersim.h"
#include "serialports.h"
#include "wire.h"

namespace readersim {

int OpenSerialDevice(const std::string &path, int rate);  // serial_device.cpp
int PtyClientRate(int masterFd);                          // serial_device.cpp

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxInput = 1024;     // bytes kept while looking for a frame
constexpr std::size_t kMaxLog = 100000;     // requests kept in the log
constexpr std::uint8_t kTcpAnyUnit = 0xFF;  // "unit not significant" on TCP
const Bytes kStrayBytes = {0xA5, 0x5A, 0xC3};
constexpr std::size_t kOversizedBlock = 200;   // 0x46 block and the extra data of other replies
constexpr std::uint8_t kOversizedCount = 250;  // byte count of an oversized 0x03 reply

// A symbolic link's text, or "" when path is none.
std::string ReadLink(const std::string &path) {
    char t[4096];
    ssize_t n = ::readlink(path.c_str(), t, sizeof t);
    return n > 0 && static_cast<std::size_t>(n) < sizeof t ? std::string(t, static_cast<std::size_t>(n)) : "";
}

enum class Entry { Free, Stale, Taken, Unreadable };

// What is at a ports-directory path now, in words for the user. A link to a
// pty that is gone is stale (its simulator was killed before it could remove
// it), and so is one naming our own new pty: the kernel hands a freed pty
// number out again at once. A link to another missing device is no such
// leftover but a pinned adapter that is unplugged now: taken.
Entry Inspect(const std::string &path, dev_t ourPty, std::string &words) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        const int err = errno;
        words = std::strerror(err);
        return err == ENOENT ? Entry::Free : Entry::Unreadable;
    }
    if (S_ISLNK(st.st_mode)) {
        const std::string target = ReadLink(path);
        struct stat t;
        if (::stat(path.c_str(), &t) != 0) {
            const int err = errno;
            if ((err == ENOENT || err == ENOTDIR) && target.compare(0, 9, "/dev/pts/") == 0) {
                words = "it pointed to " + target + ", which no longer exists";
                return Entry::Stale;
            }
            if (err == ENOENT || err == ENOTDIR) {
                words = "it points to " + target + ", which does not exist now (an adapter unplugged?)";
                return Entry::Taken;
            }
            words = "it points to " + target + " (" + std::strerror(err) + ")";
            return Entry::Taken;
        }
        if (S_ISCHR(t.st_mode) && t.st_rdev == ourPty) {
            words = "it pointed to " + target + ", a pty since closed and given to this simulator";
            return Entry::Stale;
        }
        words = "it points to " + target;
        return Entry::Taken;
    }
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        words = "a device node";
    else if (S_ISDIR(st.st_mode))
        words = "a directory";
    else if (S_ISREG(st.st_mode))
        words = "a regular file";
    else
        words = "a socket or a fifo";
    return Entry::Taken;
}

struct Channel {
    enum Kind { kSerial, kListener, kTcp } kind = kSerial;
    int fd = -1;
    int slaveFd = -1;  // a pty's slave, held open so the master never sees a hang-up
    bool pty = false;
    std::string link;   // ports directory entry to remove at the end
    std::string slave;  // the pty slave it points to while it is ours
    std::string name;   // for the log
    Bytes in;
    struct Piece {
        Clock::time_point due;
        Bytes bytes;
    };
    std::deque<Piece> out;
    bool dead = false;

    ~Channel() {
        if (fd >= 0) ::close(fd);
        if (slaveFd >= 0) ::close(slaveFd);
        // Someone may have put another entry in its place since.
        if (!link.empty() && ReadLink(link) == slave) ::unlink(link.c_str());
    }
};

}  // namespace

struct Server::Impl {
    std::vector<Reader *> readers;
    std::mutex readerMu;

    // Each reader's faults.
    struct Faults {
        Fault next = Fault::None;
        int nextCount = 0;
        Fault chanceFault = Fault::None;
        double chance = 0;
        std::mt19937 rng{1};
        FaultSettings settings;
    };

    mutable std::mutex stateMu;  // the fields below
    std::deque<Request> log;
    std::vector<Faults> faults;  // one per reader
    bool verbose = false;
    bool control = false;
    std::function<void(const std::string &)> sink;

    std::mutex chanMu;  // pending, and the thread's start and stop
    std::vector<std::unique_ptr<Channel>> pending;
    std::list<std::unique_ptr<Channel>> channels;  // the thread's own
    std::thread thread;
    std::atomic<bool> stop{false};
    int wakeFd = -1;

    explicit Impl(std::vector<Reader *> r) : readers(std::move(r)), faults(readers.size()) {
        wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    }
    ~Impl() {
        if (wakeFd >= 0) ::close(wakeFd);
    }

    bool Bus() const { return readers.size() > 1; }

    void Wake() {
        std::uint64_t one = 1;
        ssize_t r = ::write(wakeFd, &one, sizeof one);
        (void)r;
    }

    // Traffic lines are built only when someone reads them: the quiet
    // server answers without formatting anything.
    template <class MakeLine>
    void Log(MakeLine make) {
        std::function<void(const std::string &)> s;
        {
            std::lock_guard<std::mutex> g(stateMu);
            if (!verbose) return;
            s = sink;
        }
        const std::string line = make();
        if (s) {
            s(line);
        } else {
            std::fprintf(stderr, "%s\n", line.c_str());
            std::fflush(stderr);
        }
    }

    void Add(std::unique_ptr<Channel> c) {
        std::lock_guard<std::mutex> g(chanMu);
        pending.push_back(std::move(c));
        if (!thread.joinable()) {
            stop = false;
            thread = std::thread([this] { Run(); });
        }
        Wake();
    }

    void StopAll() {
        std::thread t;
        {
            std::lock_guard<std::mutex> g(chanMu);
            stop = true;
            Wake();
            t = std::move(thread);
        }
        if (t.joinable()) t.join();
        std::lock_guard<std::mutex> g(chanMu);
        channels.clear();
        pending.clear();
    }

    Fault TakeFault(std::size_t i, FaultSettings &s) {
        std::lock_guard<std::mutex> g(stateMu);
        Faults &f = faults[i];
        s = f.settings;
        if (f.nextCount > 0) {
            --f.nextCount;
            return f.next;
        }
        if (f.chanceFault != Fault::None && f.chance > 0) {
            double x = std::uniform_real_distribution<double>(0.0, 1.0)(f.rng);
            if (x < f.chance) return f.chanceFault;
        }
        return Fault::None;
    }

    void Record(bool tcp, std::uint8_t station, const Bytes &pdu, const Bytes &frame) {
        std::lock_guard<std::mutex> g(stateMu);
        log.push_back(Request{tcp, station, pdu, frame});
        if (log.size() > kMaxLog) log.pop_front();
    }

    // The in-band control, for reader i; true when the request was one of its
    // writes.
    bool Control(std::size_t i, const Bytes &pdu) {
        if (pdu.size() != 5 || pdu[0] != 0x06) return false;
        int address = pdu[1] << 8 | pdu[2];
        int value = pdu[3] << 8 | pdu[4];
        std::lock_guard<std::mutex> g(stateMu);
        if (!control) return false;
        Faults &f = faults[i];
        switch (address) {
            case kControlRegister: {
                int kind = value >> 8;
                int count = value & 0xFF;
                if (kind >= kFaultCount) kind = 0;
                f.next = static_cast<Fault>(kind);
                f.nextCount = kind ? count : 0;
                return true;
            }
            case kControlDelayMs:
                f.settings.delayMs = value;
                return true;
            case kControlGapMs:
                f.settings.gapMs = value;
                return true;
            case kControlClearLog:
                log.clear();
                return true;
            default:
                return false;
        }
    }

    // "station 17 " on a bus, where lines name the reader; nothing for a
    // lone reader, whose lines stay as they always were.
    std::string Who(int station) const { return Bus() ? "station " + std::to_string(station) + " " : ""; }

    // A request the client sent at another rate than a reader's line runs at
    // is garbage to that reader, as on a real line. Rates are read per
    // request, so a new 40001 applies from the next one. Fills hears (one
    // flag per reader); false when no reader hears the request at all.
    bool Hearing(Channel &c, const Bytes &frame, std::uint8_t station, std::vector<char> &hears) {
        std::vector<int> rate(readers.size(), 0), own(readers.size(), 0);
        bool strict = false;
        {
            std::lock_guard<std::mutex> g(readerMu);
            for (std::size_t i = 0; i < readers.size(); ++i) {
                own[i] = readers[i]->Station();
                if (!readers[i]->StrictBaud()) continue;
                strict = true;
                rate[i] = readers[i]->LineRate();
            }
        }
        hears.assign(readers.size(), 1);
        if (!strict) return true;
        const int client = PtyClientRate(c.fd);
        bool any = false;
        for (std::size_t i = 0; i < readers.size(); ++i) {
            hears[i] = rate[i] == 0 || rate[i] == client;
            any = any || hears[i];
        }
        if (!any) {
            Log([&] {
                std::string line =
                    c.name + " " + HexTags(frame, '<', '>') + " sent at " + std::to_string(client) + " bit/s, ";
                if (!Bus()) return line + "the line runs at " + std::to_string(rate[0]) + ": not understood, no reply";
                line += "the readers run at";
                for (std::size_t i = 0; i < readers.size(); ++i)
                    line += (i ? ", " : " ") + std::to_string(rate[i]) + " (station " + std::to_string(own[i]) + ")";
                return line + ": not understood, no reply";
            });
            return false;
        }
        for (std::size_t i = 0; i < readers.size(); ++i) {
            if (hears[i] || (station != 0 && station != own[i])) continue;
            Log([&] {
                return c.name + " " + Who(own[i]) + "runs at " + std::to_string(rate[i]) +
                       " bit/s: not understood, no reply";
            });
        }
        return true;
    }

    static Bytes Oversize(const Bytes &pdu) {
        Bytes r;
        if (pdu.empty()) return r;
        if (pdu[0] == 0x03 && pdu.size() >= 2) {
            r = {0x03, kOversizedCount};
            r.insert(r.end(), pdu.begin() + 2, pdu.end());
            r.resize(2 + kOversizedCount, 0xEE);
        } else if (pdu[0] == 0x46) {
            r = {0x46, 0x00};
            r.insert(r.end(), pdu.begin() + 2, pdu.end());
            r.resize(2 + kOversizedBlock, 0xEE);
        } else {
            r = pdu;
            r.resize(pdu.size() + kOversizedBlock, 0xEE);
        }
        return r;
    }

    // One reader's reply on the wire, its faults on the bytes applied.
    static Bytes Frame(bool tcp, std::uint16_t transaction, std::uint8_t station, Bytes body, Fault fault) {
        if (fault == Fault::WrongCode && !body.empty()) body[0] ^= 0x01;
        if (fault == Fault::Oversized) body = Oversize(body);
        Bytes out;
        if (tcp) {
            std::size_t len = body.size() + 1 + (fault == Fault::BadCrc ? 3 : 0);
            out = {
                static_cast<std::uint8_t>(transaction >> 8),  static_cast<std::uint8_t>(transaction & 0xFF), 0,      0,
                static_cast<std::uint8_t>((len >> 8) & 0xFF), static_cast<std::uint8_t>(len & 0xFF),         station};
            out.insert(out.end(), body.begin(), body.end());
        } else {
            out.push_back(station);
            out.insert(out.end(), body.begin(), body.end());
            AppendCrc(out);
            if (fault == Fault::BadCrc) {
                out[out.size() - 1] ^= 0xFF;
                out[out.size() - 2] ^= 0xFF;
            }
        }
        return out;
    }

    struct Answer {
        int station = 0;  // the reader's own id
        Fault fault = Fault::None;
        FaultSettings settings;
        Bytes frame;  // none for fault noreply
    };

    // One request taken from the wire: log it, let every reader it is meant
    // for answer, queue what the line then carries.
    void OnRequest(Channel &c, bool tcp, const Bytes &frame, std::uint8_t station, const Bytes &pdu,
                   std::uint16_t transaction) {
        std::vector<char> hears(readers.size(), 1);
        if (c.pty && !Hearing(c, frame, station, hears)) return;
        Record(tcp, station, pdu, frame);
        Log([&] { return c.name + " " + HexTags(frame, '<', '>'); });

        std::vector<Answer> answers;
        bool onLine = false;  // some reader has this id, heard or not
        {
            std::lock_guard<std::mutex> g(readerMu);
            for (std::size_t i = 0; i < readers.size(); ++i) {
                Reader &reader = *readers[i];
                const int own = reader.Station();
                const bool meant = station == 0 || station == own || (tcp && station == kTcpAnyUnit);
                onLine = onLine || meant;
                if (!meant || !hears[i]) continue;
                Answer a;
                a.station = own;
                std::optional<Bytes> reply;
                if (Control(i, pdu)) {
                    reply = pdu;
                } else {
                    a.fault = TakeFault(i, a.settings);
                    if (a.fault == Fault::Exception && !pdu.empty())
                        reply = Bytes{static_cast<std::uint8_t>(pdu[0] | 0x80), 0x04};
                    else
                        reply = reader.Handle(tcp && station == kTcpAnyUnit ? 0 : station, pdu);
                }
                if (!reply) continue;
                if (a.fault != Fault::NoReply) a.frame = Frame(tcp, transaction, station, *reply, a.fault);
                answers.push_back(std::move(a));
            }
        }
        // Logged out of the lock, so a log sink may look at the readers.
        for (auto it = answers.begin(); it != answers.end();) {
            if (it->fault != Fault::NoReply) {
                ++it;
                continue;
            }
            Log([&] { return c.name + " " + Who(it->station) + "no reply (fault noreply)"; });
            it = answers.erase(it);
        }
        if (!onLine) {
            Log([&] {
                return c.name + " station " + std::to_string(station) +
                       (Bus() ? " is not on the bus: silent" : " is not ours: silent");
            });
            return;
        }
        if (answers.empty()) return;
        if (answers.size() > 1) {
            Collision(c, answers);
            return;
        }
        Answer &a = answers.front();
        const Fault fault = a.fault;
        const FaultSettings &s = a.settings;
        Bytes &out = a.frame;
        Log([&] {
            std::string line = c.name + " " + Who(a.station) + HexTags(out, '[', ']');
            if (fault == Fault::Stray) line += HexTags(kStrayBytes, '[', ']');
            if (fault != Fault::None) line += std::string(" (fault ") + FaultName(fault) + ")";
            return line;
        });

        Clock::time_point now = Clock::now();
        if (fault == Fault::Delay) {
            c.out.push_back({now + std::chrono::milliseconds(s.delayMs), std::move(out)});
        } else if (fault == Fault::Split && out.size() > 1) {
            std::size_t pieces = s.pieces < 2 ? 2 : static_cast<std::size_t>(s.pieces);
            if (pieces > out.size()) pieces = out.size();
            std::size_t at = 0;
            for (std::size_t i = 0; i < pieces; ++i) {
                std::size_t len = (out.size() - at) / (pieces - i);
                c.out.push_back(
                    {now + std::chrono::milliseconds(s.gapMs * static_cast<int>(i)),
                     Bytes(out.begin() + static_cast<long>(at), out.begin() + static_cast<long>(at + len))});
                at += len;
            }
        } else {
            c.out.push_back({now, std::move(out)});
        }
        // Stray bytes come a gap after the reply, so a client that took the
        // reply finds them in its queue at its next request.
        if (fault == Fault::Stray) c.out.push_back({now + std::chrono::milliseconds(s.gapMs), kStrayBytes});
        Flush(c);
    }

    // Several readers answered at once. The collision goes out at once, in
    // one piece: the readers' timing faults (delay, split, stray) are not
    // played, their faults on the bytes are.
    void Collision(Channel &c, const std::vector<Answer> &answers) {
        std::vector<Bytes> frames;
        for (const Answer &a : answers) {
            frames.push_back(a.frame);
            Log([&] {
                std::string line = c.name + " " + Who(a.station) + HexTags(a.frame, '[', ']');
                if (a.fault != Fault::None) line += std::string(" (fault ") + FaultName(a.fault) + ")";
                return line + " collides";
            });
        }
        Bytes out = Collide(frames);
        Log([&] {
            std::string line = c.name + " collision of stations";
            for (std::size_t i = 0; i < answers.size(); ++i)
                line += (i ? ", " : " ") + std::to_string(answers[i].station);
            return line + ": " + HexTags(out, '[', ']');
        });
        c.out.push_back({Clock::now(), std::move(out)});
        Flush(c);
    }

    // Writes every queued piece that is due, in order.
    void Flush(Channel &c) {
        Clock::time_point now = Clock::now();
        while (!c.out.empty() && c.out.front().due <= now) {
            Bytes &b = c.out.front().bytes;
            ssize_t w = c.kind == Channel::kTcp ? ::send(c.fd, b.data(), b.size(), MSG_NOSIGNAL)
                                                : ::write(c.fd, b.data(), b.size());
            if (w < 0) {
                if (errno == EAGAIN || errno == EINTR) return;
                if (c.kind == Channel::kTcp) c.dead = true;
                c.out.clear();
                return;
            }
            if (static_cast<std::size_t>(w) < b.size()) {
                b.erase(b.begin(), b.begin() + w);
                return;
            }
            c.out.pop_front();
        }
    }

    void SerialInput(Channel &c) {
        for (;;) {
            RtuScan r = FindRtuFrame(c.in.data(), c.in.size());
            if (!r.length) break;
            Bytes frame(c.in.begin() + static_cast<long>(r.skip), c.in.begin() + static_cast<long>(r.skip + r.length));
            if (r.skip)
                Log([&] {
                    return c.name + " dropped " +
                           HexTags(Bytes(c.in.begin(), c.in.begin() + static_cast<long>(r.skip)), '<', '>');
                });
            c.in.erase(c.in.begin(), c.in.begin() + static_cast<long>(r.skip + r.length));
            Bytes pdu(frame.begin() + 1, frame.end() - 2);
            OnRequest(c, false, frame, frame[0], pdu, 0);
        }
        if (c.in.size() > kMaxInput) c.in.erase(c.in.begin(), c.in.end() - static_cast<long>(kMaxInput / 2));
    }

    void TcpInput(Channel &c) {
        for (;;) {
            long len = MbapFrameLength(c.in.data(), c.in.size());
            if (len < 0) {
                Log([&] { return c.name + " not a Modbus TCP frame: closing " + HexTags(c.in, '<', '>'); });
                c.dead = true;
                return;
            }
            if (len == 0) return;
            Bytes frame(c.in.begin(), c.in.begin() + len);
            c.in.erase(c.in.begin(), c.in.begin() + len);
            std::uint16_t transaction = static_cast<std::uint16_t>(frame[0] << 8 | frame[1]);
            Bytes pdu(frame.begin() + 7, frame.end());
            OnRequest(c, true, frame, frame[6], pdu, transaction);
        }
    }

    void Accept(Channel &l) {
        for (;;) {
            sockaddr_in a{};
            socklen_t al = sizeof a;
            int fd = ::accept4(l.fd, reinterpret_cast<sockaddr *>(&a), &al, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) return;
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            auto c = std::make_unique<Channel>();
            c->kind = Channel::kTcp;
            c->fd = fd;
            c->name = l.name + "#" + std::to_string(ntohs(a.sin_port));
            Log([&] { return c->name + " connected"; });
            channels.push_back(std::move(c));
        }
    }

    void Readable(Channel &c) {
        if (c.kind == Channel::kListener) {
            Accept(c);
            return;
        }
        std::uint8_t buf[4096];
        for (;;) {
            ssize_t r = ::read(c.fd, buf, sizeof buf);
            if (r > 0) {
                c.in.insert(c.in.end(), buf, buf + r);
                // A flooding client is served a piece at a time.
                if (static_cast<std::size_t>(r) < sizeof buf || c.in.size() >= 16 * sizeof buf) break;
                continue;
            }
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 && errno == EAGAIN) break;
            // End of stream or an error: a client left, or the device went away.
            if (c.kind == Channel::kTcp) Log([&] { return c.name + " disconnected"; });
            c.dead = true;
            c.in.clear();
            return;
        }
        if (c.kind == Channel::kTcp)
            TcpInput(c);
        else
            SerialInput(c);
    }

    void Run() {
        std::vector<pollfd> fds;
        std::vector<Channel *> of;
        while (!stop) {
            {
                std::lock_guard<std::mutex> g(chanMu);
                for (auto &p : pending) channels.push_back(std::move(p));
                pending.clear();
            }
            for (auto it = channels.begin(); it != channels.end();) {
                if ((*it)->dead)
                    it = channels.erase(it);
                else
                    ++it;
            }
            fds.clear();
            of.clear();
            fds.push_back({wakeFd, POLLIN, 0});
            of.push_back(nullptr);
            int timeout = -1;
            Clock::time_point now = Clock::now();
            for (auto &c : channels) {
                short ev = POLLIN;
                if (!c->out.empty()) {
                    if (c->out.front().due <= now) {
                        ev |= POLLOUT;
                    } else {
                        auto ms = std::chrono::ceil<std::chrono::milliseconds>(c->out.front().due - now).count();
                        if (timeout < 0 || ms < timeout) timeout = static_cast<int>(ms);
                    }
                }
                fds.push_back({c->fd, ev, 0});
                of.push_back(c.get());
            }
            int n = ::poll(fds.data(), fds.size(), timeout);
            if (n < 0 && errno != EINTR) break;
            if (fds[0].revents & POLLIN) {
                std::uint64_t v;
                ssize_t r = ::read(wakeFd, &v, sizeof v);
                (void)r;
            }
            for (std::size_t i = 1; i < fds.size(); ++i) {
                Channel &c = *of[i];
                if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) Readable(c);
                if (fds[i].revents & POLLNVAL) c.dead = true;
                if (!c.dead) Flush(c);
            }
        }
    }
};

Server::Server(Reader &reader) : Server(std::vector<Reader *>{&reader}) {}

Server::Server(std::vector<Reader *> readers) : readers_(std::move(readers)) {
    for (Reader *r : readers_)
        if (!r) throw std::invalid_argument("readersim::Server: a null reader");
    impl_ = std::make_unique<Impl>(readers_);
}

Server::~Server() {
    Stop();
}

PtyEntry Server::OpenPty(const std::string &portsDir, int number) {
    PtyEntry e;
    const std::string com = serialports::PortName(number);
    const std::string where = com + " in " + portsDir;
    int master = -1, slave = -1;
    char name[256] = {0};
    struct stat slaveSt;
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        e.message = "cannot create a pseudo-terminal: " + std::string(std::strerror(errno));
        return e;
    }
    auto c = std::make_unique<Channel>();  // closes both ends on failure
    c->fd = master;
    c->slaveFd = slave;
    c->pty = true;
    termios t;
    if (tcgetattr(slave, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    if (::fstat(slave, &slaveSt) != 0) slaveSt.st_rdev = 0;
    std::error_code ec;
    std::filesystem::create_directories(portsDir, ec);
    const std::string link = portsDir + "/" + com;
    // symlink() never replaces: whatever is there is looked at first.
    for (int attempt = 0;; ++attempt) {
        if (::symlink(name, link.c_str()) == 0) break;
        // A directory that could not be made says more than the ENOENT it leads to.
        std::string why =
            errno == ENOENT && ec ? "the directory cannot be made: " + ec.message() : std::strerror(errno);
        if (errno == EEXIST && attempt < 3) {
            std::string words;
            switch (Inspect(link, slaveSt.st_rdev, words)) {
                case Entry::Free:  // gone meanwhile
                    continue;
                case Entry::Taken:
                    e.taken = true;
                    e.message = where + " is taken: " + words;
                    return e;
                case Entry::Stale:
                    if (::unlink(link.c_str()) == 0) {
                        e.message = where + " was stale (" + words + "): replaced";
                        continue;
                    }
                    why = "its stale entry cannot be removed (" + words + "): " + std::strerror(errno);
                    break;
                case Entry::Unreadable:
                    why = words;
                    break;
            }
        }
        e.message = "cannot create " + where + ": " + why;
        return e;
    }
    c->link = link;
    c->slave = name;
    c->name = com;
    impl_->Add(std::move(c));
    e.slave = name;
    return e;
}

std::string Server::ServePty(const std::string &portsDir, int number) {
    return OpenPty(portsDir, number).slave;
}

bool Server::ServeDevice(const std::string &path, int rate) {
    int fd = OpenSerialDevice(path, rate);
    if (fd < 0) return false;
    auto c = std::make_unique<Channel>();
    c->fd = fd;
    c->name = path;
    impl_->Add(std::move(c));
    return true;
}

int Server::ServeTcp(int port) {
    if (port < 0 || port > 65535 || readers_.size() != 1) {
        errno = EINVAL;
        return -1;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    socklen_t al = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(fd, 8) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &al) != 0) {
        ::close(fd);
        return -1;
    }
    int bound = ntohs(a.sin_port);
    auto c = std::make_unique<Channel>();
    c->kind = Channel::kListener;
    c->fd = fd;
    c->name = "tcp:" + std::to_string(bound);
    impl_->Add(std::move(c));
    return bound;
}

void Server::Stop() {
    impl_->StopAll();
}

void Server::InjectFault(Fault f, int count) {
    for (std::size_t i = 0; i < readers_.size(); ++i) InjectFault(i, f, count);
}

void Server::InjectFault(std::size_t reader, Fault f, int count) {
    std::lock_guard<std::mutex> g(impl_->stateMu);
    Impl::Faults &s = impl_->faults.at(reader);
    s.next = f;
    s.nextCount = f == Fault::None || count < 0 ? 0 : count;
}

void Server::SetFaultChance(Fault f, double p, std::uint32_t seed) {
    std::lock_guard<std::mutex> g(impl_->stateMu);
    for (std::size_t i = 0; i < impl_->faults.size(); ++i) {
        Impl::Faults &s = impl_->faults[i];
        s.chanceFault = f;
        s.chance = p < 0 ? 0 : (p > 1 ? 1 : p);
        s.rng.seed(seed + static_cast<std::uint32_t>(i));
    }
}

FaultSettings Server::faultSettings(std::size_t reader) const {
    std::lock_guard<std::mutex> g(impl_->stateMu);
    return impl_->faults.at(reader).settings;
}

void Server::SetFaultSettings(const FaultSettings &s) {
    std::lock_guard<std::mutex> g(impl_->stateMu);
    for (Impl::Faults &f : impl_->faults) f.settings = s;
}

std::vector<Request> Server::Requests() const {
    std::lock_guard<std::mutex> g(impl_->stateMu);
    return std::vector<Request>(impl_->log.begin(), impl_->log.end());
}

void Server::ClearRequests() {
    std::lock_guard<std::mutex> g(impl_->stateMu);
    impl_->log.clear();
}

void Server::SetVerbose(bool on) {
    std::lock_guard<std::mutex> g(impl_->stateMu);
    impl_->verbose = on;
}

void Server::SetLogSink(std::function<void(const std::string &)> sink) {
    std::lock_guard<std::mutex> g(impl_->stateMu);
    impl_->sink = std::move(sink);
}

void Server::SetControl(bool on) {
    std::lock_guard<std::mutex> g(impl_->stateMu);
    impl_->control = on;
}

void Server::Lock() {
    impl_->readerMu.lock();
}
void Server::Unlock() {
    impl_->readerMu.unlock();
}

const char *FaultName(Fault f) {
    // In the order of the enumeration.
    static const char *const kNames[kFaultCount] = {"none",      "delay",     "split", "noreply",  "badcrc",
                                                    "exception", "wrongcode", "stray", "oversized"};
    const int i = static_cast<int>(f);
    return i >= 0 && i < kFaultCount ? kNames[i] : "?";
}

}  // namespace readersim
