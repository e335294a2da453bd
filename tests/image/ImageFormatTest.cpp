// In-memory image container: the byte layout a device maker reads from the
// format document, round trips for every type code, and refusal of every
// corrupted header field and payload byte (truncations: ImageFileTest).
#include "ImageTestSupport.h"

#include <gtest/gtest.h>

using namespace imagetest;
using fwimage::ImageError;
using fwimage::ImageInfo;

namespace {

ImageError parse(const std::vector<std::uint8_t>& b, ImageInfo& info) {
    return fwimage::parseImage(b.data(), b.size(), info);
}

ImageError parse(const std::vector<std::uint8_t>& b) {
    ImageInfo info;
    return parse(b, info);
}

} // namespace

// The worked example of docs/image-format.md, byte for byte (its CRCs were
// computed by a separate tool, not by this code).
TEST(ImageLayout, MatchesDocumentedExample) {
    ImageInfo m = meta(2, "NetAppl", 1, 5);
    m.date[0] = 24;
    m.date[1] = 12;
    m.date[2] = 25;
    const std::uint8_t p[] = {'A', 'B', 'C', 'D'};
    const auto image = fwimage::buildImage(m, p, sizeof p);
    const std::vector<std::uint8_t> expected = {
        0x46, 0x57, 0x49, 0x4d, 0x01, 0x00, 0x40, 0x00, 0x02, 0x00, 0x00, 0x00, 0x4e, 0x65, 0x74, 0x41, 0x70,
        0x70, 0x6c, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00,
        0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x18, 0x00, 0x00, 0x00, 0x0c, 0x00, 0x00, 0x00, 0x19, 0x00, 0x00,
        0x00, 0x04, 0x00, 0x00, 0x00, 0xa5, 0x20, 0x17, 0xdb, 0xf4, 0xcc, 0xf3, 0x1a, 0x41, 0x42, 0x43, 0x44};
    EXPECT_EQ(image, expected);
    ImageInfo info;
    EXPECT_EQ(parse(expected, info), ImageError::None);
}

class ImageRoundTrip : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(ImageRoundTrip, StoresTypeCodeAndFieldsAsGiven) {
    ImageInfo m = meta(GetParam(), "Exactly19Characters", 2147483647, 0);
    m.date[0] = 0xFFFFFFFFu;
    m.date[1] = 0;
    m.date[2] = 0x12345678u;
    const auto p = payload(33);
    const auto image = fwimage::buildImage(m, p.data(), p.size());
    ImageInfo info;
    ASSERT_EQ(parse(image, info), ImageError::None);
    EXPECT_EQ(info.typeCode, GetParam());
    EXPECT_STREQ(info.name, "Exactly19Characters");
    EXPECT_EQ(info.versionMajor, 2147483647);
    EXPECT_EQ(info.versionMinor, 0);
    EXPECT_EQ(info.date[0], 0xFFFFFFFFu);
    EXPECT_EQ(info.date[1], 0u);
    EXPECT_EQ(info.date[2], 0x12345678u);
    EXPECT_EQ(info.payloadLength, 33u);
}

// The table's codes and the near misses around them; the reader judges none.
INSTANTIATE_TEST_SUITE_P(TypeCodes, ImageRoundTrip,
                         ::testing::Values(1u, 2u, 3u, 4u, 6u, 7u, 100u, 101u, 255u, 0u, 5u, 8u, 99u, 102u,
                                           254u, 256u, 0x101u, 0x80000000u, 0xFFFFFFFFu));

TEST(ImageBuild, EmptyPayloadAndNameTruncation) {
    ImageInfo m = meta();
    std::memset(m.name, 'N', sizeof m.name); // 20 characters, no NUL
    const auto image = fwimage::buildImage(m, nullptr, 0);
    ImageInfo info;
    ASSERT_EQ(parse(image, info), ImageError::None);
    EXPECT_EQ(std::string(info.name), std::string(19, 'N'));
    EXPECT_EQ(info.payloadLength, 0u);
    EXPECT_EQ(image.size(), fwimage::kHeaderSize);
}

TEST(ImageBuild, RefusesOversizedPayloadWithoutReadingIt) {
    const std::uint8_t byte = 0;
    EXPECT_TRUE(fwimage::buildImage(meta(), &byte, std::size_t{fwimage::kMaxPayload} + 1).empty());
    EXPECT_TRUE(fwimage::buildImage(meta(), nullptr, 1).empty());
}

struct FieldEdit {
    const char* what;
    std::size_t offset;
    std::uint32_t value;
    int width; // 1, 2 or 4 bytes
    bool fixCrc;
    ImageError expected;
};

class ImageFieldCorruption : public ::testing::TestWithParam<FieldEdit> {};

TEST_P(ImageFieldCorruption, IsRefusedWithTheRightReason) {
    const auto& row = GetParam();
    auto image = smallImage();
    for (int i = 0; i < row.width; ++i)
        image[row.offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(row.value >> (8 * i));
    if (row.fixCrc)
        fixHeaderCrc(image);
    EXPECT_EQ(parse(image), row.expected) << row.what;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ImageFieldCorruption,
    ::testing::Values(FieldEdit{"magic", 0, 'X', 1, true, ImageError::BadMagic},
                      FieldEdit{"magic lower case", 3, 'm', 1, true, ImageError::BadMagic},
                      FieldEdit{"format version 0", 4, 0, 2, true, ImageError::BadFormatVersion},
                      FieldEdit{"format version 2", 4, 2, 2, true, ImageError::BadFormatVersion},
                      FieldEdit{"header size 63", 6, 63, 2, true, ImageError::BadFormatVersion},
                      FieldEdit{"header size 65", 6, 65, 2, true, ImageError::BadFormatVersion},
                      FieldEdit{"type code without CRC fix", 8, 3, 1, false, ImageError::BadHeaderCrc},
                      FieldEdit{"version without CRC fix", 32, 9, 1, false, ImageError::BadHeaderCrc},
                      FieldEdit{"date without CRC fix", 44, 1, 1, false, ImageError::BadHeaderCrc},
                      FieldEdit{"header CRC itself", 60, 0, 4, false, ImageError::BadHeaderCrc},
                      FieldEdit{"name without NUL", 12 + 16, 0x41414141u, 4, true, ImageError::BadName},
                      FieldEdit{"name garbage after NUL", 12 + 19, 'Z', 1, true, ImageError::BadName},
                      FieldEdit{"payload length plus 1", 52, 41, 4, true, ImageError::LengthMismatch},
                      FieldEdit{"payload length minus 1", 52, 39, 4, true, ImageError::LengthMismatch},
                      FieldEdit{"payload length 0", 52, 0, 4, true, ImageError::LengthMismatch},
                      FieldEdit{"payload length max plus 1", 52, fwimage::kMaxPayload + 1, 4, true,
                                ImageError::TooLarge},
                      FieldEdit{"payload length overflow", 52, 0xFFFFFFFFu, 4, true, ImageError::TooLarge},
                      FieldEdit{"payload CRC", 56, 0x12345678u, 4, true, ImageError::BadPayloadCrc}),
    [](const auto& row) {
        std::string name = row.param.what;
        for (char& c : name)
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

TEST(ImageCorruption, AnyChangedPayloadByteIsRefused) {
    const auto good = smallImage();
    for (std::size_t i = fwimage::kHeaderSize; i < good.size(); ++i) {
        auto image = good;
        image[i] ^= 0x80;
        EXPECT_EQ(parse(image), ImageError::BadPayloadCrc) << "payload byte " << i;
    }
}
