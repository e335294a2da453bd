#include "stationsim/DeviceTable.h"

#include <algorithm>

namespace sim {

DeviceTable::DeviceTable(StationConfig config) : m_config(std::move(config)) {
    for (std::size_t i = 0; i < m_config.devices.size(); ++i) {
        const DeviceConfig& d = m_config.devices[i];
        m_index.emplace(d.id, i);
        m_versions.push_back({d.versionMajor, d.versionMinor});
        m_counters.push_back(d.securityCounter);
    }
    m_busy.assign(m_config.devices.size(), false);
}

const DeviceConfig* DeviceTable::find(std::int32_t id) const {
    const auto it = m_index.find(id);
    return it == m_index.end() ? nullptr : &m_config.devices[it->second];
}

Version DeviceTable::version(std::int32_t id) const {
    const auto it = m_index.find(id);
    if (it == m_index.end())
        return {};
    std::lock_guard lock(m_mutex);
    return m_versions[it->second];
}

void DeviceTable::setVersion(std::int32_t id, Version v) {
    const auto it = m_index.find(id);
    if (it == m_index.end())
        return;
    std::lock_guard lock(m_mutex);
    m_versions[it->second] = v;
}

std::vector<std::pair<std::int32_t, Version>> DeviceTable::versions() const {
    std::lock_guard lock(m_mutex);
    std::vector<std::pair<std::int32_t, Version>> out;
    out.reserve(m_versions.size());
    for (std::size_t i = 0; i < m_versions.size(); ++i)
        out.emplace_back(m_config.devices[i].id, m_versions[i]);
    return out;
}

std::uint32_t DeviceTable::counter(std::int32_t id) const {
    const auto it = m_index.find(id);
    if (it == m_index.end())
        return 0;
    std::lock_guard lock(m_mutex);
    return m_counters[it->second];
}

void DeviceTable::raiseCounter(std::int32_t id, std::uint32_t counter) {
    const auto it = m_index.find(id);
    if (it == m_index.end())
        return;
    std::lock_guard lock(m_mutex);
    m_counters[it->second] = std::max(m_counters[it->second], counter);
}

std::vector<std::pair<std::int32_t, std::uint32_t>> DeviceTable::counters() const {
    std::lock_guard lock(m_mutex);
    std::vector<std::pair<std::int32_t, std::uint32_t>> out;
    for (std::size_t i = 0; i < m_counters.size(); ++i) {
        if (!m_config.devices[i].trustedKeys.empty())
            out.emplace_back(m_config.devices[i].id, m_counters[i]);
    }
    return out;
}

bool DeviceTable::tryClaim(std::int32_t id) {
    const auto it = m_index.find(id);
    if (it == m_index.end())
        return false;
    std::lock_guard lock(m_mutex);
    if (m_busy[it->second])
        return false;
    m_busy[it->second] = true;
    return true;
}

void DeviceTable::release(std::int32_t id) {
    const auto it = m_index.find(id);
    if (it == m_index.end())
        return;
    std::lock_guard lock(m_mutex);
    m_busy[it->second] = false;
}

} // namespace sim
