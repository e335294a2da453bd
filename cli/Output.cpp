#include "cli/Output.h"

#include <cstdio>

void printLine(const QByteArray& utf8) {
    const QByteArray line = utf8 + '\n';
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
    std::fflush(stdout);
}

void printLine(const QString& line) {
    printLine(line.toUtf8());
}

void printError(const QString& program, const QString& message) {
    std::fflush(stdout);
    std::fputs((program + QStringLiteral(": ") + message + QLatin1Char('\n')).toLocal8Bit().constData(),
               stderr);
    std::fflush(stderr);
}
