// The real zentavo-update against stationsim serving the demo station, through
// a relay that records the discovery traffic. Offscreen: at start-up it scans
// once and asks every listed device in list order. Under Xvfb: the scan is done
// before the window shows, Refresh from the keyboard scans again, Escape ends
// the program with status 0 and the recent-file record is rewritten at that
// exit step (stray values dropped, entries kept in their places).
#include "ChildProcess.h"
#include "StationProcess.h"
#include "UdpRelay.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

using namespace std::chrono_literals;
using zutest::ChildProcess;
using zutest::UdpRelay;

namespace {

constexpr char kTitle[] = "Zentavo software update";
constexpr std::uint16_t kScanRequest = 0x0001;
constexpr std::uint16_t kScanReply = 0x8001;
// Slot order of the demo station; 401 never answers.
const std::vector<std::int32_t> kDemoIds = {101, 102, 103, 110, 121, 122, 201, 301, 401, 501};
const std::vector<std::int32_t> kAnsweringIds = {101, 102, 103, 110, 121, 122, 201, 301, 501};
// Generous: sanitized builds start slowly and the machine is shared.
constexpr auto kStartWait = 60s;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::size_t distinctScans(const UdpRelay& relay) {
    std::set<std::uint32_t> sequences;
    for (const auto& d : relay.log()) {
        if (!d.fromStation && d.type == kScanRequest)
            sequences.insert(d.sequence);
    }
    return sequences.size();
}

// The demo station behind a relay, a private configuration folder and the
// program's environment.
class ProgramFixture : public ::testing::Test {
protected:
    void SetUp() override {
        const char* source = std::getenv("ZU_SOURCE_DIR");
        ASSERT_NE(source, nullptr) << "ZU_SOURCE_DIR not set";
        const std::string demo = readFile(std::string(source) + "/res/demo-station.json");
        ASSERT_FALSE(demo.empty());
        m_station = std::make_unique<zutest::StationProcess>(demo);
        ASSERT_TRUE(m_station->running()) << m_station->error();
        m_relay = std::make_unique<UdpRelay>(m_station->port());
        ASSERT_TRUE(m_relay->valid());
        m_configHome = m_dir.path() + "/config";
        std::filesystem::create_directories(m_configHome + "/Quorvane");
    }

    zutest::EnvChanges programEnvironment(const std::string& platform) const {
        return {{"QT_QPA_PLATFORM", platform},
                {"TESTDLL_NETWORK", "127.0.0.1:" + std::to_string(m_relay->port())},
                {"TESTDLL_TIMEOUT_MS", "200"},
                {"XDG_CONFIG_HOME", m_configHome}};
    }
    std::string program() const { return zutest::binDir() + "/zentavo-update"; }
    std::string storePath() const { return m_configHome + "/Quorvane/zentavo-update.conf"; }
    std::string outputPath() const { return m_dir.file("program-output.txt"); }

    // Pumps the relay until `done` holds or `timeout` passes.
    bool relayUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        const auto until = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= until)
                return false;
            m_relay->pump(5ms);
        }
        return true;
    }
    std::function<void()> pumping() {
        return [this] { m_relay->pump(5ms); };
    }

    void expectOneFullScan(std::size_t scans) const {
        EXPECT_EQ(distinctScans(*m_relay), scans);
        ASSERT_GE(m_relay->count(kScanReply, true), 1u);
        std::vector<std::int32_t> expectedQueries;
        for (std::size_t i = 0; i < scans; ++i)
            expectedQueries.insert(expectedQueries.end(), kDemoIds.begin(), kDemoIds.end());
        EXPECT_EQ(m_relay->infoQueries(), expectedQueries);
        EXPECT_EQ(m_relay->answeredIds(), kAnsweringIds);
    }

    zutest::TempDir m_dir;
    std::string m_configHome;
    std::unique_ptr<zutest::StationProcess> m_station;
    std::unique_ptr<UdpRelay> m_relay;
};

using ProgramOffscreen = ProgramFixture;
using ProgramOnDisplay = ProgramFixture;

} // namespace

TEST_F(ProgramOffscreen, ScansOnceAndAsksEveryListedDeviceInListOrder) {
    ChildProcess updater({program()}, programEnvironment("offscreen"), outputPath());
    ASSERT_TRUE(updater.started());
    // The silent device's query is the last wait before 501 is asked.
    const bool scanned = relayUntil(
        [&] { return m_relay->answeredIds().size() == kAnsweringIds.size() || !updater.running(); },
        kStartWait);
    ASSERT_TRUE(scanned) << readFile(outputPath());
    ASSERT_TRUE(updater.running()) << "ended during start-up: " << readFile(outputPath());
    // Nothing more is asked while the dialog just sits there.
    m_relay->pump(300ms);
    expectOneFullScan(1);
    EXPECT_TRUE(updater.running());

    // Without a window system there is no Escape to press: end it from outside.
    updater.signal(SIGTERM);
    ASSERT_TRUE(updater.wait(10s));
}

TEST_F(ProgramOnDisplay, ShowsAfterTheScanRefreshesOnKeyAndWritesTheRecordOnEscape) {
    zutest::VirtualDisplay display;
    ASSERT_TRUE(display.running()) << display.error();

    // A record another run left: File1 a valid image, a gap, File3, and a stray value.
    const std::string image = zutest::makeImageFile(m_dir.file("cluster.bin"), 1000, 3, 7, 0x01010202);
    std::ofstream(storePath()) << "[Recent%20File%20List]\nFile1=" << image
                               << "\nFile3=/fw/old.mem\nStray=x\n";

    zutest::EnvChanges env = programEnvironment("xcb");
    env.push_back({"DISPLAY", display.display()});
    // Only matters in sanitized builds; see the file for why.
    std::string lsan = std::getenv("LSAN_OPTIONS") != nullptr ? std::getenv("LSAN_OPTIONS") : "";
    lsan += (lsan.empty() ? "" : ":") + std::string("suppressions=") + std::getenv("ZU_SOURCE_DIR") +
            "/tests/e2e/lsan.supp";
    env.push_back({"LSAN_OPTIONS", lsan});
    ChildProcess updater({program()}, env, outputPath());
    ASSERT_TRUE(updater.started());

    std::vector<std::string> windows;
    const bool shown = relayUntil(
        [&] {
            windows = display.visibleWindows(kTitle);
            return !windows.empty() || !updater.running();
        },
        kStartWait);
    ASSERT_TRUE(shown && !windows.empty()) << readFile(outputPath());
    ASSERT_EQ(windows.size(), 1u);
    // The scan ran before the dialog showed: every answer was in when it appeared.
    EXPECT_EQ(m_relay->answeredIds(), kAnsweringIds);
    m_relay->pump(100ms);
    expectOneFullScan(1);

    // Focus starts on Refresh: Space presses it.
    ASSERT_EQ(display.xdotool({"windowfocus", "--sync", windows.front()}), 0);
    ASSERT_EQ(display.xdotool({"key", "space"}), 0);
    ASSERT_TRUE(relayUntil([&] { return m_relay->infoQueries().size() == 2 * kDemoIds.size(); }, 20s))
        << "no second scan; queries seen: " << m_relay->infoQueries().size();
    m_relay->pump(100ms);
    expectOneFullScan(2);

    // The store is left alone until the exit step.
    EXPECT_NE(readFile(storePath()).find("Stray=x"), std::string::npos);
    ASSERT_EQ(display.xdotool({"key", "Escape"}), 0);
    ASSERT_TRUE(updater.wait(20s, pumping())) << "still running after Escape";
    EXPECT_TRUE(updater.exitedWith(0)) << "status " << updater.status() << "\n" << readFile(outputPath());

    const std::string stored = readFile(storePath());
    EXPECT_EQ(stored.find("Stray"), std::string::npos) << stored;
    EXPECT_NE(stored.find("File1=" + image + "\n"), std::string::npos) << stored;
    EXPECT_NE(stored.find("File3=/fw/old.mem\n"), std::string::npos) << stored;
    EXPECT_EQ(stored.find("File2"), std::string::npos) << stored;
}

// ctest runs the two groups as separate tests; the display one reports
// "skipped" (77) where Xvfb or xdotool is missing.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const bool onDisplay = argc > 1 && std::string(argv[1]) == "--on-display";
    if (onDisplay) {
        std::string missing;
        if (!zutest::VirtualDisplay::available(&missing)) {
            std::printf("skipped: %s not installed\n", missing.c_str());
            return 77;
        }
    }
    GTEST_FLAG_SET(filter, onDisplay ? "ProgramOnDisplay.*" : "ProgramOffscreen.*");
    return RUN_ALL_TESTS();
}
