// The fake library's seventh operation: this thread's report of its last upload.
#include "tests/fakedll/FakeDll.h"

#include <algorithm>

extern "C" int32_t DllGetUploadReport(UploadOutcome* out, int32_t capacity) {
    const std::vector<UploadOutcome>& report = fakedll::threadReport();
    if (out != nullptr && capacity > 0)
        std::copy_n(report.begin(), std::min<size_t>(capacity, report.size()), out);
    return static_cast<int32_t>(report.size());
}
