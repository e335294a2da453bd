// stationsim as a process. Station file, state file and command line: each kind of
// unknown key, wrong type, out-of-range value and bad option stops it with exit 2 and one
// line naming the key, never replacing a regular file with the serial link; the values
// just inside the limits are accepted. Serving: the startup line, port choice and a busy
// port, clean exit on SIGTERM and SIGINT with a stale serial link replaced and removed,
// scan answers (file order, parts of 256, empty station), info answers (defaults, silent
// device, garbage, a late reply holding up no other) and the request log.
#include "tests/stationsim/SimHarness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

using namespace simtest;

namespace {

// A station whose second device has valid keys plus `extra`.
std::string dev(const std::string& extra) {
    return R"({"devices": [{"id": 1}, {"id": 7, "name": "ok", )" + extra + "}]}";
}

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
        if (row.message[0] == '@') {
            EXPECT_EQ(e.output.find('\n'), e.output.size() - 1) << "one line: " << e.output;
        }
    }
    struct stat st {};
    ASSERT_EQ(::lstat(tty.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << "a regular file is never replaced by the serial link";
    StationProcess limits(R"({"link_kbps": 4294967295, "devices": [
        {"id": 2147483647, "name": ")" +
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
        const auto parts = exchange(p, {wire::encodeScanRequest(9)}); // an empty station answers once
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
    const Exit again = runSim(
        {"--station", serial, "--port", port, "--serial", link},
        [&](int p) {
            EXPECT_EQ(std::to_string(p), port);
            char target[256] = {};
            ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
            EXPECT_EQ(std::string(target).rfind("/dev/pts/", 0), 0u) << target;
            const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY); // a client that comes and goes
            EXPECT_GE(fd, 0);
            ::close(fd);
        },
        SIGINT);
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
        const auto parts = exchange(port, {wire::encodeScanRequest(0xA1B2C3D4)}, 1000); // as late as its latest device
        ASSERT_EQ(parts.size(), 2u);
        for (const auto& p : parts) {
            EXPECT_EQ(p.seq, 0xA1B2C3D4u);
            const auto part = wire::decodeScanReply(p);
            ASSERT_TRUE(part);
            EXPECT_EQ(part->total, 305);
            EXPECT_EQ(part->first, ids.size());
            EXPECT_EQ(part->ids.size(), ids.empty() ? 256u : 49u);
            ids.insert(ids.end(), part->ids.begin(), part->ids.end());
        }
        EXPECT_EQ(ids, want) << "in file order, the silent device too";
        EXPECT_TRUE(exchange(port, {wire::encodeInfoRequest(80, 103)}).empty()) << "silent";
        // Garbage and short requests are ignored; a device given only its id reports zeros.
        auto r = exchange(port, {wire::makeDatagram(wire::InfoRequest, 82, {1, 2}),
                                 wire::makeDatagram(0x7777, 83, {}), wire::encodeInfoRequest(84, 102)});
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].seq, 84u);
        EXPECT_EQ(wire::decodeInfoReply(r[0]), wire::DeviceInfo{.id = 102});
        r = exchange(port, {wire::encodeInfoRequest(85, 104), wire::encodeInfoRequest(86, 101),
                            wire::encodeInfoRequest(87, 999)},
                     2000, 3);
        ASSERT_EQ(r.size(), 3u);
        EXPECT_EQ(r[2].seq, 85u) << "a late reply holds up no other";
    });
    EXPECT_EQ(e.code, 0);
    for (const char* line : {"scan: 305 devices listed\n", "info 101: answered, version 2.03\n",
                             "info 103: silent, not answered\n", "info 999: unknown id\n"})
        EXPECT_NE(e.output.find(line), std::string::npos) << line << e.output;
}

} // namespace
