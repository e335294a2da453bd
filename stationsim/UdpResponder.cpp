#include "stationsim/UdpResponder.h"

#include "stationsim/RequestLog.h"
#include "wire/Datagram.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

namespace sim {

namespace {
// A flood of delayed requests must not grow memory without bound.
constexpr std::size_t kMaxPending = 10000;
} // namespace

std::vector<UdpResponder::Reply> UdpResponder::answer(const std::uint8_t* data, std::size_t size) const {
    const auto d = wire::parseDatagram(data, size);
    if (!d)
        return {};
    if (wire::isScanRequest(*d))
        return scanReplies(d->seq);
    if (const auto id = wire::decodeInfoRequest(*d))
        return infoReply(d->seq, *id);
    return {};
}

std::vector<UdpResponder::Reply> UdpResponder::scanReplies(std::uint32_t seq) const {
    const auto& devices = m_table.config().devices;
    const std::size_t total = devices.size();
    logRequest("scan: %zu devices listed", total);
    std::vector<Reply> out;
    std::size_t first = 0;
    do {
        const std::size_t count = std::min(wire::kMaxIdsPerScanReply, total - first);
        wire::ScanPart part{static_cast<std::uint16_t>(total), static_cast<std::uint16_t>(first), {}};
        // The station lists its devices at once: a slow device delays only its own answers.
        for (std::size_t i = first; i < first + count; ++i)
            part.ids.push_back(devices[i].id);
        out.push_back({std::chrono::milliseconds(0), wire::encodeScanReply(seq, part)});
        first += count;
    } while (first < total);
    return out;
}

std::vector<UdpResponder::Reply> UdpResponder::infoReply(std::uint32_t seq, std::int32_t id) const {
    const DeviceConfig* dev = m_table.find(id);
    if (dev != nullptr && dev->faults.silent) {
        logRequest("info %d: silent, not answered", id);
        return {};
    }
    if (dev == nullptr) {
        logRequest("info %d: unknown id", id);
        return {{std::chrono::milliseconds(0),
                 wire::encodeInfoReply(seq, {.id = id, .status = wire::InfoUnknownId})}};
    }
    const Version v = m_table.version(id);
    logRequest("info %d: answered, version %d.%02d", id, v.major, v.minor);
    const wire::DeviceInfo info{id, wire::InfoOk, dev->address, dev->typeCode(), v.major, v.minor, dev->name};
    return {{std::chrono::milliseconds(dev->faults.delayMs), wire::encodeInfoReply(seq, info)}};
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
