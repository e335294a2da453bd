// Client side of one upload session: Begin, windowed chunks, End, then the device's
// verify, flash progress and commit. Every wait has a deadline; any protocol
// failure ends this session only.
#include "devlib/UploadSession.h"

#include "devlib/TestDll.h"
#include "wire/Crc32.h"
#include "wire/FirmwareImage.h"
#include "wire/ImageTypes.h"

#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace testdll {

SharedImage::SharedImage(std::span<const std::uint8_t> imageBytes, std::uint32_t payloadCrc,
                         std::uint32_t chunk, std::uint32_t typeCode, std::vector<std::uint32_t> chunkCrcs,
                         const fwimage::ImageSignature& signature)
    : m_bytes(imageBytes), m_chunkSize(chunk), m_typeCode(typeCode), m_signature(signature) {
    // The whole-file CRC follows from the header's and the payload's without reading the payload again.
    const std::size_t head = std::min(imageBytes.size(), fwimage::kHeaderSize);
    m_crc = wire::crc32Combine(wire::crc32Of(imageBytes.data(), head), payloadCrc, imageBytes.size() - head);
    const std::size_t chunks = (imageBytes.size() + chunk - 1) / chunk;
    const bool given = chunkCrcs.size() == chunks;
    m_chunkCrcs = given ? std::move(chunkCrcs) : std::vector<std::uint32_t>(chunks, 0);
    m_known.assign(chunks, given);
}

std::uint32_t SharedImage::chunkCrc(std::uint32_t offset) const {
    const std::size_t index = offset / m_chunkSize;
    if (!m_known[index]) {
        const std::size_t n = std::min<std::size_t>(m_chunkSize, m_bytes.size() - offset);
        m_chunkCrcs[index] = wire::crc32Of(m_bytes.data() + offset, n);
        m_known[index] = true;
    }
    return m_chunkCrcs[index];
}

std::unique_ptr<UploadSession> UploadSession::connectTcp(std::int32_t id, const SharedImage& image,
                                                         const sockaddr_in& to,
                                                         std::chrono::milliseconds timeout) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    auto s = std::make_unique<UploadSession>(id, image, fd, true, true, timeout);
    if (fd < 0) {
        s->fail(UPLOAD_UNREACHABLE, "no network socket could be made");
        return s;
    }
    // Small control frames must not wait behind Nagle's algorithm.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    s->touch(timeout);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
        s->start();
    } else if (errno == EINPROGRESS) {
        s->m_phase = Phase::Connecting;
    } else {
        s->fail(UPLOAD_UNREACHABLE, errno == ECONNREFUSED ? "the station refused the connection"
                                                          : "no connection to the station");
    }
    return s;
}

std::unique_ptr<UploadSession> UploadSession::overStream(std::int32_t id, const SharedImage& image, int fd,
                                                         std::chrono::milliseconds timeout, bool isSocket) {
    auto s = std::make_unique<UploadSession>(id, image, fd, false, isSocket, timeout);
    s->start();
    return s;
}

UploadSession::UploadSession(std::int32_t id, const SharedImage& image, int fd, bool ownsFd, bool isSocket,
                             std::chrono::milliseconds timeout)
    : m_id(id), m_image(image), m_fd(fd), m_ownsFd(ownsFd), m_isSocket(isSocket), m_timeout(timeout),
      m_reader(isSocket ? wire::FrameReader::Mode::Stream : wire::FrameReader::Mode::Resync) {}

UploadSession::~UploadSession() {
    finish();
}

std::chrono::milliseconds flashLimit(std::uint32_t imageSize, std::chrono::milliseconds timeout) {
    return 4 * timeout + std::chrono::milliseconds(std::uint64_t{imageSize} * 1000 / 16384);
}

void UploadSession::touch(std::chrono::milliseconds within) {
    m_deadline = Clock::now() + within;
    if (m_phase == Phase::Flashing)
        m_deadline = std::min(m_deadline, m_flashEnd);
}

void UploadSession::setProgress(int value) {
    if (value == m_progress)
        return;
    m_progress = value;
    if (m_onProgress)
        m_onProgress();
}

void UploadSession::observe(int phase, int percent) {
    if (phase == m_observedPhase && percent == m_observedPercent)
        return;
    m_observedPhase = phase;
    m_observedPercent = percent;
    if (m_observer)
        m_observer(m_id, phase, percent);
}

void UploadSession::finish() {
    if (m_ownsFd && m_fd >= 0)
        ::close(m_fd);
    if (m_ownsFd)
        m_fd = -1;
    m_iovCount = 0;
}

void UploadSession::fail(int outcome, const char* why) {
    if (!active())
        return;
    m_phase = Phase::Failed;
    m_outcome = outcome;
    std::snprintf(m_reason, sizeof m_reason, "%s", why);
    finish();
    if (m_onProgress)
        m_onProgress(); // the overall value may rise now that this target dropped out
}

void UploadSession::refused(const wire::BeginReplyMsg& reply) {
    char why[120];
    switch (reply.status) {
    case wire::UnknownId:
        fail(UPLOAD_UNREACHABLE,
             m_isSocket ? "the station does not know this device" : "the device is not on this serial line");
        return;
    case wire::Busy:
        fail(UPLOAD_REFUSED, "the device is busy with another upload");
        return;
    case wire::TooLarge:
        fail(UPLOAD_REFUSED, "the device refuses an image of this size");
        return;
    case wire::NotAccepted: {
        if (const char* label = wire::imageTypeLabel(m_image.typeCode()))
            std::snprintf(why, sizeof why, "image type %s is not accepted by this device", label);
        else
            std::snprintf(why, sizeof why, "image type %u is not accepted by this device",
                          m_image.typeCode() & 0xFFu);
        fail(UPLOAD_REFUSED, why);
        return;
    }
    case wire::Rejected:
        fail(UPLOAD_REFUSED, "the device refuses images");
        return;
    case wire::Unsigned:
        fail(UPLOAD_REFUSED, "unsigned image");
        return;
    case wire::UnknownKey: {
        const auto& id = m_image.signature().keyId;
        std::snprintf(why, sizeof why, "signed by an unknown key (id %02x%02x%02x%02x%02x%02x%02x%02x)",
                      id[0], id[1], id[2], id[3], id[4], id[5], id[6], id[7]);
        fail(UPLOAD_REFUSED, why);
        return;
    }
    case wire::CounterTooLow:
        std::snprintf(why, sizeof why, "security counter %u is below the device's %u",
                      static_cast<unsigned>(m_image.signature().counter),
                      static_cast<unsigned>(reply.deviceCounter));
        fail(UPLOAD_REFUSED, why);
        return;
    default:
        fail(UPLOAD_REFUSED, "the device refused the upload");
        return;
    }
}

void UploadSession::lost(const char* how) {
    char why[120];
    switch (m_phase) {
    case Phase::Streaming:
        std::snprintf(why, sizeof why, "%s during the transfer", how);
        fail(UPLOAD_TRANSFER_FAILED, why);
        break;
    case Phase::AwaitVerify:
        std::snprintf(why, sizeof why, "%s before the device confirmed the image", how);
        fail(UPLOAD_VERIFY_FAILED, why);
        break;
    case Phase::Flashing:
        std::snprintf(why, sizeof why, "%s while the device programmed its flash", how);
        fail(UPLOAD_FLASH_FAILED, why);
        break;
    default: // nothing of the image was taken
        std::snprintf(why, sizeof why, "%s before the device answered", how);
        fail(UPLOAD_UNREACHABLE, why);
        break;
    }
}

void UploadSession::start() {
    queueControl(wire::encode(wire::BeginMsg{m_id, m_image.size(), m_image.crc(), m_image.chunkSize(),
                                             m_image.typeCode(), m_image.signature()}));
    m_phase = Phase::AwaitBegin;
    touch(m_timeout);
}

void UploadSession::queueControl(std::vector<std::uint8_t> frame) {
    m_control = std::move(frame);
    m_iov[0] = {m_control.data(), m_control.size()};
    m_iovFirst = 0;
    m_iovCount = 1;
}

bool UploadSession::refill() {
    if (m_iovCount > 0)
        return true;
    if (m_phase != Phase::Streaming || m_inFlight >= wire::kChunkWindow || m_nextOffset >= m_image.size())
        return false;
    const std::uint32_t offset = m_nextOffset;
    const std::uint32_t n = std::min(m_image.chunkSize(), m_image.size() - offset);
    // The image bytes go out from where they lie, and their CRC is computed once per
    // call, not once per target: the frame's CRC is folded together from it.
    m_chunk = wire::chunkFrameParts(offset, m_image.chunkCrc(offset), n);
    m_iov[0] = {m_chunk.head.data(), m_chunk.head.size()};
    m_iov[1] = {const_cast<std::uint8_t*>(m_image.bytes().data() + offset), n};
    m_iov[2] = {m_chunk.trailer.data(), m_chunk.trailer.size()};
    m_iovFirst = 0;
    m_iovCount = 3;
    m_nextOffset += n;
    ++m_inFlight;
    return true;
}

short UploadSession::pollEvents() const {
    if (!active() || m_fd < 0)
        return 0;
    if (m_phase == Phase::Connecting)
        return POLLOUT;
    const bool wantWrite =
        m_iovCount > 0 ||
        (m_phase == Phase::Streaming && m_inFlight < wire::kChunkWindow && m_nextOffset < m_image.size());
    return static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0));
}

void UploadSession::onEvents(short revents) {
    if (!active())
        return;
    if (m_phase == Phase::Connecting) {
        if ((revents & (POLLOUT | POLLERR | POLLHUP)) == 0)
            return;
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
            fail(UPLOAD_UNREACHABLE,
                 err == ECONNREFUSED ? "the station refused the connection" : "no connection to the station");
            return;
        }
        start();
        onWritable();
        return;
    }
    // Read first: a device's final error report may arrive together with a reset.
    if (revents & (POLLIN | POLLERR | POLLHUP))
        onReadable((revents & POLLHUP) != 0);
    if (active() && (revents & POLLOUT))
        onWritable();
}

void UploadSession::onWritable() {
    while (active() && refill()) {
        ssize_t n;
        if (m_isSocket) {
            msghdr msg{};
            msg.msg_iov = m_iov + m_iovFirst;
            msg.msg_iovlen = static_cast<std::size_t>(m_iovCount);
            n = ::sendmsg(m_fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        } else {
            n = ::writev(m_fd, m_iov + m_iovFirst, m_iovCount);
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                return;
            lost("the connection was lost");
            return;
        }
        auto left = static_cast<std::size_t>(n);
        while (m_iovCount > 0 && left >= m_iov[m_iovFirst].iov_len) {
            left -= m_iov[m_iovFirst].iov_len;
            ++m_iovFirst;
            --m_iovCount;
        }
        if (m_iovCount > 0) {
            m_iov[m_iovFirst].iov_base = static_cast<std::uint8_t*>(m_iov[m_iovFirst].iov_base) + left;
            m_iov[m_iovFirst].iov_len -= left;
            return; // the stream is full for now
        }
    }
}

void UploadSession::onReadable(bool hangUp) {
    std::uint8_t buf[16384];
    // Bounded, so one chatty device cannot starve the other targets.
    for (int round = 0; round < 16 && active(); ++round) {
        const ssize_t n = ::read(m_fd, buf, sizeof buf);
        if (n > 0) {
            m_reader.feed(buf, static_cast<std::size_t>(n));
            drainFrames();
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        // A raw terminal (VMIN 0) reads 0 when it has nothing; only a hang-up ends the line.
        if (n == 0 && !m_isSocket && !hangUp)
            return;
        lost(n == 0 ? "the connection was closed" : "the connection was lost");
        return;
    }
}

void UploadSession::drainFrames() {
    while (active()) {
        auto f = m_reader.next();
        if (!f)
            break;
        handle(*f);
    }
    if (m_reader.failed())
        lost("a damaged frame arrived");
}

void UploadSession::handle(const wire::Frame& f) {
    switch (m_phase) {
    case Phase::AwaitBegin: {
        // On the serial line a stale frame from an earlier session may still arrive: skip it.
        const auto reply = wire::decodeBeginReply(f);
        if (!reply || reply->id != m_id)
            return;
        if (reply->status != wire::Ok) {
            refused(*reply);
            return;
        }
        m_phase = Phase::Streaming;
        observe(DEVICE_PHASE_TRANSFER, 0);
        setProgress(1);
        touch(4 * m_timeout);
        return;
    }
    case Phase::Streaming: {
        const auto ack = wire::decodeChunkAck(f);
        if (!ack)
            return;
        touch(4 * m_timeout);
        if (ack->status != wire::Ok) {
            fail(UPLOAD_TRANSFER_FAILED,
                 ack->status == wire::ChunkCrcBad ? "a chunk arrived damaged" : "the device refused a chunk");
            return;
        }
        // Each good chunk is acknowledged once, in order.
        const std::uint32_t expected = std::min(m_acked + m_image.chunkSize(), m_image.size());
        if (m_inFlight == 0 || ack->received != expected) {
            fail(UPLOAD_TRANSFER_FAILED, "the device acknowledged an unexpected byte count");
            return;
        }
        m_acked = ack->received;
        --m_inFlight;
        if (m_acked == m_image.size()) {
            queueControl(wire::encode(wire::EndMsg{m_image.crc()}));
            m_phase = Phase::AwaitVerify;
        }
        observe(DEVICE_PHASE_TRANSFER, static_cast<int>(std::uint64_t{100} * m_acked / m_image.size()));
        setProgress(1 + static_cast<int>(std::uint64_t{94} * m_acked / m_image.size()));
        return;
    }
    case Phase::AwaitVerify: {
        const auto verify = wire::decodeVerifyReply(f);
        if (!verify)
            return;
        touch(4 * m_timeout);
        if (verify->status == wire::BadSignature) {
            fail(UPLOAD_REFUSED, "signature does not verify");
            return;
        }
        if (verify->status != wire::Ok) {
            fail(UPLOAD_VERIFY_FAILED, verify->status == wire::ImageCrcBad
                                           ? "the image arrived damaged (CRC mismatch)"
                                           : "the device found the image invalid");
            return;
        }
        m_phase = Phase::Flashing;
        m_flashEnd = Clock::now() + flashLimit(m_image.size(), m_timeout); // never before the 4T wait
        observe(DEVICE_PHASE_FLASH, 0);
        setProgress(96);
        return;
    }
    case Phase::Flashing:
        if (const auto progress = wire::decodeFlashProgress(f)) {
            touch(4 * m_timeout);
            const int p = std::min<int>(progress->percent, 100);
            observe(DEVICE_PHASE_FLASH, std::max(p, m_observedPercent)); // never back
            setProgress(std::max(m_progress, 96 + 4 * p / 100));
        } else if (const auto commit = wire::decodeCommitReply(f)) {
            if (commit->status != wire::Ok) {
                // Which version it then runs is the caller's to ask, not the device's to claim.
                fail(UPLOAD_FLASH_FAILED, "programming the flash failed");
                return;
            }
            m_phase = Phase::Committed;
            m_outcome = UPLOAD_COMMITTED;
            finish();
            observe(DEVICE_PHASE_FLASH, 100);
            setProgress(100);
        }
        return;
    default:
        return;
    }
}

void UploadSession::checkDeadline(Clock::time_point now) {
    if (!active() || now < m_deadline)
        return;
    switch (m_phase) {
    case Phase::Connecting:
        fail(UPLOAD_UNREACHABLE, "no connection to the station within the timeout");
        break;
    case Phase::AwaitBegin:
        fail(UPLOAD_UNREACHABLE, "the device did not answer");
        break;
    default:
        if (m_phase == Phase::Flashing && now >= m_flashEnd)
            fail(UPLOAD_FLASH_FAILED, "the device did not finish programming its flash in time");
        else
            lost("the device stopped answering");
        break;
    }
}

} // namespace testdll
