// The station file: which devices a simulated station holds, how they behave
// and how fast they are. Loaded once at start; immutable afterwards.
#pragma once

#include "wire/ImageSigning.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Misbehaviour to simulate; zero / false means off.
struct Faults {
    bool silent = false;          // listed by scan, answers nothing else
    std::uint32_t dropAfter = 0;  // reset the connection once this many image bytes arrived
    std::uint32_t corruptAt = 0;  // flip the image byte at this offset on receipt
    bool reject = false;          // refuse every image
    bool flashFail = false;       // fail flash programming at 50 %
    std::uint32_t stallAfter = 0; // stop reading and answering after this many image bytes
    std::uint32_t delayMs = 0;    // send every reply this late
};

// A public key a device takes signed images from, with its id.
struct TrustedKey {
    fwimage::KeyId id{};
    fwsign::PublicKey key{};
};

struct DeviceConfig {
    std::int32_t id = 0;
    std::uint32_t address = 0; // first dotted octet in the most significant byte
    std::string name;          // at most 63 bytes
    std::uint8_t family = 0;
    std::uint8_t kind = 0;
    std::uint8_t sub = 0;
    std::uint8_t letter = 0;
    std::int32_t versionMajor = 0;
    std::int32_t versionMinor = 0;
    bool serial = false;
    bool acceptsAll = true;              // no "accepts" list: every image type
    std::vector<std::uint8_t> accepts;   // else the image types (type code low bytes) it takes
    std::vector<TrustedKey> trustedKeys; // empty: takes unsigned images and checks no signature
    std::uint32_t securityCounter = 0;   // the lowest image counter taken, at start
    Faults faults;

    const TrustedKey* trustedKey(const fwimage::KeyId& keyId) const {
        const auto it = std::find_if(trustedKeys.begin(), trustedKeys.end(),
                                     [&](const TrustedKey& k) { return k.id == keyId; });
        return it == trustedKeys.end() ? nullptr : &*it;
    }

    bool acceptsType(std::uint32_t imageType) const {
        const auto type = static_cast<std::uint8_t>(imageType & 0xFFu);
        return acceptsAll || std::find(accepts.begin(), accepts.end(), type) != accepts.end();
    }

    std::uint32_t typeCode() const {
        return (std::uint32_t{family} << 24) | (std::uint32_t{kind} << 16) | (std::uint32_t{sub} << 8) |
               std::uint32_t{letter};
    }
};

struct StationConfig {
    std::uint32_t linkKbps = 0;   // kilobits/s per session, 0 = unthrottled
    std::uint32_t flashKbps = 0;  // kilobytes/s (1000 bytes), 0 = unthrottled
    std::uint32_t serialBaud = 0; // bits/s, 10 bits a byte, 0 = unthrottled
    std::vector<DeviceConfig> devices;
};

constexpr std::size_t kMaxNameBytes = 63;
constexpr std::size_t kMaxDevices = 65535; // the scan reply counts in 16 bits

// Parses station-file text. On failure returns false and sets `error` to
// "<key path>: <problem>" (or a parse message for malformed JSON).
bool parseStation(const std::string& text, StationConfig& out, std::string& error);

// Reads and parses a file; `error` is prefixed with nothing (the caller adds the file name).
bool loadStationFile(const std::string& path, StationConfig& out, std::string& error);

// Reads a whole file; false with a reason on failure.
bool readWholeFile(const std::string& path, std::string& out, std::string& error);

} // namespace sim
