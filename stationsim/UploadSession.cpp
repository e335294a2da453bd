#include "stationsim/UploadSession.h"

#include "stationsim/Pacer.h"
#include "stationsim/RequestLog.h"
#include "wire/Crc32.h"
#include "wire/FirmwareImage.h"
#include "wire/ImageSigning.h"
#include "wire/UploadFrames.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;
using Frames = std::optional<wire::Frame>;

bool sendBeginReply(FrameChannel& ch, std::int32_t id, std::uint16_t status) {
    return ch.send(wire::encode(wire::BeginReplyMsg{id, status}));
}

bool sendChunkAck(FrameChannel& ch, std::uint32_t received, std::uint16_t status) {
    return ch.send(wire::encode(wire::ChunkAckMsg{received, status}));
}

bool sendVerifyReply(FrameChannel& ch, std::uint16_t status) {
    return ch.send(wire::encode(wire::VerifyReplyMsg{status}));
}

bool sendCommitReply(FrameChannel& ch, std::uint16_t status, Version v) {
    return ch.send(wire::encode(wire::CommitReplyMsg{status, v.major, v.minor}));
}

// Programs the flash at the configured rate, reporting every percent step and at
// least every 250 ms. Stops at `upTo` percent; false if the session died meanwhile.
bool flash(const SessionContext& ctx, FrameChannel& ch, std::size_t size, int upTo) {
    constexpr auto kHeartbeat = std::chrono::milliseconds(250);
    const auto start = Clock::now();
    const double seconds =
        ctx.flashBytesPerSecond > 0 ? static_cast<double>(size) / ctx.flashBytesPerSecond : 0;
    const auto duration = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    int last = -1;
    Clock::time_point lastSent;
    for (;;) {
        const auto now = Clock::now();
        int percent = upTo;
        if (duration.count() > 0 && now - start < duration)
            percent = std::min(upTo, static_cast<int>(100.0 * static_cast<double>((now - start).count()) /
                                                      static_cast<double>(duration.count())));
        if (percent != last || now - lastSent >= kHeartbeat) {
            if (!ch.send(wire::encode(wire::FlashProgressMsg{static_cast<std::uint16_t>(percent)})))
                return false;
            last = percent;
            lastSent = now;
        }
        if (percent >= upTo)
            return true;
        const auto nextStep =
            start + std::chrono::duration_cast<Clock::duration>(duration * (percent + 1) / 100);
        if (!ch.pauseUntil(std::min(nextStep, lastSent + kHeartbeat)))
            return false;
    }
}

// True once the new version (and the device's raised counter) is installed, and saved where
// a state file keeps it.
bool commit(const SessionContext& ctx, std::int32_t id, Version v, std::uint32_t counter) {
    if (ctx.state == nullptr) {
        ctx.table.setVersion(id, v);
        ctx.table.raiseCounter(id, counter);
        return true;
    }
    std::string error;
    if (ctx.state->commit(ctx.table, id, v, counter, error))
        return true;
    std::fprintf(stderr, "stationsim: cannot save state: %s\n", error.c_str());
    return false;
}

// What a device keeps of an image while it arrives: the header, running CRCs and, on a
// device that checks signatures, the running signature hash; never the payload, so many
// large uploads at once cost the station next to no memory.
struct Received {
    std::uint32_t size = 0;
    std::array<std::uint8_t, fwimage::kHeaderSize> header{};
    std::uint32_t wholeCrc = 0;   // every byte
    std::uint32_t payloadCrc = 0; // the bytes after the header
    std::optional<fwsign::ImageHasher> hasher;

    // `crc` is the CRC of these bytes, already checked: the running CRCs fold it in rather
    // than reading the bytes again.
    void add(const std::uint8_t* data, std::size_t n, std::uint32_t crc) {
        if (hasher)
            hasher->update(data, n);
        wholeCrc = wire::crc32Combine(wholeCrc, crc, n);
        const std::size_t inHeader =
            size < fwimage::kHeaderSize ? std::min(n, fwimage::kHeaderSize - size) : 0;
        std::copy_n(data, inHeader, header.begin() + size);
        payloadCrc = inHeader == 0 ? wire::crc32Combine(payloadCrc, crc, n)
                                   : wire::crc32Of(data + inHeader, n - inHeader, payloadCrc);
        size += static_cast<std::uint32_t>(n);
    }
};

// Checks a complete image against the announced CRC, the image format and, on a device that
// checks signatures, the signature Begin carried (its key was found trusted then).
std::uint16_t verify(Received& image, const DeviceConfig& dev, const wire::BeginMsg& up,
                     fwimage::ImageInfo& info) {
    if (image.wholeCrc != up.imageCrc)
        return wire::ImageCrcBad;
    fwimage::ImageInfo parsed;
    if (image.size < fwimage::kHeaderSize ||
        fwimage::parseHeader(image.header.data(), parsed) != fwimage::ImageError::None ||
        image.size - fwimage::kHeaderSize != parsed.payloadLength || image.payloadCrc != parsed.payloadCrc)
        return wire::ImageInvalid;
    // The type was accepted at Begin: an image of another type is not the one offered.
    if (parsed.typeCode != up.imageType)
        return wire::ImageInvalid;
    if (image.hasher && !image.hasher->verify(up.signature, dev.trustedKey(up.signature.keyId)->key))
        return wire::BadSignature;
    info = parsed;
    return wire::Ok;
}

// Whether a device that checks signatures may take the image Begin offers: Ok, or the refusal.
std::uint16_t checkSignature(const SessionContext& ctx, const DeviceConfig& dev, const wire::BeginMsg& up) {
    if (dev.trustedKeys.empty())
        return wire::Ok;
    if (!up.signature.present)
        return wire::Unsigned;
    if (dev.trustedKey(up.signature.keyId) == nullptr)
        return wire::UnknownKey;
    return up.signature.counter < ctx.table.counter(dev.id) ? wire::CounterTooLow : wire::Ok;
}

// Receives chunks and the End; true when the image arrived whole and verified.
// `next` receives a Begin that interrupts the session on a shared line. A refusal
// frees the device before it is sent, so that the client's next upload finds it free.
bool receive(const SessionContext& ctx, FrameChannel& ch, const DeviceConfig& dev, const wire::BeginMsg& up,
             fwimage::ImageInfo& info, Frames& next, UploadClaim& claim) {
    const Faults& faults = dev.faults;
    Pacer link(ctx.linkBytesPerSecond);
    Received image;
    if (!dev.trustedKeys.empty())
        image.hasher.emplace();
    std::uint32_t received = 0;
    // The least rate the protocol allows: byte n is due the idle limit plus n / rate after
    // the start, so a client trickling bytes cannot hold the device.
    const auto start = Clock::now();
    const auto dueBy = [&](std::uint64_t bytes) {
        return start + kSessionIdleLimit + std::chrono::milliseconds(bytes * 1000 / wire::kMinTransferRate);
    };
    for (;;) {
        wire::Frame f;
        const std::uint32_t expected = std::min(up.chunkSize, up.imageSize - received); // 0: the End
        const auto r = ch.next(f, std::min(Clock::now() + kSessionIdleLimit, dueBy(received + expected)));
        if (r != FrameChannel::Read::Frame)
            return false;
        if (f.type == wire::Begin && ch.carriesManySessions()) {
            next = std::move(f);
            return false;
        }
        if (f.type == wire::End) {
            const auto end = wire::decodeEnd(f);
            if (!end)
                return false;
            const std::uint16_t status = received == up.imageSize && end->imageCrc == up.imageCrc
                                             ? verify(image, dev, up, info)
                                             : std::uint16_t{wire::ImageCrcBad};
            if (status != wire::Ok)
                claim.release();
            return sendVerifyReply(ch, status) && status == wire::Ok;
        }
        const auto chunk = wire::decodeChunk(f);
        if (!chunk)
            return false;
        const std::size_t length = chunk->data.size();
        if (chunk->offset != received) {
            claim.release();
            sendChunkAck(ch, received, wire::OutOfOrder);
            return false;
        }
        if (length == 0 || length != expected) { // every chunk full but the last
            claim.release();
            sendChunkAck(ch, received, wire::BadRequest);
            return false;
        }
        // The chunk's bytes lie in the frame, which is ours to change.
        std::uint8_t* data = f.body.data() + (chunk->data.data() - f.body.data());
        const std::uint32_t offset = chunk->offset;
        // The data's CRC follows from the frame's, already checked; a byte flipped here on
        // purpose is seen only by reading the data again.
        std::uint32_t dataCrc = wire::tailCrcOf(f, f.body.size() - length);
        if (faults.corruptAt != 0 && faults.corruptAt >= offset && faults.corruptAt - offset < length) {
            data[faults.corruptAt - offset] ^= 0xFF;
            dataCrc = wire::crc32Of(data, length);
        }
        if (dataCrc != chunk->dataCrc) {
            claim.release();
            sendChunkAck(ch, received, wire::ChunkCrcBad);
            return false;
        }
        image.add(data, length, chunk->dataCrc);
        received += static_cast<std::uint32_t>(length);
        if (link.active() && !ch.pauseUntil(link.account(length)))
            return false;
        if (faults.dropAfter != 0 && received >= faults.dropAfter) {
            ch.reset();
            return false;
        }
        if (faults.stallAfter != 0 && received >= faults.stallAfter) {
            next = ch.holdUntilPeerLeaves();
            return false;
        }
        if (!sendChunkAck(ch, received, wire::Ok))
            return false;
    }
}

} // namespace

std::optional<wire::Frame> runUpload(const SessionContext& ctx, FrameChannel& ch, const wire::Frame& begin) {
    const auto decoded = wire::decodeBegin(begin);
    if (!decoded) {
        sendBeginReply(ch, wire::idOfBegin(begin), wire::BadRequest);
        return std::nullopt;
    }
    const wire::BeginMsg& up = *decoded;

    const DeviceConfig* dev = ctx.table.find(up.id);
    if (dev == nullptr || (ctx.serialLine && !dev->serial)) {
        sendBeginReply(ch, up.id, wire::UnknownId);
        return std::nullopt;
    }
    if (dev->faults.silent)
        return ch.holdUntilPeerLeaves();
    if (dev->faults.delayMs != 0 &&
        !ch.pauseUntil(Clock::now() + std::chrono::milliseconds(dev->faults.delayMs)))
        return std::nullopt;
    if (dev->faults.reject) {
        sendBeginReply(ch, up.id, wire::Rejected);
        return std::nullopt;
    }
    if (up.imageSize == 0 || up.imageSize > kMaxImageSize || up.chunkSize < wire::kMinChunkSize ||
        up.chunkSize > wire::kMaxChunkSize) {
        sendBeginReply(ch, up.id, wire::TooLarge);
        return std::nullopt;
    }
    if (!dev->acceptsType(up.imageType)) {
        sendBeginReply(ch, up.id, wire::NotAccepted);
        logRequest("upload %d: image type %u not accepted", up.id, up.imageType & 0xFFu);
        return std::nullopt;
    }
    UploadClaim claim(ctx.table, up.id);
    if (!claim.held()) {
        sendBeginReply(ch, up.id, wire::Busy);
        return std::nullopt;
    }
    // Under the claim: no other session can raise the counter between this check and the commit.
    if (const std::uint16_t refusal = checkSignature(ctx, *dev, up); refusal != wire::Ok) {
        const std::uint32_t counter = ctx.table.counter(up.id);
        claim.release();
        ch.send(wire::encode(wire::BeginReplyMsg{up.id, refusal, counter}));
        logRequest("upload %d: refused, %s", up.id,
                   refusal == wire::Unsigned     ? "unsigned image"
                   : refusal == wire::UnknownKey ? "signed by an unknown key"
                                                 : "security counter too low");
        return std::nullopt;
    }
    if (!sendBeginReply(ch, up.id, wire::Ok))
        return std::nullopt;
    logRequest("upload %d: started, %u bytes%s", up.id, up.imageSize,
               ctx.serialLine ? " on the serial line" : "");

    Frames next;
    fwimage::ImageInfo info;
    if (!receive(ctx, ch, *dev, up, info, next, claim)) {
        logRequest("upload %d: transfer ended without a verified image, old firmware kept", up.id);
        return next;
    }
    const std::size_t size = up.imageSize;

    const Version old = ctx.table.version(up.id);
    if (dev->faults.flashFail) {
        if (flash(ctx, ch, size, 50)) {
            claim.release();
            sendCommitReply(ch, wire::FlashFailed, old);
        }
        logRequest("upload %d: flash programming failed, version %d.%02d kept", up.id, old.major, old.minor);
        return std::nullopt;
    }
    // A client gone before the flash ended gets no commit, however fast the flash ran.
    if (!flash(ctx, ch, size, 100) || !ch.pauseUntil(Clock::now())) {
        logRequest("upload %d: flash programming interrupted, version %d.%02d kept", up.id, old.major,
                   old.minor);
        return std::nullopt;
    }
    // Confirmed only once it is durable: a version that cannot be saved counts as a failed flash.
    const Version installed{info.versionMajor, info.versionMinor};
    const std::uint32_t counter = dev->trustedKeys.empty() ? 0 : up.signature.counter;
    if (!commit(ctx, up.id, installed, counter)) {
        logRequest("upload %d: new version not saved, version %d.%02d kept", up.id, old.major, old.minor);
        claim.release();
        sendCommitReply(ch, wire::FlashFailed, old);
        return std::nullopt;
    }
    logRequest("upload %d: committed, version %d.%02d", up.id, installed.major, installed.minor);
    claim.release();
    sendCommitReply(ch, wire::Ok, installed);
    return std::nullopt;
}

} // namespace sim
