// zentavo-flash against stationsim: exit status and exact lines of each
// command, JSON read back, Ctrl-C in the transfer (nothing committed) and in
// the flash (waited for), and a library without the per-device operation.
#include "tests/support/ChildProcess.h"
#include "tests/support/StationProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

using namespace std::chrono_literals;
using nlohmann::json;

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

bool hasLine(const std::string& text, const std::string& line) {
    const auto all = lines(text);
    return std::find(all.begin(), all.end(), line) != all.end();
}

zutest::StationLayout station(std::uint32_t linkKbps, std::uint32_t flashKbps) {
    zutest::StationLayout s{linkKbps, flashKbps, 0, {}};
    s.devices.push_back({.id = 101, .address = "192.168.1.10", .name = "Cluster A", .sub = 2});
    s.devices.push_back({.id = 102, .address = "192.168.1.11", .name = "Cluster B", .sub = 3, .letter = 'B'});
    s.devices.push_back(
        {.id = 121, .name = "Fader", .kind = 2, .letter = 'F', .minor = 7, .accepts = {3, 4}});
    return s;
}

struct Flash {
    zutest::TempDir dir;
    zutest::StationProcess station;
    std::string image = zutest::makeImageFile(dir.file("c.bin"), 400000, 3, 7, 2);
    support::EnvChanges env{{"TESTDLL_NETWORK", station.endpoint()},
                            {"TESTDLL_TIMEOUT_MS", "200"},
                            {"XDG_STATE_HOME", dir.file("state")}};

    explicit Flash(const zutest::StationLayout& layout) : station(layout) {}

    int run(std::vector<std::string> args, std::string& out) {
        args.insert(args.begin(), zutest::binDir() + "/zentavo-flash");
        return support::runProgram(args, env, &out, 30s);
    }
    std::string history() {
        std::ifstream in(dir.file("state/Quorvane/zentavo-update/history.jsonl"));
        return {std::istreambuf_iterator<char>(in), {}};
    }
};

} // namespace

TEST(Flash, CommandsAnswerWithTheirLinesAndStatus) {
    zutest::StationLayout layout = station(0, 0);
    layout.devices[1].faults.dropAfter = 1024;
    Flash f(layout);
    ASSERT_TRUE(f.station.running()) << f.station.error();
    const std::string bad = f.dir.write("bad.bin", "not an image");
    const struct {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> lines; // each found whole in the output
    } rows[] = {
        {{"scan"},
         0,
         {"    101  |  192.168.1.10  |  V.  1.00  |  Cluster A  |  Cluster A (02) ",
          "    121  |  192.168.1.20  |  V.  1.07  |  Fader  |  Pellard 64 "}},
        {{"info", f.image}, 0, {"[NetAppl]  Test image  Ver. 3.07  Date: 24/5/17"}},
        {{"info", bad}, 2, {"Invalid program file"}},
        {{"update", bad, "--all"}, 2, {"zentavo-flash: " + bad + ": Invalid program file"}},
        {{"update", f.image}, 2, {"zentavo-flash: update takes either --all or --device ID"}},
        {{"update", f.image, "--all"},
         1,
         {"101  Cluster A  1.00 -> 3.07  committed",
          "102  Cluster B  1.00 -> 1.00  transfer-failed: the connection was lost during the transfer"}},
        {{"update", f.image, "--device", "121", "--device", "999"},
         1,
         {"121  Fader  1.07 -> 1.07  refused: image type NetAppl is not accepted by this device",
          "999    - -> -  unreachable: the station does not know this device"}},
        {{"update", f.image, "--device", "999"},
         3,
         {"zentavo-flash: No valid Quorvane stations found - Refresh to Select Device"}},
        {{"history", "-n", "x"}, 2, {"zentavo-flash: -n takes a count, not 'x'"}},
        {{"history", "-n", "1"}, 0, {}},
    };
    for (const auto& row : rows) {
        std::string out;
        EXPECT_EQ(f.run(row.args, out), row.status) << row.args[0] << "\n" << out;
        for (const std::string& line : row.lines)
            EXPECT_TRUE(hasLine(out, line)) << line << "\n---\n" << out;
    }
    // Three jobs reached a device; -n 1 printed the newest alone.
    std::string out;
    ASSERT_EQ(f.run({"history"}, out), 0);
    ASSERT_EQ(lines(out).size(), 2u) << out;
    EXPECT_NE(lines(out)[1].find("  update  network  NetAppl 3.07  "), std::string::npos) << out;

    // JSON: the scan's eligibility, and the update's last line exactly as the history holds it.
    ASSERT_EQ(f.run({"scan", "--json"}, out), 0);
    const json scan = json::parse(out);
    ASSERT_EQ(scan.size(), 3u);
    EXPECT_EQ(scan[1]["version"], "1.00"); // the dropped one kept its firmware
    EXPECT_EQ(scan[0]["eligible"], true);
    EXPECT_EQ(scan[2]["eligible"], false);
    ASSERT_EQ(f.run({"update", f.image, "--device", "101", "--json"}, out), 0) << out;
    const auto events = lines(out);
    EXPECT_EQ(json::parse(events.front())["event"], "start");
    EXPECT_EQ(events.back() + "\n", lines(f.history()).back() + "\n");
    EXPECT_EQ(json::parse(events.back())["result"], "ok");
    ASSERT_EQ(f.run({"history", "--json"}, out), 0);
    EXPECT_EQ(lines(out).back(), events.back());
}

// 400 kB at 2 Mbit/s and 200 kB/s of flash: about two seconds in each phase.
TEST(Flash, CtrlCCancelsTheTransferButWaitsForTheFlash) {
    const struct {
        const char* waitFor; // in the output before the first Ctrl-C
        const char* outcome;
        const char* after;
    } rows[] = {{"\"phase\":\"transfer\"", "cancelled", "1.00"}, {"flash-warning", "committed", "3.07"}};
    for (const auto& row : rows) {
        Flash f(station(2000, 200));
        ASSERT_TRUE(f.station.running()) << f.station.error();
        support::ChildProcess flash(
            {zutest::binDir() + "/zentavo-flash", "update", f.image, "--all", "--json"}, f.env,
            f.dir.file("out"));
        const auto seen = [&](const char* text) {
            return flash.waitForOutput(
                [&](const std::string& o) { return o.find(text) != std::string::npos; }, 20s);
        };
        ASSERT_TRUE(seen(row.waitFor));
        flash.signal(SIGINT);
        // Later stop signals change nothing, while the job winds down and once it has ended.
        ASSERT_TRUE(seen("\"event\":\"cancel\"")) << flash.output();
        flash.signal(SIGTERM);
        flash.signal(SIGHUP);
        ASSERT_TRUE(seen("\"result\":")) << flash.output();
        flash.signal(SIGHUP);
        flash.signal(SIGTERM);
        ASSERT_TRUE(flash.wait(20s));
        EXPECT_TRUE(flash.exitedWith(1)) << flash.output();
        const json entry = json::parse(lines(flash.output()).back());
        ASSERT_EQ(entry["targets"].size(), 2u);
        for (const json& target : entry["targets"]) {
            EXPECT_EQ(target["outcome"], row.outcome) << row.waitFor;
            EXPECT_EQ(target["after"], row.after) << row.waitFor;
        }
    }
}

TEST(Flash, RunsOnALibraryWithoutPerDeviceProgress) {
    Flash f(station(0, 0));
    ASSERT_TRUE(f.station.running()) << f.station.error();
    f.env.emplace_back("LD_LIBRARY_PATH", std::getenv("ZU_OLDER_LIB_DIR"));
    std::string out;
    EXPECT_EQ(f.run({"update", f.image, "--all"}, out), 0) << out;
    EXPECT_TRUE(hasLine(out, "warning: Programming flash - do not turn machine off  !!!")) << out;
    EXPECT_TRUE(hasLine(out, "102  Cluster B  1.00 -> 3.07  committed")) << out;
}
