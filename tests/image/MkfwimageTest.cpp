// mkfwimage as a program: good runs read back through DllGetFileInfo and the loader
// (limits, a payload file copied verbatim, an empty one), the same file for the same
// arguments, failed writes leaving nothing behind, and each kind of bad argument
// ending in exit 2 with one line naming it and no file written.
#include "ImageTestSupport.h"
#include "TestDll.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <filesystem>

using namespace imagetest;

namespace {

struct Run {
    int exitCode = -1;
    std::string err;
};

Run run(const TempDir& dir, const std::vector<std::string>& args) {
    std::string command = "'" + zutest::binDir() + "/mkfwimage'";
    for (const auto& a : args)
        command += " '" + a + "'"; // no argument here holds a quote
    const int status = std::system((command + " >/dev/null 2>" + dir.file("err")).c_str());
    const Bytes err = readFile(dir.file("err"));
    std::filesystem::remove(dir.file("err"));
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, {err.begin(), err.end()}};
}

std::vector<std::string> goodArgs(const std::string& out) {
    return {"--type", "6",       "--name", "DSP Appl", "--version", "4.9",
            "--date", "17/3/25", "--size", "5000",     "-o",        out};
}

} // namespace

TEST(Mkfwimage, WritesWhatTheLibraryReadsBack) {
    TempDir dir;
    const auto out = dir.file("dsp.bin");
    auto r = run(dir, {"--type", "0xFFFFFFFF", "--name", "ABCDEFGHIJKLMNOPQRS", "--version", "2147483647.0",
                       "--date", "4294967295/0/25", "--size", "70000", "-o", out});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    char name[20];
    std::int32_t d1 = 0, d2 = 0, d3 = 0, type = 0, major = 0, minor = 0;
    ASSERT_NE(DllGetFileInfo(out.c_str(), name, &d1, &d2, &d3, &type, &major, &minor), 0);
    EXPECT_STREQ(name, "ABCDEFGHIJKLMNOPQRS");
    EXPECT_EQ(std::vector<std::int32_t>({type, major, minor, d1, d2, d3}),
              std::vector<std::int32_t>({-1, 2147483647, 0, -1, 0, 25}));
    EXPECT_EQ(readFile(out).size(), fwimage::kHeaderSize + 70000);

    for (std::size_t size : {std::size_t{1234}, std::size_t{0}}) {
        const Bytes p = payload(size);
        r = run(dir, {"--type", "2", "--name", "NetAppl", "--version", "1.5", "--date", "1/2/3", "--payload",
                      writeFile(dir.file("payload.raw"), p), "--output", out});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        Bytes contents;
        fwimage::ImageInfo info;
        ASSERT_EQ(fwimage::loadImageFile(out.c_str(), contents, info), fwimage::ImageError::None);
        EXPECT_EQ(Bytes(contents.begin() + fwimage::kHeaderSize, contents.end()), p);
    }
}

TEST(Mkfwimage, SameArgumentsSameFileAndFailedWritesLeaveNothing) {
    TempDir dir;
    ASSERT_EQ(run(dir, goodArgs(dir.file("a.bin"))).exitCode, 0);
    ASSERT_EQ(run(dir, goodArgs(dir.file("b.bin"))).exitCode, 0);
    const auto a = readFile(dir.file("a.bin"));
    EXPECT_EQ(a, readFile(dir.file("b.bin")));
    EXPECT_NE(a[fwimage::kHeaderSize], a[fwimage::kHeaderSize + 4])
        << "the synthetic payload is not constant";
    ASSERT_EQ(run(dir, goodArgs(dir.file("a.bin"))).exitCode, 0); // replacing a file
    const auto r = run(dir, goodArgs(dir.file("no-such-dir/x.bin")));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("no-such-dir"), std::string::npos) << r.err;
    std::filesystem::create_directory(dir.file("taken")); // the rename fails
    EXPECT_EQ(run(dir, goodArgs(dir.file("taken"))).exitCode, 1);
    const std::filesystem::directory_iterator files(dir.path());
    EXPECT_EQ(std::distance(begin(files), end(files)), 3) << "a.bin, b.bin, taken: no temporary left";
}

TEST(Mkfwimage, EachBadArgumentExitsTwoNamingIt) {
    // The option given this value ("-" removes it and its value, "<bare>" appends it
    // without one), and what the message names.
    const struct {
        std::string option, value, mentions;
    } rows[] = {
        {"--name", "ABCDEFGHIJKLMNOPQRST", "--name"},
        {"--name", "", "--name"},
        {"--name", "bad\tname", "--name"},
        {"--type", "4294967296", "--type"},
        {"--type", "-1", "--type"},
        {"--type", "0x", "--type"},
        {"--type", " 5", "--type"},
        {"--version", "4", "--version"},
        {"--version", "2147483648.0", "--version"},
        {"--version", "1.2147483648", "--version"},
        {"--version", "1.", "--version"},
        {"--date", "1/2", "--date"},
        {"--date", "1/2/4294967296", "--date"},
        {"--date", "1//3", "--date"},
        {"--size", "268435457", "--size"},
        {"--payload", "/etc/hostname", "--payload"}, // with --size
        {"--size", "-", "--size"},                   // neither
        {"--date", "-", "missing option --date"},
        {"-o", "-", "missing option --output"},
        {"--colour", "red", "--colour"},
        {"--output", "/tmp/other.bin", "more than once"},
        {"--type", "<bare>", "needs a value"},
        {"--payload", "/nonexistent/p.raw",
         "--payload: '/nonexistent/p.raw'"}, // these three instead of --size
        {"--payload", "/tmp", "--payload: '/tmp' is not a readable regular file"},
        {"--payload", "/dev/zero", "--payload: '/dev/zero'"},
    };
    TempDir dir;
    const auto out = dir.file("out.bin");
    for (const auto& row : rows) {
        auto args = goodArgs(out);
        if (row.option == "--payload" && row.value != "/etc/hostname")
            args[8] = "--payload";
        const auto it = std::find(args.begin(), args.end(), row.option);
        if (row.value == "<bare>")
            args.push_back(row.option);
        else if (row.value == "-")
            args.erase(it, it + 2);
        else if (it == args.end())
            args.insert(args.end(), {row.option, row.value});
        else
            *(it + 1) = row.value;
        const auto r = run(dir, args);
        EXPECT_EQ(r.exitCode, 2) << row.mentions << ": " << r.err;
        EXPECT_NE(r.err.find(row.mentions), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_FALSE(std::filesystem::exists(out)) << row.mentions;
    }
}
