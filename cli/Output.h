// The program's lines: stdout for what a command answers, stderr for why it
// could not; each line written whole and flushed, so a pipe sees it at once.
#pragma once

#include <QByteArray>
#include <QString>

void printLine(const QString& line);
void printLine(const QByteArray& utf8);
void printError(const QString& program, const QString& message);
