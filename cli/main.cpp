// zentavo-flash: the updater's commands for scripts and ssh sessions.
#include "cli/Commands.h"
#include "cli/FlashOptions.h"
#include "cli/Output.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv) {
    const FlashOptions options = parseFlashOptions(argc, argv);
    switch (options.command) {
    case FlashOptions::Command::Help:
        std::fputs(flashUsage(options.program).toLocal8Bit().constData(), stdout);
        return kExitOk;
    case FlashOptions::Command::Version:
        printLine(QStringLiteral("%1 %2").arg(options.program, QStringLiteral(ZU_VERSION)));
        return kExitOk;
    case FlashOptions::Command::Refuse:
        printError(options.program, options.error);
        std::fputs(flashUsage(options.program).toLocal8Bit().constData(), stderr);
        return kExitUsage;
    default:
        break;
    }
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(options.program);
    switch (options.command) {
    case FlashOptions::Command::Scan:
        return runScan(options);
    case FlashOptions::Command::Info:
        return runInfo(options);
    case FlashOptions::Command::Update:
        return runUpdate(options);
    default:
        return runHistory(options);
    }
}
