// Each call owns its socket, so scans and queries from several threads share no state
// beyond the endpoint table and the info cache.
#include "devlib/Discovery.h"

#include "devlib/Endpoints.h"
#include "devlib/InfoCache.h"
#include "devlib/LibConfig.h"
#include "support/Fd.h"
#include "wire/Datagram.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace testdll {

namespace {

using Clock = std::chrono::steady_clock;

std::uint32_t nextSeq() {
    static std::atomic<std::uint32_t> seq{std::random_device{}()};
    return seq.fetch_add(1, std::memory_order_relaxed);
}

class UdpSocket {
public:
    explicit UdpSocket(bool broadcast)
        : m_fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)) {
        if (m_fd.valid() && broadcast) {
            const int on = 1;
            ::setsockopt(m_fd.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        }
    }

    bool valid() const { return m_fd.valid(); }

    void sendTo(const std::vector<std::uint8_t>& bytes, const sockaddr_in& to) const {
        ::sendto(m_fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to);
    }

    // Waits until `until` for one datagram; false on timeout.
    bool receive(Clock::time_point until, std::vector<std::uint8_t>& buf, std::size_t& size,
                 sockaddr_in& from) const {
        for (;;) {
            socklen_t len = sizeof from;
            const ssize_t n =
                ::recvfrom(m_fd.get(), buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n >= 0) {
                size = static_cast<std::size_t>(n);
                return true;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                return false;
            const auto now = Clock::now();
            if (now >= until)
                return false;
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
            pollfd p{m_fd.get(), POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(std::max<long>(1, static_cast<long>(wait))));
        }
    }

private:
    support::Fd m_fd;
};

bool sameEndpoint(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

enum class Answer { Ignore, Done };

// Sends what `send` sends, again every T/3 until T has passed, and hands every datagram
// that answers it (same sequence) to `onReply`. True when `onReply` said Done.
template <class Send, class OnReply>
bool exchange(UdpSocket& sock, std::uint32_t seq, Send send, OnReply onReply) {
    const auto timeout = config().timeout;
    const auto start = Clock::now();
    const auto giveUp = start + timeout;
    const auto resendEvery = std::max(timeout / 3, std::chrono::milliseconds(1));
    auto nextSend = start;

    std::vector<std::uint8_t> buf(wire::kMaxDatagram + 1);
    for (;;) {
        const auto now = Clock::now();
        if (now >= giveUp)
            return false;
        if (now >= nextSend) {
            send();
            nextSend = now + resendEvery;
        }
        std::size_t size = 0;
        sockaddr_in from{};
        if (!sock.receive(std::min(nextSend, giveUp), buf, size, from))
            continue;
        const auto d = wire::parseDatagram(buf.data(), size);
        if (!d || d->seq != seq)
            continue;
        if (onReply(*d, from) == Answer::Done)
            return true;
    }
}

} // namespace

std::int32_t scanNetwork(std::int32_t* ids, std::int32_t capacity) {
    if (ids == nullptr || capacity <= 0)
        return 0;
    const LibConfig& cfg = config();
    UdpSocket sock(cfg.broadcast);
    if (!sock.valid())
        return 0;

    const std::uint32_t seq = nextSeq();
    const auto request = wire::encodeScanRequest(seq);

    // Unicast: one responder, assembled by index. Broadcast: every responder, in arrival order.
    std::vector<std::int32_t> slots;
    std::vector<bool> have;
    std::size_t haveCount = 0;
    bool totalKnown = false;
    std::vector<std::int32_t> arrived;
    std::unordered_set<std::int32_t> seen;

    const auto send = [&] { sock.sendTo(request, cfg.endpoint); };
    exchange(sock, seq, send, [&](const wire::Datagram& d, const sockaddr_in& from) {
        const auto part = wire::decodeScanReply(d);
        if (!part)
            return Answer::Ignore;
        if (cfg.broadcast) {
            for (const std::int32_t id : part->ids) {
                if (seen.insert(id).second) {
                    arrived.push_back(id);
                    rememberEndpoint(id, from);
                }
            }
            return Answer::Ignore; // every responder is heard until the timeout
        }
        if (!sameEndpoint(from, cfg.endpoint))
            return Answer::Ignore;
        if (!totalKnown) {
            totalKnown = true;
            slots.assign(part->total, 0);
            have.assign(part->total, false);
        }
        if (part->total != slots.size())
            return Answer::Ignore;
        for (std::size_t i = 0; i < part->ids.size(); ++i) {
            const std::size_t at = part->first + i;
            if (!have[at]) {
                have[at] = true;
                slots[at] = part->ids[i];
                ++haveCount;
            }
        }
        return haveCount == slots.size() ? Answer::Done : Answer::Ignore;
    });

    if (!cfg.broadcast) {
        for (std::size_t i = 0; i < slots.size(); ++i)
            if (have[i])
                arrived.push_back(slots[i]);
        for (const std::int32_t id : arrived)
            rememberEndpoint(id, cfg.endpoint);
    }
    const std::size_t n = std::min(arrived.size(), static_cast<std::size_t>(capacity));
    std::copy_n(arrived.begin(), n, ids);
    infoCache().rescan(ids, n);
    return static_cast<std::int32_t>(n);
}

namespace {

void fillInfo(const wire::DeviceInfo& reply, RemoteInfo& info) {
    info.address = reply.address;
    info.typeCode = reply.typeCode;
    info.versionMajor = reply.versionMajor;
    info.versionMinor = reply.versionMinor;
    // At most 63 bytes arrive; the record keeps its terminator.
    const std::size_t len = std::min(reply.name.size(), sizeof info.name - 1);
    std::memcpy(info.name, reply.name.data(), len);
    info.name[len] = '\0';
}

// Asks every id at once, resending to the silent ones every T/3, until all have answered or
// T has passed: a walk over the slots costs one timeout, not one per device switched off.
std::unordered_map<std::int32_t, RemoteInfo> askAll(const std::vector<std::int32_t>& ids) {
    std::unordered_map<std::int32_t, RemoteInfo> answered;
    const LibConfig& cfg = config();
    UdpSocket sock(cfg.broadcast);
    if (!sock.valid())
        return answered;

    struct Ask {
        sockaddr_in to{};
        bool toBroadcast = false; // an id never listed: any responder may answer for it
        std::vector<std::uint8_t> request;
    };
    const std::uint32_t seq = nextSeq();
    std::unordered_map<std::int32_t, Ask> open;
    for (const std::int32_t id : ids) {
        const sockaddr_in to = endpointFor(id);
        open[id] = {to, cfg.broadcast && sameEndpoint(to, cfg.endpoint), wire::encodeInfoRequest(seq, id)};
    }

    if (open.empty())
        return answered;
    const auto send = [&] {
        for (const auto& [id, ask] : open)
            sock.sendTo(ask.request, ask.to);
    };
    exchange(sock, seq, send, [&](const wire::Datagram& d, const sockaddr_in& from) {
        const auto reply = wire::decodeInfoReply(d);
        if (!reply)
            return Answer::Ignore;
        const auto it = open.find(reply->id);
        if (it == open.end() || (!it->second.toBroadcast && !sameEndpoint(from, it->second.to)))
            return Answer::Ignore;
        if (reply->status == wire::InfoOk) {
            if (it->second.toBroadcast)
                rememberEndpoint(reply->id, from);
            fillInfo(*reply, answered[reply->id]);
        }
        open.erase(it);
        return open.empty() ? Answer::Done : Answer::Ignore;
    });
    return answered;
}

} // namespace

bool queryInfo(std::int32_t id, RemoteInfo& info) {
    std::memset(&info, 0, sizeof info);
    if (id == 0)
        return false;
    InfoCache& cache = infoCache();
    const auto now = Clock::now();
    switch (cache.find(id, now, info)) {
    case InfoCache::Lookup::Answered:
        return true;
    case InfoCache::Lookup::Silent:
        return false;
    case InfoCache::Lookup::Missing:
        break;
    }
    const std::uint64_t generation = cache.generation();
    const std::vector<std::int32_t> asked = cache.staleIds(id, now);
    const auto answered = askAll(asked);
    // Dated at the end, so a device silent for a whole long timeout still counts as asked.
    cache.store(generation, Clock::now(), asked, answered);
    const auto it = answered.find(id);
    if (it == answered.end())
        return false;
    info = it->second;
    return true;
}

} // namespace testdll
