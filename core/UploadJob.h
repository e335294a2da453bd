// One upload: what is sent where, and how it ended.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr int kMaxUploadTargets = 40;

// Written on the info line while a device programs its flash.
inline constexpr char kFlashWarning[] = "Programming flash - do not turn machine off  !!!";

struct UploadJob {
    std::vector<int32_t> targets; // device ids in the order found, at most kMaxUploadTargets
    bool serial = false;          // the first target alone, over the open serial port
    std::string path;             // the firmware file, encoded as the library takes paths
};

// Kept apart from the job so that outcomes per device can join it later.
struct UploadResult {
    UploadJob job;
    int32_t status = 0;             // the library's answer; exactly 1 is success
    bool flashWarningShown = false; // the info line carried the warning

    bool succeeded() const { return status == 1; }
};
