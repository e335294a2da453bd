// The devices' info records as the last burst of queries left them. A scan names
// the ids its caller will ask about; the first query that finds no fresh record asks
// every such id at once, so a walk over the slots costs one timeout however many
// devices are switched off. Shared between threads.
#pragma once

#include "devlib/TestDll.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace testdll {

class InfoCache {
public:
    using Clock = std::chrono::steady_clock;

    // Long enough for the dialog to walk its slots (and press "Upd. All" soon after a
    // Refresh) on one burst, short enough that a device switched on or off, or changed by
    // another program, shows within a couple of seconds.
    static constexpr std::chrono::milliseconds kFresh{2000};

    enum class Lookup { Missing, Answered, Silent };

    // A fresh record for `id` into `info` (Answered), a fresh "did not answer" (Silent), or Missing.
    Lookup find(std::int32_t id, Clock::time_point now, RemoteInfo& info) const;

    // The ids a burst should ask now: `id` and every id of the last scan without a fresh record.
    std::vector<std::int32_t> staleIds(std::int32_t id, Clock::time_point now) const;

    // The counter a burst notes before it starts; store() drops the answers of a burst
    // that overlapped an uploaded(), as they may predate an upload's commit.
    std::uint64_t generation() const;
    // Records one burst's outcome, taken at `at`: answered ids with their record, the rest silent.
    void store(std::uint64_t generation, Clock::time_point at, const std::vector<std::int32_t>& asked,
               const std::unordered_map<std::int32_t, RemoteInfo>& answered);

    // A new scan: these ids are the ones its caller will ask about; every record is stale.
    void rescan(const std::int32_t* ids, std::size_t count);
    // An upload to these devices ended: forget their records, and ask them together
    // with the next burst, so that looking at every target afterwards costs one
    // timeout however many stay silent, also without a scan.
    void uploaded(const std::int32_t* ids, std::size_t count);

private:
    struct Entry {
        Clock::time_point at;
        bool answered = false;
        RemoteInfo info{};
    };

    static constexpr std::size_t kMaxEntries = 4096;

    mutable std::mutex m_mutex;
    std::unordered_map<std::int32_t, Entry> m_entries;
    std::vector<std::int32_t> m_scanned;
    std::uint64_t m_generation = 0;
};

// The process's cache.
InfoCache& infoCache();

} // namespace testdll
