// Firmware image container shared by the library, the station simulator and
// mkfwimage. One format for .ach, .bin and .mem files; see docs/image-format.md.
#pragma once

#include "support/BulkAllocator.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fwimage {

constexpr std::size_t kHeaderSize = 64;
constexpr std::uint16_t kFormatVersion = 1;
constexpr std::size_t kNameBytes = 20;                    // at most 19 characters and a NUL
constexpr std::uint32_t kMaxPayload = 256u * 1024 * 1024; // larger files are refused, never read

struct ImageInfo {
    std::uint32_t typeCode = 0;
    char name[kNameBytes] = {}; // always NUL-terminated
    std::int32_t versionMajor = 0;
    std::int32_t versionMinor = 0;
    std::uint32_t date[3] = {};
    std::uint32_t payloadLength = 0;
    std::uint32_t payloadCrc = 0;

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
    LengthMismatch, // file shorter or longer than header + payload
    BadPayloadCrc,
};

// Why a file is no image, in a few words ("bad payload CRC").
const char* describe(ImageError error);

// Checks everything the kHeaderSize header bytes can tell on their own. The payload
// length is range-checked; whether that many bytes follow is the caller's business.
ImageError parseHeader(const std::uint8_t* header, ImageInfo& out);

// Validates a whole image held in memory (header and payload).
ImageError parseImage(const std::uint8_t* data, std::size_t size, ImageInfo& out);

// Validates a file on disk without loading it whole. Opens without blocking, so a
// FIFO or a device node is refused rather than waited on. `out` is written only on success.
ImageError checkImageFile(const char* path, ImageInfo& out);

// Reads and validates a file into memory; `contents` holds header and payload.
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
