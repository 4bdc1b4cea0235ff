// The DLL's TCP link against a Winsock peer the test plays on loopback: a
// reply is framed by its MBAP length field, and a length that does not match
// what arrived fails.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <windows.h>

#include <thread>

#include "qvmodbusrtu.h"
#include "win_support.h"

using testsupport::Bytes;
using testsupport::Hex;
using testsupport::NowMs;
using testsupport::ToHex;

namespace {

class DllTcp : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA wsa;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
        listen_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(listen_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        ASSERT_EQ(listen(listen_, 1), 0);
        int len = sizeof a;
        getsockname(listen_, reinterpret_cast<sockaddr *>(&a), &len);
        ASSERT_EQ(QV_TCPConnect("127.0.0.1", ntohs(a.sin_port)), 1);
        conn_ = accept(listen_, nullptr, nullptr);
        ASSERT_NE(conn_, INVALID_SOCKET);
    }
    void TearDown() override {
        EXPECT_EQ(QV_TCPFree(), 1);
        closesocket(conn_);
        closesocket(listen_);
        WSACleanup();
    }
    // Reads the 12-byte read request, answers with reply, and runs the read.
    int ReadWith(const Bytes &reply, std::uint8_t *buf, double *ms) {
        std::thread peer([this, reply] {
            char req[12];
            int got = 0;
            while (got < 12) {
                int r = recv(conn_, req + got, 12 - got, 0);
                if (r <= 0) return;
                got += r;
            }
            request_.assign(req, req + 12);
            send(conn_, reinterpret_cast<const char *>(reply.data()), static_cast<int>(reply.size()), 0);
        });
        double t0 = NowMs();
        int r = QV_ReadRegister(1, 0, 2, buf);
        *ms = NowMs() - t0;
        peer.join();
        return r;
    }
    SOCKET listen_ = INVALID_SOCKET, conn_ = INVALID_SOCKET;
    Bytes request_;
};

}  // namespace

TEST_F(DllTcp, MatchingLengthFieldIsAccepted) {
    std::uint8_t buf[4];
    double ms = 0;
    EXPECT_EQ(ReadWith(Hex("00 00 00 00 00 07 01 03 04 00 01 00 02"), buf, &ms), 4);
    EXPECT_EQ(ToHex(request_), "00 00 00 00 00 06 01 03 00 00 00 02");
    EXPECT_EQ(ToHex(Bytes(buf, buf + 4)), "00 01 00 02");
}

TEST_F(DllTcp, LengthFieldTooSmallFailsTheLengthCheck) {
    std::uint8_t buf[4];
    double ms = 0;
    EXPECT_EQ(ReadWith(Hex("00 00 00 00 00 06 01 03 04 00 01 00 02"), buf, &ms), -1);
    EXPECT_LT(ms, 1000);
}

TEST_F(DllTcp, LengthFieldOneTooLargeFailsAfterTheWait) {
    std::uint8_t buf[4];
    double ms = 0;
    EXPECT_EQ(ReadWith(Hex("00 00 00 00 00 08 01 03 04 00 01 00 02"), buf, &ms), -1);
    EXPECT_GE(ms, 1900);
    EXPECT_LT(ms, 3000);
}
