// The client's upload state machine against a scripted device on a socket pair:
// what the device sees (Begin CRC matching the bytes, chunks in order, never more
// than 4 unacknowledged, End CRC), failure at every step (a refusal, a reply for
// another id, a wrong acknowledgement, verify and flash failures, hang-ups, silence),
// flash heartbeats keeping a long flash alive, and stale frames and noise before the answer.
#include "FirmwareImage.h"
#include "Protocol.h"
#include "StationProcess.h"
#include "UploadRunner.h"
#include "UploadSession.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

using namespace testdll;
using namespace std::chrono;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr auto kT = milliseconds(100);
constexpr std::int32_t kId = 42;

enum class Step { Begin, Chunk, End, Flash, Done };

struct Script {
    std::uint16_t beginStatus = proto::Ok;
    std::int32_t beginId = kId; // id echoed in BeginReply
    bool staleFirst = false;    // noise, a stale ChunkAck and another id's BeginReply first
    int badAckAt = -1;          // chunk index whose ack reports a wrong count
    int refuseChunkAt = -1;     // chunk index answered with ChunkCrcBad
    std::uint16_t verifyStatus = proto::Ok, commitStatus = proto::Ok;
    Step silentAt = Step::Done; // stop answering (keep the stream open) at this step
    Step closeAt = Step::Done;  // close the stream at this step
    int flashSteps = 4;
    milliseconds flashStepDelay{0};
};

struct Observed {
    bool beginCrcMatches = false, endCrcMatches = false, inOrder = true;
    unsigned maxUnacked = 0;
    std::uint32_t received = 0;
};

// A frame with a little-endian body: 32-bit words, a 16-bit status and zero, 32-bit words.
void send(int fd, std::uint16_t type, std::initializer_list<std::uint32_t> words, std::uint16_t status,
          std::initializer_list<std::uint32_t> tail = {}) {
    Bytes b;
    for (const std::uint32_t w : words)
        proto::putU32(b, w);
    proto::putU16(b, status);
    proto::putU16(b, 0);
    for (const std::uint32_t w : tail)
        proto::putU32(b, w);
    const auto f = proto::makeFrame(type, b);
    (void)!::send(fd, f.data(), f.size(), MSG_NOSIGNAL);
}

// Plays the device side until the script ends it; returns what it saw.
Observed runDevice(int fd, const Script& s, const Bytes& image) {
    Observed o;
    proto::FrameReader reader;
    Bytes got;
    std::uint32_t crc = 0;
    unsigned unacked = 0;
    int chunkIndex = 0;
    std::uint8_t buf[65536];
    auto stopHere = [&](Step step) {
        if (s.closeAt == step)
            ::shutdown(fd, SHUT_RDWR);
        while (s.silentAt == step && ::read(fd, buf, sizeof buf) > 0) { // until the client hangs up
        }
        return s.closeAt == step || s.silentAt == step;
    };
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) {
        reader.feed(buf, static_cast<std::size_t>(n));
        while (auto f = reader.next()) {
            const std::uint8_t* b = f->body.data();
            if (f->type == proto::Begin) {
                if (stopHere(Step::Begin))
                    return o;
                crc = proto::getU32(b + 8);
                o.beginCrcMatches = proto::getU32(b + 4) == image.size() &&
                                    crc == fwimage::crc32Of(image.data(), image.size());
                if (s.staleFirst) {
                    const std::uint8_t noise[] = {0x00, 0x7E, 0x13, 0xA5, 0x7E};
                    (void)!::send(fd, noise, sizeof noise, MSG_NOSIGNAL);
                    send(fd, proto::ChunkAck, {1024u}, proto::Ok);
                    send(fd, proto::BeginReply, {kId + 1}, proto::Ok);
                }
                send(fd, proto::BeginReply, {static_cast<std::uint32_t>(s.beginId)}, s.beginStatus);
                if (s.beginStatus != proto::Ok)
                    return o;
            } else if (f->type == proto::Chunk) {
                o.maxUnacked = std::max(o.maxUnacked, ++unacked);
                if (stopHere(Step::Chunk))
                    return o;
                o.inOrder = o.inOrder && proto::getU32(b) == got.size();
                got.insert(got.end(), b + 8, b + f->body.size());
                --unacked;
                o.received = static_cast<std::uint32_t>(got.size());
                const bool refuse = chunkIndex == s.refuseChunkAt;
                send(fd, proto::ChunkAck, {o.received + (chunkIndex++ == s.badAckAt ? 1 : 0)},
                     refuse ? proto::ChunkCrcBad : proto::Ok);
                if (refuse)
                    return o;
            } else if (f->type == proto::End) {
                o.endCrcMatches = proto::getU32(b) == crc && got == image;
                if (stopHere(Step::End))
                    return o;
                send(fd, proto::VerifyReply, {}, s.verifyStatus);
                if (s.verifyStatus != proto::Ok || stopHere(Step::Flash))
                    return o;
                for (int i = 0; i <= s.flashSteps; ++i) { // heartbeat: 16-bit percentage
                    std::this_thread::sleep_for(s.flashStepDelay);
                    send(fd, proto::FlashProgress, {}, static_cast<std::uint16_t>(100 * i / s.flashSteps));
                }
                send(fd, proto::CommitReply, {}, s.commitStatus, {3, 7}); // the new version
                return o;
            }
        }
    }
    return o;
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
    const auto image = zutest::makeImageBytes(payload);
    fwimage::ImageInfo info;
    EXPECT_EQ(fwimage::parseImage(image.data(), image.size(), info), fwimage::ImageError::None);
    // The session writes with plain writev (as to a serial line): a device that
    // hung up must cost a failed session, not the test process.
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
    EXPECT_TRUE(std::is_sorted(g_progress.begin(), g_progress.end(), std::less_equal<>()))
        << "progress rises";
    return {r, seen, took};
}

} // namespace

TEST(Session, CompleteUploadAsTheDeviceSeesIt) {
    const Outcome o = upload({});
    EXPECT_EQ(o.result, 1);
    EXPECT_TRUE(o.seen.beginCrcMatches && o.seen.endCrcMatches && o.seen.inOrder);
    EXPECT_LE(o.seen.maxUnacked, proto::kChunkWindow);
    for (const int passed : {1, 95, 96, 100}) // started; all bytes acknowledged; image verified; done
        EXPECT_NE(std::find(g_progress.begin(), g_progress.end(), passed), g_progress.end()) << passed;
    // Small chunks, an image of one chunk, noise and stale frames before the answer.
    EXPECT_EQ(upload({}, 5000, 1024).result, 1);
    EXPECT_EQ(upload({}, 10, 1024).result, 1);
    EXPECT_EQ(upload({.staleFirst = true}, 5000, 1024).result, 1);
    // Flashing for 8T, far beyond the 4T frame bound, with a heartbeat every T.
    const Outcome slow = upload({.flashSteps = 8, .flashStepDelay = kT});
    EXPECT_EQ(slow.result, 1);
    EXPECT_GE(slow.took, 8 * kT);
}

TEST(Session, FailureAtEachStep) {
    struct Row {
        const char* name;
        Script script;
        int maxProgress; // highest value the caller may have seen; 0: no chunk sent either
    } const rows[] = {
        {"busy", {.beginStatus = proto::Busy}, 0},
        {"reply for another id", {.beginId = kId + 1}, 0},
        {"silent at Begin", {.silentAt = Step::Begin}, 0},
        {"closed at Begin", {.closeAt = Step::Begin}, 0},
        {"chunk refused", {.refuseChunkAt = 2}, 95},
        {"wrong ack count", {.badAckAt = 1}, 95},
        {"closed mid chunks", {.closeAt = Step::Chunk}, 95},
        {"silent mid chunks", {.silentAt = Step::Chunk}, 95},
        {"image CRC bad", {.verifyStatus = proto::ImageCrcBad}, 95},
        {"silent after End", {.silentAt = Step::End}, 95},
        {"closed after verify", {.closeAt = Step::Flash}, 96},
        {"flash failed", {.commitStatus = proto::FlashFailed}, 100},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Outcome o = upload(row.script);
        EXPECT_EQ(o.result, 0);
        EXPECT_LT(o.took, 6 * kT + milliseconds(400));
        EXPECT_LE(g_progress.empty() ? 0 : g_progress.back(), row.maxProgress);
        EXPECT_TRUE(row.maxProgress > 0 || o.seen.received == 0) << "chunks sent after a failed Begin";
    }
}
