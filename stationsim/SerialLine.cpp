#include "stationsim/SerialLine.h"

#include "stationsim/RequestLog.h"
#include "wire/UploadFrames.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {
constexpr auto kSendLimit = std::chrono::seconds(30);

// A real line moves one byte per ten bit times (start, 8 data, stop).
double bytesPerSecond(std::uint32_t baud) {
    return static_cast<double>(baud) / 10.0;
}
} // namespace

SerialLine::SerialLine(const StopSignal& stop, std::uint32_t baud)
    : m_stop(stop), m_rx(bytesPerSecond(baud)), m_tx(bytesPerSecond(baud)),
      m_rxGulp(baud == 0 ? SIZE_MAX
                         : std::max<std::size_t>(1, static_cast<std::size_t>(bytesPerSecond(baud) / 20))) {}

bool SerialLine::open(const std::string& link, std::string& error) {
    struct stat st {};
    if (::lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        error = link + ": exists and is not a symlink; refusing to replace it";
        return false;
    }
    m_master.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!m_master.valid() || ::grantpt(m_master.get()) != 0 || ::unlockpt(m_master.get()) != 0) {
        error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    char name[PATH_MAX];
    if (::ptsname_r(m_master.get(), name, sizeof name) != 0) {
        error = std::string("cannot name the pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    m_slaveName = name;
    m_slave.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!m_slave.valid()) {
        error = m_slaveName + ": " + std::strerror(errno);
        return false;
    }
    termios tio{};
    if (::tcgetattr(m_slave.get(), &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(m_slave.get(), TCSANOW, &tio);
    }
    ::fcntl(m_master.get(), F_SETFL, ::fcntl(m_master.get(), F_GETFL) | O_NONBLOCK);

    // Publish atomically: a client never sees the path missing while it is replaced.
    const std::string temp = link + ".tmp" + std::to_string(::getpid());
    ::unlink(temp.c_str());
    if (::symlink(m_slaveName.c_str(), temp.c_str()) != 0) {
        error = link + ": " + std::strerror(errno);
        return false;
    }
    if (::lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        ::unlink(temp.c_str());
        error = link + ": exists and is not a symlink; refusing to replace it";
        return false;
    }
    if (::rename(temp.c_str(), link.c_str()) != 0) {
        error = link + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return false;
    }
    m_link = link;
    return true;
}

void SerialLine::removeLink() {
    if (m_link.empty())
        return;
    char target[PATH_MAX];
    const ssize_t n = ::readlink(m_link.c_str(), target, sizeof target - 1);
    if (n >= 0 && std::string(target, static_cast<std::size_t>(n)) == m_slaveName)
        ::unlink(m_link.c_str());
    m_link.clear();
}

void SerialLine::serve(const SessionContext& ctx) {
    std::optional<wire::Frame> begin;
    while (!m_stop.stopped()) {
        if (!begin) {
            wire::Frame f;
            const Read r = next(f, Clock::now() + std::chrono::hours(1));
            if (r == Read::Stopping)
                return;
            // Anything but a Begin between sessions is a leftover of an abandoned one.
            if (r == Read::Frame && f.type == wire::Begin)
                begin = std::move(f);
            continue;
        }
        // Whatever still waits to be read by the client belongs to an abandoned
        // session; a client that just sent Begin must see the BeginReply first.
        ::tcflush(m_slave.get(), TCIFLUSH);
        const wire::Frame current = std::move(*begin);
        begin.reset();
        try {
            begin = runUpload(ctx, *this, current);
        } catch (const std::exception& e) { // ends this session only; the line serves on
            logRequest("serial session ended by an error: %s", e.what());
        }
    }
}

FrameChannel::Read SerialLine::next(wire::Frame& out, Clock::time_point deadline) {
    std::uint8_t buffer[4096];
    for (;;) {
        if (auto f = m_reader.next()) {
            out = std::move(*f);
            return Read::Frame;
        }
        if (m_stop.stopped())
            return Read::Stopping;
        pollfd fds[2] = {{m_master.get(), POLLIN, 0}, {m_stop.fd(), POLLIN, 0}};
        const int r = ::poll(fds, 2, msUntil(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (fds[1].revents != 0)
            return Read::Stopping;
        if (r == 0 && Clock::now() >= deadline)
            return Read::Idle;
        if (!(fds[0].revents & POLLIN))
            continue;
        // Read at most what the line could carry in about 50 ms, then wait out its time.
        const ssize_t n = ::read(m_master.get(), buffer, std::min(m_rxGulp, sizeof buffer));
        if (n <= 0)
            continue;
        m_reader.feed(buffer, static_cast<std::size_t>(n));
        if (!m_stop.sleepUntil(m_rx.account(static_cast<std::size_t>(n))))
            return Read::Stopping;
    }
}

bool SerialLine::send(const std::vector<std::uint8_t>& frame) {
    const auto deadline = Clock::now() + kSendLimit;
    std::size_t done = 0;
    while (done < frame.size()) {
        const ssize_t n = ::write(m_master.get(), frame.data() + done, frame.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return false;
        pollfd fds[2] = {{m_master.get(), POLLOUT, 0}, {m_stop.fd(), POLLIN, 0}};
        if (::poll(fds, 2, msUntil(deadline)) == 0 || fds[1].revents != 0)
            return false;
    }
    return m_stop.sleepUntil(m_tx.account(frame.size()));
}

bool SerialLine::pauseUntil(Clock::time_point until) {
    return m_stop.sleepUntil(until);
}

std::optional<wire::Frame> SerialLine::holdUntilPeerLeaves() {
    // The line cannot tell when a client gives up; its next Begin says so.
    for (;;) {
        wire::Frame f;
        const Read r = next(f, Clock::now() + std::chrono::hours(1));
        if (r == Read::Stopping)
            return std::nullopt;
        if (r == Read::Frame && f.type == wire::Begin)
            return f;
    }
}

} // namespace sim
