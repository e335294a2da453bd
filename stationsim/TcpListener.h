// Accepts upload connections; each runs on its own thread so sessions to
// different devices proceed in parallel. Past `maxConnections` at once, or when no
// thread can be started, a new connection is closed at once and the rest go on.
#pragma once

#include "stationsim/StopSignal.h"
#include "stationsim/UploadSession.h"

#include <atomic>
#include <list>
#include <memory>
#include <thread>

namespace sim {

class TcpListener {
public:
    TcpListener(int fd, const SessionContext& ctx, const StopSignal& stop, std::size_t maxConnections)
        : m_fd(fd), m_ctx(ctx), m_stop(stop), m_maxConnections(maxConnections) {}
    ~TcpListener();
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    // Accepts until the station stops, then waits for every session to end.
    void serve();

private:
    struct Worker {
        std::thread thread;
        std::atomic<bool> done{false};
    };
    void reap(bool all);
    bool startSession(int fd); // false if no thread could be started for it

    int m_fd;
    const SessionContext& m_ctx;
    const StopSignal& m_stop;
    std::size_t m_maxConnections;
    std::list<std::unique_ptr<Worker>> m_workers;
};

} // namespace sim
