// Uploads, device side: a commit reports and keeps the image's version (also across
// a restart through --state); every fault and every protocol error (each Begin
// refusal, chunk out of order or corrupt, bad End, invalid image, a client leaving
// mid-flash) ends without commit and keeps the old version; Busy for a second
// session; a stop mid-session; the serial line with noise and leftovers; 30 at once.
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

std::string oneDevice(const std::string& faults, const std::string& top = "") {
    return "{" + top + R"("devices": [{"id": 101, "version": [2, 3], "faults": {)" + faults + "}}]}";
}

TEST(Upload, CommitReportsTheImageVersionAfterRisingProgress) {
    StationProcess st(oneDevice("", R"("flash_kbps": 4, )")); // a quarter second of flash
    ASSERT_TRUE(st.running()) << st.error();
    Conn c(st.port());
    const Outcome o = upload(c, 101, kImage, {.chunk = 100});
    EXPECT_EQ(o.begin, proto::Ok);
    EXPECT_EQ(o.acked, kImage.size());
    EXPECT_EQ(o.verify, proto::Ok);
    ASSERT_EQ(o.commit, proto::Ok);
    EXPECT_EQ(o.version, kNew);
    ASSERT_FALSE(o.progress.empty());
    EXPECT_EQ(o.progress.back(), 100);
    EXPECT_TRUE(std::is_sorted(o.progress.begin(), o.progress.end()));
    EXPECT_EQ(versionOf(st.port(), 101), kNew);
    EXPECT_EQ(st.stop(), 0);
}

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
        StationProcess st(oneDevice(row.faults));
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
            EXPECT_EQ(o.progress.back(), row.commit == proto::Ok ? 100 : 50);
        }
        c.close();
        if (!row.silence || row.begin) { // a silent device cannot be asked
            EXPECT_EQ(versionOf(st.port(), 101), expected);
        }
        EXPECT_EQ(st.stop(), 0);
    }
}

TEST(Upload, EachProtocolErrorClosesTheSessionAndKeepsTheVersion) {
    struct Step {
        std::uint32_t offset, size, crcXor = 0;
        bool end = false;
    };
    const struct {
        const char* label;
        bool allChunks; // first the whole image in chunks of 64
        std::vector<Step> steps;
        std::uint16_t replyType, status;
    } rows[] = {
        {"chunk skips ahead", false, {{0, 64}, {128, 64}}, proto::ChunkAck, proto::OutOfOrder},
        {"chunk repeated", false, {{0, 64}, {0, 64}}, proto::ChunkAck, proto::OutOfOrder},
        {"chunk crc wrong", false, {{0, 64, 1}}, proto::ChunkAck, proto::ChunkCrcBad},
        {"chunk above announced size", false, {{0, 65}}, proto::ChunkAck, proto::BadRequest},
        {"chunk past image end", true, {{1064, 1}}, proto::ChunkAck, proto::BadRequest},
        {"end too early", false, {{0, 64}, {0, 0, 0, true}}, proto::VerifyReply, proto::ImageCrcBad},
        {"end crc differs", true, {{0, 0, 1, true}}, proto::VerifyReply, proto::ImageCrcBad},
    };
    StationProcess st(oneDevice(""));
    ASSERT_TRUE(st.running()) << st.error();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        Conn c(st.port());
        c.send(proto::Begin, beginBody(101, static_cast<std::uint32_t>(kImage.size()), crcOf(kImage), 64));
        auto reply = c.read();
        ASSERT_TRUE(reply);
        ASSERT_EQ(statusOf(*reply), proto::Ok);
        std::vector<Step> steps;
        for (std::uint32_t off = 0; row.allChunks && off < kImage.size(); off += 64)
            steps.push_back(
                {off, std::min<std::uint32_t>(64, static_cast<std::uint32_t>(kImage.size()) - off)});
        steps.insert(steps.end(), row.steps.begin(), row.steps.end());
        for (const Step& s : steps) {
            c.sendRaw(s.end ? endFrame(crcOf(kImage) ^ s.crcXor)
                            : chunkFrame(kImage, s.offset, s.size, s.crcXor));
            reply = c.read();
            if (!reply || reply->type != proto::ChunkAck || statusOf(*reply) != proto::Ok)
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

TEST(Upload, BeginRefusals) {
    StationProcess st(R"({"devices": [{"id": 101, "version": [2, 3]}, {"id": 102, "serial": true}]})");
    ASSERT_TRUE(st.running()) << st.error();
    constexpr std::uint32_t kMax = 64 + 256u * 1024 * 1024;
    const struct {
        std::int32_t id;
        std::uint32_t size, chunk;
        std::uint16_t status;
    } rows[] = {{999, 100, 64, proto::UnknownId},
                {101, 0, 64, proto::TooLarge},
                {101, kMax + 1, 64, proto::TooLarge},
                {101, 100, 0, proto::TooLarge},
                {101, 100, 65537, proto::TooLarge},
                {101, kMax, 65536, proto::Ok},
                {102, 1, 1, proto::Ok}};
    for (const auto& r : rows) {
        Conn c(st.port());
        c.send(proto::Begin, beginBody(r.id, r.size, 0, r.chunk));
        const auto reply = c.read();
        ASSERT_TRUE(reply) << r.id << " " << r.size << " " << r.chunk;
        EXPECT_EQ(reply->type, proto::BeginReply);
        EXPECT_EQ(proto::getI32(reply->body.data()), r.id);
        EXPECT_EQ(statusOf(*reply), r.status) << r.id << " " << r.size << " " << r.chunk;
    }
    Conn c(st.port());
    c.send(proto::Begin, {1, 2}); // without its fields
    const auto reply = c.read();
    ASSERT_TRUE(reply);
    EXPECT_EQ(statusOf(*reply), proto::BadRequest);
    EXPECT_EQ(versionOf(st.port(), 101), kOld);
}

TEST(Upload, SecondSessionIsBusyUntilTheFirstEndsAndStopMidSessionIsClean) {
    StationProcess st(R"({"flash_kbps": 1, "devices": [{"id": 101}, {"id": 102}]})");
    ASSERT_TRUE(st.running()) << st.error();
    auto begin = [&](Conn& c, std::int32_t id) {
        c.send(proto::Begin, beginBody(id, static_cast<std::uint32_t>(kImage.size()), crcOf(kImage), 64));
        const auto r = c.read();
        return r ? statusOf(*r) : 0xFFFF;
    };
    auto first = std::make_unique<Conn>(st.port());
    EXPECT_EQ(begin(*first, 101), proto::Ok);
    Conn second(st.port());
    EXPECT_EQ(begin(second, 101), proto::Busy);
    Conn other(st.port());
    EXPECT_EQ(begin(other, 102), proto::Ok) << "other devices are not affected";
    first.reset(); // the client leaves; the device frees itself once it notices
    std::uint16_t status = proto::Busy;
    for (int i = 0; i < 100 && status == proto::Busy; ++i) {
        Conn again(st.port());
        if ((status = begin(again, 101)) == proto::Busy)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(status, proto::Ok);
    other.sendRaw(chunkFrame(kImage, 0, 64));
    ASSERT_TRUE(other.read());
    EXPECT_EQ(st.stop(), 0) << "a session in progress does not hold up the exit";
}

TEST(Upload, ClientLeavingDuringFlashCommitsNothing) {
    StationProcess st(oneDevice("", R"("flash_kbps": 2, )")); // about half a second of flash
    ASSERT_TRUE(st.running()) << st.error();
    Conn c(st.port());
    const Outcome o = upload(c, 101, kImage, {.chunk = 512, .closeAfterProgress = 2});
    EXPECT_EQ(o.verify, proto::Ok);
    EXPECT_FALSE(o.commit);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(versionOf(st.port(), 101), kOld);
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
        EXPECT_EQ(upload(c, 101, zutest::makeImageBytes(300, 3, 7)).commit, proto::Ok);
        struct stat s {};
        EXPECT_EQ(::stat(options.statePath.c_str(), &s), 0) << "saved right after the commit";
        EXPECT_EQ(st.stop(), 0);
    }
    {
        StationProcess st(json, options);
        ASSERT_TRUE(st.running()) << st.error();
        EXPECT_EQ(versionOf(st.port(), 101), kNew);
        EXPECT_EQ(versionOf(st.port(), 102), std::pair(1, 0));
    }
    // A state entry for a device no longer in the station is ignored.
    StationProcess st(R"({"devices": [{"id": 102, "version": [1, 0]}]})", options);
    ASSERT_TRUE(st.running()) << st.error();
    EXPECT_EQ(versionOf(st.port(), 102), std::pair(1, 0));
}

TEST(Serial, UploadOverThePseudoTerminalSkipsNoiseAndLeftovers) {
    TempDir dir;
    const std::string link = dir.file("ttyCOM1");
    StationProcess st(R"({"serial_baud": 1000000, "flash_kbps": 15, "devices": [
        {"id": 101, "version": [2, 3], "serial": true}, {"id": 102, "version": [2, 3]}]})",
                      serialAt(link));
    ASSERT_TRUE(st.running()) << st.error();
    const Bytes image = zutest::makeImageBytes(3000, 3, 7);
    {
        Conn line(link);
        ASSERT_TRUE(line.ok());
        line.sendRaw({0x00, 0x7E, 0x13, 0xFF, 0x7E}); // line noise before the first frame
        EXPECT_EQ(upload(line, 102, image, {.chunk = 1024}).begin, proto::UnknownId)
            << "only serial devices answer on the line";
    }
    {
        Conn line(link);
        EXPECT_EQ(upload(line, 101, image, {.chunk = 1024}).commit, proto::Ok);
    }
    { // a client that gives up mid-session does not block the next one
        Conn line(link);
        line.send(proto::Begin, beginBody(101, static_cast<std::uint32_t>(image.size()), crcOf(image), 1024));
        ASSERT_TRUE(line.read());
    }
    { // one that leaves during the flash: the next one's first frame is still its own BeginReply
        Conn line(link);
        EXPECT_EQ(upload(line, 101, image, {.chunk = 1024, .closeAfterProgress = 1}).verify, proto::Ok);
    }
    {
        Conn line(link);
        const Outcome o = upload(line, 101, zutest::makeImageBytes(100, 5, 1), {.chunk = 1024});
        EXPECT_EQ(o.begin, proto::Ok);
        EXPECT_EQ(o.commit, proto::Ok);
    }
    EXPECT_EQ(versionOf(st.port(), 101), std::pair(5, 1));
    EXPECT_EQ(versionOf(st.port(), 102), kOld);
    EXPECT_EQ(st.stop(), 0);
}

TEST(Concurrency, ThirtyDevicesUploadAtOnce) {
    std::string devices = R"({"id": 101, "version": [2, 3]})";
    for (int i = 1; i < 30; ++i)
        devices += R"(, {"id": )" + std::to_string(101 + i) + R"(, "version": [2, 3]})";
    StationProcess st(R"({"link_kbps": 8000, "flash_kbps": 1000, "devices": [)" + devices + "]}");
    ASSERT_TRUE(st.running()) << st.error();
    const Bytes image = zutest::makeImageBytes(20000, 3, 7);
    std::atomic<int> committed{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 30; ++i)
        threads.emplace_back([&, i] {
            Conn c(st.port());
            if (upload(c, 101 + i, image, {.chunk = 4096, .timeoutMs = 10000}).commit == proto::Ok)
                ++committed;
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(committed.load(), 30);
    for (int i = 0; i < 30; ++i)
        EXPECT_EQ(versionOf(st.port(), 101 + i), kNew);
    EXPECT_EQ(st.stop(), 0);
}

} // namespace
