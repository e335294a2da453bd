// Persists each device's installed version, and the security counter of each device that
// checks signatures, across restarts of the simulator.
// Format: {"versions": {"<id>": [major, minor], ...}, "counters": {"<id>": counter, ...}}
#pragma once

#include "stationsim/DeviceTable.h"

#include <mutex>
#include <string>

namespace sim {

class StateFile {
public:
    explicit StateFile(std::string path) : m_path(std::move(path)) {}

    // Applies stored versions to the table, and raises counters to the stored ones. A missing file is an
    // empty state; an unreadable or garbled one fails with a reason. Ids not at the station are ignored. A
    // temporary left by a run that was killed while saving is removed.
    bool load(DeviceTable& table, std::string& error) const;

    // Rewrites the file atomically and durably with `id` at `v` and its counter raised to
    // `counter`, and only then records both in the table. False (table unchanged) when the
    // file could not be saved.
    bool commit(DeviceTable& table, std::int32_t id, Version v, std::uint32_t counter, std::string& error);

    const std::string& path() const { return m_path; }

private:
    bool save(const std::vector<std::pair<std::int32_t, Version>>& list,
              const std::vector<std::pair<std::int32_t, std::uint32_t>>& counters, std::string& error);

    std::string m_path;
    std::mutex m_mutex; // one writer at a time, and versions snapshotted under it
};

} // namespace sim
