#include "bench/startup/UdpRelay.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace zutest {

namespace {

constexpr std::size_t kHeader = 12;
constexpr std::uint16_t kInfoRequest = 0x0002;
constexpr std::uint16_t kInfoReply = 0x8002;

std::uint16_t u16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t u32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

int loopbackSocket(int port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool parse(const std::uint8_t* b, std::size_t n, bool fromStation, RelayedDatagram& d) {
    if (n < kHeader || std::memcmp(b, "SDP1", 4) != 0)
        return false;
    d.fromStation = fromStation;
    d.type = u16(b + 4);
    d.sequence = u32(b + 8);
    if ((d.type == kInfoRequest || d.type == kInfoReply) && n >= kHeader + 4)
        d.id = static_cast<std::int32_t>(u32(b + kHeader));
    if (d.type == kInfoReply && n >= kHeader + 6)
        d.status = u16(b + kHeader + 4);
    return true;
}

} // namespace

UdpRelay::UdpRelay(int stationPort) {
    m_station.sin_family = AF_INET;
    m_station.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    m_station.sin_port = htons(static_cast<std::uint16_t>(stationPort));
    m_listen = loopbackSocket(0);
    m_upstream = loopbackSocket(0);
    if (m_listen < 0 || m_upstream < 0)
        return;
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        m_port = ntohs(a.sin_port);
}

UdpRelay::~UdpRelay() {
    if (m_listen >= 0)
        ::close(m_listen);
    if (m_upstream >= 0)
        ::close(m_upstream);
}

void UdpRelay::pump(std::chrono::milliseconds wait) {
    if (!valid())
        return;
    pollfd fds[2] = {{m_listen, POLLIN, 0}, {m_upstream, POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(wait.count())) <= 0)
        return;
    std::uint8_t buf[2048];
    for (int i = 0; i < 2; ++i) {
        if (!(fds[i].revents & POLLIN))
            continue;
        for (;;) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n = ::recvfrom(fds[i].fd, buf, sizeof buf, MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 0)
                break;
            RelayedDatagram d;
            const bool fromStation = i == 1;
            if (!parse(buf, static_cast<std::size_t>(n), fromStation, d))
                continue;
            m_log.push_back(d);
            if (!fromStation) {
                m_clientOfSequence[d.sequence] = from;
                ::sendto(m_upstream, buf, static_cast<std::size_t>(n), 0,
                         reinterpret_cast<const sockaddr*>(&m_station), sizeof m_station);
            } else if (const auto client = m_clientOfSequence.find(d.sequence);
                       client != m_clientOfSequence.end()) {
                // Replies leave from the address the program asked, as the station's would.
                ::sendto(m_listen, buf, static_cast<std::size_t>(n), 0,
                         reinterpret_cast<const sockaddr*>(&client->second), sizeof client->second);
            }
        }
    }
}

std::vector<std::int32_t> UdpRelay::infoQueries() const {
    std::vector<std::int32_t> ids;
    std::vector<std::uint32_t> seen;
    for (const RelayedDatagram& d : m_log) {
        if (d.fromStation || d.type != kInfoRequest ||
            std::find(seen.begin(), seen.end(), d.sequence) != seen.end())
            continue;
        seen.push_back(d.sequence);
        ids.push_back(d.id);
    }
    return ids;
}

std::vector<std::int32_t> UdpRelay::answeredIds() const {
    std::vector<std::int32_t> ids;
    for (const RelayedDatagram& d : m_log) {
        if (d.fromStation && d.type == kInfoReply && d.status == 0 &&
            std::find(ids.begin(), ids.end(), d.id) == ids.end())
            ids.push_back(d.id);
    }
    return ids;
}

} // namespace zutest
