#include "core/UploadController.h"

#include "core/GuiWakeUp.h"
#include "core/TargetResults.h"
#include "core/UploadHistory.h"

#include <QCoreApplication>
#include <QDateTime>

#include <system_error>

// The library's reports on the worker, recorded for the owning thread.
class UploadController::Observer final : public UploadObserver {
public:
    explicit Observer(UploadController& controller) : m_c(controller) {}

    bool progress(int32_t value) override {
        const std::lock_guard lock(m_c.m_mutex);
        // A repeat or a lower value changes nothing on screen: no wake-up for it.
        if (value > m_c.m_shared.progress) {
            m_c.m_shared.progress = value;
            m_c.m_shared.flash = m_c.m_shared.flash || value > 95;
            m_c.wakeLocked();
        }
        return !m_c.m_cancel;
    }

    void deviceProgress(int32_t id, DevicePhase phase, int percent) override {
        const std::lock_guard lock(m_c.m_mutex);
        m_c.m_shared.devices.insert(id, {static_cast<int>(phase), percent});
        m_c.wakeLocked();
    }

private:
    UploadController& m_c;
};

UploadController::UploadController(DeviceLibrary& library, QObject* parent)
    : QObject(parent), m_library(library), m_wakeUp(new GuiWakeUp(this)) {
    connect(m_wakeUp, &GuiWakeUp::woken, this, &UploadController::deliver);
}

UploadController::~UploadController() {
    m_cancel = true;
    if (m_worker.joinable())
        m_worker.join();
}

bool UploadController::reportsEachDevice() const {
    return m_library.reportsEachDevice();
}

bool UploadController::start(UploadJob job) {
    if (m_running || m_worker.joinable() || job.targets.empty())
        return false;
    m_job = std::move(job);
    m_historyPath = historyPath(m_historyApplication.isEmpty() ? QCoreApplication::applicationName()
                                                               : m_historyApplication);
    m_cancel = false;
    {
        const std::lock_guard lock(m_mutex);
        m_shared = Shared{};
    }
    m_shownProgress = -1;
    m_warned = false;
    try {
        auto body = [this] { runWorker(); };
        m_worker = m_launcher ? m_launcher(body) : std::thread(body);
    } catch (const std::system_error&) {
        return false;
    }
    m_running = m_worker.joinable();
    return m_running;
}

void UploadController::runWorker() {
    Observer observer(*this);
    observer.progress(1);
    UploadResult result;
    result.job = m_job;
    const std::vector<int32_t> ids = m_job.ids();
    if (!ids.empty()) {
        const UploadReply reply = m_library.upload({ids, m_job.serial, m_job.path}, observer);
        result.status = reply.status;
        settleTargets(result.job, reply, m_library);
    }
    result.cancelled = m_cancel;
    result.historyEntry = historyEntry(result, QDateTime::currentDateTimeUtc());
    if (reachedADevice(result.job.targets))
        appendHistory(m_historyPath, result.historyEntry);
    const std::lock_guard lock(m_mutex);
    m_shared.done = true;
    m_shared.result = std::move(result);
    wakeLocked();
}

void UploadController::wakeLocked() {
    if (m_shared.wakePending)
        return;
    m_shared.wakePending = true;
    m_wakeUp->wake();
}

void UploadController::deliver() {
    int32_t progressValue = -1;
    bool flash = false;
    bool done = false;
    QMap<int32_t, std::pair<int, int>> devices;
    UploadResult result;
    {
        const std::lock_guard lock(m_mutex);
        m_shared.wakePending = false;
        progressValue = m_shared.progress;
        flash = m_shared.flash;
        devices.swap(m_shared.devices);
        done = m_shared.done;
        if (done)
            result = std::move(m_shared.result);
        m_shared.done = false;
    }
    if (!m_running)
        return;
    if (progressValue > m_shownProgress) {
        m_shownProgress = progressValue;
        emit progress(progressValue);
    }
    if (flash && !m_warned) {
        m_warned = true;
        emit flashWarning();
    }
    for (auto it = devices.cbegin(); it != devices.cend(); ++it)
        emit deviceProgress(it.key(), it->first, it->second);
    if (!done)
        return;
    // The worker has handed over its result and is only returning by now.
    if (m_worker.joinable())
        m_worker.join();
    result.flashWarningShown = m_warned;
    m_running = false;
    emit finished(result);
}
