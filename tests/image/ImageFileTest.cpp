// Image files on disk: the streaming check and the loader agree with the
// in-memory reader, refuse every truncation, trailing bytes, huge or
// overflowing lengths, and return at once for directories, FIFOs, devices and
// missing paths.
#include "ImageTestSupport.h"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace imagetest;
using fwimage::ImageError;
using fwimage::ImageInfo;

namespace {

ImageError check(const std::string& path) {
    ImageInfo info;
    return fwimage::checkImageFile(path.c_str(), info);
}

} // namespace

TEST(ImageFile, ValidFilesAcrossBlockBoundaries) {
    TempDir dir;
    // Sizes around the 64 KiB read block, where an off-by-one would hide.
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{65535}, std::size_t{65536},
                             std::size_t{65537}, std::size_t{200000}}) {
        const auto p = payload(size);
        const auto image = fwimage::buildImage(meta(255, "Archive"), p.data(), p.size());
        const auto path = dir.file("img.ach");
        writeFile(path, image);

        ImageInfo info;
        ASSERT_EQ(fwimage::checkImageFile(path.c_str(), info), ImageError::None) << size;
        EXPECT_EQ(info.payloadLength, size);
        EXPECT_EQ(info.typeCode, 255u);

        std::vector<std::uint8_t> contents;
        ASSERT_EQ(fwimage::loadImageFile(path.c_str(), contents, info), ImageError::None) << size;
        EXPECT_EQ(contents, image);

        if (size > 0) {
            auto bad = image;
            bad.back() ^= 1; // last byte of the last block
            writeFile(path, bad);
            EXPECT_EQ(check(path), ImageError::BadPayloadCrc) << size;
            EXPECT_EQ(fwimage::loadImageFile(path.c_str(), contents, info), ImageError::BadPayloadCrc);
        }
    }
}

TEST(ImageFile, EveryTruncationIsRefused) {
    TempDir dir;
    const auto good = smallImage();
    const auto path = dir.file("cut.bin");
    for (std::size_t n = 0; n < good.size(); ++n) {
        writeFile(path,
                  std::vector<std::uint8_t>(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n)));
        const ImageError expected =
            n < fwimage::kHeaderSize ? ImageError::TooShort : ImageError::LengthMismatch;
        EXPECT_EQ(check(path), expected) << "cut at " << n;
        ImageInfo info;
        EXPECT_EQ(fwimage::parseImage(good.data(), n, info), expected) << "cut at " << n;
        std::vector<std::uint8_t> contents;
        EXPECT_EQ(fwimage::loadImageFile(path.c_str(), contents, info), expected) << "cut at " << n;
        EXPECT_TRUE(contents.empty());
    }
}

TEST(ImageFile, TrailingBytesAndWrongLengthsAreRefused) {
    TempDir dir;
    const auto path = dir.file("x.mem");
    auto image = smallImage();
    image.push_back(0);
    writeFile(path, image);
    EXPECT_EQ(check(path), ImageError::LengthMismatch);
    ImageInfo parsed;
    EXPECT_EQ(fwimage::parseImage(image.data(), image.size(), parsed), ImageError::LengthMismatch);

    // A length that would overflow 32-bit arithmetic, behind a valid header CRC.
    image = smallImage();
    putU32(image, 52, 0xFFFFFFFFu);
    fixHeaderCrc(image);
    writeFile(path, image);
    EXPECT_EQ(check(path), ImageError::TooLarge);

    // The largest allowed length on a short file: refused from the file size, not read.
    putU32(image, 52, fwimage::kMaxPayload);
    fixHeaderCrc(image);
    writeFile(path, image);
    EXPECT_EQ(check(path), ImageError::LengthMismatch);
    std::vector<std::uint8_t> contents;
    ImageInfo info;
    EXPECT_EQ(fwimage::loadImageFile(path.c_str(), contents, info), ImageError::LengthMismatch);
}

TEST(ImageFile, FileAndMemoryReadersAgreeOnCorruptHeaders) {
    TempDir dir;
    const auto path = dir.file("h.bin");
    const auto good = smallImage();
    for (std::size_t i = 0; i < fwimage::kHeaderSize; ++i) {
        auto image = good;
        image[i] ^= 0xFF;
        writeFile(path, image);
        ImageInfo info;
        const ImageError inMemory = fwimage::parseImage(image.data(), image.size(), info);
        EXPECT_NE(inMemory, ImageError::None) << "header byte " << i;
        EXPECT_EQ(check(path), inMemory) << "header byte " << i;
    }
}

TEST(ImageFile, NonFilesAreRefusedAtOnce) {
    TempDir dir;
    EXPECT_EQ(check(dir.path().string()), ImageError::NotRegularFile);
    EXPECT_EQ(check(dir.file("missing.bin")), ImageError::NotRegularFile);
    EXPECT_EQ(check(""), ImageError::NotRegularFile);
    ImageInfo info;
    EXPECT_EQ(fwimage::checkImageFile(nullptr, info), ImageError::NotRegularFile);
#if !defined(_WIN32)
    // Nobody writes to this FIFO: a blocking open or read would hang the test
    // (ctest's timeout turns that into a failure).
    const auto fifo = dir.file("fifo.bin");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(check(fifo), ImageError::NotRegularFile);
    std::vector<std::uint8_t> contents;
    EXPECT_EQ(fwimage::loadImageFile(fifo.c_str(), contents, info), ImageError::NotRegularFile);
    EXPECT_EQ(check("/dev/null"), ImageError::NotRegularFile);
    EXPECT_EQ(check("/dev/zero"), ImageError::NotRegularFile); // would never end if read
#endif
}
