// The DLL's commands on a serial line whose far end the test plays: the exact
// bytes of every request, replies in pieces, purging, the reply wait and the
// bounds of the caller's buffers.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstring>
#include <memory>

#include "qvmodbusrtu.h"
#include "win_support.h"

using namespace winsupport;
using testsupport::Hex;
using testsupport::NowMs;
using testsupport::ToHex;
using testsupport::WithCrc;

namespace {

class DllLine : public ::testing::Test {
protected:
    void SetUp() override {
        int a = EnvNumber("QV_WIN_LINE_A"), b = EnvNumber("QV_WIN_LINE_B");
        ASSERT_TRUE(a > 0 && b > 0) << "QV_WIN_LINE_A/B are not set: run the suite through scripts/test-windows";
        peer_ = std::make_unique<RawPort>(b);
        ASSERT_TRUE(peer_->ok());
        ASSERT_EQ(QV_ComInitial(a, 19200), 1);
    }
    void TearDown() override {
        EXPECT_EQ(QV_ComFree(), 1);
        peer_.reset();
    }
    // Runs a command while the peer reads its request and answers with pieces.
    template <class F>
    int Run(F command, size_t requestSize, std::vector<Bytes> reply, int gapMs = 0, double *elapsedMs = nullptr,
            double *lateMs = nullptr) {
        double lastWrite = 0;
        std::thread t = Answer(*peer_, requestSize, std::move(reply), gapMs, &request_, &lastWrite);
        double t0 = NowMs();
        int r = command();
        lastError_ = GetLastError();  // before anything else can change it
        double t1 = NowMs();
        t.join();
        if (elapsedMs) *elapsedMs = t1 - t0;
        if (lateMs) *lateMs = t1 - lastWrite;
        return r;
    }
    std::unique_ptr<RawPort> peer_;
    Bytes request_;
    DWORD lastError_ = 0;  // what the last Run's command left
};

const Bytes kKey6 = Hex("A1 A2 A3 A4 A5 A6");
const Bytes kKey16 = Hex("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF");

}  // namespace

TEST_F(DllLine, EveryCommandsRequestBytesAndResult) {
    std::uint8_t buf[64];
    // Read ten registers from 0: the values come back high byte first.
    Bytes values;
    for (int i = 0; i < 20; ++i) values.push_back(static_cast<std::uint8_t>(0x10 + i));
    Bytes reply = Hex("01 03 14");
    reply.insert(reply.end(), values.begin(), values.end());
    EXPECT_EQ(Run([&] { return QV_ReadRegister(1, 0, 10, buf); }, 8, {WithCrc(reply)}), 20);
    EXPECT_EQ(ToHex(request_), "01 03 00 00 00 0A C5 CD");
    EXPECT_EQ(ToHex(Bytes(buf, buf + 20)), ToHex(values));

    EXPECT_EQ(Run([] { return QV_WriteRegister(1, 1, 3); }, 8, {Hex("01 06 00 01 00 03 98 0B")}), 1);
    EXPECT_EQ(ToHex(request_), "01 06 00 01 00 03 98 0B");

    std::uint8_t zeros[8] = {};
    EXPECT_EQ(Run([&] { return QV_WriteMultiRegister(1, 4, 4, zeros); }, 17, {WithCrc(Hex("01 10 00 04 00 04"))}), 1);
    EXPECT_EQ(ToHex(request_), "01 10 00 04 00 04 08 00 00 00 00 00 00 00 00 47 B5");

    Bytes info = Hex("51 56 2D 4C 46 31 32 35 00 00 01 05");
    Bytes infoReply = Hex("01 46 00");
    infoReply.insert(infoReply.end(), info.begin(), info.end());
    EXPECT_EQ(Run([&] { return QV_GetDeviceInfo(1, buf); }, 5, {WithCrc(infoReply)}), 12);
    EXPECT_EQ(ToHex(request_), "01 46 00 12 60");
    EXPECT_EQ(ToHex(Bytes(buf, buf + 12)), ToHex(info));

    const Bytes ack = WithCrc(Hex("07 46 01"));  // any 0x46 reply will do
    EXPECT_EQ(Run([] { return QV_SetBaseRegisterAddr(7, 0x1234); }, 7, {ack}), 1);
    EXPECT_EQ(ToHex(request_), ToHex(WithCrc(Hex("07 46 02 12 34"))));

    EXPECT_EQ(Run([&] { return QV_DownKey(7, kKey6.data()); }, 11, {ack}), 1);
    EXPECT_EQ(ToHex(request_), ToHex(WithCrc(Hex("07 46 01 A1 A2 A3 A4 A5 A6"))));

    EXPECT_EQ(Run([&] { return QV_DownKeyEx(7, 0x5C, kKey16.data()); }, 22, {ack}), 1);
    EXPECT_EQ(ToHex(request_), ToHex(WithCrc(Hex("07 46 01 5C 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF"))));

    EXPECT_EQ(Run([&] { return QV_SetPermission(7, 0x3C, kKey16.data()); }, 22, {ack}), 1);
    EXPECT_EQ(ToHex(request_), ToHex(WithCrc(Hex("07 46 04 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF 3C"))));

    EXPECT_EQ(Run([&] { return QV_SetDeviceTermNO(7, kKey6.data()); }, 11, {ack}), 1);
    EXPECT_EQ(ToHex(request_), ToHex(WithCrc(Hex("07 46 03 A1 A2 A3 A4 A5 A6"))));

    // Only the low byte of the station and the low 16 bits of numbers go out.
    EXPECT_EQ(Run([] { return QV_WriteRegister(0x101, 0x10002, 0x7FFFABCD); }, 8, {WithCrc(Hex("01 06 00 02 AB CD"))}),
              1);
    EXPECT_EQ(ToHex(request_), ToHex(WithCrc(Hex("01 06 00 02 AB CD"))));
}

TEST_F(DllLine, ReplyInPiecesIsJoinedAndTakenAtItsLastByte) {
    std::uint8_t buf[2];
    Bytes reply = Hex("01 03 02 12 34 B5 33");
    double elapsed = 0, late = 0;
    int r = Run([&] { return QV_ReadRegister(1, 1, 1, buf); }, 8,
                {Bytes(reply.begin(), reply.begin() + 2), Bytes(reply.begin() + 2, reply.begin() + 5),
                 Bytes(reply.begin() + 5, reply.end())},
                150, &elapsed, &late);
    EXPECT_EQ(r, 2);
    EXPECT_EQ(ToHex(Bytes(buf, buf + 2)), "12 34");
    EXPECT_GT(elapsed, 250);  // it waited for the pieces
    // Taken as soon as complete: no pause after the last byte, no 2 s wait.
    EXPECT_LT(late, 60) << "reply taken " << late << " ms after its last byte";
}

TEST_F(DllLine, ReplyByteByByteIsJoined) {
    std::uint8_t buf[2];
    Bytes reply = Hex("01 03 02 12 34 B5 33");
    std::vector<Bytes> pieces;
    for (std::uint8_t b : reply) pieces.push_back(Bytes{b});
    double elapsed = 0;
    EXPECT_EQ(Run([&] { return QV_ReadRegister(1, 1, 1, buf); }, 8, pieces, 20, &elapsed), 2);
    EXPECT_EQ(ToHex(Bytes(buf, buf + 2)), "12 34");
    EXPECT_LT(elapsed, 1500);
}

TEST_F(DllLine, StrayBytesArePurgedBeforeTheRequest) {
    std::uint8_t buf[2];
    peer_->Write(Hex("01 03 02 FF FF"));  // noise, or the tail of an old reply
    Sleep(150);
    EXPECT_EQ(Run([&] { return QV_ReadRegister(1, 1, 1, buf); }, 8, {Hex("01 03 02 12 34 B5 33")}), 2);
    EXPECT_EQ(ToHex(Bytes(buf, buf + 2)), "12 34");

    // Bytes after a complete reply are gone before the next request.
    EXPECT_EQ(
        Run([&] { return QV_ReadRegister(1, 1, 1, buf); }, 8, {WithCrc(Hex("01 03 02 00 07")), Hex("01 03 02")}, 100),
        2);
    EXPECT_EQ(ToHex(Bytes(buf, buf + 2)), "00 07");
    Sleep(100);
    EXPECT_EQ(Run([&] { return QV_ReadRegister(1, 1, 1, buf); }, 8, {Hex("01 03 02 12 34 B5 33")}), 2);
    EXPECT_EQ(ToHex(Bytes(buf, buf + 2)), "12 34");
    EXPECT_EQ(ToHex(request_), "01 03 00 01 00 01 D5 CA");
}

TEST_F(DllLine, NoReplyFailsAfterAboutTwoSeconds) {
    std::uint8_t buf[2];
    double cpu0 = CpuMs();
    double elapsed = 0;
    EXPECT_EQ(Run([&] { return QV_ReadRegister(1, 1, 1, buf); }, 8, {}, 0, &elapsed), -1);
    EXPECT_EQ(ToHex(request_), "01 03 00 01 00 01 D5 CA");
    EXPECT_GT(elapsed, 1800);
    EXPECT_LT(elapsed, 3500);
    EXPECT_LT(CpuMs() - cpu0, 500) << "waiting for a silent reader must not spin";
}

TEST_F(DllLine, ExceptionAndBadRepliesFailWithTheirCodes) {
    std::uint8_t buf[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    double elapsed = 0;
    // An exception reply is complete with its five bytes: it fails at once.
    EXPECT_EQ(Run([&] { return QV_ReadRegister(1, 1, 1, buf); }, 8, {Hex("01 83 02 C0 F1")}, 0, &elapsed), -1);
    EXPECT_EQ(lastError_, static_cast<DWORD>(QV_E_EXCEPTION_BASE + 2));
    EXPECT_LT(elapsed, 1000);
    // Right code, wrong CRC.
    EXPECT_EQ(Run([&] { return QV_ReadRegister(1, 1, 1, buf); }, 8, {Hex("01 03 02 12 34 33 B5")}), -1);
    EXPECT_EQ(lastError_, static_cast<DWORD>(QV_E_CRC));
    // A valid 0x10 echo to a 0x06 write.
    EXPECT_EQ(Run([&] { return QV_WriteRegister(1, 1, 3); }, 8, {WithCrc(Hex("01 10 00 01 00 01"))}), -1);
    EXPECT_EQ(lastError_, static_cast<DWORD>(QV_E_FUNCTION));
    EXPECT_EQ(ToHex(Bytes(buf, buf + 4)), "EE EE EE EE");
    // Nothing at all, after the wait.
    EXPECT_EQ(Run([&] { return QV_ReadRegister(1, 1, 1, buf); }, 8, {}, 0, &elapsed), -1);
    EXPECT_EQ(lastError_, static_cast<DWORD>(QV_E_NOREPLY));
    EXPECT_GT(elapsed, 1800);
    // Arguments refused, and no link: before anything is sent.
    EXPECT_EQ(QV_ReadRegister(1, 1, 0, buf), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(QV_E_ARGUMENT));
    QV_ComFree();
    EXPECT_EQ(QV_WriteRegister(1, 1, 3), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(QV_E_NOLINK));
    // An open that fails leaves the system's own code.
    EXPECT_EQ(QV_ComInitial(99, 19200), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(DllLine, OversizedRepliesNeverPassTheCallersBuffer) {
    // Two registers asked, 250 value bytes sent.
    Bytes big = Hex("01 03 FA");
    for (int i = 0; i < 250; ++i) big.push_back(static_cast<std::uint8_t>(i));
    std::uint8_t buf[4 + 32];
    std::memset(buf, 0xEE, sizeof buf);
    int r = Run([&] { return QV_ReadRegister(1, 0, 2, buf); }, 8, {WithCrc(big)});
    EXPECT_EQ(r, 4);  // cut to the two registers asked for
    EXPECT_EQ(ToHex(Bytes(buf, buf + 4)), "00 01 02 03");
    for (size_t i = 4; i < sizeof buf; ++i) ASSERT_EQ(buf[i], 0xEE) << "guard byte " << i;

    // A 200-byte information block for the 51 bytes a caller reserves.
    Bytes block = Hex("01 46 00");
    for (int i = 0; i < 200; ++i) block.push_back(static_cast<std::uint8_t>(0x80 + (i & 0x3F)));
    std::uint8_t info[QV_DEVICE_INFO_SIZE + 32];
    std::memset(info, 0xEE, sizeof info);
    r = Run([&] { return QV_GetDeviceInfo(1, info); }, 5, {WithCrc(block)});
    EXPECT_EQ(r, QV_DEVICE_INFO_SIZE);
    for (size_t i = QV_DEVICE_INFO_SIZE; i < sizeof info; ++i) ASSERT_EQ(info[i], 0xEE) << "guard byte " << i;

    // A flood far beyond the reply buffer: the command fails, nothing is overrun.
    Bytes flood = Hex("01 03 02");
    flood.resize(3000, 0x33);
    std::memset(buf, 0xEE, sizeof buf);
    r = Run([&] { return QV_ReadRegister(1, 0, 1, buf); }, 8, {flood});
    EXPECT_EQ(r, -1);
    for (size_t i = 0; i < sizeof buf; ++i) ASSERT_EQ(buf[i], 0xEE) << "byte " << i;
}

TEST_F(DllLine, SecondOpenMovesTheLinkAndFreeEndsIt) {
    // Reopening the same port closes the first handle: commands still work.
    int a = EnvNumber("QV_WIN_LINE_A");
    ASSERT_EQ(QV_ComInitial(a, 9600), 1);
    std::uint8_t buf[2];
    EXPECT_EQ(Run([&] { return QV_ReadRegister(1, 1, 1, buf); }, 8, {Hex("01 03 02 12 34 B5 33")}), 2);
    ASSERT_EQ(QV_ComFree(), 1);
    double t0 = NowMs();
    EXPECT_EQ(QV_ReadRegister(1, 1, 1, buf), -1);
    EXPECT_EQ(QV_WriteRegister(1, 1, 1), -1);
    EXPECT_LT(NowMs() - t0, 100);
    EXPECT_EQ(ToHex(peer_->Drain()), "");  // nothing was sent
    // A port that does not exist: 0, and commands fail at once.
    EXPECT_EQ(QV_ComInitial(250, 19200), 0);
    EXPECT_EQ(QV_ReadRegister(1, 1, 1, buf), -1);
    ASSERT_EQ(QV_ComInitial(a, 19200), 1);  // for TearDown
}
