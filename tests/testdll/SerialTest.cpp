// Single-target uploads over the station's serial line (a pty linked at the path in
// TESTDLL_COM1): opening is repeatable, a serial device commits with complete progress,
// ids not on the line and invalid images fail, and the line works again afterwards.
#include "LibraryTestEnv.h"

#include <chrono>

using namespace zutest;

namespace {

StationSpec serialStation() {
    StationSpec s = makeStation(3, 401); // 401, 402 on the line; 403 network only
    s.serialBaud = 115200;
    s.devices[0].serial = true;
    s.devices[1].serial = true;
    return s;
}

StationEnvironment* env = static_cast<StationEnvironment*>(
    ::testing::AddGlobalTestEnvironment(new StationEnvironment(serialStation(), {0, "", "ttyStation"})));

} // namespace

TEST(Serial, OpenTwice) {
    EXPECT_NE(DllOpenPort(1), 0);
    EXPECT_NE(DllOpenPort(1), 0);
}

TEST(Serial, UploadCommits) {
    ASSERT_NE(DllOpenPort(1), 0);
    const std::string path = makeImageFile(env->dir().file("s1.bin"), 6000, 9, 1);
    ProgressLog::reset();
    ASSERT_EQ(DllUploadFile(401, path.c_str(), ProgressLog::callback), 1);
    expectCompleteProgress(ProgressLog::values);
    EXPECT_EQ(versionOf(401), std::make_pair(9, 1));
}

class SerialRefused : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(SerialRefused, IdNotOnTheLine) {
    ASSERT_NE(DllOpenPort(1), 0);
    const std::string path = makeImageFile(env->dir().file("s2.bin"), 5000, 9, 2);
    const auto before = versionOf(403);
    EXPECT_EQ(DllUploadFile(GetParam(), path.c_str(), nullptr), 0);
    EXPECT_EQ(versionOf(403), before);
}

INSTANTIATE_TEST_SUITE_P(Ids, SerialRefused, ::testing::Values(403, 999));

TEST(Serial, InvalidImageThenLineStillWorks) {
    ASSERT_NE(DllOpenPort(1), 0);
    const std::string bad = env->dir().write("bad.bin", "not an image");
    EXPECT_EQ(DllUploadFile(402, bad.c_str(), nullptr), 0);
    const std::string path = makeImageFile(env->dir().file("s3.bin"), 3000, 9, 3);
    EXPECT_EQ(DllUploadFile(402, path.c_str(), nullptr), 1);
    EXPECT_EQ(versionOf(402), std::make_pair(9, 3));
}
