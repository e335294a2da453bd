// Environment parsing: TESTDLL_NETWORK host:port with broadcast detection, and
// TESTDLL_TIMEOUT_MS clamped; malformed values are refused so the defaults apply.
#include "LibConfig.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

using namespace testdll;

TEST(Config, Network) {
    struct Row {
        const char* text;
        const char* address; // nullptr: refused
        int port;
        bool broadcast;
    };
    const Row rows[] = {
        {"127.0.0.1:47300", "127.0.0.1", 47300, false},
        {"localhost:1", "127.0.0.1", 1, false},
        {"127.0.0.1:65535", "127.0.0.1", 65535, false},
        {"255.255.255.255:47300", "255.255.255.255", 47300, true},
        {"127.0.0.255:5000", "127.0.0.255", 5000, true},
        {"127.255.0.1:5000", "127.255.0.1", 5000, false},
        {"127.0.0.1:0", nullptr, 0, false},
        {"127.0.0.1:65536", nullptr, 0, false},
        {"127.0.0.1:-1", nullptr, 0, false},
        {"127.0.0.1:47x", nullptr, 0, false},
        {"127.0.0.1:", nullptr, 0, false},
        {"127.0.0.1", nullptr, 0, false},
        {":47300", nullptr, 0, false},
        {"", nullptr, 0, false},
        {"300.1.1.1:5", nullptr, 0, false},
        {nullptr, nullptr, 0, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text ? r.text : "(null)");
        sockaddr_in a{};
        bool broadcast = false;
        ASSERT_EQ(parseNetwork(r.text, a, broadcast), r.address != nullptr);
        if (!r.address)
            continue;
        char buf[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &a.sin_addr, buf, sizeof buf);
        EXPECT_STREQ(buf, r.address);
        EXPECT_EQ(ntohs(a.sin_port), r.port);
        EXPECT_EQ(broadcast, r.broadcast);
    }
}

TEST(Config, Timeout) {
    const std::pair<const char*, int> rows[] = {
        {nullptr, 500},   {"", 500},       {"abc", 500}, {"12ms", 500}, {"99999999999999999999", 500},
        {"-1", 10},       {"9", 10},       {"10", 10},   {"11", 11},    {"250", 250},
        {"60000", 60000}, {"60001", 60000}};
    for (const auto& [text, ms] : rows)
        EXPECT_EQ(parseTimeoutMs(text), ms) << (text ? text : "(null)");
}
