// The serial link over pseudo-terminals: wire bytes, reply collection,
// purging, the reply wait and the lifecycle of the port.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include "Untfunction.h"
#include "pty_port.h"
#include "qvmodbusrtu.h"

using namespace untfunction;
using namespace testsupport;

namespace {

const Bytes kReadReq = Hex("01 03 00 01 00 01 D5 CA");
const Bytes kReadReply = Hex("01 03 02 12 34 B5 33");

class SerialLink : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::make_unique<PortsDir>();
        port_ = std::make_unique<PtyPort>(*dir_, 1);
        ASSERT_EQ(QV_ComInitial(1, 19200), 1);
    }
    void TearDown() override {
        QV_ComFree();
        port_.reset();
        dir_.reset();
    }
    // Sends the read request and collects the reply, as a command would.
    Bytes Exchange(double *elapsedMs = nullptr) {
        std::uint8_t data[4] = {0, 1, 0, 1};
        EXPECT_EQ(SendFrame(0x03, 1, data, 4), 8);
        double t0 = NowMs();
        std::uint8_t buf[kReplyBufSize];
        int n = RecvReply(buf, 1);
        if (elapsedMs) *elapsedMs = NowMs() - t0;
        return Bytes(buf, buf + n);
    }
    // Plays the reader: waits for the request, then sends pieces with gaps.
    std::thread Answer(std::vector<Bytes> pieces, int gapMs) {
        return std::thread([this, pieces, gapMs] {
            Bytes req = port_->Read(kReadReq.size(), 3000);
            received_ = req;
            for (size_t i = 0; i < pieces.size(); ++i) {
                if (i) std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
                port_->Write(pieces[i]);
            }
        });
    }
    std::unique_ptr<PortsDir> dir_;
    std::unique_ptr<PtyPort> port_;
    Bytes received_;
};

}  // namespace

TEST_F(SerialLink, RequestBytesReachTheLineExactly) {
    std::thread peer = Answer({kReadReply}, 0);
    Exchange();
    peer.join();
    EXPECT_EQ(ToHex(received_), ToHex(kReadReq));
}

TEST_F(SerialLink, WholeReplyReturnedAtOnce) {
    std::thread peer = Answer({kReadReply}, 0);
    double ms = 0;
    Bytes r = Exchange(&ms);
    peer.join();
    EXPECT_EQ(ToHex(r), ToHex(kReadReply));
    EXPECT_LT(ms, 500);
}

TEST_F(SerialLink, ReplyInPiecesIsJoined) {
    std::thread peer = Answer({Hex("01 03"), Hex("02 12"), Hex("34 B5 33")}, 60);
    double ms = 0;
    Bytes r = Exchange(&ms);
    peer.join();
    EXPECT_EQ(ToHex(r), ToHex(kReadReply));
    EXPECT_GE(ms, 110);
    EXPECT_LT(ms, 1000);
}

TEST_F(SerialLink, ReplyByteByByteIsJoined) {
    std::vector<Bytes> pieces;
    for (std::uint8_t b : kReadReply) pieces.push_back(Bytes{b});
    std::thread peer = Answer(pieces, 15);
    Bytes r = Exchange();
    peer.join();
    EXPECT_EQ(ToHex(r), ToHex(kReadReply));
}

TEST_F(SerialLink, BytesAfterACompleteReplyAreLeftForThePurge) {
    // The reply is taken when complete; trailing bytes do not join it, and
    // are gone before the next request is written.
    std::thread peer = Answer({kReadReply, Hex("EE EE EE")}, 50);
    Bytes r = Exchange();
    peer.join();
    EXPECT_EQ(ToHex(r), ToHex(kReadReply));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::thread peer2 = Answer({kReadReply}, 0);
    EXPECT_EQ(ToHex(Exchange()), ToHex(kReadReply));
    peer2.join();
}

TEST_F(SerialLink, StrayBytesBeforeTheRequestArePurged) {
    port_->Write(Hex("01 03 02 99 99 00 00 FF"));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    std::thread peer = Answer({kReadReply}, 0);
    Bytes r = Exchange();
    peer.join();
    EXPECT_EQ(ToHex(r), ToHex(kReadReply));
}

TEST_F(SerialLink, NoReplyGivesNothingAfterAboutTwoSeconds) {
    double ms = 0;
    Bytes r = Exchange(&ms);
    EXPECT_TRUE(r.empty());
    EXPECT_GE(ms, 1950);
    EXPECT_LT(ms, 2600);
}

TEST_F(SerialLink, ExceptionReplyEndsWithItsFifthByte) {
    std::thread peer = Answer({Hex("01 83"), Hex("02 C0 F1")}, 30);
    double ms = 0;
    Bytes r = Exchange(&ms);
    peer.join();
    EXPECT_EQ(ToHex(r), "01 83 02 C0 F1");
    EXPECT_LT(ms, 1000);  // the gap between its pieces, not the 2000 ms reply wait
}

TEST_F(SerialLink, FloodNeverOverrunsTheReplyBuffer) {
    // 6000 bytes that never complete a reply: collection stays within its
    // 1024 bytes (the sanitizer build checks the memory) and ends on time.
    Bytes flood(6000, 0x04);
    std::thread peer =
        Answer({Bytes(flood.begin(), flood.begin() + 3000), Bytes(flood.begin() + 3000, flood.end())}, 5);
    double ms = 0;
    Bytes r = Exchange(&ms);
    peer.join();
    EXPECT_LE(r.size(), static_cast<size_t>(kReplyBufSize));
    EXPECT_LT(ms, 2600);
    std::int32_t st;
    std::uint8_t fn;
    std::uint8_t payload[kReplyBufSize];
    EXPECT_LT(ParseFrame(r.data(), static_cast<int>(r.size()), st, fn, payload), 0);
}

TEST_F(SerialLink, LostLineEndsTheWaitWithoutCrashing) {
    // The reader's side of the line goes away mid-exchange (an unplugged adapter).
    std::thread peer([this] {
        port_->Read(kReadReq.size(), 3000);
        port_.reset();
    });
    double ms = 0;
    Bytes r = Exchange(&ms);
    peer.join();
    EXPECT_TRUE(r.empty());
    EXPECT_LT(ms, 2600);
    std::uint8_t d[4] = {0, 1, 0, 1};
    EXPECT_LT(SendFrame(0x03, 1, d, 4), 0);  // a write error, no signal
}

TEST(SerialLifecycle, MissingPortGivesZeroAndLeavesLinkTypeSerial) {
    PortsDir dir;
    QV_ComFree();
    EXPECT_EQ(CurrentLinkType(), kLinkNone);
    EXPECT_EQ(QV_ComInitial(200, 19200), 0);
    EXPECT_EQ(CurrentLinkType(), kLinkSerial);
    std::uint8_t d[4] = {0, 1, 0, 1};
    double t0 = NowMs();
    EXPECT_LT(SendFrame(0x03, 1, d, 4), 1);
    std::uint8_t buf[kReplyBufSize];
    EXPECT_EQ(RecvReply(buf, 1), 0);
    EXPECT_LT(NowMs() - t0, 100);
    EXPECT_EQ(QV_ComFree(), 1);
    EXPECT_EQ(CurrentLinkType(), kLinkNone);
}

TEST(SerialLifecycle, FreeWithNothingOpenGivesOne) {
    EXPECT_EQ(QV_ComFree(), 1);
    EXPECT_EQ(QV_ComFree(), 1);
    EXPECT_EQ(QV_TCPFree(), 1);
}

TEST(SerialLifecycle, OpeningTwiceClosesTheFirstPort) {
    PortsDir dir;
    PtyPort a(dir, 2), b(dir, 3);
    ASSERT_EQ(QV_ComInitial(2, 9600), 1);
    ASSERT_EQ(QV_ComInitial(3, 9600), 1);
    std::uint8_t d[4] = {0, 1, 0, 1};
    EXPECT_EQ(SendFrame(0x03, 1, d, 4), 8);
    EXPECT_EQ(b.Read(8, 1000).size(), 8u);
    EXPECT_TRUE(a.Read(8, 100).empty());
    // The first port is free again: another open file can lock it, and no
    // exclusive flag is left on it (root would not notice, anyone else would).
    int fd = open(a.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    int exclusive = -1;
    EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    close(fd);
    QV_ComFree();
    fd = open(b.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    close(fd);
}

TEST(SerialLifecycle, PortHeldByAnotherProcessGivesZero) {
    PortsDir dir;
    PtyPort p(dir, 4);
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(release[1]);
        char c = QV_ComInitial(4, 19200) == 1 ? 'y' : 'n';
        (void)!write(ready[1], &c, 1);
        (void)!read(release[0], &c, 1);
        exit(0);  // ends normally, without freeing the port
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    EXPECT_EQ(QV_ComInitial(4, 19200), 0);
    EXPECT_EQ(errno, EBUSY);
    close(release[1]);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(QV_ComInitial(4, 19200), 1);  // free once the other process ended
    // A forked child that ends leaves its parent's port as it was: still
    // exclusive, still usable.
    child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) exit(0);
    waitpid(child, nullptr, 0);
    int fd = open(p.slavePath().c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) {
        EXPECT_EQ(errno, EBUSY);  // anyone but root is kept out: still exclusive
    } else {
        int exclusive = -1;
        EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 1);
        close(fd);
    }
    std::uint8_t d[4] = {0, 1, 0, 1};
    EXPECT_EQ(SendFrame(0x03, 1, d, 4), 8);
    QV_ComFree();
    for (int f : {ready[0], ready[1], release[0]}) close(f);
}

TEST(SerialLifecycle, PortNumbersFromTenAndUnusualRates) {
    PortsDir dir;
    PtyPort p(dir, 12);
    EXPECT_EQ(QV_ComInitial(12, 14400), 1);
    EXPECT_EQ(QV_ComInitial(12, 28800), 1);
    EXPECT_EQ(QV_ComInitial(12, 115200), 1);
    EXPECT_EQ(QV_ComInitial(12, 0), 0);
    EXPECT_EQ(QV_ComInitial(200, 19200), 0);  // no such port
    QV_ComFree();
}

TEST(SerialLifecycle, CommandsAfterFreeFailAtOnce) {
    PortsDir dir;
    PtyPort p(dir, 5);
    ASSERT_EQ(QV_ComInitial(5, 19200), 1);
    QV_ComFree();
    std::uint8_t d[4] = {0, 1, 0, 1};
    EXPECT_EQ(SendFrame(0x03, 1, d, 4), 0);
    EXPECT_TRUE(p.Read(8, 100).empty());
}
