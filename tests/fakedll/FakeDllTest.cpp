// The scripted library the GUI tests rely on: the upload gate (release, timeout,
// reset), queries during a held upload, the call log with the calling thread, and
// the 20-byte name buffer it fills.
#include "FakeDll.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

namespace {

std::atomic<int> g_lastProgress{0};
int32_t progress(int32_t value) {
    g_lastProgress = value;
    return 1;
}

} // namespace

TEST(FakeDll, GatedUpload) {
    fakedll::reset();
    fakedll::setUploadScript({.progress = {10, 96, 100}, .result = 7, .gateAfter = 2});
    int32_t result = 0;
    std::thread upload([&] {
        const int32_t ids[] = {5, 6};
        result = DllUploadFileToDevices(2, ids, "/fw/a.bin", progress);
    });
    ASSERT_TRUE(fakedll::waitUploadGated(5000));
    EXPECT_EQ(g_lastProgress.load(), 96);
    EXPECT_EQ(DllOpenPort(1), 1); // usable from another thread meanwhile
    EXPECT_FALSE(fakedll::waitUploadsFinished(1, 50));
    fakedll::releaseUpload();
    EXPECT_TRUE(fakedll::waitUploadsFinished(1, 5000));
    const std::thread::id worker = upload.get_id();
    upload.join();
    EXPECT_EQ(result, 7);
    EXPECT_EQ(g_lastProgress.load(), 100);
    const auto uploads = fakedll::calls("DllUploadFileToDevices");
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].ids, std::vector<int32_t>({5, 6}));
    EXPECT_EQ(uploads[0].callbackReturns, std::vector<int32_t>({1, 1, 1}));
    EXPECT_EQ(uploads[0].thread, worker);

    fakedll::setUploadScript({.gateAfter = 0, .gateTimeoutMs = 50});
    EXPECT_EQ(DllUploadFile(3, "/fw/b.bin", nullptr), 1); // the gate gives up by itself
    fakedll::setUploadScript({.gateAfter = 0, .gateTimeoutMs = 60000});
    std::thread held([] { DllUploadFile(3, "/fw/b.bin", progress); });
    ASSERT_TRUE(fakedll::waitUploadGated(5000));
    fakedll::reset(); // a test ending early must not leave the upload hanging
    held.join();
}

TEST(FakeDll, NameBufferOfTwentyBytes) {
    fakedll::reset();
    char name[24];
    int32_t n[6] = {};
    fakedll::setFileInfo("/f", {.name = std::string(25, 'L')});
    std::memset(name, '#', sizeof name);
    EXPECT_EQ(DllGetFileInfo("/f", name, &n[0], &n[1], &n[2], &n[3], &n[4], &n[5]), 1);
    EXPECT_EQ(std::string(name, 21), std::string(20, 'L') + '#');
    fakedll::setFileInfo("/f", {.name = "SHORT"});
    EXPECT_EQ(DllGetFileInfo("/f", name, &n[0], &n[1], &n[2], &n[3], &n[4], &n[5]), 1);
    EXPECT_STREQ(name, "SHORT");
}
