// stationsim as a process, spoken to on the wire. Station file, state file and command
// line: each kind of unknown key, wrong type, out-of-range value and bad option stops it
// with exit 2 and one line naming the key, never replacing a regular file with the serial
// link; the values just inside the limits are accepted. Serving: the startup line, port
// choice and a busy port, clean exit on SIGTERM and SIGINT with a stale serial link
// replaced and removed, scan answers (file order, parts of 256, empty station), info
// answers (defaults, silent device, garbage, a late reply holding up no other) and the
// request log. Uploads: every protocol error (each Begin refusal, an image type the device
// does not accept among them, chunk out of order or corrupt, bad End, invalid image or one
// of another type than announced) ends the session and keeps the old version; Busy for a
// second session; a client leaving mid-flash; a stop mid-session. Each device fault and
// the state file across a restart are checked through the library (tests/devlib).
#include "tests/support/StationProcess.h"
#include "wire/Crc32.h"
#include "wire/Datagram.h"
#include "wire/UploadFrames.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

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

} // namespace

// Each row: a command line, where "@" stands for a folder holding s.json (the row's
// station), state.json (the row's state) and a regular file ttyS9 that nobody may replace;
// and what the message holds. An error naming a file ("@...") takes one line.
TEST(Configuration, EachErrorExitsTwoNamingIt) {
    const std::vector<std::string> run{"--station", "@/s.json", "--port", "0"};
    const std::vector<std::string> state{"--station", "@/s.json", "--state", "@/state.json"};
    const std::string ok = R"({"devices": [{"id": 1, "serial": true}]})";
    const struct {
        std::vector<std::string> args;
        std::string json, message, state = "";
    } rows[] = {
        {run, dev(R"("serail": true)"), "@/s.json: devices[1].serail: unknown key"},
        {run, "[1, 2]", "@/s.json: (top level): expected a JSON object"},
        {run, R"({"link_kbps": -1})", "@/s.json: link_kbps: out of range"},
        {run, R"({"flash_kbps": 1.5})", "@/s.json: flash_kbps: expected an integer"},
        {run, R"({"devices": [{"id": 1}, {"name": "x"}]})", "@/s.json: devices[1].id: missing"},
        {run, dev(R"("id": 0)"), "@/s.json: devices[1].id: must not be 0"},
        {run, dev(R"("id": 1)"), "@/s.json: devices[1].id: duplicate id 1"},
        {run, dev(R"("address": "host")"), "@/s.json: devices[1].address: expected a dotted"},
        {run, dev(R"("family": 256)"), "@/s.json: devices[1].family: out of range (0..255)"},
        {run, dev(R"("letter": "AB")"), "@/s.json: devices[1].letter: expected exactly one"},
        {run, dev(R"("version": [1])"), "@/s.json: devices[1].version: expected [major"},
        {run, dev(R"("serial": 1)"), "@/s.json: devices[1].serial: expected true or false"},
        {run, dev(R"("accepts": [2, 256])"), "@/s.json: devices[1].accepts[1]: out of range (0..255)"},
        {run, R"({"devices": [ {"id": 1,} ]})", "@/s.json: malformed JSON: parse error"},
        {run, R"({"serial_baud": 1E400})", "@/s.json: malformed JSON: number overflow"},
        {{"--port", "0"}, ok, "--station FILE is required"},
        {{"--station", "@/s.json", "--verbose"}, ok, "unknown option '--verbose'"},
        {{"--station", "@/s.json", "--port"}, ok, "--port needs a value"},
        {{"--station", "@/s.json", "--port", "65536"}, ok, "not a port number"},
        {{"--station", "@/nope.json"}, ok, "@/nope.json: cannot read"},
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

TEST(Startup, OneLineSharedPortBusyPortCleanExitAndTheSerialLink) {
    TempDir dir;
    const std::string station = dir.write("s.json", "{}");
    std::string port;
    const Exit e = runSim({"--station", station, "--port", "0"}, [&](int p) {
        const auto parts = exchange(p, {encodeScanRequest(9)}); // an empty station answers once
        ASSERT_EQ(parts.size(), 1u);
        EXPECT_EQ(parts[0].body, Bytes(8, 0));
        EXPECT_TRUE(FrameStream::connectTo(p).ok()) << "TCP on the same number";
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
TEST(ScanAndInfo, PartsOf256DefaultsSilentGarbageALateReplyAndTheLog) {
    std::string list = R"({"id": -3})"; // negative ids are ids too
    std::vector<std::int32_t> want{-3}, ids;
    for (int i = 0; i < 300; ++i) {
        want.push_back(1000 + i);
        list += ", {\"id\": " + std::to_string(1000 + i) + "}";
    }
    want.insert(want.end(), {101, 102, 103, 104});
    list += R"(, {"id": 101, "version": [2, 3]}, {"id": 102}, {"id": 103, "faults": {"silent": true}},
               {"id": 104, "faults": {"delay_ms": 400}})";
    TempDir dir;
    const std::string station = dir.write("s.json", R"({"devices": [)" + list + "]}");
    const Exit e = runSim({"--station", station, "--port", "0", "--log"}, [&](int port) {
        const auto parts =
            exchange(port, {encodeScanRequest(0xA1B2C3D4)}, 1000); // as late as its latest device
        ASSERT_EQ(parts.size(), 2u);
        for (const auto& p : parts) {
            const auto part = decodeScanReply(p);
            ASSERT_TRUE(part && p.seq == 0xA1B2C3D4u && part->total == 305 && part->first == ids.size());
            EXPECT_EQ(part->ids.size(), ids.empty() ? 256u : 49u);
            ids.insert(ids.end(), part->ids.begin(), part->ids.end());
        }
        EXPECT_EQ(ids, want) << "in file order, the silent device too";
        EXPECT_TRUE(exchange(port, {encodeInfoRequest(80, 103)}).empty()) << "silent";
        // Garbage and short requests are ignored; a device given only its id reports zeros.
        auto r = exchange(port, {makeDatagram(InfoRequest, 82, {1, 2}), makeDatagram(0x7777, 83, {}),
                                 encodeInfoRequest(84, 102)});
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].seq, 84u);
        EXPECT_EQ(decodeInfoReply(r[0]), DeviceInfo{.id = 102});
        r = exchange(port,
                     {encodeInfoRequest(85, 104), encodeInfoRequest(86, 101), encodeInfoRequest(87, 999)},
                     2000, 3);
        ASSERT_EQ(r.size(), 3u);
        EXPECT_EQ(r[2].seq, 85u) << "a late reply holds up no other";
    });
    EXPECT_EQ(e.code, 0);
    for (const char* line : {"scan: 305 devices listed\n", "info 101: answered, version 2.03\n",
                             "info 103: silent, not answered\n", "info 999: unknown id\n"})
        EXPECT_NE(e.output.find(line), std::string::npos) << line << e.output;
}

namespace {

const Bytes kImage = zutest::makeImageBytes(1000, 3, 7); // 1064 bytes
const auto kSize = static_cast<std::uint32_t>(kImage.size());
constexpr std::uint32_t kType = 0x01010241; // its type code
const std::pair<int, int> kOld{2, 3};

std::uint32_t crcOf(const Bytes& bytes) {
    return crc32Of(bytes.data(), bytes.size());
}

Bytes beginFrame(std::int32_t id, std::uint32_t size = kSize, std::uint32_t chunk = 64,
                 std::uint32_t type = kType) {
    return encode(BeginMsg{id, size, crcOf(kImage), chunk, type});
}

// Past the end of `image`, the bytes come from its start: only the offset matters there.
Bytes chunkFrame(std::uint32_t offset, std::uint32_t size = 64, std::uint32_t crcXor = 0,
                 const Bytes& image = kImage) {
    const std::uint32_t from = offset + size <= image.size() ? offset : 0;
    const Bytes bytes(image.begin() + from, image.begin() + from + size);
    return encode(ChunkMsg{offset, crcOf(bytes) ^ crcXor, bytes});
}

// The whole of `image` in 64-byte chunks after its Begin (announcing `type`), then `last`.
std::vector<Bytes> transfer(const Bytes& image, const Bytes& last, std::uint32_t type = kType) {
    const auto size = static_cast<std::uint32_t>(image.size());
    std::vector<Bytes> frames{encode(BeginMsg{101, size, crcOf(image), 64, type})};
    for (std::uint32_t offset = 0; offset < size; offset += 64)
        frames.push_back(chunkFrame(offset, std::min(64u, size - offset), 0, image));
    frames.push_back(last);
    return frames;
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

TEST(Upload, EachProtocolErrorClosesTheSessionAndKeepsTheVersion) {
    constexpr std::uint32_t kMax = 64 + 256u * 1024 * 1024;
    const Bytes end = encode(EndMsg{crcOf(kImage)});
    Bytes invalid = kImage;
    invalid[200] ^= 0x55; // the header's payload CRC no longer matches; transport CRCs do
    const struct {
        const char* label;
        std::vector<Bytes> frames;
        std::uint16_t replyType, status;
    } rows[] = {
        {"unknown id", {beginFrame(999)}, BeginReply, UnknownId},
        {"image too large", {beginFrame(101, kMax + 1)}, BeginReply, TooLarge},
        {"chunk 0", {beginFrame(101, kSize, 0)}, BeginReply, TooLarge},
        {"begin without fields", {makeFrame(Begin, Bytes{1, 2})}, BeginReply, BadRequest},
        {"type not accepted", {beginFrame(101, kSize, 64, 2)}, BeginReply, NotAccepted},
        // Accepted, then ended at once, so that no session stays open.
        {"largest image and chunk", {beginFrame(101, kMax, 65536), end}, VerifyReply, ImageCrcBad},
        {"serial device over TCP", {beginFrame(102, 1, 1), end}, VerifyReply, ImageCrcBad},
        {"chunk skips ahead", {beginFrame(101), chunkFrame(0), chunkFrame(128)}, ChunkAck, OutOfOrder},
        {"chunk crc wrong", {beginFrame(101), chunkFrame(0, 64, 1)}, ChunkAck, ChunkCrcBad},
        {"chunk above announced size", {beginFrame(101), chunkFrame(0, 65)}, ChunkAck, BadRequest},
        {"chunk past image end", transfer(kImage, chunkFrame(kSize, 1)), ChunkAck, BadRequest},
        {"end crc differs", transfer(kImage, encode(EndMsg{crcOf(kImage) ^ 1})), VerifyReply, ImageCrcBad},
        {"not a firmware image", transfer(invalid, encode(EndMsg{crcOf(invalid)})), VerifyReply,
         ImageInvalid},
        {"another type than announced", transfer(kImage, end, 0x104), VerifyReply, ImageInvalid},
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
    StationProcess st(R"({"flash_kbps": 2, "devices": [{"id": 101, "version": [2, 3]}, {"id": 102}]})");
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

    // Then one leaves half a second of flash after its start (two progress reports).
    std::pair<std::uint16_t, std::uint16_t> verified{0, 0xFFFF};
    FrameStream leaving(-1);
    for (int i = 0; i < 100 && verified.second != Ok; ++i) {
        leaving = FrameStream::connectTo(st.port());
        if ((verified = answer(leaving, transfer(kImage, encode(EndMsg{crcOf(kImage)})))).second == Busy)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(verified, std::make_pair(std::uint16_t{VerifyReply}, std::uint16_t{Ok}));
    EXPECT_TRUE(decodeFlashProgress(leaving.read().value_or(Frame{})) &&
                decodeFlashProgress(leaving.read().value_or(Frame{})));
    leaving.close();
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(versionOf(st.port(), 101), kOld);

    other.send(chunkFrame(0));
    ASSERT_TRUE(other.read());
    EXPECT_EQ(st.stop(), 0) << "a session in progress does not hold up the exit";
}
