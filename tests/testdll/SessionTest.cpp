// The client's upload state machine against a scripted device on a socket pair:
// what the device sees (Begin CRC matching the bytes, chunks in order, never more
// than 4 unacknowledged, End CRC), failure at every step (each refusal status, a
// wrong acknowledgement, verify and flash failures, hang-ups, silence), flash
// heartbeats keeping a long flash alive, and stale frames and noise before the answer.
#include "FirmwareImage.h"
#include "Protocol.h"
#include "UploadRunner.h"
#include "UploadSession.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <zlib.h>

using namespace testdll;
using namespace std::chrono;

namespace {

constexpr auto kT = milliseconds(100);
constexpr std::int32_t kId = 42;

enum class Step { Begin, Chunk, End, Flash, Done };

struct Script {
    std::uint16_t beginStatus = proto::Ok;
    std::int32_t beginId = kId; // id echoed in BeginReply
    bool staleFirst = false;    // noise and a stale ChunkAck before BeginReply
    int badAckAt = -1;          // chunk index whose ack reports a wrong count
    int refuseChunkAt = -1;     // chunk index answered with ChunkCrcBad
    std::uint16_t verifyStatus = proto::Ok;
    std::uint16_t commitStatus = proto::Ok;
    Step silentAt = Step::Done; // stop answering (keep the stream open) at this step
    Step closeAt = Step::Done;  // close the stream at this step
    int flashSteps = 4;
    milliseconds flashStepDelay{0};
};

struct Observed {
    bool beginCrcMatches = false;
    bool endCrcMatches = false;
    bool inOrder = true;
    unsigned maxUnacked = 0;
    std::uint32_t chunkSize = 0;
    std::uint32_t received = 0;
};

void sendFrame(int fd, std::uint16_t type, const std::vector<std::uint8_t>& body) {
    const auto f = proto::makeFrame(type, body);
    (void)!::send(fd, f.data(), f.size(), MSG_NOSIGNAL);
}

std::vector<std::uint8_t> statusBody(std::uint16_t status) {
    std::vector<std::uint8_t> b;
    proto::putU16(b, status);
    proto::putU16(b, 0);
    return b;
}

// Plays the device side until the script ends it; returns what it saw.
Observed runDevice(int fd, const Script& s, const std::vector<std::uint8_t>& image) {
    Observed o;
    proto::FrameReader reader;
    std::vector<std::uint8_t> got;
    std::uint32_t expectedCrc = 0;
    unsigned unacked = 0;
    int chunkIndex = 0;
    auto stopHere = [&](Step step) {
        if (s.closeAt == step) {
            ::shutdown(fd, SHUT_RDWR);
            return true;
        }
        if (s.silentAt == step) {
            // Keep the stream open but answer nothing until the client hangs up.
            std::uint8_t sink[4096];
            while (::read(fd, sink, sizeof sink) > 0) {
            }
            return true;
        }
        return false;
    };
    std::uint8_t buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            return o;
        reader.feed(buf, static_cast<std::size_t>(n));
        // Count what the client has sent but we have not answered yet.
        while (auto f = reader.next()) {
            const std::uint8_t* b = f->body.data();
            if (f->type == proto::Begin) {
                if (stopHere(Step::Begin))
                    return o;
                expectedCrc = proto::getU32(b + 8);
                o.beginCrcMatches = proto::getU32(b + 4) == image.size() &&
                                    expectedCrc == fwimage::crc32Of(image.data(), image.size());
                o.chunkSize = proto::getU32(b + 12);
                if (s.staleFirst) {
                    const std::uint8_t noise[] = {0x00, 0x7E, 0x13, 0xA5, 0x7E};
                    (void)!::send(fd, noise, sizeof noise, MSG_NOSIGNAL);
                    std::vector<std::uint8_t> stale;
                    proto::putU32(stale, 1024);
                    proto::putU32(stale, 0);
                    sendFrame(fd, proto::ChunkAck, stale);
                    std::vector<std::uint8_t> other;
                    proto::putI32(other, kId + 1);
                    proto::putU32(other, 0);
                    sendFrame(fd, proto::BeginReply, other);
                }
                std::vector<std::uint8_t> r;
                proto::putI32(r, s.beginId);
                proto::putU16(r, s.beginStatus);
                proto::putU16(r, 0);
                sendFrame(fd, proto::BeginReply, r);
                if (s.beginStatus != proto::Ok)
                    return o;
            } else if (f->type == proto::Chunk) {
                ++unacked;
                o.maxUnacked = std::max(o.maxUnacked, unacked);
                if (stopHere(Step::Chunk))
                    return o;
                const std::uint32_t offset = proto::getU32(b);
                if (offset != got.size())
                    o.inOrder = false;
                got.insert(got.end(), b + 8, b + f->body.size());
                --unacked;
                std::vector<std::uint8_t> ack;
                const bool refuse = chunkIndex == s.refuseChunkAt;
                proto::putU32(ack,
                              static_cast<std::uint32_t>(got.size()) + (chunkIndex == s.badAckAt ? 1 : 0));
                proto::putU16(ack, refuse ? proto::ChunkCrcBad : proto::Ok);
                proto::putU16(ack, 0);
                sendFrame(fd, proto::ChunkAck, ack);
                ++chunkIndex;
                o.received = static_cast<std::uint32_t>(got.size());
                if (refuse)
                    return o;
            } else if (f->type == proto::End) {
                o.endCrcMatches = proto::getU32(b) == expectedCrc && got == image;
                if (stopHere(Step::End))
                    return o;
                sendFrame(fd, proto::VerifyReply, statusBody(s.verifyStatus));
                if (s.verifyStatus != proto::Ok || stopHere(Step::Flash))
                    return o;
                for (int i = 0; i <= s.flashSteps; ++i) {
                    std::this_thread::sleep_for(s.flashStepDelay);
                    sendFrame(fd, proto::FlashProgress,
                              statusBody(static_cast<std::uint16_t>(100 * i / s.flashSteps)));
                }
                std::vector<std::uint8_t> c = statusBody(s.commitStatus);
                proto::putI32(c, 3);
                proto::putI32(c, 7);
                sendFrame(fd, proto::CommitReply, c);
                return o;
            }
        }
    }
}

std::vector<int> g_progress;
int32_t record(int32_t v) {
    g_progress.push_back(v);
    return 1;
}

struct Outcome {
    int result;
    Observed seen;
    milliseconds took;
};

Outcome upload(const Script& script, std::size_t payload = 300000, std::uint32_t chunk = 65536) {
    std::vector<std::uint8_t> data(payload);
    for (std::size_t i = 0; i < payload; ++i)
        data[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    fwimage::ImageInfo meta;
    meta.versionMajor = 3;
    meta.versionMinor = 7;
    const auto image = fwimage::buildImage(meta, data.data(), data.size());
    fwimage::ImageInfo info;
    EXPECT_EQ(fwimage::parseImage(image.data(), image.size(), info), fwimage::ImageError::None);

    // The session writes to a socket pair with plain writev (as to a serial line):
    // a device that hung up must cost a failed session, not the test process.
    ::signal(SIGPIPE, SIG_IGN);
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    Observed seen;
    std::thread device([&] {
        seen = runDevice(fds[1], script, image);
        ::close(fds[1]);
    });
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    const SharedImage shared(image, info.payloadCrc, chunk);
    std::vector<std::unique_ptr<UploadSession>> sessions;
    sessions.push_back(UploadSession::overStream(kId, shared, fds[0], kT));
    g_progress.clear();
    const auto start = steady_clock::now();
    const int r = runUploads(sessions, record);
    const auto took = duration_cast<milliseconds>(steady_clock::now() - start);
    ::shutdown(fds[0], SHUT_RDWR); // releases a device that went silent
    device.join();
    ::close(fds[0]);
    return {r, seen, took};
}

void expectRising(const std::vector<int>& v) {
    for (std::size_t i = 1; i < v.size(); ++i)
        EXPECT_LT(v[i - 1], v[i]);
}

} // namespace

TEST(Session, CompleteUploadAsTheDeviceSeesIt) {
    const Outcome o = upload({});
    EXPECT_EQ(o.result, 1);
    EXPECT_TRUE(o.seen.beginCrcMatches);
    EXPECT_TRUE(o.seen.endCrcMatches);
    EXPECT_TRUE(o.seen.inOrder);
    EXPECT_EQ(o.seen.chunkSize, 65536u);
    EXPECT_LE(o.seen.maxUnacked, proto::kChunkWindow);
    ASSERT_FALSE(g_progress.empty());
    EXPECT_EQ(g_progress.front(), 1);
    EXPECT_EQ(g_progress.back(), 100);
    EXPECT_NE(std::find(g_progress.begin(), g_progress.end(), 95), g_progress.end());
    EXPECT_NE(std::find(g_progress.begin(), g_progress.end(), 96), g_progress.end());
    expectRising(g_progress);
}

TEST(Session, SmallChunksAndAnImageOfOneChunk) {
    EXPECT_EQ(upload({}, 5000, 1024).result, 1);
    EXPECT_EQ(upload({}, 10, 1024).result, 1);
}

class BeginRefused : public ::testing::TestWithParam<std::uint16_t> {};
TEST_P(BeginRefused, FailsWithoutSendingChunks) {
    Script s;
    s.beginStatus = GetParam();
    const Outcome o = upload(s);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.seen.received, 0u);
    EXPECT_TRUE(g_progress.empty());
}
INSTANTIATE_TEST_SUITE_P(Statuses, BeginRefused,
                         ::testing::Values(proto::UnknownId, proto::Rejected, proto::Busy, proto::TooLarge,
                                           proto::BadRequest));

struct FailRow {
    const char* name;
    Script script;
    int maxProgress; // highest value the caller may have seen
};

class SessionFails : public ::testing::TestWithParam<FailRow> {};
TEST_P(SessionFails, ResultZeroProgressBounded) {
    const Outcome o = upload(GetParam().script);
    EXPECT_EQ(o.result, 0);
    EXPECT_LT(o.took, 6 * kT + milliseconds(400));
    if (!g_progress.empty()) {
        EXPECT_LE(g_progress.back(), GetParam().maxProgress);
    }
    expectRising(g_progress);
}

Script with(void (*f)(Script&)) {
    Script s;
    f(s);
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Steps, SessionFails,
    ::testing::Values(
        FailRow{"reply_for_other_id", with([](Script& s) { s.beginId = kId + 1; }), 0},
        FailRow{"silent_at_begin", with([](Script& s) { s.silentAt = Step::Begin; }), 0},
        FailRow{"closed_at_begin", with([](Script& s) { s.closeAt = Step::Begin; }), 0},
        FailRow{"chunk_refused", with([](Script& s) { s.refuseChunkAt = 2; }), 95},
        FailRow{"wrong_ack_count", with([](Script& s) { s.badAckAt = 1; }), 95},
        FailRow{"closed_mid_chunks", with([](Script& s) { s.closeAt = Step::Chunk; }), 95},
        FailRow{"silent_mid_chunks", with([](Script& s) { s.silentAt = Step::Chunk; }), 95},
        FailRow{"image_crc_bad", with([](Script& s) { s.verifyStatus = proto::ImageCrcBad; }), 95},
        FailRow{"image_invalid", with([](Script& s) { s.verifyStatus = proto::ImageInvalid; }), 95},
        FailRow{"silent_after_end", with([](Script& s) { s.silentAt = Step::End; }), 95},
        FailRow{"closed_after_verify", with([](Script& s) { s.closeAt = Step::Flash; }), 96},
        FailRow{"flash_failed", with([](Script& s) { s.commitStatus = proto::FlashFailed; }), 100}),
    [](const auto& p) { return std::string(p.param.name); });

// Flashing takes 8T in all, far beyond the 4T frame bound, but a heartbeat
// arrives every T: the session must survive.
TEST(Session, FlashHeartbeatsKeepALongFlashAlive) {
    Script s;
    s.flashSteps = 8;
    s.flashStepDelay = kT;
    const Outcome o = upload(s);
    EXPECT_EQ(o.result, 1);
    EXPECT_GE(o.took, 8 * kT);
    expectRising(g_progress);
    EXPECT_EQ(g_progress.back(), 100);
}

TEST(Session, NoiseAndStaleFramesBeforeTheAnswerAreSkipped) {
    Script s;
    s.staleFirst = true;
    EXPECT_EQ(upload(s, 5000, 1024).result, 1);
}
