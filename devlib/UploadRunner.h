// Drives every session of one upload call from the calling thread with poll(),
// and reports the combined progress through the caller's callback.
#pragma once

#include "devlib/TestDll.h"
#include "devlib/UploadSession.h"

#include <memory>
#include <vector>

namespace testdll {

// 1 when every session committed, else 0.
std::int32_t runUploads(std::vector<std::unique_ptr<UploadSession>>& sessions, ProgressCallback callback);

} // namespace testdll
