// Answers discovery and info queries on the station's UDP socket. Replies that
// a device delays wait in a timer queue, so they never hold up other answers.
#pragma once

#include "stationsim/DeviceTable.h"
#include "stationsim/StopSignal.h"

#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <queue>
#include <vector>

namespace sim {

class UdpResponder {
public:
    UdpResponder(int fd, const DeviceTable& table, const StopSignal& stop)
        : m_fd(fd), m_table(table), m_stop(stop) {}

    // Serves until the station stops. Runs on its own thread.
    void serve();

    // The replies to one datagram with their delays (exposed for the serve loop).
    struct Reply {
        std::chrono::milliseconds delay{0};
        std::vector<std::uint8_t> bytes;
    };
    std::vector<Reply> answer(const std::uint8_t* data, std::size_t size) const;

private:
    struct Pending {
        std::chrono::steady_clock::time_point due;
        std::uint64_t order = 0; // keeps equal due times in arrival order
        sockaddr_in to{};
        std::vector<std::uint8_t> bytes;
        bool operator>(const Pending& o) const { return due != o.due ? due > o.due : order > o.order; }
    };

    std::vector<Reply> scanReplies(std::uint32_t seq) const;
    std::vector<Reply> infoReply(std::uint32_t seq, std::int32_t id) const;
    void sendTo(const sockaddr_in& to, const std::vector<std::uint8_t>& bytes);

    int m_fd;
    const DeviceTable& m_table;
    const StopSignal& m_stop;
    std::priority_queue<Pending, std::vector<Pending>, std::greater<>> m_pending;
    std::uint64_t m_order = 0;
};

} // namespace sim
