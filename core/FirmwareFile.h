// Firmware file logic without widgets: the type-code table, the info line,
// the recent-file filter of the file box and the chooser's filter list.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>

class CRecentFileList;

// Label for a type code's low byte; `valid` tells whether it is in the table.
QString fileTypeLabel(int32_t typeCode, bool* valid);

struct FileInfoResult {
    bool valid = false;
    QString line; // what the info line shows
};

// Runs the library's file query on `path` and builds the info line:
// empty path -> empty line, failure -> "Invalid program file".
FileInfoResult describeFirmwareFile(const QString& path);

// Whether a recorded path is offered in the file box ("bin", "mem" or "ach"
// found first at the second character or later, case-sensitive).
bool offeredInFileBox(const QString& path);

// The chooser's name filters, default first.
QStringList firmwareNameFilters();

// The recorded paths the file box offers, most recent first.
QStringList fileBoxEntries(const CRecentFileList& record);
