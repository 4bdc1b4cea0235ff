// The traffic trace: the frames of a good exchange, and one line that names
// the reason of every kind of failure, with the result left as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <memory>
#include <thread>

#include "Trace.h"
#include "pty_port.h"
#include "qvmodbusrtu.h"
#include "tcp_peer.h"

using namespace testsupport;

namespace {

class Trace : public ::testing::Test {
protected:
    void SetUp() override {
        file_ = dir_.path() + "/trace.log";
        trace::Configure(file_.c_str());
    }
    void TearDown() override {
        QV_ComFree();
        QV_TCPFree();
        trace::Configure(nullptr);
    }
    std::vector<std::string> Lines() const {
        std::ifstream in(file_);
        std::vector<std::string> lines;
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        return lines;
    }
    // The one line that reports a failure.
    std::string FailureLine() const {
        std::string found;
        for (const std::string &l : Lines())
            if (l.find(" ! ") != std::string::npos) {
                EXPECT_TRUE(found.empty()) << "a second failure line: " << l;
                found = l;
            }
        return found;
    }
    PortsDir dir_;
    std::string file_;
};

// What follows a line's time stamp "2026-12-07 23:44:45.123 ", or "" when
// the line does not start with one.
std::string AfterStamp(const std::string &line) {
    const std::string shape = "dddd-dd-dd dd:dd:dd.ddd ";
    if (line.size() < shape.size()) return "";
    for (size_t i = 0; i < shape.size(); ++i)
        if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(line[i])) : line[i] != shape[i]) return "";
    return line.substr(shape.size());
}

struct ReplyCase {
    const char *name;
    bool tcp;
    const char *reply;  // "" for none
    std::vector<const char *> reason;
};

const ReplyCase kReplyCases[] = {
    {"no reply", false, "", {"no reply within 2000 ms"}},
    {"CRC swapped", false, "01 03 02 12 34 33 B5", {"CRC mismatch", "33 B5", "B5 33"}},
    {"short serial reply", false, "01 03 02 12", {"incomplete reply", "4 of 7 bytes"}},
    {"bad CRC, length unknown", false, "01 46 00 51 56 AA BB", {"CRC mismatch", "AA BB"}},
    {"exception", true, "00 00 00 00 00 03 01 83 02", {"exception", "02", "illegal data address"}},
    {"another function", true, "00 00 00 00 00 07 01 04 04 00 01 00 02", {"expected function 03, received 04"}},
    {"short TCP reply", true, "00 00 00 00 00 07 01 03 04 00 01", {"incomplete reply", "11 of the 13 bytes"}},
};

}  // namespace

TEST_F(Trace, GoodExchangeShowsBothFramesWithTimeAndLink) {
    PtyPort com(dir_, 3);
    ASSERT_EQ(QV_ComInitial(3, 19200), 1);
    std::thread reader([&] {
        com.Read(8, 3000);
        com.Write(Hex("01 03 02 12 34 B5 33"));
    });
    std::uint8_t buf[2];
    EXPECT_EQ(QV_ReadRegister(1, 1, 1, buf), 2);
    reader.join();
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(AfterStamp(lines[0]), "COM3 open " + com.slavePath() + " at 19200 bit/s, 8N1") << lines[0];
    EXPECT_EQ(AfterStamp(lines[1]), "COM3 > 01 03 00 01 00 01 D5 CA") << lines[1];
    EXPECT_EQ(AfterStamp(lines[2]), "COM3 < 01 03 02 12 34 B5 33") << lines[2];
}

TEST_F(Trace, EachFailingReplyIsExplainedAndStillFails) {
    for (const ReplyCase &c : kReplyCases) {
        SCOPED_TRACE(c.name);
        trace::Configure(nullptr);
        unlink(file_.c_str());
        trace::Configure(file_.c_str());
        std::unique_ptr<PtyPort> com;
        std::unique_ptr<TcpPeer> peer;
        int conn = -1;
        if (c.tcp) {
            peer = std::make_unique<TcpPeer>();
            ASSERT_EQ(QV_TCPConnect("127.0.0.1", peer->port()), 1);
            conn = peer->Accept();
        } else {
            com = std::make_unique<PtyPort>(dir_, 1);
            ASSERT_EQ(QV_ComInitial(1, 19200), 1);
        }
        const Bytes reply = Hex(c.reply);
        std::thread reader([&] {
            if (c.tcp) {
                TcpPeer::ReadFrame(conn);
                if (!reply.empty()) TcpPeer::Send(conn, reply);
            } else {
                com->Read(8, 3000);
                if (!reply.empty()) com->Write(reply);
            }
        });
        std::uint8_t buf[4];
        EXPECT_EQ(QV_ReadRegister(1, 1, c.tcp ? 2 : 1, buf), -1);
        reader.join();
        const std::string line = FailureLine();
        EXPECT_NE(line.find(c.tcp ? "127.0.0.1:" : " COM1 "), std::string::npos) << line;
        EXPECT_NE(line.find("QV_ReadRegister(station 1, address 1, count"), std::string::npos) << line;
        for (const char *word : c.reason) EXPECT_NE(line.find(word), std::string::npos) << word << " in: " << line;
        if (!reply.empty()) {  // what came is shown as it came
            bool shown = false;
            for (const std::string &l : Lines()) shown = shown || l.find("< " + ToHex(reply)) != std::string::npos;
            EXPECT_TRUE(shown);
        }
        QV_ComFree();
        QV_TCPFree();
    }
}

TEST_F(Trace, LinksThatCannotBeOpenedSayWhy) {
    EXPECT_EQ(QV_ComInitial(200, 19200), 0);
    std::string line = FailureLine();
    EXPECT_NE(line.find("COM200 ! QV_ComInitial(200, 19200) gives 0"), std::string::npos) << line;
    EXPECT_NE(line.find("no device is COM200"), std::string::npos) << line;

    int closedPort;
    {
        TcpPeer gone;
        closedPort = gone.port();
    }
    trace::Configure(nullptr);
    unlink(file_.c_str());
    trace::Configure(file_.c_str());
    EXPECT_EQ(QV_TCPConnect("127.0.0.1", closedPort), -2);
    line = FailureLine();
    EXPECT_NE(line.find("Connection refused"), std::string::npos) << line;

    // A command without a link, and arguments refused before sending.
    std::uint8_t buf[2];
    QV_TCPFree();
    EXPECT_EQ(QV_ReadRegister(1, 1, 1, buf), -1);
    EXPECT_EQ(QV_ReadRegister(1, 1, 0, buf), -1);
    const auto lines = Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines[lines.size() - 2].find("no link is open"), std::string::npos) << lines[lines.size() - 2];
    EXPECT_NE(lines.back().find("count must be 1 to 125; nothing sent"), std::string::npos) << lines.back();
}

TEST_F(Trace, PortWithoutPermissionNamesDeviceReasonAndRemedy) {
    if (geteuid() == 0) GTEST_SKIP() << "root may open any device";
    // Group may read and write, the owner (this user) may not: only
    // membership of the group would help, as with a dialout device.
    const std::string device = dir_.path() + "/ttyFAKE0";
    int fd = open(device.c_str(), O_CREAT | O_WRONLY, 0060);
    ASSERT_GE(fd, 0);
    close(fd);
    chmod(device.c_str(), 0060);
    dir_.Link("COM7", device);
    EXPECT_EQ(QV_ComInitial(7, 19200), 0);
    const std::string line = FailureLine();
    for (const char *word : {"ttyFAKE0", "(COM7)", "Permission denied", "usermod -aG"})
        EXPECT_NE(line.find(word), std::string::npos) << word << " in: " << line;
}
