#include "devlib/DeviceProgress.h"

#include <mutex>

namespace testdll {

namespace {

struct Observer {
    DeviceProgressCallback callback = nullptr;
    void* context = nullptr;
};

std::mutex g_observerMutex;
Observer g_observer;

} // namespace

void setDeviceObserver(DeviceProgressCallback callback, void* context) {
    const std::lock_guard lock(g_observerMutex);
    g_observer = {callback, context};
}

void reportDeviceProgress(std::int32_t id, std::int32_t phase, std::int32_t percent) {
    Observer observer;
    {
        const std::lock_guard lock(g_observerMutex);
        observer = g_observer;
    }
    // Called outside the lock: the observer may take its own.
    if (observer.callback != nullptr)
        observer.callback(id, phase, percent, observer.context);
}

void cancelUnflashed(const std::vector<std::unique_ptr<UploadSession>>& sessions) {
    for (const auto& s : sessions) {
        if (s->active() && s->phase() != UploadSession::Phase::Flashing)
            s->cancel("cancelled before the device programmed its flash");
    }
}

} // namespace testdll
