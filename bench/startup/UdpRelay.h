// A loopback UDP relay between the program and a station that notes every
// discovery datagram passing through, so the start-up benchmark can see from
// outside when the program has its answers. Single-threaded: the caller pumps
// it while it waits for anything else.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <vector>

namespace zutest {

struct RelayedDatagram {
    bool fromStation = false;
    std::uint16_t type = 0; // 0x0001 scan, 0x0002 info; replies have bit 15 set
    std::uint32_t sequence = 0;
    std::int32_t id = 0;      // info request and reply
    std::uint16_t status = 0; // info reply
};

class UdpRelay {
public:
    explicit UdpRelay(int stationPort);
    ~UdpRelay();
    UdpRelay(const UdpRelay&) = delete;
    UdpRelay& operator=(const UdpRelay&) = delete;

    bool valid() const { return m_port > 0; }
    int port() const { return m_port; }

    // Forwards whatever arrives within `wait`.
    void pump(std::chrono::milliseconds wait);

    const std::vector<RelayedDatagram>& log() const { return m_log; }
    // Info requests in the order they were first sent (a resend with the same
    // sequence is not counted again).
    std::vector<std::int32_t> infoQueries() const;
    // Ids whose info request got an InfoOk reply.
    std::vector<std::int32_t> answeredIds() const;

private:
    int m_listen = -1;   // what the program talks to
    int m_upstream = -1; // what talks to the station
    int m_port = 0;
    sockaddr_in m_station{};
    std::map<std::uint32_t, sockaddr_in> m_clientOfSequence;
    std::vector<RelayedDatagram> m_log;
};

} // namespace zutest
