// zentavo-update: the firmware update console. The command line is read
// first and answered without a display; QApplication then sees the program's
// name alone, so Qt's own options are never taken from the command line.
#include "app/CommandLine.h"
#include "app/UpdaterApp.h"
#include "app/WindowSystem.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char* argv[]) {
    const CommandLine command = parseCommandLine(argc, argv);
    if (command.action != CommandLine::Action::Run)
        return answerCommandLine(command);
    if (!windowSystemAvailable()) {
        std::fprintf(stderr,
                     "%s: no display to open the window on (DISPLAY and WAYLAND_DISPLAY are not set)\n",
                     command.program.toLocal8Bit().constData());
        return 1;
    }
    UpdaterApp::preparePlatform();
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    guardPlatformStart(command.program);
    QApplication application(qtArgc, qtArgv);
    endPlatformStartGuard();
    UpdaterApp app;
    app.setStartFile(command.file);
    return app.run();
}
