// Image container, DllGetFileInfo and mkfwimage: the documented byte layout; fields round
// trip around the 64 KiB read block; corrupted fields, changed bytes, truncations and
// non-files are refused alike in memory, on disk and by DllGetFileInfo, which never
// overruns the 20-byte name nor writes on failure. mkfwimage: good runs read back,
// failed writes leave nothing, each bad argument exits 2 with one line naming it.
#include "FirmwareImage.h"
#include "StationProcess.h"
#include "TestDll.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>

using fwimage::ImageError;
using enum fwimage::ImageError;
using fwimage::ImageInfo;
using zutest::TempDir;
using Bytes = std::vector<std::uint8_t>;

namespace {

std::string writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

ImageInfo meta(std::uint32_t type, const char* name, std::int32_t major, std::int32_t minor,
               std::array<std::uint32_t, 3> date = {}) {
    ImageInfo m;
    m.typeCode = type;
    std::memcpy(m.name, name, strnlen(name, fwimage::kNameBytes)); // 20 characters: no NUL
    m.versionMajor = major;
    m.versionMinor = minor;
    std::copy(date.begin(), date.end(), m.date);
    return m;
}

Bytes payload(std::size_t size) {
    Bytes p(size);
    std::iota(p.begin(), p.end(), std::uint8_t{1});
    return p;
}

// Sets a header field and recomputes the header CRC, so that the edit reaches the checks behind it.
void setField(Bytes& b, std::size_t offset, std::uint32_t v, int width = 4, bool fixCrc = true) {
    for (int i = 0; i < width; ++i)
        b[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
    const std::uint32_t crc = fwimage::crc32Of(b.data(), 60);
    for (int i = 0; fixCrc && i < 4; ++i)
        b[60 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(crc >> (8 * i));
}

constexpr std::int32_t kUntouched = 0x5A5A5A5A;
constexpr std::uint8_t kCanary = 0xCC;

// The caller's side of DllGetFileInfo: a 20-byte name buffer with canary bytes behind
// it, and the outputs date1..3, type, major, minor preset to a marker.
struct Query {
    std::array<std::uint8_t, 32> buffer;
    std::array<std::int32_t, 6> out;
    Query() { buffer.fill(kCanary), out.fill(kUntouched); }
    char* name() { return reinterpret_cast<char*>(buffer.data()); }
    std::int32_t run(const char* path) {
        return DllGetFileInfo(path, name(), &out[0], &out[1], &out[2], &out[3], &out[4], &out[5]);
    }
    bool untouched() const {
        return std::count(out.begin(), out.end(), kUntouched) == 6 &&
               std::count(buffer.begin(), buffer.end(), kCanary) == 32;
    }
};

// The in-memory reader's verdict, after checking that the file check, the loader and
// DllGetFileInfo agree.
ImageError verdict(const Bytes& image) {
    TempDir dir;
    ImageInfo info;
    const ImageError inMemory = fwimage::parseImage(image.data(), image.size(), info);
    const std::string path = writeFile(dir.file("image.bin"), image);
    EXPECT_EQ(fwimage::checkImageFile(path.c_str(), info), inMemory);
    Bytes contents;
    EXPECT_EQ(fwimage::loadImageFile(path.c_str(), contents, info), inMemory);
    EXPECT_EQ(contents, inMemory == None ? image : Bytes{});
    Query q;
    EXPECT_EQ(q.run(path.c_str()) != 0, inMemory == None);
    EXPECT_TRUE(inMemory == None || q.untouched()) << "DllGetFileInfo wrote on failure";
    return inMemory;
}

const Bytes kGood =
    zutest::makeImageBytes(40, 3, 7, 1, "NNNNNNNNNNNNNNNNNNN"); // 104 bytes, 19-character name

struct Run {
    int exitCode = -1;
    std::string err;
};
Run run(const std::vector<std::string>& args) {
    std::string command = "'" + zutest::binDir() + "/mkfwimage'";
    for (const auto& a : args)
        command += " '" + a + "'"; // no argument here holds a quote
    FILE* pipe = ::popen((command + " 2>&1 >/dev/null").c_str(), "r");
    Run r;
    for (int c; (c = std::fgetc(pipe)) != EOF;)
        r.err += static_cast<char>(c);
    const int status = ::pclose(pipe);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::vector<std::string> goodArgs(const std::string& out) {
    return {"--type", "6",       "--name", "DSP Appl", "--version", "4.9",
            "--date", "17/3/25", "--size", "5000",     "-o",        out};
}

} // namespace

// The worked example of docs/image-format.md, byte for byte (its CRCs were
// computed by a separate tool, not by this code).
TEST(ImageLayout, MatchesDocumentedExample) {
    const ImageInfo m = meta(2, "NetAppl", 1, 5, {24, 12, 25});
    const Bytes expected = {
        0x46, 0x57, 0x49, 0x4d, 0x01, 0x00, 0x40, 0x00, 0x02, 0x00, 0x00, 0x00, 0x4e, 0x65, 0x74, 0x41, 0x70,
        0x70, 0x6c, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00,
        0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x18, 0x00, 0x00, 0x00, 0x0c, 0x00, 0x00, 0x00, 0x19, 0x00, 0x00,
        0x00, 0x04, 0x00, 0x00, 0x00, 0xa5, 0x20, 0x17, 0xdb, 0xf4, 0xcc, 0xf3, 0x1a, 0x41, 0x42, 0x43, 0x44};
    EXPECT_EQ(fwimage::buildImage(m, expected.data() + 64, 4), expected);
    EXPECT_EQ(verdict(expected), None);
}

// Type codes from the table and beyond it: neither reader judges them.
TEST(ImageRoundTrip, EveryFieldAsStoredAroundTheReadBlock) {
    const struct {
        std::uint32_t type;
        std::size_t size;
    } rows[] = {{1, 0}, {0, 1}, {255, 65535}, {256, 65536}, {0x80000000u, 65537}, {0xFFFFFFFFu, 200000}};
    TempDir dir;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.size);
        // The name is cut to 19; of date2 only the low byte is shown, but all of it is reported.
        const ImageInfo m = meta(row.type, "NNNNNNNNNNNNNNNNNNNN", 2147483647, 0, {0xFFFFFFFFu, 0x1FF, 31});
        const Bytes p = payload(row.size);
        Bytes image = fwimage::buildImage(m, p.data(), p.size());
        ASSERT_EQ(verdict(image), None);
        Query q;
        ASSERT_NE(q.run(writeFile(dir.file("f.bin"), image).c_str()), 0);
        EXPECT_EQ(q.out, (std::array<std::int32_t, 6>{-1, 0x1FF, 31, static_cast<std::int32_t>(row.type),
                                                      2147483647, 0}));
        EXPECT_EQ(std::string(q.name()), std::string(19, 'N'));
        EXPECT_EQ(std::count(q.buffer.begin() + 20, q.buffer.end(), kCanary), 12) << "name buffer overrun";
        if (row.size > 0) {
            image.back() ^= 1; // last byte of the last block
            EXPECT_EQ(verdict(image), BadPayloadCrc);
        }
    }
    const std::uint8_t byte = 0; // too large to build, and not read
    EXPECT_TRUE(fwimage::buildImage(meta(1, "x", 1, 0), &byte, fwimage::kMaxPayload + 1ul).empty());
    EXPECT_TRUE(fwimage::buildImage(meta(1, "x", 1, 0), nullptr, 1).empty());
}

TEST(ImageCorruption, EachHeaderFieldIsRefusedWithItsReason) {
    const struct {
        const char* what;
        std::size_t offset;
        std::uint32_t value;
        int width;
        bool fixCrc;
        ImageError expected;
    } rows[] = {
        {"magic", 3, 'm', 1, true, BadMagic},
        {"format version 2", 4, 2, 2, true, BadFormatVersion},
        {"type code without CRC fix", 8, 3, 1, false, BadHeaderCrc},
        {"header CRC itself", 60, 0, 4, false, BadHeaderCrc},
        {"name without NUL", 12 + 19, 'Z', 1, true, BadName},
        {"payload length plus 1", 52, 41, 4, true, LengthMismatch},
        {"payload length max on a short file", 52, fwimage::kMaxPayload, 4, true, LengthMismatch},
        {"payload length max plus 1", 52, fwimage::kMaxPayload + 1, 4, true, TooLarge},
        {"payload CRC", 56, 0x12345678u, 4, true, BadPayloadCrc},
    };
    for (const auto& row : rows) {
        Bytes image = kGood;
        setField(image, row.offset, row.value, row.width, row.fixCrc);
        EXPECT_EQ(verdict(image), row.expected) << row.what;
    }
}

// A changed payload byte is caught in ImageRoundTrip, header fields above.
TEST(ImageCorruption, EveryTruncationAndATrailingByte) {
    for (std::size_t n = 0; n <= kGood.size() + 1; ++n) {
        Bytes image(kGood.begin(), kGood.begin() + static_cast<std::ptrdiff_t>(std::min(n, kGood.size())));
        image.resize(n, 0);
        const ImageError expected = n < fwimage::kHeaderSize ? TooShort
                                    : n == kGood.size()      ? None
                                                             : LengthMismatch;
        EXPECT_EQ(verdict(image), expected) << "length " << n;
    }
}

TEST(ImageFile, NonFilesAndNullArgumentsFailAtOnceLeavingOutputsAlone) {
    TempDir dir;
    const std::string fifo = dir.file("fifo.bin"); // nobody writes: a blocking open would hang
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path :
         {dir.path(), dir.file("missing.bin"), std::string(), fifo, std::string("/dev/zero")}) {
        ImageInfo info;
        Bytes contents;
        EXPECT_EQ(fwimage::checkImageFile(path.c_str(), info), NotRegularFile) << path;
        EXPECT_EQ(fwimage::loadImageFile(path.c_str(), contents, info), NotRegularFile) << path;
        Query q;
        EXPECT_EQ(q.run(path.c_str()), 0) << path;
        EXPECT_TRUE(q.untouched()) << path;
    }
    ImageInfo info;
    EXPECT_EQ(fwimage::checkImageFile(nullptr, info), NotRegularFile);
    const std::string path = writeFile(dir.file("ok.bin"), kGood);
    for (int nulled = 0; nulled < 8; ++nulled) {
        Query q;
        auto arg = [&](auto* p, int index) { return index == nulled ? nullptr : p; };
        EXPECT_EQ(DllGetFileInfo(arg(path.c_str(), 0), arg(q.name(), 1), arg(&q.out[0], 2), arg(&q.out[1], 3),
                                 arg(&q.out[2], 4), arg(&q.out[3], 5), arg(&q.out[4], 6), arg(&q.out[5], 7)),
                  0)
            << "null argument " << nulled;
        EXPECT_TRUE(q.untouched()) << "null argument " << nulled;
    }
}

TEST(Mkfwimage, WritesWhatTheLibraryReadsBackFailedWritesLeaveNothing) {
    TempDir dir;
    const auto out = dir.file("dsp.bin");
    auto r = run({"--type", "0xFFFFFFFF", "--name", "ABCDEFGHIJKLMNOPQRS", "--version", "2147483647.0",
                  "--date", "4294967295/0/25", "--size", "70000", "-o", out});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    Query q;
    ASSERT_NE(q.run(out.c_str()), 0);
    EXPECT_STREQ(q.name(), "ABCDEFGHIJKLMNOPQRS");
    EXPECT_EQ(q.out, (std::array<std::int32_t, 6>{-1, 0, 25, -1, 2147483647, 0}));
    EXPECT_EQ(readFile(out).size(), fwimage::kHeaderSize + 70000);
    const Bytes p = payload(1234); // replacing the file
    r = run({"--type", "2", "--name", "NetAppl", "--version", "1.5", "--date", "1/2/3", "--payload",
             writeFile(dir.file("payload.raw"), p), "--output", out});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const Bytes image = readFile(out);
    EXPECT_EQ(verdict(image), None);
    EXPECT_EQ(Bytes(image.begin() + fwimage::kHeaderSize, image.end()), p);

    r = run(goodArgs(dir.file("no-such-dir/x.bin")));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("no-such-dir"), std::string::npos) << r.err;
    std::filesystem::create_directory(dir.file("taken")); // the rename fails
    EXPECT_EQ(run(goodArgs(dir.file("taken"))).exitCode, 1);
    const std::filesystem::directory_iterator files(dir.path());
    EXPECT_EQ(std::distance(begin(files), end(files)), 3) << "dsp.bin, payload.raw, taken: no temporary left";
}

TEST(Mkfwimage, EachBadArgumentExitsTwoNamingIt) {
    // The option given this value ("-" removes it, "<bare>" appends it alone), and what the message names.
    const struct {
        std::string option, value, mentions;
    } rows[] = {
        {"--name", "ABCDEFGHIJKLMNOPQRST", "--name"},
        {"--name", "bad\tname", "--name"},
        {"--type", "4294967296", "--type"},
        {"--type", "0x", "--type"},
        {"--version", "4", "--version"},
        {"--date", "1/2", "--date"},
        {"--size", "268435457", "--size"},
        {"--payload", "/etc/hostname", "--payload"}, // with --size
        {"--size", "-", "--size"},                   // neither
        {"-o", "-", "missing option --output"},
        {"--colour", "red", "--colour"},
        {"--type", "<bare>", "needs a value"},
        {"--payload", "/nonexistent/p.raw", "--payload: '/nonexistent/p.raw'"}, // instead of --size
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
        const auto r = run(args);
        EXPECT_EQ(r.exitCode, 2) << row.mentions << ": " << r.err;
        EXPECT_NE(r.err.find(row.mentions), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_FALSE(std::filesystem::exists(out)) << row.mentions;
    }
}
