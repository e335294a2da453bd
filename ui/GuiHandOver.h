// Runs small tasks on the GUI thread for a worker thread. call() waits until
// the task has run (the blocking queued call the upload worker makes for every
// change on screen); post() hands a task over without waiting. Requests and
// their completion pass through a std::mutex, never through the data of a Qt
// event, so every hand-over is a plain lock for the worker and the checkers.
#pragma once

#include <QObject>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class GuiHandOver : public QObject {
    Q_OBJECT
public:
    // Built on the GUI thread; tasks run on the thread that owns it.
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
    Q_INVOKABLE void runPending();

    std::mutex m_mutex;
    std::condition_variable m_finished;
    std::deque<std::shared_ptr<Request>> m_pending;
};
