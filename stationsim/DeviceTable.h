// Run-time state of the simulated devices: installed versions and which ones
// are being uploaded to. Shared by the UDP, TCP and serial threads.
#pragma once

#include "stationsim/StationConfig.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace sim {

struct Version {
    std::int32_t major = 0;
    std::int32_t minor = 0;
};

class DeviceTable {
public:
    explicit DeviceTable(StationConfig config);

    const StationConfig& config() const { return m_config; }
    // The device's fixed description, or nullptr for an id not at this station.
    const DeviceConfig* find(std::int32_t id) const;

    Version version(std::int32_t id) const;
    void setVersion(std::int32_t id, Version v);
    // Installed versions in station order.
    std::vector<std::pair<std::int32_t, Version>> versions() const;

    // The lowest security counter the device takes now: its station-file value, raised by
    // every signed image it committed.
    std::uint32_t counter(std::int32_t id) const;
    void raiseCounter(std::int32_t id, std::uint32_t counter);
    // The counters of the devices that check signatures, in station order.
    std::vector<std::pair<std::int32_t, std::uint32_t>> counters() const;

    // One upload per device at a time: false if one is already running.
    bool tryClaim(std::int32_t id);
    void release(std::int32_t id);

private:
    const StationConfig m_config;
    std::unordered_map<std::int32_t, std::size_t> m_index;
    mutable std::mutex m_mutex;
    std::vector<Version> m_versions;
    std::vector<std::uint32_t> m_counters;
    std::vector<bool> m_busy;
};

// Holds a device's upload claim for the length of a session.
class UploadClaim {
public:
    UploadClaim(DeviceTable& table, std::int32_t id) : m_table(table), m_id(id), m_held(table.tryClaim(id)) {}
    ~UploadClaim() {
        if (m_held)
            m_table.release(m_id);
    }
    UploadClaim(const UploadClaim&) = delete;
    UploadClaim& operator=(const UploadClaim&) = delete;
    bool held() const { return m_held; }
    // Frees the device before the session's last reply, so the client's next upload is not Busy.
    void release() {
        if (m_held)
            m_table.release(m_id);
        m_held = false;
    }

private:
    DeviceTable& m_table;
    std::int32_t m_id;
    bool m_held;
};

} // namespace sim
