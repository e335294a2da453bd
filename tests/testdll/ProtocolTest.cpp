// Wire codec: rejection of short/foreign/oversize datagrams; the frame reader across every split, and
// skipping noise, a corrupt frame or an oversize length (never waited for) to read the frame that follows.
#include "Protocol.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using namespace proto;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Feeds `stream` in pieces of `step` bytes and collects every frame.
std::vector<Frame> read(FrameReader& r, const Bytes& stream, std::size_t step = 1 << 20) {
    std::vector<Frame> got;
    for (std::size_t at = 0; at < stream.size(); at += step) {
        r.feed(stream.data() + at, std::min(step, stream.size() - at));
        while (auto f = r.next())
            got.push_back(*f);
    }
    return got;
}

} // namespace

TEST(Protocol, DatagramRejectsShortForeignAndOversize) {
    const auto good = makeDatagram(ScanRequest, 9, {});
    EXPECT_TRUE(parseDatagram(good.data(), good.size()));
    EXPECT_FALSE(parseDatagram(nullptr, 0));
    for (std::size_t n = 0; n < kDatagramHeaderSize; ++n)
        EXPECT_FALSE(parseDatagram(good.data(), n)) << n;
    auto foreign = good;
    foreign[3] = '2';
    const Bytes garbage(64, 0xFF), big = makeDatagram(ScanReply, 1, Bytes(kMaxDatagram, 0));
    for (const Bytes& b : {foreign, garbage, big})
        EXPECT_FALSE(parseDatagram(b.data(), b.size()));
}

// Two frames (one holding sync bytes in its body, one empty) split into two feeds
// at every byte boundary; a frame at the size limit is still read.
TEST(Protocol, FramesSurviveEverySplit) {
    Bytes body(300, 0x11);
    body[10] = kFrameSync0;
    body[11] = kFrameSync1;
    Bytes stream = makeFrame(Chunk, body);
    const auto end = makeFrame(End, nullptr, 0);
    stream.insert(stream.end(), end.begin(), end.end());
    for (auto split = stream.begin(); split <= stream.end(); ++split) {
        FrameReader r;
        auto got = read(r, Bytes(stream.begin(), split));
        const auto rest = read(r, Bytes(split, stream.end()));
        got.insert(got.end(), rest.begin(), rest.end());
        ASSERT_EQ(got.size(), 2u) << "split " << (split - stream.begin());
        EXPECT_EQ(got[0].body, body);
        EXPECT_EQ(got[1].type, End);
        EXPECT_TRUE(got[1].body.empty());
        EXPECT_EQ(r.discarded(), 0u);
    }
    FrameReader limit;
    EXPECT_EQ(read(limit, makeFrame(Chunk, Bytes(kMaxFrameBody, 0xAB))).size(), 1u);
}

TEST(Protocol, GarbageSkippedFollowingFrameRead) {
    auto corrupt = makeFrame(Chunk, Bytes(40, 0x33));
    corrupt[20] ^= 0x01;
    const Bytes garbage[] = {
        {0x00, 0x7E, 0x7E, 0x13, 0xA5, 0xFF},             // noise before sync
        corrupt,                                          // body checksum wrong
        {0x7E, 0xA5, 0x11, 0x00, 0xFF, 0xFF, 0xFF, 0x7F}, // length far beyond the limit
    };
    const auto good = makeFrame(FlashProgress, Bytes{50, 0, 0, 0});
    for (const Bytes& g : garbage) {
        for (const std::size_t step : {1, 1 << 20}) {
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
