#include "cli/Output.h"

#include <cstdio>

QString printable(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7F && u <= 0x9F))
            out += QStringLiteral("\\x%1").arg(static_cast<unsigned>(u), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

void printLine(const QByteArray& utf8) {
    const QByteArray line = utf8 + '\n';
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
    std::fflush(stdout);
}

void printLine(const QString& line) {
    printLine(printable(line).toUtf8());
}

void printError(const QString& program, const QString& message) {
    std::fflush(stdout);
    std::fputs(
        (program + QStringLiteral(": ") + printable(message) + QLatin1Char('\n')).toLocal8Bit().constData(),
        stderr);
    std::fflush(stderr);
}
