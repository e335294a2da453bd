// zentavo-flash against stationsim: exit status and exact lines of each command
// (usage refusals, silent and unknown devices, devices left out, names with control
// characters), the reason for each kind of invalid file, the policy on re-runs and
// downgrades with its dry run, two stations in one history, a history that is no
// file, Ctrl-C in the transfer (nothing committed) and in the flash (waited for),
// a library without the per-device operation, and the serial line.
#include "tests/support/ChildProcess.h"
#include "tests/support/StationProcess.h"
#include "wire/Crc32.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>

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

// A whole line of the output, or (starting with '~') a part of one.
bool hasLine(const std::string& text, const std::string& line) {
    if (line.starts_with('~'))
        return text.find(line.substr(1)) != std::string::npos;
    const auto all = lines(text);
    return std::find(all.begin(), all.end(), line) != all.end();
}

std::vector<json> jsonLines(const std::string& text) {
    std::vector<json> out;
    for (const std::string& line : lines(text))
        out.push_back(json::parse(line, nullptr, false));
    return out;
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

    explicit Flash(const zutest::StationLayout& layout, const zutest::StationOptions& options = {})
        : station(layout, options) {}

    int run(std::vector<std::string> args, std::string& out) {
        args.insert(args.begin(), zutest::binDir() + "/zentavo-flash");
        return support::runProgram(args, env, &out, 30s);
    }
};

} // namespace

TEST(Flash, CommandsAnswerWithTheirLinesAndStatus) {
    zutest::StationLayout layout = station(0, 0);
    layout.devices[1].faults.dropAfter = 1024;
    layout.devices[1].name = "Cluster \x1b]0;owned\x07";
    layout.devices.push_back({.id = 401, .faults = {.silent = true}});
    Flash f(layout);
    ASSERT_TRUE(f.station.running()) << f.station.error();
    const std::string bad = f.dir.write("bad.bin", "not an image");
    const std::string& img = f.image;
    const struct {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> lines;
    } rows[] = {
        {{"scan"},
         0,
         {"    101  |  192.168.1.10  |  V.  1.00  |  Cluster A  |  Cluster A (02) ",
          "    102  |  192.168.1.11  |  V.  1.00  |  Cluster \\x1b]0;owned\\x07  |  Cluster B (03) ",
          "    121  |  192.168.1.20  |  V.  1.07  |  Fader  |  Pellard 64 ", "    401  no answer"}},
        {{"info", img}, 0, {"[NetAppl]  Test image  Ver. 3.07  Date: 24/5/17", "~size 400064  crc32 "}},
        {{"info", bad}, 2, {"Invalid program file", "zentavo-flash: " + bad + ": too short"}},
        {{"update", bad, "--all"}, 2, {"zentavo-flash: " + bad + ": Invalid program file: too short"}},
        {{"update", img, "--all", "--sha256", std::string(64, '0')}, 2, {"~: SHA-256 is ", "~, not 0000"}},
        {{"update", img}, 2, {"zentavo-flash: update takes either --all or --device ID"}},
        {{"update", img, "--all", "--port", "com1"}, 2, {"~--port sends to one device"}},
        {{"update", img, "--device", "1", "--device", "2", "--port", "com2"},
         2,
         {"~--port sends to one device"}},
        {{"update", "", "--all"}, 2, {"zentavo-flash: update takes one FILE"}},
        {{"--station", "127.0.0.1:99999", "scan"}, 2, {"~--station takes HOST:PORT"}},
        {{"history", "-n", "x"}, 2, {"zentavo-flash: -n takes a count, not 'x'"}},
        {{"-h"}, 0, {"~Usage: zentavo-flash scan"}},
        {{"update", img, "--all"},
         1,
         {"101  Cluster A  1.00 -> 3.07  committed",
          "102  Cluster \\x1b]0;owned\\x07  1.00 -> 1.00  transfer-failed: the connection was lost during "
          "the "
          "transfer",
          "    121  left out: not eligible", "    401  left out: not answering"}},
        {{"update", img, "--device", "121", "--device", "999", "--device", "121"},
         1,
         {"121  Fader  1.07 -> 1.07  refused: image type NetAppl is not accepted by this device",
          "999    - -> -  unreachable: not listed by the station"}},
        {{"update", img, "--device", "401"}, 3, {"401    - -> -  unreachable: no answer"}},
        {{"history", "-n", "1"}, 0, {}},
    };
    for (const auto& row : rows) {
        std::string out;
        EXPECT_EQ(f.run(row.args, out), row.status) << row.args[0] << "\n" << out;
        for (const std::string& line : row.lines)
            EXPECT_TRUE(hasLine(out, line)) << line << "\n---\n" << out;
    }
    std::vector<std::string> many{"update", img};
    for (int id = 1; id <= 41; ++id)
        many.insert(many.end(), {"--device", std::to_string(id)});
    std::string out;
    EXPECT_EQ(f.run(many, out), 2) << "more targets than a job takes, before any device is asked";
    EXPECT_TRUE(hasLine(out, "zentavo-flash: one job takes at most 40 devices, not 41")) << out;

    // Two jobs reached a device; the one with no device answering left no entry.
    ASSERT_EQ(f.run({"history"}, out), 0);
    ASSERT_EQ(lines(out).size(), 2u) << out;
    EXPECT_TRUE(hasLine(out, "~  update  network  " + f.station.endpoint() + "  NetAppl 3.07  ")) << out;
    ASSERT_EQ(f.run({"scan", "--json"}, out), 0);
    const json scan = json::parse(out);
    ASSERT_EQ(scan.size(), 4u);
    EXPECT_TRUE(scan[0]["eligible"] == true && scan[2]["eligible"] == false && scan[1]["version"] == "1.00");
    EXPECT_EQ(scan[3], json({{"id", 401}, {"answering", false}}));

    // An unusable setting is named; a history that is no file is refused in one line, not read.
    f.env[1].second = "abc";
    const std::string history = f.dir.file("state/Quorvane/zentavo-update/history.jsonl");
    ASSERT_TRUE(std::remove(history.c_str()) == 0 && ::mkfifo(history.c_str(), 0600) == 0);
    EXPECT_EQ(f.run({"history"}, out), 1);
    EXPECT_EQ(lines(out),
              (std::vector<std::string>{
                  "zentavo-flash: warning: TESTDLL_TIMEOUT_MS=abc is not usable; the library uses 500 ms",
                  "zentavo-flash: cannot read " + history + ": not a regular file"}));
}

// Each way a file can be no image is named (as `info` and `update` refuse it); a signed
// image shows its key's id and counter.
TEST(Flash, InfoSaysWhyOrWhoSigned) {
    zutest::TempDir dir;
    const std::string mk = zutest::binDir() + "/mkfwimage",
                      image = zutest::makeImageFile(dir.file("u.bin"), 100, 3, 7, 2);
    std::string out;
    ASSERT_EQ(support::runProgram({mk, "keygen", "--out", dir.file("k")}, {}, nullptr), 0);
    ASSERT_EQ(support::runProgram(
                  {mk, "sign", "--key", dir.file("k.key"), "--counter", "7", image, "-o", dir.file("s.bin")},
                  {}, nullptr),
              0);
    ASSERT_EQ(support::runProgram({zutest::binDir() + "/zentavo-flash", "info", dir.file("s.bin"), "--json"},
                                  {}, &out),
              0);
    EXPECT_EQ(json::parse(out)["signature"]["counter"], 7);
    EXPECT_EQ(json::parse(out)["signature"]["key_id"].get<std::string>().size(), 16u);
    const std::vector<std::uint8_t> good = zutest::makeImageBytes(1000);
    const auto patched = [&](std::size_t at, std::vector<std::uint8_t> bytes, bool fixHeaderCrc) {
        std::vector<std::uint8_t> copy = good;
        std::copy(bytes.begin(), bytes.end(), copy.begin() + static_cast<std::ptrdiff_t>(at));
        const std::uint32_t crc = wire::crc32Of(copy.data(), 60);
        if (fixHeaderCrc)
            std::copy_n(reinterpret_cast<const std::uint8_t*>(&crc), 4, copy.begin() + 60);
        return std::string(copy.begin(), copy.end());
    };
    const std::pair<std::string, std::string> rows[] = {
        {"", "not a regular file"}, // a folder
        {std::string(good.begin(), good.begin() + 40), "too short"},
        {patched(0, {'X'}, true), "not a firmware image"},
        {patched(4, {2}, true), "unsupported format"},
        {patched(32, {9}, false), "bad header CRC"},
        {patched(30, {'Z'}, true), "bad name field"},
        {patched(52, {0xFF, 0xFF, 0xFF, 0xFF}, true), "too large"},
        {std::string(good.begin(), good.end() - 1), "truncated or trailing bytes"},
        {patched(500, {static_cast<std::uint8_t>(~good[500])}, false), "bad payload CRC"}};
    for (const auto& [bytes, reason] : rows) {
        const std::string path = bytes.empty() ? dir.path() : dir.write("f.bin", bytes);
        EXPECT_EQ(
            support::runProgram({zutest::binDir() + "/zentavo-flash", "info", path, "--json"}, {}, &out), 2);
        EXPECT_EQ(json::parse(lines(out).front())["reason"], reason) << out;
    }
}

// Re-runs change nothing, downgrades only when allowed, a plan touches nothing; every
// entry names its station and the history can be asked for one station's jobs.
TEST(Flash, PolicyDryRunAndTwoStations) {
    zutest::TempDir state;
    zutest::StationLayout layout = zutest::makeStation(3);
    layout.devices[2].major = 4;
    Flash a(layout, {.statePath = state.file("a.json")});
    Flash b(zutest::makeStation(1));
    ASSERT_TRUE(a.station.running() && b.station.running());
    b.env.back().second = a.env.back().second; // one history for both
    std::string out;
    const auto plan = [&](std::initializer_list<std::string> more) {
        std::vector<std::string> args{"update", a.image, "--all", "--dry-run", "--json"};
        args.insert(args.end(), more);
        const int status = a.run(args, out);
        const std::string before = zutest::readFile(state.file("a.json"));
        std::vector<std::string> actions;
        for (const json& event : jsonLines(out)) {
            if (event.value("event", "") == "plan")
                actions.push_back(event.value("action", "") + " " + event.value("after", ""));
        }
        EXPECT_EQ(zutest::readFile(state.file("a.json")), before) << "a plan sends nothing";
        return std::make_pair(status, actions);
    };
    using Plan = std::pair<int, std::vector<std::string>>;
    EXPECT_EQ(plan({}), Plan(1, {"update 3.07", "update 3.07", "refused 4.00"}));
    EXPECT_EQ(a.run({"update", a.image, "--all"}, out), 1);
    EXPECT_TRUE(hasLine(out, "103  Device 103  4.00 -> 4.00  refused: older than installed 4.00")) << out;
    EXPECT_EQ(plan({}), Plan(1, {"current 3.07", "current 3.07", "refused 4.00"}));
    EXPECT_EQ(plan({"--allow-reinstall", "--allow-older"}),
              Plan(0, {"update 3.07", "update 3.07", "update 3.07"}));

    ASSERT_EQ(a.run({"update", a.image, "--all", "--json"}, out), 1); // nothing sent: no progress at all
    const std::vector<json> events = jsonLines(out);
    EXPECT_TRUE(std::none_of(events.begin(), events.end(),
                             [](const json& e) { return e.value("event", "") == "progress"; }));
    EXPECT_EQ(events.back()["targets"][0]["outcome"], "current");
    EXPECT_EQ(a.run({"update", a.image, "--device", "103", "--allow-older"}, out), 0);
    EXPECT_TRUE(hasLine(out, "103  Device 103  4.00 -> 3.07  committed")) << out;
    EXPECT_EQ(b.run({"update", b.image, "--device", "101"}, out), 0);

    // The run that sent nothing left no entry.
    ASSERT_EQ(a.run({"history", "--json"}, out), 0);
    ASSERT_EQ(lines(out).size(), 3u) << out;
    EXPECT_EQ(jsonLines(out).back()["station"], b.station.endpoint());
    ASSERT_EQ(a.run({"history", "--station", a.station.endpoint()}, out), 0);
    EXPECT_EQ(lines(out).size(), 2u) << "device 101 of the other station is not this one's";
}

// 400 kB at 2 Mbit/s and 200 kB/s of flash: about two seconds in each phase. The job ends
// as its outcomes say, interrupted or not, whatever stop signals come later.
TEST(Flash, CtrlCCancelsTheTransferButWaitsForTheFlash) {
    const struct {
        const char* waitFor; // in the output before the first Ctrl-C
        const char* outcome;
        const char* after;
        int status;
    } rows[] = {{"\"phase\":\"transfer\"", "cancelled", "1.00", 1},
                {"flash-warning", "committed", "3.07", 0}};
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
        EXPECT_TRUE(flash.exitedWith(row.status)) << flash.output();
        const json entry = json::parse(lines(flash.output()).back());
        EXPECT_EQ(entry["interrupted"], true);
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

// Over the serial line: the one device named, as "Use Com1" sends it.
TEST(Flash, SendsOverTheSerialLine) {
    zutest::TempDir tty;
    zutest::StationLayout layout = station(0, 0);
    layout.devices[2].serial = true; // the fader unit
    Flash f(layout, {.serialPath = tty.file("ttyS")});
    ASSERT_TRUE(f.station.running()) << f.station.error();
    f.env.emplace_back("TESTDLL_COM1", tty.file("ttyS"));
    const std::string mem = zutest::makeImageFile(f.dir.file("f.mem"), 20000, 1, 8, 4);
    std::string out;
    EXPECT_EQ(f.run({"update", mem, "--device", "121", "--port", "com1"}, out), 0) << out;
    EXPECT_TRUE(hasLine(out, "121  Fader  1.07 -> 1.08  committed")) << out;
}
