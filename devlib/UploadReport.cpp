#include "devlib/UploadReport.h"

#include <algorithm>
#include <cstdio>

namespace testdll {

namespace {

thread_local std::vector<UploadOutcome> t_report;

UploadOutcome entry(int32_t id, int32_t outcome, const char* reason) {
    UploadOutcome o{id, outcome, {}};
    std::snprintf(o.reason, sizeof o.reason, "%s", reason);
    return o;
}

} // namespace

void reportAll(const int32_t* ids, int32_t count, int32_t outcome, const char* reason) {
    t_report.clear();
    for (int32_t i = 0; ids != nullptr && i < count; ++i)
        t_report.push_back(entry(ids[i], outcome, reason));
}

void reportSessions(const std::vector<std::unique_ptr<UploadSession>>& sessions) {
    t_report.clear();
    for (const auto& s : sessions) {
        // A session still running here was cut off by the call's end: nothing of it counts.
        const bool ended = s->committed() || s->failed();
        t_report.push_back(entry(s->id(), ended ? s->outcome() : UPLOAD_TRANSFER_FAILED,
                                 s->committed() ? ""
                                 : ended        ? s->failure()
                                                : "the upload was cut off"));
    }
}

int32_t copyReport(UploadOutcome* out, int32_t capacity) {
    const auto count = static_cast<int32_t>(t_report.size());
    if (out != nullptr && capacity > 0)
        std::copy_n(t_report.begin(), std::min(capacity, count), out);
    return count;
}

} // namespace testdll
