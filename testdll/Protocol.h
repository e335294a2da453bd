// Wire protocol between the library and a station (docs/protocol.md is the
// reference a device maker implements from). Shared by libTestDll and stationsim.
//
// Discovery and info queries: UDP datagrams. Image transfer: framed messages over
// TCP, and the same frames over the serial line. All integers little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace proto {

constexpr std::uint16_t kDefaultPort = 47300; // UDP and TCP use the same number

// ---- UDP datagrams ---------------------------------------------------------
// Header, 12 bytes: magic "SDP1", u16 type, u16 flags (0), u32 sequence.
// A reply carries the sequence of the request it answers.
constexpr std::uint8_t kDatagramMagic[4] = {'S', 'D', 'P', '1'};
constexpr std::size_t kDatagramHeaderSize = 12;
constexpr std::size_t kMaxDatagram = 1400;

enum DatagramType : std::uint16_t {
    ScanRequest = 0x0001, // empty body
    ScanReply = 0x8001,   // u16 total, u16 first index, u16 count, u16 0, count x i32 id
    InfoRequest = 0x0002, // i32 id
    InfoReply = 0x8002,   // i32 id, u16 status, u16 0, u32 address, u32 type code,
                          // i32 major, i32 minor, char name[64]
};
constexpr std::size_t kMaxIdsPerScanReply = 256;
constexpr std::size_t kInfoReplyBodySize = 88; // 24 bytes of fields + the 64-byte name

enum InfoStatus : std::uint16_t { InfoOk = 0, InfoUnknownId = 1 };

// ---- Stream frames (TCP and serial) ---------------------------------------
// 0x7E 0xA5, u16 type, u32 body length, body, u32 CRC-32 of type..body.
constexpr std::uint8_t kFrameSync0 = 0x7E;
constexpr std::uint8_t kFrameSync1 = 0xA5;
constexpr std::size_t kFrameOverhead = 12;
constexpr std::uint32_t kMaxFrameBody = 65536 + 64;

enum FrameType : std::uint16_t {
    Begin = 0x0010,        // i32 id, u32 image size, u32 image crc32, u32 chunk size
    BeginReply = 0x8010,   // i32 id, u16 status, u16 0
    Chunk = 0x0011,        // u32 offset, u32 crc32 of data, data
    ChunkAck = 0x8011,     // u32 bytes received in order, u16 status, u16 0
    End = 0x0012,          // u32 image crc32
    VerifyReply = 0x8012,  // u16 status, u16 0
    FlashProgress = 0x8013, // u16 percent 0..100, u16 0
    CommitReply = 0x8014,  // u16 status, u16 0, i32 major, i32 minor (installed version)
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
};

constexpr std::uint32_t kNetworkChunkSize = 65536;
constexpr std::uint32_t kSerialChunkSize = 1024;
constexpr std::uint32_t kMaxChunkSize = 65536;
constexpr unsigned kChunkWindow = 4; // chunks the sender may have unacknowledged

// Little-endian helpers.
void putU16(std::vector<std::uint8_t>& out, std::uint16_t v);
void putU32(std::vector<std::uint8_t>& out, std::uint32_t v);
inline void putI32(std::vector<std::uint8_t>& out, std::int32_t v) { putU32(out, static_cast<std::uint32_t>(v)); }
std::uint16_t getU16(const std::uint8_t* p);
std::uint32_t getU32(const std::uint8_t* p);
inline std::int32_t getI32(const std::uint8_t* p) { return static_cast<std::int32_t>(getU32(p)); }

// Datagrams.
std::vector<std::uint8_t> makeDatagram(std::uint16_t type, std::uint32_t seq, const std::vector<std::uint8_t>& body);
struct Datagram {
    std::uint16_t type = 0;
    std::uint32_t seq = 0;
    std::vector<std::uint8_t> body;
};
std::optional<Datagram> parseDatagram(const std::uint8_t* data, std::size_t size);

// Frames.
std::vector<std::uint8_t> makeFrame(std::uint16_t type, const std::uint8_t* body, std::size_t size);
inline std::vector<std::uint8_t> makeFrame(std::uint16_t type, const std::vector<std::uint8_t>& body) {
    return makeFrame(type, body.data(), body.size());
}
struct Frame {
    std::uint16_t type = 0;
    std::vector<std::uint8_t> body;
};

// Incremental frame reader for a byte stream. Bytes before a sync pair, and a frame
// whose CRC fails, are skipped (counted in `discarded`), so a serial line resynchronises.
class FrameReader {
public:
    void feed(const std::uint8_t* data, std::size_t size);
    std::optional<Frame> next();
    std::size_t discarded() const { return m_discarded; }

private:
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_start = 0;
    std::size_t m_discarded = 0;
};

} // namespace proto
