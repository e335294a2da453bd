// Stop signals: each one reaches the listener, and once the listener is gone
// (the job over, the program on its way out) they neither kill the process nor
// reach a later listener.
#include "cli/StopSignals.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

namespace {

int receivedBy(StopSignals& stops, int signal) {
    int received = 0;
    QObject::connect(&stops, &StopSignals::stopRequested, [&](int s) { received = received ? received : s; });
    ::raise(signal);
    QCoreApplication::processEvents();
    return received;
}

} // namespace

TEST(StopSignals, SwallowedOnceTheListenerIsGone) {
    int argc = 1;
    char name[] = "stop-signals";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    EXPECT_EXIT(
        {
            {
                StopSignals stops;
                if (receivedBy(stops, SIGINT) != SIGINT)
                    _exit(3);
            }
            ::raise(SIGTERM);
            ::raise(SIGHUP);
            ::raise(SIGINT);
            StopSignals later;
            _exit(receivedBy(later, SIGHUP) == SIGHUP ? 0 : 4);
        },
        testing::ExitedWithCode(0), "");
}
