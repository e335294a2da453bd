// What a fleet run needs beyond the dialog's job, for the command line: a target
// that already has the image is not sent to again (current), and one with a newer
// image is not taken back to an older one (refused), unless asked for.
#pragma once

#include "core/UploadJob.h"

struct UpdatePolicy {
    bool allowReinstall = false; // send to a device that already shows the image's version
    bool allowOlder = false;     // send an image older than the device's
};

// Versions compare as (major, minor) numbers: <0, 0 or >0.
int compareVersions(int32_t majorA, int32_t minorA, int32_t majorB, int32_t minorB);

// Holds back each answering target the policy keeps from the job, with its outcome
// and reason; a held target is never sent to.
void applyPolicy(UploadJob& job, const UpdatePolicy& policy);
