#include "core/UpdatePolicy.h"

int compareVersions(int32_t majorA, int32_t minorA, int32_t majorB, int32_t minorB) {
    if (majorA != majorB)
        return majorA < majorB ? -1 : 1;
    return minorA == minorB ? 0 : (minorA < minorB ? -1 : 1);
}

void applyPolicy(UploadJob& job, const UpdatePolicy& policy) {
    for (JobTarget& t : job.targets) {
        if (t.held || !t.answered)
            continue;
        const int order =
            compareVersions(job.image.versionMajor, job.image.versionMinor, t.versionMajor, t.versionMinor);
        if (order == 0 && !policy.allowReinstall) {
            t.held = true;
            t.outcome = TargetOutcome::Current;
            t.after = t.before;
        } else if (order < 0 && !policy.allowOlder) {
            t.held = true;
            t.outcome = TargetOutcome::Refused;
            t.after = t.before;
            t.reason = QStringLiteral("older than installed %1").arg(t.before);
        }
    }
}
