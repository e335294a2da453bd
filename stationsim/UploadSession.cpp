#include "UploadSession.h"

#include "FirmwareImage.h"
#include "Pacer.h"
#include "RequestLog.h"

#include <algorithm>
#include <cstdio>
#include <zlib.h>

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;
using Frames = std::optional<proto::Frame>;

std::vector<std::uint8_t> statusBody(std::uint16_t status) {
    std::vector<std::uint8_t> b;
    proto::putU16(b, status);
    proto::putU16(b, 0);
    return b;
}

bool sendBeginReply(FrameChannel& ch, std::int32_t id, std::uint16_t status) {
    std::vector<std::uint8_t> b;
    proto::putI32(b, id);
    proto::putU16(b, status);
    proto::putU16(b, 0);
    return ch.send(proto::makeFrame(proto::BeginReply, b));
}

bool sendChunkAck(FrameChannel& ch, std::uint32_t received, std::uint16_t status) {
    std::vector<std::uint8_t> b;
    proto::putU32(b, received);
    proto::putU16(b, status);
    proto::putU16(b, 0);
    return ch.send(proto::makeFrame(proto::ChunkAck, b));
}

bool sendCommitReply(FrameChannel& ch, std::uint16_t status, Version v) {
    std::vector<std::uint8_t> b = statusBody(status);
    proto::putI32(b, v.major);
    proto::putI32(b, v.minor);
    return ch.send(proto::makeFrame(proto::CommitReply, b));
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
            if (!ch.send(
                    proto::makeFrame(proto::FlashProgress, statusBody(static_cast<std::uint16_t>(percent)))))
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

void commit(const SessionContext& ctx, std::int32_t id, Version v) {
    if (ctx.state == nullptr) {
        ctx.table.setVersion(id, v);
        return;
    }
    std::string error;
    if (!ctx.state->commit(ctx.table, id, v, error))
        std::fprintf(stderr, "stationsim: cannot save state: %s\n", error.c_str());
}

// Checks a complete image against the announced CRC and the image format.
std::uint16_t verify(const std::vector<std::uint8_t>& image, std::uint32_t announcedCrc,
                     fwimage::ImageInfo& info) {
    if (fwimage::parseImage(image.data(), image.size(), info) == fwimage::ImageError::None) {
        // The payload CRC was just checked against the header; combining it with the
        // header's spares another pass over a large image.
        const uLong header = ::crc32(0L, image.data(), static_cast<uInt>(fwimage::kHeaderSize));
        const uLong whole =
            ::crc32_combine(header, info.payloadCrc, static_cast<z_off_t>(info.payloadLength));
        return static_cast<std::uint32_t>(whole) == announcedCrc ? proto::Ok : proto::ImageCrcBad;
    }
    return fwimage::crc32Of(image.data(), image.size()) == announcedCrc ? proto::ImageInvalid
                                                                        : proto::ImageCrcBad;
}

struct Upload {
    std::int32_t id = 0;
    std::uint32_t size = 0;
    std::uint32_t crc = 0;
    std::uint32_t chunkSize = 0;
};

// Receives chunks and the End; true when the image arrived whole and verified.
// `next` receives a Begin that interrupts the session on a shared line.
bool receive(const SessionContext& ctx, FrameChannel& ch, const DeviceConfig& dev, const Upload& up,
             std::vector<std::uint8_t>& image, fwimage::ImageInfo& info, Frames& next) {
    const Faults& faults = dev.faults;
    Pacer link(ctx.linkBytesPerSecond);
    std::uint32_t received = 0;
    // Grow with the data rather than trusting the announced size up front.
    image.reserve(std::min<std::uint32_t>(up.size, 16u << 20));
    for (;;) {
        proto::Frame f;
        const auto r = ch.next(f, Clock::now() + kSessionIdleLimit);
        if (r != FrameChannel::Read::Frame)
            return false;
        if (f.type == proto::Begin && ch.carriesManySessions()) {
            next = std::move(f);
            return false;
        }
        if (f.type == proto::End) {
            if (f.body.size() < 4)
                return false;
            const std::uint32_t endCrc = proto::getU32(f.body.data());
            const std::uint16_t status = received == up.size && endCrc == up.crc
                                             ? verify(image, up.crc, info)
                                             : std::uint16_t{proto::ImageCrcBad};
            if (status != proto::Ok) {
                ch.send(proto::makeFrame(proto::VerifyReply, statusBody(status)));
                return false;
            }
            return ch.send(proto::makeFrame(proto::VerifyReply, statusBody(proto::Ok)));
        }
        if (f.type != proto::Chunk || f.body.size() < 8)
            return false;
        const std::uint32_t offset = proto::getU32(f.body.data());
        const std::uint32_t dataCrc = proto::getU32(f.body.data() + 4);
        std::uint8_t* data = f.body.data() + 8;
        const std::size_t length = f.body.size() - 8;
        if (offset != received) {
            sendChunkAck(ch, received, proto::OutOfOrder);
            return false;
        }
        if (length == 0 || length > up.chunkSize || length > up.size - received) {
            sendChunkAck(ch, received, proto::BadRequest);
            return false;
        }
        if (faults.corruptAt != 0 && faults.corruptAt >= offset && faults.corruptAt - offset < length)
            data[faults.corruptAt - offset] ^= 0xFF;
        if (fwimage::crc32Of(data, length) != dataCrc) {
            sendChunkAck(ch, received, proto::ChunkCrcBad);
            return false;
        }
        image.insert(image.end(), data, data + length);
        received += static_cast<std::uint32_t>(length);
        if (!ch.pauseUntil(link.account(length)))
            return false;
        if (faults.dropAfter != 0 && received >= faults.dropAfter) {
            ch.reset();
            return false;
        }
        if (faults.stallAfter != 0 && received >= faults.stallAfter) {
            next = ch.holdUntilPeerLeaves();
            return false;
        }
        if (!sendChunkAck(ch, received, proto::Ok))
            return false;
    }
}

} // namespace

std::optional<proto::Frame> runUpload(const SessionContext& ctx, FrameChannel& ch,
                                      const proto::Frame& begin) {
    if (begin.body.size() < 16) {
        sendBeginReply(ch, begin.body.size() >= 4 ? proto::getI32(begin.body.data()) : 0, proto::BadRequest);
        return std::nullopt;
    }
    Upload up;
    up.id = proto::getI32(begin.body.data());
    up.size = proto::getU32(begin.body.data() + 4);
    up.crc = proto::getU32(begin.body.data() + 8);
    up.chunkSize = proto::getU32(begin.body.data() + 12);

    const DeviceConfig* dev = ctx.table.find(up.id);
    if (dev == nullptr || (ctx.serialLine && !dev->serial)) {
        sendBeginReply(ch, up.id, proto::UnknownId);
        return std::nullopt;
    }
    if (dev->faults.silent)
        return ch.holdUntilPeerLeaves();
    if (dev->faults.delayMs != 0 &&
        !ch.pauseUntil(Clock::now() + std::chrono::milliseconds(dev->faults.delayMs)))
        return std::nullopt;
    if (dev->faults.reject) {
        sendBeginReply(ch, up.id, proto::Rejected);
        return std::nullopt;
    }
    if (up.size == 0 || up.size > kMaxImageSize || up.chunkSize == 0 || up.chunkSize > proto::kMaxChunkSize) {
        sendBeginReply(ch, up.id, proto::TooLarge);
        return std::nullopt;
    }
    UploadClaim claim(ctx.table, up.id);
    if (!claim.held()) {
        sendBeginReply(ch, up.id, proto::Busy);
        return std::nullopt;
    }
    if (!sendBeginReply(ch, up.id, proto::Ok))
        return std::nullopt;
    logRequest("upload %d: started, %u bytes%s", up.id, up.size, ctx.serialLine ? " on the serial line" : "");

    Frames next;
    std::vector<std::uint8_t> image;
    fwimage::ImageInfo info;
    if (!receive(ctx, ch, *dev, up, image, info, next)) {
        logRequest("upload %d: transfer ended without a verified image, old firmware kept", up.id);
        return next;
    }
    const std::size_t size = image.size();
    std::vector<std::uint8_t>().swap(image); // flashing needs only the size from here on

    const Version old = ctx.table.version(up.id);
    if (dev->faults.flashFail) {
        if (flash(ctx, ch, size, 50)) {
            claim.release();
            sendCommitReply(ch, proto::FlashFailed, old);
        }
        logRequest("upload %d: flash programming failed, version %d.%02d kept", up.id, old.major, old.minor);
        return std::nullopt;
    }
    if (!flash(ctx, ch, size, 100)) {
        logRequest("upload %d: flash programming interrupted, version %d.%02d kept", up.id, old.major,
                   old.minor);
        return std::nullopt;
    }
    const Version installed{info.versionMajor, info.versionMinor};
    commit(ctx, up.id, installed);
    logRequest("upload %d: committed, version %d.%02d", up.id, installed.major, installed.minor);
    claim.release();
    sendCommitReply(ch, proto::Ok, installed);
    return std::nullopt;
}

} // namespace sim
