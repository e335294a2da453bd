// How an upload job ended for each device: the library's report, when it has
// one, and the version every target shows once the call returned.
#pragma once

#include "core/UploadJob.h"

#include <QString>

#include <vector>

// The outcome as the history and the details name it: "committed", "transfer-failed", ...
const char* outcomeName(TargetOutcome outcome);

// On the thread that made the upload call, right after it: settles every target that was
// sent to from the library's reply and asks each for its version again (the library asks
// them all at once). The result follows the library: a target it reports committed (or,
// without a report, every target of a call that returned 1) stays committed, a version
// that differs only goes into its reason. Without a report and success, the version decides.
void settleTargets(UploadJob& job, const UploadReply& reply, DeviceLibrary& library);

// One line per target: id, name, version before and after, outcome, reason.
QString targetDetails(const std::vector<JobTarget>& targets);

// Whether the job got as far as one device (a refusal counts; silence does not).
bool reachedADevice(const std::vector<JobTarget>& targets);
