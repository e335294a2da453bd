#include "stationsim/Endpoint.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sim {

namespace {

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int bound(int type, std::uint16_t port, std::string& error) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    if (type == SOCK_STREAM) {
        // A restarted station must get its port back despite old connections in TIME_WAIT.
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    }
    const sockaddr_in a = loopback(port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
        (type == SOCK_STREAM && ::listen(fd, 128) != 0)) {
        error = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

std::uint16_t localPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return 0;
    return ntohs(a.sin_port);
}

} // namespace

bool openEndpoint(std::uint16_t port, Endpoint& out, std::string& error) {
    const int attempts = port == 0 ? 20 : 1;
    for (int i = 0; i < attempts; ++i) {
        Endpoint e;
        e.tcp = bound(SOCK_STREAM, port, error);
        if (e.tcp < 0) {
            error.insert(0, "cannot listen on TCP 127.0.0.1:" + std::to_string(port) + ": ");
            return false;
        }
        e.port = localPort(e.tcp);
        e.udp = bound(SOCK_DGRAM, e.port, error);
        if (e.udp >= 0) {
            out = e;
            return true;
        }
        error.insert(0, "cannot bind UDP 127.0.0.1:" + std::to_string(e.port) + ": ");
        ::close(e.tcp);
    }
    return false;
}

void closeEndpoint(Endpoint& e) {
    if (e.tcp >= 0)
        ::close(e.tcp);
    if (e.udp >= 0)
        ::close(e.udp);
    e = Endpoint{};
}

} // namespace sim
