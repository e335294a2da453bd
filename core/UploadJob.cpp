#include "core/UploadJob.h"

#include <algorithm>

std::vector<int32_t> UploadJob::ids() const {
    std::vector<int32_t> out;
    for (const JobTarget& t : targets) {
        if (!t.held)
            out.push_back(t.id);
    }
    return out;
}

bool UploadResult::allCommitted() const {
    return std::all_of(job.targets.begin(), job.targets.end(), [](const JobTarget& t) {
        return t.outcome == TargetOutcome::Committed || t.outcome == TargetOutcome::Current;
    });
}
