// libmodbus, a client nobody here wrote, reads and writes the simulated
// reader over its pty and over Modbus TCP. libmodbus checks the CRC, the
// station, the function code, the byte count and the transaction id itself.
#include <errno.h>
#include <gtest/gtest.h>
#include <modbus.h>

#include <memory>

#include "pty_port.h"
#include "qvregisters.h"
#include "readersim.h"

using readersim::Fault;
using readersim::Reader;
using readersim::Server;
using testsupport::PortsDir;

namespace {

struct CtxFree {
    void operator()(modbus_t *c) const {
        modbus_close(c);
        modbus_free(c);
    }
};
using Ctx = std::unique_ptr<modbus_t, CtxFree>;

void Configure(modbus_t *ctx) {
    modbus_set_slave(ctx, 1);
    modbus_set_response_timeout(ctx, 0, 500000);
}

class LibmodbusRtu : public ::testing::Test {
protected:
    void SetUp() override {
        slave_ = server_.ServePty(dir_.path(), 1);
        ASSERT_FALSE(slave_.empty());
        ctx_.reset(modbus_new_rtu(slave_.c_str(), 19200, 'N', 8, 1));
        ASSERT_TRUE(ctx_);
        Configure(ctx_.get());
        ASSERT_EQ(modbus_connect(ctx_.get()), 0) << modbus_strerror(errno);
    }
    PortsDir dir_;
    Reader reader_;
    Server server_{reader_};
    std::string slave_;
    Ctx ctx_;
};

TEST_F(LibmodbusRtu, ReadsTheCardNumberAndTheSettings) {
    std::uint16_t r[4] = {0};
    ASSERT_EQ(modbus_read_registers(ctx_.get(), qvreg::kCardNumber, 4, r), 4) << modbus_strerror(errno);
    EXPECT_EQ(r[0], 0x0000);
    EXPECT_EQ(r[1], 0x0000);
    EXPECT_EQ(r[2], 0x0012);
    EXPECT_EQ(r[3], 0x3456);
    std::uint16_t p = 0;
    ASSERT_EQ(modbus_read_registers(ctx_.get(), qvreg::kParameter, 1, &p), 1);
    EXPECT_EQ(p, 0x0010);
}

TEST_F(LibmodbusRtu, WritesSingleAndMultipleRegisters) {
    ASSERT_EQ(modbus_write_register(ctx_.get(), qvreg::kLedBeep, 0x0611), 1) << modbus_strerror(errno);
    EXPECT_EQ(server_.WithReader([](Reader &r) { return r.Register(qvreg::kLedBeep); }), 0x0611);
    const std::uint16_t words[2] = {0x0710, 0x0003};
    ASSERT_EQ(modbus_write_registers(ctx_.get(), qvreg::kParameter, 1, words), 1);
    ASSERT_EQ(modbus_write_registers(ctx_.get(), qvreg::kSameCardDelay, 1, words + 1), 1);
    std::uint16_t r[4];
    ASSERT_EQ(modbus_read_registers(ctx_.get(), qvreg::kCardNumber, 4, r), 4);
    EXPECT_EQ(r[2], 0x0A12) << "Wiegand-26 with the manufacturer byte";
    EXPECT_EQ(r[3], 0x3456);
}

TEST_F(LibmodbusRtu, ExceptionsAndFaultsAsLibmodbusSeesThem) {
    std::uint16_t r[2];
    EXPECT_EQ(modbus_read_registers(ctx_.get(), 11, 1, r), -1);
    EXPECT_EQ(errno, EMBXILADD);
    EXPECT_EQ(modbus_read_registers(ctx_.get(), 1, 126, r), -1) << "libmodbus refuses this itself";
    server_.InjectFault(Fault::Exception);
    EXPECT_EQ(modbus_read_registers(ctx_.get(), 1, 1, r), -1);
    EXPECT_EQ(errno, EMBXSFAIL);
    server_.InjectFault(Fault::BadCrc);
    EXPECT_EQ(modbus_read_registers(ctx_.get(), 1, 1, r), -1);
    EXPECT_EQ(errno, EMBBADCRC);
    modbus_flush(ctx_.get());
    server_.UpdateFaultSettings([](readersim::FaultSettings &f) { f.gapMs = 20; });
    server_.InjectFault(Fault::Split);
    EXPECT_EQ(modbus_read_registers(ctx_.get(), 1, 2, r), 2) << "libmodbus joins the pieces";
    EXPECT_EQ(r[0], 0x0301);
    EXPECT_EQ(r[1], 0x0005);
}

TEST_F(LibmodbusRtu, AnotherStationTimesOut) {
    modbus_set_slave(ctx_.get(), 2);
    modbus_set_response_timeout(ctx_.get(), 0, 200000);
    std::uint16_t r;
    EXPECT_EQ(modbus_read_registers(ctx_.get(), 1, 1, &r), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    ASSERT_EQ(server_.Requests().size(), 1u);
    EXPECT_EQ(server_.Requests()[0].station, 2);
}

TEST(LibmodbusTcp, ReadsAndWritesOverOneConnectionThenReconnects) {
    readersim::Options o;
    o.rearmMs = 0;  // the card is back at once after the zeros of the first round
    Reader reader(o);
    Server server(reader);
    int port = server.ServeTcp(0);
    ASSERT_GT(port, 0);
    for (int round = 0; round < 2; ++round) {
        Ctx ctx(modbus_new_tcp("127.0.0.1", port));
        ASSERT_TRUE(ctx);
        Configure(ctx.get());
        ASSERT_EQ(modbus_connect(ctx.get()), 0) << modbus_strerror(errno);
        for (int i = 0; i < 3; ++i) {  // libmodbus counts its transaction id up and checks the echo
            std::uint16_t r[4];
            ASSERT_EQ(modbus_read_registers(ctx.get(), qvreg::kCardNumber, 4, r), 4) << modbus_strerror(errno);
            EXPECT_EQ(r[3], 0x3456);
        }
        ASSERT_EQ(modbus_write_register(ctx.get(), qvreg::kLedBeep, 0x0400 + round), 1);
        const std::uint16_t zeros[4] = {0, 0, 0, 0};
        ASSERT_EQ(modbus_write_registers(ctx.get(), qvreg::kCardNumber, 4, zeros), 4);
    }
    EXPECT_EQ(server.WithReader([](Reader &r) { return r.Register(qvreg::kLedBeep); }), 0x0401);
    EXPECT_EQ(server.Requests().size(), 10u);
}

}  // namespace
