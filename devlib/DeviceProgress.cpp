#include "devlib/DeviceProgress.h"

#include <mutex>

namespace testdll {

namespace {

std::mutex g_observerMutex;
DeviceObserver g_observer;

} // namespace

void setDeviceObserver(DeviceObserver observer) {
    const std::lock_guard lock(g_observerMutex);
    g_observer = observer;
}

DeviceObserver currentDeviceObserver() {
    const std::lock_guard lock(g_observerMutex);
    return g_observer;
}

void cancelUnflashed(const std::vector<std::unique_ptr<UploadSession>>& sessions) {
    for (const auto& s : sessions) {
        if (s->active() && s->phase() != UploadSession::Phase::Flashing)
            s->cancel("cancelled before the device programmed its flash");
    }
}

} // namespace testdll
