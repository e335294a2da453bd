// Shared by the library's end-to-end tests: one stationsim per test binary (the
// library reads its environment once per process), a progress recorder, version query.
#pragma once

#include "StationProcess.h"
#include "TestDll.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace zutest {

// Starts the station and points the library at it before any library call.
// COM1 is the station's serial line (when it has one); COM2 starts out missing.
struct StationEnvironment : ::testing::Environment {
    StationEnvironment(StationSpec s, int t) : spec(std::move(s)), timeoutMs(t) {}
    void SetUp() override {
        StationOptions options;
        if (spec.serialBaud != 0)
            options.serialPath = dir.file("ttyStation");
        station = std::make_unique<StationProcess>(spec, options);
        ASSERT_TRUE(station->running()) << station->error();
        ::setenv("TESTDLL_NETWORK", station->endpoint().c_str(), 1);
        ::setenv("TESTDLL_TIMEOUT_MS", std::to_string(timeoutMs).c_str(), 1);
        ::setenv("TESTDLL_COM1", options.serialPath.c_str(), 1);
        ::setenv("TESTDLL_COM2", dir.file("com2").c_str(), 1);
    }
    void TearDown() override { station.reset(); }

    StationSpec spec;
    int timeoutMs;
    TempDir dir;
    std::unique_ptr<StationProcess> station;
};

// Records every progress value and the thread that reported it.
struct ProgressLog {
    static inline std::mutex mutex;
    static inline std::vector<int> values;
    static inline std::vector<std::thread::id> threads;

    static void reset() {
        std::lock_guard lock(mutex);
        values.clear();
        threads.clear();
    }
    static int32_t callback(int32_t value) {
        std::lock_guard lock(mutex);
        values.push_back(value);
        threads.push_back(std::this_thread::get_id());
        return 1;
    }
};

// Strictly rising up to 100; a complete upload starts at 1 and passes 96 (verified everywhere).
inline void expectProgress(const std::vector<int>& v, bool complete = true) {
    ASSERT_FALSE(v.empty());
    EXPECT_EQ(v.back(), 100);
    EXPECT_TRUE(std::is_sorted(v.begin(), v.end(), std::less_equal<>())) << "not strictly rising";
    if (complete) {
        EXPECT_EQ(v.front(), 1);
        EXPECT_NE(std::find(v.begin(), v.end(), 96), v.end());
    }
}

// The device's version as {major, minor}, or {-1, -1} when it does not answer.
inline std::pair<int, int> versionOf(std::int32_t id) {
    RemoteInfo info{};
    if (DllGetRemoteInfo(id, &info) == 0)
        return {-1, -1};
    return {info.versionMajor, info.versionMinor};
}

} // namespace zutest
