// Station-wide shutdown flag that poll() loops can wait on: a pipe whose read
// end becomes readable (and stays so) once stop() is called.
#pragma once

#include "support/Fd.h"

#include <poll.h>

#include <atomic>
#include <chrono>

namespace sim {

class StopSignal {
public:
    StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    bool ok() const { return m_read.valid(); }
    void stop();
    bool stopped() const { return m_stopped.load(); }
    int fd() const { return m_read.get(); } // poll for POLLIN

    // Sleeps until `until`; false if the station is stopping.
    bool sleepUntil(std::chrono::steady_clock::time_point until) const;

private:
    support::Fd m_read;
    support::Fd m_write;
    std::atomic<bool> m_stopped{false};
};

// Milliseconds from now until `t`, for poll(): 0 if past, capped to fit an int.
int msUntil(std::chrono::steady_clock::time_point t);

// poll() until `t` to the microsecond (ppoll), so paced waits are not rounded up to whole milliseconds.
int pollUntil(pollfd* fds, nfds_t count, std::chrono::steady_clock::time_point t);

} // namespace sim
