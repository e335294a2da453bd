// The record of every update: one JSON object per job, one line each, appended
// to history.jsonl under the user's state folder. Written by the thread that
// ran the job; a history that cannot be written costs one line on stderr and
// nothing else.
#pragma once

#include "core/UploadJob.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

// $XDG_STATE_HOME/Quorvane/<application>/history.jsonl (default ~/.local/state),
// on Windows %LOCALAPPDATA%\Quorvane\<application>\history.jsonl.
QString historyPath(const QString& applicationName);

// The job's line, without its line end.
QByteArray historyEntry(const UploadResult& result, const QDateTime& time);

// Appends `entry` as one line with a single write and flushes it to the disk.
// A last line left unterminated (cut short by a crash) is ended first, so the
// new line stands on its own. False after one line on stderr.
bool appendHistory(const QString& path, const QByteArray& entry);
