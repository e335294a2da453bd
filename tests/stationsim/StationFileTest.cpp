// Station file, state file and command line: every unknown key, wrong type,
// out-of-range value and bad option stops stationsim with exit 2 and a message
// naming the key; the boundary values just inside the limits are accepted.
#include "SimHarness.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace simtest;

namespace {

struct BadStation {
    const char* label;
    std::string json;
    std::string message; // expected in stderr
};

void PrintTo(const BadStation& b, std::ostream* os) {
    *os << b.label;
}

// A device with valid keys, where `extra` adds or overrides one.
std::string device(const std::string& extra) {
    return R"({"id": 7, "name": "ok")" + (extra.empty() ? "" : ", " + extra) + "}";
}
std::string station(const std::string& deviceJson) {
    return R"({"link_kbps": 0, "devices": [{"id": 1}, )" + deviceJson + "]}";
}

class StationFileErrors : public ::testing::TestWithParam<BadStation> {};

TEST_P(StationFileErrors, ExitTwoNamingTheKey) {
    TempDir dir;
    const std::string path = dir.write("station.json", GetParam().json);
    const Exit e = runToExit({"--station", path, "--port", "0"});
    EXPECT_EQ(e.code, 2) << e.err;
    EXPECT_NE(e.err.find("stationsim: " + path + ": " + GetParam().message), std::string::npos) << e.err;
    EXPECT_EQ(e.err.find('\n'), e.err.size() - 1) << "one line: " << e.err;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StationFileErrors,
    ::testing::Values(
        BadStation{"unknown top key", R"({"link_kbps": 1, "flash_kpbs": 2})", "flash_kpbs: unknown key"},
        BadStation{"unknown device key", station(device(R"("serail": true)")),
                   "devices[1].serail: unknown key"},
        BadStation{"unknown fault key", station(device(R"("faults": {"stal_after": 3})")),
                   "devices[1].faults.stal_after: unknown key"},
        BadStation{"top not object", "[1, 2]", "(top level): expected a JSON object"},
        BadStation{"link negative", R"({"link_kbps": -1})", "link_kbps: out of range"},
        BadStation{"flash float", R"({"flash_kbps": 1.5})", "flash_kbps: expected an integer"},
        BadStation{"baud string", R"({"serial_baud": "115200"})", "serial_baud: expected an integer"},
        BadStation{"baud too big", R"({"serial_baud": 4294967296})", "serial_baud: out of range"},
        BadStation{"devices object", R"({"devices": {"id": 1}})", "devices: expected an array"},
        BadStation{"device not object", R"({"devices": [5]})", "devices[0]: expected an object"},
        BadStation{"missing id", station(R"({"name": "x"})"), "devices[1].id: missing"},
        BadStation{"id zero", station(device(R"("id": 0)")), "devices[1].id: must not be 0"},
        BadStation{"id too big", station(device(R"("id": 2147483648)")), "devices[1].id: out of range"},
        BadStation{"id too small", station(device(R"("id": -2147483649)")), "devices[1].id: out of range"},
        BadStation{"id string", station(device(R"("id": "7")")), "devices[1].id: expected an integer"},
        BadStation{"duplicate id", station(device(R"("id": 1)")), "devices[1].id: duplicate id 1"},
        BadStation{"address text", station(device(R"("address": "host")")),
                   "devices[1].address: expected a dotted"},
        BadStation{"address octet", station(device(R"("address": "192.168.1.256")")), "devices[1].address"},
        BadStation{"address three parts", station(device(R"("address": "10.0.1")")), "devices[1].address"},
        BadStation{"address trailing dot", station(device(R"("address": "10.0.0.1.")")),
                   "devices[1].address"},
        BadStation{"address number", station(device(R"("address": 167772161)")), "devices[1].address"},
        BadStation{"name 64 bytes", station(device(R"("name": ")" + std::string(64, 'n') + "\"")),
                   "devices[1].name: longer than 63 bytes"},
        BadStation{"name number", station(device(R"("name": 5)")), "devices[1].name: expected a string"},
        BadStation{"family 256", station(device(R"("family": 256)")),
                   "devices[1].family: out of range (0..255)"},
        BadStation{"kind negative", station(device(R"("kind": -1)")), "devices[1].kind: out of range"},
        BadStation{"sub bool", station(device(R"("sub": true)")), "devices[1].sub: expected an integer"},
        BadStation{"letter two", station(device(R"("letter": "AB")")),
                   "devices[1].letter: expected exactly one"},
        BadStation{"letter empty", station(device(R"("letter": "")")),
                   "devices[1].letter: expected exactly one"},
        BadStation{"letter non-ascii", station(device(R"("letter": "é")")), "devices[1].letter"},
        BadStation{"letter number", station(device(R"("letter": 65)")), "devices[1].letter"},
        BadStation{"version one part", station(device(R"("version": [1])")),
                   "devices[1].version: expected [major"},
        BadStation{"version text", station(device(R"("version": "1.2")")),
                   "devices[1].version: expected [major"},
        BadStation{"version negative", station(device(R"("version": [1, -1])")),
                   "devices[1].version[1]: out of"},
        BadStation{"version float", station(device(R"("version": [1.5, 0])")),
                   "devices[1].version[0]: expected"},
        BadStation{"serial number", station(device(R"("serial": 1)")),
                   "devices[1].serial: expected true or false"},
        BadStation{"faults array", station(device(R"("faults": [])")),
                   "devices[1].faults: expected an object"},
        BadStation{"silent number", station(device(R"("faults": {"silent": 1})")),
                   "devices[1].faults.silent"},
        BadStation{"drop negative", station(device(R"("faults": {"drop_after": -5})")),
                   "devices[1].faults.drop_after: out of range"},
        BadStation{"delay string", station(device(R"("faults": {"delay_ms": "10"})")),
                   "devices[1].faults.delay_ms: expected an integer"},
        BadStation{"malformed", R"({"devices": [ {"id": 1,} ]})", "malformed JSON: parse error"},
        BadStation{"empty file", "", "malformed JSON"}),
    [](const auto& row) {
        std::string name = row.param.label;
        for (char& c : name)
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

TEST(StationFile, MissingOrUnreadableFileIsNamed) {
    TempDir dir;
    Exit e = runToExit({"--station", dir.file("nope.json")});
    EXPECT_EQ(e.code, 2);
    EXPECT_NE(e.err.find(dir.file("nope.json") + ": cannot read"), std::string::npos) << e.err;
    e = runToExit({"--station", dir.file("")});
    EXPECT_EQ(e.code, 2) << "a directory is not a station file";
}

TEST(StationFile, LimitsJustInsideAreAccepted) {
    TempDir dir;
    const std::string json = R"({"link_kbps": 4294967295, "devices": [
        {"id": 2147483647, "name": ")" +
                             std::string(63, 'n') +
                             R"(", "family": 255, "kind": 0, "sub": 255, "letter": "\u0000",
         "address": "255.255.255.255", "version": [2147483647, 0],
         "faults": {"drop_after": 4294967295, "delay_ms": 0}},
        {"id": -2147483648, "address": "0.0.0.0"}]})";
    Sim sim({"--station", dir.write("s.json", json), "--port", "0"});
    ASSERT_TRUE(sim.ready()) << sim.err();
    EXPECT_EQ(sim.stop(), 0);
}

struct BadOptions {
    const char* label;
    std::vector<std::string> args; // "@" is replaced by a valid station file
    std::string message;
};
void PrintTo(const BadOptions& b, std::ostream* os) {
    *os << b.label;
}

class OptionErrors : public ::testing::TestWithParam<BadOptions> {};

TEST_P(OptionErrors, ExitTwoWithMessage) {
    TempDir dir;
    const std::string path = dir.write("s.json", R"({"devices": []})");
    std::vector<std::string> args = GetParam().args;
    for (auto& a : args)
        if (a == "@")
            a = path;
    const Exit e = runToExit(args);
    EXPECT_EQ(e.code, 2) << e.err;
    EXPECT_NE(e.err.find(GetParam().message), std::string::npos) << e.err;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, OptionErrors,
    ::testing::Values(BadOptions{"no station", {"--port", "0"}, "--station FILE is required"},
                      BadOptions{"unknown", {"--station", "@", "--verbose"}, "unknown option '--verbose'"},
                      BadOptions{"stray word", {"--station", "@", "extra"}, "unknown option 'extra'"},
                      BadOptions{"missing value", {"--station", "@", "--port"}, "--port needs a value"},
                      BadOptions{"port text", {"--station", "@", "--port", "http"}, "not a port number"},
                      BadOptions{"port too big", {"--station", "@", "--port", "65536"}, "not a port number"},
                      BadOptions{"port negative", {"--station", "@", "--port=-1"}, "not a port number"},
                      BadOptions{"empty state", {"--station", "@", "--state="}, "--state needs a non-empty"}),
    [](const auto& row) {
        std::string name = row.param.label;
        for (char& c : name)
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

TEST(StateFile, GarbledOrUnreadableStateIsNamed) {
    TempDir dir;
    const std::string station = dir.write("s.json", R"({"devices": [{"id": 1}]})");
    for (const std::string& text :
         {std::string("{\"versions\": {\"1\": [1]}}"), std::string("not json"),
          std::string("{\"versions\": {\"x\": [1, 2]}}"), std::string("[]"), std::string("")}) {
        const std::string state = dir.write("state.json", text);
        const Exit e = runToExit({"--station", station, "--port", "0", "--state", state});
        EXPECT_EQ(e.code, 2) << text;
        EXPECT_NE(e.err.find("stationsim: " + state + ": "), std::string::npos) << e.err;
    }
    const Exit e = runToExit({"--station", station, "--port", "0", "--state", dir.file("")});
    EXPECT_EQ(e.code, 2) << "a directory is not a state file";
}

TEST(SerialOption, RefusesToReplaceARegularFile) {
    TempDir dir;
    const std::string station = dir.write("s.json", R"({"devices": [{"id": 1, "serial": true}]})");
    const std::string tty = dir.write("ttyS9", "precious");
    const Exit e = runToExit({"--station", station, "--port", "0", "--serial", tty});
    EXPECT_EQ(e.code, 2);
    EXPECT_NE(e.err.find(tty), std::string::npos) << e.err;
    struct stat st {};
    ASSERT_EQ(::lstat(tty.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
}

} // namespace
