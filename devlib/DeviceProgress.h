// What the library tells about each device while an upload call runs: the
// process's observer of every device's own progress (DllSetDeviceProgress),
// and the cancel of a call whose progress callback answered 0.
#pragma once

#include "devlib/TestDll.h"
#include "devlib/UploadSession.h"

#include <memory>
#include <vector>

namespace testdll {

void setDeviceObserver(DeviceProgressCallback callback, void* context);

// On the thread driving the session: one step of its own progress.
void reportDeviceProgress(std::int32_t id, std::int32_t phase, std::int32_t percent);

// Cuts off every session that has not started programming its flash; a device
// never commits an image whose session ended before its flash phase.
void cancelUnflashed(const std::vector<std::unique_ptr<UploadSession>>& sessions);

} // namespace testdll
