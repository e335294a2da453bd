// One upload: what is sent where, and how it ended for each device.
#pragma once

#include "core/DeviceLibrary.h"
#include "core/FirmwareFile.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

constexpr int kMaxUploadTargets = 40;

// Written on the info line while a device programs its flash.
inline constexpr char kFlashWarning[] = "Programming flash - do not turn machine off  !!!";

// One device of a job. Versions read as the info line writes them ("2.04"), empty when the
// device did not answer.
struct JobTarget {
    int32_t id = 0;
    QString address; // dotted, as the device reports it
    QString name;
    QString before; // when the command chose the target
    QString after;  // asked again once the upload call returned
    TargetOutcome outcome = TargetOutcome::Unreachable;
    QString reason;    // empty for a commit
    bool held = false; // settled before the job (current, unreachable, refused by a policy): not sent
    // What the device answered when the command chose it.
    bool answered = false;
    int32_t versionMajor = 0, versionMinor = 0;
};

struct UploadJob {
    std::vector<JobTarget> targets; // in the order found, at most kMaxUploadTargets; serial: one
    bool serial = false;            // over the serial port that opened
    QByteArray path;                // the firmware file, encoded as the library takes paths

    // What the record of the job names.
    QString command; // "update" or "update-all"
    QString via;     // "network", "com1" or "com2"
    QString station; // the network address, or the serial device
    QString file;    // the absolute path
    ImageSummary image;

    std::vector<int32_t> ids() const; // of the targets sent to, in order
};

struct UploadResult {
    UploadJob job;                  // its targets settled: after, outcome, reason
    int32_t status = 0;             // the library's answer; exactly 1 is success
    bool flashWarningShown = false; // the info line carried the warning
    bool cancelled = false;         // the job was asked to cancel
    QByteArray historyEntry;        // the job's history line as written (or as it would have been)

    // What the result box follows: the library's own answer.
    bool libraryReportedSuccess() const { return status == 1; }
    // Every target has the image now: committed, or current already.
    bool allCommitted() const;
    // The job as its record and the command line judge it: every target has the image,
    // and the library said so too if it was called.
    bool ok() const { return allCommitted() && (status == 1 || job.ids().empty()); }
};
