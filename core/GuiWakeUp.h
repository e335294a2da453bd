// Wakes the thread that owns it from any other thread. The caller keeps what
// it hands over behind a lock of its own; wake() only says "look now".
//
// On POSIX systems wake() writes a byte to a pipe that a socket notifier
// watches, so the waking thread creates no Qt object and posts no Qt event:
// everything Qt does happens on the owning thread, and each hand-over is a
// plain lock and a pipe write, which ThreadSanitizer follows. Elsewhere (or
// without a pipe) a queued call does the waking.
#pragma once

#include <QObject>

class QSocketNotifier;

class GuiWakeUp : public QObject {
    Q_OBJECT
public:
    explicit GuiWakeUp(QObject* parent = nullptr); // on the thread to be woken
    ~GuiWakeUp() override;

    // Any thread; never blocks. Wakes that come before the owner got round to
    // them are merged into one.
    void wake();

signals:
    void woken(); // on the owning thread

private:
    int m_wakeRead = -1; // pipe ends; -1 without a pipe
    int m_wakeWrite = -1;
    QSocketNotifier* m_notifier = nullptr;
};
