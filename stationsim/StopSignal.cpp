#include "stationsim/StopSignal.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

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
        const int ms = msUntil(until);
        if (ms <= 0 && std::chrono::steady_clock::now() >= until)
            return true;
        pollfd p{m_read.get(), POLLIN, 0};
        const int r = ::poll(&p, 1, ms > 0 ? ms : 1);
        if (r > 0)
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

} // namespace sim
