#include "app/WindowSystem.h"

#include <QStringList>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

namespace {

QString g_program;
QtMessageHandler g_previousHandler = nullptr;

void startMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type != QtFatalMsg) {
        if (g_previousHandler)
            g_previousHandler(type, context, message);
        else
            std::fprintf(stderr, "%s\n", qFormatLogMessage(type, context, message).toLocal8Bit().constData());
        return;
    }
    const QString line = message.section(QLatin1Char('\n'), 0, 0);
    std::fprintf(stderr, "%s: cannot open the window: %s\n", g_program.toLocal8Bit().constData(),
                 line.toLocal8Bit().constData());
    std::_Exit(1);
}

} // namespace

bool windowSystemAvailable() {
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
    if (!qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return true;
    // A list of platforms ("wayland;xcb") works if any of them does.
    const QStringList platforms =
        qEnvironmentVariable("QT_QPA_PLATFORM").split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (const QString& platform : platforms) {
        const QString name = platform.section(QLatin1Char(':'), 0, 0).trimmed();
        if (!name.isEmpty() && name != QLatin1String("xcb") && !name.startsWith(QLatin1String("wayland")))
            return true;
    }
    return false;
#else
    return true;
#endif
}

void guardPlatformStart(const QString& program) {
    g_program = program;
    g_previousHandler = qInstallMessageHandler(startMessage);
}

void endPlatformStartGuard() {
    qInstallMessageHandler(g_previousHandler);
}
