// DllGetFileInfo: every output for each type code as stored, the 20-byte name
// buffer never overrun, and on any failure (bad file, null argument) a zero
// result with the caller's variables left as they were.
#include "ImageTestSupport.h"
#include "TestDll.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <sys/stat.h>

using namespace imagetest;

namespace {

constexpr std::int32_t kUntouched = 0x5A5A5A5A;
constexpr std::uint8_t kCanary = 0xCC;

// The caller's side of one query: a 20-byte name buffer with canary bytes
// behind it and six output slots preset to a marker.
struct Query {
    std::array<std::uint8_t, 32> buffer{};
    std::int32_t d1 = kUntouched, d2 = kUntouched, d3 = kUntouched;
    std::int32_t type = kUntouched, major = kUntouched, minor = kUntouched;

    Query() { buffer.fill(kCanary); }
    char* name() { return reinterpret_cast<char*>(buffer.data()); }
    std::int32_t run(const std::string& path) {
        return DllGetFileInfo(path.c_str(), name(), &d1, &d2, &d3, &type, &major, &minor);
    }
    bool untouched() const {
        for (std::int32_t v : {d1, d2, d3, type, major, minor})
            if (v != kUntouched)
                return false;
        for (std::uint8_t b : buffer)
            if (b != kCanary)
                return false;
        return true;
    }
    bool canaryIntact() const {
        for (std::size_t i = fwimage::kNameBytes; i < buffer.size(); ++i)
            if (buffer[i] != kCanary)
                return false;
        return true;
    }
};

} // namespace

class FileInfoTypeCode : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(FileInfoTypeCode, ReportsEveryFieldAsStored) {
    TempDir dir;
    fwimage::ImageInfo m = meta(GetParam(), "DSP main 7", 12, 3);
    m.date[0] = 31;
    m.date[1] = 0x1FFu; // only the low byte is shown, but all of it is reported
    m.date[2] = 0xFFFFFFFFu;
    const auto p = payload(100);
    const auto path = dir.file("f.bin");
    writeFile(path, fwimage::buildImage(m, p.data(), p.size()));

    Query q;
    ASSERT_NE(q.run(path), 0);
    EXPECT_EQ(q.type, static_cast<std::int32_t>(GetParam()));
    EXPECT_STREQ(q.name(), "DSP main 7");
    EXPECT_EQ(q.major, 12);
    EXPECT_EQ(q.minor, 3);
    EXPECT_EQ(q.d1, 31);
    EXPECT_EQ(q.d2, 0x1FF);
    EXPECT_EQ(q.d3, -1);
    EXPECT_TRUE(q.canaryIntact());
}

INSTANTIATE_TEST_SUITE_P(TableAndNearMisses, FileInfoTypeCode,
                         ::testing::Values(1u, 2u, 3u, 4u, 6u, 7u, 100u, 101u, 255u, 0u, 5u, 8u, 256u, 0x1FFu,
                                           0xFFFFFFFFu));

TEST(FileInfo, NameBufferGetsAtMostTwentyBytes) {
    TempDir dir;
    const auto path = dir.file("n.mem");
    writeFile(path, fwimage::buildImage(meta(4, "ABCDEFGHIJKLMNOPQRS", 2147483647, 2147483647), nullptr, 0));
    Query q;
    ASSERT_NE(q.run(path), 0);
    EXPECT_EQ(std::string(q.name()), "ABCDEFGHIJKLMNOPQRS");
    EXPECT_TRUE(q.canaryIntact());
    EXPECT_EQ(q.major, 2147483647);
    EXPECT_EQ(q.minor, 2147483647);

    // A short name writes its characters and the terminator, nothing more.
    writeFile(path, fwimage::buildImage(meta(1, "N"), nullptr, 0));
    Query shortName;
    ASSERT_NE(shortName.run(path), 0);
    EXPECT_EQ(shortName.buffer[0], 'N');
    EXPECT_EQ(shortName.buffer[1], 0);
    EXPECT_EQ(shortName.buffer[2], kCanary);
}

struct BadFile {
    const char* what;
    std::function<void(const std::string& path)> make;
};

class FileInfoBadFile : public ::testing::TestWithParam<BadFile> {};

TEST_P(FileInfoBadFile, FailsAndLeavesOutputsAlone) {
    TempDir dir;
    const auto path = dir.file("bad.bin");
    GetParam().make(path);
    Query q;
    EXPECT_EQ(q.run(path), 0) << GetParam().what;
    EXPECT_TRUE(q.untouched()) << GetParam().what;
}

namespace {

std::function<void(const std::string&)> writing(std::function<void(std::vector<std::uint8_t>&)> edit) {
    return [edit](const std::string& path) {
        auto image = smallImage();
        edit(image);
        writeFile(path, image);
    };
}

} // namespace

INSTANTIATE_TEST_SUITE_P(
    Shapes, FileInfoBadFile,
    ::testing::Values(BadFile{"missing", [](const std::string&) {}},
                      BadFile{"empty", writing([](auto& b) { b.clear(); })},
                      BadFile{"one byte short", writing([](auto& b) { b.pop_back(); })},
                      BadFile{"trailing garbage", writing([](auto& b) { b.push_back('x'); })},
                      BadFile{"payload CRC wrong", writing([](auto& b) { b[70] ^= 1; })},
                      BadFile{"length overflow", writing([](auto& b) {
                                  putU32(b, 52, 0xFFFFFFFFu);
                                  fixHeaderCrc(b);
                              })},
                      BadFile{"fifo", [](const std::string& path) { ::mkfifo(path.c_str(), 0600); }},
                      BadFile{"directory",
                              [](const std::string& path) { std::filesystem::create_directory(path); }}),
    [](const auto& row) {
        std::string name = row.param.what;
        for (char& c : name)
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

TEST(FileInfo, NullArgumentsFailWithoutWriting) {
    TempDir dir;
    const auto path = dir.file("ok.bin");
    writeFile(path, smallImage());
    // Each row nulls one argument; the others must stay untouched.
    for (int nulled = 0; nulled < 8; ++nulled) {
        Query q;
        auto arg = [&](auto* p, int index) { return index == nulled ? nullptr : p; };
        const std::int32_t result =
            DllGetFileInfo(nulled == 0 ? nullptr : path.c_str(), arg(q.name(), 1), arg(&q.d1, 2),
                           arg(&q.d2, 3), arg(&q.d3, 4), arg(&q.type, 5), arg(&q.major, 6), arg(&q.minor, 7));
        EXPECT_EQ(result, 0) << "null argument " << nulled;
        EXPECT_TRUE(q.untouched()) << "null argument " << nulled;
    }
}
