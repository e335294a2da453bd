// What the library tells about each device while an upload call runs: the
// process's observer of every device's own progress (DllSetDeviceProgress),
// and the cancel of a call whose progress callback answered 0.
#pragma once

#include "devlib/TestDll.h"
#include "devlib/UploadSession.h"

#include <memory>
#include <vector>

namespace testdll {

// The observer as DllSetDeviceProgress left it. An upload call takes a copy when it
// starts and reports to that copy alone, so setting another one (or none) meanwhile
// changes nothing for a call already under way.
struct DeviceObserver {
    DeviceProgressCallback callback = nullptr;
    void* context = nullptr;

    void operator()(std::int32_t id, std::int32_t phase, std::int32_t percent) const {
        if (callback != nullptr)
            callback(id, phase, percent, context);
    }
};

void setDeviceObserver(DeviceObserver observer);
DeviceObserver currentDeviceObserver();

// Cuts off every session that has not started programming its flash; a device
// never commits an image whose session ended before its flash phase.
void cancelUnflashed(const std::vector<std::unique_ptr<UploadSession>>& sessions);

} // namespace testdll
