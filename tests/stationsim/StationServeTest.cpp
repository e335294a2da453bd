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

TEST(Startup, OneLineSharedPortCleanExitAndBusyPort) {
    TempDir dir;
    const std::string station = dir.write("s.json", "{}");
    const Exit e = runSim({"--station", station, "--port", "0"}, [](int port) {
        const auto parts = Udp(port).scan(9); // an empty station answers once
        ASSERT_EQ(parts.size(), 1u);
        ASSERT_EQ(parts[0].body.size(), 8u);
        EXPECT_EQ(proto::getU16(parts[0].body.data()), 0);     // total
        EXPECT_EQ(proto::getU16(parts[0].body.data() + 4), 0); // count
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
    const std::string link = dir.file("ttyCOM1");
    ASSERT_EQ(::symlink("/nonexistent", link.c_str()), 0); // stale link from a crashed run
    StationProcess sim(R"({"devices": [{"id": 1, "serial": true}]})", serialAt(link));
    ASSERT_TRUE(sim.running()) << sim.error();
    char target[256] = {};
    ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target).rfind("/dev/pts/", 0), 0u) << target;
    EXPECT_TRUE(Conn(link).ok()); // a client that comes and goes
    EXPECT_EQ(sim.stop(), 0);
    struct stat st {};
    EXPECT_NE(::lstat(link.c_str(), &st), 0);
}

TEST(Scan, ListsIdsInFileOrderInPartsOf256) {
    std::string list = R"({"id": -3})"; // negative ids are ids too
    for (int i = 0; i < 300; ++i)
        list += R"(, {"id": )" + std::to_string(1000 + i) + "}";
    StationProcess sim(R"({"devices": [)" + list + "]}");
    ASSERT_TRUE(sim.running()) << sim.error();
    const auto parts = Udp(sim.port()).scan(0xA1B2C3D4);
    ASSERT_EQ(parts.size(), 2u);
    std::vector<std::int32_t> ids;
    for (const auto& p : parts) {
        EXPECT_EQ(p.type, proto::ScanReply);
        EXPECT_EQ(p.seq, 0xA1B2C3D4u);
        const std::uint8_t* b = p.body.data();
        EXPECT_EQ(proto::getU16(b), 301);
        EXPECT_EQ(proto::getU16(b + 2), ids.size()); // first index of this part
        const std::uint16_t count = proto::getU16(b + 4);
        EXPECT_LE(count, 256);
        ASSERT_EQ(p.body.size(), 8u + 4u * count);
        for (std::uint16_t i = 0; i < count; ++i)
            ids.push_back(proto::getI32(b + 8 + 4 * i));
    }
    ASSERT_EQ(ids.size(), 301u);
    EXPECT_EQ(ids[0], -3);
    for (int i = 0; i < 300; ++i)
        EXPECT_EQ(ids[static_cast<std::size_t>(i) + 1], 1000 + i);
}

TEST(Info, EveryFieldDefaultsUnknownSilentAndTheLog) {
    TempDir dir;
    const std::string json = R"({"devices": [
        {"id": 101, "address": "192.168.1.20", "name": ")" +
                             std::string(63, 'x') +
                             R"(", "family": 1, "kind": 1, "sub": 2, "letter": "A", "version": [2, 3]},
        {"id": 102},
        {"id": 103, "faults": {"silent": true}}]})";
    const Exit e = runSim({"--station", dir.write("s.json", json), "--port", "0", "--log"}, [](int port) {
        Udp udp(port);
        auto d = udp.info(101, 77);
        ASSERT_TRUE(d);
        EXPECT_EQ(d->type, proto::InfoReply);
        EXPECT_EQ(d->seq, 77u);
        ASSERT_EQ(d->body.size(), 88u);
        EXPECT_EQ(d->body[24 + 63], 0) << "name is NUL terminated";
        InfoFields f = decodeInfo(*d);
        EXPECT_EQ(f.id, 101);
        EXPECT_EQ(f.status, proto::InfoOk);
        EXPECT_EQ(f.address, 0xC0A80114u);
        EXPECT_EQ(f.typeCode, 0x01010241u);
        EXPECT_EQ(std::pair(f.major, f.minor), std::pair(2, 3));
        EXPECT_EQ(f.name, std::string(63, 'x'));

        d = udp.info(102, 78); // only an id given
        ASSERT_TRUE(d);
        f = decodeInfo(*d);
        EXPECT_EQ(f.status, proto::InfoOk);
        EXPECT_EQ(f.address + f.typeCode + static_cast<std::uint32_t>(f.major + f.minor), 0u);
        EXPECT_EQ(f.name, "");

        d = udp.info(999, 79);
        ASSERT_TRUE(d);
        EXPECT_EQ(decodeInfo(*d).id, 999);
        EXPECT_EQ(decodeInfo(*d).status, proto::InfoUnknownId);

        EXPECT_FALSE(udp.info(103, 80, 300)) << "silent, yet listed:";
        const auto parts = udp.scan(81);
        ASSERT_EQ(parts.size(), 1u);
        EXPECT_EQ(proto::getI32(parts[0].body.data() + 8 + 8), 103);

        // Garbage and short requests are ignored, and the station keeps answering.
        udp.send(proto::InfoRequest, 82, {1, 2});
        udp.send(0x7777, 83, {});
        EXPECT_FALSE(udp.receive(100));
        EXPECT_TRUE(udp.info(102, 84));
    });
    EXPECT_EQ(e.code, 0);
    for (const char* line : {"scan: 3 devices listed\n", "info 101: answered, version 2.03\n",
                             "info 103: silent, not answered\n", "info 999: unknown id\n"})
        EXPECT_NE(e.err.find(line), std::string::npos) << line << e.err;
}

TEST(Info, DelayedReplyDoesNotHoldUpOthers) {
    StationProcess sim(R"({"devices": [{"id": 1, "faults": {"delay_ms": 400}}, {"id": 2}]})");
    ASSERT_TRUE(sim.running()) << sim.error();
    Udp udp(sim.port());
    for (std::int32_t id : {1, 2}) {
        std::vector<std::uint8_t> body;
        proto::putI32(body, id);
        udp.send(proto::InfoRequest, static_cast<std::uint32_t>(id), body);
    }
    const auto first = udp.receive(2000), second = udp.receive(2000);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(decodeInfo(*first).id, 2);
    EXPECT_EQ(decodeInfo(*second).id, 1);
    EXPECT_EQ(second->seq, 1u);
}

} // namespace
