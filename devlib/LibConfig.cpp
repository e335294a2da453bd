// Environment parsing: a bad value falls back to its default rather than failing calls.
#include "devlib/LibConfig.h"

#include "support/ParseInt.h"
#include "wire/Datagram.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>

namespace testdll {

namespace {

constexpr int kDefaultTimeoutMs = 500;
constexpr int kMinTimeoutMs = 10;
constexpr int kMaxTimeoutMs = 60000;

sockaddr_in defaultEndpoint() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(wire::kDefaultPort);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

} // namespace

bool parseNetwork(const char* text, sockaddr_in& out, bool& broadcast) {
    if (text == nullptr)
        return false;
    const std::string s(text);
    const auto colon = s.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    const std::string host = s.substr(0, colon);
    const auto port = support::parseInteger(std::string_view(s).substr(colon + 1), 1, 65535);
    if (!port)
        return false;

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || res == nullptr)
        return false;
    sockaddr_in a{};
    std::memcpy(&a, res->ai_addr, std::min<std::size_t>(sizeof a, res->ai_addrlen));
    freeaddrinfo(res);
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(*port));
    // The netmask is unknown here, so only the all-ones host part of the usual
    // /24 (and the limited broadcast address) count as broadcast.
    const std::uint32_t host32 = ntohl(a.sin_addr.s_addr);
    broadcast = host32 == 0xFFFFFFFFu || (host32 & 0xFFu) == 0xFFu;
    out = a;
    return true;
}

int parseTimeoutMs(const char* text) {
    using Limits = std::numeric_limits<std::int64_t>;
    const auto v = text != nullptr ? support::parseInteger(text, Limits::min(), Limits::max()) : std::nullopt;
    if (!v)
        return kDefaultTimeoutMs;
    return static_cast<int>(std::clamp<std::int64_t>(*v, kMinTimeoutMs, kMaxTimeoutMs));
}

const LibConfig& config() {
    static LibConfig cfg;
    static std::once_flag once;
    std::call_once(once, [] {
        cfg.endpoint = defaultEndpoint();
        cfg.broadcast = false;
        sockaddr_in a{};
        bool bc = false;
        if (parseNetwork(std::getenv("TESTDLL_NETWORK"), a, bc)) {
            cfg.endpoint = a;
            cfg.broadcast = bc;
        }
        const char* com1 = std::getenv("TESTDLL_COM1");
        const char* com2 = std::getenv("TESTDLL_COM2");
        cfg.comPath[0] = (com1 != nullptr && *com1 != '\0') ? com1 : "/dev/ttyS0";
        cfg.comPath[1] = (com2 != nullptr && *com2 != '\0') ? com2 : "/dev/ttyS1";
        cfg.timeout = std::chrono::milliseconds(parseTimeoutMs(std::getenv("TESTDLL_TIMEOUT_MS")));
    });
    return cfg;
}

} // namespace testdll
