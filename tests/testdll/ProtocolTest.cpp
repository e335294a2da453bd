// Wire codec: datagram and frame header bytes, rejection of short/foreign/oversize
// datagrams; the frame reader across every split, and skipping noise, a corrupt frame
// or an oversize length (never waited for) to read the frame that follows.
#include "Protocol.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using namespace proto;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes bytes(std::initializer_list<int> list) {
    Bytes v;
    for (int b : list)
        v.push_back(static_cast<std::uint8_t>(b));
    return v;
}

Bytes sampleBody(std::size_t n) {
    Bytes v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::uint8_t>(i * 31 + 7);
    return v;
}

// Feeds `stream` in pieces of `step` bytes and collects every frame.
std::vector<Frame> read(FrameReader& r, const Bytes& stream, std::size_t step) {
    std::vector<Frame> got;
    for (std::size_t at = 0; at < stream.size(); at += step) {
        r.feed(stream.data() + at, std::min(step, stream.size() - at));
        while (auto f = r.next())
            got.push_back(*f);
    }
    return got;
}

} // namespace

TEST(Protocol, HeaderBytesAndRoundTrip) {
    const auto d = makeDatagram(InfoRequest, 0x01020304, bytes({0x65, 0, 0, 0}));
    EXPECT_EQ(d, bytes({'S', 'D', 'P', '1', 0x02, 0x00, 0x00, 0x00, 0x04, 0x03, 0x02, 0x01, 0x65, 0, 0, 0}));
    const auto p = parseDatagram(d.data(), d.size());
    ASSERT_TRUE(p);
    EXPECT_EQ(p->type, InfoRequest);
    EXPECT_EQ(p->seq, 0x01020304u);
    EXPECT_EQ(p->body, bytes({0x65, 0, 0, 0}));

    const auto f = makeFrame(End, bytes({1, 2, 3, 4}));
    ASSERT_EQ(f.size(), kFrameOverhead + 4);
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 8), bytes({0x7E, 0xA5, 0x12, 0x00, 0x04, 0x00, 0x00, 0x00}));
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
    const Bytes garbage(64, 0xFF);
    EXPECT_FALSE(parseDatagram(garbage.data(), garbage.size()));
    const auto big = makeDatagram(ScanReply, 1, Bytes(kMaxDatagram, 0));
    EXPECT_FALSE(parseDatagram(big.data(), big.size()));
}

// Two frames (one holding sync bytes in its body, one empty) split into two feeds
// at every byte boundary; a frame at the size limit is still read.
TEST(Protocol, FramesSurviveEverySplit) {
    auto body = sampleBody(300);
    body[10] = kFrameSync0;
    body[11] = kFrameSync1;
    Bytes stream;
    for (const auto& f : {makeFrame(Chunk, body), makeFrame(End, nullptr, 0)})
        stream.insert(stream.end(), f.begin(), f.end());
    for (std::size_t split = 0; split <= stream.size(); ++split) {
        FrameReader r;
        auto got =
            read(r, Bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(split)), 1 << 20);
        const auto rest =
            read(r, Bytes(stream.begin() + static_cast<std::ptrdiff_t>(split), stream.end()), 1 << 20);
        got.insert(got.end(), rest.begin(), rest.end());
        ASSERT_EQ(got.size(), 2u) << "split " << split;
        EXPECT_EQ(got[0].body, body);
        EXPECT_EQ(got[1].type, End);
        EXPECT_TRUE(got[1].body.empty());
        EXPECT_EQ(r.discarded(), 0u);
    }
    FrameReader limit;
    EXPECT_EQ(read(limit, makeFrame(Chunk, Bytes(kMaxFrameBody, 0xAB)), 1 << 20).size(), 1u);
}

TEST(Protocol, GarbageSkippedFollowingFrameRead) {
    auto corrupt = makeFrame(Chunk, sampleBody(40));
    corrupt[20] ^= 0x01;
    const Bytes garbage[] = {
        bytes({0x00, 0x7E, 0x7E, 0x13, 0xA5, 0xFF}),             // noise before sync
        corrupt,                                                 // body checksum wrong
        bytes({0x7E, 0xA5, 0x11, 0x00, 0xFF, 0xFF, 0xFF, 0x7F}), // length far beyond the limit
    };
    const auto good = makeFrame(FlashProgress, bytes({50, 0, 0, 0}));
    for (const Bytes& g : garbage) {
        for (const std::size_t step : {std::size_t{1}, std::size_t{1} << 20}) {
            Bytes stream = g;
            stream.insert(stream.end(), good.begin(), good.end());
            FrameReader r;
            const auto got = read(r, stream, step);
            ASSERT_EQ(got.size(), 1u) << g.size() << " bytes of garbage, step " << step;
            EXPECT_EQ(got[0].type, FlashProgress);
            EXPECT_EQ(r.discarded(), g.size());
        }
    }
}
