// The simulated reader served on a pty and on TCP, seen as raw bytes from the
// client side: framing, stations, every fault on the wire, the in-band
// control, the verbose dump, the port's lifecycle and its ports-directory
// entry, and a bus of several readers on one line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "pty_port.h"
#include "qvregisters.h"
#include "readersim.h"
#include "sim_client.h"
#include "wire.h"

using readersim::Fault;
using readersim::Options;
using readersim::Reader;
using readersim::Server;
using simtest::RawPort;
using testsupport::Bytes;
using testsupport::Hex;
using testsupport::NowMs;
using testsupport::PortsDir;
using testsupport::ToHex;
using testsupport::WithCrc;

namespace {

void Sleep(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

const Bytes kReadBaud = WithCrc(Hex("01 03 00 01 00 01"));
const Bytes kBaudReply = WithCrc(Hex("01 03 02 03 01"));
const Bytes kReadCard = WithCrc(Hex("01 03 00 04 00 04"));
const Bytes kCardReply = WithCrc(Hex("01 03 08 00 00 00 00 00 12 34 56"));

class PtyServer : public ::testing::Test {
protected:
    void SetUp() override {
        Options o;
        o.rearmMs = 0;
        reader_ = std::make_unique<Reader>(o);
        server_ = std::make_unique<Server>(*reader_);
        slave_ = server_->ServePty(dir_.path(), 3);
        ASSERT_FALSE(slave_.empty());
        port_ = std::make_unique<RawPort>(RawPort::Serial(dir_.path() + "/COM3"));
        ASSERT_TRUE(port_->ok());
    }
    void TearDown() override {
        port_.reset();
        server_.reset();
    }
    // The reply to request (waiting up to 2 s for it to start).
    Bytes Ask(const Bytes &request) {
        port_->Write(request);
        return port_->Drain();
    }
    // True when nothing comes back within ms.
    bool Silent(const Bytes &request, int ms = 80) {
        port_->Write(request);
        return port_->Drain(ms, ms).empty();
    }

    PortsDir dir_;
    std::unique_ptr<Reader> reader_;
    std::unique_ptr<Server> server_;
    std::string slave_;
    std::unique_ptr<RawPort> port_;
};

TEST_F(PtyServer, AnswersWithExactFrames) {
    EXPECT_EQ(ToHex(Ask(kReadCard)), ToHex(kCardReply));
    EXPECT_EQ(ToHex(Ask(WithCrc(Hex("01 03 00 0B 00 01")))), ToHex(WithCrc(Hex("01 83 02"))));
    EXPECT_EQ(ToHex(Ask(WithCrc(Hex("01 06 00 03 06 11")))), ToHex(WithCrc(Hex("01 06 00 03 06 11"))));
    EXPECT_EQ(ToHex(Ask(Hex("01 46 00 12 60"))), ToHex(WithCrc(Hex("01 46 00 51 56 2D 4C 46 31 32 35 00 00 01 05"))));
    std::vector<readersim::Request> log = server_->Requests();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_FALSE(log[0].tcp);
    EXPECT_EQ(log[0].station, 1);
    EXPECT_EQ(log[0].pdu, Hex("03 00 04 00 04"));
    EXPECT_EQ(log[0].frame, kReadCard);
    EXPECT_EQ(server_->WithReader([](Reader &r) { return r.Register(qvreg::kLedBeep); }), 0x0611);
}

TEST_F(PtyServer, RequestArrivingByteByByte) {
    for (std::uint8_t b : kReadCard) {
        port_->Write(Bytes{b});
        Sleep(3);
    }
    EXPECT_EQ(port_->Drain(), kCardReply);
    EXPECT_EQ(server_->Requests().size(), 1u);
}

TEST_F(PtyServer, GarbageAndBadCrcAreIgnoredSilently) {
    Bytes bad = kReadCard;
    bad[6] ^= 0x5A;
    Bytes junk = Hex("FF 00 13 77");
    junk.insert(junk.end(), bad.begin(), bad.end());
    EXPECT_TRUE(Silent(junk, 80));
    EXPECT_TRUE(server_->Requests().empty());
    EXPECT_EQ(Ask(kReadBaud), kBaudReply) << "resynchronised on the next good frame";
    ASSERT_EQ(server_->Requests().size(), 1u);
    EXPECT_EQ(server_->Requests()[0].frame, kReadBaud);
}

TEST_F(PtyServer, OtherStationsAreRecordedButNotAnswered) {
    EXPECT_TRUE(Silent(WithCrc(Hex("02 03 00 01 00 01")), 80));
    ASSERT_EQ(server_->Requests().size(), 1u);
    EXPECT_EQ(server_->Requests()[0].station, 2);
    EXPECT_EQ(ToHex(Ask(WithCrc(Hex("00 03 00 01 00 01")))), ToHex(WithCrc(Hex("00 03 02 03 01"))));
}

TEST_F(PtyServer, NewStationTakesEffectOnTheNextRequest) {
    EXPECT_EQ(ToHex(Ask(WithCrc(Hex("01 06 00 01 03 05")))), ToHex(WithCrc(Hex("01 06 00 01 03 05"))));
    EXPECT_TRUE(Silent(kReadBaud, 80));
    EXPECT_EQ(ToHex(Ask(WithCrc(Hex("05 03 00 01 00 01")))), ToHex(WithCrc(Hex("05 03 02 03 05"))));
}

TEST_F(PtyServer, WithReaderChangesTheCardWhileServing) {
    server_->WithReader([](Reader &r) { r.SetCard(0x00CAFEF00Dull); });
    EXPECT_EQ(ToHex(Ask(kReadCard)), ToHex(WithCrc(Hex("01 03 08 00 00 00 00 CA FE F0 0D"))));
    server_->WithReader([](Reader &r) { r.RemoveCard(); });
    EXPECT_EQ(ToHex(Ask(kReadCard)), ToHex(WithCrc(Hex("01 03 08 00 00 00 00 00 00 00 00"))));
}

// Faults, each seen on the wire.

TEST_F(PtyServer, DelayedReply) {
    server_->UpdateFaultSettings([](readersim::FaultSettings &f) { f.delayMs = 300; });
    server_->InjectFault(Fault::Delay);
    double t0 = NowMs();
    port_->Write(kReadBaud);
    EXPECT_TRUE(port_->Read(1, 200).empty()) << "nothing before the delay";
    Bytes got = port_->Read(kBaudReply.size(), 2000);
    double ms = NowMs() - t0;
    EXPECT_EQ(got, kBaudReply);
    EXPECT_GE(ms, 290);
    EXPECT_LT(ms, 1500);
    EXPECT_EQ(Ask(kReadBaud), kBaudReply) << "only the next request was delayed";
}

TEST_F(PtyServer, DelayedReplyDoesNotHoldUpTheOtherPorts) {
    int tcp = server_->ServeTcp(0);
    ASSERT_GT(tcp, 0);
    server_->UpdateFaultSettings([](readersim::FaultSettings &f) { f.delayMs = 500; });
    server_->InjectFault(Fault::Delay);
    port_->Write(kReadBaud);
    RawPort c = RawPort::Tcp(tcp);
    double t0 = NowMs();
    c.Write(Hex("00 01 00 00 00 06 01 03 00 01 00 01"));
    EXPECT_EQ(ToHex(c.Read(11, 1000)), "00 01 00 00 00 05 01 03 02 03 01");
    EXPECT_LT(NowMs() - t0, 300);
    EXPECT_EQ(port_->Read(kBaudReply.size(), 2000), kBaudReply);
}

TEST_F(PtyServer, SplitReplyComesInPiecesWithGaps) {
    server_->UpdateFaultSettings([](readersim::FaultSettings &f) {
        f.gapMs = 100;
        f.pieces = 3;
    });
    server_->InjectFault(Fault::Split);
    double t0 = NowMs();
    port_->Write(kReadBaud);
    Bytes first = port_->Read(kBaudReply.size(), 60);
    EXPECT_EQ(first.size(), 2u) << "7 bytes in 3 pieces: 2, 2, 3";
    Bytes rest = port_->Read(kBaudReply.size() - first.size(), 2000);
    double ms = NowMs() - t0;
    first.insert(first.end(), rest.begin(), rest.end());
    EXPECT_EQ(first, kBaudReply);
    EXPECT_GE(ms, 190);
    EXPECT_LT(ms, 1500);
}

TEST_F(PtyServer, NoReplyStillCarriesTheRequestOut) {
    server_->InjectFault(Fault::NoReply);
    EXPECT_TRUE(Silent(WithCrc(Hex("01 06 00 03 04 22")), 150));
    EXPECT_EQ(server_->WithReader([](Reader &r) { return r.Register(qvreg::kLedBeep); }), 0x0422);
    EXPECT_EQ(Ask(kReadBaud), kBaudReply);
}

TEST_F(PtyServer, BadCrcInvertsBothCrcBytes) {
    server_->InjectFault(Fault::BadCrc);
    Bytes want = kBaudReply;
    want[5] ^= 0xFF;
    want[6] ^= 0xFF;
    EXPECT_EQ(ToHex(Ask(kReadBaud)), ToHex(want));
}

TEST_F(PtyServer, ExceptionFaultAnswersCode4AndDoesNothing) {
    server_->InjectFault(Fault::Exception);
    EXPECT_EQ(ToHex(Ask(WithCrc(Hex("01 06 00 03 04 22")))), ToHex(WithCrc(Hex("01 86 04"))));
    EXPECT_EQ(server_->WithReader([](Reader &r) { return r.Register(qvreg::kLedBeep); }), 0);
}

TEST_F(PtyServer, WrongCodeIsAValidFrameWithAnotherFunction) {
    server_->InjectFault(Fault::WrongCode);
    EXPECT_EQ(ToHex(Ask(kReadBaud)), ToHex(WithCrc(Hex("01 02 02 03 01"))));
}

TEST_F(PtyServer, StrayBytesFollowTheReplyAfterAGap) {
    server_->UpdateFaultSettings([](readersim::FaultSettings &f) { f.gapMs = 100; });
    server_->InjectFault(Fault::Stray);
    port_->Write(kReadBaud);
    EXPECT_EQ(port_->Read(kBaudReply.size() + 3, 60), kBaudReply) << "nothing else yet";
    EXPECT_EQ(ToHex(port_->Read(3, 1000)), "A5 5A C3");
}

TEST_F(PtyServer, OversizedRepliesAreValidButFarTooLong) {
    server_->InjectFault(Fault::Oversized, 2);
    Bytes r = Ask(kReadBaud);
    ASSERT_EQ(r.size(), 255u);
    EXPECT_EQ(ToHex(Bytes(r.begin(), r.begin() + 5)), "01 03 FA 03 01");
    EXPECT_EQ(WithCrc(Bytes(r.begin(), r.end() - 2)), r) << "the CRC is right";
    Bytes info = Ask(Hex("01 46 00 12 60"));
    ASSERT_EQ(info.size(), 2u + 1u + 200u + 2u);
    EXPECT_EQ(ToHex(Bytes(info.begin(), info.begin() + 4)), "01 46 00 51");
    EXPECT_EQ(WithCrc(Bytes(info.begin(), info.end() - 2)), info);
    EXPECT_EQ(Ask(kReadBaud), kBaudReply);
}

TEST_F(PtyServer, FaultCountsOnlyAnsweredRequests) {
    server_->InjectFault(Fault::NoReply, 2);
    EXPECT_TRUE(Silent(WithCrc(Hex("07 03 00 01 00 01")), 60)) << "another station";
    EXPECT_TRUE(Silent(kReadBaud, 60));
    EXPECT_TRUE(Silent(kReadBaud, 60));
    EXPECT_EQ(Ask(kReadBaud), kBaudReply);
    server_->InjectFault(Fault::NoReply, 5);
    server_->InjectFault(Fault::None);
    EXPECT_EQ(Ask(kReadBaud), kBaudReply) << "Fault::None clears";
}

TEST_F(PtyServer, FaultByChanceFollowsTheSeed) {
    // Exception replies (5 bytes) tell faulted requests from answered ones
    // (7 bytes) without waiting for silence.
    auto pattern = [&](double p, std::uint32_t seed) {
        server_->SetFaultChance(Fault::Exception, p, seed);
        std::string s;
        for (int i = 0; i < 40; ++i) {
            port_->Write(kReadBaud);
            Bytes r = port_->Read(5, 2000);
            if (r.size() == 5 && r[1] == 0x03) {
                Bytes rest = port_->Read(2, 2000);
                r.insert(r.end(), rest.begin(), rest.end());
            }
            s += r == WithCrc(Hex("01 83 04")) ? '-' : (r == kBaudReply ? 'x' : '?');
        }
        return s;
    };
    std::string a = pattern(0.5, 7);
    EXPECT_EQ(a.find('?'), std::string::npos) << a;
    EXPECT_NE(a.find('x'), std::string::npos) << a;
    EXPECT_NE(a.find('-'), std::string::npos) << a;
    EXPECT_EQ(pattern(0.5, 7), a) << "the same seed gives the same faults";
    EXPECT_NE(pattern(0.5, 8), a) << "another seed, other faults";
    EXPECT_EQ(pattern(1.0, 1), std::string(40, '-'));
    EXPECT_EQ(pattern(0.0, 1), std::string(40, 'x'));
}

// The in-band control.

TEST_F(PtyServer, ControlRegistersNeedTheOption) {
    EXPECT_EQ(ToHex(Ask(WithCrc(Hex("01 06 FF F0 03 02")))), ToHex(WithCrc(Hex("01 86 02"))));
    EXPECT_EQ(Ask(kReadBaud), kBaudReply);
}

TEST_F(PtyServer, ControlInjectsFaultsForTheNextRequests) {
    server_->SetControl(true);
    const Bytes set = WithCrc(Hex("01 06 FF F0 03 02"));  // NoReply for 2 requests
    EXPECT_EQ(ToHex(Ask(set)), ToHex(set)) << "the control write is echoed";
    EXPECT_TRUE(Silent(kReadBaud, 60));
    EXPECT_TRUE(Silent(kReadBaud, 60));
    EXPECT_EQ(Ask(kReadBaud), kBaudReply);

    Ask(WithCrc(Hex("01 06 FF F0 05 05")));  // Exception for 5, then cleared by count 0
    Ask(WithCrc(Hex("01 06 FF F0 05 00")));
    EXPECT_EQ(Ask(kReadBaud), kBaudReply);
    Ask(WithCrc(Hex("01 06 FF F0 63 01")));  // no such fault: nothing
    EXPECT_EQ(Ask(kReadBaud), kBaudReply);
}

TEST_F(PtyServer, ControlSetsDelayAndGap) {
    server_->SetControl(true);
    Ask(WithCrc(Hex("01 06 FF F1 00 FA")));  // 250 ms
    EXPECT_EQ(server_->faultSettings().delayMs, 250);
    Ask(WithCrc(Hex("01 06 FF F0 01 01")));
    double t0 = NowMs();
    port_->Write(kReadBaud);
    EXPECT_EQ(port_->Read(kBaudReply.size(), 2000), kBaudReply);
    EXPECT_GE(NowMs() - t0, 240);

    Ask(WithCrc(Hex("01 06 FF F2 00 78")));  // 120 ms
    EXPECT_EQ(server_->faultSettings().gapMs, 120);
    Ask(WithCrc(Hex("01 06 FF F0 02 01")));
    t0 = NowMs();
    port_->Write(kReadBaud);
    EXPECT_EQ(port_->Read(kBaudReply.size(), 2000), kBaudReply);
    EXPECT_GE(NowMs() - t0, 230) << "three pieces, two gaps";
}

TEST_F(PtyServer, ControlClearsTheRequestLog) {
    server_->SetControl(true);
    Ask(kReadBaud);
    Ask(kReadBaud);
    EXPECT_EQ(server_->Requests().size(), 2u);
    const Bytes clear = WithCrc(Hex("01 06 FF F3 00 00"));
    EXPECT_EQ(Ask(clear), clear);
    EXPECT_TRUE(server_->Requests().empty());
    Ask(kReadBaud);
    EXPECT_EQ(server_->Requests().size(), 1u);
}

TEST_F(PtyServer, VerboseDumpsRequestAndReplyOneLineEach) {
    std::mutex m;
    std::vector<std::string> lines;
    server_->SetLogSink([&](const std::string &s) {
        std::lock_guard<std::mutex> g(m);
        lines.push_back(s);
    });
    Ask(kReadBaud);
    {
        std::lock_guard<std::mutex> g(m);
        EXPECT_TRUE(lines.empty()) << "quiet until verbose is on";
    }
    server_->SetVerbose(true);
    Ask(kReadBaud);
    server_->InjectFault(Fault::Stray);
    Ask(kReadBaud);
    std::lock_guard<std::mutex> g(m);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "COM3 <01><03><00><01><00><01><D5><CA>");
    EXPECT_EQ(lines[1], "COM3 [01][03][02][03][01][79][74]");
    EXPECT_EQ(lines[3], "COM3 [01][03][02][03][01][79][74][A5][5A][C3] (fault stray)");
}

TEST(PtyLifecycle, LinkIsMadeInANewDirectoryAndRemovedOnStop) {
    PortsDir dir;
    std::string sub = dir.path() + "/a/b";
    Reader reader;
    Server server(reader);
    std::string slave = server.ServePty(sub, 12);
    ASSERT_FALSE(slave.empty());
    char target[256] = {0};
    ASSERT_GT(readlink((sub + "/COM12").c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(slave, target);
    // The port works across a client closing and a new one opening.
    for (int i = 0; i < 2; ++i) {
        RawPort p = RawPort::Serial(sub + "/COM12");
        p.Write(kReadBaud);
        EXPECT_EQ(p.Drain(), kBaudReply) << "client " << i;
    }
    server.Stop();
    struct stat st;
    EXPECT_NE(lstat((sub + "/COM12").c_str(), &st), 0);
    EXPECT_TRUE(server.Requests().size() == 2u);
}

TEST(PtyLifecycle, BadPlacesFailCleanly) {
    Reader reader;
    Server server(reader);
    EXPECT_EQ(server.ServePty("/proc/no/such/dir", 1), "");
    EXPECT_FALSE(server.ServeDevice("/no/such/device", 19200));
    EXPECT_FALSE(server.ServeDevice("/dev/null", 19200)) << "not a terminal";
    EXPECT_EQ(server.ServeTcp(70000), -1);
}

// The ports directory is shared with an administrator's pinned adapters and
// with other simulators: a name that is taken is refused and left as it was.
TEST(PtyEntries, ATakenNameIsRefusedAndLeftAlone) {
    PortsDir dir;
    Reader reader;
    Server first(reader);
    const std::string firstSlave = first.ServePty(dir.path(), 1);
    ASSERT_FALSE(firstSlave.empty());
    const std::string d = dir.path() + "/";
    ASSERT_EQ(symlink("/dev/null", (d + "COM2").c_str()), 0);
    ASSERT_EQ(close(open((d + "COM3").c_str(), O_CREAT | O_WRONLY, 0644)), 0);
    ASSERT_EQ(mkdir((d + "COM4").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo((d + "COM5").c_str(), 0644), 0);
    ASSERT_EQ(symlink("/dev/serial/by-id/usb-unplugged", (d + "COM7").c_str()), 0);
    std::vector<std::pair<int, std::string>> taken = {{1, "it points to " + firstSlave},
                                                      {2, "it points to /dev/null"},
                                                      {3, "a regular file"},
                                                      {4, "a directory"},
                                                      {5, "a socket or a fifo"},
                                                      {7,
                                                       "it points to /dev/serial/by-id/usb-unplugged, which does "
                                                       "not exist now (an adapter unplugged?)"}};
    if (mknod((d + "COM6").c_str(), S_IFCHR | 0644, makedev(1, 3)) == 0) taken.push_back({6, "a device node"});
    for (const auto &t : taken) {
        const std::string entry = d + "COM" + std::to_string(t.first);
        struct stat before, after;
        ASSERT_EQ(lstat(entry.c_str(), &before), 0);
        {
            Server second(reader);
            readersim::PtyEntry e = second.OpenPty(dir.path(), t.first);
            EXPECT_EQ(e.slave, "");
            EXPECT_TRUE(e.taken);
            EXPECT_EQ(e.message, "COM" + std::to_string(t.first) + " in " + dir.path() + " is taken: " + t.second);
        }
        ASSERT_EQ(lstat(entry.c_str(), &after), 0) << entry;
        EXPECT_EQ(after.st_ino, before.st_ino) << entry;
    }
    RawPort p = RawPort::Serial(d + "COM1");
    p.Write(kReadBaud);
    EXPECT_EQ(p.Drain(), kBaudReply) << "COM1 still leads to the first simulator";
}

// A simulator killed before it could remove its entry leaves a link to a pty
// that is gone, or whose number the kernel has since handed out again
// (possibly to us): such an entry is replaced. (A link to a missing adapter
// is refused above: it is a pinning, its adapter unplugged.)
TEST(PtyEntries, AStaleEntryIsReplaced) {
    PortsDir dir;
    int master = -1, slave = -1;
    char gone[256] = {0};
    ASSERT_EQ(openpty(&master, &slave, gone, nullptr, nullptr), 0);
    close(slave);
    close(master);
    dir.Link("COM1", gone);
    dir.Link("COM2", "/dev/pts/999999");
    Reader reader;
    Server server(reader);
    for (int n : {1, 2}) {
        readersim::PtyEntry e = server.OpenPty(dir.path(), n);
        ASSERT_FALSE(e.slave.empty()) << e.message;
        EXPECT_FALSE(e.taken);
        const std::string head = "COM" + std::to_string(n) + " in " + dir.path() + " was stale (it pointed to ";
        EXPECT_EQ(e.message.rfind(head, 0), 0u) << e.message;
        const std::string tail = "): replaced";
        EXPECT_TRUE(e.message.size() > tail.size() &&
                    e.message.compare(e.message.size() - tail.size(), tail.size(), tail) == 0)
            << e.message;
        char target[256] = {0};
        ASSERT_GT(readlink((dir.path() + "/COM" + std::to_string(n)).c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(target, e.slave);
    }
    EXPECT_EQ(server.OpenPty(dir.path(), 3).message, "") << "a free name: nothing to say";
}

TEST(PtyEntries, StopRemovesOnlyAnEntryStillPointingToItsPty) {
    PortsDir dir;
    Reader reader;
    Server server(reader);
    ASSERT_FALSE(server.ServePty(dir.path(), 1).empty());
    ASSERT_FALSE(server.ServePty(dir.path(), 2).empty());
    dir.Link("COM1", "/dev/null");  // someone re-pinned COM1 meanwhile
    server.Stop();
    char target[256] = {0};
    EXPECT_GT(readlink((dir.path() + "/COM1").c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/dev/null");
    struct stat st;
    EXPECT_NE(lstat((dir.path() + "/COM2").c_str(), &st), 0) << "its own entry is gone";
}

TEST(DeviceServing, PtySlaveAtAnOddRate) {
    // A pty pair of our own: the simulator serves the slave, the test the master.
    PortsDir dir;
    testsupport::PtyPort pty(dir, 5);
    Reader reader;
    Server server(reader);
    ASSERT_TRUE(server.ServeDevice(pty.slavePath(), 14400));
    pty.Write(kReadBaud);
    EXPECT_EQ(pty.Read(kBaudReply.size(), 2000), kBaudReply);
}

// A bus: readers 3, 17 and 200 on one pty, each with its own card (17 has
// another, 200 none).

class BusServer : public ::testing::Test {
protected:
    void SetUp() override {
        for (int id : {3, 17, 200}) {
            Options o;
            o.station = id;
            o.rearmMs = 0;
            readers_.push_back(std::make_unique<Reader>(o));
        }
        readers_[1]->SetCard(0x00CAFEF00Dull);
        readers_[2]->RemoveCard();
        server_ =
            std::make_unique<Server>(std::vector<Reader *>{readers_[0].get(), readers_[1].get(), readers_[2].get()});
        server_->SetLogSink([this](const std::string &l) {
            std::lock_guard<std::mutex> g(m_);
            lines_.push_back(l);
        });
        ASSERT_FALSE(server_->ServePty(dir_.path(), 3).empty());
        port_ = std::make_unique<RawPort>(RawPort::Serial(dir_.path() + "/COM3"));
        ASSERT_TRUE(port_->ok());
    }
    void TearDown() override {
        port_.reset();
        server_.reset();
    }
    static Bytes To(std::uint8_t station, const std::string &pdu) {
        Bytes b = Hex(pdu);
        b.insert(b.begin(), station);
        return WithCrc(b);
    }
    std::string Ask(std::uint8_t station, const std::string &pdu) {
        port_->Write(To(station, pdu));
        Bytes r = port_->Drain(30, 300, 1000);
        return r.empty() ? "silent" : ToHex(r);
    }
    std::uint16_t Reg(std::size_t reader, int address) {
        return server_->WithReader(reader, [address](Reader &r) { return r.Register(address); });
    }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> g(m_);
        return lines_;
    }

    PortsDir dir_;
    std::vector<std::unique_ptr<Reader>> readers_;
    std::unique_ptr<Server> server_;
    std::unique_ptr<RawPort> port_;
    std::mutex m_;
    std::vector<std::string> lines_;
};

const char kRead40001[] = "03 00 01 00 01";

TEST_F(BusServer, EachStationHasItsOwnRegistersAndCard) {
    EXPECT_EQ(Ask(3, "03 00 04 00 04"), ToHex(To(3, "03 08 00 00 00 00 00 12 34 56")));
    EXPECT_EQ(Ask(17, "03 00 04 00 04"), ToHex(To(17, "03 08 00 00 00 00 CA FE F0 0D")));
    EXPECT_EQ(Ask(200, "03 00 04 00 04"), ToHex(To(200, "03 08 00 00 00 00 00 00 00 00")));
    EXPECT_EQ(Ask(17, "06 00 03 06 11"), ToHex(To(17, "06 00 03 06 11")));
    EXPECT_EQ(Ask(3, "03 00 03 00 01"), ToHex(To(3, "03 02 00 00")));
    EXPECT_EQ(Ask(17, "03 00 03 00 01"), ToHex(To(17, "03 02 06 11")));
    EXPECT_EQ(Ask(200, "03 00 03 00 01"), ToHex(To(200, "03 02 00 00")));
    EXPECT_EQ(Reg(0, qvreg::kLedBeep) | Reg(2, qvreg::kLedBeep), 0) << "the write reached 17 only";
    EXPECT_THROW(Reg(3, qvreg::kLedBeep), std::out_of_range);
}

TEST_F(BusServer, AStationNotOnTheBusIsSilent) {
    for (std::uint8_t id : {1, 5, 16, 18, 247, 255}) EXPECT_EQ(Ask(id, kRead40001), "silent") << int(id);
    EXPECT_EQ(server_->Requests().size(), 6u) << "each request is logged all the same";
}

TEST_F(BusServer, StationZeroDrawsEveryReaderAndTheRepliesCollide) {
    EXPECT_EQ(Ask(0, kRead40001), "00 03 02 03 DB C5 FF") << "OR of 03 03, 03 11 and 03 C8";
    EXPECT_EQ(Ask(0, "03 00 02 00 01"), "00 03 02 00 05 45 78") << "identical replies: last byte inverted";
    EXPECT_EQ(Ask(0, "06 00 6A 00 05"), "00 06 00 6A 00 05 68 FB");
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(Reg(i, qvreg::kSameCardDelay), 5) << "every reader took the write";
    // With two of them silenced, the third answers cleanly.
    server_->InjectFault(0, Fault::NoReply);
    server_->InjectFault(2, Fault::NoReply);
    EXPECT_EQ(Ask(0, kRead40001), ToHex(To(0, "03 02 03 11")));
}

TEST_F(BusServer, ControlActsOnTheStationAddressed) {
    server_->SetControl(true);
    EXPECT_EQ(Ask(17, "06 FF F0 03 01"), ToHex(To(17, "06 FF F0 03 01"))) << "no reply, once, at 17";
    EXPECT_EQ(Ask(17, kRead40001), "silent");
    EXPECT_EQ(Ask(3, kRead40001), ToHex(To(3, "03 02 03 03")));
    EXPECT_EQ(Ask(17, kRead40001), ToHex(To(17, "03 02 03 11")));

    Ask(200, "06 FF F0 05 01");  // an exception, once, at 200: a shorter reply in the collision
    EXPECT_EQ(Ask(0, kRead40001), "00 83 06 13 33 C5 7D");
    Ask(17, "06 FF F1 00 FA");
    EXPECT_EQ(server_->faultSettings(1).delayMs, 250);
    EXPECT_EQ(server_->faultSettings(0).delayMs, 300);
}

TEST_F(BusServer, AWrittenStationMovesTheReaderEvenOntoATakenId) {
    EXPECT_EQ(Ask(17, "06 00 01 03 03"), ToHex(To(17, "06 00 01 03 03")));
    EXPECT_EQ(Ask(17, kRead40001), "silent");
    EXPECT_EQ(Ask(3, kRead40001), "03 03 02 03 03 81 8A") << "two readers on 3 now collide";
    EXPECT_EQ(server_->WithReader(1, [](Reader &r) { return r.Station(); }), 3);
}

TEST_F(BusServer, VerboseLinesNameTheStations) {
    server_->SetVerbose(true);
    Ask(17, kRead40001);
    Ask(5, kRead40001);
    server_->InjectFault(1, Fault::NoReply);
    Ask(0, kRead40001);
    const std::vector<std::string> want = {
        "COM3 " + readersim::HexTags(To(17, kRead40001), '<', '>'),
        "COM3 station 17 [11][03][02][03][11][B9][7B]",
        "COM3 " + readersim::HexTags(To(5, kRead40001), '<', '>'),
        "COM3 station 5 is not on the bus: silent",
        "COM3 " + readersim::HexTags(To(0, kRead40001), '<', '>'),
        "COM3 station 17 no reply (fault noreply)",
        "COM3 station 3 [00][03][02][03][03][C5][75] collides",
        "COM3 station 200 [00][03][02][03][C8][84][E2] collides",
        "COM3 collision of stations 3, 200: [00][03][02][03][CB][C5][F7]",
    };
    EXPECT_EQ(Lines(), want);
}

TEST(BusSetup, NullReadersAndTcpAreRefused) {
    Reader a, b;
    EXPECT_THROW(Server(std::vector<Reader *>{&a, nullptr}), std::invalid_argument);
    Server bus(std::vector<Reader *>{&a, &b});
    EXPECT_EQ(bus.ServeTcp(0), -1) << "Modbus TCP plays one reader";
    Server one(std::vector<Reader *>{&a});
    EXPECT_GT(one.ServeTcp(0), 0);
}

// Modbus TCP.

class TcpServer : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = server_.ServeTcp(0);
        ASSERT_GT(port_, 0);
    }
    Reader reader_;
    Server server_{reader_};
    int port_ = -1;
};

TEST_F(TcpServer, EchoesTheTransactionId) {
    RawPort c = RawPort::Tcp(port_);
    ASSERT_TRUE(c.ok());
    c.Write(Hex("12 34 00 00 00 06 01 03 00 01 00 01"));
    EXPECT_EQ(ToHex(c.Drain()), "12 34 00 00 00 05 01 03 02 03 01");
    c.Write(Hex("BE EF 00 00 00 06 01 03 00 0B 00 01"));
    EXPECT_EQ(ToHex(c.Drain()), "BE EF 00 00 00 03 01 83 02");
    ASSERT_EQ(server_.Requests().size(), 2u);
    EXPECT_TRUE(server_.Requests()[0].tcp);
    EXPECT_EQ(server_.Requests()[0].pdu, Hex("03 00 01 00 01"));
}

TEST_F(TcpServer, RequestsBackToBackAndSplitAcrossSegments) {
    RawPort c = RawPort::Tcp(port_);
    c.Write(Hex("00 01 00 00 00 06 01 03 00 01 00 01 00 02 00 00 00 06 01 03 00 02 00 01"));
    EXPECT_EQ(ToHex(c.Drain()), "00 01 00 00 00 05 01 03 02 03 01 00 02 00 00 00 05 01 03 02 00 05");
    c.Write(Hex("00 03 00"));
    Sleep(30);
    c.Write(Hex("00 00 06 01"));
    Sleep(30);
    c.Write(Hex("03 00 01 00 01"));
    EXPECT_EQ(ToHex(c.Drain()), "00 03 00 00 00 05 01 03 02 03 01");
    EXPECT_EQ(server_.Requests().size(), 3u);
}

TEST_F(TcpServer, AcceptsAgainAndServesConnectionsSideBySide) {
    {
        RawPort c = RawPort::Tcp(port_);
        c.Write(Hex("00 01 00 00 00 06 01 03 00 01 00 01"));
        EXPECT_EQ(c.Drain().size(), 11u);
    }
    RawPort a = RawPort::Tcp(port_);
    RawPort b = RawPort::Tcp(port_);
    ASSERT_TRUE(a.ok() && b.ok());
    b.Write(Hex("00 0B 00 00 00 06 01 03 00 01 00 01"));
    a.Write(Hex("00 0A 00 00 00 06 01 03 00 01 00 01"));
    EXPECT_EQ(ToHex(a.Drain()), "00 0A 00 00 00 05 01 03 02 03 01");
    EXPECT_EQ(ToHex(b.Drain()), "00 0B 00 00 00 05 01 03 02 03 01");
}

TEST_F(TcpServer, UnitIds) {
    RawPort c = RawPort::Tcp(port_);
    c.Write(Hex("00 01 00 00 00 06 FF 03 00 01 00 01"));
    EXPECT_EQ(ToHex(c.Drain()), "00 01 00 00 00 05 FF 03 02 03 01");
    c.Write(Hex("00 02 00 00 00 06 00 03 00 01 00 01"));
    EXPECT_EQ(ToHex(c.Drain()), "00 02 00 00 00 05 00 03 02 03 01");
    c.Write(Hex("00 03 00 00 00 06 09 03 00 01 00 01"));
    EXPECT_TRUE(c.Drain(80, 80).empty());
    EXPECT_EQ(server_.Requests().back().station, 9);
}

TEST_F(TcpServer, FaultsOnTcp) {
    RawPort c = RawPort::Tcp(port_);
    const Bytes req = Hex("00 01 00 00 00 06 01 03 00 01 00 01");
    server_.InjectFault(Fault::BadCrc);
    c.Write(req);
    EXPECT_EQ(ToHex(c.Drain()), "00 01 00 00 00 08 01 03 02 03 01") << "length field 3 too big";
    server_.InjectFault(Fault::Stray);
    c.Write(req);
    EXPECT_EQ(ToHex(c.Drain()), "00 01 00 00 00 05 01 03 02 03 01 A5 5A C3");
    server_.UpdateFaultSettings([](readersim::FaultSettings &f) {
        f.gapMs = 80;
        f.pieces = 2;
    });
    server_.InjectFault(Fault::Split);
    c.Write(req);
    Bytes first = c.Read(11, 50);
    EXPECT_EQ(first.size(), 5u) << "11 bytes in 2 pieces";
    Bytes rest = c.Read(11 - first.size(), 1000);
    first.insert(first.end(), rest.begin(), rest.end());
    EXPECT_EQ(ToHex(first), "00 01 00 00 00 05 01 03 02 03 01");
    server_.InjectFault(Fault::Oversized);
    c.Write(req);
    Bytes big = c.Read(259, 1000);
    ASSERT_EQ(big.size(), 6u + 1u + 1u + 1u + 250u);
    EXPECT_EQ(ToHex(Bytes(big.begin(), big.begin() + 11)), "00 01 00 00 00 FD 01 03 FA 03 01");
}

TEST_F(TcpServer, NotModbusClosesTheConnection) {
    RawPort c = RawPort::Tcp(port_);
    c.Write(Hex("47 45 54 20 2F 20 48 54 54 50"));  // "GET / HTTP"
    EXPECT_TRUE(c.Closed(1000));
    RawPort d = RawPort::Tcp(port_);
    d.Write(Hex("00 01 00 00 00 06 01 03 00 01 00 01"));
    EXPECT_EQ(d.Drain().size(), 11u) << "the server lives on";
}

}  // namespace
