// Environment parsing: TESTDLL_NETWORK host:port with broadcast detection, and
// TESTDLL_TIMEOUT_MS clamped; malformed values are refused so the defaults apply.
#include "LibConfig.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

using namespace testdll;

struct NetworkRow {
    const char* text;
    bool ok;
    const char* address;
    int port;
    bool broadcast;
};

class NetworkParsing : public ::testing::TestWithParam<NetworkRow> {};

TEST_P(NetworkParsing, Row) {
    const NetworkRow& r = GetParam();
    sockaddr_in a{};
    bool broadcast = false;
    ASSERT_EQ(parseNetwork(r.text, a, broadcast), r.ok) << (r.text ? r.text : "(null)");
    if (!r.ok)
        return;
    char buf[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, buf, sizeof buf);
    EXPECT_STREQ(buf, r.address);
    EXPECT_EQ(ntohs(a.sin_port), r.port);
    EXPECT_EQ(broadcast, r.broadcast);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, NetworkParsing,
    ::testing::Values(
        NetworkRow{"127.0.0.1:47300", true, "127.0.0.1", 47300, false},
        NetworkRow{"localhost:1", true, "127.0.0.1", 1, false},
        NetworkRow{"127.0.0.1:65535", true, "127.0.0.1", 65535, false},
        NetworkRow{"255.255.255.255:47300", true, "255.255.255.255", 47300, true},
        NetworkRow{"127.0.0.255:5000", true, "127.0.0.255", 5000, true},
        NetworkRow{"127.255.0.1:5000", true, "127.255.0.1", 5000, false},
        NetworkRow{"127.0.0.1:0", false, "", 0, false}, NetworkRow{"127.0.0.1:65536", false, "", 0, false},
        NetworkRow{"127.0.0.1:-1", false, "", 0, false}, NetworkRow{"127.0.0.1:47x", false, "", 0, false},
        NetworkRow{"127.0.0.1:", false, "", 0, false}, NetworkRow{"127.0.0.1", false, "", 0, false},
        NetworkRow{":47300", false, "", 0, false}, NetworkRow{"", false, "", 0, false},
        NetworkRow{"300.1.1.1:5", false, "", 0, false}, NetworkRow{nullptr, false, "", 0, false}));

struct TimeoutRow {
    const char* text;
    int ms;
};

class TimeoutParsing : public ::testing::TestWithParam<TimeoutRow> {};

TEST_P(TimeoutParsing, Row) {
    EXPECT_EQ(parseTimeoutMs(GetParam().text), GetParam().ms);
}

INSTANTIATE_TEST_SUITE_P(Rows, TimeoutParsing,
                         ::testing::Values(TimeoutRow{nullptr, 500}, TimeoutRow{"", 500},
                                           TimeoutRow{"abc", 500}, TimeoutRow{"12ms", 500},
                                           TimeoutRow{"99999999999999999999", 500}, TimeoutRow{"-1", 10},
                                           TimeoutRow{"9", 10}, TimeoutRow{"10", 10}, TimeoutRow{"11", 11},
                                           TimeoutRow{"250", 250}, TimeoutRow{"60000", 60000},
                                           TimeoutRow{"60001", 60000}));
