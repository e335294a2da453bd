// The client's upload state machine against a scripted device on a socket pair:
// the window it keeps (never more than 4 chunks unacknowledged; the bytes and CRCs it
// sends are checked by the station in tests/devlib's library test), the failures no station fault shows
// (the library test has those over TCP: a refused type, a damaged chunk, silence, a failed flash) with the
// outcome each reports: a busy device, a reply for another id, a wrong acknowledgement, a bad image CRC, a
// hang-up at Begin, amid the chunks (a write to a closed line) and after the verify, silence after End,
// flash progress past its limit, noise on a stream transport; flash heartbeats keeping a long flash alive,
// and stale frames and noise before the answer on a serial line.
#include "devlib/UploadRunner.h"
#include "devlib/UploadSession.h"
#include "tests/support/StationProcess.h"
#include "wire/FirmwareImage.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <thread>
#include <tuple>

using namespace testdll;
using namespace std::chrono;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr auto kT = milliseconds(100);
constexpr std::int32_t kId = 42;

enum class Step { Begin, Chunk, End, Flash, Done };

struct Script {
    std::int32_t beginId = kId; // id echoed in BeginReply
    bool staleFirst = false;    // noise, a stale ChunkAck and another id's BeginReply first
    std::uint16_t beginStatus = wire::Ok;
    int badAckAt = -1; // chunk index whose ack reports a wrong count
    std::uint16_t verifyStatus = wire::Ok;
    Step silentAt = Step::Done; // stop answering (keep the stream open) at this step
    Step closeAt = Step::Done;  // close the stream at this step
    int flashSteps = 4;
    milliseconds flashStepDelay{0};
    bool stream = false; // a stream transport (TCP) rather than a serial line
};

struct Outcome {
    int result = 0, code = 0; // runUploads' result and the session's UPLOAD_* outcome
    std::string reason;
    milliseconds took{};
    unsigned maxUnacked = 0; // as the device saw them
    std::size_t received = 0;
};

// Plays the device side until the script ends it, noting what it saw in `o`. Chunks are
// acknowledged only once the client pauses, so the window it keeps open shows.
void runDevice(zutest::FrameStream& s, const Script& script, Outcome& o) {
    int acked = 0;
    std::vector<std::size_t> pending; // bytes received after each unacknowledged chunk
    auto stopHere = [&](Step step) {
        if (script.closeAt == step)
            ::shutdown(s.fd(), SHUT_RDWR);
        while (script.silentAt == step && !s.peerClosed()) // until the client hangs up
            s.read();
        return script.closeAt == step || script.silentAt == step;
    };
    for (;;) {
        const auto f = s.read(pending.empty() ? 5000 : 20);
        if (!f && !pending.empty() && !s.peerClosed()) {
            for (const std::size_t received : pending)
                s.send(wire::encode(wire::ChunkAckMsg{
                    static_cast<std::uint32_t>(received) + (acked++ == script.badAckAt ? 1 : 0), wire::Ok}));
            pending.clear();
            continue;
        }
        if (!f)
            return;
        if (const auto begin = wire::decodeBegin(*f)) {
            if (stopHere(Step::Begin))
                return;
            if (script.staleFirst) {
                s.send({0x00, 0x7E, 0x13, 0xA5, 0x7E});
                s.send(wire::encode(wire::ChunkAckMsg{1024, wire::Ok}));
                s.send(wire::encode(wire::BeginReplyMsg{kId + 1, wire::Ok}));
            }
            s.send(wire::encode(wire::BeginReplyMsg{script.beginId, script.beginStatus}));
            if (script.beginStatus != wire::Ok)
                return;
        } else if (const auto chunk = wire::decodeChunk(*f)) {
            if (stopHere(Step::Chunk))
                return;
            pending.push_back(o.received += chunk->data.size());
            o.maxUnacked = std::max(o.maxUnacked, static_cast<unsigned>(pending.size()));
        } else if (wire::decodeEnd(*f)) {
            if (stopHere(Step::End))
                return;
            s.send(wire::encode(wire::VerifyReplyMsg{script.verifyStatus}));
            if (script.verifyStatus != wire::Ok || stopHere(Step::Flash))
                return;
            for (int i = 0; i <= script.flashSteps; ++i) {
                std::this_thread::sleep_for(script.flashStepDelay);
                if (!s.send(wire::encode(
                        wire::FlashProgressMsg{static_cast<std::uint16_t>(100 * i / script.flashSteps)})))
                    return;
            }
            s.send(wire::encode(wire::CommitReplyMsg{wire::Ok, 3, 7}));
            return;
        }
    }
}

std::vector<int> g_progress;
int32_t record(int32_t v) {
    g_progress.push_back(v);
    return 1;
}

Outcome upload(const Script& script, std::size_t payload = 300000, std::uint32_t chunk = 65536) {
    const auto image = zutest::makeImageBytes(payload);
    fwimage::ImageInfo info;
    EXPECT_EQ(fwimage::parseImage(image.data(), image.size(), info), fwimage::ImageError::None);
    // The session writes with plain writev (as to a serial line): a device that
    // hung up must cost a failed session, not the test process.
    ::signal(SIGPIPE, SIG_IGN);
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    zutest::FrameStream client(fds[0]);
    Outcome o;
    std::thread device([&, fd = fds[1]] {
        zutest::FrameStream stream(fd);
        runDevice(stream, script, o);
    });
    ::fcntl(client.fd(), F_SETFL, O_NONBLOCK);
    const SharedImage shared(image, info.payloadCrc, chunk, info.typeCode);
    std::vector<std::unique_ptr<UploadSession>> sessions;
    sessions.push_back(UploadSession::overStream(kId, shared, client.fd(), kT, script.stream));
    g_progress.clear();
    const auto start = steady_clock::now();
    o.result = runUploads(sessions, record);
    o.took = duration_cast<milliseconds>(steady_clock::now() - start);
    ::shutdown(client.fd(), SHUT_RDWR); // releases a device that went silent
    device.join();
    EXPECT_TRUE(std::is_sorted(g_progress.begin(), g_progress.end())) << "progress never falls";
    std::tie(o.code, o.reason) = std::pair(sessions[0]->outcome(), sessions[0]->failure());
    return o;
}

} // namespace

TEST(Session, CompleteUploadAsTheDeviceSeesIt) {
    const Outcome o = upload({});
    EXPECT_TRUE(o.result == 1 && o.code == UPLOAD_COMMITTED && o.reason.empty());
    // The window of 4 chunks is never exceeded, and is used (a loaded machine may ack early).
    EXPECT_TRUE(o.maxUnacked >= 2 && o.maxUnacked <= 4) << o.maxUnacked;
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
        int code;
    } const rows[] = {
        {"busy", {.beginStatus = wire::Busy}, 0, UPLOAD_REFUSED},
        {"reply for another id", {.beginId = kId + 1}, 0, UPLOAD_UNREACHABLE},
        {"closed at Begin", {.closeAt = Step::Begin}, 0, UPLOAD_UNREACHABLE},
        {"noise on a stream transport", {.staleFirst = true, .stream = true}, 0, UPLOAD_UNREACHABLE},
        {"wrong ack count", {.badAckAt = 1}, 95, UPLOAD_TRANSFER_FAILED},
        {"closed mid chunks, the client writing", {.closeAt = Step::Chunk}, 95, UPLOAD_TRANSFER_FAILED},
        {"image CRC bad", {.verifyStatus = wire::ImageCrcBad}, 95, UPLOAD_VERIFY_FAILED},
        {"silent after End", {.silentAt = Step::End}, 95, UPLOAD_VERIFY_FAILED},
        {"closed after verify", {.closeAt = Step::Flash}, 96, UPLOAD_FLASH_FAILED},
        {"flash progress past the limit",
         {.flashSteps = 40, .flashStepDelay = kT / 2},
         99,
         UPLOAD_FLASH_FAILED},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Outcome o = upload(row.script, 5000, 1024); // a flash limit of 4T + 0.3 s
        EXPECT_TRUE(o.result == 0 && o.code == row.code && !o.reason.empty()) << o.code << " " << o.reason;
        EXPECT_LT(o.took, 6 * kT + milliseconds(400));
        EXPECT_LE(g_progress.empty() ? 0 : g_progress.back(), row.maxProgress);
        EXPECT_TRUE(row.maxProgress > 0 || o.received == 0) << "chunks sent after a failed Begin";
    }
}
