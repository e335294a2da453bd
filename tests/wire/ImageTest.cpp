// Image container and mkfwimage. The in-memory reader, the file checker and the loader
// agree on every image: fields as stored around the 64 KiB read block; each corrupted
// header field, a changed payload byte, every truncation and a trailing byte refused with
// its reason; a signature section read beside the unsigned fields, or refused when damaged
// or cut; non-files (a FIFO never waited on) refused. mkfwimage: what it writes reads back,
// failed writes leave nothing, each kind of bad argument exits 2 with one line naming it;
// keygen, sign and verify, and their unusable key and image files.
#include "support/LittleEndian.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/StationProcess.h"
#include "wire/Crc32.h"
#include "wire/FirmwareImage.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <numeric>

using enum fwimage::ImageError;
using fwimage::ImageError;
using fwimage::ImageInfo;
using zutest::TempDir;
using Bytes = std::vector<std::uint8_t>;

namespace {

std::string text(const Bytes& bytes) {
    return {bytes.begin(), bytes.end()};
}

// Sets a header field, and the header CRC after it unless told not to, so that the
// edit reaches the checks behind that one.
Bytes withField(Bytes b, std::size_t offset, std::uint32_t v, int width, bool fixCrc = true) {
    for (int i = 0; i < width; ++i)
        b[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
    if (fixCrc)
        support::storeU32(b.data() + 60, wire::crc32Of(b.data(), 60));
    return b;
}

// The in-memory verdict, after checking that the file checker and the loader reach the
// same one with the same fields, and that the loader returns the file's bytes.
ImageError verdict(const Bytes& image, ImageInfo* fields = nullptr) {
    TempDir dir;
    ImageInfo inMemory, checked, loaded;
    const ImageError error = fwimage::parseImage(image.data(), image.size(), inMemory);
    const std::string path = dir.write("image.bin", text(image));
    EXPECT_EQ(fwimage::checkImageFile(path.c_str(), checked), error);
    Bytes contents;
    EXPECT_EQ(fwimage::loadImageFile(path.c_str(), contents, loaded), error);
    const auto sent = image.size() - (inMemory.signature.present ? fwimage::kSignatureSectionSize : 0);
    EXPECT_TRUE(error != None || (checked == inMemory && loaded == inMemory &&
                                  contents == Bytes(image.begin(), image.begin() + static_cast<long>(sent))));
    if (fields != nullptr)
        *fields = inMemory;
    return error;
}

const Bytes kGood =
    zutest::makeImageBytes(40, 3, 7, 1, "NNNNNNNNNNNNNNNNNNN"); // 104 bytes, 19-character name

} // namespace

// Type codes from the table and beyond it: no reader judges them.
TEST(Image, EveryFieldAsStoredAroundTheReadBlock) {
    for (const std::size_t size : {0, 1, 65535, 65536, 65537, 200000}) {
        SCOPED_TRACE(size);
        // A 20-character name is cut to 19; dates and versions are stored whole.
        ImageInfo meta{0, "", 2147483647, -1, {0xFFFFFFFFu, 0x1FF, 31}, 0, 0};
        meta.typeCode = static_cast<std::uint32_t>(0xFFFFFF00u + size);
        std::fill_n(meta.name, fwimage::kNameBytes, 'N');
        Bytes payload(size);
        std::iota(payload.begin(), payload.end(), std::uint8_t{1});
        Bytes image = fwimage::buildImage(meta, payload.data(), payload.size());
        ImageInfo read;
        ASSERT_EQ(verdict(image, &read), None);
        meta.name[19] = '\0';
        meta.payloadLength = static_cast<std::uint32_t>(size);
        meta.payloadCrc = wire::crc32Of(payload.data(), payload.size());
        EXPECT_EQ(read, meta);
        image.back() ^= 1; // last byte of the last block, or the header's CRC
        EXPECT_EQ(verdict(image), size > 0 ? BadPayloadCrc : BadHeaderCrc);
    }
    const std::uint8_t byte = 0; // too large to build, and not read
    EXPECT_TRUE(fwimage::buildImage(ImageInfo{}, &byte, fwimage::kMaxPayload + 1ul).empty());
    EXPECT_TRUE(fwimage::buildImage(ImageInfo{}, nullptr, 1).empty());
}

TEST(Image, EachHeaderFieldTruncationAndTrailingByteRefusedWithItsReason) {
    const std::pair<Bytes, ImageError> rows[] = {
        {withField(kGood, 3, 'm', 1), BadMagic},
        {withField(kGood, 4, 2, 2), BadFormatVersion},
        {withField(kGood, 8, 3, 1, false), BadHeaderCrc}, // type code changed, CRC not
        {withField(kGood, 60, 0, 4, false), BadHeaderCrc},
        {withField(kGood, 12 + 19, 'Z', 1), BadName}, // no NUL in the name
        {withField(kGood, 52, 41, 4), LengthMismatch},
        {withField(kGood, 52, fwimage::kMaxPayload, 4), LengthMismatch},
        {withField(kGood, 52, fwimage::kMaxPayload + 1, 4), TooLarge},
        {withField(kGood, 56, 0x12345678u, 4), BadPayloadCrc},
    };
    for (const auto& [image, expected] : rows)
        EXPECT_EQ(verdict(image), expected) << &image - &rows[0].first;
    for (std::size_t n = 0; n <= kGood.size() + 1; ++n) {
        Bytes image(kGood.begin(), kGood.begin() + static_cast<std::ptrdiff_t>(std::min(n, kGood.size())));
        image.resize(n, 0);
        EXPECT_EQ(verdict(image), n < 64              ? TooShort
                                  : n == kGood.size() ? None
                                                      : LengthMismatch)
            << "length " << n;
    }
}

TEST(Image, SignatureSectionReadBesideTheSameFieldsOrRefused) {
    const fwimage::ImageSignature sig{true, {1, 2, 3, 4, 5, 6, 7, 8}, 9, {0xA5, 0x5A}};
    const auto section = fwimage::encodeSignatureSection(sig);
    Bytes signedImage = kGood;
    signedImage.insert(signedImage.end(), section.begin(), section.end());
    ImageInfo plain, read;
    ASSERT_EQ(verdict(kGood, &plain), None);
    ASSERT_EQ(verdict(signedImage, &read), None);
    EXPECT_EQ(read.signature, sig);
    read.signature = {};
    EXPECT_EQ(read, plain);
    // Magic, version, size, a signed field and the CRC itself: each caught by the section's CRC or form.
    for (const std::size_t at : {0, 4, 6, 16, 84}) {
        Bytes damaged = signedImage;
        damaged[kGood.size() + at] ^= 1;
        EXPECT_EQ(verdict(damaged), BadSignatureSection) << at;
    }
    for (const std::size_t size : {signedImage.size() - 1, kGood.size() + 1, signedImage.size() + 1}) {
        Bytes cut = signedImage;
        cut.resize(size, 0);
        EXPECT_EQ(verdict(cut), LengthMismatch) << size;
    }
}

TEST(Image, NonFilesRefusedAtOnce) {
    TempDir dir;
    const std::string fifo = dir.file("fifo.bin"); // nobody writes: a blocking open would hang
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path :
         {dir.path(), dir.file("missing.bin"), std::string(), fifo, std::string("/dev/zero")}) {
        ImageInfo info;
        Bytes contents;
        EXPECT_EQ(fwimage::checkImageFile(path.c_str(), info), NotRegularFile) << path;
        EXPECT_EQ(fwimage::loadImageFile(path.c_str(), contents, info), NotRegularFile) << path;
    }
    ImageInfo info;
    EXPECT_EQ(fwimage::checkImageFile(nullptr, info), NotRegularFile);
}

namespace {

// Its exit code and output.
std::pair<int, std::string> mkfwimage(std::vector<std::string> args) {
    args.insert(args.begin(), zutest::binDir() + "/mkfwimage");
    std::string output;
    const int code = support::runProgram(args, {}, &output);
    return {code, output};
}

std::vector<std::string> goodArgs(const std::string& out) {
    return {"--type", "6",       "--name", "DSP Appl", "--version", "4.9",
            "--date", "17/3/25", "--size", "5000",     "-o",        out};
}

} // namespace

TEST(Mkfwimage, WritesWhatTheReaderReadsBackFailedWritesLeaveNothing) {
    TempDir dir;
    const auto out = dir.file("dsp.bin");
    const auto [code, output] =
        mkfwimage({"--type", "0xFFFFFFFF", "--name", "ABCDEFGHIJKLMNOPQRS", "--version", "2147483647.0",
                   "--date", "4294967295/0/25", "--size", "70000", "-o", out});
    ASSERT_EQ(code, 0) << output;
    ImageInfo read;
    ASSERT_EQ(fwimage::checkImageFile(out.c_str(), read), None);
    const ImageInfo expected{0xFFFFFFFFu, "ABCDEFGHIJKLMNOPQRS", 2147483647, 0, {4294967295u, 0, 25},
                             70000,       read.payloadCrc};
    EXPECT_EQ(read, expected);
    const std::string payload(1234, 'p'); // replacing the file
    const auto [replaced, said] =
        mkfwimage({"--type", "2", "--name", "NetAppl", "--version", "1.5", "--date", "1/2/3", "--payload",
                   dir.write("payload.raw", payload), "--output", out});
    ASSERT_EQ(replaced, 0) << said;
    Bytes contents;
    ASSERT_EQ(fwimage::loadImageFile(out.c_str(), contents, read), None);
    EXPECT_EQ(text(contents).substr(64), payload);
    const auto [failed, message] = mkfwimage(goodArgs(dir.file("no-such-dir/x.bin")));
    EXPECT_TRUE(failed == 1 && message.find("no-such-dir") != std::string::npos) << message;
    std::filesystem::create_directory(dir.file("taken")); // the rename fails
    EXPECT_EQ(mkfwimage(goodArgs(dir.file("taken"))).first, 1);
    const std::filesystem::directory_iterator files(dir.path());
    EXPECT_EQ(std::distance(begin(files), end(files)), 3) << "dsp.bin, payload.raw, taken: no temporary left";
}

// One row per kind of error: the option given this value ("-" removes it, "<bare>" appends it
// alone), and what the message names.
TEST(Mkfwimage, EachBadArgumentExitsTwoNamingIt) {
    const struct {
        std::string option, value, mentions;
    } rows[] = {
        {"--name", "ABCDEFGHIJKLMNOPQRST", "--name"}, // text too long
        {"--type", "4294967296", "--type"},           // number out of range
        {"--version", "4", "--version"},              // not in its form
        {"--payload", "/etc/hostname", "--payload"},  // with --size
        {"-o", "-", "missing option --output"},
        {"--colour", "red", "--colour"},
        {"--type", "<bare>", "needs a value"},
    };
    TempDir dir;
    const auto out = dir.file("out.bin");
    for (const auto& row : rows) {
        auto args = goodArgs(out);
        const auto it = std::find(args.begin(), args.end(), row.option);
        if (row.value == "<bare>")
            args.push_back(row.option);
        else if (row.value == "-")
            args.erase(it, it + 2);
        else if (it == args.end())
            args.insert(args.end(), {row.option, row.value});
        else
            *(it + 1) = row.value;
        const auto [code, output] = mkfwimage(args);
        EXPECT_EQ(code, 2) << row.mentions << ": " << output;
        EXPECT_NE(output.find(row.mentions), std::string::npos) << output;
        EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
        EXPECT_FALSE(std::filesystem::exists(out)) << row.mentions;
    }
    auto args = goodArgs(out); // a payload that cannot be read, instead of --size
    args[8] = "--payload", args[9] = "/nonexistent/p.raw";
    const auto [code, output] = mkfwimage(args);
    EXPECT_TRUE(code == 2 && output.find("--payload: '/nonexistent/p.raw'") != std::string::npos) << output;
}

// keygen's files, signing while building and afterwards, verify's verdicts, and one line and
// exit 2 for each unusable key or image file.
TEST(Mkfwimage, KeysSignAndVerifyRefuseUnusableFiles) {
    TempDir dir;
    const auto key = dir.file("k"), other = dir.file("o");
    ASSERT_EQ(mkfwimage({"keygen", "--out", key}).first, 0);
    ASSERT_EQ(mkfwimage({"keygen", "--out", other}).first, 0);
    struct stat st {};
    ASSERT_EQ(::stat((key + ".key").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    auto build = goodArgs(dir.file("built.bin"));
    build.insert(build.end(), {"--sign", key + ".key", "--counter", "7"});
    ASSERT_EQ(mkfwimage(build).first, 0);
    ASSERT_EQ(mkfwimage({"sign", "--key", other + ".key", dir.file("built.bin"), "-o", dir.file("re")}).first,
              0);
    const auto [good, said] = mkfwimage({"verify", "--pub", key + ".pub", dir.file("built.bin")});
    EXPECT_TRUE(good == 0 && said.find("security counter 7") != std::string::npos) << said;
    EXPECT_EQ(mkfwimage({"verify", "--pub", other + ".pub", dir.file("re")}).first, 0); // section replaced
    EXPECT_EQ(mkfwimage({"verify", "--pub", key + ".pub", dir.file("re")}).first, 1);

    const auto open = dir.write("open.key", zutest::readFile(key + ".key"));
    ::chmod(open.c_str(), 0644);
    const auto junk = dir.write("junk.pub", "ed25519 not-a-key\n");
    const std::vector<std::string> rows[] = {
        {"keygen", "--out", key}, // never overwrites
        {"sign", "--key", dir.file("missing.key"), dir.file("built.bin"), "-o", dir.file("x")},
        {"sign", "--key", open, dir.file("built.bin"), "-o", dir.file("x")}, // readable by others
        {"sign", "--key", key + ".key", junk, "-o", dir.file("x")},          // no image
        {"verify", "--pub", junk, dir.file("built.bin")},
    };
    for (const auto& args : rows) {
        const auto [code, output] = mkfwimage(args);
        EXPECT_EQ(code, 2) << args[2] << ": " << output;
        EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("x")));
}
