#include "wire/Datagram.h"

#include "support/LittleEndian.h"

#include <algorithm>
#include <cstring>

namespace wire {

using support::getI32;
using support::getU16;
using support::getU32;
using support::putI32;
using support::putU16;
using support::putU32;

std::vector<std::uint8_t> makeDatagram(std::uint16_t type, std::uint32_t seq,
                                       const std::vector<std::uint8_t>& body) {
    // Sized up front and filled in place (appending to a reserved vector trips a
    // false -Wstringop-overflow in GCC 12 at -O2).
    std::vector<std::uint8_t> out(kDatagramHeaderSize + body.size());
    std::memcpy(out.data(), kDatagramMagic, sizeof kDatagramMagic);
    support::storeU16(out.data() + 4, type);
    support::storeU32(out.data() + 8, seq);
    if (!body.empty())
        std::memcpy(out.data() + kDatagramHeaderSize, body.data(), body.size());
    return out;
}

std::optional<Datagram> parseDatagram(const std::uint8_t* data, std::size_t size) {
    if (data == nullptr || size < kDatagramHeaderSize || size > kMaxDatagram)
        return std::nullopt;
    if (std::memcmp(data, kDatagramMagic, sizeof kDatagramMagic) != 0)
        return std::nullopt;
    Datagram d;
    d.type = getU16(data + 4);
    d.seq = getU32(data + 8);
    d.body.assign(data + kDatagramHeaderSize, data + size);
    return d;
}

std::vector<std::uint8_t> encodeScanRequest(std::uint32_t seq) {
    return makeDatagram(ScanRequest, seq, {});
}

std::vector<std::uint8_t> encodeScanReply(std::uint32_t seq, const ScanPart& part) {
    std::vector<std::uint8_t> body;
    putU16(body, part.total);
    putU16(body, part.first);
    putU16(body, static_cast<std::uint16_t>(part.ids.size()));
    putU16(body, 0);
    for (const std::int32_t id : part.ids)
        putI32(body, id);
    return makeDatagram(ScanReply, seq, body);
}

std::vector<std::uint8_t> encodeInfoRequest(std::uint32_t seq, std::int32_t id) {
    std::vector<std::uint8_t> body;
    putI32(body, id);
    return makeDatagram(InfoRequest, seq, body);
}

std::vector<std::uint8_t> encodeInfoReply(std::uint32_t seq, const DeviceInfo& info) {
    std::vector<std::uint8_t> body;
    putI32(body, info.id);
    putU16(body, info.status);
    putU16(body, 0);
    putU32(body, info.address);
    putU32(body, info.typeCode);
    putI32(body, info.versionMajor);
    putI32(body, info.versionMinor);
    const std::size_t nameAt = body.size();
    body.resize(kInfoReplyBodySize, 0); // NUL padded
    std::memcpy(body.data() + nameAt, info.name.data(), std::min(info.name.size(), kMaxInfoName));
    return makeDatagram(InfoReply, seq, body);
}

bool isScanRequest(const Datagram& d) {
    return d.type == ScanRequest;
}

std::optional<ScanPart> decodeScanReply(const Datagram& d) {
    if (d.type != ScanReply || d.body.size() < 8)
        return std::nullopt;
    const std::uint8_t* b = d.body.data();
    ScanPart part;
    part.total = getU16(b);
    part.first = getU16(b + 2);
    const std::uint16_t count = getU16(b + 4);
    if (count > kMaxIdsPerScanReply || d.body.size() < 8 + 4u * count ||
        std::uint32_t{part.first} + count > part.total)
        return std::nullopt;
    part.ids.resize(count);
    for (std::size_t i = 0; i < count; ++i)
        part.ids[i] = getI32(b + 8 + 4 * i);
    return part;
}

std::optional<std::int32_t> decodeInfoRequest(const Datagram& d) {
    if (d.type != InfoRequest || d.body.size() < 4)
        return std::nullopt;
    return getI32(d.body.data());
}

std::optional<DeviceInfo> decodeInfoReply(const Datagram& d) {
    if (d.type != InfoReply || d.body.size() < kInfoReplyBodySize)
        return std::nullopt;
    const std::uint8_t* b = d.body.data();
    DeviceInfo info;
    info.id = getI32(b);
    info.status = getU16(b + 4);
    info.address = getU32(b + 8);
    info.typeCode = getU32(b + 12);
    info.versionMajor = getI32(b + 16);
    info.versionMinor = getI32(b + 20);
    const char* name = reinterpret_cast<const char*>(b + 24);
    info.name.assign(name, strnlen(name, kMaxInfoName));
    return info;
}

} // namespace wire
