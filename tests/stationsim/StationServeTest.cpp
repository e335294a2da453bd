// Serving: the startup line, port choice and a busy port, clean exit on SIGTERM and
// SIGINT with the serial link removed, scan answers (file order, parts of 256, empty
// station), info answers (every field, defaults, unknown id, silent device, garbage),
// the request log, and a late reply that does not hold up others.
#include "SimHarness.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <regex>

using namespace simtest;

namespace {

Bytes scanRequest(std::uint32_t seq) {
    return proto::makeDatagram(proto::ScanRequest, seq, {});
}

TEST(Startup, OneLineSharedPortCleanExitAndBusyPort) {
    TempDir dir;
    const std::string station = dir.write("s.json", "{}");
    const Exit e = runSim({"--station", station, "--port", "0"}, [](int port) {
        const auto parts = exchange(port, {scanRequest(9)}); // an empty station answers once
        ASSERT_EQ(parts.size(), 1u);
        EXPECT_EQ(parts[0].body, Bytes(8, 0));
        EXPECT_TRUE(Conn(port).ok()) << "TCP on the same number";
    });
    EXPECT_EQ(e.code, 0);
    EXPECT_TRUE(std::regex_match(e.out, std::regex("stationsim listening on 127\\.0\\.0\\.1:[0-9]+\n")))
        << e.out;
    EXPECT_EQ(e.err, "") << "quiet without --log";

    StationProcess first(std::string("{}"));
    ASSERT_TRUE(first.running()) << first.error();
    const std::string port = std::to_string(first.port());
    const Exit busy = runSim({"--station", station, "--port", port});
    EXPECT_EQ(busy.code, 1);
    EXPECT_NE(busy.err.find(port), std::string::npos) << busy.err;
    EXPECT_EQ(first.stop(), 0);
    const Exit again = runSim(
        {"--station", station, "--port", port}, [&](int p) { EXPECT_EQ(std::to_string(p), port); }, SIGINT);
    EXPECT_EQ(again.code, 0) << again.err;
}

TEST(Startup, SerialLinkIsCreatedReplacedAndRemovedOnExit) {
    TempDir dir;
    zutest::StationOptions options;
    options.serialPath = dir.file("ttyCOM1");
    ASSERT_EQ(::symlink("/nonexistent", options.serialPath.c_str()), 0); // stale link from a crashed run
    StationProcess sim(R"({"devices": [{"id": 1, "serial": true}]})", options);
    ASSERT_TRUE(sim.running()) << sim.error();
    char target[256] = {};
    ASSERT_GT(::readlink(options.serialPath.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target).rfind("/dev/pts/", 0), 0u) << target;
    EXPECT_TRUE(Conn(options.serialPath).ok()); // a client that comes and goes
    EXPECT_EQ(sim.stop(), 0);
    struct stat st {};
    EXPECT_NE(::lstat(options.serialPath.c_str(), &st), 0);
}

TEST(Scan, ListsIdsInFileOrderInPartsOf256) {
    std::string list = R"({"id": -3})"; // negative ids are ids too
    for (int i = 0; i < 300; ++i)
        list += R"(, {"id": )" + std::to_string(1000 + i) + "}";
    StationProcess sim(R"({"devices": [)" + list + "]}");
    ASSERT_TRUE(sim.running()) << sim.error();
    const auto parts = exchange(sim.port(), {scanRequest(0xA1B2C3D4)});
    ASSERT_EQ(parts.size(), 2u);
    std::vector<std::int32_t> ids;
    for (const auto& p : parts) {
        EXPECT_EQ(p.type, proto::ScanReply);
        EXPECT_EQ(p.seq, 0xA1B2C3D4u);
        const std::uint8_t* b = p.body.data();
        EXPECT_EQ(proto::getU16(b), 301);
        EXPECT_EQ(proto::getU16(b + 2), ids.size()); // first index of this part
        const std::uint16_t count = proto::getU16(b + 4);
        ASSERT_EQ(p.body.size(), 8u + 4u * count);
        for (std::uint16_t i = 0; i < count; ++i)
            ids.push_back(proto::getI32(b + 8 + 4 * i));
    }
    ASSERT_EQ(ids.size(), 301u);
    EXPECT_EQ(proto::getU16(parts[0].body.data() + 4), 256);
    EXPECT_EQ(ids[0], -3);
    for (int i = 0; i < 300; ++i)
        EXPECT_EQ(ids[static_cast<std::size_t>(i) + 1], 1000 + i);
}

// An info reply body: id, status, address, type code, version, then the 64-byte name.
Bytes infoBody(std::vector<std::uint32_t> fields, const std::string& name = "") {
    Bytes b;
    for (std::uint32_t v : fields)
        proto::putU32(b, v);
    b.insert(b.end(), name.begin(), name.end());
    b.resize(88, 0);
    return b;
}

TEST(Info, EveryFieldDefaultsUnknownSilentGarbageAndTheLog) {
    TempDir dir;
    const std::string json = R"({"devices": [
        {"id": 101, "address": "192.168.1.20", "name": ")" +
                             std::string(63, 'x') +
                             R"(", "family": 1, "kind": 1, "sub": 2, "letter": "A", "version": [2, 3]},
        {"id": 102},
        {"id": 103, "faults": {"silent": true}}]})";
    const Exit e = runSim({"--station", dir.write("s.json", json), "--port", "0", "--log"}, [](int port) {
        const struct {
            std::int32_t id;
            Bytes body;
        } rows[] = {{101, infoBody({101, 0, 0xC0A80114u, 0x01010241u, 2, 3}, std::string(63, 'x'))},
                    {102, infoBody({102, 0, 0, 0, 0, 0})}, // defaults of a device given only its id
                    {999, infoBody({999, proto::InfoUnknownId, 0, 0, 0, 0})}};
        for (const auto& row : rows) {
            const auto r = exchange(port, {infoRequest(row.id, 77)}, 1000, 1);
            ASSERT_EQ(r.size(), 1u) << row.id;
            EXPECT_EQ(r[0].type, proto::InfoReply);
            EXPECT_EQ(r[0].seq, 77u);
            EXPECT_EQ(r[0].body, row.body) << row.id;
        }
        EXPECT_TRUE(exchange(port, {infoRequest(103, 80)}).empty()) << "silent, yet listed:";
        const auto parts = exchange(port, {scanRequest(81)});
        ASSERT_EQ(parts.size(), 1u);
        EXPECT_EQ(proto::getI32(parts[0].body.data() + 8 + 8), 103);
        // Garbage and short requests are ignored, and the station keeps answering.
        const auto r = exchange(port, {proto::makeDatagram(proto::InfoRequest, 82, {1, 2}),
                                       proto::makeDatagram(0x7777, 83, {}), infoRequest(102, 84)});
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].seq, 84u);
    });
    EXPECT_EQ(e.code, 0);
    for (const char* line : {"scan: 3 devices listed\n", "info 101: answered, version 2.03\n",
                             "info 103: silent, not answered\n", "info 999: unknown id\n"})
        EXPECT_NE(e.err.find(line), std::string::npos) << line << e.err;
}

TEST(Info, DelayedReplyDoesNotHoldUpOthers) {
    StationProcess sim(R"({"devices": [{"id": 1, "faults": {"delay_ms": 400}}, {"id": 2}]})");
    ASSERT_TRUE(sim.running()) << sim.error();
    const auto r = exchange(sim.port(), {infoRequest(1, 1), infoRequest(2, 2)}, 2000, 2);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].seq, 2u);
    EXPECT_EQ(r[1].seq, 1u);
    EXPECT_EQ(proto::getI32(r[1].body.data()), 1);
}

} // namespace
