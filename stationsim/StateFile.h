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
    bool load(DeviceTable& table, std::string& error) const;

    // Records a committed upload and rewrites the file atomically, so a crash never
    // leaves a half-written state behind.
    bool commit(DeviceTable& table, std::int32_t id, Version v, std::string& error);

    const std::string& path() const { return m_path; }

private:
    bool save(const DeviceTable& table, std::string& error);

    std::string m_path;
    std::mutex m_mutex; // one writer at a time, and versions snapshotted under it
};

} // namespace sim
