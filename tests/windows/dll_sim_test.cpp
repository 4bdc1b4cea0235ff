// The DLL against the simulated reader program, over a COM port mapped to its
// pty and over TCP: results of the commands, the faults it injects on request,
// port numbers from 10 on, and the TCP link's lifecycle.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "qvmodbusrtu.h"
#include "qvregisters.h"
#include "readersim.h"
#include "win_support.h"

using namespace winsupport;
using readersim::Fault;
using testsupport::Hex;
using testsupport::NowMs;
using testsupport::ToHex;

namespace {

// The simulator's defaults: card 0A00123456 shown big-endian HEX.
const char kCardHex[] = "00 00 00 00 00 12 34 56";
const char kInfoHex[] = "51 56 2D 4C 46 31 32 35 00 00 01 05";  // "QV-LF125", base 0, version 1.5

std::string ReadHex(int address, int count, int station = 1) {
    std::uint8_t buf[256];
    int r = QV_ReadRegister(station, address, count, buf);
    return r < 0 ? "failed" : ToHex(Bytes(buf, buf + r));
}

// Base of the serial and TCP cases: faults are steered in-band.
class Sim : public ::testing::Test {
protected:
    void TearDown() override {
        if (linked_) {
            QV_WriteRegister(1, readersim::kControlRegister, 0);
            QV_WriteRegister(1, readersim::kControlDelayMs, 300);
            QV_WriteRegister(1, readersim::kControlGapMs, 50);
        }
        QV_ComFree();
        QV_TCPFree();
    }
    void Inject(Fault f, int count = 1) {
        ASSERT_EQ(QV_WriteRegister(1, readersim::kControlRegister, static_cast<int>(f) << 8 | count), 1);
    }
    void Setting(int control, int value) { ASSERT_EQ(QV_WriteRegister(1, control, value), 1); }
    // Runs a command and measures it.
    template <class F>
    int Timed(F f, double &ms) {
        double t0 = NowMs();
        int r = f();
        lastError_ = GetLastError();  // before anything else can change it
        ms = NowMs() - t0;
        return r;
    }
    DWORD lastError_ = 0;
    // The checks both links share: the reader's answers and its faults.
    void CommandsAndResults() {
        std::uint8_t info[QV_DEVICE_INFO_SIZE];
        ASSERT_EQ(QV_GetDeviceInfo(1, info), 12);
        EXPECT_EQ(ToHex(Bytes(info, info + 12)), kInfoHex);
        EXPECT_EQ(ReadHex(qvreg::kCardNumber, qvreg::kCardNumberCount), kCardHex);
        EXPECT_EQ(ReadHex(qvreg::kCardNumber, qvreg::kCardNumberCount, 0), kCardHex);  // station 0 is answered

        EXPECT_EQ(QV_WriteRegister(1, qvreg::kSameCardDelay, 0x0021), 1);
        EXPECT_EQ(ReadHex(qvreg::kSameCardDelay, 1), "00 21");
        const std::uint8_t back[2] = {0x00, 0x14};
        EXPECT_EQ(QV_WriteMultiRegister(1, qvreg::kSameCardDelay, 1, back), 1);
        EXPECT_EQ(ReadHex(qvreg::kSameCardDelay, 1), "00 14");

        EXPECT_EQ(QV_SetBaseRegisterAddr(1, 0x0040), 1);
        ASSERT_EQ(QV_GetDeviceInfo(1, info), 12);
        EXPECT_EQ(ToHex(Bytes(info + qvreg::kInfoBaseAddr, info + qvreg::kInfoBaseAddr + 2)), "00 40");
        EXPECT_EQ(QV_SetBaseRegisterAddr(1, 0), 1);

        const Bytes six = Hex("01 02 03 04 05 06");
        const Bytes sixteen(16, 0x42);
        EXPECT_EQ(QV_DownKey(1, six.data()), 1);
        EXPECT_EQ(QV_DownKeyEx(1, 2, sixteen.data()), 1);
        EXPECT_EQ(QV_SetDeviceTermNO(1, six.data()), 1);
        EXPECT_EQ(QV_SetPermission(1, 1, sixteen.data()), 1);
    }
    void RepliesInPiecesAreJoined() {
        Setting(readersim::kControlGapMs, 150);
        Inject(Fault::Split);
        double ms = 0;
        std::uint8_t buf[8];
        EXPECT_EQ(Timed([&] { return QV_ReadRegister(1, qvreg::kCardNumber, 4, buf); }, ms), 8);
        EXPECT_EQ(ToHex(Bytes(buf, buf + 8)), kCardHex);
        EXPECT_GT(ms, 250);  // two gaps of 150 ms
        EXPECT_LT(ms, 1500);
    }
    void BadRepliesFail() {
        std::uint8_t buf[8];
        for (Fault f : {Fault::Exception, Fault::WrongCode, Fault::BadCrc}) {
            Inject(f);
            EXPECT_EQ(QV_ReadRegister(1, qvreg::kCardNumber, 4, buf), -1) << static_cast<int>(f);
            EXPECT_EQ(ReadHex(qvreg::kCardNumber, 4), kCardHex) << "after fault " << static_cast<int>(f);
        }
        // The reader's own exception: an address it does not know.
        EXPECT_EQ(QV_ReadRegister(1, 0x0500, 1, buf), -1);
        EXPECT_EQ(QV_WriteRegister(1, 0x0500, 1), -1);
    }
    void OversizedRepliesStayInTheirBuffers() {
        std::uint8_t buf[8 + 32];
        std::memset(buf, 0xEE, sizeof buf);
        Inject(Fault::Oversized);
        int r = QV_ReadRegister(1, qvreg::kCardNumber, 4, buf);
        EXPECT_EQ(r, 8);  // a well-formed frame, cut to what the caller asked for
        for (size_t i = 8; i < sizeof buf; ++i) ASSERT_EQ(buf[i], 0xEE) << "guard byte " << i;

        std::uint8_t info[QV_DEVICE_INFO_SIZE + 32];
        std::memset(info, 0xEE, sizeof info);
        Inject(Fault::Oversized);
        r = QV_GetDeviceInfo(1, info);
        EXPECT_EQ(r, QV_DEVICE_INFO_SIZE);
        for (size_t i = QV_DEVICE_INFO_SIZE; i < sizeof info; ++i) ASSERT_EQ(info[i], 0xEE) << "guard byte " << i;
        EXPECT_EQ(ReadHex(qvreg::kCardNumber, 4), kCardHex);
    }
    bool linked_ = false;
};

class SimSerial : public Sim {
protected:
    void SetUp() override {
        int com = EnvNumber("QV_WIN_SIM_COM");
        ASSERT_GT(com, 0) << "QV_WIN_SIM_COM is not set: run the suite through scripts/test-windows";
        ASSERT_EQ(QV_ComInitial(com, 19200), 1);
        linked_ = true;
    }
};

class SimTcp : public Sim {
protected:
    void SetUp() override {
        port_ = EnvNumber("QV_WIN_SIM_TCP");
        ASSERT_GT(port_, 0) << "QV_WIN_SIM_TCP is not set: run the suite through scripts/test-windows";
        ASSERT_EQ(QV_TCPConnect("127.0.0.1", port_), 1);
        linked_ = true;
    }
    int port_ = 0;
};

// A loopback port with nothing listening: bound once, then closed.
int ClosedPort() {
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(1, 1), &wsa) != 0) return -1;
    int port = -1;
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof a;
    if (s != INVALID_SOCKET && bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (s != INVALID_SOCKET) closesocket(s);
    WSACleanup();
    return port;
}

}  // namespace

TEST_F(SimSerial, CommandsAndResults) {
    CommandsAndResults();
}
TEST_F(SimSerial, RepliesInPiecesAreJoined) {
    RepliesInPiecesAreJoined();
}
TEST_F(SimSerial, BadRepliesFail) {
    BadRepliesFail();
}
TEST_F(SimSerial, OversizedRepliesStayInTheirBuffers) {
    OversizedRepliesStayInTheirBuffers();
}

TEST_F(SimSerial, NoReplyFailsAfterAboutTwoSecondsThenTheLinkGoesOn) {
    Inject(Fault::NoReply);
    double ms = 0;
    std::uint8_t buf[8];
    EXPECT_EQ(Timed([&] { return QV_ReadRegister(1, qvreg::kCardNumber, 4, buf); }, ms), -1);
    EXPECT_GT(ms, 1800);
    EXPECT_LT(ms, 3500);
    EXPECT_EQ(ReadHex(qvreg::kCardNumber, 4), kCardHex);
}

TEST_F(SimSerial, ExceptionReplyFailsAtOnceWithItsCode) {
    Inject(Fault::Exception);
    double ms = 0;
    EXPECT_EQ(Timed([] { return QV_WriteRegister(1, qvreg::kSameCardDelay, 0x14); }, ms), -1);
    EXPECT_EQ(lastError_, static_cast<DWORD>(QV_E_EXCEPTION_BASE + 4));
    EXPECT_LT(ms, 1000);
}

TEST_F(SimSerial, StrayBytesAfterAReplyArePurged) {
    // Garbage that comes in the same burst as the reply fails that reply's
    // CRC check; what must not happen is that it spoils the next exchange.
    Inject(Fault::Stray);
    std::string first = ReadHex(qvreg::kSameCardDelay, 1);
    EXPECT_TRUE(first == "00 14" || first == "failed") << first;
    Sleep(100);  // any stray bytes are queued now
    EXPECT_EQ(ReadHex(qvreg::kCardNumber, 4), kCardHex);
    Inject(Fault::Stray);
    ReadHex(qvreg::kCardNumber, 4);
    Sleep(100);
    EXPECT_EQ(ReadHex(qvreg::kSameCardDelay, 1), "00 14");
}

TEST(SimPortNumbers, PortTwelveOpensThroughTheDeviceNamespace) {
    int high = EnvNumber("QV_WIN_SIM_COM_HIGH");
    ASSERT_GE(high, 10) << "QV_WIN_SIM_COM_HIGH is not set: run the suite through scripts/test-windows";
    // Only the \\.\ form names a port from COM10 on.
    std::string plain = "COM" + std::to_string(high);
    HANDLE h = CreateFileA(plain.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE) << plain << " opened without the device namespace";
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);

    ASSERT_EQ(QV_ComInitial(high, 19200), 1);
    std::uint8_t info[QV_DEVICE_INFO_SIZE];
    EXPECT_EQ(QV_GetDeviceInfo(1, info), 12);
    EXPECT_EQ(ToHex(Bytes(info, info + 12)), kInfoHex);
    EXPECT_EQ(QV_ComFree(), 1);
}

TEST_F(SimTcp, CommandsAndResults) {
    CommandsAndResults();
}
TEST_F(SimTcp, RepliesInPiecesAreJoined) {
    RepliesInPiecesAreJoined();
}
TEST_F(SimTcp, BadRepliesFail) {
    BadRepliesFail();
}
TEST_F(SimTcp, OversizedRepliesStayInTheirBuffers) {
    OversizedRepliesStayInTheirBuffers();
}

TEST_F(SimTcp, LateReplyIsNotTakenForTheNextRequestsAnswer) {
    // A reply that comes after the 2000 ms wait, to a read of 40002 ...
    Setting(readersim::kControlDelayMs, 2300);
    Inject(Fault::Delay);
    double ms = 0;
    std::uint8_t buf[2];
    EXPECT_EQ(Timed([&] { return QV_ReadRegister(1, qvreg::kReadParams, 1, buf); }, ms), -1);
    EXPECT_GT(ms, 1800);
    EXPECT_LT(ms, 2300);
    Sleep(700);  // ... has arrived by now
    // The next read, of 40106, gets its own answer, not the late 00 05.
    EXPECT_EQ(ReadHex(qvreg::kSameCardDelay, 1), "00 14");
    EXPECT_EQ(ReadHex(qvreg::kReadParams, 1), "00 05");
}

TEST_F(SimTcp, NoReplyFailsAfterAboutTwoSeconds) {
    Inject(Fault::NoReply);
    double ms = 0;
    std::uint8_t buf[2];
    EXPECT_EQ(Timed([&] { return QV_ReadRegister(1, qvreg::kReadParams, 1, buf); }, ms), -1);
    EXPECT_GT(ms, 1800);
    EXPECT_LT(ms, 3500);
    EXPECT_EQ(ReadHex(qvreg::kReadParams, 1), "00 05");
}

TEST_F(SimTcp, ConnectLifecycle) {
    // Connecting again replaces the first connection; host names resolve.
    ASSERT_EQ(QV_TCPConnect("localhost", port_), 1);
    EXPECT_EQ(ReadHex(qvreg::kCardNumber, 4), kCardHex);

    // Freeing the serial side drops the link type, not the connection.
    EXPECT_EQ(QV_ComFree(), 1);
    EXPECT_EQ(ReadHex(qvreg::kCardNumber, 4), "failed");

    int closed = ClosedPort();
    ASSERT_GT(closed, 0);
    EXPECT_EQ(QV_TCPConnect("127.0.0.1", closed), -2);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WSAECONNREFUSED));
    double t0 = NowMs();
    EXPECT_EQ(ReadHex(qvreg::kCardNumber, 4), "failed");
    EXPECT_EQ(QV_WriteRegister(1, qvreg::kSameCardDelay, 0x14), -1);
    EXPECT_LT(NowMs() - t0, 100) << "commands on a failed connect must fail at once";

    EXPECT_EQ(QV_TCPConnect("", port_), -2);
    EXPECT_EQ(QV_TCPConnect(nullptr, port_), -2);
    ASSERT_EQ(QV_TCPConnect("127.0.0.1", port_), 1);
    EXPECT_EQ(ReadHex(qvreg::kCardNumber, 4), kCardHex);
    EXPECT_EQ(QV_TCPFree(), 1);
    EXPECT_EQ(ReadHex(qvreg::kCardNumber, 4), "failed");
    EXPECT_EQ(QV_TCPFree(), 1);                       // nothing held: still 1
    ASSERT_EQ(QV_TCPConnect("127.0.0.1", port_), 1);  // for the fault reset in TearDown
}
