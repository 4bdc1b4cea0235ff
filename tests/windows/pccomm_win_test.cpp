// The Win32 serial primitives on a pair of joined COM ports: opening by
// number, waiting for input without spinning, the byte a wait takes, purging
// and the read bound.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstring>
#include <memory>

#include "Pccomm.h"
#include "win_support.h"

using namespace winsupport;
using testsupport::Hex;
using testsupport::NowMs;
using testsupport::ToHex;

namespace {

class Line : public ::testing::Test {
protected:
    void SetUp() override {
        int a = EnvNumber("QV_WIN_LINE_A"), b = EnvNumber("QV_WIN_LINE_B");
        ASSERT_GT(a, 0) << "QV_WIN_LINE_A is not set: run the suite through scripts/test-windows";
        ASSERT_GT(b, 0) << "QV_WIN_LINE_B is not set: run the suite through scripts/test-windows";
        peer_ = std::make_unique<RawPort>(b);
        ASSERT_TRUE(peer_->ok());
        h_ = pccomm::ComOpen(a, 19200);
        ASSERT_NE(h_, 0);
    }
    void TearDown() override {
        if (h_) {
            EXPECT_EQ(pccomm::ComClose(h_), 0);
        }
        peer_.reset();
    }
    // Reads until n bytes came or ms passed, waiting in ComWait.
    Bytes ReadAll(size_t n, int ms) {
        Bytes out;
        double end = NowMs() + ms;
        std::uint8_t buf[pccomm::kReadChunk];
        while (out.size() < n) {
            int left = static_cast<int>(end - NowMs());
            if (left <= 0 || pccomm::ComWait(h_, left) <= 0) break;
            int got = pccomm::ComRead(h_, buf);
            out.insert(out.end(), buf, buf + got);
        }
        return out;
    }
    std::unique_ptr<RawPort> peer_;
    pccomm::PortHandle h_ = 0;
};

}  // namespace

TEST_F(Line, WriteReachesTheLineExactly) {
    Bytes req = Hex("01 03 00 00 00 0A C5 CD");
    EXPECT_EQ(pccomm::ComWrite(h_, req.data(), static_cast<int>(req.size())), 8);
    EXPECT_EQ(ToHex(peer_->Read(8, 2000)), ToHex(req));
    EXPECT_EQ(ToHex(peer_->Drain()), "");
}

TEST_F(Line, WaitReturnsWithTheFirstByteAndReadHandsItOut) {
    std::thread t([this] {
        Sleep(300);
        peer_->Write(Hex("11 22 33 44 55"));
    });
    double t0 = NowMs();
    EXPECT_EQ(pccomm::ComWait(h_, 3000), 1);
    double waited = NowMs() - t0;
    t.join();
    EXPECT_GT(waited, 200);
    EXPECT_LT(waited, 1500);
    // The byte the wait took comes first, then the rest, in order.
    Bytes got = ReadAll(5, 1000);
    EXPECT_EQ(ToHex(got), "11 22 33 44 55");
}

TEST_F(Line, WaitWithBytesQueuedReturnsAtOnce) {
    peer_->Write(Hex("AA BB"));
    ASSERT_EQ(pccomm::ComWait(h_, 2000), 1);
    Sleep(100);  // both bytes queued
    double t0 = NowMs();
    EXPECT_EQ(pccomm::ComWait(h_, 2000), 1);
    EXPECT_LT(NowMs() - t0, 100);
    EXPECT_EQ(ToHex(ReadAll(2, 500)), "AA BB");
}

TEST_F(Line, SilentLineWaitsTheTimeGivenWithoutSpinning) {
    double cpu0 = CpuMs();
    double t0 = NowMs();
    EXPECT_EQ(pccomm::ComWait(h_, 800), 0);
    double waited = NowMs() - t0;
    double cpu = CpuMs() - cpu0;
    EXPECT_GT(waited, 700);
    EXPECT_LT(waited, 2500);
    EXPECT_LT(cpu, 200) << "the wait must block, not poll";
    std::uint8_t buf[pccomm::kReadChunk];
    EXPECT_EQ(pccomm::ComRead(h_, buf), 0);
    EXPECT_EQ(pccomm::ComWait(h_, 0), 0);
}

TEST_F(Line, WritePurgesTheByteAWaitTookAndQueuedInput) {
    peer_->Write(Hex("DE AD BE EF"));
    ASSERT_EQ(pccomm::ComWait(h_, 2000), 1);
    Sleep(100);
    Bytes req = Hex("01 06 00 01 00 03 98 0B");
    ASSERT_EQ(pccomm::ComWrite(h_, req.data(), static_cast<int>(req.size())), 8);
    std::uint8_t buf[pccomm::kReadChunk];
    EXPECT_EQ(pccomm::ComRead(h_, buf), 0);
    EXPECT_EQ(pccomm::ComWait(h_, 200), 0);
    EXPECT_EQ(ToHex(peer_->Read(8, 2000)), ToHex(req));
}

TEST_F(Line, MoreThanOneReadChunkQueuedIsDiscarded) {
    Bytes flood(1500, 0x5A);
    peer_->Write(flood);
    Sleep(500);  // all of it queued
    std::uint8_t buf[pccomm::kReadChunk + 16];
    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(pccomm::ComRead(h_, buf), 0);
    for (size_t i = 0; i < sizeof buf; ++i) ASSERT_EQ(buf[i], 0xEE) << "byte " << i << " written";
    EXPECT_EQ(pccomm::ComWait(h_, 200), 0);
}

TEST(PortOpen, BadNumbersAndHandles) {
    EXPECT_EQ(pccomm::ComOpen(0, 19200), 0);
    EXPECT_EQ(pccomm::ComOpen(-3, 19200), 0);
    EXPECT_EQ(pccomm::ComOpen(250, 19200), 0);  // no such port
    int gone = EnvNumber("QV_WIN_GONE_COM");
    ASSERT_GT(gone, 0) << "QV_WIN_GONE_COM is not set: run the suite through scripts/test-windows";
    EXPECT_EQ(pccomm::ComOpen(gone, 19200), 0);  // mapped, but its device has gone
    int a = EnvNumber("QV_WIN_LINE_A");
    ASSERT_GT(a, 0);
    EXPECT_EQ(pccomm::ComOpen(a, 0), 0);
    EXPECT_EQ(pccomm::ComClose(0), -1);
    std::uint8_t buf[pccomm::kReadChunk];
    EXPECT_EQ(pccomm::ComWrite(0, buf, 1), -1);
    EXPECT_EQ(pccomm::ComRead(0, buf), 0);
    EXPECT_EQ(pccomm::ComWait(0, 10), pccomm::kLineGone);
}

TEST(TickCount, FollowsTheClock) {
    std::uint32_t t0 = pccomm::TickCount();
    Sleep(200);
    std::uint32_t d = pccomm::TickCount() - t0;
    EXPECT_GE(d, 150u);
    EXPECT_LT(d, 1000u);
}
