// Command line of the simulator.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

struct Options {
    std::string station;
    std::string state;  // empty: versions are not persisted
    std::string serial; // empty: no serial line
    std::uint16_t port = 0;
    bool portGiven = false;
    std::uint32_t maxConnections = 256; // upload connections served at once; more are closed
    bool help = false;
    bool log = false; // --log: one line per request on stderr
};

// False with a message for an unknown option, a missing value or a bad number.
bool parseOptions(int argc, char** argv, Options& out, std::string& error);

const char* usageText();

} // namespace sim
