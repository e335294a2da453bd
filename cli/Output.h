// The program's lines: stdout for what a command answers, stderr for why it
// could not; each line written whole and flushed, so a pipe sees it at once.
// Text lines show control characters (from a device's name, a file's name) as
// \xNN, so nothing a device sends can steer the technician's terminal or split
// a line; JSON lines are escaped by the writer.
#pragma once

#include <QByteArray>
#include <QString>

// `text` with every control character (C0, DEL, C1) as \xNN.
QString printable(const QString& text);

void printLine(const QString& line);    // text: printable()
void printLine(const QByteArray& utf8); // JSON, as it is
void printError(const QString& program, const QString& message);
