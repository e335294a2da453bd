// How an upload job ended for each device: the library's report, when it has
// one, checked against the version every target shows once the call returned.
#pragma once

#include "core/UploadJob.h"

#include <QString>

#include <vector>

// The outcome as the history and the details name it: "committed", "transfer-failed", ...
const char* outcomeName(TargetOutcome outcome);

// On the thread that made the upload call, right after it: asks the library
// for that call's report (looked up at run time, so an older library without
// it still serves) and every target for its version again. A device reported
// committed that does not show the image's version has failed; without a
// report the version alone decides.
std::vector<TargetResult> settleTargets(const UploadJob& job);

// One line per target: id, name, version before and after, outcome, reason.
QString targetDetails(const std::vector<TargetResult>& targets);

// Whether the job got as far as one device (a refusal counts; silence does not).
bool reachedADevice(const std::vector<TargetResult>& targets);
