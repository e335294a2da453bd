// mkfwimage as a program: a good run read back through DllGetFileInfo and the
// loader, byte-identical output for the same arguments, and every kind of bad
// argument ending in exit 2 with a message naming it and no file written.
#include "ImageTestSupport.h"
#include "TestDll.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace imagetest;

namespace {

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// ctest names the binary folder; run by hand, the tool sits next to this test.
std::string tool() {
    if (const char* bin = std::getenv("ZU_BIN_DIR"))
        return std::string(bin) + "/mkfwimage";
    return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "mkfwimage").string();
}

std::string slurp(const std::string& path) {
    const auto bytes = readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

RunResult run(const TempDir& dir, const std::vector<std::string>& args) {
    const std::string outPath = dir.file("stdout.txt");
    const std::string errPath = dir.file("stderr.txt");
    std::vector<std::string> argv = {tool()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid == 0) {
        const int o = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int e = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(o, 1);
        ::dup2(e, 2);
        ::execv(cargv[0], cargv.data());
        ::_exit(127);
    }
    RunResult r;
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        r.exitCode = WEXITSTATUS(status);
    r.out = slurp(outPath);
    r.err = slurp(errPath);
    return r;
}

std::vector<std::string> goodArgs(const std::string& out) {
    return {"--type", "6",       "--name", "DSP Appl", "--version", "4.9",
            "--date", "17/3/25", "--size", "5000",     "-o",        out};
}

std::size_t countFiles(const std::filesystem::path& dir) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir))
        ++n;
    return n;
}

} // namespace

TEST(Mkfwimage, WritesAnImageTheLibraryDescribes) {
    TempDir dir;
    const auto out = dir.file("dsp.bin");
    const auto r = run(dir, {"--type", "0xFFFFFFFF", "--name", "ABCDEFGHIJKLMNOPQRS", "--version",
                             "2147483647.0", "--date", "4294967295/0/25", "--size", "70000", "-o", out});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    char name[20];
    std::int32_t d1 = 0, d2 = 0, d3 = 0, type = 0, major = 0, minor = 0;
    ASSERT_NE(DllGetFileInfo(out.c_str(), name, &d1, &d2, &d3, &type, &major, &minor), 0);
    EXPECT_STREQ(name, "ABCDEFGHIJKLMNOPQRS");
    EXPECT_EQ(type, -1);
    EXPECT_EQ(major, 2147483647);
    EXPECT_EQ(minor, 0);
    EXPECT_EQ(d1, -1);
    EXPECT_EQ(d2, 0);
    EXPECT_EQ(d3, 25);
    EXPECT_EQ(readFile(out).size(), fwimage::kHeaderSize + 70000);
}

TEST(Mkfwimage, PayloadFileIsCopiedVerbatim) {
    TempDir dir;
    const auto payloadPath = dir.file("payload.raw");
    const auto p = payload(1234);
    writeFile(payloadPath, p);
    const auto out = dir.file("net.bin");
    const auto r = run(dir, {"--type", "2", "--name", "NetAppl", "--version", "1.5", "--date", "1/2/3",
                             "--payload", payloadPath, "--output", out});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::uint8_t> contents;
    fwimage::ImageInfo info;
    ASSERT_EQ(fwimage::loadImageFile(out.c_str(), contents, info), fwimage::ImageError::None);
    EXPECT_EQ(std::vector<std::uint8_t>(contents.begin() + fwimage::kHeaderSize, contents.end()), p);
}

TEST(Mkfwimage, SameArgumentsGiveTheSameFile) {
    TempDir dir;
    ASSERT_EQ(run(dir, goodArgs(dir.file("a.bin"))).exitCode, 0);
    ASSERT_EQ(run(dir, goodArgs(dir.file("b.bin"))).exitCode, 0);
    const auto a = readFile(dir.file("a.bin"));
    EXPECT_EQ(a, readFile(dir.file("b.bin")));
    // The synthetic payload is not trivially constant.
    ASSERT_GT(a.size(), fwimage::kHeaderSize + 8);
    EXPECT_NE(a[fwimage::kHeaderSize], a[fwimage::kHeaderSize + 4]);
    // Replacing an existing file works and leaves no temporary behind.
    ASSERT_EQ(run(dir, goodArgs(dir.file("a.bin"))).exitCode, 0);
    EXPECT_EQ(countFiles(dir.path()), 4u); // a.bin, b.bin, stdout.txt, stderr.txt
}

TEST(Mkfwimage, HelpAndEmptyPayload) {
    TempDir dir;
    const auto help = run(dir, {"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("--payload FILE | --size BYTES"), std::string::npos);
    const auto out = dir.file("empty.bin");
    auto args = goodArgs(out);
    args[9] = "0";
    ASSERT_EQ(run(dir, args).exitCode, 0);
    EXPECT_EQ(readFile(out).size(), fwimage::kHeaderSize);
}

TEST(Mkfwimage, WriteFailureExitsOneAndLeavesNothing) {
    TempDir dir;
    const auto r = run(dir, goodArgs(dir.file("no-such-dir/x.bin")));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("no-such-dir"), std::string::npos) << r.err;
    // A directory in the way: the rename fails and the temporary is removed.
    std::filesystem::create_directory(dir.file("taken"));
    EXPECT_EQ(run(dir, goodArgs(dir.file("taken"))).exitCode, 1);
    EXPECT_EQ(countFiles(dir.path()), 3u); // taken, stdout.txt, stderr.txt
}

constexpr const char* kDrop = "<drop>"; // remove the option and its value
constexpr const char* kBare = "<bare>"; // append the option with no value

struct BadArgs {
    const char* what;
    std::vector<std::pair<std::string, std::string>> edits; // option and its new value
    std::string mentions;
};

class MkfwimageBadArgs : public ::testing::TestWithParam<BadArgs> {};

TEST_P(MkfwimageBadArgs, ExitsTwoNamingTheProblem) {
    TempDir dir;
    const auto out = dir.file("out.bin");
    auto args = goodArgs(out);
    const auto& row = GetParam();
    for (const auto& [option, value] : row.edits) {
        auto it = std::find(args.begin(), args.end(), option);
        if (value == kBare) {
            args.push_back(option);
        } else if (value == kDrop) {
            ASSERT_NE(it, args.end());
            args.erase(it, it + 2);
        } else if (it == args.end()) {
            args.insert(args.end(), {option, value});
        } else {
            *(it + 1) = value;
        }
    }
    const auto r = run(dir, args);
    EXPECT_EQ(r.exitCode, 2) << row.what << ": " << r.err;
    EXPECT_NE(r.err.find(row.mentions), std::string::npos) << row.what << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_FALSE(std::filesystem::exists(out)) << row.what;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MkfwimageBadArgs,
    ::testing::Values(BadArgs{"name20", {{"--name", "ABCDEFGHIJKLMNOPQRST"}}, "--name"},
                      BadArgs{"nameEmpty", {{"--name", ""}}, "--name"},
                      BadArgs{"nameControl", {{"--name", "bad\tname"}}, "--name"},
                      BadArgs{"typeOver", {{"--type", "4294967296"}}, "--type"},
                      BadArgs{"typeNegative", {{"--type", "-1"}}, "--type"},
                      BadArgs{"typeWord", {{"--type", "seven"}}, "--type"},
                      BadArgs{"typeHexOnly0x", {{"--type", "0x"}}, "--type"},
                      BadArgs{"typeBlank", {{"--type", " 5"}}, "--type"},
                      BadArgs{"versionNoDot", {{"--version", "4"}}, "--version"},
                      BadArgs{"versionThree", {{"--version", "1.2.3"}}, "--version"},
                      BadArgs{"versionMajorOver", {{"--version", "2147483648.0"}}, "--version"},
                      BadArgs{"versionMinorOver", {{"--version", "1.2147483648"}}, "--version"},
                      BadArgs{"versionMinorEmpty", {{"--version", "1."}}, "--version"},
                      BadArgs{"dateTwo", {{"--date", "1/2"}}, "--date"},
                      BadArgs{"dateOver", {{"--date", "1/2/4294967296"}}, "--date"},
                      BadArgs{"dateEmptyPart", {{"--date", "1//3"}}, "--date"},
                      BadArgs{"sizeOver", {{"--size", "268435457"}}, "--size"},
                      BadArgs{"sizeWord", {{"--size", "big"}}, "--size"},
                      BadArgs{"bothSources", {{"--payload", "/etc/hostname"}}, "--payload"},
                      BadArgs{"neitherSource", {{"--size", kDrop}}, "--size"},
                      BadArgs{"payloadMissing",
                              {{"--size", kDrop}, {"--payload", "/nonexistent/p.raw"}},
                              "/nonexistent/p.raw"},
                      BadArgs{"payloadDirectory", {{"--size", kDrop}, {"--payload", "/tmp"}}, "--payload"},
                      BadArgs{"payloadDevice", {{"--size", kDrop}, {"--payload", "/dev/zero"}}, "--payload"},
                      BadArgs{"missingType", {{"--type", kDrop}}, "missing option --type"},
                      BadArgs{"missingVersion", {{"--version", kDrop}}, "missing option --version"},
                      BadArgs{"missingDate", {{"--date", kDrop}}, "missing option --date"},
                      BadArgs{"missingOutput", {{"-o", kDrop}}, "missing option --output"},
                      BadArgs{"unknownOption", {{"--colour", "red"}}, "--colour"},
                      BadArgs{"optionWithoutValue", {{"--type", kBare}}, "needs a value"},
                      BadArgs{"givenTwice", {{"--output", "/tmp/other.bin"}}, "more than once"}),
    [](const auto& row) { return std::string(row.param.what); });
