// What arrives from the other side malformed: datagrams short, foreign or oversize are
// refused (scan replies reaching beyond their total are fuzz_datagram's to find); the
// frame reader of a serial line, fed whole or a byte at a time, skips noise, a corrupt frame
// or an oversize length (never waited for) and reads the frames that follow; that of a
// stream transport stops at any of them.
#include "wire/Datagram.h"
#include "wire/UploadFrames.h"

#include <gtest/gtest.h>

using namespace wire;
using Bytes = std::vector<std::uint8_t>;

TEST(Datagrams, ShortForeignAndOversizeRefused) {
    const auto good = encodeScanRequest(9);
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

// A frame holding sync bytes in its body, then an empty one, behind each kind of garbage.
TEST(FrameReader, FramesReadAfterGarbageInAnySplit) {
    Bytes body(300, 0x11);
    body[10] = kFrameSync0;
    body[11] = kFrameSync1;
    auto corrupt = makeFrame(Chunk, Bytes(40, 0x33));
    corrupt[20] ^= 0x01;
    const Bytes garbage[] = {
        {},                                               // none
        {0x00, 0x7E, 0x7E, 0x13, 0xA5, 0xFF},             // noise before sync
        corrupt,                                          // body checksum wrong
        {0x7E, 0xA5, 0x11, 0x00, 0xFF, 0xFF, 0xFF, 0x7F}, // length far beyond the limit
    };
    const auto first = makeFrame(Chunk, body), end = makeFrame(End, nullptr, 0);
    for (const Bytes& g : garbage) {
        for (const std::size_t step : {std::size_t{1}, std::size_t{7}, std::size_t{1} << 20}) {
            Bytes stream = g;
            stream.insert(stream.end(), first.begin(), first.end());
            stream.insert(stream.end(), end.begin(), end.end());
            FrameReader r, tcp(FrameReader::Mode::Stream);
            std::vector<Frame> got, gotTcp;
            for (std::size_t at = 0; at < stream.size(); at += step) {
                r.feed(stream.data() + at, std::min(step, stream.size() - at));
                tcp.feed(stream.data() + at, std::min(step, stream.size() - at));
                while (auto f = r.next())
                    got.push_back(*f);
                while (auto f = tcp.next())
                    gotTcp.push_back(*f);
            }
            EXPECT_EQ(gotTcp.size(), g.empty() ? 2u : 0u);
            EXPECT_EQ(tcp.failed(), !g.empty());
            ASSERT_EQ(got.size(), 2u) << g.size() << " bytes of garbage, step " << step;
            EXPECT_EQ(got[0].body, body);
            EXPECT_EQ(got[1].type, End);
            EXPECT_TRUE(got[1].body.empty());
            EXPECT_EQ(r.discarded(), g.size());
        }
    }
    FrameReader limit;
    const auto big = makeFrame(Chunk, Bytes(kMaxFrameBody, 0xAB));
    limit.feed(big.data(), big.size());
    EXPECT_TRUE(limit.next());
}
