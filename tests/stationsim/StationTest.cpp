// stationsim as a process, spoken to on the wire. Station file, state file and command
// line: each kind of unknown key, wrong type, out-of-range value and bad option stops it
// with exit 2 and one line naming the key, never replacing a regular file with the serial
// link; the values just inside the limits are accepted. Serving: the startup line, port
// choice and a busy port, a connection cap, no thread to be had, clean exit on SIGTERM and SIGINT with a
// stale serial link replaced and removed, an empty station's scan answer, info requests (garbage, a silent
// device, a late reply holding up no other) and the request log; scans in parts of 256 are read through the
// library. Uploads: every protocol error (each Begin refusal but that of an image type, which the library
// test checks with its reason; a chunk out of order, corrupt or of the wrong size, a damaged frame, a bad
// End, an invalid image or one of another type than announced) ends the session and keeps the old version;
// Busy for a second session; a client leaving mid-flash; a stop mid-session. State file: a commit confirmed
// only once saved, and a kill around a commit. Each device fault is checked through the library
// (tests/devlib).
#include "tests/support/StationProcess.h"
#include "wire/Crc32.h"
#include "wire/Datagram.h"
#include "wire/UploadFrames.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <regex>
#include <thread>

using namespace wire; // statuses, frame types and codecs
using zutest::FrameStream;
using zutest::StationProcess;
using zutest::TempDir;
using Bytes = std::vector<std::uint8_t>;

namespace {

struct Exit {
    int code = -1;      // exit status, or 128 + signal
    std::string output; // stdout and stderr
};

// Runs stationsim with `args` until it exits. Once it listens, calls `during(port)`
// and then sends `sig`; without `during` it should not have started at all.
Exit runSim(const std::vector<std::string>& args, const std::function<void(int)>& during = {},
            int sig = SIGTERM) {
    StationProcess sim(args);
    if (sim.running() && during)
        during(sim.port());
    sim.stop(during ? sig : SIGKILL);
    return {sim.exitCode(), sim.output()};
}

// Sends `requests` from one UDP socket; the replies until `atMost` came or none for `quietMs`.
std::vector<Datagram> exchange(int port, const std::vector<Bytes>& requests, int quietMs = 300,
                               std::size_t atMost = SIZE_MAX) {
    const support::Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in to{AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    for (const Bytes& d : requests)
        ::sendto(fd.get(), d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    std::vector<Datagram> replies;
    pollfd p{fd.get(), POLLIN, 0};
    std::uint8_t buffer[2048];
    while (replies.size() < atMost && ::poll(&p, 1, quietMs) > 0) {
        const ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
        if (auto d = n > 0 ? parseDatagram(buffer, static_cast<std::size_t>(n)) : std::nullopt)
            replies.push_back(std::move(*d));
    }
    return replies;
}

std::pair<int, int> versionOf(int port, std::int32_t id) { // {-1, -1} without an answer
    const auto r = exchange(port, {encodeInfoRequest(1, id)}, 1000, 1);
    const auto info = r.empty() ? std::nullopt : decodeInfoReply(r[0]);
    return info ? std::pair(info->versionMajor, info->versionMinor) : std::pair(-1, -1);
}

// A station whose second device has valid keys plus `extra`.
std::string dev(const std::string& extra) {
    return R"({"devices": [{"id": 1}, {"id": 7, "name": "ok", )" + extra + "}]}";
}

const Bytes kImage = zutest::makeImageBytes(1000, 3, 7); // 1064 bytes: a full chunk and 40 bytes
const auto kSize = static_cast<std::uint32_t>(kImage.size());
constexpr std::uint32_t kChunk = kMinChunkSize;
constexpr std::uint32_t kType = 0x01010241; // its type code
const std::pair<int, int> kOld{2, 3};

std::uint32_t crcOf(const Bytes& bytes) {
    return crc32Of(bytes.data(), bytes.size());
}

Bytes beginFrame(std::int32_t id, std::uint32_t size = kSize, std::uint32_t chunk = kChunk) {
    return encode(BeginMsg{id, size, crcOf(kImage), chunk, kType});
}

// Past the end of `image`, the bytes come from its start: only the offset matters there.
Bytes chunkFrame(std::uint32_t offset, std::uint32_t size = kChunk, std::uint32_t crcXor = 0,
                 const Bytes& image = kImage) {
    const std::uint32_t from = offset + size <= image.size() ? offset : 0;
    const Bytes bytes(image.begin() + from, image.begin() + from + size);
    return encode(ChunkMsg{offset, crcOf(bytes) ^ crcXor, bytes});
}

// The whole of `image` in chunks after its Begin (announcing `type`), then its End.
std::vector<Bytes> transfer(const Bytes& image, const std::optional<Bytes>& last = std::nullopt,
                            std::uint32_t type = kType) {
    const auto size = static_cast<std::uint32_t>(image.size());
    std::vector<Bytes> frames{encode(BeginMsg{101, size, crcOf(image), kChunk, type})};
    for (std::uint32_t offset = 0; offset < size; offset += kChunk)
        frames.push_back(chunkFrame(offset, std::min(kChunk, size - offset), 0, image));
    frames.push_back(last.value_or(encode(EndMsg{crcOf(image)})));
    return frames;
}

// The CommitReply that ends the session, if one comes.
std::optional<CommitReplyMsg> commitReply(FrameStream& c) {
    while (const auto f = c.read())
        if (const auto commit = decodeCommitReply(*f))
            return commit;
    return std::nullopt;
}

// The type and status of the station's answer to the last of `frames` (or to the first it refuses).
std::pair<std::uint16_t, std::uint16_t> answer(FrameStream& c, const std::vector<Bytes>& frames) {
    std::pair<std::uint16_t, std::uint16_t> last{0, 0xFFFF};
    for (const Bytes& f : frames) {
        c.send(f);
        const auto reply = c.read();
        if (!reply)
            return {0, 0xFFFF};
        const auto ack = decodeChunkAck(*reply);
        const auto begin = decodeBeginReply(*reply);
        const auto verify = decodeVerifyReply(*reply);
        last = {reply->type, ack ? ack->status : begin ? begin->status : verify ? verify->status : 0xFFFF};
        if (last.second != Ok)
            break;
    }
    return last;
}

} // namespace

// One row per kind of error: a command line, where "@" stands for a folder holding s.json
// (the row's station), state.json (the row's state) and a regular file ttyS9 that nobody may
// replace; and what the message holds. An error naming a file ("@...") takes one line. Ids
// zero or twice are fuzz_station's to find.
TEST(Configuration, EachErrorExitsTwoNamingIt) {
    const std::vector<std::string> run{"--station", "@/s.json", "--port", "0"};
    const std::vector<std::string> state{"--station", "@/s.json", "--state", "@/state.json"};
    const std::string ok = R"({"devices": [{"id": 1, "serial": true}]})";
    const struct {
        std::vector<std::string> args;
        std::string json, message, state = "";
    } rows[] = {
        {run, dev(R"("serail": true)"), "@/s.json: devices[1].serail: unknown key"},
        {run, R"({"flash_kbps": 1.5})", "@/s.json: flash_kbps: expected an integer"},
        {run, R"({"devices": [{"id": 1}, {"name": "x"}]})", "@/s.json: devices[1].id: missing"},
        {run, dev(R"("address": "host")"), "@/s.json: devices[1].address: expected a dotted"},
        {run, dev(R"("family": 256)"), "@/s.json: devices[1].family: out of range (0..255)"},
        {run, dev(R"("accepts": [2, 256])"), "@/s.json: devices[1].accepts[1]: out of range (0..255)"},
        {run, R"({"devices": [ {"id": 1,} ]})", "@/s.json: malformed JSON: parse error"},
        {run, R"({"serial_baud": 1E400})", "@/s.json: malformed JSON: number overflow"},
        {{"--port", "0"}, ok, "--station FILE is required"},
        {{"--station", "@/s.json", "--verbose"}, ok, "unknown option '--verbose'"},
        {{"--station", "@/s.json", "--port", "65536"}, ok, "not a port number"},
        {{"--station", "@"}, ok, "@: cannot read: not a regular file"},
        {state, ok, "@/state.json: not a valid state file", "[]"},
        {{"--station", "@/s.json", "--serial", "@/ttyS9"}, ok, "@/ttyS9: exists and is not a symlink"},
    };
    TempDir dir;
    const std::string tty = dir.write("ttyS9", "precious");
    for (const auto& row : rows) {
        dir.write("s.json", row.json);
        dir.write("state.json", row.state);
        std::vector<std::string> args = row.args;
        std::string message = row.message;
        for (std::string* s : {&args[0], &args[1], &args.back(), &message})
            *s = (*s)[0] == '@' ? dir.path() + s->substr(1) : *s;
        const Exit e = runSim(args);
        EXPECT_EQ(e.code, 2) << row.message << e.output;
        EXPECT_EQ(e.output.rfind("stationsim: ", 0), 0u) << e.output;
        EXPECT_NE(e.output.find(message), std::string::npos) << e.output;
        EXPECT_TRUE(row.message[0] != '@' || e.output.find('\n') == e.output.size() - 1)
            << "one line: " << e.output;
    }
    struct stat st {};
    EXPECT_TRUE(::lstat(tty.c_str(), &st) == 0 && S_ISREG(st.st_mode)) << "a regular file is never replaced";
    StationProcess limits(R"({"link_kbps": 4294967295, "devices": [{"id": 2147483647, "name": ")" +
                          std::string(63, 'n') +
                          R"(", "family": 255, "kind": 0, "sub": 255, "letter": "\u0000",
         "address": "255.255.255.255", "version": [2147483647, 0], "faults": {"drop_after": 4294967295}},
        {"id": -2147483648, "address": "0.0.0.0"}]})");
    EXPECT_TRUE(limits.running()) << "just inside the limits: " << limits.error();
}

TEST(Startup, KeepsServingWhenNoThreadCanStart) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizers reserve more address space than the limit allows";
#endif
    TempDir dir;
    const std::string station = dir.write("s.json", R"({"devices": [{"id": 101}]})");
    rlimit ours{};
    ASSERT_EQ(::getrlimit(RLIMIT_AS, &ours), 0);
    rlimit tight = ours;
    tight.rlim_cur = 120u << 20; // room for about a dozen thread stacks; the child inherits it
    ASSERT_EQ(::setrlimit(RLIMIT_AS, &tight), 0);
    StationProcess sim({"--station", station, "--port", "0"});
    ::setrlimit(RLIMIT_AS, &ours);
    ASSERT_TRUE(sim.running()) << sim.error();
    std::vector<FrameStream> connections;
    connections.reserve(40);
    for (int i = 0; i < 40; ++i)
        connections.push_back(FrameStream::connectTo(sim.port()));
    int closed = 0; // those that got no thread are closed at once
    for (FrameStream& c : connections)
        closed += !c.read(50) && c.peerClosed() ? 1 : 0;
    EXPECT_GT(closed, 0);
    EXPECT_EQ(exchange(sim.port(), {encodeScanRequest(1)}).size(), 1u) << "still serving";
    EXPECT_TRUE(sim.running());
}

TEST(Startup, OneLineSharedPortBusyPortCleanExitAndTheSerialLink) {
    TempDir dir;
    const std::string station = dir.write("s.json", "{}");
    std::string port;
    const Exit e = runSim({"--station", station, "--port", "0", "--max-connections", "2"}, [&](int p) {
        const auto parts = exchange(p, {encodeScanRequest(9)}); // an empty station answers once
        ASSERT_EQ(parts.size(), 1u);
        EXPECT_EQ(parts[0].body, Bytes(8, 0));
        // TCP on the same number: past the cap a connection is closed at once, and the rest go on.
        FrameStream first = FrameStream::connectTo(p), second = FrameStream::connectTo(p);
        FrameStream over = FrameStream::connectTo(p);
        EXPECT_TRUE(!over.read(5000) && over.peerClosed());
        first.close();
        std::uint16_t status = 0xFFFF; // its place is free again once the station notices
        for (int i = 0; i < 50 && status != UnknownId; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            status = answer(over = FrameStream::connectTo(p), {beginFrame(1)}).second;
        }
        EXPECT_EQ(status, UnknownId);
        EXPECT_EQ(answer(second, {beginFrame(1)}).second, UnknownId);
        const Exit busy = runSim({"--station", station, "--port", port = std::to_string(p)});
        EXPECT_EQ(busy.code, 1);
        EXPECT_NE(busy.output.find(port), std::string::npos) << busy.output;
    });
    EXPECT_EQ(e.code, 0);
    EXPECT_TRUE(std::regex_match(e.output, std::regex("stationsim listening on 127\\.0\\.0\\.1:[0-9]+\n")))
        << "one line, quiet without --log: " << e.output;

    // The port is free again; a stale serial link from a crashed run is replaced, and removed on exit.
    const std::string link = dir.file("ttyCOM1");
    ASSERT_EQ(::symlink("/nonexistent", link.c_str()), 0);
    const std::string serial = dir.write("serial.json", R"({"devices": [{"id": 1, "serial": true}]})");
    const auto during = [&](int p) {
        EXPECT_EQ(std::to_string(p), port);
        char target[256] = {};
        ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(std::string(target).rfind("/dev/pts/", 0), 0u) << target;
        EXPECT_TRUE(support::Fd(::open(link.c_str(), O_RDWR | O_NOCTTY)).valid()); // a client comes and goes
    };
    const Exit again = runSim({"--station", serial, "--port", port, "--serial", link}, during, SIGINT);
    EXPECT_EQ(again.code, 0) << again.output;
    struct stat st {};
    EXPECT_NE(::lstat(link.c_str(), &st), 0);
}

// Every field's encoding is checked through the library; here what only the wire shows.
TEST(ScanAndInfo, GarbageIgnoredALateReplyHoldingUpNoOtherAndTheLog) {
    TempDir dir;
    const std::string station = dir.write("s.json", R"({"devices": [{"id": 101, "version": [2, 3]},
        {"id": 103, "faults": {"silent": true}}, {"id": 104, "faults": {"delay_ms": 400}}]})");
    const Exit e = runSim({"--station", station, "--port", "0", "--log"}, [&](int port) {
        EXPECT_EQ(exchange(port, {encodeScanRequest(7)}, 200).size(), 1u) << "not held up by the slow device";
        EXPECT_TRUE(exchange(port, {makeDatagram(InfoRequest, 82, {1, 2}), makeDatagram(0x7777, 83, {}),
                                    encodeInfoRequest(84, 103)})
                        .empty())
            << "short, unknown, silent";
        const auto r = exchange(
            port, {encodeInfoRequest(85, 104), encodeInfoRequest(86, 101), encodeInfoRequest(87, 999)}, 2000,
            3);
        ASSERT_EQ(r.size(), 3u);
        EXPECT_EQ(r[2].seq, 85u) << "a late reply holds up no other";
    });
    EXPECT_EQ(e.code, 0);
    for (const char* line : {"scan: 3 devices listed\n", "info 101: answered, version 2.03\n",
                             "info 103: silent, not answered\n", "info 999: unknown id\n"})
        EXPECT_NE(e.output.find(line), std::string::npos) << line << e.output;
}

TEST(Upload, EachProtocolErrorClosesTheSessionAndKeepsTheVersion) {
    constexpr std::uint32_t kMax = 64 + 256u * 1024 * 1024;
    const Bytes end = encode(EndMsg{crcOf(kImage)});
    Bytes invalid = kImage, damaged = chunkFrame(0);
    invalid[200] ^= 0x55; // the header's payload CRC no longer matches; transport CRCs do
    damaged[100] ^= 0x01; // on TCP a frame failing its CRC ends the session unanswered
    const struct {
        const char* label;
        std::vector<Bytes> frames;
        std::uint16_t replyType, status;
    } rows[] = {
        {"unknown id", {beginFrame(999)}, BeginReply, UnknownId},
        {"image too large", {beginFrame(101, kMax + 1)}, BeginReply, TooLarge},
        {"chunk below the least", {beginFrame(101, kSize, kChunk - 1)}, BeginReply, TooLarge},
        {"begin without fields", {makeFrame(Begin, Bytes{1, 2})}, BeginReply, BadRequest},
        // Accepted, then ended at once, so that no session stays open.
        {"largest image and chunk", {beginFrame(101, kMax, 65536), end}, VerifyReply, ImageCrcBad},
        {"serial device over TCP", {beginFrame(102, 1), end}, VerifyReply, ImageCrcBad},
        {"chunk skips ahead", {beginFrame(101), chunkFrame(0), chunkFrame(2 * kChunk)}, ChunkAck, OutOfOrder},
        {"chunk crc wrong", {beginFrame(101), chunkFrame(0, kChunk, 1)}, ChunkAck, ChunkCrcBad},
        {"chunk short of the announced size", {beginFrame(101), chunkFrame(0, 1000)}, ChunkAck, BadRequest},
        {"chunk past image end", transfer(kImage, chunkFrame(kSize, 1)), ChunkAck, BadRequest},
        {"frame damaged", {beginFrame(101), damaged}, 0, 0xFFFF},
        {"end crc differs", transfer(kImage, encode(EndMsg{crcOf(kImage) ^ 1})), VerifyReply, ImageCrcBad},
        {"not a firmware image", transfer(invalid), VerifyReply, ImageInvalid},
        {"another type than announced", transfer(kImage, std::nullopt, 0x104), VerifyReply, ImageInvalid},
    };
    StationProcess st(
        R"({"devices": [{"id": 101, "version": [2, 3], "accepts": [65, 4]}, {"id": 102, "serial": true}]})");
    ASSERT_TRUE(st.running()) << st.error();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        FrameStream c = FrameStream::connectTo(st.port());
        EXPECT_EQ(answer(c, row.frames), std::make_pair(row.replyType, row.status));
        EXPECT_FALSE(c.read()) << "session closed";
        EXPECT_TRUE(c.peerClosed());
        EXPECT_EQ(versionOf(st.port(), 101), kOld);
    }
}

TEST(Upload, BusyUntilTheFirstEndsLeavingMidFlashAndStopMidSession) {
    TempDir dir;
    StationProcess st({"--station", dir.write("s.json", R"({"flash_kbps": 2, "devices": [{"id": 101,
        "version": [2, 3]}, {"id": 102}]})"),
                       "--port", "0", "--log"});
    ASSERT_TRUE(st.running()) << st.error();
    auto begin = [&](std::int32_t id) {
        FrameStream c = FrameStream::connectTo(st.port());
        const auto status = answer(c, {beginFrame(id)}).second;
        return std::pair(std::move(c), status);
    };
    auto [first, accepted] = begin(101);
    EXPECT_EQ(accepted, Ok);
    EXPECT_EQ(begin(101).second, Busy);
    auto [other, alsoAccepted] = begin(102);
    EXPECT_EQ(alsoAccepted, Ok) << "other devices are not affected";
    first.close(); // the client leaves; the device frees itself once it notices

    // Then one leaves early in its half a second of flash (after two progress reports).
    std::pair<std::uint16_t, std::uint16_t> verified{0, 0xFFFF};
    FrameStream leaving(-1);
    for (int i = 0; i < 100 && verified.second != Ok; ++i) {
        leaving = FrameStream::connectTo(st.port());
        if ((verified = answer(leaving, transfer(kImage))).second == Busy)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(verified, std::make_pair(std::uint16_t{VerifyReply}, std::uint16_t{Ok}));
    EXPECT_TRUE(decodeFlashProgress(leaving.read().value_or(Frame{})) &&
                decodeFlashProgress(leaving.read().value_or(Frame{})));
    leaving.close(); // the flash ends as the station notices, without a commit
    const std::string interrupted = "upload 101: flash programming interrupted, version 2.03 kept\n";
    for (int i = 0; i < 500 && st.output().find(interrupted) == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_NE(st.output().find(interrupted), std::string::npos) << st.output();
    EXPECT_EQ(versionOf(st.port(), 101), kOld);

    other.send(chunkFrame(0));
    ASSERT_TRUE(other.read());
    EXPECT_EQ(st.stop(), 0) << "a session in progress does not hold up the exit";
}

// Confirmed only once saved: with no folder to save into the device reports a failed flash
// and keeps its version. Killed at moments around a commit, the station comes back with the
// old version or the new (the new one once it was confirmed), never a damaged state file,
// and nothing is left beside it.
TEST(StateFile, ConfirmedOnlyOnceSavedAKillKeepsOldOrNew) {
    const std::string station = R"({"devices": [{"id": 101, "version": [2, 3]}]})";
    TempDir dir;
    StationProcess unsaved(station, {0, dir.file("missing/state.json"), {}});
    FrameStream c = FrameStream::connectTo(unsaved.port());
    ASSERT_EQ(answer(c, transfer(kImage)).second, Ok);
    EXPECT_EQ(commitReply(c), (CommitReplyMsg{FlashFailed, 2, 3}));
    EXPECT_EQ(versionOf(unsaved.port(), 101), kOld);
    std::pair<int, int> before = kOld, attempted = kOld;
    bool confirmed = false;
    for (int minor = 1; minor <= 8; ++minor) {
        StationProcess st(station, {0, dir.file("state.json"), {}});
        ASSERT_TRUE(st.running()) << st.error();
        const auto now = versionOf(st.port(), 101);
        EXPECT_TRUE(now == attempted || (!confirmed && now == before)) << minor;
        for (const auto& file : std::filesystem::directory_iterator(dir.path()))
            EXPECT_EQ(file.path().filename(), "state.json");
        std::tie(before, attempted) = std::pair(now, std::pair(3, minor));
        const Bytes image = zutest::makeImageBytes(1000, 3, minor);
        ASSERT_EQ(answer(c = FrameStream::connectTo(st.port()), transfer(image)).second, Ok);
        std::this_thread::sleep_for(std::chrono::microseconds(150 * (minor - 1)));
        st.stop(SIGKILL);
        confirmed = commitReply(c).value_or(CommitReplyMsg{FlashFailed}).status == Ok;
    }
}
