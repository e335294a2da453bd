// The frames of one upload session (docs/protocol.md, 3.2 and 3.3): their types,
// the status codes and the bodies both sides encode and decode.
#pragma once

#include "wire/FirmwareImage.h"
#include "wire/Frame.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace wire {

enum FrameType : std::uint16_t {
    Begin = 0x0010,         // i32 id, u32 image size, u32 image crc32, u32 chunk size, u32 image type code
                            // [, key id[8], u32 security counter, signature[64]]
    BeginReply = 0x8010,    // i32 id, u16 status, u16 0 [, u32 the device's counter]
    Chunk = 0x0011,         // u32 offset, u32 crc32 of data, data
    ChunkAck = 0x8011,      // u32 bytes received in order, u16 status, u16 0
    End = 0x0012,           // u32 image crc32
    VerifyReply = 0x8012,   // u16 status, u16 0
    FlashProgress = 0x8013, // u16 percent 0..100, u16 0
    CommitReply = 0x8014,   // u16 status, u16 0, i32 major, i32 minor (installed version)
};

enum Status : std::uint16_t {
    Ok = 0,
    UnknownId = 1,
    Rejected = 2,
    Busy = 3,
    TooLarge = 4,
    ChunkCrcBad = 5,
    OutOfOrder = 6,
    ImageCrcBad = 7,
    ImageInvalid = 8,
    FlashFailed = 9,
    BadRequest = 10,
    NotAccepted = 11,   // BeginReply: the device does not take images of this type
    Unsigned = 12,      // BeginReply: the device takes signed images only
    UnknownKey = 13,    // BeginReply: signed by a key the device does not trust
    CounterTooLow = 14, // BeginReply: the image's security counter is below the device's
    BadSignature = 15,  // VerifyReply: the signature does not verify over the bytes that arrived
};

constexpr std::uint32_t kNetworkChunkSize = 65536;
constexpr std::uint32_t kSerialChunkSize = 1024;
constexpr std::uint32_t kMaxChunkSize = 65536;
constexpr std::uint32_t kMinChunkSize = 1024;
// A device drops a session that falls behind this many bytes a second (after 30 s of grace).
constexpr std::uint32_t kMinTransferRate = 8192;
constexpr unsigned kChunkWindow = 4;         // chunks the sender may have unacknowledged
constexpr std::size_t kSignedBeginSize = 96; // a Begin body with its signature block

struct BeginMsg {
    std::int32_t id = 0;
    std::uint32_t imageSize = 0;
    std::uint32_t imageCrc = 0;
    std::uint32_t chunkSize = 0;
    std::uint32_t imageType = 0; // the image header's type code; its low byte names the module
    // The image's signature section (key id, counter, signature), sent after the fields above
    // only when present; a device that checks no signatures ignores it.
    fwimage::ImageSignature signature{};

    bool operator==(const BeginMsg&) const = default;
};
struct BeginReplyMsg {
    std::int32_t id = 0;
    std::uint16_t status = Ok;
    std::uint32_t deviceCounter = 0; // sent with CounterTooLow only: the lowest counter the device takes

    bool operator==(const BeginReplyMsg&) const = default;
};
struct ChunkMsg {
    std::uint32_t offset = 0;
    std::uint32_t dataCrc = 0;
    std::span<const std::uint8_t> data; // points into the frame it was decoded from
};
struct ChunkAckMsg {
    std::uint32_t received = 0;
    std::uint16_t status = Ok;

    bool operator==(const ChunkAckMsg&) const = default;
};
struct EndMsg {
    std::uint32_t imageCrc = 0;

    bool operator==(const EndMsg&) const = default;
};
struct VerifyReplyMsg {
    std::uint16_t status = Ok;

    bool operator==(const VerifyReplyMsg&) const = default;
};
struct FlashProgressMsg {
    std::uint16_t percent = 0;

    bool operator==(const FlashProgressMsg&) const = default;
};
struct CommitReplyMsg {
    std::uint16_t status = Ok;
    std::int32_t versionMajor = 0; // the version installed now
    std::int32_t versionMinor = 0;

    bool operator==(const CommitReplyMsg&) const = default;
};

// Whole frames, ready to send.
std::vector<std::uint8_t> encode(const BeginMsg& m);
std::vector<std::uint8_t> encode(const BeginReplyMsg& m);
std::vector<std::uint8_t> encode(const ChunkMsg& m);
std::vector<std::uint8_t> encode(const ChunkAckMsg& m);
std::vector<std::uint8_t> encode(const EndMsg& m);
std::vector<std::uint8_t> encode(const VerifyReplyMsg& m);
std::vector<std::uint8_t> encode(const FlashProgressMsg& m);
std::vector<std::uint8_t> encode(const CommitReplyMsg& m);

// A Chunk frame around data the sender keeps in place: `head` holds everything
// before the data, `trailer` the frame CRC.
struct ChunkFrameParts {
    std::array<std::uint8_t, kFrameHeaderSize + 8> head{};
    std::array<std::uint8_t, 4> trailer{};
};
ChunkFrameParts chunkFrameParts(std::uint32_t offset, std::uint32_t dataCrc, std::uint32_t dataSize);

// Each is nullopt unless the frame has its type and a body holding its fields; extra
// bytes are ignored. A CommitReply needs only its status (the version is read when present).
std::optional<BeginMsg> decodeBegin(const Frame& f);
std::optional<BeginReplyMsg> decodeBeginReply(const Frame& f);
std::optional<ChunkMsg> decodeChunk(const Frame& f);
std::optional<ChunkAckMsg> decodeChunkAck(const Frame& f);
std::optional<EndMsg> decodeEnd(const Frame& f);
std::optional<VerifyReplyMsg> decodeVerifyReply(const Frame& f);
std::optional<FlashProgressMsg> decodeFlashProgress(const Frame& f);
std::optional<CommitReplyMsg> decodeCommitReply(const Frame& f);

// The id a Begin names even when its body is too short for the other fields (0 if none),
// so that a device can refuse it under that id.
std::int32_t idOfBegin(const Frame& f);

} // namespace wire
