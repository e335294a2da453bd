#include "devlib/InfoCache.h"

#include <algorithm>

namespace testdll {

InfoCache::Lookup InfoCache::find(std::int32_t id, Clock::time_point now, RemoteInfo& info) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_entries.find(id);
    if (it == m_entries.end() || now - it->second.at >= kFresh || now < it->second.at)
        return Lookup::Missing;
    if (!it->second.answered)
        return Lookup::Silent;
    info = it->second.info;
    return Lookup::Answered;
}

std::vector<std::int32_t> InfoCache::staleIds(std::int32_t id, Clock::time_point now) const {
    std::lock_guard lock(m_mutex);
    std::vector<std::int32_t> out{id};
    for (const std::int32_t other : m_scanned) {
        if (other == 0 || std::find(out.begin(), out.end(), other) != out.end())
            continue;
        const auto it = m_entries.find(other);
        if (it == m_entries.end() || now - it->second.at >= kFresh)
            out.push_back(other);
    }
    return out;
}

std::uint64_t InfoCache::generation() const {
    std::lock_guard lock(m_mutex);
    return m_generation;
}

void InfoCache::store(std::uint64_t generation, Clock::time_point at, const std::vector<std::int32_t>& asked,
                      const std::unordered_map<std::int32_t, RemoteInfo>& answered) {
    std::lock_guard lock(m_mutex);
    if (generation != m_generation)
        return;
    // Ids asked for without a scan (a caller probing at random) must not grow it without bound.
    if (m_entries.size() > kMaxEntries)
        m_entries.clear();
    for (const std::int32_t id : asked) {
        const auto it = answered.find(id);
        Entry& e = m_entries[id];
        e.at = at;
        e.answered = it != answered.end();
        e.info = e.answered ? it->second : RemoteInfo{};
    }
}

void InfoCache::rescan(const std::int32_t* ids, std::size_t count) {
    std::lock_guard lock(m_mutex);
    m_scanned.assign(ids, ids + count);
    m_entries.clear();
}

void InfoCache::uploaded(const std::int32_t* ids, std::size_t count) {
    std::lock_guard lock(m_mutex);
    for (std::size_t i = 0; i < count; ++i) {
        m_entries.erase(ids[i]);
        if (std::find(m_scanned.begin(), m_scanned.end(), ids[i]) == m_scanned.end() &&
            m_scanned.size() < kMaxEntries)
            m_scanned.push_back(ids[i]);
    }
    ++m_generation;
}

InfoCache& infoCache() {
    static InfoCache cache;
    return cache;
}

} // namespace testdll
