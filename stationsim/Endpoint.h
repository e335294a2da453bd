// The station's UDP and TCP sockets on 127.0.0.1, sharing one port number.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

struct Endpoint {
    int tcp = -1;
    int udp = -1;
    std::uint16_t port = 0;
};

// Binds both sockets to `port`; for port 0 the TCP socket picks a free number and
// UDP takes the same, retrying with another number if UDP's is taken.
bool openEndpoint(std::uint16_t port, Endpoint& out, std::string& error);
void closeEndpoint(Endpoint& e);

} // namespace sim
