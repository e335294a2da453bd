// Network uploads: one and thirty targets reach the image's version with complete
// progress on the calling thread; each device fault fails the call while the healthy
// target in the same call still commits and the faulty one keeps its version;
// invalid image files touch no device.
#include "LibraryTestEnv.h"

#include <sys/stat.h>

#include <chrono>
#include <fstream>

using namespace zutest;

namespace {

constexpr std::int32_t kDrop = 201, kCorrupt = 202, kReject = 203, kFlashFail = 204, kStall = 205;
constexpr std::size_t kFaultImagePayload = 300000; // five 64 KiB chunks

StationSpec uploadStation() {
    StationSpec s = makeStation(30); // 101..130
    auto add = [&](std::int32_t id, auto setFault) {
        DeviceSpec d;
        d.id = id;
        d.name = "Faulty " + std::to_string(id);
        d.major = 1;
        d.minor = id - 200;
        setFault(d.faults);
        s.devices.push_back(d);
    };
    add(kDrop, [](DeviceFaults& f) { f.dropAfter = 100000; });
    add(kCorrupt, [](DeviceFaults& f) { f.corruptAt = 70000; });
    add(kReject, [](DeviceFaults& f) { f.reject = true; });
    add(kFlashFail, [](DeviceFaults& f) { f.flashFail = true; });
    add(kStall, [](DeviceFaults& f) { f.stallAfter = 100000; });
    return s;
}

// Thirty sessions answer Begin within T even on a loaded (or sanitized) machine;
// only the stalled device waits out a bound (4T).
constexpr int kUploadTimeoutMs = 500;

StationEnvironment* env = static_cast<StationEnvironment*>(
    ::testing::AddGlobalTestEnvironment(new StationEnvironment(uploadStation(), {}, kUploadTimeoutMs)));

std::string image(const std::string& name, std::size_t payload, int major, int minor) {
    return makeImageFile(env->dir().file(name), payload, major, minor);
}

} // namespace

TEST(Upload, OneDevice) {
    const std::string path = image("one.bin", 200000, 4, 1);
    const std::int32_t ids[] = {101};
    ProgressLog::reset();
    ASSERT_EQ(DllUploadFileToDevices(1, ids, path.c_str(), ProgressLog::callback), 1);
    EXPECT_EQ(versionOf(101), std::make_pair(4, 1));
    expectCompleteProgress(ProgressLog::values);
    for (const auto& t : ProgressLog::threads)
        EXPECT_EQ(t, std::this_thread::get_id());
}

TEST(Upload, ThirtyDevices) {
    const std::string path = image("thirty.bin", 1 << 20, 4, 2);
    std::vector<std::int32_t> ids;
    for (std::int32_t id = 101; id <= 130; ++id)
        ids.push_back(id);
    ProgressLog::reset();
    ASSERT_EQ(DllUploadFileToDevices(30, ids.data(), path.c_str(), ProgressLog::callback), 1);
    for (const std::int32_t id : ids)
        EXPECT_EQ(versionOf(id), std::make_pair(4, 2)) << id;
    expectCompleteProgress(ProgressLog::values);
}

TEST(Upload, WithoutCallback) {
    const std::string path = image("nocb.bin", 5000, 4, 3);
    const std::int32_t ids[] = {103};
    EXPECT_EQ(DllUploadFileToDevices(1, ids, path.c_str(), nullptr), 1);
    EXPECT_EQ(versionOf(103), std::make_pair(4, 3));
}

struct FaultRow {
    const char* name;
    std::int32_t id;
};

class UploadFault : public ::testing::TestWithParam<FaultRow> {};

// The faulty device comes first and the healthy one second, so a failure that
// stopped the loop early would show.
TEST_P(UploadFault, FailsAloneOthersCommit) {
    const FaultRow& row = GetParam();
    static int round = 0;
    const int minor = 10 + ++round;
    const auto before = versionOf(row.id);
    ASSERT_NE(before.first, -1);
    const std::string path = image(std::string(row.name) + ".bin", kFaultImagePayload, 5, minor);
    const std::int32_t ids[] = {row.id, 102};

    ProgressLog::reset();
    EXPECT_EQ(DllUploadFileToDevices(2, ids, path.c_str(), ProgressLog::callback), 0);
    EXPECT_EQ(versionOf(row.id), before);
    EXPECT_EQ(versionOf(102), std::make_pair(5, minor));
    const auto& v = ProgressLog::values;
    ASSERT_FALSE(v.empty());
    EXPECT_EQ(v.back(), 100); // the healthy target's completion
    for (std::size_t i = 1; i < v.size(); ++i)
        EXPECT_LT(v[i - 1], v[i]);
}

INSTANTIATE_TEST_SUITE_P(Faults, UploadFault,
                         ::testing::Values(FaultRow{"drop_after", kDrop}, FaultRow{"corrupt_at", kCorrupt},
                                           FaultRow{"reject", kReject}, FaultRow{"flash_fail", kFlashFail},
                                           FaultRow{"stall_after", kStall}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(Upload, UnknownIdFailsOthersCommit) {
    const std::string path = image("unknown.bin", 10000, 6, 1);
    const std::int32_t ids[] = {999, 104};
    EXPECT_EQ(DllUploadFileToDevices(2, ids, path.c_str(), nullptr), 0);
    EXPECT_EQ(versionOf(104), std::make_pair(6, 1));
}

// Each of these is refused before any device is contacted.
class InvalidImage : public ::testing::TestWithParam<const char*> {};

TEST_P(InvalidImage, NoDeviceTouched) {
    const std::string kind = GetParam();
    std::string path = env->dir().file("bad-" + kind);
    auto good = makeImageBytes(10000, 7, 7);
    if (kind == "missing") {
        // nothing written
    } else if (kind == "directory") {
        ::mkdir(path.c_str(), 0700);
    } else {
        if (kind == "empty")
            good.clear();
        else if (kind == "truncated")
            good.pop_back();
        else if (kind == "trailing")
            good.push_back(0);
        else if (kind == "payload-flip")
            good[good.size() / 2] ^= 0x40;
        else if (kind == "header-only")
            good.resize(fwimage::kHeaderSize);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(good.data()), static_cast<std::streamsize>(good.size()));
    }
    const auto before = versionOf(105);
    const std::int32_t ids[] = {105};
    ProgressLog::reset();
    EXPECT_EQ(DllUploadFileToDevices(1, ids, path.c_str(), ProgressLog::callback), 0);
    EXPECT_TRUE(ProgressLog::values.empty());
    EXPECT_EQ(versionOf(105), before);
}

INSTANTIATE_TEST_SUITE_P(Files, InvalidImage,
                         ::testing::Values("missing", "directory", "empty", "truncated", "trailing",
                                           "payload-flip", "header-only"),
                         [](const auto& p) {
                             std::string n = p.param;
                             std::replace(n.begin(), n.end(), '-', '_');
                             return n;
                         });
