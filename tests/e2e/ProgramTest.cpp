// The real zentavo-update under Xvfb against stationsim serving the demo
// station, given a FILE: the window appears with its title, Escape ends the
// program with status 0 and the recent-file record, FILE first, is rewritten
// at that exit step (stray values dropped, entries kept in their places), not
// before. Skipped where Xvfb or xdotool is missing. (Its command line without a
// display is checked on the installed program by the package test.)
#include "tests/support/ChildProcess.h"
#include "tests/support/StationProcess.h"
#include "tests/support/VirtualDisplay.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

using namespace std::chrono_literals;
using zutest::readFile;

const std::string kSource = std::getenv("ZU_SOURCE_DIR") ? std::getenv("ZU_SOURCE_DIR") : ".";

TEST(Program, ShowsItsWindowAndWritesTheRecordOnEscape) {
    if (std::string missing; !support::VirtualDisplay::available(&missing))
        GTEST_SKIP() << missing << " not installed";
    zutest::TempDir dir;
    zutest::StationProcess station(readFile(kSource + "/res/demo-station.json"));
    ASSERT_TRUE(station.running()) << station.error();
    support::VirtualDisplay display;
    ASSERT_TRUE(display.running()) << display.error();
    // A record another run left: File1 a valid image, a gap, File3, and a stray value.
    std::filesystem::create_directories(dir.file("config/Quorvane"));
    const std::string store = dir.file("config/Quorvane/zentavo-update.conf");
    const std::string image = zutest::makeImageFile(dir.file("cluster.bin"), 1000, 3, 7, 0x01010202);
    const std::string started = zutest::makeImageFile(dir.file("fader.mem"), 100, 1, 8, 0x01010404);
    std::ofstream(store) << "[Recent%20File%20List]\nFile1=" << image << "\nFile3=/fw/old.mem\nStray=x\n";
    // Only matters in sanitized builds; see the file for why.
    const char* lsan = std::getenv("LSAN_OPTIONS");
    const std::string suppress = "suppressions=" + kSource + "/tests/e2e/lsan.supp";
    const std::string output = dir.file("program-output.txt");
    support::ChildProcess updater({zutest::binDir() + "/zentavo-update", started},
                                  {{"QT_QPA_PLATFORM", "xcb"},
                                   {"DISPLAY", display.display()},
                                   {"TESTDLL_NETWORK", station.endpoint()},
                                   {"TESTDLL_TIMEOUT_MS", "200"},
                                   {"XDG_CONFIG_HOME", dir.file("config")},
                                   {"LSAN_OPTIONS", lsan ? std::string(lsan) + ":" + suppress : suppress}},
                                  output);

    std::vector<std::string> windows;
    const auto until = std::chrono::steady_clock::now() + 60s; // sanitized builds start slowly
    while (windows.empty() && updater.running() && std::chrono::steady_clock::now() < until)
        windows = display.visibleWindows("Zentavo software update");
    ASSERT_EQ(windows.size(), 1u) << readFile(output);
    // The store is left alone until the exit step.
    EXPECT_NE(readFile(store).find("Stray=x"), std::string::npos);
    ASSERT_EQ(display.xdotool({"windowfocus", "--sync", windows.front()}), 0);
    ASSERT_EQ(display.xdotool({"key", "Escape"}), 0);
    ASSERT_TRUE(updater.wait(20s)) << "still running after Escape";
    EXPECT_TRUE(updater.exitedWith(0)) << "status " << updater.status() << "\n" << readFile(output);
    const std::string stored = readFile(store);
    EXPECT_EQ(stored.find("Stray"), std::string::npos) << stored;
    const std::string record = "File1=" + started + "\nFile2=" + image + "\nFile4=/fw/old.mem\n";
    EXPECT_NE(stored.find(record), std::string::npos) << stored;
}
