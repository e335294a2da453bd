// The info cache: what a burst left is served while fresh and never after, a silent device
// is not asked twice in one burst yet is asked again by the next, and an upload's end drops
// its targets' records even from a burst that was under way and has the next burst ask
// them all at once, with or without a scan.
#include "devlib/InfoCache.h"

#include <gtest/gtest.h>

using namespace testdll;
using namespace std::chrono_literals;
using Lookup = InfoCache::Lookup;

TEST(InfoCache, FreshOnlyAndBurstsAskOnlyStaleIds) {
    InfoCache cache;
    const std::int32_t scanned[] = {101, 0, 102, 103};
    cache.rescan(scanned, 4);
    const auto t0 = InfoCache::Clock::now();
    EXPECT_EQ(cache.staleIds(103, t0), (std::vector<std::int32_t>{103, 101, 102})) << "slot 0 is never asked";

    RemoteInfo record{};
    record.versionMajor = 7;
    cache.store(cache.generation(), t0, {101, 102}, {{101, record}}); // 102 silent in this burst
    EXPECT_EQ(cache.staleIds(101, t0 + 1s), (std::vector<std::int32_t>{101, 103}));

    // {id, time after the burst, lookup}
    const std::tuple<std::int32_t, InfoCache::Clock::duration, Lookup> rows[] = {
        {101, 1s, Lookup::Answered},
        {102, 1s, Lookup::Silent},
        {101, InfoCache::kFresh, Lookup::Missing},
        {102, InfoCache::kFresh, Lookup::Missing},
        {103, 0s, Lookup::Missing},
        {101, -1s, Lookup::Missing}};
    for (const auto& [id, after, expected] : rows) {
        RemoteInfo info{};
        EXPECT_EQ(cache.find(id, t0 + after, info), expected) << id;
        EXPECT_EQ(info.versionMajor, expected == Lookup::Answered ? 7 : 0) << id;
    }

    // A new scan asks everything again: a device silent before is found when it answers.
    cache.rescan(scanned, 4);
    RemoteInfo info{};
    EXPECT_EQ(cache.find(102, t0 + 1s, info), Lookup::Missing);
}

TEST(InfoCache, AnUploadsEndDropsTheRecordAndTheBurstUnderWay) {
    InfoCache cache;
    const auto t0 = InfoCache::Clock::now();
    RemoteInfo old{};
    cache.store(cache.generation(), t0, {101}, {{101, old}});
    const std::uint64_t during = cache.generation(); // a burst starts, then an upload ends
    const std::int32_t targets[] = {101, 102};
    cache.uploaded(targets, 2);
    cache.store(during, t0, {101}, {{101, old}});
    RemoteInfo info{};
    EXPECT_EQ(cache.find(101, t0, info), Lookup::Missing);
    EXPECT_EQ(cache.staleIds(102, t0), (std::vector<std::int32_t>{102, 101}));
    cache.store(cache.generation(), t0, {101}, {{101, old}});
    EXPECT_EQ(cache.find(101, t0, info), Lookup::Answered);
}
