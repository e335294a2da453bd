// The library against one station, in the order written: refusals before any port is
// open and bad arguments; scan order, count and capacity (slots beyond it untouched)
// and the exact RemoteInfo bytes; each device fault failing an upload while the healthy
// partner commits, invalid images touching no device; serial uploads; devices answering
// late or never (old versions kept across a restart); and finally no station at all.
#include "LibraryTestEnv.h"

#include <sys/stat.h>

#include <chrono>
#include <cstring>

using namespace zutest;
using namespace std::chrono;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr int kT = 500; // thirty sessions answer within it even on a loaded machine
constexpr std::int32_t kDrop = 201, kCorrupt = 202, kReject = 203, kFlashFail = 204, kStall = 205;
constexpr std::int32_t kRecord = 2147483647, kSilent = 301, kLate = 302, kHealthy = 303;

StationSpec mainStation() {
    StationSpec s = makeStation(5); // 101..105
    s.serialBaud = 115200;
    auto add = [&](std::int32_t id, DeviceFaults faults = {}, bool serial = false) {
        DeviceSpec d;
        d.id = id;
        d.faults = faults;
        d.serial = serial;
        s.devices.push_back(d);
    };
    add(kDrop, {.dropAfter = 100000});
    add(kCorrupt, {.corruptAt = 70000});
    add(kReject, {.reject = true});
    add(kFlashFail, {.flashFail = true});
    add(kStall, {.stallAfter = 100000});
    add(401, {}, true);
    add(402, {}, true);
    add(403); // network only
    add(-5);  // station order is not sorted order
    add(kRecord);
    add(-2147483647 - 1);
    DeviceSpec& d = s.devices[s.devices.size() - 2];
    d.address = "10.1.2.254";
    d.name = std::string(63, 'N');
    d.family = 0xC1;
    d.kind = 0x82;
    d.sub = 0x17;
    d.letter = 'Q';
    d.major = 65535;
    d.minor = 2147483647;
    return s;
}

StationEnvironment* env = static_cast<StationEnvironment*>(
    ::testing::AddGlobalTestEnvironment(new StationEnvironment(mainStation(), kT)));

std::string image(const std::string& name, std::size_t payload, int major, int minor) {
    return makeImageFile(env->dir.file(name), payload, major, minor);
}

template <typename F> void expectAboutOneTimeout(F f) {
    const auto start = steady_clock::now();
    f();
    const auto took = steady_clock::now() - start;
    EXPECT_GE(took, milliseconds(kT - 5));
    EXPECT_LT(took, milliseconds(5 * kT));
}

// The faulty device comes first, so a failure that stopped the loop early would show.
void expectFailsAlonePartnerCommits(std::int32_t id, std::int32_t partner, int minor) {
    SCOPED_TRACE(id);
    const auto before = versionOf(id);
    const std::string path = image("fault.bin", 300000, 5, minor); // five 64 KiB chunks
    const std::int32_t ids[] = {id, partner};
    ProgressLog::reset();
    const auto start = steady_clock::now();
    EXPECT_EQ(DllUploadFileToDevices(2, ids, path.c_str(), ProgressLog::callback), 0);
    EXPECT_LT(steady_clock::now() - start, milliseconds(10 * kT));
    EXPECT_EQ(versionOf(id), before);
    EXPECT_EQ(versionOf(partner), std::make_pair(5, minor));
    expectProgress(ProgressLog::values, false); // ends with the partner's completion
}

// Same port, a state file shared by the replacements.
void replaceStation(const StationSpec& spec) {
    const int port = env->station->port();
    env->station.reset();
    env->station =
        std::make_unique<StationProcess>(spec, StationOptions{port, env->dir.file("state.json"), ""});
    ASSERT_TRUE(env->station->running()) << env->station->error();
}

StationSpec unresponsiveStation(bool faults) {
    StationSpec s = makeStation(3, kSilent);
    s.devices[0].faults.silent = faults;
    s.devices[1].faults.delayMs = faults ? 3 * kT : 0;
    return s;
}

} // namespace

TEST(Refused, NoPortBadPortsBadArguments) {
    const std::string img = image("ok.bin", 4096, 3, 7);
    ProgressLog::reset();
    EXPECT_EQ(DllUploadFile(401, img.c_str(), ProgressLog::callback), 0); // no port opened yet
    EXPECT_EQ(DllOpenPort(2), 0);                                         // path missing
    env->dir.write("com2", "");
    EXPECT_EQ(DllOpenPort(2), 0); // not a terminal
    for (const std::int32_t port : {0, 3, -1, 2147483647})
        EXPECT_EQ(DllOpenPort(port), 0) << port;
    EXPECT_EQ(DllUploadFile(401, img.c_str(), ProgressLog::callback), 0);

    const std::int32_t ids[] = {101, 0, 103};
    EXPECT_EQ(DllUploadFileToDevices(0, ids, img.c_str(), ProgressLog::callback), 0);
    EXPECT_EQ(DllUploadFileToDevices(-5, ids, img.c_str(), ProgressLog::callback), 0);
    EXPECT_EQ(DllUploadFileToDevices(3, nullptr, img.c_str(), ProgressLog::callback), 0);
    EXPECT_EQ(DllUploadFileToDevices(3, ids, img.c_str(), ProgressLog::callback), 0); // an empty slot
    EXPECT_EQ(DllUploadFileToDevices(1, ids, nullptr, ProgressLog::callback), 0);
    EXPECT_EQ(DllUploadFile(0, img.c_str(), ProgressLog::callback), 0);
    EXPECT_EQ(DllUploadFile(101, nullptr, ProgressLog::callback), 0);
    EXPECT_TRUE(ProgressLog::values.empty());
    EXPECT_EQ(versionOf(101), std::make_pair(1, 0));
    EXPECT_EQ(versionOf(103), std::make_pair(1, 0));

    std::int32_t one = 77;
    EXPECT_EQ(DllScanNetwork(nullptr, 30), 0);
    EXPECT_EQ(DllScanNetwork(&one, -1), 0);
    EXPECT_EQ(one, 77);
    EXPECT_EQ(DllGetRemoteInfo(101, nullptr), 0);
}

TEST(Scan, FirstSlotsInStationOrderOnly) {
    const auto& devices = env->spec.devices;
    const int count = static_cast<int>(devices.size());
    for (const int capacity : {0, 1, count - 1, count, count + 1, 40}) {
        SCOPED_TRACE(capacity);
        constexpr std::int32_t kUntouched = 0x5A5A5A5A;
        std::vector<std::int32_t> slots(40, kUntouched);
        const auto start = steady_clock::now();
        const std::int32_t n = DllScanNetwork(slots.data(), capacity);
        EXPECT_LT(steady_clock::now() - start, milliseconds(kT)); // a complete answer ends the scan
        ASSERT_EQ(n, std::min(capacity, count));
        for (std::size_t i = 0; i < slots.size(); ++i)
            EXPECT_EQ(slots[i], i < static_cast<std::size_t>(n) ? devices[i].id : kUntouched) << "slot " << i;
    }
}

TEST(Info, ExactBytesAtTheirOffsets) {
    RemoteInfo info;
    std::memset(&info, 0xCC, sizeof info);
    ASSERT_NE(DllGetRemoteInfo(kRecord, &info), 0);
    std::uint8_t expected[196] = {};
    const auto putLe = [&](std::size_t at, std::uint32_t v) {
        for (std::size_t i = 0; i < 4; ++i)
            expected[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    putLe(4, 0x0A0102FE);
    std::memset(expected + 56, 'N', 63);
    putLe(120, 0xC1821700u | 'Q');
    putLe(188, 65535u);
    putLe(192, 2147483647u);
    std::uint8_t actual[196];
    std::memcpy(actual, &info, sizeof actual);
    for (std::size_t i = 0; i < sizeof actual; ++i)
        EXPECT_EQ(actual[i], expected[i]) << "offset " << i;
}

TEST(Info, OwnRecordForEachDeviceUnknownIdsRefusedAtOnce) {
    for (const auto& d : env->spec.devices) {
        RemoteInfo info{};
        ASSERT_NE(DllGetRemoteInfo(d.id, &info), 0) << d.id;
        EXPECT_STREQ(info.name, d.name.c_str());
        EXPECT_EQ(info.typeCode & 0xFF, static_cast<std::uint32_t>(d.letter));
    }
    for (const std::int32_t id : {0, 1, 4999, -6, 2147483646}) {
        RemoteInfo info;
        std::memset(&info, 0xCC, sizeof info);
        const auto start = steady_clock::now();
        EXPECT_EQ(DllGetRemoteInfo(id, &info), 0) << id;
        EXPECT_LT(steady_clock::now() - start, milliseconds(kT / 2));
        const RemoteInfo zero{};
        EXPECT_EQ(std::memcmp(&info, &zero, sizeof info), 0) << "record cleared";
    }
}

TEST(Upload, CommitsWithProgressOnTheCallingThread) {
    const std::int32_t ids[] = {101, 102};
    ProgressLog::reset();
    ASSERT_EQ(DllUploadFileToDevices(2, ids, image("one.bin", 200000, 4, 1).c_str(), ProgressLog::callback),
              1);
    EXPECT_EQ(versionOf(101), std::make_pair(4, 1));
    EXPECT_EQ(versionOf(102), std::make_pair(4, 1));
    expectProgress(ProgressLog::values);
    for (const auto& t : ProgressLog::threads)
        EXPECT_EQ(t, std::this_thread::get_id());
    EXPECT_EQ(DllUploadFileToDevices(1, ids + 1, image("nocb.bin", 5000, 4, 3).c_str(), nullptr), 1);
    EXPECT_EQ(versionOf(102), std::make_pair(4, 3));
}

TEST(Upload, EachFaultFailsAlone) {
    int minor = 10;
    for (const std::int32_t id : {kDrop, kCorrupt, kReject, kFlashFail, kStall, 999})
        expectFailsAlonePartnerCommits(id, 102, ++minor);
}

TEST(Upload, InvalidImageTouchesNoDevice) {
    const Bytes good = makeImageBytes(10000, 7, 7);
    const std::pair<const char*, void (*)(Bytes&)> edits[] = {
        {"empty", [](Bytes& b) { b.clear(); }},
        {"truncated", [](Bytes& b) { b.pop_back(); }},
        {"trailing", [](Bytes& b) { b.push_back(0); }},
        {"payload-flip", [](Bytes& b) { b[b.size() / 2] ^= 0x40; }},
        {"header-only", [](Bytes& b) { b.resize(fwimage::kHeaderSize); }},
    };
    std::vector<std::string> paths = {env->dir.file("missing"), env->dir.file("directory")};
    ::mkdir(paths.back().c_str(), 0700);
    for (const auto& [name, edit] : edits) {
        Bytes b = good;
        edit(b);
        paths.push_back(env->dir.write(name, std::string(b.begin(), b.end())));
    }
    const auto before = versionOf(105);
    const std::int32_t ids[] = {105};
    for (const std::string& path : paths) {
        ProgressLog::reset();
        EXPECT_EQ(DllUploadFileToDevices(1, ids, path.c_str(), ProgressLog::callback), 0) << path;
        EXPECT_TRUE(ProgressLog::values.empty());
        EXPECT_EQ(versionOf(105), before);
    }
}

// Single-target uploads over the station's serial line (401 and 402 are on it).
TEST(Serial, UploadsOnlyToDevicesOnTheLine) {
    EXPECT_NE(DllOpenPort(1), 0);
    ASSERT_NE(DllOpenPort(1), 0); // opening again is harmless
    ProgressLog::reset();
    ASSERT_EQ(DllUploadFile(401, image("s1.bin", 6000, 9, 1).c_str(), ProgressLog::callback), 1);
    expectProgress(ProgressLog::values);
    EXPECT_EQ(versionOf(401), std::make_pair(9, 1));

    const std::string path = image("s2.bin", 5000, 9, 2);
    EXPECT_EQ(DllUploadFile(403, path.c_str(), nullptr), 0);
    EXPECT_EQ(DllUploadFile(999, path.c_str(), nullptr), 0);
    EXPECT_EQ(versionOf(403), std::make_pair(1, 0));
    EXPECT_EQ(DllUploadFile(402, env->dir.write("bad.bin", "not an image").c_str(), nullptr), 0);
    EXPECT_EQ(DllUploadFile(402, path.c_str(), nullptr), 1); // the line still works
    EXPECT_EQ(versionOf(402), std::make_pair(9, 2));
}

TEST(Unanswered, GiveUpAfterOneTimeoutPartnerCommits) {
    replaceStation(unresponsiveStation(true));
    RemoteInfo info{};
    expectAboutOneTimeout([&] { EXPECT_EQ(DllGetRemoteInfo(kSilent, &info), 0); });
    expectAboutOneTimeout([&] { EXPECT_EQ(DllGetRemoteInfo(kLate, &info), 0); });
    expectFailsAlonePartnerCommits(kSilent, kHealthy, 21);
    expectFailsAlonePartnerCommits(kLate, kHealthy, 22);
}

TEST(Unanswered, OldVersionsKeptInTheStateFile) {
    replaceStation(unresponsiveStation(false));
    EXPECT_EQ(versionOf(kSilent), std::make_pair(1, 0));
    EXPECT_EQ(versionOf(kLate), std::make_pair(1, 0));
    EXPECT_EQ(versionOf(kHealthy), std::make_pair(5, 22));
}

TEST(NoStation, ScanWaitsOutTheTimeoutUploadFails) {
    env->station.reset();
    std::int32_t ids[30] = {};
    expectAboutOneTimeout([&] { EXPECT_EQ(DllScanNetwork(ids, 30), 0); });
    ProgressLog::reset();
    const std::int32_t two[] = {101, 102};
    EXPECT_EQ(DllUploadFileToDevices(2, two, image("gone.bin", 4096, 3, 8).c_str(), ProgressLog::callback),
              0);
    EXPECT_TRUE(ProgressLog::values.empty());
}
