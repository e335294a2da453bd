// One upload: what is sent where, and how it ended for each device.
#pragma once

#include "core/FirmwareFile.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

constexpr int kMaxUploadTargets = 40;

// Written on the info line while a device programs its flash.
inline constexpr char kFlashWarning[] = "Programming flash - do not turn machine off  !!!";

// How the job ended for one device, by the library's report codes.
enum class TargetOutcome {
    Committed,
    Unreachable,
    Refused,
    TransferFailed,
    VerifyFailed,
    FlashFailed,
    Cancelled
};
constexpr int kTargetOutcomes = 7;

// One device of a job. Versions read as the info line writes them ("2.04"), empty when the
// device did not answer.
struct TargetResult {
    int32_t id = 0;
    QString address; // dotted, as the device reports it
    QString name;
    QString before; // when the command chose the target
    QString after;  // asked again once the upload call returned
    TargetOutcome outcome = TargetOutcome::Unreachable;
    QString reason; // empty for a commit
};

struct UploadJob {
    std::vector<int32_t> targets; // device ids in the order found, at most kMaxUploadTargets
    bool serial = false;          // the first target alone, over the open serial port
    std::string path;             // the firmware file, encoded as the library takes paths

    // What the record of the job names.
    QString command; // "update" or "update-all"
    QString via;     // "network", "com1" or "com2"
    QString file;    // the absolute path
    ImageSummary image;
    std::vector<TargetResult> devices; // each target as the command found it (id, address, name, before)
};

struct UploadResult {
    UploadJob job;
    int32_t status = 0;                // the library's answer; exactly 1 is success
    bool flashWarningShown = false;    // the info line carried the warning
    bool cancelled = false;            // the job was asked to cancel
    std::vector<TargetResult> targets; // the devices sent to, settled after the call
    QByteArray historyEntry;           // the job's history line as written (or as it would have been)

    // The library's success, and every device showing the image's version.
    bool succeeded() const {
        return status == 1 && std::all_of(targets.begin(), targets.end(), [](const TargetResult& t) {
                   return t.outcome == TargetOutcome::Committed;
               });
    }
};
