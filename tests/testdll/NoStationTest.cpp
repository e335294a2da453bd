// Without any station: a scan and an info query give up after about one timeout,
// uploads to a refused endpoint fail, no serial port means no serial upload, bad
// port numbers and bad arguments return 0 without calling back.
#include "StationProcess.h"
#include "TestDll.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

using namespace zutest;
using namespace std::chrono;

namespace {

constexpr int kTimeoutMs = 200;
int g_calls = 0;
int32_t countCalls(int32_t) {
    ++g_calls;
    return 1;
}

// A loopback port nobody listens on (found free a moment ago).
int unusedPort() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

class Env : public ::testing::Environment {
public:
    void SetUp() override {
        ::setenv("TESTDLL_NETWORK", ("127.0.0.1:" + std::to_string(unusedPort())).c_str(), 1);
        ::setenv("TESTDLL_TIMEOUT_MS", std::to_string(kTimeoutMs).c_str(), 1);
        ::setenv("TESTDLL_COM1", dir.file("missing-tty").c_str(), 1);
        ::setenv("TESTDLL_COM2", "/dev/null", 1); // exists, but is no terminal
        image = makeImageFile(dir.file("ok.bin"), 4096);
    }
    TempDir dir;
    std::string image;
};
Env* env = static_cast<Env*>(::testing::AddGlobalTestEnvironment(new Env));

template <typename F> milliseconds timed(F f) {
    const auto start = steady_clock::now();
    f();
    return duration_cast<milliseconds>(steady_clock::now() - start);
}

} // namespace

// No port is ever opened in this process (both paths are unusable).
TEST(NoStation, SerialUploadWithoutOpenPortFails) {
    g_calls = 0;
    EXPECT_EQ(DllUploadFile(401, env->image.c_str(), countCalls), 0);
    EXPECT_EQ(g_calls, 0);
}

TEST(NoStation, ScanGivesUpAfterAboutOneTimeout) {
    std::int32_t ids[30] = {};
    std::int32_t n = -1;
    const auto took = timed([&] { n = DllScanNetwork(ids, 30); });
    EXPECT_EQ(n, 0);
    EXPECT_GE(took.count(), kTimeoutMs - 5);
    EXPECT_LT(took.count(), 5 * kTimeoutMs);
}

TEST(NoStation, InfoGivesUpAfterAboutOneTimeout) {
    RemoteInfo info{};
    std::int32_t r = -1;
    const auto took = timed([&] { r = DllGetRemoteInfo(101, &info); });
    EXPECT_EQ(r, 0);
    EXPECT_GE(took.count(), kTimeoutMs - 5);
    EXPECT_LT(took.count(), 5 * kTimeoutMs);
}

TEST(NoStation, UploadToRefusedEndpointFails) {
    const std::int32_t ids[] = {101, 102};
    g_calls = 0;
    EXPECT_EQ(DllUploadFileToDevices(2, ids, env->image.c_str(), countCalls), 0);
    EXPECT_EQ(g_calls, 0);
}

class OpenPortRefused : public ::testing::TestWithParam<std::int32_t> {};
TEST_P(OpenPortRefused, Zero) {
    EXPECT_EQ(DllOpenPort(GetParam()), 0);
}
// 1: path missing; 2: not a terminal; the rest are no port at all.
INSTANTIATE_TEST_SUITE_P(Ports, OpenPortRefused, ::testing::Values(0, 3, -1, 1, 2, 2147483647));

TEST(NoStation, SerialUploadStillFailsAfterFailedOpens) {
    EXPECT_EQ(DllOpenPort(1), 0);
    EXPECT_EQ(DllUploadFile(401, env->image.c_str(), countCalls), 0);
}

TEST(NoStation, BadUploadArgumentsReturnZeroWithoutCallback) {
    const std::int32_t ids[] = {101, 0, 103};
    const char* img = env->image.c_str();
    g_calls = 0;
    EXPECT_EQ(DllUploadFileToDevices(0, ids, img, countCalls), 0);
    EXPECT_EQ(DllUploadFileToDevices(-5, ids, img, countCalls), 0);
    EXPECT_EQ(DllUploadFileToDevices(3, nullptr, img, countCalls), 0);
    EXPECT_EQ(DllUploadFileToDevices(3, ids, img, countCalls), 0); // an empty slot among the targets
    EXPECT_EQ(DllUploadFileToDevices(1, ids, nullptr, countCalls), 0);
    EXPECT_EQ(DllUploadFile(0, img, countCalls), 0);
    EXPECT_EQ(DllUploadFile(101, nullptr, countCalls), 0);
    EXPECT_EQ(g_calls, 0);
}
