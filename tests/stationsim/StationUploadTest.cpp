// Uploads, device side: a committed upload changes the reported version and
// survives a restart through --state; every fault and every protocol error
// (each Begin refusal, chunk out of order or corrupt, bad End, invalid image,
// a client leaving mid-flash) ends without commit and keeps the old version;
// Busy for a second session; flash progress; the serial line; 30 at once.
#include "SimHarness.h"

#include "FirmwareImage.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

using namespace simtest;

namespace {

struct Station {
    TempDir dir;
    std::unique_ptr<Sim> sim;

    explicit Station(const std::string& json, std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"--station", dir.write("station.json", json), "--port", "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        sim = std::make_unique<Sim>(args);
    }
    std::uint16_t port() const { return sim->port(); }
    std::pair<int, int> version(std::int32_t id) const {
        Udp udp(sim->port());
        const auto d = udp.info(id, 1);
        if (!d)
            return {-1, -1};
        const InfoFields f = decodeInfo(*d);
        return {f.major, f.minor};
    }
};

const std::pair<int, int> kOld{2, 3};
const std::pair<int, int> kNew{3, 7};

std::string oneDevice(const std::string& faults, const std::string& top = "") {
    return "{" + top + R"("devices": [{"id": 101, "version": [2, 3], "faults": {)" + faults + "}}]}";
}

TEST(Upload, CommitReportsTheImageVersion) {
    Station st(oneDevice("", R"("flash_kbps": 4, )"));
    ASSERT_TRUE(st.sim->ready());
    const auto image = makeImage(1000, 3, 7); // 1064 bytes: a quarter second of flash
    Conn c(st.port());
    const Outcome o = upload(c, 101, image, {.chunk = 100});
    EXPECT_EQ(o.begin, proto::Ok);
    EXPECT_EQ(o.acked, image.size());
    EXPECT_EQ(o.verify, proto::Ok);
    ASSERT_EQ(o.commit, proto::Ok);
    EXPECT_EQ(o.major, 3);
    EXPECT_EQ(o.minor, 7);
    ASSERT_FALSE(o.progress.empty());
    EXPECT_EQ(o.progress.back(), 100);
    for (std::size_t i = 1; i < o.progress.size(); ++i)
        EXPECT_LE(o.progress[i - 1], o.progress[i]);
    EXPECT_EQ(st.version(101), kNew);
    EXPECT_EQ(st.sim->stop(), 0);
}

struct FaultRow {
    const char* label;
    std::string faults;
    UploadPlan plan;
    // Expected outcome.
    std::optional<std::uint16_t> begin;
    std::optional<std::uint16_t> nack;
    std::uint32_t acked;
    bool silence;
    bool reset;
    std::optional<std::uint16_t> commit;
};
void PrintTo(const FaultRow& r, std::ostream* os) {
    *os << r.label;
}

class DeviceFaults : public ::testing::TestWithParam<FaultRow> {};

TEST_P(DeviceFaults, SessionFailsAndVersionStays) {
    const FaultRow& row = GetParam();
    Station st(oneDevice(row.faults));
    ASSERT_TRUE(st.sim->ready());
    const auto image = makeImage(1000, 3, 7);
    Conn c(st.port());
    const Outcome o = upload(c, 101, image, row.plan);
    EXPECT_EQ(o.begin, row.begin);
    EXPECT_EQ(o.nack, row.nack);
    EXPECT_EQ(o.acked, row.acked);
    EXPECT_EQ(o.silence, row.silence);
    EXPECT_EQ(o.reset, row.reset);
    EXPECT_EQ(o.commit, row.commit);
    if (row.commit) {
        EXPECT_EQ(std::make_pair(o.major, o.minor), kOld) << "a failed flash reports the old version";
        EXPECT_EQ(o.progress.back(), 50);
    }
    c.close();
    if (row.faults.find("silent") == std::string::npos) { // a silent device cannot be asked
        EXPECT_EQ(st.version(101), kOld);
    }
    EXPECT_EQ(st.sim->stop(), 0);
}

constexpr UploadPlan kChunk64{.chunk = 64};
constexpr UploadPlan kQuiet{.chunk = 64, .timeoutMs = 300};

INSTANTIATE_TEST_SUITE_P(
    Rows, DeviceFaults,
    ::testing::Values(
        FaultRow{"reject", R"("reject": true)", kChunk64, proto::Rejected, {}, 0, false, false, {}},
        FaultRow{"silent", R"("silent": true)", kQuiet, {}, {}, 0, true, false, {}},
        // Offset 100 lies in the second 64-byte chunk.
        FaultRow{"corrupt_at",
                 R"("corrupt_at": 100)",
                 kChunk64,
                 proto::Ok,
                 proto::ChunkCrcBad,
                 64,
                 false,
                 false,
                 {}},
        FaultRow{"corrupt_at last byte",
                 R"("corrupt_at": 1063)",
                 kChunk64,
                 proto::Ok,
                 proto::ChunkCrcBad,
                 1024,
                 false,
                 false,
                 {}},
        // Reset once 200 bytes arrived: after the fourth chunk, unacknowledged.
        FaultRow{"drop_after", R"("drop_after": 200)", kChunk64, proto::Ok, {}, 192, false, true, {}},
        FaultRow{"drop_after whole image",
                 R"("drop_after": 1064)",
                 kChunk64,
                 proto::Ok,
                 {},
                 1024,
                 false,
                 true,
                 {}},
        FaultRow{"stall_after", R"("stall_after": 128)", kQuiet, proto::Ok, {}, 64, true, false, {}},
        FaultRow{"flash_fail",
                 R"("flash_fail": true)",
                 kChunk64,
                 proto::Ok,
                 {},
                 1064,
                 false,
                 false,
                 proto::FlashFailed},
        // Thresholds beyond the image never fire... but the commit proves it, see below.
        FaultRow{"delay and reject",
                 R"("delay_ms": 50, "reject": true)",
                 kChunk64,
                 proto::Rejected,
                 {},
                 0,
                 false,
                 false,
                 {}}),
    [](const auto& row) {
        std::string name = row.param.label;
        for (char& ch : name)
            ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        return name;
    });

TEST(Upload, FaultThresholdsBeyondTheImageDoNotFire) {
    Station st(oneDevice(R"("drop_after": 1065, "stall_after": 1065, "corrupt_at": 1064, "delay_ms": 20)"));
    ASSERT_TRUE(st.sim->ready());
    Conn c(st.port());
    const Outcome o = upload(c, 101, makeImage(1000, 3, 7), kChunk64);
    EXPECT_EQ(o.commit, proto::Ok);
    EXPECT_EQ(st.version(101), kNew);
}

using Bytes = std::vector<std::uint8_t>;
using FrameList = std::vector<Bytes>;

struct ProtocolRow {
    const char* label;
    // Frames the client sends after a good Begin (image of 1064 bytes, chunk 64);
    // the last reply must carry `status`.
    std::function<std::vector<std::vector<std::uint8_t>>(const std::vector<std::uint8_t>&)> frames;
    std::uint16_t replyType;
    std::uint16_t status;
};
void PrintTo(const ProtocolRow& r, std::ostream* os) {
    *os << r.label;
}

std::vector<std::uint8_t> chunkFrame(const std::vector<std::uint8_t>& image, std::uint32_t offset,
                                     std::uint32_t n) {
    return proto::makeFrame(proto::Chunk, chunkBody(offset, image.data() + offset, n));
}
std::vector<std::vector<std::uint8_t>> allChunks(const std::vector<std::uint8_t>& image) {
    std::vector<std::vector<std::uint8_t>> out;
    for (std::uint32_t off = 0; off < image.size(); off += 64)
        out.push_back(chunkFrame(
            image, off, std::min<std::uint32_t>(64, static_cast<std::uint32_t>(image.size()) - off)));
    return out;
}
std::uint32_t crcOf(const std::vector<std::uint8_t>& image) {
    return fwimage::crc32Of(image.data(), image.size());
}

class ProtocolErrors : public ::testing::TestWithParam<ProtocolRow> {};

TEST_P(ProtocolErrors, FailureClosesTheSessionAndVersionStays) {
    Station st(oneDevice(""));
    ASSERT_TRUE(st.sim->ready());
    const auto image = makeImage(1000, 3, 7);
    Conn c(st.port());
    c.send(proto::Begin, beginBody(101, static_cast<std::uint32_t>(image.size()), crcOf(image), 64));
    auto reply = c.read(2000);
    ASSERT_TRUE(reply);
    ASSERT_EQ(statusOf(*reply), proto::Ok);
    const auto frames = GetParam().frames(image);
    std::optional<proto::Frame> last;
    for (const auto& f : frames) {
        c.sendRaw(f);
        last = c.read(2000);
        if (!last || last->type != proto::ChunkAck || statusOf(*last) != proto::Ok)
            break;
    }
    ASSERT_TRUE(last);
    EXPECT_EQ(last->type, GetParam().replyType);
    const std::uint16_t status =
        last->type == proto::VerifyReply ? proto::getU16(last->body.data()) : statusOf(*last);
    EXPECT_EQ(status, GetParam().status);
    EXPECT_FALSE(c.read(2000)) << "session closed";
    EXPECT_TRUE(c.peerClosed());
    EXPECT_EQ(st.version(101), kOld);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ProtocolErrors,
    ::testing::Values(
        ProtocolRow{"chunk skips ahead",
                    [](const Bytes& img) -> FrameList {
                        return FrameList{chunkFrame(img, 0, 64), chunkFrame(img, 128, 64)};
                    },
                    proto::ChunkAck, proto::OutOfOrder},
        ProtocolRow{"chunk repeated",
                    [](const Bytes& img) -> FrameList {
                        return FrameList{chunkFrame(img, 0, 64), chunkFrame(img, 0, 64)};
                    },
                    proto::ChunkAck, proto::OutOfOrder},
        ProtocolRow{"chunk crc wrong",
                    [](const Bytes& img) -> FrameList {
                        auto body = chunkBody(0, img.data(), 64);
                        body[4] ^= 1;
                        return FrameList{proto::makeFrame(proto::Chunk, body)};
                    },
                    proto::ChunkAck, proto::ChunkCrcBad},
        ProtocolRow{"chunk above announced size",
                    [](const Bytes& img) -> FrameList { return FrameList{chunkFrame(img, 0, 65)}; },
                    proto::ChunkAck, proto::BadRequest},
        ProtocolRow{"chunk past image end",
                    [](const Bytes& img) -> FrameList {
                        auto v = allChunks(img);
                        v.push_back(proto::makeFrame(proto::Chunk, chunkBody(1064, img.data(), 1)));
                        return v;
                    },
                    proto::ChunkAck, proto::BadRequest},
        ProtocolRow{
            "end too early",
            [](const Bytes& img) -> FrameList {
                return FrameList{chunkFrame(img, 0, 64), proto::makeFrame(proto::End, endBody(crcOf(img)))};
            },
            proto::VerifyReply, proto::ImageCrcBad},
        ProtocolRow{"end crc differs",
                    [](const Bytes& img) -> FrameList {
                        auto v = allChunks(img);
                        v.push_back(proto::makeFrame(proto::End, endBody(crcOf(img) ^ 1)));
                        return v;
                    },
                    proto::VerifyReply, proto::ImageCrcBad}),
    [](const auto& row) {
        std::string name = row.param.label;
        for (char& ch : name)
            ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        return name;
    });

TEST(Upload, ImageThatIsNotAFirmwareImageIsRefusedAtVerify) {
    Station st(oneDevice(""));
    ASSERT_TRUE(st.sim->ready());
    auto image = makeImage(1000, 3, 7);
    image[200] ^= 0x55; // payload CRC in the header no longer matches; transport CRCs do
    Conn c(st.port());
    const Outcome o = upload(c, 101, image, kChunk64);
    EXPECT_EQ(o.verify, proto::ImageInvalid);
    EXPECT_FALSE(o.commit);
    EXPECT_EQ(st.version(101), kOld);
}

TEST(Upload, BeginRefusals) {
    Station st(R"({"devices": [{"id": 101, "version": [2, 3]}, {"id": 102, "serial": true}]})");
    ASSERT_TRUE(st.sim->ready());
    constexpr std::uint32_t kMax = 64 + 256u * 1024 * 1024;
    struct Row {
        std::int32_t id;
        std::uint32_t size;
        std::uint32_t chunk;
        std::uint16_t status;
    };
    for (const Row r : {Row{999, 100, 64, proto::UnknownId}, Row{101, 0, 64, proto::TooLarge},
                        Row{101, kMax + 1, 64, proto::TooLarge}, Row{101, 100, 0, proto::TooLarge},
                        Row{101, 100, 65537, proto::TooLarge}, Row{101, kMax, 65536, proto::Ok},
                        Row{102, 1, 1, proto::Ok}}) {
        Conn c(st.port());
        c.send(proto::Begin, beginBody(r.id, r.size, 0, r.chunk));
        const auto reply = c.read(2000);
        ASSERT_TRUE(reply) << r.id << " " << r.size << " " << r.chunk;
        EXPECT_EQ(reply->type, proto::BeginReply);
        EXPECT_EQ(proto::getI32(reply->body.data()), r.id);
        EXPECT_EQ(statusOf(*reply), r.status) << r.id << " " << r.size << " " << r.chunk;
    }
    // A Begin without its fields.
    Conn c(st.port());
    c.send(proto::Begin, {1, 2});
    const auto reply = c.read(2000);
    ASSERT_TRUE(reply);
    EXPECT_EQ(statusOf(*reply), proto::BadRequest);
    EXPECT_EQ(st.version(101), kOld);
}

TEST(Upload, SecondSessionToTheSameDeviceIsBusyUntilTheFirstEnds) {
    Station st(R"({"devices": [{"id": 101}, {"id": 102}]})");
    ASSERT_TRUE(st.sim->ready());
    const auto image = makeImage(100, 1, 1);
    auto begin = [&](Conn& c, std::int32_t id) {
        c.send(proto::Begin, beginBody(id, static_cast<std::uint32_t>(image.size()), crcOf(image), 64));
        const auto r = c.read(2000);
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
        status = begin(again, 101);
        if (status == proto::Busy)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(status, proto::Ok);
}

TEST(Upload, ClientLeavingDuringFlashCommitsNothing) {
    Station st(oneDevice("", R"("flash_kbps": 2, )")); // about half a second of flash
    ASSERT_TRUE(st.sim->ready());
    Conn c(st.port());
    const Outcome o = upload(c, 101, makeImage(1000, 3, 7), {.chunk = 512, .closeAfterProgress = 2});
    EXPECT_EQ(o.verify, proto::Ok);
    EXPECT_FALSE(o.commit);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(st.version(101), kOld);
}

TEST(Upload, StopDuringASessionExitsCleanlyWithoutCommit) {
    Station st(oneDevice("", R"("flash_kbps": 1, )"));
    ASSERT_TRUE(st.sim->ready());
    Conn c(st.port());
    const auto image = makeImage(1000, 3, 7);
    c.send(proto::Begin, beginBody(101, static_cast<std::uint32_t>(image.size()), crcOf(image), 64));
    ASSERT_TRUE(c.read(2000));
    c.sendRaw(chunkFrame(image, 0, 64));
    ASSERT_TRUE(c.read(2000));
    EXPECT_EQ(st.sim->stop(SIGTERM), 0);
}

TEST(State, CommittedVersionSurvivesARestart) {
    TempDir dir;
    const std::string statePath = dir.file("state.json");
    const std::string json =
        R"({"devices": [{"id": 101, "version": [2, 3]}, {"id": 102, "version": [1, 0]}]})";
    {
        Station st(json, {"--state", statePath});
        ASSERT_TRUE(st.sim->ready()) << st.sim->err();
        Conn c(st.port());
        EXPECT_EQ(upload(c, 101, makeImage(300, 3, 7)).commit, proto::Ok);
        struct stat s {};
        EXPECT_EQ(::stat(statePath.c_str(), &s), 0) << "saved right after the commit";
        EXPECT_EQ(st.sim->stop(), 0);
    }
    {
        Station st(json, {"--state", statePath});
        ASSERT_TRUE(st.sim->ready()) << st.sim->err();
        EXPECT_EQ(st.version(101), kNew);
        EXPECT_EQ(st.version(102), std::make_pair(1, 0));
    }
    // A state entry for a device no longer in the station is ignored.
    Station st(R"({"devices": [{"id": 102, "version": [1, 0]}]})", {"--state", statePath});
    ASSERT_TRUE(st.sim->ready()) << st.sim->err();
    EXPECT_EQ(st.version(102), std::make_pair(1, 0));
}

TEST(Serial, UploadOverThePseudoTerminalSkipsNoise) {
    TempDir dir;
    const std::string link = dir.file("ttyCOM1");
    Station st(
        R"({"serial_baud": 1000000, "flash_kbps": 15, "devices": [{"id": 101, "version": [2, 3], "serial": true},
                                                        {"id": 102, "version": [2, 3]}]})",
        {"--serial", link});
    ASSERT_TRUE(st.sim->ready()) << st.sim->err();
    const auto image = makeImage(3000, 3, 7);
    {
        Conn line(link);
        ASSERT_TRUE(line.ok());
        line.sendRaw({0x00, 0x7E, 0x13, 0xFF, 0x7E}); // line noise before the first frame
        const Outcome o = upload(line, 102, image, {.chunk = proto::kSerialChunkSize});
        EXPECT_EQ(o.begin, proto::UnknownId) << "only serial devices answer on the line";
    }
    {
        Conn line(link);
        const Outcome o = upload(line, 101, image, {.chunk = proto::kSerialChunkSize});
        EXPECT_EQ(o.commit, proto::Ok);
    }
    // A client that gives up mid-session does not block the next one.
    {
        Conn line(link);
        line.send(proto::Begin, beginBody(101, static_cast<std::uint32_t>(image.size()), crcOf(image), 1024));
        ASSERT_TRUE(line.read(2000));
    }
    // One that leaves during the flash: the device goes on reporting progress, yet the
    // next client's first frame is its own BeginReply, not those leftovers.
    {
        Conn line(link);
        line.send(proto::Begin, beginBody(101, static_cast<std::uint32_t>(image.size()), crcOf(image), 1024));
        for (std::uint32_t off = 0; off < image.size(); off += 1024)
            line.sendRaw(chunkFrame(
                image, off, std::min<std::uint32_t>(1024, static_cast<std::uint32_t>(image.size()) - off)));
        line.send(proto::End, endBody(crcOf(image)));
        std::optional<proto::Frame> f;
        while ((f = line.read(2000)) && f->type != proto::VerifyReply) {
        }
        ASSERT_TRUE(f);
    }
    {
        Conn line(link);
        const Outcome o = upload(line, 101, makeImage(100, 5, 1), {.chunk = 1024});
        EXPECT_EQ(o.begin, proto::Ok);
        EXPECT_EQ(o.commit, proto::Ok);
    }
    EXPECT_EQ(st.version(101), std::make_pair(5, 1));
    EXPECT_EQ(st.version(102), kOld);
    EXPECT_EQ(st.sim->stop(), 0);
}

TEST(Concurrency, ThirtyDevicesUploadAtOnce) {
    std::string devices;
    for (int i = 0; i < 30; ++i)
        devices +=
            (i ? "," : "") + std::string(R"({"id": )") + std::to_string(101 + i) + R"(, "version": [2, 3]})";
    Station st(R"({"link_kbps": 8000, "flash_kbps": 1000, "devices": [)" + devices + "]}");
    ASSERT_TRUE(st.sim->ready());
    const auto image = makeImage(20000, 3, 7);
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
        EXPECT_EQ(st.version(101 + i), kNew);
    EXPECT_EQ(st.sim->stop(), 0);
}

} // namespace
