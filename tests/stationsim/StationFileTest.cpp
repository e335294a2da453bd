// Station file, state file and command line: each kind of unknown key, wrong type,
// out-of-range value and bad option stops stationsim with exit 2 and one line naming
// the key, without touching a regular file in the serial link's place; the values
// just inside the limits are accepted.
#include "SimHarness.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace simtest;

namespace {

// A station whose second device has valid keys plus `extra`.
std::string dev(const std::string& extra) {
    return R"({"devices": [{"id": 1}, {"id": 7, "name": "ok", )" + extra + "}]}";
}

TEST(StationFile, EachErrorExitsTwoNamingTheKey) {
    const struct {
        std::string json, message;
    } rows[] = {
        {R"({"link_kbps": 1, "flash_kpbs": 2})", "flash_kpbs: unknown key"},
        {dev(R"("serail": true)"), "devices[1].serail: unknown key"},
        {dev(R"("faults": {"stal_after": 3})"), "devices[1].faults.stal_after: unknown key"},
        {"[1, 2]", "(top level): expected a JSON object"},
        {R"({"link_kbps": -1})", "link_kbps: out of range"},
        {R"({"serial_baud": 4294967296})", "serial_baud: out of range"},
        {R"({"flash_kbps": 1.5})", "flash_kbps: expected an integer"},
        {R"({"devices": {"id": 1}})", "devices: expected an array"},
        {R"({"devices": [5]})", "devices[0]: expected an object"},
        {R"({"devices": [{"id": 1}, {"name": "x"}]})", "devices[1].id: missing"},
        {dev(R"("id": 0)"), "devices[1].id: must not be 0"},
        {dev(R"("id": 2147483648)"), "devices[1].id: out of range"},
        {dev(R"("id": -2147483649)"), "devices[1].id: out of range"},
        {dev(R"("id": "7")"), "devices[1].id: expected an integer"},
        {dev(R"("id": 1)"), "devices[1].id: duplicate id 1"},
        {dev(R"("address": "host")"), "devices[1].address: expected a dotted"},
        {dev(R"("address": "192.168.1.256")"), "devices[1].address"},
        {dev(R"("address": "10.0.1")"), "devices[1].address"},
        {dev(R"("address": "10.0.0.1.")"), "devices[1].address"},
        {dev(R"("address": 167772161)"), "devices[1].address"},
        {dev(R"("name": ")" + std::string(64, 'n') + "\""), "devices[1].name: longer than 63 bytes"},
        {dev(R"("name": 5)"), "devices[1].name: expected a string"},
        {dev(R"("family": 256)"), "devices[1].family: out of range (0..255)"},
        {dev(R"("sub": true)"), "devices[1].sub: expected an integer"},
        {dev(R"("letter": "AB")"), "devices[1].letter: expected exactly one"},
        {dev(R"("letter": "")"), "devices[1].letter: expected exactly one"},
        {dev(R"("letter": "é")"), "devices[1].letter"},
        {dev(R"("version": [1])"), "devices[1].version: expected [major"},
        {dev(R"("version": [1, -1])"), "devices[1].version[1]: out of"},
        {dev(R"("version": [1.5, 0])"), "devices[1].version[0]: expected"},
        {dev(R"("serial": 1)"), "devices[1].serial: expected true or false"},
        {dev(R"("faults": [])"), "devices[1].faults: expected an object"},
        {dev(R"("faults": {"drop_after": -5})"), "devices[1].faults.drop_after: out of range"},
        {R"({"devices": [ {"id": 1,} ]})", "malformed JSON: parse error"},
        {"", "malformed JSON"},
    };
    TempDir dir;
    for (const auto& row : rows) {
        const std::string path = dir.write("station.json", row.json);
        const Exit e = runSim({"--station", path, "--port", "0"});
        EXPECT_EQ(e.code, 2) << row.json << e.err;
        EXPECT_NE(e.err.find("stationsim: " + path + ": " + row.message), std::string::npos) << e.err;
        EXPECT_EQ(e.err.find('\n'), e.err.size() - 1) << "one line: " << e.err;
    }
}

TEST(StationFile, LimitsJustInsideAreAccepted) {
    StationProcess sim(R"({"link_kbps": 4294967295, "devices": [
        {"id": 2147483647, "name": ")" +
                       std::string(63, 'n') +
                       R"(", "family": 255, "kind": 0, "sub": 255, "letter": "\u0000",
         "address": "255.255.255.255", "version": [2147483647, 0],
         "faults": {"drop_after": 4294967295, "delay_ms": 0}},
        {"id": -2147483648, "address": "0.0.0.0"}]})");
    ASSERT_TRUE(sim.running()) << sim.error();
    EXPECT_EQ(sim.stop(), 0);
}

// "@" is a valid station file, "@state" a state file holding `state`, "@dir" a
// folder, "@file" a regular file nobody may replace.
TEST(CommandLine, EachBadOptionOrStateFileExitsTwo) {
    const struct {
        std::vector<std::string> args;
        std::string state, message;
    } rows[] = {
        {{"--port", "0"}, "", "--station FILE is required"},
        {{"--station", "@", "--verbose"}, "", "unknown option '--verbose'"},
        {{"--station", "@", "extra"}, "", "unknown option 'extra'"},
        {{"--station", "@", "--port"}, "", "--port needs a value"},
        {{"--station", "@", "--port", "http"}, "", "not a port number"},
        {{"--station", "@", "--port", "65536"}, "", "not a port number"},
        {{"--station", "@", "--port=-1"}, "", "not a port number"},
        {{"--station", "@", "--state="}, "", "--state needs a non-empty"},
        {{"--station", "@dir/nope.json"}, "", "nope.json: cannot read"},
        {{"--station", "@dir"}, "", ": cannot read: not a regular file"},
        {{"--station", "@", "--state", "@state"}, R"({"versions": {"1": [1]}})", "not a valid state file"},
        {{"--station", "@", "--state", "@state"}, R"({"versions": {"x": [1, 2]}})", "(bad entry \"x\")"},
        {{"--station", "@", "--state", "@state"}, "not json", "(malformed JSON)"},
        {{"--station", "@", "--state", "@dir"}, "", ": cannot read"},
        {{"--station", "@", "--serial", "@file"}, "", "@file"},
    };
    TempDir dir;
    const std::string file = dir.write("ttyS9", "precious");
    for (const auto& row : rows) {
        std::vector<std::string> args = row.args;
        std::string message = row.message;
        auto fill = [&](std::string& s) {
            if (s == "@")
                s = dir.write("s.json", R"({"devices": [{"id": 1, "serial": true}]})");
            else if (s == "@state")
                s = dir.write("state.json", row.state);
            else if (s == "@file")
                s = file;
            else if (s.rfind("@dir", 0) == 0)
                s = dir.path() + s.substr(4);
        };
        for (auto& a : args)
            fill(a);
        fill(message);
        const Exit e = runSim(args);
        EXPECT_EQ(e.code, 2) << args.back() << e.err;
        EXPECT_NE(e.err.find(message), std::string::npos) << e.err;
    }
    struct stat st {};
    ASSERT_EQ(::lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << "a regular file is never replaced by the serial link";
}

} // namespace
