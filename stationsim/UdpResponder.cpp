#include "UdpResponder.h"

#include "Protocol.h"
#include "RequestLog.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>

namespace sim {

namespace {
// A flood of delayed requests must not grow memory without bound.
constexpr std::size_t kMaxPending = 10000;
constexpr std::size_t kNameField = 64;
} // namespace

std::vector<UdpResponder::Reply> UdpResponder::answer(const std::uint8_t* data, std::size_t size) const {
    const auto d = proto::parseDatagram(data, size);
    if (!d)
        return {};
    if (d->type == proto::ScanRequest)
        return scanReplies(d->seq);
    if (d->type == proto::InfoRequest)
        return infoReply(d->seq, d->body);
    return {};
}

std::vector<UdpResponder::Reply> UdpResponder::scanReplies(std::uint32_t seq) const {
    const auto& devices = m_table.config().devices;
    const std::size_t total = devices.size();
    logRequest("scan: %zu devices listed", total);
    std::vector<Reply> out;
    std::size_t first = 0;
    do {
        const std::size_t count = std::min(proto::kMaxIdsPerScanReply, total - first);
        std::vector<std::uint8_t> body;
        proto::putU16(body, static_cast<std::uint16_t>(total));
        proto::putU16(body, static_cast<std::uint16_t>(first));
        proto::putU16(body, static_cast<std::uint16_t>(count));
        proto::putU16(body, 0);
        // A part is as late as the slowest device it lists.
        std::uint32_t delay = 0;
        for (std::size_t i = first; i < first + count; ++i) {
            proto::putI32(body, devices[i].id);
            delay = std::max(delay, devices[i].faults.delayMs);
        }
        out.push_back({std::chrono::milliseconds(delay), proto::makeDatagram(proto::ScanReply, seq, body)});
        first += count;
    } while (first < total);
    return out;
}

std::vector<UdpResponder::Reply> UdpResponder::infoReply(std::uint32_t seq,
                                                         const std::vector<std::uint8_t>& request) const {
    if (request.size() < 4)
        return {};
    const std::int32_t id = proto::getI32(request.data());
    const DeviceConfig* dev = m_table.find(id);
    if (dev != nullptr && dev->faults.silent) {
        logRequest("info %d: silent, not answered", id);
        return {};
    }
    std::vector<std::uint8_t> body;
    proto::putI32(body, id);
    if (dev == nullptr) {
        logRequest("info %d: unknown id", id);
        proto::putU16(body, proto::InfoUnknownId);
        body.resize(24 + kNameField, 0);
        return {{std::chrono::milliseconds(0), proto::makeDatagram(proto::InfoReply, seq, body)}};
    }
    const Version v = m_table.version(id);
    logRequest("info %d: answered, version %d.%02d", id, v.major, v.minor);
    proto::putU16(body, proto::InfoOk);
    proto::putU16(body, 0);
    proto::putU32(body, dev->address);
    proto::putU32(body, dev->typeCode());
    proto::putI32(body, v.major);
    proto::putI32(body, v.minor);
    const std::size_t nameAt = body.size();
    body.resize(nameAt + kNameField, 0); // NUL padded; names are at most 63 bytes
    std::memcpy(body.data() + nameAt, dev->name.data(), std::min(dev->name.size(), kNameField - 1));
    return {
        {std::chrono::milliseconds(dev->faults.delayMs), proto::makeDatagram(proto::InfoReply, seq, body)}};
}

void UdpResponder::sendTo(const sockaddr_in& to, const std::vector<std::uint8_t>& bytes) {
    // Best effort, like any datagram: the client retries.
    ::sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

void UdpResponder::serve() {
    using Clock = std::chrono::steady_clock;
    std::uint8_t buffer[2048];
    while (!m_stop.stopped()) {
        const auto now = Clock::now();
        while (!m_pending.empty() && m_pending.top().due <= now) {
            sendTo(m_pending.top().to, m_pending.top().bytes);
            m_pending.pop();
        }
        const int timeout = m_pending.empty() ? -1 : std::max(1, msUntil(m_pending.top().due));
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_stop.fd(), POLLIN, 0}};
        const int r = ::poll(fds, 2, timeout);
        if (r < 0 && errno != EINTR)
            return;
        if (r <= 0 || fds[1].revents != 0)
            continue;
        // Drain what has queued up, then look at the timers again.
        for (int i = 0; i < 64; ++i) {
            sockaddr_in from{};
            socklen_t fromLen = sizeof from;
            const ssize_t n = ::recvfrom(m_fd, buffer, sizeof buffer, MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr*>(&from), &fromLen);
            if (n < 0)
                break;
            for (Reply& reply : answer(buffer, static_cast<std::size_t>(n))) {
                if (reply.delay.count() == 0)
                    sendTo(from, reply.bytes);
                else if (m_pending.size() < kMaxPending)
                    m_pending.push({Clock::now() + reply.delay, m_order++, from, std::move(reply.bytes)});
            }
        }
    }
}

} // namespace sim
