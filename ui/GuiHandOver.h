// Runs small tasks on the GUI thread for a worker thread. call() waits until
// the task has run (the blocking queued call the upload worker makes for every
// change on screen); post() hands a task over without waiting.
//
// Requests and their completion pass through a std::mutex. On POSIX systems
// the worker wakes the GUI thread by writing a byte to a pipe that a socket
// notifier watches, so the worker creates no Qt object at all: every Qt event
// involved is made and consumed on the GUI thread, and each hand-over is a
// plain lock and a pipe write, which ThreadSanitizer follows. Elsewhere (or
// without a pipe) a queued call does the waking.
#pragma once

#include <QObject>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class QSocketNotifier;

class GuiHandOver : public QObject {
    Q_OBJECT
public:
    // Built on the GUI thread; tasks run on the thread that owns it. Its
    // owner keeps it alive while any worker may still call it.
    explicit GuiHandOver(QObject* parent = nullptr);
    ~GuiHandOver() override;

    // Runs `task` on the owning thread and returns once it has run. On the
    // owning thread itself the task runs at once.
    void call(std::function<void()> task);

    // Queues `task` for the owning thread and returns at once.
    void post(std::function<void()> task);

private:
    struct Request {
        std::function<void()> task;
        bool done = false;
    };

    void enqueue(const std::shared_ptr<Request>& request);
    void drainWakeUps();
    Q_INVOKABLE void runPending();

    std::mutex m_mutex;
    std::condition_variable m_finished;
    std::deque<std::shared_ptr<Request>> m_pending;
    int m_wakeRead = -1; // pipe ends; -1 without a pipe
    int m_wakeWrite = -1;
    QSocketNotifier* m_notifier = nullptr;
};
