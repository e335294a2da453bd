// Wire codec: datagram round trip and rejection of short/foreign input; the frame
// reader across arbitrary splits, noise before sync, corrupt frames and oversize lengths.
#include "Protocol.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using namespace proto;

namespace {

std::vector<std::uint8_t> bytes(std::initializer_list<int> list) {
    std::vector<std::uint8_t> v;
    for (int b : list)
        v.push_back(static_cast<std::uint8_t>(b));
    return v;
}

std::vector<std::uint8_t> sampleBody(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::uint8_t>(i * 31 + 7);
    return v;
}

} // namespace

TEST(Protocol, LittleEndianLayout) {
    std::vector<std::uint8_t> out;
    putU16(out, 0x1234);
    putU32(out, 0xA1B2C3D4);
    putI32(out, -2);
    EXPECT_EQ(out, bytes({0x34, 0x12, 0xD4, 0xC3, 0xB2, 0xA1, 0xFE, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(getU16(out.data()), 0x1234);
    EXPECT_EQ(getU32(out.data() + 2), 0xA1B2C3D4u);
    EXPECT_EQ(getI32(out.data() + 6), -2);
}

TEST(Protocol, DatagramRoundTripAndHeaderBytes) {
    const auto body = bytes({0x65, 0, 0, 0});
    const auto d = makeDatagram(InfoRequest, 0x01020304, body);
    ASSERT_EQ(d.size(), kDatagramHeaderSize + 4);
    EXPECT_EQ(std::vector<std::uint8_t>(d.begin(), d.begin() + 12),
              bytes({'S', 'D', 'P', '1', 0x02, 0x00, 0x00, 0x00, 0x04, 0x03, 0x02, 0x01}));
    const auto p = parseDatagram(d.data(), d.size());
    ASSERT_TRUE(p);
    EXPECT_EQ(p->type, InfoRequest);
    EXPECT_EQ(p->seq, 0x01020304u);
    EXPECT_EQ(p->body, body);
}

TEST(Protocol, DatagramRejectsShortForeignAndOversize) {
    const auto good = makeDatagram(ScanRequest, 9, {});
    EXPECT_TRUE(parseDatagram(good.data(), good.size()));
    EXPECT_FALSE(parseDatagram(nullptr, 0));
    for (std::size_t n = 0; n < kDatagramHeaderSize; ++n)
        EXPECT_FALSE(parseDatagram(good.data(), n)) << n;
    auto foreign = good;
    foreign[3] = '2';
    EXPECT_FALSE(parseDatagram(foreign.data(), foreign.size()));
    const std::vector<std::uint8_t> garbage(64, 0xFF);
    EXPECT_FALSE(parseDatagram(garbage.data(), garbage.size()));
    auto big = makeDatagram(ScanReply, 1, std::vector<std::uint8_t>(kMaxDatagram, 0));
    EXPECT_FALSE(parseDatagram(big.data(), big.size()));
}

TEST(Protocol, FrameLayout) {
    const auto f = makeFrame(End, bytes({1, 2, 3, 4}));
    ASSERT_EQ(f.size(), kFrameOverhead + 4);
    EXPECT_EQ(std::vector<std::uint8_t>(f.begin(), f.begin() + 8),
              bytes({0x7E, 0xA5, 0x12, 0x00, 0x04, 0x00, 0x00, 0x00}));
    FrameReader r;
    r.feed(f.data(), f.size());
    const auto got = r.next();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->type, End);
    EXPECT_EQ(got->body, bytes({1, 2, 3, 4}));
    EXPECT_FALSE(r.next());
    EXPECT_EQ(r.discarded(), 0u);
}

// Three frames (one empty, one holding sync bytes in its body) split into two
// feeds at every possible byte boundary.
TEST(Protocol, FramesSurviveEverySplit) {
    auto body2 = sampleBody(300);
    body2[10] = kFrameSync0;
    body2[11] = kFrameSync1;
    std::vector<std::uint8_t> stream;
    for (const auto& f : {makeFrame(BeginReply, bytes({0x65, 0, 0, 0, 0, 0, 0, 0})), makeFrame(Chunk, body2),
                          makeFrame(End, nullptr, 0)})
        stream.insert(stream.end(), f.begin(), f.end());

    for (std::size_t split = 0; split <= stream.size(); ++split) {
        FrameReader r;
        std::vector<Frame> got;
        r.feed(stream.data(), split);
        while (auto f = r.next())
            got.push_back(*f);
        r.feed(stream.data() + split, stream.size() - split);
        while (auto f = r.next())
            got.push_back(*f);
        ASSERT_EQ(got.size(), 3u) << "split " << split;
        EXPECT_EQ(got[0].type, BeginReply);
        EXPECT_EQ(got[1].body, body2);
        EXPECT_EQ(got[2].type, End);
        EXPECT_TRUE(got[2].body.empty());
        EXPECT_EQ(r.discarded(), 0u);
    }
}

TEST(Protocol, ByteAtATimeWithNoiseBeforeSync) {
    auto stream = bytes({0x00, 0x7E, 0x7E, 0x13, 0xA5, 0xFF});
    const auto f = makeFrame(FlashProgress, bytes({50, 0, 0, 0}));
    stream.insert(stream.end(), f.begin(), f.end());
    FrameReader r;
    std::vector<Frame> got;
    for (auto b : stream) {
        r.feed(&b, 1);
        while (auto fr = r.next())
            got.push_back(*fr);
    }
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].type, FlashProgress);
    EXPECT_EQ(r.discarded(), 6u);
}

TEST(Protocol, CorruptFrameSkippedNextOneRead) {
    auto bad = makeFrame(Chunk, sampleBody(40));
    bad[20] ^= 0x01;
    const auto good = makeFrame(ChunkAck, bytes({40, 0, 0, 0, 0, 0, 0, 0}));
    FrameReader r;
    r.feed(bad.data(), bad.size());
    r.feed(good.data(), good.size());
    const auto got = r.next();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->type, ChunkAck);
    EXPECT_EQ(r.discarded(), bad.size());
    EXPECT_FALSE(r.next());
}

// A header claiming a huge body must not make the reader wait for (or allocate)
// it; the frame that follows is still found.
TEST(Protocol, OversizeLengthRejectedAtOnce) {
    auto stream = bytes({0x7E, 0xA5, 0x11, 0x00, 0xFF, 0xFF, 0xFF, 0x7F});
    const auto good = makeFrame(End, bytes({9, 9, 9, 9}));
    stream.insert(stream.end(), good.begin(), good.end());
    FrameReader r;
    r.feed(stream.data(), stream.size());
    const auto got = r.next();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->type, End);
    EXPECT_EQ(r.discarded(), 8u);

    FrameReader limit;
    auto atLimit = makeFrame(Chunk, std::vector<std::uint8_t>(kMaxFrameBody, 0xAB));
    limit.feed(atLimit.data(), atLimit.size());
    ASSERT_TRUE(limit.next());
}
