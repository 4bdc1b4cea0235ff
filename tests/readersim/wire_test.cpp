// The simulator's own CRC and frame finding: frames whole, in pieces, byte by
// byte, behind garbage and behind frames with a bad CRC.
#include <gtest/gtest.h>

#include <string>

#include "bytes.h"
#include "wire.h"

using readersim::FindRtuFrame;
using testsupport::Bytes;
using testsupport::Hex;
using testsupport::WithCrc;

namespace {

TEST(SimCrc, KnownValues) {
    const std::string digits = "123456789";
    EXPECT_EQ(readersim::Crc16(reinterpret_cast<const std::uint8_t *>(digits.data()), digits.size()), 0x4B37);
    EXPECT_EQ(readersim::Crc16(nullptr, 0), 0xFFFF);
    Bytes f = Hex("01 03 00 00 00 0A");
    readersim::AppendCrc(f);
    EXPECT_EQ(f, Hex("01 03 00 00 00 0A C5 CD"));
    EXPECT_TRUE(readersim::CrcOk(Hex("01 06 00 01 00 03 98 0B").data(), 8));
    EXPECT_FALSE(readersim::CrcOk(Hex("01 06 00 01 00 03 0B 98").data(), 8));
    EXPECT_FALSE(readersim::CrcOk(Hex("01 06 00").data(), 3));
}

// Feeds bytes in pieces of the given size; returns the frames found.
std::vector<Bytes> Feed(const Bytes &stream, std::size_t piece) {
    std::vector<Bytes> frames;
    Bytes buf;
    for (std::size_t i = 0; i < stream.size(); i += piece) {
        buf.insert(buf.end(), stream.begin() + static_cast<long>(i),
                   stream.begin() + static_cast<long>(std::min(stream.size(), i + piece)));
        for (;;) {
            readersim::RtuScan s = FindRtuFrame(buf.data(), buf.size());
            if (!s.length) break;
            frames.emplace_back(buf.begin() + static_cast<long>(s.skip),
                                buf.begin() + static_cast<long>(s.skip + s.length));
            buf.erase(buf.begin(), buf.begin() + static_cast<long>(s.skip + s.length));
        }
    }
    return frames;
}

const Bytes kRead = Hex("01 03 00 04 00 04 05 C8");
const Bytes kWriteMulti = WithCrc(Hex("01 10 00 04 00 04 08 00 00 00 00 00 00 00 00"));
const Bytes kInfo = Hex("01 46 00 12 60");
const Bytes kKey = WithCrc(Hex("01 46 01 01 02 03 04 05 06"));

class FramePieces : public ::testing::TestWithParam<std::size_t> {};

TEST_P(FramePieces, EveryRequestKindIsFoundOnce) {
    Bytes stream;
    for (const Bytes *f : {&kRead, &kWriteMulti, &kInfo, &kKey}) stream.insert(stream.end(), f->begin(), f->end());
    std::vector<Bytes> frames = Feed(stream, GetParam());
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0], kRead);
    EXPECT_EQ(frames[1], kWriteMulti);
    EXPECT_EQ(frames[2], kInfo);
    EXPECT_EQ(frames[3], kKey);
}

// As a client sends them: one request, then (after the reply) the next.
std::vector<Bytes> FeedOneByOne(const std::vector<Bytes> &frames, std::size_t piece) {
    std::vector<Bytes> out;
    for (const Bytes &f : frames) {
        std::vector<Bytes> got = Feed(f, piece);
        out.insert(out.end(), got.begin(), got.end());
    }
    return out;
}

TEST_P(FramePieces, RequestsSentOneAtATime) {
    std::vector<Bytes> frames = FeedOneByOne({kRead, kInfo, kWriteMulti, kKey}, GetParam());
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[1], kInfo);
    EXPECT_EQ(frames[3], kKey);
}

INSTANTIATE_TEST_SUITE_P(Sizes, FramePieces, ::testing::Values(1, 3, 4, 100));

TEST(FrameFinding, GarbageAndBadCrcAreSkipped) {
    Bytes bad = kRead;
    bad[7] ^= 0x01;
    Bytes stream = Hex("FF 00 13");
    stream.insert(stream.end(), bad.begin(), bad.end());
    stream.insert(stream.end(), kRead.begin(), kRead.end());
    for (std::size_t piece : {1u, 2u, 19u}) {
        std::vector<Bytes> frames = Feed(stream, piece);
        ASSERT_EQ(frames.size(), 1u) << "piece " << piece;
        EXPECT_EQ(frames[0], kRead);
    }
    readersim::RtuScan s = FindRtuFrame(stream.data(), stream.size());
    EXPECT_EQ(s.skip, 11u);
    EXPECT_EQ(s.length, 8u);
}

TEST(FrameFinding, IncompleteFramesWait) {
    for (std::size_t n = 0; n < kRead.size(); ++n) EXPECT_EQ(FindRtuFrame(kRead.data(), n).length, 0u) << n << " bytes";
    // 0x10 needs its byte count before its length is known.
    for (std::size_t n = 0; n < kWriteMulti.size(); ++n)
        EXPECT_EQ(FindRtuFrame(kWriteMulti.data(), n).length, 0u) << n << " bytes";
}

TEST(FrameFinding, RequestsBreakingTheirLengthRuleAreWholeBuffer) {
    // A read with one data byte too many still reaches the reader (which
    // answers exception 3).
    Bytes longRead = WithCrc(Hex("01 03 00 04 00 04 00"));
    readersim::RtuScan s = FindRtuFrame(longRead.data(), longRead.size());
    EXPECT_EQ(s.skip, 0u);
    EXPECT_EQ(s.length, longRead.size());
    Bytes unknown = WithCrc(Hex("01 2B 0E 01 00"));
    EXPECT_EQ(FindRtuFrame(unknown.data(), unknown.size()).length, unknown.size());
}

TEST(Mbap, FrameLength) {
    Bytes f = Hex("00 07 00 00 00 06 01 03 00 04 00 04");
    EXPECT_EQ(readersim::MbapFrameLength(f.data(), f.size()), 12);
    EXPECT_EQ(readersim::MbapFrameLength(f.data(), 11), 0);
    EXPECT_EQ(readersim::MbapFrameLength(f.data(), 6), 0);
    Bytes proto = Hex("00 07 00 01 00 06 01 03 00 04 00 04");
    EXPECT_EQ(readersim::MbapFrameLength(proto.data(), proto.size()), -1);
    Bytes shortLen = Hex("00 07 00 00 00 01 01");
    EXPECT_EQ(readersim::MbapFrameLength(shortLen.data(), shortLen.size()), -1);
    Bytes longLen = Hex("00 07 00 00 00 FF 01");
    EXPECT_EQ(readersim::MbapFrameLength(longLen.data(), longLen.size()), -1);
}

// Replies of readers 3, 17 and 200 to "read 40001" at station 0, and an
// exception reply: what the line carries when they overlap.
TEST(Collision, ByteWiseOrAsLongAsTheLongestNeverPassingItsCrc) {
    const Bytes at3 = WithCrc(Hex("00 03 02 03 03")), at17 = WithCrc(Hex("00 03 02 03 11"));
    const Bytes at200 = WithCrc(Hex("00 03 02 03 C8")), exception = WithCrc(Hex("00 83 04"));
    const struct {
        std::vector<Bytes> replies;
        const char *line;
    } cases[] = {
        {{at3, at17}, "00 03 02 03 13 C5 7D"},
        {{at3, at17, at200}, "00 03 02 03 DB C5 FF"},
        {{at3, exception}, "00 83 06 13 33 C5 75"},  // the longer reply's tail alone
        {{exception, at3}, "00 83 06 13 33 C5 75"},
        {{at3, at3}, "00 03 02 03 03 C5 8A"},  // identical: last byte inverted
    };
    for (const auto &c : cases) {
        const Bytes line = readersim::Collide(c.replies);
        EXPECT_EQ(testsupport::ToHex(line), c.line);
        EXPECT_FALSE(readersim::CrcOk(line.data(), line.size())) << c.line;
    }
}

TEST(HexDump, LibmodbusStyle) {
    EXPECT_EQ(readersim::HexTags(Hex("01 03 0A"), '[', ']'), "[01][03][0A]");
    EXPECT_EQ(readersim::HexTags(Hex("FF"), '<', '>'), "<FF>");
    EXPECT_EQ(readersim::HexTags(Bytes{}, '<', '>'), "");
}

}  // namespace
