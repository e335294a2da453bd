// Firmware image container shared by the library, the station simulator and
// mkfwimage. One format for .ach, .bin and .mem files; see docs/image-format.md.
#pragma once

#include "support/BulkAllocator.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fwimage {

constexpr std::size_t kHeaderSize = 64;
constexpr std::uint16_t kFormatVersion = 1;
constexpr std::size_t kNameBytes = 20;                    // at most 19 characters and a NUL
constexpr std::uint32_t kMaxPayload = 256u * 1024 * 1024; // larger files are refused, never read

// The optional signature section after the payload (docs/image-format.md): who signed the
// image, its security counter and the Ed25519ph signature over header, payload and the
// section's first kSignedSectionBytes bytes.
constexpr std::size_t kSignatureSectionSize = 88;
constexpr std::size_t kSignedSectionBytes = 20; // magic, version, size, key id, counter
constexpr std::uint16_t kSignatureVersion = 1;
constexpr std::size_t kKeyIdBytes = 8;
constexpr std::size_t kSignatureBytes = 64;

using KeyId = std::array<std::uint8_t, kKeyIdBytes>;

struct ImageSignature {
    bool present = false; // false: an unsigned image, the other fields zero
    KeyId keyId{};        // first 8 bytes of SHA-256 of the signing public key
    std::uint32_t counter = 0;
    std::array<std::uint8_t, kSignatureBytes> signature{};

    bool operator==(const ImageSignature&) const = default;
};

struct ImageInfo {
    std::uint32_t typeCode = 0;
    char name[kNameBytes] = {}; // always NUL-terminated
    std::int32_t versionMajor = 0;
    std::int32_t versionMinor = 0;
    std::uint32_t date[3] = {};
    std::uint32_t payloadLength = 0;
    std::uint32_t payloadCrc = 0;
    ImageSignature signature{}; // the section after the payload, when the file has one

    bool operator==(const ImageInfo&) const = default;
};

enum class ImageError {
    None,
    NotRegularFile, // directory, FIFO, device, missing
    ReadFailed,
    TooShort, // fewer bytes than a header
    BadMagic,
    BadFormatVersion,
    BadHeaderCrc,
    BadName,        // no NUL in the name field, or bytes after the NUL not zero
    TooLarge,       // payload length above kMaxPayload
    LengthMismatch, // file neither header + payload nor that and a signature section
    BadPayloadCrc,
    BadSignatureSection, // the section's magic, version, size or CRC is wrong
};

// Why a file is no image, in a few words ("bad payload CRC").
const char* describe(ImageError error);

// Checks everything the kHeaderSize header bytes can tell on their own. The payload
// length is range-checked; whether that many bytes follow is the caller's business.
ImageError parseHeader(const std::uint8_t* header, ImageInfo& out);

// Checks a signature section's magic, version, size and CRC; fills `out` only then.
ImageError parseSignatureSection(const std::uint8_t* section, ImageSignature& out);
// The section's bytes for `sig`, CRC included.
std::array<std::uint8_t, kSignatureSectionSize> encodeSignatureSection(const ImageSignature& sig);

// Validates a whole image held in memory (header, payload and any signature section).
ImageError parseImage(const std::uint8_t* data, std::size_t size, ImageInfo& out);

// Validates a file on disk without loading it whole. Opens without blocking, so a
// FIFO or a device node is refused rather than waited on. `out` is written only on success.
ImageError checkImageFile(const char* path, ImageInfo& out);

// Reads and validates a file into memory; `contents` holds header and payload, the bytes an
// upload sends (a signature section is in `out.signature`).
ImageError loadImageFile(const char* path, std::vector<std::uint8_t>& contents, ImageInfo& out);
// A whole image in memory, cheap to allocate however large.
using ImageBytes = std::vector<std::uint8_t, support::BulkAllocator<std::uint8_t>>;
// The same, and the CRC of every `blockSize` bytes of the file (header included, the last
// block shorter) into `blockCrcs`, from the one pass that checks the payload.
ImageError loadImageFile(const char* path, ImageBytes& contents, ImageInfo& out, std::uint32_t blockSize,
                         std::vector<std::uint32_t>& blockCrcs);

// Builds a valid image from metadata and a payload. payloadLength and the CRCs are
// computed here; the name must be at most 19 characters.
std::vector<std::uint8_t> buildImage(const ImageInfo& meta, const std::uint8_t* payload, std::size_t size);

} // namespace fwimage
