// Uploads, device side: a commit after rising progress reports and keeps the image's
// version (also across a restart through --state); every fault and every protocol
// error (each Begin refusal, chunk out of order or corrupt, bad End, invalid image, a
// client leaving mid-flash) ends without commit and keeps the old version; Busy for a
// second session; a stop mid-session; the serial line with noise and leftovers; 30 at once.
#include "SimHarness.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <thread>

using namespace simtest;

namespace {

const std::pair<int, int> kOld{2, 3};
const std::pair<int, int> kNew{3, 7};
const Bytes kImage = zutest::makeImageBytes(1000, 3, 7); // 1064 bytes
const auto kSize = static_cast<std::uint32_t>(kImage.size());

TEST(Upload, EachFaultFailsTheSessionAndKeepsTheVersion) {
    using S = std::optional<std::uint16_t>;
    const struct Row {
        const char* faults;
        int timeoutMs;
        S begin, nack;
        std::uint32_t acked;
        bool silence, reset;
        S commit;
    } rows[] = {
        {R"("reject": true, "delay_ms": 50)", 2000, proto::Rejected, {}, 0, false, false, {}},
        {R"("silent": true)", 300, {}, {}, 0, true, false, {}},
        {R"("corrupt_at": 100)", 2000, proto::Ok, proto::ChunkCrcBad, 64, false, false, {}}, // second chunk
        {R"("corrupt_at": 1063)", 2000, proto::Ok, proto::ChunkCrcBad, 1024, false, false, {}},
        {R"("drop_after": 200)", 2000, proto::Ok, {}, 192, false, true, {}}, // fourth chunk unacknowledged
        {R"("drop_after": 1064)", 2000, proto::Ok, {}, 1024, false, true, {}},
        {R"("stall_after": 128)", 300, proto::Ok, {}, 64, true, false, {}},
        {R"("flash_fail": true)", 2000, proto::Ok, {}, 1064, false, false, proto::FlashFailed},
        // Thresholds just beyond the image never fire.
        {R"("drop_after": 1065, "stall_after": 1065, "corrupt_at": 1064, "delay_ms": 20)",
         2000,
         proto::Ok,
         {},
         1064,
         false,
         false,
         proto::Ok},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.faults);
        // A quarter second of flash.
        StationProcess st(R"({"flash_kbps": 4, "devices": [{"id": 101, "version": [2, 3], "faults": {)" +
                          std::string(row.faults) + "}}]}");
        ASSERT_TRUE(st.running()) << st.error();
        Conn c(st.port());
        const Outcome o = upload(c, 101, kImage, {.chunk = 64, .timeoutMs = row.timeoutMs});
        EXPECT_EQ(o.begin, row.begin);
        EXPECT_EQ(o.nack, row.nack);
        EXPECT_EQ(o.acked, row.acked);
        EXPECT_EQ(o.silence, row.silence);
        EXPECT_EQ(o.reset, row.reset);
        EXPECT_EQ(o.commit, row.commit);
        const auto expected = row.commit == proto::Ok ? kNew : kOld;
        if (row.commit) { // a failed flash reports the old version, after half the progress
            EXPECT_EQ(o.version, expected);
            EXPECT_TRUE(std::is_sorted(o.progress.begin(), o.progress.end()));
            EXPECT_EQ(o.progress.empty() ? -1 : o.progress.back(), row.commit == proto::Ok ? 100 : 50);
        }
        c.close();
        if (!row.silence || row.begin) { // a silent device cannot be asked
            EXPECT_EQ(versionOf(st.port(), 101), expected);
        }
        EXPECT_EQ(st.stop(), 0);
    }
}

// One step of a hand-driven session: 'B' Begin(a = id, b = size, c = chunk), 'b' a Begin
// without its fields, 'C' Chunk(a = offset, b = size, c = CRC flip), 'A' all chunks of
// 64 in order, 'E' End(a = CRC flip).
struct Step {
    char kind;
    std::uint32_t a = 0, b = 0, c = 0;
};

TEST(Upload, EachProtocolErrorClosesTheSessionAndKeepsTheVersion) {
    constexpr std::uint32_t kMax = 64 + 256u * 1024 * 1024;
    const Step begin{'B', 101, kSize, 64};
    const struct {
        const char* label;
        std::vector<Step> steps;
        std::uint16_t replyType, status;
    } rows[] = {
        {"unknown id", {{'B', 999, kSize, 64}}, proto::BeginReply, proto::UnknownId},
        {"empty image", {{'B', 101, 0, 64}}, proto::BeginReply, proto::TooLarge},
        {"image too large", {{'B', 101, kMax + 1, 64}}, proto::BeginReply, proto::TooLarge},
        {"chunk 0", {{'B', 101, kSize, 0}}, proto::BeginReply, proto::TooLarge},
        {"chunk too large", {{'B', 101, kSize, 65537}}, proto::BeginReply, proto::TooLarge},
        // Accepted, then ended at once, so that no session stays open.
        {"largest image and chunk", {{'B', 101, kMax, 65536}, {'E'}}, proto::VerifyReply, proto::ImageCrcBad},
        {"serial device over TCP", {{'B', 102, 1, 1}, {'E'}}, proto::VerifyReply, proto::ImageCrcBad},
        {"begin without fields", {{'b'}}, proto::BeginReply, proto::BadRequest},
        {"chunk skips ahead", {begin, {'C', 0, 64}, {'C', 128, 64}}, proto::ChunkAck, proto::OutOfOrder},
        {"chunk repeated", {begin, {'C', 0, 64}, {'C', 0, 64}}, proto::ChunkAck, proto::OutOfOrder},
        {"chunk crc wrong", {begin, {'C', 0, 64, 1}}, proto::ChunkAck, proto::ChunkCrcBad},
        {"chunk above announced size", {begin, {'C', 0, 65}}, proto::ChunkAck, proto::BadRequest},
        {"chunk past image end", {begin, {'A'}, {'C', kSize, 1}}, proto::ChunkAck, proto::BadRequest},
        {"end too early", {begin, {'C', 0, 64}, {'E'}}, proto::VerifyReply, proto::ImageCrcBad},
        {"end crc differs", {begin, {'A'}, {'E', 1}}, proto::VerifyReply, proto::ImageCrcBad},
    };
    StationProcess st(R"({"devices": [{"id": 101, "version": [2, 3]}, {"id": 102, "serial": true}]})");
    ASSERT_TRUE(st.running()) << st.error();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        std::vector<Bytes> frames;
        for (const Step& s : row.steps) {
            for (std::uint32_t off = 0; s.kind == 'A' && off < kSize; off += 64)
                frames.push_back(chunkFrame(kImage, off, std::min(64u, kSize - off)));
            if (s.kind == 'B' || s.kind == 'b')
                frames.push_back(s.kind == 'b'
                                     ? proto::makeFrame(proto::Begin, Bytes{1, 2})
                                     : beginFrame(static_cast<std::int32_t>(s.a), s.b, crcOf(kImage), s.c));
            else if (s.kind == 'C' || s.kind == 'E')
                frames.push_back(s.kind == 'E' ? endFrame(crcOf(kImage) ^ s.a)
                                               : chunkFrame(kImage, s.a, s.b, s.c));
        }
        Conn c(st.port());
        std::optional<proto::Frame> reply;
        for (const Bytes& f : frames) {
            c.sendRaw(f);
            if (!(reply = c.read()) || statusOf(*reply) != proto::Ok)
                break;
        }
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->type, row.replyType);
        EXPECT_EQ(statusOf(*reply), row.status);
        EXPECT_FALSE(c.read()) << "session closed";
        EXPECT_TRUE(c.peerClosed());
        EXPECT_EQ(versionOf(st.port(), 101), kOld);
    }

    Bytes image = kImage;
    image[200] ^= 0x55; // the header's payload CRC no longer matches; transport CRCs do
    Conn c(st.port());
    const Outcome o = upload(c, 101, image, {.chunk = 64});
    EXPECT_EQ(o.verify, proto::ImageInvalid);
    EXPECT_FALSE(o.commit);
    EXPECT_EQ(versionOf(st.port(), 101), kOld);
}

TEST(Upload, BusyUntilTheFirstEndsLeavingMidFlashAndStopMidSession) {
    StationProcess st(R"({"flash_kbps": 2, "devices": [{"id": 101, "version": [2, 3]}, {"id": 102}]})");
    ASSERT_TRUE(st.running()) << st.error();
    auto begin = [&](Conn& c, std::int32_t id) {
        c.sendRaw(beginFrame(id, kSize, crcOf(kImage), 64));
        const auto r = c.read();
        return r ? statusOf(*r) : 0xFFFF;
    };
    auto first = std::make_unique<Conn>(st.port());
    EXPECT_EQ(begin(*first, 101), proto::Ok);
    EXPECT_EQ(begin(*std::make_unique<Conn>(st.port()), 101), proto::Busy);
    Conn other(st.port());
    EXPECT_EQ(begin(other, 102), proto::Ok) << "other devices are not affected";
    first.reset(); // the client leaves; the device frees itself once it notices
    Outcome o;     // then one leaves half a second of flash after its start
    for (int i = 0; i < 100 && (i == 0 || o.begin == proto::Busy); ++i) {
        Conn leaving(st.port());
        if ((o = upload(leaving, 101, kImage, {.chunk = 512, .closeAfterProgress = 2})).begin == proto::Busy)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(o.verify, proto::Ok);
    EXPECT_FALSE(o.commit);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(versionOf(st.port(), 101), kOld);

    other.sendRaw(chunkFrame(kImage, 0, 64));
    ASSERT_TRUE(other.read());
    EXPECT_EQ(st.stop(), 0) << "a session in progress does not hold up the exit";
}

TEST(State, CommittedVersionSurvivesARestart) {
    TempDir dir;
    zutest::StationOptions options;
    options.statePath = dir.file("state.json");
    const std::string json =
        R"({"devices": [{"id": 101, "version": [2, 3]}, {"id": 102, "version": [1, 0]}]})";
    {
        StationProcess st(json, options);
        ASSERT_TRUE(st.running()) << st.error();
        Conn c(st.port());
        EXPECT_EQ(upload(c, 101, kImage).commit, proto::Ok);
        struct stat s {};
        EXPECT_EQ(::stat(options.statePath.c_str(), &s), 0) << "saved right after the commit";
    }
    StationProcess st(json, options);
    ASSERT_TRUE(st.running()) << st.error();
    EXPECT_EQ(versionOf(st.port(), 101), kNew);
    EXPECT_EQ(versionOf(st.port(), 102), std::pair(1, 0));
    // A state entry for a device no longer in the station is ignored.
    StationProcess fewer(R"({"devices": [{"id": 102, "version": [1, 0]}]})", options);
    ASSERT_TRUE(fewer.running()) << fewer.error();
    EXPECT_EQ(versionOf(fewer.port(), 102), std::pair(1, 0));
}

TEST(Serial, UploadOverThePseudoTerminalSkipsNoiseAndLeftovers) {
    TempDir dir;
    zutest::StationOptions options;
    options.serialPath = dir.file("ttyCOM1");
    StationProcess st(R"({"serial_baud": 1000000, "flash_kbps": 15, "devices": [
        {"id": 101, "version": [2, 3], "serial": true}, {"id": 102, "version": [2, 3]}]})",
                      options);
    ASSERT_TRUE(st.running()) << st.error();
    const Bytes image = zutest::makeImageBytes(3000, 3, 7);
    auto line = [&] { return std::make_unique<Conn>(options.serialPath); };
    auto c = line();
    c->sendRaw({0x00, 0x7E, 0x13, 0xFF, 0x7E}); // line noise before the first frame
    EXPECT_EQ(upload(*c, 102, image, {.chunk = 1024}).begin, proto::UnknownId) << "serial devices only";
    EXPECT_EQ(upload(*line(), 101, image, {.chunk = 1024}).commit, proto::Ok);
    // A client giving up mid-session, then one leaving during the flash, whose progress
    // frames keep coming: neither holds up or confuses the next one.
    c = line();
    c->sendRaw(beginFrame(101, static_cast<std::uint32_t>(image.size()), crcOf(image), 1024));
    ASSERT_TRUE(c->read());
    EXPECT_EQ(upload(*line(), 101, image, {.chunk = 1024, .closeAfterProgress = 1}).verify, proto::Ok);
    const Outcome o = upload(*line(), 101, zutest::makeImageBytes(100, 5, 1), {.chunk = 1024});
    EXPECT_EQ(o.begin, proto::Ok);
    EXPECT_EQ(o.commit, proto::Ok);
    EXPECT_EQ(versionOf(st.port(), 101), std::pair(5, 1));
    EXPECT_EQ(versionOf(st.port(), 102), kOld);
}

TEST(Concurrency, ThirtyDevicesUploadAtOnce) {
    std::string devices = R"({"id": 101})";
    for (int i = 1; i < 30; ++i)
        devices += R"(, {"id": )" + std::to_string(101 + i) + "}";
    StationProcess st(R"({"link_kbps": 8000, "flash_kbps": 1000, "devices": [)" + devices + "]}");
    ASSERT_TRUE(st.running()) << st.error();
    const Bytes image = zutest::makeImageBytes(20000, 3, 7);
    std::atomic<int> committed{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 30; ++i)
        threads.emplace_back([&, i] {
            Conn c(st.port());
            committed += upload(c, 101 + i, image, {.chunk = 4096, .timeoutMs = 10000}).commit == proto::Ok;
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(committed.load(), 30);
    for (int i = 0; i < 30; ++i)
        EXPECT_EQ(versionOf(st.port(), 101 + i), kNew);
}

} // namespace
