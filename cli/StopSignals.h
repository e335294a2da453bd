// SIGINT, SIGTERM and SIGHUP turned into a Qt signal on the main thread: the
// handler only writes the signal's number to a pipe (async-signal-safe), a
// socket notifier reads it. SIGPIPE is ignored meanwhile. Installed for the
// object's life, the old actions restored.
#pragma once

#include <QObject>

#include <csignal>

class QSocketNotifier;

class StopSignals : public QObject {
    Q_OBJECT
public:
    explicit StopSignals(QObject* parent = nullptr);
    ~StopSignals() override;

signals:
    void stopRequested(int signal); // each one, the first and every later one

private:
    void drain();

    QSocketNotifier* m_notifier = nullptr;
    struct sigaction m_oldInt = {};
    struct sigaction m_oldTerm = {};
    struct sigaction m_oldHup = {};
    struct sigaction m_oldPipe = {};
};
