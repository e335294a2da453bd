// Environment parsing: TESTDLL_NETWORK host:port with broadcast detection, and
// TESTDLL_TIMEOUT_MS clamped; malformed values are refused so the defaults apply.
#include "devlib/LibConfig.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

using namespace testdll;

TEST(Config, NetworkAndTimeout) {
    // Each text with its address, port and broadcast flag as read back, or "" when refused.
    const std::pair<const char*, std::string> rows[] = {
        {"localhost:1", "127.0.0.1:1"},
        {"127.0.0.1:65535", "127.0.0.1:65535"},
        {"255.255.255.255:47300", "255.255.255.255:47300 broadcast"},
        {"127.0.0.255:5000", "127.0.0.255:5000 broadcast"},
        {"127.255.0.1:5000", "127.255.0.1:5000"}};
    const char* refused[] = {"127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:-1", "127.0.0.1:47x", "127.0.0.1:",
                             "127.0.0.1",   ":47300",          "300.1.1.1:5",  nullptr};
    auto read = [](const char* text) {
        sockaddr_in a{};
        bool broadcast = false;
        char buf[INET_ADDRSTRLEN] = {};
        return parseNetwork(text, a, broadcast)
                   ? inet_ntop(AF_INET, &a.sin_addr, buf, sizeof buf) +
                         (":" + std::to_string(ntohs(a.sin_port))) + (broadcast ? " broadcast" : "")
                   : std::string();
    };
    for (const auto& [text, expected] : rows)
        EXPECT_EQ(read(text), expected) << text;
    for (const char* text : refused)
        EXPECT_EQ(read(text), "") << (text ? text : "(null)");
    const std::pair<const char*, int> timeouts[] = {
        {nullptr, 500},  {"", 500}, {"12ms", 500}, {"99999999999999999999", 500},
        {"-1", 10},      {"9", 10}, {"11", 11},    {"60000", 60000},
        {"60001", 60000}};
    for (const auto& [text, ms] : timeouts)
        EXPECT_EQ(parseTimeoutMs(text), ms) << (text ? text : "(null)");
}
