// The nine commands over a serial line: request bytes, results for good and
// bad replies, argument checks and the bounds of the caller's buffers.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <thread>

#include "pty_port.h"
#include "qvmodbusrtu.h"

using namespace testsupport;

namespace {

// The reader's side of one exchange: collect the request (by quiet gap),
// then answer with the given bytes (none = stay silent).
class OneShotReader {
public:
    OneShotReader(const PtyPort &port, Bytes reply) : port_(port) {
        thread_ = std::thread([this, reply] {
            request_ = port_.Read(1, 3000);
            Bytes rest = port_.Drain(15);
            request_.insert(request_.end(), rest.begin(), rest.end());
            if (!request_.empty() && !reply.empty()) port_.Write(reply);
        });
    }
    ~OneShotReader() { Join(); }
    const Bytes &Request() {
        Join();
        return request_;
    }

private:
    void Join() {
        if (thread_.joinable()) thread_.join();
    }
    const PtyPort &port_;
    Bytes request_;
    std::thread thread_;
};

struct Command {
    std::string name;
    std::function<int(std::uint8_t *out)> call;
    Bytes request;  // the whole frame expected on the wire
    Bytes reply;    // a valid reply, CRC included
    int result;     // for the valid reply
    Bytes out;      // what the valid reply puts in the caller's buffer
};
[[maybe_unused]] void PrintTo(const Command &c, std::ostream *os) {
    *os << c.name;
}

const Bytes kKey6 = Hex("A1 A2 A3 A4 A5 A6");
const Bytes kKey16 = Hex("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF");
const Bytes kInfo12 = Hex("51 56 2D 4C 46 31 32 35 12 34 01 05");

std::vector<Command> AllCommands() {
    return {
        {"WriteRegister",
         [](std::uint8_t *) { return QV_WriteRegister(1, 1, 3); },
         Hex("01 06 00 01 00 03 98 0B"),
         WithCrc(Hex("01 06 00 01 00 03")),
         1,
         {}},
        {"ReadRegister", [](std::uint8_t *o) { return QV_ReadRegister(1, 1, 1, o); }, WithCrc(Hex("01 03 00 01 00 01")),
         Hex("01 03 02 12 34 B5 33"), 2, Hex("12 34")},
        {"ReadRegister4", [](std::uint8_t *o) { return QV_ReadRegister(1, 4, 4, o); },
         WithCrc(Hex("01 03 00 04 00 04")), WithCrc(Hex("01 03 08 00 00 00 12 34 56 78 9A")), 8,
         Hex("00 00 00 12 34 56 78 9A")},
        {"WriteMultiRegister",
         [](std::uint8_t *) {
             std::uint8_t zeros[8] = {};
             return QV_WriteMultiRegister(1, 4, 4, zeros);
         },
         Hex("01 10 00 04 00 04 08 00 00 00 00 00 00 00 00 47 B5"),
         WithCrc(Hex("01 10 00 04 00 04")),
         1,
         {}},
        {"GetDeviceInfo", [](std::uint8_t *o) { return QV_GetDeviceInfo(1, o); }, Hex("01 46 00 12 60"),
         WithCrc(Bytes{0x01, 0x46, 0x00, 0x51, 0x56, 0x2D, 0x4C, 0x46, 0x31, 0x32, 0x35, 0x12, 0x34, 0x01, 0x05}), 12,
         kInfo12},
        {"DownKey",
         [](std::uint8_t *) { return QV_DownKey(1, kKey6.data()); },
         WithCrc(Hex("01 46 01 A1 A2 A3 A4 A5 A6")),
         WithCrc(Hex("01 46 01")),
         1,
         {}},
        {"DownKeyEx",
         [](std::uint8_t *) { return QV_DownKeyEx(1, 0x07, kKey16.data()); },
         WithCrc(Hex("01 46 01 07 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF")),
         WithCrc(Hex("01 46 01")),
         1,
         {}},
        {"SetBaseRegisterAddr",
         [](std::uint8_t *) { return QV_SetBaseRegisterAddr(1, 0x1234); },
         WithCrc(Hex("01 46 02 12 34")),
         WithCrc(Hex("01 46 02")),
         1,
         {}},
        {"SetDeviceTermNO",
         [](std::uint8_t *) { return QV_SetDeviceTermNO(1, kKey6.data()); },
         WithCrc(Hex("01 46 03 A1 A2 A3 A4 A5 A6")),
         WithCrc(Hex("01 46 03")),
         1,
         {}},
        {"SetPermission",
         [](std::uint8_t *) { return QV_SetPermission(1, 0x5A, kKey16.data()); },
         WithCrc(Hex("01 46 04 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF 5A")),
         WithCrc(Hex("01 46 04")),
         1,
         {}},
    };
}

// A pty entered as COM1 and opened by the library.
class OpenPort : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::make_unique<PortsDir>();
        port_ = std::make_unique<PtyPort>(*dir_, 1);
        ASSERT_EQ(QV_ComInitial(1, 19200), 1);
    }
    void TearDown() override { QV_ComFree(); }
    std::unique_ptr<PortsDir> dir_;
    std::unique_ptr<PtyPort> port_;
};

class Commands : public OpenPort, public ::testing::WithParamInterface<Command> {
protected:
    // Runs the command against a reader that answers with reply.
    int Run(const Bytes &reply, Bytes *request = nullptr, Bytes *out = nullptr, double *ms = nullptr) {
        std::uint8_t buf[64];
        std::fill(std::begin(buf), std::end(buf), 0xCC);
        OneShotReader reader(*port_, reply);
        double t0 = NowMs();
        int r = GetParam().call(buf);
        if (ms) *ms = NowMs() - t0;
        if (request) *request = reader.Request();
        if (out) out->assign(buf, buf + sizeof buf);
        return r;
    }
};

}  // namespace

TEST_P(Commands, SendsExactRequestAndTakesAValidReply) {
    Bytes request, out;
    EXPECT_EQ(Run(GetParam().reply, &request, &out), GetParam().result);
    EXPECT_EQ(ToHex(request), ToHex(GetParam().request));
    // The data bytes, and nothing written behind them.
    const Bytes &want = GetParam().out;
    EXPECT_EQ(ToHex(Bytes(out.begin(), out.begin() + want.size())), ToHex(want));
    EXPECT_EQ(out[want.size()], 0xCC);
}

TEST_P(Commands, ReplyFromAnotherStationIsAccepted) {
    Bytes b(GetParam().reply.begin(), GetParam().reply.end() - 2);
    b[0] = 0x7F;
    EXPECT_EQ(Run(WithCrc(b)), GetParam().result);
}

TEST_P(Commands, ReplyWithAnotherFunctionCodeFails) {
    // Complete by the rule of 0x06, so it fails at once on the code check.
    std::uint8_t other = GetParam().request[1] == 0x06 ? 0x10 : 0x06;
    double ms = 0;
    EXPECT_EQ(Run(WithCrc(Bytes{0x01, other, 0x00, 0x01, 0x00, 0x03}), nullptr, nullptr, &ms), -1);
    EXPECT_LT(ms, 1000);
}

TEST_P(Commands, ExceptionReplyFailsAtOnceWithItsCode) {
    std::uint8_t fn = GetParam().request[1] | 0x80;
    double ms = 0;
    EXPECT_EQ(Run(WithCrc(Bytes{0x01, fn, 0x02}), nullptr, nullptr, &ms), -1);
    EXPECT_EQ(errno, QV_E_EXCEPTION_BASE + 2);
    EXPECT_LT(ms, 1000);  // complete with its five bytes: no reply wait
}

TEST_P(Commands, BadCrcFailsNeverSucceeds) {
    Bytes bad = GetParam().reply;
    ASSERT_GE(bad.size(), 4u);
    bad.back() = static_cast<std::uint8_t>(bad.back() ^ 0x5A);
    EXPECT_EQ(Run(bad), -1);
    EXPECT_EQ(errno, QV_E_CRC);
}

TEST_P(Commands, NoLinkFailsAtOnceAndSendsNothing) {
    QV_ComFree();
    Bytes request;
    double ms = 0;
    std::uint8_t buf[64];
    double t0 = NowMs();
    EXPECT_EQ(GetParam().call(buf), -1);
    EXPECT_EQ(errno, QV_E_NOLINK);
    ms = NowMs() - t0;
    EXPECT_LT(ms, 50);
    EXPECT_TRUE(port_->Read(1, 100).empty());
}

INSTANTIATE_TEST_SUITE_P(AllNine, Commands, ::testing::ValuesIn(AllCommands()),
                         [](const ::testing::TestParamInfo<Command> &i) { return i.param.name; });

// Arguments, bounds and byte order, with one reader per test.
class CommandBounds : public OpenPort {};

TEST_F(CommandBounds, LowSixteenBitsOfArgumentsGoOnTheWire) {
    OneShotReader r(*port_, WithCrc(Hex("02 06 00 01 23 45")));
    EXPECT_EQ(QV_WriteRegister(0x102, 0x10001, 0x12345), 1);
    EXPECT_EQ(ToHex(r.Request()), ToHex(WithCrc(Hex("02 06 00 01 23 45"))));
}

TEST_F(CommandBounds, OversizedReadReplyIsCutToTheCount) {
    // One register asked for, 250 value bytes received: two land, guard intact.
    Bytes reply = {0x01, 0x03, 250};
    for (int i = 0; i < 250; ++i) reply.push_back(static_cast<std::uint8_t>(i + 1));
    OneShotReader r(*port_, WithCrc(reply));
    std::uint8_t buf[2 + 16];
    std::fill(std::begin(buf), std::end(buf), 0xCC);
    EXPECT_EQ(QV_ReadRegister(1, 4, 1, buf), 2);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(buf[1], 2);
    for (int i = 2; i < 18; ++i) EXPECT_EQ(buf[i], 0xCC) << i;
}

TEST_F(CommandBounds, ShortReadReplyReturnsWhatCame) {
    OneShotReader r(*port_, WithCrc(Hex("01 03 02 AB CD")));
    std::uint8_t buf[8];
    std::fill(std::begin(buf), std::end(buf), 0xCC);
    EXPECT_EQ(QV_ReadRegister(1, 4, 4, buf), 2);
    EXPECT_EQ(buf[0], 0xAB);
    EXPECT_EQ(buf[2], 0xCC);
}

TEST_F(CommandBounds, OversizedDeviceInfoIsCutTo51Bytes) {
    Bytes reply = {0x01, 0x46, 0x00};
    for (int i = 0; i < 200; ++i) reply.push_back(static_cast<std::uint8_t>(i));
    OneShotReader r(*port_, WithCrc(reply));
    std::uint8_t buf[QV_DEVICE_INFO_SIZE + 16];
    std::fill(std::begin(buf), std::end(buf), 0xCC);
    EXPECT_EQ(QV_GetDeviceInfo(1, buf), QV_DEVICE_INFO_SIZE);
    EXPECT_EQ(buf[50], 50);
    for (int i = QV_DEVICE_INFO_SIZE; i < QV_DEVICE_INFO_SIZE + 16; ++i) EXPECT_EQ(buf[i], 0xCC) << i;
}

TEST_F(CommandBounds, ReplyWithoutPayloadCarriesNothing) {
    // A 0x46 reply with an empty payload passes its checks but has no block.
    OneShotReader r(*port_, WithCrc(Hex("01 46")));
    std::uint8_t buf[QV_DEVICE_INFO_SIZE];
    EXPECT_EQ(QV_GetDeviceInfo(1, buf), -1);
}

TEST_F(CommandBounds, BadCountsAndNullBuffersFailBeforeSending) {
    std::uint8_t buf[300] = {};
    EXPECT_EQ(QV_ReadRegister(1, 0, 0, buf), -1);
    EXPECT_EQ(QV_ReadRegister(1, 0, 126, buf), -1);
    EXPECT_EQ(QV_ReadRegister(1, 0, -1, buf), -1);
    EXPECT_EQ(QV_ReadRegister(1, 0, 1, nullptr), -1);
    EXPECT_EQ(QV_WriteMultiRegister(1, 0, 0, buf), -1);
    EXPECT_EQ(QV_WriteMultiRegister(1, 0, 124, buf), -1);
    EXPECT_EQ(QV_WriteMultiRegister(1, 0, 1, nullptr), -1);
    EXPECT_EQ(QV_GetDeviceInfo(1, nullptr), -1);
    EXPECT_EQ(QV_DownKey(1, nullptr), -1);
    EXPECT_EQ(QV_DownKeyEx(1, 0, nullptr), -1);
    EXPECT_EQ(QV_SetPermission(1, 0, nullptr), -1);
    EXPECT_EQ(QV_SetDeviceTermNO(1, nullptr), -1);
    EXPECT_TRUE(port_->Read(1, 100).empty());
}

TEST_F(CommandBounds, LargestCountsGoOut) {
    std::uint8_t values[246];
    for (int i = 0; i < 246; ++i) values[i] = static_cast<std::uint8_t>(i);
    OneShotReader w(*port_, WithCrc(Hex("01 10 00 00 00 7B")));
    EXPECT_EQ(QV_WriteMultiRegister(1, 0, 123, values), 1);
    Bytes req = w.Request();
    ASSERT_EQ(req.size(), 7u + 246 + 2);
    EXPECT_EQ(req[6], 246);  // byte count
    EXPECT_EQ(req[7 + 245], 245);

    Bytes reply = {0x01, 0x03, 250};
    reply.resize(3 + 250, 0x42);
    OneShotReader rd(*port_, WithCrc(reply));
    std::uint8_t buf[250];
    EXPECT_EQ(QV_ReadRegister(1, 0, 125, buf), 250);
    EXPECT_EQ(ToHex(rd.Request()), ToHex(WithCrc(Hex("01 03 00 00 00 7D"))));
}
