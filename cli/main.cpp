// zentavo-flash: the updater's commands for scripts, ssh sessions and fleets.
#include "cli/Commands.h"
#include "cli/FlashOptions.h"
#include "cli/Output.h"

#include <QCoreApplication>
#include <QRegularExpression>

#include <cstdio>

namespace {

// One line for a setting the library cannot use: it then keeps its own default.
void warnAboutEnvironment(const FlashOptions& options) {
    const auto warn = [&](const char* name, const QString& value, const char* fallback) {
        printError(options.program, QStringLiteral("warning: %1=%2 is not usable; the library uses %3")
                                        .arg(QLatin1String(name), value, QLatin1String(fallback)));
    };
    if (options.station.isEmpty() && qEnvironmentVariableIsSet("TESTDLL_NETWORK") &&
        !isStationAddress(qEnvironmentVariable("TESTDLL_NETWORK")))
        warn("TESTDLL_NETWORK", qEnvironmentVariable("TESTDLL_NETWORK"), "127.0.0.1:47300");
    if (qEnvironmentVariableIsSet("TESTDLL_TIMEOUT_MS")) {
        const QString value = qEnvironmentVariable("TESTDLL_TIMEOUT_MS");
        bool ok = false;
        const qint64 ms = value.toLongLong(&ok);
        if (!ok || !QRegularExpression(QStringLiteral("^-?[0-9]+$")).match(value).hasMatch())
            warn("TESTDLL_TIMEOUT_MS", value, "500 ms");
        else if (ms < 10 || ms > 60000)
            warn("TESTDLL_TIMEOUT_MS", value, ms < 10 ? "10 ms" : "60000 ms");
    }
    for (const char* name : {"TESTDLL_COM1", "TESTDLL_COM2"}) {
        if (qEnvironmentVariableIsSet(name) && qEnvironmentVariableIsEmpty(name))
            warn(name, QString(), name[11] == '1' ? "/dev/ttyS0" : "/dev/ttyS1");
    }
}

} // namespace

int main(int argc, char** argv) {
    const FlashOptions options = parseFlashOptions(argc, argv);
    switch (options.command) {
    case FlashOptions::Command::Help:
        std::fputs(flashUsage(options.program).toLocal8Bit().constData(), stdout);
        return kExitOk;
    case FlashOptions::Command::Version:
        printLine(QStringLiteral("%1 %2").arg(options.program, QStringLiteral(ZU_VERSION)));
        return kExitOk;
    case FlashOptions::Command::Refuse: // one line, as scripts expect; --help has the rest
        printError(options.program, options.error);
        return kExitUsage;
    default:
        break;
    }
    // Before the library's first call, which reads its environment once.
    if (!options.station.isEmpty())
        qputenv("TESTDLL_NETWORK", options.station.toLocal8Bit());
    warnAboutEnvironment(options);
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
