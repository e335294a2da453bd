// Scan and info against a 30-device station: station order, count and capacity
// (slots beyond the count untouched), the exact RemoteInfo bytes at their offsets,
// unknown ids and id 0, and a complete scan returning without waiting out the timeout.
#include "LibraryTestEnv.h"

#include <chrono>
#include <cstring>

using namespace zutest;

namespace {

constexpr int kSlowTimeoutMs = 1000; // long, so "returned before the timeout" is unmistakable

StationSpec scanStation() {
    StationSpec s = makeStation(30);
    // Ids in no sorted order, with the extremes of a signed 32-bit id.
    for (int i = 0; i < 30; ++i)
        s.devices[static_cast<std::size_t>(i)].id = 5000 - 37 * ((i * 7) % 30);
    s.devices[3].id = -5;
    s.devices[4].id = 2147483647;
    s.devices[5].id = -2147483647 - 1;
    DeviceSpec& d = s.devices[0];
    d.address = "10.1.2.254";
    d.name = std::string(63, 'N');
    d.family = 0xC1;
    d.kind = 0x82;
    d.sub = 0x17;
    d.letter = 'Q';
    d.major = 65535;
    d.minor = 2147483647;
    s.devices[1].name = "Cluster A";
    return s;
}

StationEnvironment* env = static_cast<StationEnvironment*>(
    ::testing::AddGlobalTestEnvironment(new StationEnvironment(scanStation(), {}, kSlowTimeoutMs)));

std::vector<std::int32_t> stationIds() {
    std::vector<std::int32_t> ids;
    for (const auto& d : env->spec().devices)
        ids.push_back(d.id);
    return ids;
}

void putLe(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

} // namespace

class ScanCapacity : public ::testing::TestWithParam<int> {};

TEST_P(ScanCapacity, WritesFirstSlotsInStationOrderOnly) {
    const int capacity = GetParam();
    constexpr std::int32_t kUntouched = 0x5A5A5A5A;
    std::vector<std::int32_t> slots(40, kUntouched);
    const auto start = std::chrono::steady_clock::now();
    const std::int32_t n = DllScanNetwork(slots.data(), capacity);
    const auto elapsed = std::chrono::steady_clock::now() - start;

    const auto expected = stationIds();
    const int want = std::min(capacity, 30);
    ASSERT_EQ(n, want);
    for (int i = 0; i < want; ++i)
        EXPECT_EQ(slots[static_cast<std::size_t>(i)], expected[static_cast<std::size_t>(i)]) << "slot " << i;
    for (std::size_t i = static_cast<std::size_t>(want); i < slots.size(); ++i)
        EXPECT_EQ(slots[i], kUntouched) << "slot " << i;
    if (capacity > 0) { // a complete answer ends the scan; only silence waits out the timeout
        EXPECT_LT(elapsed, std::chrono::milliseconds(kSlowTimeoutMs));
    }
}

INSTANTIATE_TEST_SUITE_P(Capacities, ScanCapacity, ::testing::Values(0, 1, 5, 29, 30, 31, 40));

TEST(Scan, NullOrNegativeCapacityWritesNothing) {
    EXPECT_EQ(DllScanNetwork(nullptr, 30), 0);
    std::int32_t one = 77;
    EXPECT_EQ(DllScanNetwork(&one, -1), 0);
    EXPECT_EQ(one, 77);
}

TEST(Info, ExactBytesAtTheirOffsets) {
    const DeviceSpec& d = env->spec().devices[0];
    RemoteInfo info;
    std::memset(&info, 0xCC, sizeof info);
    ASSERT_NE(DllGetRemoteInfo(d.id, &info), 0);

    std::uint8_t expected[196] = {};
    putLe(expected + 4, 0x0A0102FE);
    std::memset(expected + 56, 'N', 63);
    putLe(expected + 120, 0xC1821700u | static_cast<std::uint8_t>('Q'));
    putLe(expected + 188, 65535u);
    putLe(expected + 192, 2147483647u);
    std::uint8_t actual[196];
    std::memcpy(actual, &info, sizeof actual);
    for (std::size_t i = 0; i < sizeof actual; ++i)
        EXPECT_EQ(actual[i], expected[i]) << "offset " << i;
}

TEST(Info, EveryListedDeviceAnswersWithItsOwnRecord) {
    for (const auto& d : env->spec().devices) {
        RemoteInfo info{};
        ASSERT_NE(DllGetRemoteInfo(d.id, &info), 0) << d.id;
        EXPECT_STREQ(info.name, d.name.c_str());
        EXPECT_EQ(info.versionMajor, d.major);
        EXPECT_EQ(info.versionMinor, d.minor);
        EXPECT_EQ(info.typeCode & 0xFF, static_cast<std::uint32_t>(static_cast<unsigned char>(d.letter)));
    }
}

class InfoRefused : public ::testing::TestWithParam<std::int32_t> {};

// Unknown ids are refused by the station at once: well inside the timeout.
TEST_P(InfoRefused, ZeroAndRecordCleared) {
    RemoteInfo info;
    std::memset(&info, 0xCC, sizeof info);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(DllGetRemoteInfo(GetParam(), &info), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kSlowTimeoutMs / 2));
    const RemoteInfo zero{};
    EXPECT_EQ(std::memcmp(&info, &zero, sizeof info), 0);
}

INSTANTIATE_TEST_SUITE_P(Ids, InfoRefused, ::testing::Values(0, 1, 4999, -6, 2147483646));

TEST(Info, NullRecord) {
    EXPECT_EQ(DllGetRemoteInfo(env->spec().devices[1].id, nullptr), 0);
}
