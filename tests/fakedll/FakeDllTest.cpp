// The scripted library the GUI tests rely on: progress reported on the
// uploading thread, the upload gate (release, timeout, reset), queries during
// a held upload, the call log, and the 20-byte name buffer it fills.
#include "FakeDll.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

std::atomic<int> g_lastProgress{0};
std::thread::id g_callbackThread;

int32_t progress(int32_t value) {
    g_callbackThread = std::this_thread::get_id();
    g_lastProgress = value;
    return 1;
}

class FakeDll : public ::testing::Test {
protected:
    void SetUp() override {
        fakedll::reset();
        g_lastProgress = 0;
    }
};

TEST_F(FakeDll, GatedUploadReportsOnItsOwnThread) {
    fakedll::UploadScript script;
    script.progress = {10, 96, 100};
    script.gateAfter = 2;
    script.result = 7;
    fakedll::setUploadScript(script);
    fakedll::setScan({5});
    int32_t result = 0;
    std::thread::id worker;
    std::thread upload([&] {
        worker = std::this_thread::get_id();
        const int32_t ids[] = {5, 6};
        result = DllUploadFileToDevices(2, ids, "/fw/a.bin", progress);
    });
    ASSERT_TRUE(fakedll::waitUploadGated(5000));
    EXPECT_EQ(g_lastProgress.load(), 96);
    // The library stays usable from another thread while the upload waits.
    int32_t table[30] = {};
    EXPECT_EQ(DllScanNetwork(table, 30), 1);
    EXPECT_FALSE(fakedll::waitUploadsFinished(1, 50));
    fakedll::releaseUpload();
    EXPECT_TRUE(fakedll::waitUploadsFinished(1, 5000));
    upload.join();
    EXPECT_EQ(result, 7);
    EXPECT_EQ(g_lastProgress.load(), 100);
    EXPECT_EQ(g_callbackThread, worker);

    const auto uploads = fakedll::calls("DllUploadFileToDevices");
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].ids, std::vector<int32_t>({5, 6}));
    EXPECT_EQ(uploads[0].path, "/fw/a.bin");
    EXPECT_EQ(uploads[0].callbackReturns, std::vector<int32_t>({1, 1, 1}));
    EXPECT_EQ(uploads[0].thread, worker);
}

TEST_F(FakeDll, GateIsBounded) {
    fakedll::UploadScript script;
    script.gateAfter = 0;
    script.gateTimeoutMs = 50;
    fakedll::setUploadScript(script);
    EXPECT_EQ(DllUploadFile(3, "/fw/b.bin", nullptr), 1);

    script.gateTimeoutMs = 60000;
    fakedll::setUploadScript(script);
    std::thread upload([] { DllUploadFile(3, "/fw/b.bin", progress); });
    ASSERT_TRUE(fakedll::waitUploadGated(5000));
    const auto started = std::chrono::steady_clock::now();
    fakedll::reset(); // a test ending early must not leave the upload hanging
    upload.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

TEST_F(FakeDll, NameBufferAndPorts) {
    fakedll::FileInfo info;
    info.name = "SHORT";
    fakedll::setFileInfo("/s", info);
    info.name = std::string(25, 'L');
    fakedll::setFileInfo("/l", info);
    char name[24];
    std::memset(name, '#', sizeof name);
    int32_t n[6] = {};
    EXPECT_EQ(DllGetFileInfo("/s", name, &n[0], &n[1], &n[2], &n[3], &n[4], &n[5]), 1);
    EXPECT_STREQ(name, "SHORT");
    std::memset(name, '#', sizeof name);
    EXPECT_EQ(DllGetFileInfo("/l", name, &n[0], &n[1], &n[2], &n[3], &n[4], &n[5]), 1);
    EXPECT_EQ(std::string(name, 21), std::string(20, 'L') + '#');
    EXPECT_EQ(DllGetFileInfo("/other", name, &n[0], &n[1], &n[2], &n[3], &n[4], &n[5]), 0);

    fakedll::setOpenPortResult(2, 0);
    EXPECT_EQ(DllOpenPort(1), 1);
    EXPECT_EQ(DllOpenPort(2), 0);
    EXPECT_EQ(fakedll::calls("DllOpenPort").at(1).port, 2);
}

} // namespace
