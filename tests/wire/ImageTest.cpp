// Image container and mkfwimage. The in-memory reader, the file checker and the loader
// agree on every image: fields as stored around the 64 KiB read block; each corrupted
// header field, a changed payload byte, every truncation and a trailing byte refused with
// its reason; non-files (a FIFO never waited on) refused. mkfwimage: what it writes reads
// back, failed writes leave nothing, each bad argument exits 2 with one line naming it.
#include "support/ChildProcess.h"
#include "tests/support/StationProcess.h"
#include "wire/Crc32.h"
#include "wire/FirmwareImage.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
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

Bytes payload(std::size_t size) {
    Bytes p(size);
    std::iota(p.begin(), p.end(), std::uint8_t{1});
    return p;
}

// Sets a header field, and the header CRC after it unless told not to, so that the
// edit reaches the checks behind that one.
Bytes withField(Bytes b, std::size_t offset, std::uint32_t v, int width, bool fixCrc = true) {
    for (int i = 0; i < width; ++i)
        b[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
    const std::uint32_t crc = wire::crc32Of(b.data(), 60);
    for (int i = 0; fixCrc && i < 4; ++i)
        b[60 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(crc >> (8 * i));
    return b;
}

// The in-memory verdict, after checking that the file checker and the loader reach the
// same one with the same fields, and that the loader returns the file's bytes.
ImageError verdict(const Bytes& image, ImageInfo* fields = nullptr) {
    TempDir dir;
    ImageInfo inMemory, checked, loaded;
    const ImageError error = fwimage::parseImage(image.data(), image.size(), inMemory);
    const std::string path = writeFile(dir.file("image.bin"), image);
    EXPECT_EQ(fwimage::checkImageFile(path.c_str(), checked), error);
    Bytes contents;
    EXPECT_EQ(fwimage::loadImageFile(path.c_str(), contents, loaded), error);
    if (error == None) {
        EXPECT_TRUE(checked == inMemory && loaded == inMemory);
        EXPECT_EQ(contents, image);
    }
    if (fields != nullptr)
        *fields = inMemory;
    return error;
}

const Bytes kGood = zutest::makeImageBytes(40, 3, 7, 1, "NNNNNNNNNNNNNNNNNNN"); // 104 bytes, 19-character name

} // namespace

// Type codes from the table and beyond it: no reader judges them.
TEST(Image, EveryFieldAsStoredAroundTheReadBlock) {
    const struct {
        std::uint32_t type;
        std::size_t size;
    } rows[] = {{1, 0}, {0, 1}, {255, 65535}, {256, 65536}, {0x80000000u, 65537}, {0xFFFFFFFFu, 200000}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.size);
        // A 20-character name is cut to 19; dates and versions are stored whole.
        ImageInfo meta{row.type, "", 2147483647, -1, {0xFFFFFFFFu, 0x1FF, 31}};
        std::fill_n(meta.name, fwimage::kNameBytes, 'N');
        const Bytes p = payload(row.size);
        Bytes image = fwimage::buildImage(meta, p.data(), p.size());
        ImageInfo read;
        ASSERT_EQ(verdict(image, &read), None);
        meta.name[19] = '\0';
        meta.payloadLength = static_cast<std::uint32_t>(row.size);
        meta.payloadCrc = wire::crc32Of(p.data(), p.size());
        EXPECT_TRUE(read == meta);
        if (row.size > 0) {
            image.back() ^= 1; // last byte of the last block
            EXPECT_EQ(verdict(image), BadPayloadCrc);
        }
    }
    const std::uint8_t byte = 0; // too large to build, and not read
    EXPECT_TRUE(fwimage::buildImage(ImageInfo{}, &byte, fwimage::kMaxPayload + 1ul).empty());
    EXPECT_TRUE(fwimage::buildImage(ImageInfo{}, nullptr, 1).empty());
}

TEST(Image, EachHeaderFieldTruncationAndTrailingByteRefusedWithItsReason) {
    const struct {
        const char* what;
        Bytes image;
        ImageError expected;
    } rows[] = {
        {"magic", withField(kGood, 3, 'm', 1), BadMagic},
        {"format version 2", withField(kGood, 4, 2, 2), BadFormatVersion},
        {"type code without CRC fix", withField(kGood, 8, 3, 1, false), BadHeaderCrc},
        {"header CRC itself", withField(kGood, 60, 0, 4, false), BadHeaderCrc},
        {"name without NUL", withField(kGood, 12 + 19, 'Z', 1), BadName},
        {"payload length plus 1", withField(kGood, 52, 41, 4), LengthMismatch},
        {"payload length max on a short file", withField(kGood, 52, fwimage::kMaxPayload, 4), LengthMismatch},
        {"payload length max plus 1", withField(kGood, 52, fwimage::kMaxPayload + 1, 4), TooLarge},
        {"payload CRC", withField(kGood, 56, 0x12345678u, 4), BadPayloadCrc},
    };
    for (const auto& row : rows)
        EXPECT_EQ(verdict(row.image), row.expected) << row.what;
    for (std::size_t n = 0; n <= kGood.size() + 1; ++n) {
        Bytes image(kGood.begin(), kGood.begin() + static_cast<std::ptrdiff_t>(std::min(n, kGood.size())));
        image.resize(n, 0);
        const ImageError expected = n < fwimage::kHeaderSize ? TooShort : n == kGood.size() ? None : LengthMismatch;
        EXPECT_EQ(verdict(image), expected) << "length " << n;
    }
}

TEST(Image, NonFilesRefusedAtOnce) {
    TempDir dir;
    const std::string fifo = dir.file("fifo.bin"); // nobody writes: a blocking open would hang
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {dir.path(), dir.file("missing.bin"), std::string(), fifo, std::string("/dev/zero")}) {
        ImageInfo info;
        Bytes contents;
        EXPECT_EQ(fwimage::checkImageFile(path.c_str(), info), NotRegularFile) << path;
        EXPECT_EQ(fwimage::loadImageFile(path.c_str(), contents, info), NotRegularFile) << path;
    }
    ImageInfo info;
    EXPECT_EQ(fwimage::checkImageFile(nullptr, info), NotRegularFile);
}

namespace {

struct Run {
    int exitCode = -1;
    std::string err;
};
Run mkfwimage(std::vector<std::string> args) {
    args.insert(args.begin(), zutest::binDir() + "/mkfwimage");
    Run r;
    r.exitCode = support::runProgram(args, {}, &r.err);
    return r;
}

std::vector<std::string> goodArgs(const std::string& out) {
    return {"--type", "6", "--name", "DSP Appl", "--version", "4.9", "--date", "17/3/25", "--size", "5000", "-o", out};
}

} // namespace

TEST(Mkfwimage, WritesWhatTheReaderReadsBackFailedWritesLeaveNothing) {
    TempDir dir;
    const auto out = dir.file("dsp.bin");
    auto r = mkfwimage({"--type", "0xFFFFFFFF", "--name", "ABCDEFGHIJKLMNOPQRS", "--version", "2147483647.0",
                        "--date", "4294967295/0/25", "--size", "70000", "-o", out});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ImageInfo read;
    ASSERT_EQ(fwimage::checkImageFile(out.c_str(), read), None);
    EXPECT_TRUE(read == (ImageInfo{0xFFFFFFFFu, "ABCDEFGHIJKLMNOPQRS", 2147483647, 0, {4294967295u, 0, 25}, 70000,
                                   read.payloadCrc}));
    const Bytes p = payload(1234); // replacing the file
    r = mkfwimage({"--type", "2", "--name", "NetAppl", "--version", "1.5", "--date", "1/2/3", "--payload",
                   writeFile(dir.file("payload.raw"), p), "--output", out});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    Bytes contents;
    ASSERT_EQ(fwimage::loadImageFile(out.c_str(), contents, read), None);
    EXPECT_EQ(Bytes(contents.begin() + fwimage::kHeaderSize, contents.end()), p);

    r = mkfwimage(goodArgs(dir.file("no-such-dir/x.bin")));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("no-such-dir"), std::string::npos) << r.err;
    std::filesystem::create_directory(dir.file("taken")); // the rename fails
    EXPECT_EQ(mkfwimage(goodArgs(dir.file("taken"))).exitCode, 1);
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
        const auto r = mkfwimage(args);
        EXPECT_EQ(r.exitCode, 2) << row.mentions << ": " << r.err;
        EXPECT_NE(r.err.find(row.mentions), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_FALSE(std::filesystem::exists(out)) << row.mentions;
    }
}
