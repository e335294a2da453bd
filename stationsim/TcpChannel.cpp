#include "stationsim/TcpChannel.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sim {

namespace {
constexpr auto kSendLimit = std::chrono::seconds(30);
constexpr auto kLingerLimit = std::chrono::seconds(2);
} // namespace

TcpChannel::TcpChannel(int fd, const StopSignal& stop) : m_fd(fd), m_stop(stop) {
    const int flags = ::fcntl(m_fd.get(), F_GETFL);
    ::fcntl(m_fd.get(), F_SETFL, flags | O_NONBLOCK);
}

TcpChannel::Wait TcpChannel::wait(short events, Clock::time_point deadline) {
    for (;;) {
        if (m_stop.stopped())
            return Wait::Stopping;
        pollfd fds[2] = {{m_fd.get(), events, 0}, {m_stop.fd(), POLLIN, 0}};
        const int r = pollUntil(fds, 2, deadline);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return Wait::PeerGone;
        if (fds[1].revents != 0)
            return Wait::Stopping;
        if (fds[0].revents & (POLLERR | POLLNVAL))
            return Wait::PeerGone;
        if (fds[0].revents & (POLLHUP | POLLRDHUP))
            return (events & POLLIN) ? Wait::Ready : Wait::PeerGone; // a read sees the EOF
        if (fds[0].revents != 0)
            return Wait::Ready;
        if (r == 0 && Clock::now() >= deadline)
            return Wait::Timeout;
    }
}

FrameChannel::Read TcpChannel::next(wire::Frame& out, Clock::time_point deadline) {
    // A whole chunk frame fits one read. On the thread's stack: a session that got its thread
    // needs no further memory to read.
    std::uint8_t buffer[wire::kMaxFrameBody + wire::kFrameOverhead];
    for (;;) {
        if (auto f = m_reader.next()) {
            out = std::move(*f);
            return Read::Frame;
        }
        if (!m_fd.valid() || m_reader.failed())
            return Read::Closed;
        switch (wait(POLLIN, deadline)) {
        case Wait::Ready:
            break;
        case Wait::PeerGone:
            return Read::Closed;
        case Wait::Timeout:
            return Read::Idle;
        case Wait::Stopping:
            return Read::Stopping;
        }
        const ssize_t n = ::recv(m_fd.get(), buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            continue;
        if (n <= 0)
            return Read::Closed;
        m_reader.feed(buffer, static_cast<std::size_t>(n));
    }
}

bool TcpChannel::send(const std::vector<std::uint8_t>& frame) {
    if (!m_fd.valid())
        return false;
    const auto deadline = Clock::now() + kSendLimit;
    std::size_t done = 0;
    while (done < frame.size()) {
        const ssize_t n = ::send(m_fd.get(), frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (wait(POLLOUT, deadline) != Wait::Ready)
                return false;
            continue;
        }
        return false;
    }
    return true;
}

bool TcpChannel::pauseUntil(Clock::time_point until) {
    if (!m_fd.valid())
        return false;
    // Watch only for the peer leaving: incoming data is left queued, which is what
    // slows the sender down.
    for (;;) {
        const Wait w = wait(POLLRDHUP, until);
        if (w == Wait::Timeout)
            return true;
        if (w != Wait::Ready)
            return false;
    }
}

std::optional<wire::Frame> TcpChannel::holdUntilPeerLeaves() {
    while (m_fd.valid()) {
        const Wait w = wait(POLLRDHUP, Clock::now() + std::chrono::hours(1));
        if (w == Wait::PeerGone || w == Wait::Stopping)
            break;
    }
    return std::nullopt;
}

void TcpChannel::reset() {
    if (!m_fd.valid())
        return;
    linger l{1, 0};
    ::setsockopt(m_fd.get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    m_fd.reset();
}

void TcpChannel::closeGracefully() {
    if (!m_fd.valid())
        return;
    ::shutdown(m_fd.get(), SHUT_WR);
    const auto deadline = Clock::now() + kLingerLimit;
    std::uint8_t buffer[4096];
    for (;;) {
        if (wait(POLLIN, deadline) != Wait::Ready)
            break;
        const ssize_t n = ::recv(m_fd.get(), buffer, sizeof buffer, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            break;
    }
    m_fd.reset();
}

} // namespace sim
