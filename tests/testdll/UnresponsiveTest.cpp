// Devices that do not answer in time: a silent one and one whose replies come
// later than the timeout. Queries give up after about one timeout; uploads to them
// fail while the healthy target in the same call commits; a restart of the station
// from its state file shows the unresponsive devices kept their old versions.
#include "LibraryTestEnv.h"

#include <chrono>

using namespace zutest;
using namespace std::chrono;

namespace {

constexpr std::int32_t kSilent = 301, kLate = 302, kHealthy = 303;

StationSpec station(bool withFaults) {
    StationSpec s;
    for (const std::int32_t id : {kSilent, kLate, kHealthy}) {
        DeviceSpec d;
        d.id = id;
        d.major = 2;
        d.minor = id - 300;
        s.devices.push_back(d);
    }
    if (withFaults) {
        s.devices[0].faults.silent = true;
        s.devices[1].faults.delayMs = 3 * kTimeoutMs;
    }
    return s;
}

StationEnvironment* env = static_cast<StationEnvironment*>(
    ::testing::AddGlobalTestEnvironment(new StationEnvironment(station(true), {0, "state.json", ""})));

} // namespace

void expectGivesUpAfterAboutOneTimeout(std::int32_t id) {
    RemoteInfo info{};
    const auto start = steady_clock::now();
    EXPECT_EQ(DllGetRemoteInfo(id, &info), 0);
    const auto took = duration_cast<milliseconds>(steady_clock::now() - start).count();
    EXPECT_GE(took, kTimeoutMs - 5);
    EXPECT_LT(took, 5 * kTimeoutMs);
}

void expectUploadFailsPartnerCommits(std::int32_t id, int minor) {
    const std::string path = makeImageFile(env->dir().file("img.bin"), 150000, 8, minor);
    const std::int32_t ids[] = {id, kHealthy};
    const auto start = steady_clock::now();
    EXPECT_EQ(DllUploadFileToDevices(2, ids, path.c_str(), nullptr), 0);
    EXPECT_LT(steady_clock::now() - start, milliseconds(10 * kTimeoutMs));
    EXPECT_EQ(versionOf(kHealthy), std::make_pair(8, minor));
}

// Plain tests run in the order written; the last one replaces the station.
TEST(Unanswered, SilentInfo) {
    expectGivesUpAfterAboutOneTimeout(kSilent);
}
TEST(Unanswered, LateInfo) {
    expectGivesUpAfterAboutOneTimeout(kLate);
}
TEST(Unanswered, SilentUpload) {
    expectUploadFailsPartnerCommits(kSilent, 21);
}
TEST(Unanswered, LateUpload) {
    expectUploadFailsPartnerCommits(kLate, 22);
}

// The same state file served without faults, on the same port.
TEST(Unanswered, OldVersionsKept) {
    StationOptions options = env->options();
    options.port = env->station().port();
    env->station().stop();
    StationProcess plain(station(false), options);
    ASSERT_TRUE(plain.running()) << plain.error();
    EXPECT_EQ(versionOf(kSilent), std::make_pair(2, 1));
    EXPECT_EQ(versionOf(kLate), std::make_pair(2, 2));
    EXPECT_EQ(versionOf(kHealthy), std::make_pair(8, 22));
}
