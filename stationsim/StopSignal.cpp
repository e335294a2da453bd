#include "stationsim/StopSignal.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>

namespace sim {

StopSignal::StopSignal() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        m_read.reset(fds[0]);
        m_write.reset(fds[1]);
    }
}

void StopSignal::stop() {
    if (m_stopped.exchange(true))
        return;
    const char byte = 1;
    // Never read back, so every poller sees the pipe readable from now on.
    while (::write(m_write.get(), &byte, 1) < 0 && errno == EINTR) {
    }
}

bool StopSignal::sleepUntil(std::chrono::steady_clock::time_point until) const {
    for (;;) {
        if (stopped())
            return false;
        if (std::chrono::steady_clock::now() >= until)
            return true;
        pollfd p{m_read.get(), POLLIN, 0};
        if (pollUntil(&p, 1, until) > 0)
            return false;
    }
}

int msUntil(std::chrono::steady_clock::time_point t) {
    using namespace std::chrono;
    const auto now = steady_clock::now();
    if (t <= now)
        return 0;
    // Round up so a loop never spins on a sub-millisecond remainder.
    const auto ms = duration_cast<milliseconds>(t - now + microseconds(999)).count();
    return ms > 1'000'000'000 ? 1'000'000'000 : static_cast<int>(ms);
}

int pollUntil(pollfd* fds, nfds_t count, std::chrono::steady_clock::time_point t) {
    using namespace std::chrono;
    const auto left = std::max(t - steady_clock::now(), steady_clock::duration::zero());
    const auto capped = std::min<nanoseconds>(left, hours(24));
    const auto secs = duration_cast<seconds>(capped);
    const timespec ts{static_cast<time_t>(secs.count()), static_cast<long>((capped - secs).count())};
    return ::ppoll(fds, count, &ts, nullptr);
}

} // namespace sim
