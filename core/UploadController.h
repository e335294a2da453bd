// Runs one upload job at a time on a worker thread and reports it to the
// thread that owns the controller (the GUI thread): the combined progress,
// the flash warning once, each device's own progress, and at the end one
// result. After the upload call the worker itself settles each device's
// outcome (asking every target for its version again) and appends the job to
// the history, flushed to the disk before the result is handed over, so none
// of that holds up the GUI thread. The controller shows nothing: its owner
// presents what it emits.
//
// The worker never waits for the GUI thread. It records what the library
// reports under a lock; one wake-up then carries whatever arrived until the
// GUI thread looked (only the latest value of each device), so a busy GUI
// thread costs the transfer nothing.
#pragma once

#include "core/UploadJob.h"

#include <QMap>
#include <QObject>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

class GuiWakeUp;

class UploadController : public QObject {
    Q_OBJECT
public:
    // How the worker thread is made; tests hand in one that fails (a launcher
    // that throws std::system_error stands for a system out of threads).
    using ThreadLauncher = std::function<std::thread(std::function<void()>)>;

    explicit UploadController(DeviceLibrary& library, QObject* parent = nullptr);
    // With a job running: cancels it and waits for the worker, which ends it as the
    // library lets it (devices already programming their flash are waited for).
    ~UploadController() override;

    // Starts a worker for `job`. False (and nothing started) while a job runs,
    // for a job without targets, or when no thread could be made. A job whose
    // targets were all settled before it (none to send) runs no upload call.
    bool start(UploadJob job);

    // From a successful start() until finished() has been emitted.
    bool isRunning() const { return m_running; }

    // Whether deviceProgress() is emitted at all (the library reports each device).
    bool reportsEachDevice() const;

    void setThreadLauncher(ThreadLauncher launcher) { m_launcher = std::move(launcher); }

    // The application whose history the jobs go to; the running one's by default.
    void setHistoryApplication(const QString& name) { m_historyApplication = name; }

    // Asks the running job to stop: from the next progress report on, the
    // library's callback answers 0, so the library cuts off every device not
    // yet programming its flash and waits for the others. Any thread.
    void cancel() { m_cancel = true; }

signals:
    void progress(int value);                            // never lower than the one before during a job
    void flashWarning();                                 // once per job: a value above 95 was reported
    void deviceProgress(int id, int phase, int percent); // phase: DevicePhase
    void finished(const UploadResult& result);           // the job's end, once

private:
    class Observer;

    void runWorker();
    void wakeLocked();
    void deliver();

    // What the worker hands over, under m_mutex.
    struct Shared {
        int32_t progress = -1;                      // the highest value reported
        bool flash = false;                         // a value above 95 was reported
        QMap<int32_t, std::pair<int, int>> devices; // reported since the last delivery
        bool done = false;                          // `result` is complete
        UploadResult result;
        bool wakePending = false;
    };

    DeviceLibrary& m_library;
    GuiWakeUp* m_wakeUp;
    ThreadLauncher m_launcher;
    std::thread m_worker;
    UploadJob m_job;       // set before the worker starts, read-only while it runs
    QString m_historyPath; // likewise
    QString m_historyApplication;
    std::atomic<bool> m_cancel{false};
    std::mutex m_mutex;
    Shared m_shared;
    // Owning thread only.
    bool m_running = false;
    int m_shownProgress = -1;
    bool m_warned = false;
};
