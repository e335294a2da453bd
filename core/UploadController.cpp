#include "core/UploadController.h"

#include "core/GuiWakeUp.h"
#include "core/TargetResults.h"
#include "core/UploadHistory.h"
#include "devlib/TestDll.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <system_error>

namespace {

const char kUploadSucceeded[] = "Upload Successfull     ";
const char kUploadFailed[] = "Failed to upload file";

// The controller whose job this worker runs; null on every other thread.
thread_local UploadController* t_running = nullptr;

} // namespace

extern "C" {
// The library's progress callback: 1 goes on, 0 cancels (only ever asked for
// by a caller without a window; the dialog's jobs always go on).
static int32_t uploadProgress(int32_t value) {
    return t_running == nullptr || t_running->reportProgress(value) ? 1 : 0;
}
}

UploadController::UploadController(MessageSink& messages, QObject* parent)
    : QObject(parent), m_messages(messages), m_wakeUp(new GuiWakeUp(this)) {
    connect(m_wakeUp, &GuiWakeUp::woken, this, &UploadController::deliver);
}

UploadController::~UploadController() {
    finishNow();
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
    m_ending = false;
    m_reporting = false;
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
    t_running = this;
    reportProgress(1);
    const char* path = m_job.path.c_str();
    const int32_t status = m_job.serial ? DllUploadFile(m_job.targets.front(), path, uploadProgress)
                                        : DllUploadFileToDevices(static_cast<int32_t>(m_job.targets.size()),
                                                                 m_job.targets.data(), path, uploadProgress);
    t_running = nullptr;
    // Still on this thread: the library's report is of this thread's last call.
    UploadResult result{m_job, status, false, m_cancel, settleTargets(m_job), {}};
    result.historyEntry = historyEntry(result, QDateTime::currentDateTimeUtc(), fileCrc32(m_job.file));
    if (reachedADevice(result.targets))
        appendHistory(m_historyPath, result.historyEntry);
    const std::lock_guard lock(m_mutex);
    m_shared.done = true;
    m_shared.status = status;
    m_shared.targets = std::move(result.targets);
    m_shared.historyEntry = std::move(result.historyEntry);
    wakeLocked();
}

bool UploadController::reportProgress(int32_t value) {
    const std::lock_guard lock(m_mutex);
    // A repeat or a lower value changes nothing on screen: no wake-up for it.
    if (value > m_shared.progress) {
        m_shared.progress = value;
        if (value > 95)
            m_shared.flash = true;
        wakeLocked();
    }
    return !m_cancel;
}

void UploadController::wakeLocked() {
    if (m_shared.wakePending)
        return;
    m_shared.wakePending = true;
    m_wakeUp->wake();
}

void UploadController::deliver() {
    Shared shared;
    {
        const std::lock_guard lock(m_mutex);
        m_shared.wakePending = false;
        shared = m_shared;
    }
    if (!m_running)
        return;
    if (shared.progress > m_shownProgress) {
        m_shownProgress = shared.progress;
        emit progressChanged(shared.progress);
    }
    if (shared.flash && !m_warned) {
        m_warned = true;
        emit flashWarning();
    }
    // The box runs an event loop of its own: it is opened from a fresh call,
    // not from inside this wake-up.
    if (shared.done && !m_ending) {
        m_ending = true;
        QMetaObject::invokeMethod(this, &UploadController::endJob, Qt::QueuedConnection);
    }
}

void UploadController::finishNow() {
    if (!m_running)
        return;
    if (m_worker.joinable())
        m_worker.join();
    m_ending = true; // ended right here, not by a queued call
    deliver();       // the last progress and the warning, as the event loop would have
    endJob();
}

void UploadController::endJob() {
    if (!m_running || m_reporting)
        return;
    m_reporting = true;
    // The worker has handed over its result and is only returning by now.
    if (m_worker.joinable())
        m_worker.join();
    UploadResult result;
    result.job = m_job;
    result.flashWarningShown = m_warned;
    result.cancelled = m_cancel;
    {
        const std::lock_guard lock(m_mutex);
        result.status = m_shared.status;
        result.targets = m_shared.targets;
        result.historyEntry = m_shared.historyEntry;
    }
    emit settled(result);
    // Still running while the box is open: the owner keeps its hold until then.
    const QString details = targetDetails(result.targets);
    if (result.succeeded())
        m_messages.showMessage(QString::fromLatin1(kUploadSucceeded), MessageIcon::Information, details);
    else
        m_messages.showMessage(QString::fromLatin1(kUploadFailed), MessageIcon::Stop, details);
    m_running = false;
    emit ended(result);
}
