#include "GuiHandOver.h"

#include <QMetaObject>
#include <QThread>

GuiHandOver::GuiHandOver(QObject* parent) : QObject(parent) {}

// Its owner keeps it alive while any worker may still call it.
GuiHandOver::~GuiHandOver() = default;

void GuiHandOver::enqueue(const std::shared_ptr<Request>& request) {
    // The event is posted under the lock: the owning thread takes the same
    // lock before it runs the request, so the posting is ordered before it
    // and before the event's release.
    const std::lock_guard lock(m_mutex);
    m_pending.push_back(request);
    QMetaObject::invokeMethod(this, "runPending", Qt::QueuedConnection);
}

void GuiHandOver::call(std::function<void()> task) {
    if (QThread::currentThread() == thread()) {
        task();
        return;
    }
    auto request = std::make_shared<Request>();
    request->task = std::move(task);
    enqueue(request);
    std::unique_lock lock(m_mutex);
    m_finished.wait(lock, [&request] { return request->done; });
}

void GuiHandOver::post(std::function<void()> task) {
    auto request = std::make_shared<Request>();
    request->task = std::move(task);
    enqueue(request);
}

void GuiHandOver::runPending() {
    // One request per event; a task that spins an event loop of its own
    // lets the next one run inside it, never twice.
    std::shared_ptr<Request> request;
    {
        const std::lock_guard lock(m_mutex);
        if (m_pending.empty())
            return;
        request = std::move(m_pending.front());
        m_pending.pop_front();
    }
    if (request->task)
        request->task();
    const std::lock_guard lock(m_mutex);
    request->task = nullptr; // whatever it captured goes here, not on the worker
    request->done = true;
    m_finished.notify_all();
}
