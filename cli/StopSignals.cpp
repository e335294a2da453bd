#include "cli/StopSignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Made once and kept for the process's life, like the handlers that write to it:
// closing it could hand its number to another file under a handler running just then.
int g_pipe[2] = {-1, -1};

extern "C" void onStopSignal(int signal) {
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(signal);
    // A full pipe (nobody reading any more) drops the byte: nothing is waiting for it.
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}

bool installHandlers() {
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false; // no pipe: the signals keep their default action and end the program
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr); // the ssh session dropped
    // A reader that went away (`| head`) costs the output, never the job.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);
    return true;
}

} // namespace

StopSignals::StopSignals(QObject* parent) : QObject(parent) {
    static const bool installed = installHandlers();
    if (!installed)
        return;
    // Signals that came while no object listened are not this object's to answer.
    drain();
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &StopSignals::drain);
}

StopSignals::~StopSignals() {
    delete m_notifier; // the handlers and the pipe stay: see the header
}

void StopSignals::drain() {
    unsigned char numbers[16];
    ssize_t n;
    while ((n = ::read(g_pipe[0], numbers, sizeof numbers)) > 0) {
        if (!m_notifier)
            continue;
        for (ssize_t i = 0; i < n; ++i)
            emit stopRequested(numbers[i]);
    }
}
