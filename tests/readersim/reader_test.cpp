// The simulated reader at the PDU level: registers, exceptions, the card
// number in every documented layout, auto clear, re-arming, the station.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "bytes.h"
#include "qvregisters.h"
#include "readersim.h"

using readersim::Options;
using readersim::Reader;
using testsupport::Bytes;
using testsupport::Hex;
using testsupport::ToHex;

namespace {

std::string Reply(Reader &r, const std::string &pdu, std::uint8_t station = 1) {
    auto out = r.Handle(station, Hex(pdu));
    return out ? ToHex(*out) : "silent";
}

std::string CardRegs(Reader &r) {
    return Reply(r, "03 00 04 00 04");
}

void Sleep(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

TEST(ReaderRegisters, DefaultsReadInOneBlock) {
    Reader r;
    EXPECT_EQ(Reply(r, "03 00 01 00 0A"), "03 14 03 01 00 05 00 00 00 00 00 00 00 12 34 56 00 01 00 00 00 00");
    EXPECT_EQ(Reply(r, "03 00 64 00 01"), "03 02 00 10");
    EXPECT_EQ(Reply(r, "03 00 6A 00 01"), "03 02 00 14");
}

TEST(ReaderRegisters, StationComesFromOptions) {
    Options o;
    o.station = 0x2A;
    Reader r(o);
    EXPECT_EQ(r.Station(), 0x2A);
    EXPECT_EQ(r.Register(qvreg::kBaudStation), 0x032A);
    EXPECT_EQ(Reply(r, "03 00 01 00 01", 0x2A), "03 02 03 2A");
}

TEST(ReaderRegisters, UnknownAddressesGiveException2) {
    Reader r;
    EXPECT_EQ(Reply(r, "03 00 00 00 01"), "83 02");
    EXPECT_EQ(Reply(r, "03 00 0B 00 01"), "83 02");
    EXPECT_EQ(Reply(r, "03 00 09 00 03"), "83 02");  // runs past 40010
    EXPECT_EQ(Reply(r, "03 00 63 00 02"), "83 02");  // starts before 40100
    EXPECT_EQ(Reply(r, "03 00 65 00 01"), "83 02");
    EXPECT_EQ(Reply(r, "03 FF FF 00 01"), "83 02");
    EXPECT_EQ(Reply(r, "06 00 6B 00 01"), "86 02");
    EXPECT_EQ(Reply(r, "10 00 0A 00 02 04 00 00 00 00"), "90 02");  // 40011 does not exist
    EXPECT_EQ(r.Register(qvreg::kUnused10), 0) << "a refused block write changes nothing";
}

TEST(ReaderRegisters, CountsOutsideTheLimitsGiveException3) {
    Reader r;
    EXPECT_EQ(Reply(r, "03 00 01 00 00"), "83 03");
    EXPECT_EQ(Reply(r, "03 00 01 00 7E"), "83 03");  // 126
    EXPECT_EQ(Reply(r, "03 00 01 00 7D"), "83 02");  // 125 is a legal count, the addresses are not
    EXPECT_EQ(Reply(r, "03 00 01 00"), "83 03");     // short request
    EXPECT_EQ(Reply(r, "06 00 03 06"), "86 03");
    EXPECT_EQ(Reply(r, "10 00 64 00 00 00"), "90 03");
    EXPECT_EQ(Reply(r, "10 00 64 00 7C F8"), "90 03");           // 124 registers
    EXPECT_EQ(Reply(r, "10 00 64 00 01 03 00 11 22"), "90 03");  // byte count 3 for 1 register
    EXPECT_EQ(Reply(r, "10 00 64 00 01 02 00"), "90 03");        // value bytes missing
    EXPECT_EQ(Reply(r, "10 00 64 00 01 02 00 11 22"), "90 03");  // one byte too many
    EXPECT_EQ(r.Register(qvreg::kParameter), 0x0010);
}

TEST(ReaderRegisters, UnknownFunctionsGiveException1) {
    Reader r;
    EXPECT_EQ(Reply(r, "04 00 01 00 01"), "84 01");
    EXPECT_EQ(Reply(r, "2B 0E 01 00"), "AB 01");
    EXPECT_EQ(Reply(r, "46 05"), "C6 01");  // unknown sub-function
}

TEST(ReaderRegisters, WritesAreEchoedAndStored) {
    Reader r;
    EXPECT_EQ(Reply(r, "06 00 03 06 11"), "06 00 03 06 11");
    EXPECT_EQ(r.Register(qvreg::kLedBeep), 0x0611);
    EXPECT_EQ(Reply(r, "03 00 03 00 01"), "03 02 06 11") << "40003 reads back its last value";
    EXPECT_EQ(Reply(r, "10 00 64 00 01 02 01 90"), "10 00 64 00 01");
    EXPECT_EQ(Reply(r, "10 00 6A 00 01 02 00 05"), "10 00 6A 00 01");
    EXPECT_EQ(Reply(r, "03 00 64 00 01"), "03 02 01 90");
    EXPECT_EQ(Reply(r, "03 00 6A 00 01"), "03 02 00 05");
    EXPECT_EQ(Reply(r, "10 00 01 00 02 04 05 01 00 25"), "10 00 01 00 02");
    EXPECT_EQ(r.Register(qvreg::kBaudStation), 0x0501);
    EXPECT_EQ(r.Register(qvreg::kReadParams), 0x0025);
}

TEST(ReaderRegisters, WritesArePutIntoWords) {
    Reader r;
    std::vector<std::string> notes;
    r.SetNoteSink([&](const std::string &s) { notes.push_back(s); });
    Reply(r, "06 00 03 06 11");
    Reply(r, "06 00 01 06 02");
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0], "40003 = 0x0611: buzzer, on 100 ms, off 100 ms, 1 cycle");
    EXPECT_EQ(notes[1], "40001 = 0x0602: baud code 6 (57600 bit/s), station 2");
}

TEST(ReaderStation, OtherStationsGetNoReplyStation0DoesToo) {
    Reader r;
    EXPECT_EQ(Reply(r, "03 00 01 00 01", 2), "silent");
    EXPECT_EQ(Reply(r, "03 00 01 00 01", 255), "silent");
    EXPECT_EQ(Reply(r, "03 00 01 00 01", 0), "03 02 03 01");
}

TEST(ReaderStation, WritingRegister1ChangesStationFromTheNextRequest) {
    Reader r;
    EXPECT_EQ(Reply(r, "06 00 01 03 07"), "06 00 01 03 07") << "answered under the old id";
    EXPECT_EQ(r.Station(), 7);
    EXPECT_EQ(Reply(r, "03 00 01 00 01", 1), "silent");
    EXPECT_EQ(Reply(r, "03 00 01 00 01", 7), "03 02 03 07");
    // Low byte 0 keeps the station, high byte 0 keeps the baud code.
    EXPECT_EQ(Reply(r, "06 00 01 05 00", 7), "06 00 01 05 00");
    EXPECT_EQ(r.Register(qvreg::kBaudStation), 0x0507);
    EXPECT_EQ(Reply(r, "06 00 01 00 09", 7), "06 00 01 00 09");
    EXPECT_EQ(r.Register(qvreg::kBaudStation), 0x0509);
    r.SetRegister(qvreg::kBaudStation, 0x0301);
    EXPECT_EQ(r.Station(), 1);
}

TEST(ReaderDeviceInfo, BlockHoldsModelBaseAndVersion) {
    Reader r;
    EXPECT_EQ(Reply(r, "46 00"), "46 00 51 56 2D 4C 46 31 32 35 00 00 01 05");  // "QV-LF125"
    EXPECT_EQ(Reply(r, "46 02 12 34"), "46 02");
    EXPECT_EQ(Reply(r, "46 00"), "46 00 51 56 2D 4C 46 31 32 35 12 34 01 05");
    Options o;
    o.model = "LF";
    o.versionMajor = 2;
    o.versionMinor = 0;
    Reader s(o);
    EXPECT_EQ(Reply(s, "46 00"), "46 00 4C 46 00 00 00 00 00 00 00 00 02 00");
}

TEST(ReaderDeviceInfo, SubFunctionsCheckTheirLengths) {
    Reader r;
    EXPECT_EQ(Reply(r, "46 01 01 02 03 04 05 06"), "46 01");
    EXPECT_EQ(Reply(r, "46 01 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10"), "46 01");
    EXPECT_EQ(Reply(r, "46 01 01 02 03 04 05"), "C6 03");
    EXPECT_EQ(Reply(r, "46 03 01 02 03 04 05 06"), "46 03");
    EXPECT_EQ(Reply(r, "46 03 01 02 03 04 05 06 07"), "C6 03");
    EXPECT_EQ(Reply(r, "46 04 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11"), "46 04");
    EXPECT_EQ(Reply(r, "46 04 01 02 03 04 05 06"), "C6 03");
    EXPECT_EQ(Reply(r, "46 02 12"), "C6 03");
    EXPECT_EQ(Reply(r, "46 00 00"), "C6 03");
    EXPECT_EQ(Reply(r, "46"), "C6 03");
}

// Card 0A 00123456 (manufacturer 0x0A, serial 0x00123456 = 1193046).
struct Layout {
    std::uint16_t parameter;
    const char *bytes;
};

class CardLayout : public ::testing::TestWithParam<Layout> {};

TEST_P(CardLayout, BytesAndRegisters) {
    const Layout &l = GetParam();
    EXPECT_EQ(ToHex(readersim::CardBytes(0x0A00123456ull, l.parameter)), l.bytes);
    Reader r;
    r.SetRegister(qvreg::kParameter, l.parameter);
    EXPECT_EQ(CardRegs(r), std::string("03 08 ") + l.bytes) << "registers follow a new 40100 at once";
}

INSTANTIATE_TEST_SUITE_P(AllFormats, CardLayout,
                         ::testing::Values(
                             // HEX, big-endian, without and with the manufacturer byte.
                             Layout{0x0010, "00 00 00 00 00 12 34 56"}, Layout{0x0110, "00 00 00 0A 00 12 34 56"},
                             // HEX, little-endian.
                             Layout{0x0000, "56 34 12 00 00 00 00 00"}, Layout{0x0100, "56 34 12 00 0A 00 00 00"},
                             // Format 2 is taken as HEX.
                             Layout{0x0410, "00 00 00 00 00 12 34 56"}, Layout{0x0500, "56 34 12 00 0A 00 00 00"},
                             // Ten decimal digits as BCD: 0001193046.
                             Layout{0x0210, "00 00 00 00 01 19 30 46"}, Layout{0x0310, "00 00 0A 00 01 19 30 46"},
                             Layout{0x0200, "46 30 19 01 00 00 00 00"}, Layout{0x0300, "46 30 19 01 00 0A 00 00"},
                             // Wiegand-26: facility 0x12, number 0x3456.
                             Layout{0x0610, "00 00 00 00 00 12 34 56"}, Layout{0x0710, "00 00 00 00 0A 12 34 56"},
                             Layout{0x0600, "56 34 12 00 00 00 00 00"}, Layout{0x0700, "56 34 12 0A 00 00 00 00"}));

TEST(CardNumber, FormatsAtTheirLimits) {
    // The largest serial has ten decimal digits; Wiegand drops the top byte.
    EXPECT_EQ(ToHex(readersim::CardBytes(0xFFFFFFFFFFull, 0x0310)), "00 00 FF 42 94 96 72 95");
    EXPECT_EQ(ToHex(readersim::CardBytes(0x01AB12CDEFull, 0x0610)), "00 00 00 00 00 12 CD EF");
    EXPECT_EQ(ToHex(readersim::CardBytes(0x0000000000ull, 0x0210)), "00 00 00 00 00 00 00 00");
    EXPECT_EQ(ToHex(readersim::CardBytes(0x00000003E8ull, 0x0210)), "00 00 00 00 00 00 10 00");
    // Bits outside byte order, manufacturer byte and format change nothing.
    EXPECT_EQ(ToHex(readersim::CardBytes(0x0A00123456ull, 0x0010 | 0x0080 | 0x0800 | 0x000F)),
              "00 00 00 00 00 12 34 56");
}

TEST(CardNumber, NoCardLeavesRegistersZero) {
    Options o;
    o.cardPresent = false;
    Reader r(o);
    EXPECT_EQ(CardRegs(r), "03 08 00 00 00 00 00 00 00 00");
    r.SetCard(0x00DEADBEEFull);
    EXPECT_EQ(CardRegs(r), "03 08 00 00 00 00 DE AD BE EF");
    r.RemoveCard();
    EXPECT_EQ(CardRegs(r), "03 08 00 00 00 00 00 00 00 00");
}

TEST(CardNumber, StaysWithoutAutoClear) {
    Reader r;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(CardRegs(r), "03 08 00 00 00 00 00 12 34 56");
    // A read of a single card register counts as a read too.
    EXPECT_EQ(Reply(r, "03 00 07 00 01"), "03 02 34 56");
}

TEST(CardNumber, AutoClearZeroesAfterOneReadAndShowsAgainAfterSameCardDelay) {
    Reader r;
    r.SetRegister(qvreg::kSameCardDelay, 3);  // 300 ms
    r.SetRegister(qvreg::kParameter, 0x0090);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(CardRegs(r), "03 08 00 00 00 00 00 12 34 56");
    EXPECT_EQ(CardRegs(r), "03 08 00 00 00 00 00 00 00 00");
    EXPECT_EQ(Reply(r, "03 00 06 00 02"), "03 04 00 00 00 00");
    // Reading other registers does not clear or bring back the card.
    EXPECT_EQ(Reply(r, "03 00 01 00 02"), "03 04 03 01 00 05");
    std::string seen;
    while (std::chrono::steady_clock::now() - t0 < std::chrono::seconds(3)) {
        seen = CardRegs(r);
        if (seen != "03 08 00 00 00 00 00 00 00 00") break;
        Sleep(10);
    }
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(seen, "03 08 00 00 00 00 00 12 34 56");
    EXPECT_GE(ms, 290);
    EXPECT_EQ(CardRegs(r), "03 08 00 00 00 00 00 00 00 00") << "cleared again by that read";
}

TEST(CardNumber, ZerosReArmAfterTheReReadDelay) {
    Options o;
    o.rearmMs = 200;
    Reader r(o);
    EXPECT_EQ(Reply(r, "10 00 04 00 04 08 00 00 00 00 00 00 00 00"), "10 00 04 00 04");
    EXPECT_EQ(CardRegs(r), "03 08 00 00 00 00 00 00 00 00");
    Sleep(80);
    EXPECT_EQ(CardRegs(r), "03 08 00 00 00 00 00 00 00 00");
    Sleep(200);
    EXPECT_EQ(CardRegs(r), "03 08 00 00 00 00 00 12 34 56");
    r.SetRearmMs(0);
    Reply(r, "10 00 04 00 04 08 00 00 00 00 00 00 00 00");
    EXPECT_EQ(CardRegs(r), "03 08 00 00 00 00 00 12 34 56") << "no delay once set to 0";
}

TEST(CardNumber, WritesOfSingleRegistersAndNonZeroValues) {
    Options o;
    o.rearmMs = 0;
    Reader r(o);
    // Zeroing one register at a time re-arms once all four are zero.
    Reply(r, "06 00 04 00 00");
    Reply(r, "06 00 05 00 00");
    Reply(r, "06 00 06 00 00");
    EXPECT_EQ(CardRegs(r), "03 08 00 00 00 00 00 00 34 56");
    Reply(r, "06 00 07 00 00");
    EXPECT_EQ(CardRegs(r), "03 08 00 00 00 00 00 12 34 56");
    // Non-zero words stay as written; the card does not overwrite them.
    EXPECT_EQ(Reply(r, "10 00 04 00 02 04 11 11 22 22"), "10 00 04 00 02");
    EXPECT_EQ(CardRegs(r), "03 08 11 11 22 22 00 12 34 56");
    Reply(r, "10 00 04 00 04 08 00 00 00 00 00 00 00 00");
    EXPECT_EQ(CardRegs(r), "03 08 00 00 00 00 00 12 34 56");
}

}  // namespace
