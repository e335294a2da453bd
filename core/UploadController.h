// Runs one upload job at a time on a worker thread and reports it to the
// thread that owns the controller (the GUI thread): progress as coalesced
// updates, the flash warning once, and at the end the result box, shown here
// through the message sink with one line per device as its details. After the
// upload call the worker itself settles each device's outcome (asking every
// target for its version again) and appends the job to the history, flushed
// before the box shows, so none of that holds up the GUI thread.
//
// The worker never waits for the GUI thread. The library's progress callback
// (a C function without context) finds the running controller through a
// thread_local set on the worker and only records the value under a lock;
// one wake-up then carries whatever arrived until the GUI thread looked, so a
// busy GUI thread costs the transfer nothing.
#pragma once

#include "core/MessageSink.h"
#include "core/UploadJob.h"

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

    explicit UploadController(MessageSink& messages, QObject* parent = nullptr);
    ~UploadController() override; // ends a running job first, as finishNow()

    // Starts a worker for `job`. False (and nothing started) while a job runs,
    // for a job without targets, or when no thread could be made.
    bool start(UploadJob job);

    // From a successful start() until ended() has been emitted, which is after
    // the result box was dismissed.
    bool isRunning() const { return m_running; }

    // For an owner going away under a running job: waits for the worker (which
    // never needs this thread) and ends the job here and now.
    void finishNow();

    void setThreadLauncher(ThreadLauncher launcher) { m_launcher = std::move(launcher); }

    // The application whose history the jobs go to; the running one's by default.
    void setHistoryApplication(const QString& name) { m_historyApplication = name; }

    // Asks the running job to stop: from the next progress report on, the
    // library's callback answers 0, so the library cuts off every device not
    // yet programming its flash and waits for the others. Any thread.
    void cancel() { m_cancel = true; }

    // Worker thread, from the library's callback: records one progress value;
    // false once the job is to be cancelled.
    bool reportProgress(int32_t value);

signals:
    void progressChanged(int value);          // never lower than the one before during a job
    void flashWarning();                      // once per job: a value above 95 was reported
    void settled(const UploadResult& result); // each device's outcome, just before the box shows
    void ended(const UploadResult& result);   // after the box was dismissed

private:
    void runWorker();
    void wakeLocked();
    void deliver();
    void endJob();

    // What the worker hands over, under m_mutex.
    struct Shared {
        int32_t progress = -1; // the highest value reported
        bool flash = false;    // a value above 95 was reported
        bool done = false;     // the library's upload returned `status`, the targets are settled
        int32_t status = 0;
        std::vector<TargetResult> targets;
        QByteArray historyEntry;
        bool wakePending = false;
    };

    MessageSink& m_messages;
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
    bool m_ending = false;    // the worker's end was seen: endJob() is on its way
    bool m_reporting = false; // endJob() runs: the result box is up
    int m_shownProgress = -1;
    bool m_warned = false;
};
