#include "GuiHandOver.h"

#include <QMetaObject>
#include <QSocketNotifier>
#include <QThread>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace {

#ifdef Q_OS_UNIX
bool makeWakePipe(int& readEnd, int& writeEnd) {
    int fds[2];
    if (::pipe(fds) != 0)
        return false;
    for (int fd : fds) {
        // Neither end may ever block: a full pipe already means "wake up".
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    readEnd = fds[0];
    writeEnd = fds[1];
    return true;
}
#endif

} // namespace

GuiHandOver::GuiHandOver(QObject* parent) : QObject(parent) {
#ifdef Q_OS_UNIX
    if (makeWakePipe(m_wakeRead, m_wakeWrite)) {
        m_notifier = new QSocketNotifier(m_wakeRead, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, [this] {
            drainWakeUps();
            runPending();
        });
    }
#endif
}

GuiHandOver::~GuiHandOver() {
#ifdef Q_OS_UNIX
    delete m_notifier;
    if (m_wakeRead >= 0)
        ::close(m_wakeRead);
    if (m_wakeWrite >= 0)
        ::close(m_wakeWrite);
#endif
}

void GuiHandOver::drainWakeUps() {
#ifdef Q_OS_UNIX
    char buffer[64];
    while (::read(m_wakeRead, buffer, sizeof buffer) > 0) {
    }
#endif
}

void GuiHandOver::enqueue(const std::shared_ptr<Request>& request) {
    const std::lock_guard lock(m_mutex);
    m_pending.push_back(request);
#ifdef Q_OS_UNIX
    if (m_wakeWrite >= 0) {
        // Written under the lock, so the byte never arrives before its request.
        const char wake = 1;
        ssize_t written = 0;
        do {
            written = ::write(m_wakeWrite, &wake, 1);
        } while (written < 0 && errno == EINTR);
        return; // EAGAIN: bytes already wait, and the reader runs every request
    }
#endif
    // Posted under the lock: the owning thread takes the same lock before it
    // runs the request, so the posting is ordered before it.
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
    // Every request waiting now, one at a time; a task that spins an event
    // loop of its own may run the next ones inside it, never one twice.
    for (;;) {
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
}
