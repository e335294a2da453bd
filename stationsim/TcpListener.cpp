#include "stationsim/TcpListener.h"

#include "stationsim/RequestLog.h"
#include "stationsim/TcpChannel.h"
#include "wire/UploadFrames.h"

#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>
#include <system_error>

namespace sim {

namespace {

void serveConnection(int fd, const SessionContext& ctx, const StopSignal& stop) {
    TcpChannel channel(fd, stop);
    // Whatever goes wrong (memory, say) ends this session only: never the station.
    try {
        wire::Frame first;
        const auto r = channel.next(first, FrameChannel::Clock::now() + kSessionIdleLimit);
        // One connection carries one session, opened by Begin.
        if (r == FrameChannel::Read::Frame && first.type == wire::Begin)
            runUpload(ctx, channel, first);
        if (r != FrameChannel::Read::Stopping && !stop.stopped())
            channel.closeGracefully();
    } catch (const std::exception& e) {
        logRequest("upload connection ended by an error: %s", e.what());
    }
}

} // namespace

TcpListener::~TcpListener() {
    reap(true);
}

void TcpListener::reap(bool all) {
    for (auto it = m_workers.begin(); it != m_workers.end();) {
        if (all || (*it)->done.load()) {
            (*it)->thread.join();
            it = m_workers.erase(it);
        } else {
            ++it;
        }
    }
}

void TcpListener::serve() {
    while (!m_stop.stopped()) {
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_stop.fd(), POLLIN, 0}};
        // Wake now and then to join finished sessions even when no one connects.
        const int r = ::poll(fds, 2, 1000);
        reap(false);
        if (r < 0 && errno != EINTR)
            break;
        if (r <= 0 || fds[1].revents != 0)
            continue;
        const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors: back off rather than spin on a readable listener.
            if (errno == EMFILE || errno == ENFILE)
                m_stop.sleepUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(50));
            continue;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (m_workers.size() >= m_maxConnections || !startSession(fd)) {
            logRequest("upload connection refused: %zu open", m_workers.size());
            ::close(fd); // the client sees it end at once rather than wait for an answer
        }
    }
    reap(true);
}

bool TcpListener::startSession(int fd) {
    try {
        m_workers.push_back(std::make_unique<Worker>());
    } catch (const std::bad_alloc&) {
        return false;
    }
    Worker* w = m_workers.back().get();
    try {
        w->thread = std::thread([fd, w, this] {
            serveConnection(fd, m_ctx, m_stop);
            w->done.store(true);
        });
        return true;
    } catch (const std::system_error&) { // out of threads or memory for a stack
        m_workers.pop_back();
        return false;
    }
}

} // namespace sim
