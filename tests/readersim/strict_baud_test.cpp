// A simulated reader that minds its bit rate: on a pty, a request the client
// sent at another rate than 40001 names goes unanswered, as on a real line,
// and a new rate written to 40001 applies from the next request.
#include <gtest/gtest.h>
#include <termios.h>

#include <algorithm>
#include <memory>
#include <mutex>

#include "pty_port.h"
#include "qvmodbusrtu.h"
#include "qvregisters.h"
#include "readersim.h"
#include "sim_client.h"

using readersim::Options;
using readersim::Reader;
using readersim::Server;
using simtest::RawPort;
using testsupport::Bytes;
using testsupport::Hex;
using testsupport::PortsDir;
using testsupport::ToHex;
using testsupport::WithCrc;

namespace {

const Bytes kReadBaud = WithCrc(Hex("01 03 00 01 00 01"));

// The client's end of the pty at a rate of the standard table.
void SetRate(const RawPort &p, speed_t speed) {
    termios t;
    ASSERT_EQ(tcgetattr(p.fd(), &t), 0);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    ASSERT_EQ(tcsetattr(p.fd(), TCSANOW, &t), 0);
}

class StrictPty : public ::testing::Test {
protected:
    void SetUp() override {
        Options o;
        o.strictBaud = true;
        reader_ = std::make_unique<Reader>(o);
        server_ = std::make_unique<Server>(*reader_);
        server_->SetVerbose(true);
        server_->SetLogSink([this](const std::string &s) {
            std::lock_guard<std::mutex> g(m_);
            lines_.push_back(s);
        });
        ASSERT_FALSE(server_->ServePty(dir_.path(), 3).empty());
        port_ = std::make_unique<RawPort>(RawPort::Serial(dir_.path() + "/COM3"));
        ASSERT_TRUE(port_->ok());
    }
    void TearDown() override {
        port_.reset();
        server_.reset();
    }
    Bytes Ask(const Bytes &request) {
        port_->Write(request);
        return port_->Drain();
    }
    bool Silent(const Bytes &request) {
        port_->Write(request);
        return port_->Drain(150, 150).empty();
    }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> g(m_);
        return lines_;
    }

    PortsDir dir_;
    std::unique_ptr<Reader> reader_;
    std::unique_ptr<Server> server_;
    std::unique_ptr<RawPort> port_;
    std::mutex m_;
    std::vector<std::string> lines_;
};

TEST_F(StrictPty, OnlyTheReadersRateIsAnswered) {
    SetRate(*port_, B9600);
    EXPECT_TRUE(Silent(kReadBaud));
    SetRate(*port_, B38400);
    EXPECT_TRUE(Silent(kReadBaud)) << "a pty's own default rate is no exception";
    SetRate(*port_, B19200);
    EXPECT_EQ(ToHex(Ask(kReadBaud)), ToHex(WithCrc(Hex("01 03 02 03 01"))));

    // The unanswered requests are no requests to the reader: one verbose
    // line each, naming the client's rate, and nothing in the request log.
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 4u) << "two unanswered, one request and its reply";
    EXPECT_EQ(lines[0].rfind("COM3 <01><03><00><01><00><01><D5><CA>", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("9600"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("38400"), std::string::npos) << lines[1];
    EXPECT_EQ(server_->Requests().size(), 1u);
}

TEST_F(StrictPty, NewRateAppliesFromTheNextRequest) {
    SetRate(*port_, B19200);
    // The write itself comes at the old rate and is answered.
    const Bytes write = WithCrc(Hex("01 06 00 01 05 01"));
    EXPECT_EQ(ToHex(Ask(write)), ToHex(write));
    EXPECT_EQ(reader_->LineRate(), 38400);
    EXPECT_TRUE(Silent(kReadBaud)) << "19200 is no longer the line's rate";
    SetRate(*port_, B38400);
    EXPECT_EQ(ToHex(Ask(kReadBaud)), ToHex(WithCrc(Hex("01 03 02 05 01"))));
}

TEST(StrictBaud, StartRateComesFromTheOptions) {
    Options o;
    o.baud = 57600;
    o.station = 9;
    Reader r(o);
    EXPECT_EQ(r.Register(qvreg::kBaudStation), 0x0609);
    EXPECT_EQ(r.LineRate(), 57600);
    o.baud = 12345;  // not a rate of the reader: the usual 19200
    EXPECT_EQ(Reader(o).Register(qvreg::kBaudStation), 0x0309);
}

TEST(StrictBaud, WithoutItAnyRateIsAnsweredAndTcpNeverMinds) {
    PortsDir dir;
    Reader loose;
    Server looseServer(loose);
    ASSERT_FALSE(looseServer.ServePty(dir.path(), 4).empty());
    RawPort p = RawPort::Serial(dir.path() + "/COM4");
    SetRate(p, B9600);
    p.Write(kReadBaud);
    EXPECT_EQ(ToHex(p.Drain()), ToHex(WithCrc(Hex("01 03 02 03 01"))));

    Options o;
    o.strictBaud = true;
    Reader strict(o);
    Server strictServer(strict);
    const int tcp = strictServer.ServeTcp(0);
    ASSERT_GT(tcp, 0);
    RawPort c = RawPort::Tcp(tcp);
    c.Write(Hex("00 07 00 00 00 06 01 03 00 01 00 01"));
    EXPECT_EQ(ToHex(c.Read(11, 2000)), "00 07 00 00 00 05 01 03 02 03 01");
}

// On a bus each reader hears only its own rate: station 0 sent at one
// reader's rate is answered by that reader alone, cleanly.
TEST(StrictBaud, EachReaderOfABusHearsItsOwnRate) {
    PortsDir dir;
    Options o;
    o.strictBaud = true;
    o.station = 3;
    o.baud = 9600;
    Reader slow(o);
    o.station = 17;
    o.baud = 19200;
    Reader fast(o);
    Server server(std::vector<Reader *>{&slow, &fast});
    std::mutex m;
    std::vector<std::string> lines;
    server.SetVerbose(true);
    server.SetLogSink([&](const std::string &s) {
        std::lock_guard<std::mutex> g(m);
        lines.push_back(s);
    });
    ASSERT_FALSE(server.ServePty(dir.path(), 7).empty());
    RawPort p = RawPort::Serial(dir.path() + "/COM7");
    auto ask = [&](const std::string &request) {
        p.Write(WithCrc(Hex(request)));
        return ToHex(p.Drain(30, 150, 1000));
    };
    const struct {
        speed_t rate;
        const char *request, *reply;
    } cases[] = {
        {B19200, "00 03 00 01 00 01", "00 03 02 03 11 45 78"},
        {B19200, "03 03 00 01 00 01", ""},
        {B9600, "00 03 00 01 00 01", "00 03 02 01 03 C4 15"},
        {B9600, "11 03 00 01 00 01", ""},
        {B38400, "00 03 00 01 00 01", ""},
    };
    for (const auto &c : cases) {
        SetRate(p, c.rate);
        EXPECT_EQ(ask(c.request), c.reply) << c.request << " at speed code " << c.rate;
    }
    EXPECT_EQ(server.Requests().size(), 4u) << "the request no reader heard is no request";
    std::lock_guard<std::mutex> g(m);
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "COM7 station 3 runs at 9600 bit/s: not understood, no reply"),
              lines.end());
    EXPECT_NE(lines.back().find("sent at 38400 bit/s, the readers run at 9600 (station 3), 19200 (station 17)"),
              std::string::npos)
        << lines.back();
}

// Through the library, at rates the standard table lacks (termios2 on the
// client's side): the reader hears only its own.
TEST(StrictBaud, LibraryAtTheReadersOddRate) {
    PortsDir dir;
    Options o;
    o.strictBaud = true;
    o.baud = 14400;
    Reader reader(o);
    Server server(reader);
    ASSERT_FALSE(server.ServePty(dir.path(), 6).empty());
    unsigned char buf[2] = {0, 0};
    ASSERT_EQ(QV_ComInitial(6, 28800), 1);
    EXPECT_EQ(QV_ReadRegister(0, qvreg::kBaudStation, 1, buf), -1);
    ASSERT_EQ(QV_ComInitial(6, 14400), 1);
    EXPECT_EQ(QV_ReadRegister(0, qvreg::kBaudStation, 1, buf), 2);
    EXPECT_EQ(ToHex(Bytes(buf, buf + 2)), "02 01");
    QV_ComFree();
}

}  // namespace
