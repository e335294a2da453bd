// The record of every update: one JSON object per job, one line each, appended
// to history.jsonl under the user's state folder. Written by the thread that
// ran the job; a history that cannot be written costs one line on stderr and
// nothing else.
#pragma once

#include "core/UploadJob.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <functional>

// $XDG_STATE_HOME/Quorvane/<application>/history.jsonl (default ~/.local/state),
// on Windows %LOCALAPPDATA%\Quorvane\<application>\history.jsonl.
QString historyPath(const QString& applicationName);

// The job's line, without its line end.
QByteArray historyEntry(const UploadResult& result, const QDateTime& time);

// Appends `entry` as one line with a single write and flushes it to the disk.
// A last line left unterminated (cut short by a crash) is ended first, so the
// new line stands on its own. Anything but a regular file (a FIFO, a device) is
// left alone. False after one line on stderr.
bool appendHistory(const QString& path, const QByteArray& entry);

// The last `count` entries of the history at `path` that `keep` accepts (asked first, so
// it can pass over most lines without parsing them), oldest
// first, each a whole JSON object as its line holds it. Read from the end, so
// the time and memory it takes follow what it returns, not the history's size.
// Only a regular file is read; `error` says why not (empty: no history yet).
QList<QByteArray> readHistoryTail(const QString& path, qsizetype count,
                                  const std::function<bool(const QByteArray& entry)>& keep, QString& error);
