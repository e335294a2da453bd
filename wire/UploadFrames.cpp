#include "wire/UploadFrames.h"

#include "support/LittleEndian.h"

#include <algorithm>

namespace wire {

using support::getI32;
using support::getU16;
using support::getU32;
using support::putI32;
using support::putU16;
using support::putU32;

namespace {

using Bytes = std::vector<std::uint8_t>;

// The body of a status reply: u16 status, u16 0.
Bytes statusBody(std::uint16_t status) {
    Bytes b;
    putU16(b, status);
    putU16(b, 0);
    return b;
}

// The frame's body when it has `type` and at least `size` bytes, else null.
const std::uint8_t* bodyOf(const Frame& f, std::uint16_t type, std::size_t size) {
    return f.type == type && f.body.size() >= size ? f.body.data() : nullptr;
}

} // namespace

Bytes encode(const BeginMsg& m) {
    Bytes b;
    putI32(b, m.id);
    putU32(b, m.imageSize);
    putU32(b, m.imageCrc);
    putU32(b, m.chunkSize);
    putU32(b, m.imageType);
    if (m.signature.present) {
        b.insert(b.end(), m.signature.keyId.begin(), m.signature.keyId.end());
        putU32(b, m.signature.counter);
        b.insert(b.end(), m.signature.signature.begin(), m.signature.signature.end());
    }
    return makeFrame(Begin, b);
}

Bytes encode(const BeginReplyMsg& m) {
    Bytes b;
    putI32(b, m.id);
    putU16(b, m.status);
    putU16(b, 0);
    if (m.status == CounterTooLow)
        putU32(b, m.deviceCounter);
    return makeFrame(BeginReply, b);
}

Bytes encode(const ChunkMsg& m) {
    Bytes b;
    putU32(b, m.offset);
    putU32(b, m.dataCrc);
    b.insert(b.end(), m.data.begin(), m.data.end());
    return makeFrame(Chunk, b);
}

Bytes encode(const ChunkAckMsg& m) {
    Bytes b;
    putU32(b, m.received);
    putU16(b, m.status);
    putU16(b, 0);
    return makeFrame(ChunkAck, b);
}

Bytes encode(const EndMsg& m) {
    Bytes b;
    putU32(b, m.imageCrc);
    return makeFrame(End, b);
}

Bytes encode(const VerifyReplyMsg& m) {
    return makeFrame(VerifyReply, statusBody(m.status));
}

Bytes encode(const FlashProgressMsg& m) {
    return makeFrame(FlashProgress, statusBody(m.percent));
}

Bytes encode(const CommitReplyMsg& m) {
    Bytes b = statusBody(m.status);
    putI32(b, m.versionMajor);
    putI32(b, m.versionMinor);
    return makeFrame(CommitReply, b);
}

ChunkFrameParts chunkFrameParts(std::uint32_t offset, std::uint32_t dataCrc, std::uint32_t dataSize) {
    std::uint8_t start[8];
    support::storeU32(start, offset);
    support::storeU32(start + 4, dataCrc);
    ChunkFrameParts parts;
    frameAround(Chunk, start, sizeof start, dataSize, dataCrc, parts.head.data(), parts.trailer.data());
    return parts;
}

std::optional<BeginMsg> decodeBegin(const Frame& f) {
    // The type is part of every Begin: a device must know what it is offered before the payload.
    const std::uint8_t* b = bodyOf(f, Begin, 20);
    if (b == nullptr)
        return std::nullopt;
    BeginMsg m{getI32(b), getU32(b + 4), getU32(b + 8), getU32(b + 12), getU32(b + 16)};
    // A body too short for the whole signature block carries none.
    if (f.body.size() >= kSignedBeginSize) {
        fwimage::ImageSignature& sig = m.signature;
        sig.present = true;
        std::copy_n(b + 20, sig.keyId.size(), sig.keyId.begin());
        sig.counter = getU32(b + 28);
        std::copy_n(b + 32, sig.signature.size(), sig.signature.begin());
    }
    return m;
}

std::optional<BeginReplyMsg> decodeBeginReply(const Frame& f) {
    const std::uint8_t* b = bodyOf(f, BeginReply, 8);
    if (b == nullptr)
        return std::nullopt;
    BeginReplyMsg m{getI32(b), getU16(b + 4)};
    if (f.body.size() >= 12)
        m.deviceCounter = getU32(b + 8);
    return m;
}

std::optional<ChunkMsg> decodeChunk(const Frame& f) {
    const std::uint8_t* b = bodyOf(f, Chunk, 8);
    if (b == nullptr)
        return std::nullopt;
    return ChunkMsg{getU32(b), getU32(b + 4), std::span<const std::uint8_t>(f.body).subspan(8)};
}

std::optional<ChunkAckMsg> decodeChunkAck(const Frame& f) {
    const std::uint8_t* b = bodyOf(f, ChunkAck, 8);
    if (b == nullptr)
        return std::nullopt;
    return ChunkAckMsg{getU32(b), getU16(b + 4)};
}

std::optional<EndMsg> decodeEnd(const Frame& f) {
    const std::uint8_t* b = bodyOf(f, End, 4);
    if (b == nullptr)
        return std::nullopt;
    return EndMsg{getU32(b)};
}

std::optional<VerifyReplyMsg> decodeVerifyReply(const Frame& f) {
    const std::uint8_t* b = bodyOf(f, VerifyReply, 4);
    if (b == nullptr)
        return std::nullopt;
    return VerifyReplyMsg{getU16(b)};
}

std::optional<FlashProgressMsg> decodeFlashProgress(const Frame& f) {
    const std::uint8_t* b = bodyOf(f, FlashProgress, 4);
    if (b == nullptr)
        return std::nullopt;
    return FlashProgressMsg{getU16(b)};
}

std::optional<CommitReplyMsg> decodeCommitReply(const Frame& f) {
    const std::uint8_t* b = bodyOf(f, CommitReply, 4);
    if (b == nullptr)
        return std::nullopt;
    CommitReplyMsg m{getU16(b)};
    if (f.body.size() >= 12) {
        m.versionMajor = getI32(b + 4);
        m.versionMinor = getI32(b + 8);
    }
    return m;
}

std::int32_t idOfBegin(const Frame& f) {
    return f.type == Begin && f.body.size() >= 4 ? getI32(f.body.data()) : 0;
}

} // namespace wire
