// Serving: the startup line and port choice, clean exit on SIGTERM/SIGINT with
// the serial link removed, scan answers (order, parts of 256, empty station),
// info answers (every field, unknown id, silent device) and late replies that
// do not hold up others.
#include "SimHarness.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <regex>

using namespace simtest;

namespace {

std::string devices(int count, int firstId) {
    std::string s = "[";
    for (int i = 0; i < count; ++i)
        s += (i ? "," : "") + std::string(R"({"id": )") + std::to_string(firstId + i) + "}";
    return s + "]";
}

bool symlinkExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

TEST(Startup, PrintsOneLineForAChosenPortAndExitsCleanly) {
    TempDir dir;
    const std::string station = dir.write("s.json", R"({"devices": [{"id": 5}]})");
    Sim sim({"--station", station, "--port", "0"});
    ASSERT_TRUE(sim.ready()) << sim.line() << sim.err();
    EXPECT_TRUE(std::regex_match(sim.line(), std::regex("stationsim listening on 127\\.0\\.0\\.1:[0-9]+\n")));
    // UDP and TCP share the number.
    Udp udp(sim.port());
    EXPECT_EQ(udp.scan(1).size(), 1u);
    Conn tcp(sim.port());
    EXPECT_TRUE(tcp.ok());
    EXPECT_EQ(sim.stop(SIGTERM), 0);
    EXPECT_EQ(sim.err(), "");
}

TEST(Startup, ExplicitPortIsUsedAndABusyPortFails) {
    TempDir dir;
    const std::string station = dir.write("s.json", R"({"devices": []})");
    Sim first({"--station", station, "--port", "0"});
    ASSERT_TRUE(first.ready());
    // A second station on the same port cannot bind.
    const Exit e = runToExit({"--station", station, "--port", std::to_string(first.port())});
    EXPECT_EQ(e.code, 1);
    EXPECT_NE(e.err.find(std::to_string(first.port())), std::string::npos) << e.err;
    const std::uint16_t port = first.port();
    EXPECT_EQ(first.stop(SIGINT), 0);
    Sim again({"--station", station, "--port", std::to_string(port)});
    ASSERT_TRUE(again.ready()) << again.err();
    EXPECT_EQ(again.port(), port);
}

TEST(Scan, EmptyStationAnswersOnce) {
    TempDir dir;
    Sim sim({"--station", dir.write("s.json", "{}"), "--port", "0"});
    ASSERT_TRUE(sim.ready());
    Udp udp(sim.port());
    const auto parts = udp.scan(9);
    ASSERT_EQ(parts.size(), 1u);
    ASSERT_EQ(parts[0].body.size(), 8u);
    EXPECT_EQ(proto::getU16(parts[0].body.data()), 0);     // total
    EXPECT_EQ(proto::getU16(parts[0].body.data() + 4), 0); // count
}

TEST(Startup, SerialLinkIsCreatedReplacedAndRemovedOnExit) {
    TempDir dir;
    const std::string station = dir.write("s.json", R"({"devices": [{"id": 1, "serial": true}]})");
    const std::string link = dir.file("ttyCOM1");
    ASSERT_EQ(::symlink("/nonexistent", link.c_str()), 0); // stale link from a crashed run
    Sim sim({"--station", station, "--port", "0", "--serial", link});
    ASSERT_TRUE(sim.ready()) << sim.err();
    char target[256] = {};
    ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target).rfind("/dev/pts/", 0), 0u) << target;
    {
        Conn line(link); // a client that comes and goes
        EXPECT_TRUE(line.ok());
    }
    EXPECT_EQ(sim.stop(SIGTERM), 0);
    EXPECT_FALSE(symlinkExists(link));
}

TEST(Scan, ListsIdsInFileOrderInPartsOf256) {
    TempDir dir;
    std::string list = devices(300, 1000);
    list.insert(1, R"({"id": -3},)"); // negative ids are ids too
    Sim sim({"--station", dir.write("s.json", R"({"devices": )" + list + "}"), "--port", "0"});
    ASSERT_TRUE(sim.ready());
    Udp udp(sim.port());
    const auto parts = udp.scan(0xA1B2C3D4);
    ASSERT_EQ(parts.size(), 2u);
    std::vector<std::int32_t> ids;
    std::uint16_t expectFirst = 0;
    for (const auto& p : parts) {
        EXPECT_EQ(p.type, proto::ScanReply);
        EXPECT_EQ(p.seq, 0xA1B2C3D4u);
        const std::uint8_t* b = p.body.data();
        EXPECT_EQ(proto::getU16(b), 301);
        EXPECT_EQ(proto::getU16(b + 2), expectFirst);
        const std::uint16_t count = proto::getU16(b + 4);
        EXPECT_LE(count, 256);
        ASSERT_EQ(p.body.size(), 8u + 4u * count);
        for (std::uint16_t i = 0; i < count; ++i)
            ids.push_back(proto::getI32(b + 8 + 4 * i));
        expectFirst = static_cast<std::uint16_t>(expectFirst + count);
    }
    ASSERT_EQ(ids.size(), 301u);
    EXPECT_EQ(ids[0], -3);
    for (int i = 0; i < 300; ++i)
        EXPECT_EQ(ids[static_cast<std::size_t>(i) + 1], 1000 + i);
}

TEST(Info, ReportsEveryFieldAndUnknownIds) {
    TempDir dir;
    const std::string json = R"({"devices": [
        {"id": 101, "address": "192.168.1.20", "name": ")" +
                             std::string(63, 'x') +
                             R"(", "family": 1, "kind": 1, "sub": 2, "letter": "A", "version": [2, 3]},
        {"id": 102},
        {"id": 103, "faults": {"silent": true}}]})";
    Sim sim({"--station", dir.write("s.json", json), "--port", "0"});
    ASSERT_TRUE(sim.ready());
    Udp udp(sim.port());

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
    EXPECT_EQ(f.major, 2);
    EXPECT_EQ(f.minor, 3);
    EXPECT_EQ(f.name, std::string(63, 'x'));

    // Defaults of a device given only its id.
    d = udp.info(102, 78);
    ASSERT_TRUE(d);
    f = decodeInfo(*d);
    EXPECT_EQ(f.status, proto::InfoOk);
    EXPECT_EQ(f.address, 0u);
    EXPECT_EQ(f.typeCode, 0u);
    EXPECT_EQ(f.major, 0);
    EXPECT_EQ(f.minor, 0);
    EXPECT_EQ(f.name, "");

    d = udp.info(999, 79);
    ASSERT_TRUE(d);
    EXPECT_EQ(decodeInfo(*d).id, 999);
    EXPECT_EQ(decodeInfo(*d).status, proto::InfoUnknownId);

    // The silent device is listed but never answers.
    EXPECT_FALSE(udp.info(103, 80, 300));
    const auto parts = udp.scan(81);
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(proto::getI32(parts[0].body.data() + 8 + 8), 103);

    // Garbage and short requests are ignored, and the station keeps answering.
    udp.send(proto::InfoRequest, 82, {1, 2});
    udp.send(0x7777, 83, {});
    EXPECT_FALSE(udp.receive(100));
    EXPECT_TRUE(udp.info(102, 84));
}

TEST(Info, DelayedReplyDoesNotHoldUpOthers) {
    TempDir dir;
    const std::string json = R"({"devices": [{"id": 1, "faults": {"delay_ms": 400}}, {"id": 2}]})";
    Sim sim({"--station", dir.write("s.json", json), "--port", "0"});
    ASSERT_TRUE(sim.ready());
    Udp udp(sim.port());
    std::vector<std::uint8_t> body;
    proto::putI32(body, 1);
    udp.send(proto::InfoRequest, 1, body);
    body.clear();
    proto::putI32(body, 2);
    udp.send(proto::InfoRequest, 2, body);
    auto first = udp.receive(2000);
    auto second = udp.receive(2000);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(decodeInfo(*first).id, 2);
    EXPECT_EQ(decodeInfo(*second).id, 1);
    EXPECT_EQ(second->seq, 1u);
}

} // namespace

TEST(RequestLog, NamesEachQueryAndItsOutcome) {
    TempDir dir;
    const std::string json = R"({"devices": [{"id": 7, "version": [2, 3]},
                                             {"id": 8, "faults": {"silent": true}}]})";
    Sim sim({"--station", dir.write("s.json", json), "--port", "0", "--log"});
    ASSERT_TRUE(sim.ready());
    Udp udp(sim.port());
    udp.scan(1);
    ASSERT_TRUE(udp.info(7, 2));
    udp.info(8, 3, 100);
    ASSERT_TRUE(udp.info(9, 4));
    EXPECT_EQ(sim.stop(), 0);
    const std::string log = sim.err();
    EXPECT_NE(log.find("scan: 2 devices listed\n"), std::string::npos) << log;
    EXPECT_NE(log.find("info 7: answered, version 2.03\n"), std::string::npos) << log;
    EXPECT_NE(log.find("info 8: silent, not answered\n"), std::string::npos) << log;
    EXPECT_NE(log.find("info 9: unknown id\n"), std::string::npos) << log;
}

TEST(RequestLog, IsQuietUnlessAskedFor) {
    TempDir dir;
    Sim sim({"--station", dir.write("s.json", R"({"devices": [{"id": 7}]})"), "--port", "0"});
    ASSERT_TRUE(sim.ready());
    Udp udp(sim.port());
    ASSERT_TRUE(udp.info(7, 2));
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_EQ(sim.err(), "");
}
