// The real zentavo-update against stationsim serving the demo station, through
// a relay that records the discovery traffic. Offscreen: at start-up it scans
// once and asks every listed device in list order. Under Xvfb: the scan is done
// before the window shows, Refresh from the keyboard scans again, Escape ends
// the program with status 0 and the recent-file record is rewritten at that
// exit step (stray values dropped, entries kept in their places).
#include "support/ChildProcess.h"
#include "support/VirtualDisplay.h"
#include "tests/e2e/UdpRelay.h"
#include "tests/support/StationProcess.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

using namespace std::chrono_literals;

namespace {

// Slot order of the demo station; 401 never answers.
const std::vector<std::int32_t> kDemoIds = {101, 102, 103, 110, 121, 122, 201, 301, 401, 501};
const std::vector<std::int32_t> kAnsweringIds = {101, 102, 103, 110, 121, 122, 201, 301, 501};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The demo station behind a relay, a private configuration folder and the program.
class Program : public ::testing::Test {
protected:
    void SetUp() override {
        m_station = std::make_unique<zutest::StationProcess>(readFile(source() + "/res/demo-station.json"));
        ASSERT_TRUE(m_station->running()) << m_station->error();
        m_relay = std::make_unique<zutest::UdpRelay>(m_station->port());
        ASSERT_TRUE(m_relay->valid());
        std::filesystem::create_directories(m_dir.file("config/Quorvane"));
    }
    static std::string source() { return std::getenv("ZU_SOURCE_DIR") ? std::getenv("ZU_SOURCE_DIR") : "."; }

    std::unique_ptr<support::ChildProcess> start(const std::string& platform, support::EnvChanges env = {}) {
        env.insert(env.end(), {{"QT_QPA_PLATFORM", platform},
                               {"TESTDLL_NETWORK", "127.0.0.1:" + std::to_string(m_relay->port())},
                               {"TESTDLL_TIMEOUT_MS", "200"},
                               {"XDG_CONFIG_HOME", m_dir.file("config")}});
        return std::make_unique<support::ChildProcess>(
            std::vector<std::string>{zutest::binDir() + "/zentavo-update"}, env, output());
    }
    std::string output() const { return m_dir.file("program-output.txt"); }
    std::string store() const { return m_dir.file("config/Quorvane/zentavo-update.conf"); }

    // Pumps the relay until `done` holds or `timeout` passes (generous: sanitized
    // builds start slowly and the machine is shared).
    bool relayUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 60s) {
        const auto until = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= until)
                return false;
            m_relay->pump(5ms);
        }
        return true;
    }

    // After settling: `scans` distinct scans, each asking every slot in order.
    void expectScans(std::size_t scans) {
        m_relay->pump(200ms);
        std::set<std::uint32_t> sequences;
        for (const auto& d : m_relay->log()) {
            if (!d.fromStation && d.type == 0x0001)
                sequences.insert(d.sequence);
        }
        EXPECT_EQ(sequences.size(), scans);
        std::vector<std::int32_t> queries;
        for (std::size_t i = 0; i < scans; ++i)
            queries.insert(queries.end(), kDemoIds.begin(), kDemoIds.end());
        EXPECT_EQ(m_relay->infoQueries(), queries);
        EXPECT_EQ(m_relay->answeredIds(), kAnsweringIds);
    }

    zutest::TempDir m_dir;
    std::unique_ptr<zutest::StationProcess> m_station;
    std::unique_ptr<zutest::UdpRelay> m_relay;
};

using ProgramOffscreen = Program;
using ProgramOnDisplay = Program;

} // namespace

TEST_F(ProgramOffscreen, ScansOnceAndAsksEveryListedDeviceInListOrder) {
    auto updater = start("offscreen");
    // The silent device's query is the last wait before 501 is asked.
    ASSERT_TRUE(relayUntil([&] {
        return m_relay->answeredIds().size() == kAnsweringIds.size() || !updater->running();
    })) << readFile(output());
    ASSERT_TRUE(updater->running()) << "ended during start-up: " << readFile(output());
    expectScans(1);           // nothing more is asked while the dialog just sits there
    updater->signal(SIGTERM); // no window system, no Escape to press
    ASSERT_TRUE(updater->wait(10s));
}

TEST_F(ProgramOnDisplay, ShowsAfterTheScanRefreshesOnKeyAndWritesTheRecordOnEscape) {
    support::VirtualDisplay display;
    ASSERT_TRUE(display.running()) << display.error();
    // A record another run left: File1 a valid image, a gap, File3, and a stray value.
    const std::string image = zutest::makeImageFile(m_dir.file("cluster.bin"), 1000, 3, 7, 0x01010202);
    std::ofstream(store()) << "[Recent%20File%20List]\nFile1=" << image << "\nFile3=/fw/old.mem\nStray=x\n";
    // Only matters in sanitized builds; see the file for why.
    const char* lsan = std::getenv("LSAN_OPTIONS");
    const std::string suppress = "suppressions=" + source() + "/tests/e2e/lsan.supp";
    auto updater = start("xcb", {{"DISPLAY", display.display()},
                                 {"LSAN_OPTIONS", lsan ? std::string(lsan) + ":" + suppress : suppress}});

    std::vector<std::string> windows;
    ASSERT_TRUE(relayUntil([&] {
        windows = display.visibleWindows("Zentavo software update");
        return !windows.empty() || !updater->running();
    }));
    ASSERT_EQ(windows.size(), 1u) << readFile(output());
    // The scan ran before the dialog showed: every answer was in when it appeared.
    EXPECT_EQ(m_relay->answeredIds(), kAnsweringIds);
    expectScans(1);

    // Focus starts on Refresh: Space presses it.
    ASSERT_EQ(display.xdotool({"windowfocus", "--sync", windows.front()}), 0);
    ASSERT_EQ(display.xdotool({"key", "space"}), 0);
    ASSERT_TRUE(relayUntil([&] { return m_relay->infoQueries().size() == 2 * kDemoIds.size(); }, 20s));
    expectScans(2);

    // The store is left alone until the exit step.
    EXPECT_NE(readFile(store()).find("Stray=x"), std::string::npos);
    ASSERT_EQ(display.xdotool({"key", "Escape"}), 0);
    ASSERT_TRUE(updater->wait(20s, [&] { m_relay->pump(5ms); })) << "still running after Escape";
    EXPECT_TRUE(updater->exitedWith(0)) << "status " << updater->status() << "\n" << readFile(output());
    const std::string stored = readFile(store());
    EXPECT_EQ(stored.find("Stray"), std::string::npos) << stored;
    EXPECT_EQ(stored.find("File2"), std::string::npos) << stored;
    EXPECT_NE(stored.find("File1=" + image + "\nFile3=/fw/old.mem\n"), std::string::npos) << stored;
}

// ctest runs the two groups as separate tests; the display one reports
// "skipped" (77) where Xvfb or xdotool is missing.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const bool onDisplay = argc > 1 && std::string(argv[1]) == "--on-display";
    std::string missing;
    if (onDisplay && !support::VirtualDisplay::available(&missing)) {
        std::printf("skipped: %s not installed\n", missing.c_str());
        return 77;
    }
    GTEST_FLAG_SET(filter, onDisplay ? "ProgramOnDisplay.*" : "ProgramOffscreen.*");
    return RUN_ALL_TESTS();
}
