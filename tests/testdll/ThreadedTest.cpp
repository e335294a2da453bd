// Two threads at once: scans and info queries on one thread while an upload runs
// on another (progress only on the uploading thread), and two uploads to disjoint
// targets from two threads.
#include "LibraryTestEnv.h"

#include <atomic>
#include <future>

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
    ::testing::AddGlobalTestEnvironment(new StationEnvironment(throttledStation(), {}, 2000)));

std::vector<std::int32_t> idRange(std::int32_t first, std::int32_t last) {
    std::vector<std::int32_t> v;
    for (std::int32_t id = first; id <= last; ++id)
        v.push_back(id);
    return v;
}

} // namespace

TEST(Threaded, ScanDuringUpload) {
    const std::string path = makeImageFile(env->dir().file("a.bin"), 400000, 11, 1);
    const auto ids = idRange(101, 130);
    ProgressLog::reset();
    std::thread::id workerId;
    std::atomic<bool> done{false};
    auto upload = std::async(std::launch::async, [&] {
        workerId = std::this_thread::get_id();
        const int r = DllUploadFileToDevices(30, ids.data(), path.c_str(), ProgressLog::callback);
        done = true;
        return r;
    });

    int scans = 0;
    while (!done) {
        std::int32_t found[30] = {};
        ASSERT_EQ(DllScanNetwork(found, 30), 30);
        EXPECT_EQ(std::vector<std::int32_t>(found, found + 30), ids);
        RemoteInfo info{};
        EXPECT_NE(DllGetRemoteInfo(ids[static_cast<std::size_t>(scans % 30)], &info), 0);
        ++scans;
    }
    ASSERT_EQ(upload.get(), 1);
    EXPECT_GT(scans, 1);
    std::lock_guard lock(ProgressLog::mutex);
    expectCompleteProgress(ProgressLog::values);
    for (const auto& t : ProgressLog::threads)
        EXPECT_EQ(t, workerId);
}

TEST(Threaded, TwoUploadsAtOnce) {
    const std::string a = makeImageFile(env->dir().file("b.bin"), 100000, 12, 1);
    const std::string b = makeImageFile(env->dir().file("c.bin"), 100000, 12, 2);
    const auto first = idRange(101, 115);
    const auto second = idRange(116, 130);
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
