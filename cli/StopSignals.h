// SIGINT, SIGTERM and SIGHUP turned into a Qt signal on the main thread: the
// handler only writes the signal's number to a pipe (async-signal-safe), a
// socket notifier reads it. SIGPIPE is ignored.
//
// The handlers stay installed until the process ends, also after the object
// is gone: a stop signal that arrives once the job is over (a supervisor's
// second signal, an ssh session dropping as the program exits) must not kill
// the process and turn its documented exit status into 128 + n. Without an
// object the signal is simply swallowed.
#pragma once

#include <QObject>

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
};
