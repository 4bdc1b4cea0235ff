// Our link library against the simulated reader: every command over a pty
// entered as a COM port, the faults the library must survive, and TCP.
#include <gtest/gtest.h>

#include <cerrno>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "pty_port.h"
#include "qvmodbusrtu.h"
#include "qvregisters.h"
#include "readersim.h"

using readersim::Fault;
using readersim::Options;
using readersim::Reader;
using readersim::Server;
using testsupport::Bytes;
using testsupport::Hex;
using testsupport::NowMs;
using testsupport::PortsDir;
using testsupport::ToHex;
using testsupport::WithCrc;

namespace {

constexpr int kPort = 4;

class LibrarySerial : public ::testing::Test {
protected:
    void SetUp() override {
        Options o;
        o.rearmMs = 0;
        reader_ = std::make_unique<Reader>(o);
        server_ = std::make_unique<Server>(*reader_);
        ASSERT_FALSE(server_->ServePty(dir_.path(), kPort).empty());
        ASSERT_EQ(QV_ComInitial(kPort, 19200), 1);
    }
    void TearDown() override {
        QV_ComFree();
        server_.reset();
    }
    Bytes LastFrame() const {
        auto log = server_->Requests();
        return log.empty() ? Bytes{} : log.back().frame;
    }
    std::uint16_t Reg(int a) {
        return server_->WithReader([a](Reader &r) { return r.Register(a); });
    }

    PortsDir dir_;
    std::unique_ptr<Reader> reader_;
    std::unique_ptr<Server> server_;
};

TEST_F(LibrarySerial, ReadsTheCardNumber) {
    unsigned char buf[8] = {0};
    ASSERT_EQ(QV_ReadRegister(1, qvreg::kCardNumber, qvreg::kCardNumberCount, buf), 8);
    EXPECT_EQ(ToHex(Bytes(buf, buf + 8)), "00 00 00 00 00 12 34 56");
    EXPECT_EQ(ToHex(LastFrame()), "01 03 00 04 00 04 05 C8");
    unsigned char one[2];
    ASSERT_EQ(QV_ReadRegister(1, qvreg::kBaudStation, 1, one), 2);
    EXPECT_EQ(ToHex(Bytes(one, one + 2)), "03 01");
    ASSERT_EQ(QV_ReadRegister(0, qvreg::kSameCardDelay, 1, one), 2) << "station 0 is answered";
    EXPECT_EQ(ToHex(Bytes(one, one + 2)), "00 14");
}

TEST_F(LibrarySerial, WritesRegisters) {
    ASSERT_EQ(QV_WriteRegister(1, qvreg::kLedBeep, 0x0611), 1);
    EXPECT_EQ(ToHex(LastFrame()), ToHex(WithCrc(Hex("01 06 00 03 06 11"))));
    EXPECT_EQ(Reg(qvreg::kLedBeep), 0x0611);
    const unsigned char words[4] = {0x06, 0x10, 0x00, 0x05};
    ASSERT_EQ(QV_WriteMultiRegister(1, qvreg::kParameter, 1, words), 1);
    EXPECT_EQ(Reg(qvreg::kParameter), 0x0610);
    ASSERT_EQ(QV_WriteMultiRegister(1, qvreg::kSameCardDelay, 1, words + 2), 1);
    EXPECT_EQ(Reg(qvreg::kSameCardDelay), 0x0005);
    unsigned char buf[8];
    ASSERT_EQ(QV_ReadRegister(1, qvreg::kCardNumber, 4, buf), 8);
    EXPECT_EQ(ToHex(Bytes(buf, buf + 8)), "00 00 00 00 00 12 34 56") << "Wiegand-26 of 0x00123456";
    EXPECT_EQ(QV_WriteRegister(1, 0x00FF, 1), -1) << "exception 2 from the reader";
}

TEST_F(LibrarySerial, ZeroingTheCardNumberReArmsReading) {
    server_->WithReader([](Reader &r) {
        r.SetRearmMs(300);
        r.SetCard(0x00A1B2C3D4ull);
    });
    const unsigned char zeros[8] = {0};
    ASSERT_EQ(QV_WriteMultiRegister(1, qvreg::kCardNumber, 4, zeros), 1);
    EXPECT_EQ(ToHex(LastFrame()), "01 10 00 04 00 04 08 00 00 00 00 00 00 00 00 47 B5");
    unsigned char buf[8];
    ASSERT_EQ(QV_ReadRegister(1, qvreg::kCardNumber, 4, buf), 8);
    EXPECT_EQ(ToHex(Bytes(buf, buf + 8)), "00 00 00 00 00 00 00 00");
    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    ASSERT_EQ(QV_ReadRegister(1, qvreg::kCardNumber, 4, buf), 8);
    EXPECT_EQ(ToHex(Bytes(buf, buf + 8)), "00 00 00 00 A1 B2 C3 D4");
}

TEST_F(LibrarySerial, DeviceInformation) {
    unsigned char info[QV_DEVICE_INFO_SIZE];
    std::memset(info, 0, sizeof info);
    ASSERT_EQ(QV_GetDeviceInfo(1, info), qvreg::kInfoUsed);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(info), 8), "QV-LF125");
    EXPECT_EQ(info[qvreg::kInfoVersionMajor], 1);
    EXPECT_EQ(info[qvreg::kInfoVersionMinor], 5);
    ASSERT_EQ(QV_SetBaseRegisterAddr(1, 0x1234), 1);
    EXPECT_EQ(ToHex(LastFrame()), ToHex(WithCrc(Hex("01 46 02 12 34"))));
    ASSERT_EQ(QV_GetDeviceInfo(1, info), qvreg::kInfoUsed);
    EXPECT_EQ(ToHex(Bytes(info + qvreg::kInfoBaseAddr, info + qvreg::kInfoBaseAddr + 2)), "12 34");
}

TEST_F(LibrarySerial, ReaderSpecificRequestsHaveTheLengthsTheReaderWants) {
    const unsigned char b[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    EXPECT_EQ(QV_DownKey(1, b), 1);
    EXPECT_EQ(QV_DownKeyEx(1, 0x01, b), 1);
    EXPECT_EQ(QV_SetDeviceTermNO(1, b), 1);
    EXPECT_EQ(QV_SetPermission(1, 0x07, b), 1);
    auto log = server_->Requests();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(ToHex(log[0].pdu), "46 01 01 02 03 04 05 06");
    EXPECT_EQ(log[1].pdu.size(), 19u);
    EXPECT_EQ(ToHex(log[2].pdu), "46 03 01 02 03 04 05 06");
    EXPECT_EQ(log[3].pdu.back(), 0x07) << "permission after the 16 bytes";
}

TEST_F(LibrarySerial, SurvivesSplitDelayedAndStrayReplies) {
    unsigned char buf[8];
    server_->UpdateFaultSettings([](readersim::FaultSettings &f) { f.gapMs = 40; });
    server_->InjectFault(Fault::Split);
    EXPECT_EQ(QV_ReadRegister(1, qvreg::kCardNumber, 4, buf), 8);
    server_->UpdateFaultSettings([](readersim::FaultSettings &f) { f.delayMs = 300; });
    server_->InjectFault(Fault::Delay);
    EXPECT_EQ(QV_ReadRegister(1, qvreg::kCardNumber, 4, buf), 8);
    server_->InjectFault(Fault::Stray);
    EXPECT_EQ(QV_ReadRegister(1, qvreg::kCardNumber, 4, buf), 8);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the stray bytes are queued now
    EXPECT_EQ(QV_ReadRegister(1, qvreg::kBaudStation, 1, buf), 2) << "the stray bytes were purged";
    EXPECT_EQ(ToHex(Bytes(buf, buf + 2)), "03 01");
    server_->InjectFault(Fault::Split);
    unsigned char info[QV_DEVICE_INFO_SIZE];
    EXPECT_EQ(QV_GetDeviceInfo(1, info), qvreg::kInfoUsed) << "a 0x46 reply completes by its CRC";
}

TEST_F(LibrarySerial, BadRepliesFail) {
    unsigned char buf[8];
    server_->InjectFault(Fault::BadCrc);
    double t0 = NowMs();
    EXPECT_EQ(QV_ReadRegister(1, qvreg::kCardNumber, 4, buf), -1);
    EXPECT_LT(NowMs() - t0, 1000) << "a complete reply with a bad CRC fails at once";
    server_->InjectFault(Fault::BadCrc);
    EXPECT_EQ(QV_WriteRegister(1, qvreg::kLedBeep, 1), -1);
    EXPECT_EQ(QV_ReadRegister(1, qvreg::kCardNumber, 4, buf), 8);
}

TEST_F(LibrarySerial, OversizedRepliesStayInsideTheCallersBuffer) {
    unsigned char buf[2 + 16];
    std::memset(buf, 0xCC, sizeof buf);
    server_->InjectFault(Fault::Oversized);
    int n = QV_ReadRegister(1, qvreg::kBaudStation, 1, buf);
    EXPECT_EQ(n, 2);  // a well-formed frame, cut to the one register asked for
    for (std::size_t i = 2; i < sizeof buf; ++i) ASSERT_EQ(buf[i], 0xCC) << "byte " << i;
    unsigned char info[QV_DEVICE_INFO_SIZE + 16];
    std::memset(info, 0xCC, sizeof info);
    server_->InjectFault(Fault::Oversized);
    n = QV_GetDeviceInfo(1, info);
    EXPECT_EQ(n, QV_DEVICE_INFO_SIZE);
    for (std::size_t i = QV_DEVICE_INFO_SIZE; i < sizeof info; ++i) ASSERT_EQ(info[i], 0xCC) << "byte " << i;
}

TEST_F(LibrarySerial, ExceptionFailsAtOnceSilenceAfterTheReplyWait) {
    unsigned char buf[8];
    server_->InjectFault(Fault::Exception);
    double t0 = NowMs();
    EXPECT_EQ(QV_ReadRegister(1, qvreg::kCardNumber, 4, buf), -1);
    EXPECT_EQ(errno, QV_E_EXCEPTION_BASE + 4);
    double ms = NowMs() - t0;
    EXPECT_LT(ms, 1000) << "an exception reply is complete with its five bytes";
    server_->InjectFault(Fault::NoReply);
    t0 = NowMs();
    EXPECT_EQ(QV_WriteRegister(1, qvreg::kLedBeep, 0x0611), -1);
    EXPECT_EQ(errno, QV_E_NOREPLY);
    ms = NowMs() - t0;
    EXPECT_GE(ms, 1900);
    EXPECT_LT(ms, 4000);
    EXPECT_EQ(Reg(qvreg::kLedBeep), 0x0611) << "the reader carried the write out";
}

TEST_F(LibrarySerial, NewStationAnswersUnderItsNewId) {
    ASSERT_EQ(QV_WriteRegister(1, qvreg::kBaudStation, 0x0309), 1);
    unsigned char buf[2];
    ASSERT_EQ(QV_ReadRegister(9, qvreg::kBaudStation, 1, buf), 2);
    EXPECT_EQ(ToHex(Bytes(buf, buf + 2)), "03 09");
}

// Two readers on one line, as a client that scans stations meets them: each
// id answers alone, an absent one stays silent, station 0 draws both and
// the collision fails its CRC at once instead of waiting out the reply time.
TEST(LibraryBus, StationsAnswerAloneAndStationZeroFails) {
    PortsDir dir;
    Options o;
    o.station = 3;
    Reader a(o);
    o.station = 17;
    Reader b(o);
    b.SetRegister(qvreg::kSameCardDelay, 7);
    Server server(std::vector<Reader *>{&a, &b});
    ASSERT_FALSE(server.ServePty(dir.path(), kPort).empty());
    ASSERT_EQ(QV_ComInitial(kPort, 19200), 1);
    unsigned char buf[2] = {0, 0};
    ASSERT_EQ(QV_ReadRegister(3, qvreg::kSameCardDelay, 1, buf), 2);
    EXPECT_EQ(ToHex(Bytes(buf, buf + 2)), "00 14");
    ASSERT_EQ(QV_ReadRegister(17, qvreg::kSameCardDelay, 1, buf), 2);
    EXPECT_EQ(ToHex(Bytes(buf, buf + 2)), "00 07");
    double t0 = NowMs();
    EXPECT_EQ(QV_ReadRegister(0, qvreg::kBaudStation, 1, buf), -1);
    EXPECT_LT(NowMs() - t0, 1000);
    EXPECT_EQ(QV_ReadRegister(9, qvreg::kBaudStation, 1, buf), -1);
    EXPECT_GE(NowMs() - t0, 1500) << "silence: the library's full reply wait";
    QV_ComFree();
}

TEST(LibraryTcp, CommandsOverModbusTcp) {
    Reader reader;
    Server server(reader);
    int port = server.ServeTcp(0);
    ASSERT_GT(port, 0);
    ASSERT_EQ(QV_TCPConnect("127.0.0.1", port), 1);
    unsigned char buf[8];
    EXPECT_EQ(QV_ReadRegister(1, qvreg::kCardNumber, 4, buf), 8);
    EXPECT_EQ(ToHex(Bytes(buf, buf + 8)), "00 00 00 00 00 12 34 56");
    EXPECT_EQ(QV_WriteRegister(1, qvreg::kLedBeep, 0x0611), 1);
    const unsigned char zeros[8] = {0};
    EXPECT_EQ(QV_WriteMultiRegister(1, qvreg::kCardNumber, 4, zeros), 1);
    unsigned char info[QV_DEVICE_INFO_SIZE];
    EXPECT_EQ(QV_GetDeviceInfo(1, info), qvreg::kInfoUsed);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(info), 8), "QV-LF125");
    auto log = server.Requests();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_TRUE(log[0].tcp);
    EXPECT_EQ(ToHex(log[0].frame), "00 00 00 00 00 06 01 03 00 04 00 04");
    server.InjectFault(Fault::BadCrc);
    EXPECT_EQ(QV_ReadRegister(1, qvreg::kCardNumber, 4, buf), -1) << "wrong length field";
    server.InjectFault(Fault::Stray);
    EXPECT_EQ(QV_ReadRegister(1, qvreg::kCardNumber, 4, buf), 8);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(QV_ReadRegister(1, qvreg::kCardNumber, 4, buf), 8) << "stale bytes are discarded";
    EXPECT_EQ(server.WithReader([](Reader &r) { return r.Register(qvreg::kLedBeep); }), 0x0611);
    EXPECT_EQ(QV_TCPFree(), 1);
}

}  // namespace
