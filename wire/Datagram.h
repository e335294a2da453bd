// UDP datagrams of the scan and the info query (docs/protocol.md, section 2): the
// header every datagram carries and the bodies both sides encode and decode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace wire {

constexpr std::uint16_t kDefaultPort = 47300; // UDP and TCP use the same number

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
constexpr std::size_t kMaxInfoName = 63;       // the name field keeps a NUL

enum InfoStatus : std::uint16_t { InfoOk = 0, InfoUnknownId = 1 };

std::vector<std::uint8_t> makeDatagram(std::uint16_t type, std::uint32_t seq,
                                       const std::vector<std::uint8_t>& body);

struct Datagram {
    std::uint16_t type = 0;
    std::uint32_t seq = 0;
    std::vector<std::uint8_t> body;
};
// Nullopt for a datagram too short, too long or with another magic.
std::optional<Datagram> parseDatagram(const std::uint8_t* data, std::size_t size);

// One datagram of a scan answer: ids `first` .. `first + ids.size() - 1` of `total`.
struct ScanPart {
    std::uint16_t total = 0;
    std::uint16_t first = 0;
    std::vector<std::int32_t> ids{};

    bool operator==(const ScanPart&) const = default;
};

// A device's answer to an info query; for InfoUnknownId every field after the status is zero.
struct DeviceInfo {
    std::int32_t id = 0;
    std::uint16_t status = InfoOk;
    std::uint32_t address = 0; // first dotted octet in the most significant byte
    std::uint32_t typeCode = 0;
    std::int32_t versionMajor = 0;
    std::int32_t versionMinor = 0;
    std::string name{}; // at most kMaxInfoName bytes travel

    bool operator==(const DeviceInfo&) const = default;
};

std::vector<std::uint8_t> encodeScanRequest(std::uint32_t seq);
std::vector<std::uint8_t> encodeScanReply(std::uint32_t seq, const ScanPart& part);
std::vector<std::uint8_t> encodeInfoRequest(std::uint32_t seq, std::int32_t id);
std::vector<std::uint8_t> encodeInfoReply(std::uint32_t seq, const DeviceInfo& info);

// Each is nullopt unless the datagram has its type and a body holding its fields
// (extra bytes are ignored); a ScanReply must also hold at most 256 ids, all of
// them, inside its total.
bool isScanRequest(const Datagram& d);
std::optional<ScanPart> decodeScanReply(const Datagram& d);
std::optional<std::int32_t> decodeInfoRequest(const Datagram& d);
std::optional<DeviceInfo> decodeInfoReply(const Datagram& d);

} // namespace wire
