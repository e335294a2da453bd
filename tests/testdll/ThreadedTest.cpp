// Two threads at once: scans and info queries on one thread while a thirty-device
// upload runs on another (progress only on the uploading thread, every device
// committed), and two uploads to disjoint targets from two threads.
#include "LibraryTestEnv.h"

#include <atomic>
#include <future>
#include <numeric>

using namespace zutest;

namespace {

StationSpec throttledStation() {
    StationSpec s = makeStation(30);
    s.linkKbps = 20000; // slow enough that the upload overlaps many queries
    s.flashKbps = 2000;
    return s;
}

// Nothing here waits out a timeout; a long one keeps ThreadSanitizer runs from tripping it.
StationEnvironment* env = static_cast<StationEnvironment*>(
    ::testing::AddGlobalTestEnvironment(new StationEnvironment(throttledStation(), 2000)));

std::vector<std::int32_t> idRange(std::int32_t first, std::size_t n) {
    std::vector<std::int32_t> v(n);
    std::iota(v.begin(), v.end(), first);
    return v;
}

} // namespace

TEST(Threaded, ScanAndInfoDuringUpload) {
    const std::string path = makeImageFile(env->dir.file("a.bin"), 400000, 11, 1);
    const auto ids = idRange(101, 30);
    ProgressLog::reset();
    std::thread::id worker;
    std::atomic<bool> done{false};
    auto upload = std::async(std::launch::async, [&] {
        worker = std::this_thread::get_id();
        const int r = DllUploadFileToDevices(30, ids.data(), path.c_str(), ProgressLog::callback);
        done = true;
        return r;
    });
    int scans = 0;
    for (; !done; ++scans) {
        std::int32_t found[30] = {};
        ASSERT_EQ(DllScanNetwork(found, 30), 30);
        EXPECT_EQ(std::vector<std::int32_t>(found, found + 30), ids);
        RemoteInfo info{};
        EXPECT_NE(DllGetRemoteInfo(ids[static_cast<std::size_t>(scans % 30)], &info), 0);
    }
    ASSERT_EQ(upload.get(), 1);
    EXPECT_GT(scans, 1);
    for (const std::int32_t id : ids)
        EXPECT_EQ(versionOf(id), std::make_pair(11, 1)) << id;
    std::lock_guard lock(ProgressLog::mutex);
    expectProgress(ProgressLog::values);
    for (const auto& t : ProgressLog::threads)
        EXPECT_EQ(t, worker);
}

TEST(Threaded, TwoUploadsAtOnce) {
    const std::string a = makeImageFile(env->dir.file("b.bin"), 100000, 12, 1);
    const std::string b = makeImageFile(env->dir.file("c.bin"), 100000, 12, 2);
    const auto first = idRange(101, 15), second = idRange(116, 15);
    auto one = std::async(std::launch::async,
                          [&] { return DllUploadFileToDevices(15, first.data(), a.c_str(), nullptr); });
    auto two = std::async(std::launch::async,
                          [&] { return DllUploadFileToDevices(15, second.data(), b.c_str(), nullptr); });
    EXPECT_EQ(one.get(), 1);
    EXPECT_EQ(two.get(), 1);
    for (const std::int32_t id : first)
        EXPECT_EQ(versionOf(id), std::make_pair(12, 1));
    for (const std::int32_t id : second)
        EXPECT_EQ(versionOf(id), std::make_pair(12, 2));
}
