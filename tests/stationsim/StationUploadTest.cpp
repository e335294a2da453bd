// Uploads, device side: every protocol error (each Begin refusal, chunk out of order or
// corrupt, bad End, invalid image) ends the session without commit and keeps the old
// version; Busy for a second session; a client leaving mid-flash; a stop mid-session;
// thirty commits at once (fault thresholds just beyond the image never firing) kept
// across a restart through --state.
#include "tests/stationsim/SimHarness.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <thread>

using namespace simtest;
using namespace wire; // statuses and frame types

namespace {

const std::pair<int, int> kOld{2, 3};
const Bytes kImage = zutest::makeImageBytes(1000, 3, 7); // 1064 bytes
const auto kSize = static_cast<std::uint32_t>(kImage.size());

// Each device fault failing an upload is covered through the library.
TEST(Upload, EachProtocolErrorClosesTheSessionAndKeepsTheVersion) {
    using U = std::uint32_t;
    constexpr U kMax = 64 + 256u * 1024 * 1024;
    auto B = [](int id = 101, U size = kSize, U chunk = 64) { return beginFrame(id, kImage, chunk, size); };
    auto C = [](U offset, U size = 64, U crcFlip = 0) { return chunkFrame(kImage, offset, size, crcFlip); };
    auto E = [](U crcFlip = 0) { return endFrame(kImage, crcFlip); };
    auto all = [](const Bytes& image, Bytes last) { // the whole of `image` in order, then `last`
        const auto size = static_cast<std::uint32_t>(image.size());
        std::vector<Bytes> frames{beginFrame(101, image, 64)};
        for (std::uint32_t offset = 0; offset < size; offset += 64)
            frames.push_back(chunkFrame(image, offset, std::min(64u, size - offset)));
        frames.push_back(last);
        return frames;
    };
    Bytes invalid = kImage;
    invalid[200] ^= 0x55; // the header's payload CRC no longer matches; transport CRCs do
    const struct {
        const char* label;
        std::vector<Bytes> frames;
        std::uint16_t replyType, status;
    } rows[] = {
        {"unknown id", {B(999)}, BeginReply, UnknownId},
        {"image too large", {B(101, kMax + 1)}, BeginReply, TooLarge},
        {"chunk 0", {B(101, kSize, 0)}, BeginReply, TooLarge},
        {"begin without fields", {makeFrame(Begin, Bytes{1, 2})}, BeginReply, BadRequest},
        // Accepted, then ended at once, so that no session stays open.
        {"largest image and chunk", {B(101, kMax, 65536), E()}, VerifyReply, ImageCrcBad},
        {"serial device over TCP", {B(102, 1, 1), E()}, VerifyReply, ImageCrcBad},
        {"chunk skips ahead", {B(), C(0), C(128)}, ChunkAck, OutOfOrder},
        {"chunk crc wrong", {B(), C(0, 64, 1)}, ChunkAck, ChunkCrcBad},
        {"chunk above announced size", {B(), C(0, 65)}, ChunkAck, BadRequest},
        {"chunk past image end", all(kImage, C(kSize, 1)), ChunkAck, BadRequest},
        {"end crc differs", all(kImage, E(1)), VerifyReply, ImageCrcBad},
        {"not a firmware image", all(invalid, endFrame(invalid)), VerifyReply, ImageInvalid},
    };
    StationProcess st(R"({"devices": [{"id": 101, "version": [2, 3]}, {"id": 102, "serial": true}]})");
    ASSERT_TRUE(st.running()) << st.error();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        FrameStream c = FrameStream::connectTo(st.port());
        std::optional<Frame> reply;
        for (const Bytes& f : row.frames) {
            c.send(f);
            if (!(reply = c.read()) || statusOf(*reply) != Ok)
                break;
        }
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->type, row.replyType);
        EXPECT_EQ(statusOf(*reply), row.status);
        EXPECT_FALSE(c.read()) << "session closed";
        EXPECT_TRUE(c.peerClosed());
        EXPECT_EQ(versionOf(st.port(), 101), kOld);
    }
}

TEST(Upload, BusyUntilTheFirstEndsLeavingMidFlashAndStopMidSession) {
    StationProcess st(R"({"flash_kbps": 2, "devices": [{"id": 101, "version": [2, 3]}, {"id": 102}]})");
    ASSERT_TRUE(st.running()) << st.error();
    auto begin = [&](std::int32_t id) {
        FrameStream c = FrameStream::connectTo(st.port());
        c.send(beginFrame(id, kImage, 64));
        const auto r = c.read();
        return std::pair(std::move(c), r ? statusOf(*r) : 0xFFFF);
    };
    auto [first, accepted] = begin(101);
    EXPECT_EQ(accepted, Ok);
    EXPECT_EQ(begin(101).second, Busy);
    auto [other, alsoAccepted] = begin(102);
    EXPECT_EQ(alsoAccepted, Ok) << "other devices are not affected";
    first.close(); // the client leaves; the device frees itself once it notices
    Outcome o;     // then one leaves half a second of flash after its start
    for (int i = 0; i < 100 && (i == 0 || o.begin == Busy); ++i) {
        FrameStream leaving = FrameStream::connectTo(st.port());
        if ((o = upload(leaving, 101, kImage, 512, 2)).begin == Busy)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(o.verify, Ok);
    EXPECT_FALSE(o.commit);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(versionOf(st.port(), 101), kOld);

    other.send(chunkFrame(kImage, 0, 64));
    ASSERT_TRUE(other.read());
    EXPECT_EQ(st.stop(), 0) << "a session in progress does not hold up the exit";
}

// Each commit is saved at once, also when thirty come together, and read back at start.
TEST(Concurrency, ThirtyUploadsAtOnceAllKeptAcrossARestart) {
    TempDir dir;
    zutest::StationOptions options;
    options.statePath = dir.file("state.json");
    std::string json = R"({"link_kbps": 8000, "flash_kbps": 1000, "devices": [{"id": 7, "version": [1, 0]},
        {"id": 101, "faults": {"drop_after": 20065, "stall_after": 20065, "corrupt_at": 20064}})";
    for (int i = 1; i < 30; ++i)
        json += R"(, {"id": )" + std::to_string(101 + i) + "}";
    json += "]}";
    {
        StationProcess st(json, options);
        ASSERT_TRUE(st.running()) << st.error();
        const Bytes image = zutest::makeImageBytes(20000, 3, 7);
        std::atomic<int> committed{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < 30; ++i)
            threads.emplace_back([&, i] {
                FrameStream c = FrameStream::connectTo(st.port());
                committed += upload(c, 101 + i, image, 4096, -1, 10000).commit == Ok;
            });
        for (auto& t : threads)
            t.join();
        EXPECT_EQ(committed.load(), 30);
        struct stat s {};
        EXPECT_EQ(::stat(options.statePath.c_str(), &s), 0) << "saved right after the commits";
    }
    StationProcess st(json, options);
    ASSERT_TRUE(st.running()) << st.error();
    for (int i = 0; i < 30; ++i)
        EXPECT_EQ(versionOf(st.port(), 101 + i), std::pair(3, 7));
    EXPECT_EQ(versionOf(st.port(), 7), std::pair(1, 0));
}

} // namespace
