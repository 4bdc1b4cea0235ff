// CRC, frame building and reply checking: pure byte work on both link types.
#include <gtest/gtest.h>

#include <cstring>

#include "Untfunction.h"
#include "bytes.h"

using namespace untfunction;
using testsupport::Bytes;
using testsupport::Hex;
using testsupport::ToHex;

namespace {

std::uint16_t Crc(const Bytes &b) {
    return CalcCrc16(b.data(), static_cast<std::uint16_t>(b.size()));
}

std::string Frame(LinkType link, std::uint8_t fn, int station, const Bytes &data) {
    std::uint8_t out[kRequestBufSize];
    int n = BuildFrame(link, fn, station, data.data(), static_cast<int>(data.size()), out);
    return ToHex(Bytes(out, out + n));
}

struct Parsed {
    int result;
    std::int32_t station = -1;
    std::uint8_t function = 0;
    Bytes payload;
};

Parsed Parse(LinkType link, const Bytes &reply) {
    Parsed p;
    std::uint8_t payload[kReplyBufSize];
    p.result = ParseFrameAs(link, reply.data(), static_cast<int>(reply.size()), p.station, p.function, payload);
    if (p.result > 0) p.payload.assign(payload, payload + p.result);
    return p;
}

bool Complete(const Bytes &b) {
    return ReplyComplete(b.data(), static_cast<int>(b.size()));
}

}  // namespace

TEST(Crc16, KnownVectors) {
    EXPECT_EQ(Crc(Bytes{'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0x4B37);
    EXPECT_EQ(CalcCrc16(nullptr, 0), 0xFFFF);
    // Low byte first on the wire: 01 03 00 00 00 0A is followed by C5 CD.
    EXPECT_EQ(Crc(Hex("01 03 00 00 00 0A")), 0xCDC5);
    EXPECT_EQ(Crc(Hex("01 06 00 01 00 03")), 0x0B98);
}

TEST(Crc16, MatchesBitwiseDefinitionForEveryByteValue) {
    // A bit loop, independent of the tables, over every single byte and a long run.
    auto bitwise = [](const Bytes &b) {
        std::uint16_t c = 0xFFFF;
        for (std::uint8_t x : b) {
            c ^= x;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xA001 : c >> 1;
        }
        return c;
    };
    Bytes all;
    for (int v = 0; v < 256; ++v) {
        EXPECT_EQ(Crc(Bytes{static_cast<std::uint8_t>(v)}), bitwise(Bytes{static_cast<std::uint8_t>(v)})) << v;
        all.push_back(static_cast<std::uint8_t>(v * 7 + 3));
    }
    EXPECT_EQ(Crc(all), bitwise(all));
}

TEST(BuildFrame, RtuExamples) {
    EXPECT_EQ(Frame(kLinkSerial, 0x03, 1, Hex("00 00 00 0A")), "01 03 00 00 00 0A C5 CD");
    EXPECT_EQ(Frame(kLinkSerial, 0x06, 1, Hex("00 01 00 03")), "01 06 00 01 00 03 98 0B");
    EXPECT_EQ(Frame(kLinkSerial, 0x46, 1, Hex("00")), "01 46 00 12 60");
    // Only the station's low 8 bits go on the wire.
    EXPECT_EQ(Frame(kLinkSerial, 0x03, 0x101, Hex("00 00 00 0A")), "01 03 00 00 00 0A C5 CD");
}

TEST(BuildFrame, TcpExamples) {
    EXPECT_EQ(Frame(kLinkTcp, 0x03, 1, Hex("00 00 00 0A")), "00 00 00 00 00 06 01 03 00 00 00 0A");
    EXPECT_EQ(Frame(kLinkTcp, 0x03, 1, Hex("00 00 00 02")), "00 00 00 00 00 06 01 03 00 00 00 02");
    // The length field counts station, function and data; high byte first.
    Bytes big(300, 0xAA);
    std::uint8_t out[kRequestBufSize];
    int n = BuildFrame(kLinkTcp, 0x10, 1, big.data(), 300, out);
    ASSERT_EQ(n, 308);
    EXPECT_EQ(out[4], 0x01);
    EXPECT_EQ(out[5], 0x2E);
}

TEST(BuildFrame, NoLinkBuildsNothing) {
    EXPECT_EQ(Frame(kLinkNone, 0x03, 1, Hex("00 00 00 0A")), "");
}

TEST(ReplyComplete, ReadHoldingNeedsByteCountPlusFive) {
    Bytes r = Hex("01 03 02 12 34 B5 33");
    for (size_t n = 0; n < r.size(); ++n) EXPECT_FALSE(Complete(Bytes(r.begin(), r.begin() + n))) << n;
    EXPECT_TRUE(Complete(r));
}

TEST(ReplyComplete, WritesNeedEightBytes) {
    for (std::uint8_t fn : {0x06, 0x10}) {
        Bytes r = {0x01, fn, 0, 1, 0, 3, 0, 0};
        EXPECT_FALSE(Complete(Bytes(r.begin(), r.begin() + 7)));
        EXPECT_TRUE(Complete(r));
    }
}

TEST(ReplyComplete, ReaderFunctionNeedsMatchingCrc) {
    Bytes r = Hex("01 46 00 41 42");
    std::uint16_t c = Crc(r);
    r.push_back(c & 0xFF);
    EXPECT_FALSE(Complete(r));
    r.push_back(c >> 8);
    EXPECT_TRUE(Complete(r));
    r.back() ^= 1;
    EXPECT_FALSE(Complete(r));
}

TEST(ReplyComplete, ExceptionEndsWithItsFiveBytesOtherCodesNever) {
    const Bytes exception = Hex("01 83 02 C0 F1");
    for (size_t n = 0; n < exception.size(); ++n)
        EXPECT_FALSE(Complete(Bytes(exception.begin(), exception.begin() + n))) << n;
    EXPECT_TRUE(Complete(exception));
    EXPECT_TRUE(Complete(testsupport::WithCrc(Hex("07 C6 0B"))));  // any function with bit 7 set
    EXPECT_FALSE(Complete(Hex("01 83 02 F1 C0")));   // its CRC must hold
    EXPECT_FALSE(Complete(Bytes(100, 0x04)));
    EXPECT_FALSE(Complete(Hex("01 03 02")));  // fewer than 4 bytes never
}

TEST(ParseFrame, SerialPayloadAndStation) {
    Parsed p = Parse(kLinkSerial, Hex("01 03 02 12 34 B5 33"));
    EXPECT_EQ(p.result, 3);
    EXPECT_EQ(p.station, 1);
    EXPECT_EQ(p.function, 0x03);
    EXPECT_EQ(ToHex(p.payload), "02 12 34");
}

TEST(ParseFrame, SerialExceptionParsesWithItsCode) {
    Parsed p = Parse(kLinkSerial, Hex("01 83 02 C0 F1"));
    EXPECT_EQ(p.result, 1);
    EXPECT_EQ(p.function, 0x83);
}

TEST(ParseFrame, SerialChecks) {
    EXPECT_EQ(Parse(kLinkSerial, Hex("01 03 02 12 34 33 B5")).result, -1);  // CRC bytes swapped
    EXPECT_EQ(Parse(kLinkSerial, Hex("01 03 02")).result, -2);
    EXPECT_EQ(Parse(kLinkSerial, Bytes{}).result, -2);
    // Four bytes with a good CRC: an empty payload.
    Bytes four = Hex("05 06");
    std::uint16_t c = Crc(four);
    four.push_back(c & 0xFF);
    four.push_back(c >> 8);
    Parsed p = Parse(kLinkSerial, four);
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.station, 5);
}

TEST(ParseFrame, TcpLengthField) {
    Parsed p = Parse(kLinkTcp, Hex("00 00 00 00 00 07 01 03 04 00 01 00 02"));
    EXPECT_EQ(p.result, 5);
    EXPECT_EQ(p.station, 1);
    EXPECT_EQ(p.function, 0x03);
    EXPECT_EQ(ToHex(p.payload), "04 00 01 00 02");
    // Identifiers are not compared.
    EXPECT_EQ(Parse(kLinkTcp, Hex("BE EF 12 34 00 07 01 03 04 00 01 00 02")).result, 5);
    // Length one too large or too small.
    EXPECT_EQ(Parse(kLinkTcp, Hex("00 00 00 00 00 08 01 03 04 00 01 00 02")).result, -1);
    EXPECT_EQ(Parse(kLinkTcp, Hex("00 00 00 00 00 06 01 03 04 00 01 00 02")).result, -1);
    EXPECT_EQ(Parse(kLinkTcp, Hex("00 00 00 00 00 01 01")).result, -1);  // shorter than 8
    EXPECT_EQ(Parse(kLinkTcp, Hex("00 00 00 00 00 02 01 06")).result, 0);
}

TEST(ParseFrame, NoLinkSetsNothing) {
    Parsed p = Parse(kLinkNone, Hex("01 03 02 12 34 B5 33"));
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.station, -1);
}
