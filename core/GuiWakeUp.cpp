#include "core/GuiWakeUp.h"

#include <QMetaObject>
#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#    include <fcntl.h>
#    include <unistd.h>

#    include <cerrno>
#endif

GuiWakeUp::GuiWakeUp(QObject* parent) : QObject(parent) {
#ifdef Q_OS_UNIX
    int fds[2];
    if (::pipe(fds) != 0)
        return;
    for (int fd : fds) {
        // Neither end may ever block: a full pipe already means "wake up".
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    m_wakeRead = fds[0];
    m_wakeWrite = fds[1];
    m_notifier = new QSocketNotifier(m_wakeRead, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        char buffer[64];
        while (::read(m_wakeRead, buffer, sizeof buffer) > 0) {
        }
        emit woken();
    });
#endif
}

GuiWakeUp::~GuiWakeUp() {
#ifdef Q_OS_UNIX
    delete m_notifier;
    if (m_wakeRead >= 0)
        ::close(m_wakeRead);
    if (m_wakeWrite >= 0)
        ::close(m_wakeWrite);
#endif
}

void GuiWakeUp::wake() {
#ifdef Q_OS_UNIX
    if (m_wakeWrite >= 0) {
        const char byte = 1;
        ssize_t written = 0;
        do {
            written = ::write(m_wakeWrite, &byte, 1);
        } while (written < 0 && errno == EINTR);
        return; // EAGAIN: bytes already wait, and one read takes them all
    }
#endif
    QMetaObject::invokeMethod(this, &GuiWakeUp::woken, Qt::QueuedConnection);
}
