// Shared pieces of the library's end-to-end tests: one stationsim per test binary
// (the library reads its environment once per process), a progress recorder and
// small query helpers.
#pragma once

#include "StationProcess.h"
#include "TestDll.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zutest {

constexpr int kTimeoutMs = 200; // TESTDLL_TIMEOUT_MS in every e2e test

// Starts the station and points the library at it before any library call.
class StationEnvironment : public ::testing::Environment {
public:
    StationEnvironment(StationSpec spec, StationOptions options = {}, int timeoutMs = kTimeoutMs)
        : m_spec(std::move(spec)), m_options(std::move(options)), m_timeoutMs(timeoutMs) {}

    void SetUp() override {
        if (!m_options.serialPath.empty())
            m_options.serialPath = m_dir.file(m_options.serialPath);
        if (!m_options.statePath.empty())
            m_options.statePath = m_dir.file(m_options.statePath);
        m_station = std::make_unique<StationProcess>(m_spec, m_options);
        ASSERT_TRUE(m_station->running()) << m_station->error();
        ::setenv("TESTDLL_NETWORK", m_station->endpoint().c_str(), 1);
        ::setenv("TESTDLL_TIMEOUT_MS", std::to_string(m_timeoutMs).c_str(), 1);
        if (!m_options.serialPath.empty())
            ::setenv("TESTDLL_COM1", m_options.serialPath.c_str(), 1);
    }
    void TearDown() override { m_station.reset(); }

    StationProcess& station() { return *m_station; }
    const StationSpec& spec() const { return m_spec; }
    const StationOptions& options() const { return m_options; }
    const TempDir& dir() const { return m_dir; }

    // Replaces the running station by one serving `spec` (same port is not kept).
    // Only usable by tests that never talk to the first station afterwards.
    void restart(const StationSpec& spec) {
        m_station.reset();
        m_station = std::make_unique<StationProcess>(spec, m_options);
    }

private:
    StationSpec m_spec;
    StationOptions m_options;
    int m_timeoutMs;
    TempDir m_dir;
    std::unique_ptr<StationProcess> m_station;
};

// Records every progress value and the thread that reported it.
struct ProgressLog {
    static std::mutex mutex;
    static std::vector<int> values;
    static std::vector<std::thread::id> threads;

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
inline std::mutex ProgressLog::mutex;
inline std::vector<int> ProgressLog::values;
inline std::vector<std::thread::id> ProgressLog::threads;

// Strictly rising, from 1 to 100, passing 96 (image verified everywhere).
inline void expectCompleteProgress(const std::vector<int>& v) {
    ASSERT_FALSE(v.empty());
    EXPECT_EQ(v.front(), 1);
    EXPECT_EQ(v.back(), 100);
    for (std::size_t i = 1; i < v.size(); ++i)
        EXPECT_LT(v[i - 1], v[i]) << "at " << i;
    EXPECT_NE(std::find(v.begin(), v.end(), 96), v.end());
}

// The device's version as {major, minor}, or {-1, -1} when it does not answer.
inline std::pair<int, int> versionOf(std::int32_t id) {
    RemoteInfo info{};
    if (DllGetRemoteInfo(id, &info) == 0)
        return {-1, -1};
    return {info.versionMajor, info.versionMinor};
}

} // namespace zutest
