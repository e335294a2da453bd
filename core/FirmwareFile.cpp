#include "core/FirmwareFile.h"

#include "core/RecentFileList.h"
#include "devlib/TestDll.h"

#include <QFile>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// Description|pattern pairs, ended by an empty description.
constexpr char kChooserFilter[] = "Zentavo Archive files (*.ach)|*.ach|Zentavo NetArm files (*.bin)|*.bin|"
                                  "Zentavo GraphArm files (*.mem)|*.mem|All Files (*.*)|*.*||";

constexpr int kNameBuffer = 20;

int lowByte(int32_t value) {
    return static_cast<int>(static_cast<uint32_t>(value) & 0xFFu);
}

} // namespace

QString fileTypeLabel(int32_t typeCode, bool* valid) {
    const char* label = nullptr;
    switch (lowByte(typeCode)) {
    case 1:
        label = "NetBoot";
        break;
    case 2:
        label = "NetAppl";
        break;
    case 3:
        label = "GraphBoot";
        break;
    case 4:
        label = "GraphAppl";
        break;
    case 6:
        label = "DSPAppl";
        break;
    case 7:
        label = "MotoAppl";
        break;
    case 100:
        label = "P21Boot";
        break;
    case 101:
        label = "P21Appl";
        break;
    case 255:
        label = "Archive";
        break;
    default:
        break;
    }
    if (valid)
        *valid = label != nullptr;
    return QString::fromLatin1(label ? label : "Error!!!");
}

FileInfoResult describeFirmwareFile(const QString& path) {
    FileInfoResult result;
    if (path.isEmpty())
        return result;

    char name[kNameBuffer] = {};
    int32_t date1 = 0, date2 = 0, date3 = 0, type = 0, major = 0, minor = 0;
    const QByteArray localPath = QFile::encodeName(path);
    if (!DllGetFileInfo(localPath.constData(), name, &date1, &date2, &date3, &type, &major, &minor)) {
        result.line = QStringLiteral("Invalid program file");
        return result;
    }
    // The library may fill all 20 bytes: the name is at most 19 characters.
    name[kNameBuffer - 1] = '\0';

    bool known = false;
    const QByteArray label = fileTypeLabel(type, &known).toLatin1();
    char line[128] = {};
    const int length =
        std::snprintf(line, sizeof line, "[%s]  %s  Ver. %i.%02i  Date: %i/%i/%i", label.constData(), name,
                      lowByte(major), lowByte(minor), lowByte(date1), lowByte(date2), lowByte(date3));
    result.valid = known;
    result.line = QString::fromLatin1(line, std::clamp(length, 0, static_cast<int>(sizeof line) - 1));
    result.image = {lowByte(type),
                    QString::fromLatin1(label),
                    QString::fromLatin1(name),
                    formatVersion(lowByte(major), lowByte(minor)),
                    lowByte(major),
                    lowByte(minor)};
    return result;
}

QString formatVersion(int major, int minor) {
    return QStringLiteral("%1.%2").arg(major).arg(minor, 2, 10, QLatin1Char('0'));
}

bool offeredInFileBox(const QString& path) {
    // Only the first occurrence of each word counts, and it must not start
    // the path; case matters. Empty paths find nothing.
    for (const char* word : {"bin", "mem", "ach"}) {
        if (path.indexOf(QLatin1String(word)) >= 1)
            return true;
    }
    return false;
}

QStringList firmwareNameFilters() {
    // The descriptions already carry their patterns in the form Qt reads.
    QStringList filters;
    const QList<QByteArray> parts = QByteArray(kChooserFilter).split('|');
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        if (parts.at(i).isEmpty())
            break;
        filters.append(QString::fromLatin1(parts.at(i)));
    }
    return filters;
}

QStringList fileBoxEntries(const CRecentFileList& record) {
    QStringList entries;
    for (int i = 0; i < record.capacity(); ++i) {
        if (offeredInFileBox(record.entry(i)))
            entries.append(record.entry(i));
    }
    return entries;
}
