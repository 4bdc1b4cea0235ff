// The TCP link against a scripted peer on loopback: frames, MBAP framing of
// replies, stale replies, connection lifecycle and closed connections.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "Untfunction.h"
#include "pty_port.h"
#include "qvmodbusrtu.h"
#include "tcp_peer.h"

using namespace testsupport;
using untfunction::CurrentLinkType;

// A reader that never stops sending, independent of scheduling: while the
// flood lasts, every non-blocking receive finds more stale bytes. The test
// program is linked with --wrap=recv.
std::atomic<double> g_floodUntilMs{0};
extern "C" ssize_t __real_recv(int fd, void *buf, size_t len, int flags);
extern "C" ssize_t __wrap_recv(int fd, void *buf, size_t len, int flags) {
    if ((flags & MSG_DONTWAIT) && len > 0 && NowMs() < g_floodUntilMs) {
        const size_t n = len < 512 ? len : 512;
        std::memset(buf, 0xEE, n);
        return static_cast<ssize_t>(n);
    }
    return __real_recv(fd, buf, len, flags);
}

namespace {

const Bytes kReq2 = Hex("00 00 00 00 00 06 01 03 00 00 00 02");
const Bytes kReply4 = Hex("00 00 00 00 00 07 01 03 04 00 01 00 02");

void Sleep(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// A two-register read that the peer on conn answers goes through.
void ExpectReadServedBy(int conn) {
    std::thread t([conn] {
        TcpPeer::ReadFrame(conn);
        TcpPeer::Send(conn, kReply4);
    });
    std::uint8_t buf[4];
    EXPECT_EQ(QV_ReadRegister(1, 0, 2, buf), 4);
    t.join();
}

class TcpLink : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(QV_TCPConnect("127.0.0.1", peer_.port()), 1);
        conn_ = peer_.Accept();
        ASSERT_GE(conn_, 0);
    }
    void TearDown() override { QV_TCPFree(); }
    // Serves one request with the given reply pieces, gapMs apart.
    std::thread Serve(std::vector<Bytes> pieces, int gapMs = 0, Bytes *request = nullptr) {
        return std::thread([=] {
            Bytes req = TcpPeer::ReadFrame(conn_);
            if (request) *request = req;
            for (size_t i = 0; i < pieces.size(); ++i) {
                if (i) Sleep(gapMs);
                TcpPeer::Send(conn_, pieces[i]);
            }
        });
    }
    int Read2(std::uint8_t *buf, double *ms = nullptr) {
        double t0 = NowMs();
        int r = QV_ReadRegister(1, 0, 2, buf);
        if (ms) *ms = NowMs() - t0;
        return r;
    }
    TcpPeer peer_;
    int conn_ = -1;
};

}  // namespace

TEST_F(TcpLink, ReadFrameAndReplyExample) {
    Bytes req;
    std::thread t = Serve({kReply4}, 0, &req);
    std::uint8_t buf[4 + 4];
    std::fill(std::begin(buf), std::end(buf), 0xCC);
    double ms = 0;
    EXPECT_EQ(Read2(buf, &ms), 4);
    t.join();
    EXPECT_EQ(ToHex(req), ToHex(kReq2));
    EXPECT_EQ(ToHex(Bytes(buf, buf + 8)), "00 01 00 02 CC CC CC CC");
    EXPECT_LT(ms, 100);  // no fixed pause before reading
}

TEST_F(TcpLink, WriteFrames) {
    Bytes req;
    std::thread t = Serve({Hex("00 00 00 00 00 06 01 06 00 01 00 03")}, 0, &req);
    EXPECT_EQ(QV_WriteRegister(1, 1, 3), 1);
    t.join();
    EXPECT_EQ(ToHex(req), "00 00 00 00 00 06 01 06 00 01 00 03");

    std::thread t2 = Serve({Hex("00 00 00 00 00 03 01 46 00")}, 0, &req);
    std::uint8_t info[QV_DEVICE_INFO_SIZE];
    EXPECT_EQ(QV_GetDeviceInfo(1, info), 0);  // only the first byte: an empty block
    t2.join();
    EXPECT_EQ(ToHex(req), "00 00 00 00 00 03 01 46 00");
}

TEST_F(TcpLink, AnyTransactionIdentifierIsAccepted) {
    std::thread t = Serve({Hex("AB CD 00 00 00 07 01 03 04 00 01 00 02")});
    std::uint8_t buf[4];
    EXPECT_EQ(Read2(buf), 4);
    t.join();
}

TEST_F(TcpLink, LengthFieldOneTooLargeFailsAfterTheWait) {
    std::thread t = Serve({Hex("00 00 00 00 00 08 01 03 04 00 01 00 02")});
    std::uint8_t buf[4];
    double ms = 0;
    EXPECT_EQ(Read2(buf, &ms), -1);
    t.join();
    EXPECT_GE(ms, 1900);
    EXPECT_LT(ms, 2600);
}

TEST_F(TcpLink, LengthFieldTooSmallFailsTheLengthCheck) {
    std::thread t = Serve({Hex("00 00 00 00 00 06 01 03 04 00 01 00 02")});
    std::uint8_t buf[4];
    EXPECT_EQ(Read2(buf), -1);
    t.join();
}

TEST_F(TcpLink, ReplyInTwoSegmentsIsJoined) {
    std::thread t = Serve({Hex("00 00 00 00 00 07 01"), Hex("03 04 00 01 00 02")}, 150);
    std::uint8_t buf[4];
    double ms = 0;
    EXPECT_EQ(Read2(buf, &ms), 4);
    t.join();
    EXPECT_GE(ms, 140);
    EXPECT_EQ(buf[3], 0x02);
}

TEST_F(TcpLink, HeaderInPiecesIsJoined) {
    std::thread t = Serve({Hex("00 00 00"), Hex("00 00"), Hex("07 01 03 04 00 01 00 02")}, 30);
    std::uint8_t buf[4];
    EXPECT_EQ(Read2(buf), 4);
    t.join();
}

TEST_F(TcpLink, LateReplyIsNotTakenForTheNextAnswer) {
    // The first answer comes after the library gave up; the second request
    // must get its own answer, not the late one.
    std::thread t([this] {
        TcpPeer::ReadFrame(conn_);
        Sleep(2300);
        TcpPeer::Send(conn_, Hex("00 00 00 00 00 07 01 03 04 0B AD 0B AD"));
        TcpPeer::ReadFrame(conn_);
        TcpPeer::Send(conn_, Hex("00 00 00 00 00 07 01 03 04 00 01 00 02"));
    });
    std::uint8_t buf[4];
    EXPECT_EQ(Read2(buf), -1);
    Sleep(500);  // the late reply is now waiting on the socket
    EXPECT_EQ(Read2(buf), 4);
    t.join();
    EXPECT_EQ(ToHex(Bytes(buf, buf + 4)), "00 01 00 02");
}

TEST_F(TcpLink, DuplicateReplyIsDiscardedBeforeTheNextRequest) {
    std::thread t([this] {
        TcpPeer::ReadFrame(conn_);
        TcpPeer::Send(conn_, kReply4);
        Sleep(50);
        TcpPeer::Send(conn_, Hex("00 00 00 00 00 07 01 03 04 0D 0D 0D 0D"));
        TcpPeer::ReadFrame(conn_);
        TcpPeer::Send(conn_, Hex("00 00 00 00 00 07 01 03 04 00 05 00 06"));
    });
    std::uint8_t buf[4];
    EXPECT_EQ(Read2(buf), 4);
    Sleep(150);
    EXPECT_EQ(Read2(buf), 4);
    t.join();
    EXPECT_EQ(ToHex(Bytes(buf, buf + 4)), "00 05 00 06");
}

TEST_F(TcpLink, PeerThatNeverStopsSendingCannotHoldTheCommand) {
    std::uint8_t buf[4];
    double ms = 0;
    g_floodUntilMs = NowMs() + 3000;
    EXPECT_EQ(Read2(buf, &ms), -1);
    EXPECT_EQ(errno, QV_E_SEND);
    g_floodUntilMs = 0;
    EXPECT_GT(ms, 150);  // the write wait, not an early give-up
    EXPECT_LT(ms, 1000);
    // Nothing was sent, and the connection still serves once the flood ends.
    std::thread t = Serve({kReply4});
    EXPECT_EQ(Read2(buf), 4);
    t.join();
}

TEST_F(TcpLink, ExceptionReplyFails) {
    std::thread t = Serve({Hex("00 00 00 00 00 03 01 83 02")});
    std::uint8_t buf[4];
    double ms = 0;
    EXPECT_EQ(Read2(buf, &ms), -1);
    t.join();
    EXPECT_LT(ms, 500);  // framed by its length, so no wait on TCP
}

TEST_F(TcpLink, OversizedReplyIsCutToTheCallersBuffer) {
    Bytes r = Hex("00 00 00 00 00 FD 01 03 FA");
    r.resize(6 + 0xFD, 0x77);
    std::thread t = Serve({r});
    std::uint8_t buf[4 + 8];
    std::fill(std::begin(buf), std::end(buf), 0xCC);
    EXPECT_EQ(Read2(buf), 4);
    t.join();
    EXPECT_EQ(buf[3], 0x77);
    EXPECT_EQ(buf[4], 0xCC);
}

TEST_F(TcpLink, ReplyLargerThanTheReplyBufferFails) {
    Bytes r = Hex("00 00 00 00 07 FF 01 03");
    r.resize(6 + 0x7FF, 0x11);
    std::thread t = Serve({r});
    std::uint8_t buf[4];
    EXPECT_EQ(Read2(buf), -1);
    t.join();
}

TEST_F(TcpLink, ReaderClosingTheConnectionGivesMinusOneAndReconnectWorks) {
    std::thread t([this] {
        TcpPeer::ReadFrame(conn_);
        close(conn_);
    });
    std::uint8_t buf[4];
    EXPECT_EQ(Read2(buf), -1);
    t.join();
    // Later commands fail without SIGPIPE killing the process.
    double t0 = NowMs();
    EXPECT_EQ(Read2(buf), -1);
    EXPECT_EQ(QV_WriteRegister(1, 1, 1), -1);
    EXPECT_LT(NowMs() - t0, 500);
    ASSERT_EQ(QV_TCPConnect("127.0.0.1", peer_.port()), 1);
    conn_ = peer_.Accept();
    std::thread t2 = Serve({kReply4});
    EXPECT_EQ(Read2(buf), 4);
    t2.join();
}

TEST_F(TcpLink, SecondConnectClosesTheFirst) {
    int first = conn_;
    ASSERT_EQ(QV_TCPConnect("localhost", peer_.port()), 1);
    conn_ = peer_.Accept();
    ASSERT_GE(conn_, 0);
    EXPECT_TRUE(TcpPeer::SeesEof(first));
    std::thread t = Serve({kReply4});
    std::uint8_t buf[4];
    EXPECT_EQ(Read2(buf), 4);
    t.join();
}

TEST_F(TcpLink, FreeClosesTheConnection) {
    EXPECT_EQ(QV_TCPFree(), 1);
    EXPECT_EQ(CurrentLinkType(), untfunction::kLinkNone);
    EXPECT_TRUE(TcpPeer::SeesEof(conn_));
    std::uint8_t buf[4];
    EXPECT_EQ(Read2(buf), -1);
}

TEST_F(TcpLink, ComFreeLeavesTheConnectionOpen) {
    EXPECT_EQ(QV_ComFree(), 1);
    EXPECT_EQ(CurrentLinkType(), untfunction::kLinkNone);
    std::uint8_t buf[4];
    EXPECT_EQ(Read2(buf), -1);
    EXPECT_FALSE(TcpPeer::SeesEof(conn_, 200));
}

TEST(TcpConnect, FailuresGiveMinusTwoAndCommandsFailAtOnce) {
    int closedPort;
    {
        TcpPeer gone;
        closedPort = gone.port();
    }
    EXPECT_EQ(QV_TCPConnect("127.0.0.1", closedPort), -2);
    EXPECT_EQ(CurrentLinkType(), untfunction::kLinkTcp);
    std::uint8_t buf[4];
    double t0 = NowMs();
    EXPECT_EQ(QV_ReadRegister(1, 0, 2, buf), -1);
    EXPECT_LT(NowMs() - t0, 50);
    EXPECT_EQ(QV_TCPConnect("", 502), -2);
    EXPECT_EQ(QV_TCPConnect(nullptr, 502), -2);
    EXPECT_EQ(QV_TCPConnect("nonexistent.invalid", 502), -2);
    EXPECT_EQ(QV_TCPFree(), 1);
    EXPECT_EQ(QV_TCPFree(), 1);
}

namespace {
std::atomic<int> g_alarms{0};
void CountAlarm(int) { ++g_alarms; }
}  // namespace

TEST(TcpConnect, ConnectInterruptedBySignalsStillConnects) {
    // A full accept queue keeps the connect waiting for the SYN to be sent
    // again (about 1 s), while a host's timer signal without SA_RESTART
    // interrupts it many times.
    TcpPeer peer(0);
    int filler = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(peer.port()));
    ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);

    sigset_t alarm, old;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, &old);  // the helper thread never takes the signal
    std::thread accepter([&] {
        Sleep(300);
        peer.Accept();  // makes room for the waiting connection
    });
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    struct sigaction sa {}, oldSa{};
    sa.sa_handler = CountAlarm;
    sigaction(SIGALRM, &sa, &oldSa);
    itimerval every20ms{{0, 20000}, {0, 20000}};
    setitimer(ITIMER_REAL, &every20ms, nullptr);
    g_alarms = 0;
    const int r = QV_TCPConnect("127.0.0.1", peer.port());
    const int alarms = g_alarms;
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &oldSa, nullptr);
    accepter.join();

    EXPECT_GT(alarms, 5);
    ASSERT_EQ(r, 1);
    int conn = peer.Accept();
    ASSERT_GE(conn, 0);
    ExpectReadServedBy(conn);
    QV_TCPFree();
    close(filler);
}

TEST(TcpConnect, PortUsesItsLowSixteenBits) {
    TcpPeer peer;
    EXPECT_EQ(QV_TCPConnect("127.0.0.1", peer.port() + 0x10000), 1);
    EXPECT_GE(peer.Accept(), 0);
    QV_TCPFree();
}

TEST(TcpConnect, SerialPortIsLeftAloneAndTheReverse) {
    PortsDir dir;
    PtyPort pty(dir, 6);
    TcpPeer peer;
    ASSERT_EQ(QV_ComInitial(6, 19200), 1);
    ASSERT_EQ(QV_TCPConnect("127.0.0.1", peer.port()), 1);
    int conn = peer.Accept();
    // Commands go over TCP; the serial port stays held by this process.
    ExpectReadServedBy(conn);
    EXPECT_TRUE(pty.Read(1, 50).empty());
    int fd = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    EXPECT_NE(flock(fd, LOCK_EX | LOCK_NB), 0);
    close(fd);
    // Opening serial again switches back and leaves the connection up.
    ASSERT_EQ(QV_ComInitial(6, 19200), 1);
    EXPECT_EQ(CurrentLinkType(), untfunction::kLinkSerial);
    EXPECT_FALSE(TcpPeer::SeesEof(conn, 100));
    QV_ComFree();
    QV_TCPFree();
    EXPECT_TRUE(TcpPeer::SeesEof(conn));
}
