// Firmware file logic without widgets: the type-code table, the info line,
// the recent-file filter of the file box and the chooser's filter list.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>

class CRecentFileList;
class DeviceLibrary;

// Label for a type code's low byte; `valid` tells whether it is in the table.
QString fileTypeLabel(int32_t typeCode, bool* valid);

// The image as the file check described it.
struct ImageSummary {
    int type = 0;                           // the type code's low byte
    QString label;                          // "NetAppl"
    QString name;                           // the image's own name
    QString version;                        // "2.04", as the info line writes it
    int versionMajor = 0, versionMinor = 0; // low bytes, as shown
    // The file's bytes as the engine read them once the file check passed.
    qint64 size = -1; // -1: unreadable
    QString crc32;    // eight hex digits, as zlib computes it
    QString sha256;   // 64 hex digits
};

struct FileInfoResult {
    bool valid = false;
    QString line;       // what the info line shows
    ImageSummary image; // set whenever the library described the file
};

// A version as the info line writes it: "2.04".
QString formatVersion(int major, int minor);

// Runs the library's file query on `localPath` (the path's bytes, as the file system
// takes them) and builds the info line: empty path -> empty line, failure -> "Invalid
// program file".
FileInfoResult describeFirmwareFile(DeviceLibrary& library, const QByteArray& localPath);

// Reads the file once for its size, CRC-32 and SHA-256 into `image`; false when unreadable.
bool readImageFacts(const QByteArray& localPath, ImageSummary& image);

// Whether a recorded path is offered in the file box ("bin", "mem" or "ach"
// found first at the second character or later, case-sensitive).
bool offeredInFileBox(const QString& path);

// The chooser's name filters, default first.
QStringList firmwareNameFilters();

// The recorded paths the file box offers, most recent first.
QStringList fileBoxEntries(const CRecentFileList& record);
