// Each call owns its socket, so scans and queries from several threads never share
// state beyond the endpoint table.
#include "Discovery.h"

#include "Endpoints.h"
#include "LibConfig.h"
#include "Protocol.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
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
    explicit UdpSocket(bool broadcast) {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (m_fd >= 0 && broadcast) {
            const int on = 1;
            ::setsockopt(m_fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        }
    }
    ~UdpSocket() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    bool valid() const { return m_fd >= 0; }

    void sendTo(const std::vector<std::uint8_t>& bytes, const sockaddr_in& to) const {
        ::sendto(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to);
    }

    // Waits until `until` for one datagram; false on timeout.
    bool receive(Clock::time_point until, std::vector<std::uint8_t>& buf, std::size_t& size,
                 sockaddr_in& from) const {
        for (;;) {
            socklen_t len = sizeof from;
            const ssize_t n =
                ::recvfrom(m_fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
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
            pollfd p{m_fd, POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(std::max<long>(1, static_cast<long>(wait))));
        }
    }

private:
    int m_fd = -1;
};

bool sameEndpoint(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

struct ScanPart {
    std::uint16_t total = 0;
    std::uint16_t first = 0;
    std::vector<std::int32_t> ids;
};

bool parseScanReply(const proto::Datagram& d, ScanPart& part) {
    if (d.type != proto::ScanReply || d.body.size() < 8)
        return false;
    const std::uint8_t* b = d.body.data();
    part.total = proto::getU16(b);
    part.first = proto::getU16(b + 2);
    const std::uint16_t count = proto::getU16(b + 4);
    if (count > proto::kMaxIdsPerScanReply || d.body.size() < 8 + 4u * count ||
        std::uint32_t{part.first} + count > part.total)
        return false;
    part.ids.resize(count);
    for (std::size_t i = 0; i < count; ++i)
        part.ids[i] = proto::getI32(b + 8 + 4 * i);
    return true;
}

enum class Answer { Ignore, Done, Failed };

// Sends `request` to `target`, resending it every T/3 until T has passed, and hands every
// datagram that answers it (same sequence) to `onReply`. True when `onReply` said Done.
template <class OnReply>
bool exchange(UdpSocket& sock, const std::vector<std::uint8_t>& request, std::uint32_t seq,
              const sockaddr_in& target, OnReply onReply) {
    const auto timeout = config().timeout;
    const auto start = Clock::now();
    const auto giveUp = start + timeout;
    const auto resendEvery = std::max(timeout / 3, std::chrono::milliseconds(1));
    auto nextSend = start;

    std::vector<std::uint8_t> buf(proto::kMaxDatagram + 1);
    for (;;) {
        const auto now = Clock::now();
        if (now >= giveUp)
            return false;
        if (now >= nextSend) {
            sock.sendTo(request, target);
            nextSend = now + resendEvery;
        }
        std::size_t size = 0;
        sockaddr_in from{};
        if (!sock.receive(std::min(nextSend, giveUp), buf, size, from))
            continue;
        const auto d = proto::parseDatagram(buf.data(), size);
        if (!d || d->seq != seq)
            continue;
        switch (onReply(*d, from)) {
        case Answer::Done:
            return true;
        case Answer::Failed:
            return false;
        case Answer::Ignore:
            break;
        }
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
    const auto request = proto::makeDatagram(proto::ScanRequest, seq, {});

    // Unicast: one responder, assembled by index. Broadcast: every responder, in arrival order.
    std::vector<std::int32_t> slots;
    std::vector<bool> have;
    std::size_t haveCount = 0;
    bool totalKnown = false;
    std::vector<std::int32_t> arrived;
    std::unordered_set<std::int32_t> seen;

    exchange(sock, request, seq, cfg.endpoint, [&](const proto::Datagram& d, const sockaddr_in& from) {
        ScanPart part;
        if (!parseScanReply(d, part))
            return Answer::Ignore;
        if (cfg.broadcast) {
            for (const std::int32_t id : part.ids) {
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
            slots.assign(part.total, 0);
            have.assign(part.total, false);
        }
        if (part.total != slots.size())
            return Answer::Ignore;
        for (std::size_t i = 0; i < part.ids.size(); ++i) {
            const std::size_t at = part.first + i;
            if (!have[at]) {
                have[at] = true;
                slots[at] = part.ids[i];
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
    return static_cast<std::int32_t>(n);
}

bool queryInfo(std::int32_t id, RemoteInfo& info) {
    std::memset(&info, 0, sizeof info);
    if (id == 0)
        return false;
    const LibConfig& cfg = config();
    const sockaddr_in target = endpointFor(id);
    const bool toBroadcast = cfg.broadcast && sameEndpoint(target, cfg.endpoint);
    UdpSocket sock(toBroadcast);
    if (!sock.valid())
        return false;

    const std::uint32_t seq = nextSeq();
    std::vector<std::uint8_t> body;
    proto::putI32(body, id);
    const auto request = proto::makeDatagram(proto::InfoRequest, seq, body);

    return exchange(sock, request, seq, target, [&](const proto::Datagram& d, const sockaddr_in& from) {
        if (d.type != proto::InfoReply || d.body.size() < proto::kInfoReplyBodySize)
            return Answer::Ignore;
        if (!toBroadcast && !sameEndpoint(from, target))
            return Answer::Ignore;
        const std::uint8_t* b = d.body.data();
        if (proto::getI32(b) != id)
            return Answer::Ignore;
        if (proto::getU16(b + 4) != proto::InfoOk)
            return Answer::Failed;
        if (toBroadcast)
            rememberEndpoint(id, from);
        info.address = proto::getU32(b + 8);
        info.typeCode = proto::getU32(b + 12);
        info.versionMajor = proto::getI32(b + 16);
        info.versionMinor = proto::getI32(b + 20);
        const char* name = reinterpret_cast<const char*>(b + 24);
        const std::size_t len = strnlen(name, std::min<std::size_t>(63, sizeof info.name - 1));
        std::memcpy(info.name, name, len);
        info.name[len] = '\0';
        return Answer::Done;
    });
}

} // namespace testdll
