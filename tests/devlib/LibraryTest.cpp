// The library against one station (it reads its environment once per process), in
// the order written: refusals before any port is open, bad arguments; scan order over
// answers in parts and capacity (slots beyond it untouched), the exact RemoteInfo record; a hang-up, a
// refusal (an image type the device does not take among them), silence or an unknown id
// failing an upload while the healthy partner commits, each with its outcome in this
// thread's report; invalid images touching no device; serial uploads; uploads and
// queries on three threads at once, each thread with its own report; every commit kept
// in the station's state file across a restart (thirty saved at once); no station at
// all. DllGetFileInfo: a valid image fills every output (unsigned header fields bit for
// bit, the 19-character name within the caller's 20 bytes); an invalid image, a
// non-file or any null argument writes nothing.
#include "devlib/TestDll.h"
#include "tests/support/StationProcess.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <numeric>
#include <thread>
#include <tuple>

using namespace zutest;
using namespace std::chrono;

namespace {

// The library's timeout: sessions answer within it even on a loaded machine. Thread-sanitized
// builds start thirty sessions far slower, so scripts/test gives them more (ZU_TEST_T_MS).
const int kT = std::getenv("ZU_TEST_T_MS") ? std::atoi(std::getenv("ZU_TEST_T_MS")) : 500;
constexpr std::int32_t kDrop = 201, kCorrupt = 202, kReject = 203, kFlashFail = 204, kStall = 205, kDsp = 206,
                       kStallToo = 207;
constexpr std::int32_t kRecord = 2147483647, kSilent = 301;

StationLayout mainStation() {
    StationLayout s = makeStation(30); // 101..130; the link slow enough that an upload overlaps many queries
    std::tie(s.linkKbps, s.flashKbps, s.serialBaud) = std::tuple(20000u, 2000u, 115200u);
    s.devices[9].faults = {
        .dropAfter = 200065, .corruptAt = 200064, .stallAfter = 200065}; // just beyond the image
    for (std::int32_t id = 1000; id < 1250; ++id) // the scan answer comes in parts of 256
        s.devices.push_back({.id = id, .faults = {}});
    s.devices.insert(s.devices.end(), {{.id = kDrop, .faults = {.dropAfter = 100000}},
                                       {.id = kCorrupt, .faults = {.corruptAt = 70000}},
                                       {.id = kReject, .faults = {.reject = true}},
                                       {.id = kFlashFail, .faults = {.flashFail = true}},
                                       {.id = kStall, .faults = {.stallAfter = 100000}},
                                       {.id = kStallToo, .faults = {.stallAfter = 100000}},
                                       {.id = kDsp, .accepts = {6}},
                                       {.id = kSilent, .faults = {.silent = true}}, // listed, answers nothing
                                       {.id = 401, .serial = true, .faults = {}},
                                       {.id = 402, .serial = true, .faults = {}}});
    for (const std::int32_t id : {403, -5, -2147483647 - 1, kRecord}) // 403 network only; order is not sorted
        s.devices.push_back({.id = id, .faults = {}});
    DeviceSetup& r = s.devices.back();
    std::tie(r.address, r.name, r.family, r.kind, r.sub, r.letter, r.major, r.minor) =
        std::tuple("10.1.2.254", std::string(63, 'N'), 0xC1, 0x82, 0x17, 'Q', 65535, 2147483647);
    return s;
}

// Started before the first library call: the library reads its environment once.
const StationLayout g_layout = mainStation();
const TempDir g_dir;
std::unique_ptr<StationProcess> g_station = [] {
    auto station = std::make_unique<StationProcess>(
        g_layout, StationOptions{0, g_dir.file("state.json"), g_dir.file("ttyStation")});
    ::setenv("TESTDLL_NETWORK", station->endpoint().c_str(), 1);
    ::setenv("TESTDLL_TIMEOUT_MS", std::to_string(kT).c_str(), 1);
    ::setenv("TESTDLL_COM1", g_dir.file("ttyStation").c_str(), 1);
    ::setenv("TESTDLL_COM2", g_dir.file("com2").c_str(), 1); // missing at first
    return station;
}();

std::mutex g_mutex;
std::vector<std::pair<int, std::thread::id>> g_progress;
steady_clock::time_point g_warned; // the first value above 95
int32_t record(int32_t value) {
    std::lock_guard lock(g_mutex);
    g_progress.emplace_back(value, std::this_thread::get_id());
    if (value > 95 && g_warned == steady_clock::time_point{})
        g_warned = steady_clock::now();
    return 1;
}

// Never falling, ending at 100, all on `thread`; a complete upload starts at 1 and passes 96 (verified
// everywhere), or starts at 96 when one target reached its flash before another had begun (a slow
// start on a loaded machine): the warning comes first.
void expectProgress(bool complete = true, std::thread::id thread = std::this_thread::get_id()) {
    std::lock_guard lock(g_mutex);
    ASSERT_FALSE(g_progress.empty());
    EXPECT_EQ(g_progress.back().first, 100);
    for (std::size_t i = 0; i < g_progress.size(); ++i) {
        EXPECT_TRUE(i == 0 || g_progress[i - 1].first <= g_progress[i].first) << "at " << i;
        EXPECT_EQ(g_progress[i].second, thread);
    }
    EXPECT_TRUE(!complete ||
                ((g_progress.front().first == 1 || g_progress.front().first == 96) &&
                 std::any_of(g_progress.begin(), g_progress.end(), [](auto& p) { return p.first == 96; })));
}

std::string image(const std::string& name, std::size_t payload, int major, int minor) {
    return makeImageFile(g_dir.file(name), payload, major, minor);
}

// The device's version as {major, minor}, or {-1, -1} when it does not answer.
std::pair<int, int> versionOf(std::int32_t id) {
    RemoteInfo info{};
    return DllGetRemoteInfo(id, &info) ? std::pair(info.versionMajor, info.versionMinor) : std::pair(-1, -1);
}

template <typename F> void expectAboutOneTimeout(F f) {
    const auto start = steady_clock::now();
    f();
    EXPECT_GE(steady_clock::now() - start, milliseconds(kT - 5));
    EXPECT_LT(steady_clock::now() - start, milliseconds(5 * kT));
}

} // namespace

TEST(Refused, NoPortBadPortsBadArguments) {
    ASSERT_TRUE(g_station->running()) << g_station->error();
    const std::string img = image("ok.bin", 4096, 3, 7);
    g_progress.clear();
    EXPECT_EQ(DllGetUploadReport(nullptr, 0), 0);          // no upload on this thread yet
    EXPECT_EQ(DllUploadFile(401, img.c_str(), record), 0); // no port opened yet
    EXPECT_EQ(DllGetUploadReport(nullptr, 0), 1);
    EXPECT_EQ(DllOpenPort(2), 0); // path missing
    g_dir.write("com2", "");
    for (const std::int32_t port : {2 /* not a terminal */, 0, 3, -1, 2147483647})
        EXPECT_EQ(DllOpenPort(port), 0) << port;
    EXPECT_EQ(DllUploadFile(401, img.c_str(), record), 0);
    const std::int32_t ids[] = {101, 0, 103};
    for (const std::int32_t count : {0, -5, 3 /* an empty slot */})
        EXPECT_EQ(DllUploadFileToDevices(count, ids, img.c_str(), record), 0) << count;
    EXPECT_EQ(DllUploadFileToDevices(3, nullptr, img.c_str(), record), 0);
    EXPECT_EQ(DllUploadFileToDevices(1, ids, nullptr, record), 0);
    EXPECT_EQ(DllUploadFile(0, img.c_str(), record), 0);
    EXPECT_EQ(DllUploadFile(101, nullptr, record), 0);
    EXPECT_TRUE(g_progress.empty());
    EXPECT_EQ(versionOf(101), std::make_pair(1, 0));
    std::int32_t one = 77;
    EXPECT_EQ(DllScanNetwork(nullptr, 30), 0);
    EXPECT_EQ(DllScanNetwork(&one, -1), 0);
    EXPECT_EQ(one, 77);
    EXPECT_EQ(DllGetRemoteInfo(101, nullptr), 0);
}

TEST(Scan, FirstSlotsInStationOrderOnly) {
    const auto& devices = g_layout.devices;
    const int count = static_cast<int>(devices.size());
    for (const int capacity : {0, 1, 30, count - 1, count, count + 1}) {
        SCOPED_TRACE(capacity);
        constexpr std::int32_t kUntouched = 0x5A5A5A5A;
        std::vector<std::int32_t> slots(static_cast<std::size_t>(count) + 2, kUntouched);
        const auto start = steady_clock::now();
        const std::int32_t n = DllScanNetwork(slots.data(), capacity);
        EXPECT_LT(steady_clock::now() - start, milliseconds(kT)); // a complete answer ends the scan
        ASSERT_EQ(n, std::min(capacity, count));
        for (std::size_t i = 0; i < slots.size(); ++i)
            EXPECT_EQ(slots[i], i < static_cast<std::size_t>(n) ? devices[i].id : kUntouched) << "slot " << i;
    }
}

// The first query after a scan asks every listed device at once: the silent one costs that
// query one timeout, and is not waited for again while the answers are fresh.
TEST(Info, OwnRecordUnknownIdsRefusedAtOnceSilentOncePerScan) {
    RemoteInfo expected{}, info; // reserved bytes zero, the name 63 bytes and its terminator
    std::tie(expected.address, expected.typeCode, expected.versionMajor, expected.versionMinor) =
        std::tuple(0x0A0102FEu, 0xC1821751u, 65535, 2147483647);
    std::memset(expected.name, 'N', 63);
    std::memset(&info, 0xCC, sizeof info);
    std::vector<std::int32_t> all(g_layout.devices.size());
    ASSERT_EQ(DllScanNetwork(all.data(), static_cast<std::int32_t>(all.size())),
              static_cast<int>(all.size()));
    expectAboutOneTimeout([&] { ASSERT_NE(DllGetRemoteInfo(kRecord, &info), 0); });
    EXPECT_EQ(std::memcmp(&info, &expected, sizeof info), 0);
    ASSERT_NE(DllGetRemoteInfo(-5, &info), 0);
    EXPECT_STREQ(info.name, g_layout.devices[g_layout.devices.size() - 3].name.c_str());
    const RemoteInfo zero{};
    for (const std::int32_t id : {0, 4999, 2147483646, kSilent}) { // the silent one already asked
        std::memset(&info, 0xCC, sizeof info);
        const auto start = steady_clock::now();
        EXPECT_EQ(DllGetRemoteInfo(id, &info), 0) << id;
        EXPECT_LT(steady_clock::now() - start, milliseconds(kT / 2)) << id;
        EXPECT_EQ(std::memcmp(&info, &zero, sizeof info), 0) << "record cleared for " << id;
    }
}

// The faulty device comes first, so a failure that stopped the loop early would show.
TEST(Upload, EachFaultFailsAlonePartnerCommits) {
    int minor = 10;
    const std::pair<std::int32_t, int> rows[] = {
        {kDrop, UPLOAD_TRANSFER_FAILED}, {kCorrupt, UPLOAD_TRANSFER_FAILED}, {kReject, UPLOAD_REFUSED},
        {kDsp, UPLOAD_REFUSED},          {kFlashFail, UPLOAD_FLASH_FAILED},  {kStall, UPLOAD_TRANSFER_FAILED},
        {kSilent, UPLOAD_UNREACHABLE},   {999, UPLOAD_UNREACHABLE}};
    for (const auto& [id, outcome] : rows) {
        SCOPED_TRACE(id);
        const auto before = versionOf(id);
        // GraphAppl, five 64 KiB chunks
        const std::string path = makeImageFile(g_dir.file("fault.mem"), 300000, 5, ++minor, 4);
        const std::int32_t ids[] = {id, 102};
        g_progress.clear();
        g_warned = {};
        const auto start = steady_clock::now();
        EXPECT_EQ(DllUploadFileToDevices(2, ids, path.c_str(), record), 0);
        // The partner's flash shows at once, not when the stalled transfer times out (4T).
        EXPECT_TRUE(id != kStall || g_warned - start < milliseconds(3 * kT));
        UploadOutcome r[3];
        ASSERT_EQ(DllGetUploadReport(r, 3), 2);
        EXPECT_TRUE(r[0].id == id && r[0].outcome == outcome && r[1].id == 102 &&
                    r[1].outcome == UPLOAD_COMMITTED);
        const std::string reason(r[0].reason, strnlen(r[0].reason, 120)); // terminated, and said
        EXPECT_TRUE(reason.size() > 10 && reason.size() < 120 && r[1].reason[0] == '\0') << reason;
        EXPECT_TRUE(id != kDsp || reason == "image type GraphAppl is not accepted by this device") << reason;
        EXPECT_LT(steady_clock::now() - start, milliseconds(10 * kT));
        EXPECT_EQ(versionOf(id), before);
        EXPECT_EQ(versionOf(102), std::make_pair(5, minor));
        expectProgress(false); // ends with the partner's completion
    }
}

// A cancel while the value stands still (the partner flashing, the other stalled) still
// reaches the library: the stalled target ends cancelled, not failed at its deadline, and
// the flashing partner is waited for.
TEST(Upload, CancelReachesTheLibraryWhileTheValueStandsStill) {
    static steady_clock::time_point warned;
    warned = {};
    const auto cancelSoonAfterTheWarning = [](int32_t value) -> int32_t {
        if (value > 95 && warned == steady_clock::time_point{})
            warned = steady_clock::now();
        return value > 95 && steady_clock::now() - warned > milliseconds(100) ? 0 : 1;
    };
    const std::string path = makeImageFile(g_dir.file("cancel.mem"), 300000, 6, 1, 4);
    const std::int32_t ids[] = {kStallToo, 103};
    EXPECT_EQ(DllUploadFileToDevices(2, ids, path.c_str(), cancelSoonAfterTheWarning), 0);
    UploadOutcome r[2];
    ASSERT_EQ(DllGetUploadReport(r, 2), 2);
    EXPECT_TRUE(r[0].outcome == UPLOAD_CANCELLED && r[1].outcome == UPLOAD_COMMITTED) << r[0].reason;
    EXPECT_EQ(versionOf(103), std::make_pair(6, 1));
}

TEST(Upload, ThirtyDevicesCommitTogether) {
    std::vector<std::int32_t> ids(30);
    std::iota(ids.begin(), ids.end(), 101);
    const std::string path = image("thirty.bin", 200000, 7, 30);
    g_progress.clear();
    EXPECT_EQ(DllUploadFileToDevices(30, ids.data(), path.c_str(), record), 1);
    expectProgress(true); // the versions are checked after a restart
}

namespace {

// The caller's side of DllGetFileInfo: a 20-byte name buffer with canary bytes behind it,
// and the outputs date1..3, type, major, minor preset to a marker.
struct FileQuery {
    std::array<std::uint8_t, 32> buffer;
    std::array<std::int32_t, 6> out;
    FileQuery() { buffer.fill(0xCC), out.fill(0x5A5A5A5A); }
    char* name() { return reinterpret_cast<char*>(buffer.data()); }
    std::int32_t run(const std::string& path, int nulled = -1) {
        auto arg = [nulled](auto* p, int index) { return index == nulled ? nullptr : p; };
        return DllGetFileInfo(arg(path.c_str(), 0), arg(name(), 1), arg(&out[0], 2), arg(&out[1], 3),
                              arg(&out[2], 4), arg(&out[3], 5), arg(&out[4], 6), arg(&out[5], 7));
    }
    bool untouched() const { return FileQuery().buffer == buffer && FileQuery().out == out; }
};

} // namespace

// Each kind of bad file (unreadable, empty, damaged) is refused before any device is
// contacted, and DllGetFileInfo writes nothing for it.
TEST(Upload, InvalidImageTouchesNoDevice) {
    auto damaged = makeImageBytes(10000, 7, 7);
    damaged[damaged.size() / 2] ^= 0x40;
    const std::string paths[] = {g_dir.file("missing"), g_dir.file("directory"), g_dir.write("empty", ""),
                                 g_dir.write("damaged", std::string(damaged.begin(), damaged.end()))};
    ::mkdir(paths[1].c_str(), 0700);
    const auto before = versionOf(105);
    const std::int32_t ids[] = {105};
    for (const std::string& path : paths) {
        g_progress.clear();
        EXPECT_EQ(DllUploadFileToDevices(1, ids, path.c_str(), record), 0) << path;
        EXPECT_TRUE(g_progress.empty());
        EXPECT_EQ(versionOf(105), before);
        FileQuery q;
        EXPECT_TRUE(q.run(path) == 0 && q.untouched()) << path;
    }
}

// Single-target uploads over the station's serial line (401 and 402 are on it).
TEST(Serial, UploadsOnlyToDevicesOnTheLine) {
    EXPECT_NE(DllOpenPort(1), 0);
    ASSERT_NE(DllOpenPort(1), 0); // opening again is harmless
    g_progress.clear();
    ASSERT_EQ(DllUploadFile(401, image("s1.bin", 6000, 9, 1).c_str(), record), 1);
    expectProgress();
    EXPECT_EQ(versionOf(401), std::make_pair(9, 1));
    const std::string path = image("s2.bin", 5000, 9, 2);
    EXPECT_EQ(DllUploadFile(403, path.c_str(), nullptr), 0);
    EXPECT_EQ(versionOf(403), std::make_pair(1, 0));
    EXPECT_EQ(DllUploadFile(402, path.c_str(), nullptr), 1); // the line still works
    EXPECT_EQ(versionOf(402), std::make_pair(9, 2));
}

// Two uploads (one without a callback) while the main thread queries; progress and report on the
// uploading thread only.
TEST(Threaded, TwoUploadsWhileScanning) {
    const std::string a = image("t1.bin", 400000, 11, 1), b = image("t2.bin", 100000, 12, 2);
    const std::int32_t first[] = {101, 102, 103}, second[] = {104, 105};
    g_progress.clear();
    std::atomic<bool> done{false};
    auto one = std::async(std::launch::async, [&] {
        const int r = DllUploadFileToDevices(3, first, a.c_str(), record);
        EXPECT_EQ(DllGetUploadReport(nullptr, 0), 3); // this thread's call
        done = true;
        return std::make_pair(r, std::this_thread::get_id());
    });
    auto two =
        std::async(std::launch::async, [&] { return DllUploadFileToDevices(2, second, b.c_str(), nullptr); });
    int scans = 0;
    for (; !done; ++scans) {
        std::int32_t found[30] = {};
        ASSERT_EQ(DllScanNetwork(found, 30), 30); // the station lists more than 30
        EXPECT_EQ(found[4], 105);
        RemoteInfo info{};
        EXPECT_NE(DllGetRemoteInfo(101 + scans % 5, &info), 0);
    }
    const auto [result, worker] = one.get();
    ASSERT_EQ(result, 1);
    EXPECT_EQ(two.get(), 1);
    EXPECT_EQ(DllGetUploadReport(nullptr, 0), 1); // still the serial upload this thread made
    EXPECT_GT(scans, 1);
    expectProgress(true, worker);
    for (const std::int32_t id : {101, 102, 103, 104, 105})
        EXPECT_EQ(versionOf(id), std::make_pair(id < 104 ? 11 : 12, id < 104 ? 1 : 2)) << id;
}

TEST(FileInfo, ValidImageFillsEveryOutputAndNothingBeyondNullArgumentsNothing) {
    const fwimage::ImageInfo meta{
        0xFFFFFFFFu, "ABCDEFGHIJKLMNOPQRS", 2147483647, -3, {0xFFFFFFFFu, 0x1FF, 31}, 0, 0};
    const auto image = fwimage::buildImage(meta, nullptr, 0);
    const std::string ok = g_dir.write("info.bin", std::string(image.begin(), image.end()));
    FileQuery q;
    ASSERT_NE(q.run(ok), 0);
    EXPECT_STREQ(q.name(), "ABCDEFGHIJKLMNOPQRS");
    EXPECT_EQ(std::count(q.buffer.begin() + 20, q.buffer.end(), 0xCC), 12) << "name buffer overrun";
    EXPECT_EQ(q.out, (std::array<std::int32_t, 6>{-1, 0x1FF, 31, -1, 2147483647, -3}));
    for (int nulled = 0; nulled < 8; ++nulled) {
        FileQuery failed;
        EXPECT_EQ(failed.run(ok, nulled), 0) << "null argument " << nulled;
        EXPECT_TRUE(failed.untouched()) << "null argument " << nulled;
    }
}

TEST(Restart, EveryCommitKept) {
    const int port = g_station->port();
    g_station.reset();
    g_station = std::make_unique<StationProcess>(
        g_layout, StationOptions{port, g_dir.file("state.json"), g_dir.file("ttyStation")});
    ASSERT_TRUE(g_station->running()) << g_station->error();
    for (std::int32_t id = 101; id <= 130; ++id)
        EXPECT_EQ(versionOf(id), id < 104   ? std::pair(11, 1)
                                 : id < 106 ? std::pair(12, 2)
                                            : std::pair(7, 30))
            << id;
    EXPECT_EQ(versionOf(401), std::make_pair(9, 1));
    EXPECT_EQ(versionOf(403), std::make_pair(1, 0));
}

TEST(NoStation, ScanWaitsOutTheTimeoutUploadFails) {
    g_station.reset();
    std::int32_t ids[30] = {};
    expectAboutOneTimeout([&] { EXPECT_EQ(DllScanNetwork(ids, 30), 0); });
    g_progress.clear();
    const std::int32_t two[] = {101, 102};
    EXPECT_EQ(DllUploadFileToDevices(2, two, image("gone.bin", 4096, 3, 8).c_str(), record), 0);
    EXPECT_TRUE(g_progress.empty());
}
