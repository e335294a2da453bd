// The library's configuration, taken from the environment once per process.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <string>

namespace testdll {

struct LibConfig {
    sockaddr_in endpoint{}; // where discovery (and unknown ids) go
    bool broadcast = false; // endpoint is a broadcast address: collect every answer
    std::string comPath[2]; // serial ports 1 and 2
    std::chrono::milliseconds timeout{500};
};

// TESTDLL_NETWORK, TESTDLL_COM1, TESTDLL_COM2, TESTDLL_TIMEOUT_MS; read on first use.
const LibConfig& config();

// Exposed for tests of the parsing rules; config() uses these.
bool parseNetwork(const char* text, sockaddr_in& out, bool& broadcast);
int parseTimeoutMs(const char* text);

} // namespace testdll
