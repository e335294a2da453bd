// DllGetFileInfo: a valid image fills every output (unsigned header fields bit for bit,
// a 19-character name within the caller's 20 bytes, nothing written past them); an
// invalid image, a non-file or any null argument returns 0 and writes nothing.
#include "devlib/TestDll.h"
#include "tests/support/StationProcess.h"
#include "wire/FirmwareImage.h"

#include <gtest/gtest.h>

#include <array>
#include <fstream>

namespace {

constexpr std::int32_t kUntouched = 0x5A5A5A5A;
constexpr std::uint8_t kCanary = 0xCC;

// The caller's side: a 20-byte name buffer with canary bytes behind it, and the outputs
// date1..3, type, major, minor preset to a marker.
struct Query {
    std::array<std::uint8_t, 32> buffer;
    std::array<std::int32_t, 6> out;
    Query() { buffer.fill(kCanary), out.fill(kUntouched); }
    char* name() { return reinterpret_cast<char*>(buffer.data()); }
    std::int32_t run(const char* path, int nulled = -1) {
        auto arg = [nulled](auto* p, int index) { return index == nulled ? nullptr : p; };
        return DllGetFileInfo(arg(path, 0), arg(name(), 1), arg(&out[0], 2), arg(&out[1], 3), arg(&out[2], 4),
                              arg(&out[3], 5), arg(&out[4], 6), arg(&out[5], 7));
    }
    bool untouched() const {
        return std::count(out.begin(), out.end(), kUntouched) == 6 &&
               std::count(buffer.begin(), buffer.end(), kCanary) == 32;
    }
};

} // namespace

TEST(FileInfo, ValidImageFillsEveryOutputAndNothingBeyond) {
    zutest::TempDir dir;
    fwimage::ImageInfo meta{0xFFFFFFFFu, "ABCDEFGHIJKLMNOPQRS", 2147483647, -3, {0xFFFFFFFFu, 0x1FF, 31}};
    const auto image = fwimage::buildImage(meta, nullptr, 0);
    std::ofstream(dir.file("ok.bin"), std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    Query q;
    ASSERT_NE(q.run(dir.file("ok.bin").c_str()), 0);
    EXPECT_STREQ(q.name(), "ABCDEFGHIJKLMNOPQRS");
    EXPECT_EQ(std::count(q.buffer.begin() + 20, q.buffer.end(), kCanary), 12) << "name buffer overrun";
    EXPECT_EQ(q.out, (std::array<std::int32_t, 6>{-1, 0x1FF, 31, -1, 2147483647, -3}));

    auto damaged = image;
    damaged[20] ^= 1;
    const std::string bad = dir.write("bad.bin", std::string(damaged.begin(), damaged.end()));
    for (const std::string& path : {bad, dir.path(), dir.file("missing")}) {
        Query failed;
        EXPECT_EQ(failed.run(path.c_str()), 0) << path;
        EXPECT_TRUE(failed.untouched()) << path;
    }
    for (int nulled = 0; nulled < 8; ++nulled) {
        Query failed;
        EXPECT_EQ(failed.run(dir.file("ok.bin").c_str(), nulled), 0) << "null argument " << nulled;
        EXPECT_TRUE(failed.untouched()) << "null argument " << nulled;
    }
}
