// Persists each device's installed version across restarts of the simulator.
// Format: {"versions": {"<id>": [major, minor], ...}}
#pragma once

#include "stationsim/DeviceTable.h"

#include <mutex>
#include <string>

namespace sim {

class StateFile {
public:
    explicit StateFile(std::string path) : m_path(std::move(path)) {}

    // Applies stored versions to the table. A missing file is an empty state; an
    // unreadable or garbled one fails with a reason. Ids not at the station are ignored.
    // A temporary left by a run that was killed while saving is removed.
    bool load(DeviceTable& table, std::string& error) const;

    // Rewrites the file atomically and durably with `id` at `v`, and only then records the
    // version in the table. False (table unchanged) when the file could not be saved.
    bool commit(DeviceTable& table, std::int32_t id, Version v, std::string& error);

    const std::string& path() const { return m_path; }

private:
    bool save(const std::vector<std::pair<std::int32_t, Version>>& list, std::string& error);

    std::string m_path;
    std::mutex m_mutex; // one writer at a time, and versions snapshotted under it
};

} // namespace sim
