// Station-wide shutdown flag that poll() loops can wait on: a pipe whose read
// end becomes readable (and stays so) once stop() is called.
#pragma once

#include <atomic>
#include <chrono>

namespace sim {

class StopSignal {
public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    bool ok() const { return m_read >= 0; }
    void stop();
    bool stopped() const { return m_stopped.load(); }
    int fd() const { return m_read; } // poll for POLLIN

    // Sleeps until `until`; false if the station is stopping.
    bool sleepUntil(std::chrono::steady_clock::time_point until) const;

private:
    int m_read = -1;
    int m_write = -1;
    std::atomic<bool> m_stopped{false};
};

// Milliseconds from now until `t`, for poll(): 0 if past, capped to fit an int.
int msUntil(std::chrono::steady_clock::time_point t);

} // namespace sim
