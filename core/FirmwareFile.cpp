#include "core/FirmwareFile.h"

#include "core/DeviceLibrary.h"
#include "core/RecentFileList.h"
#include "wire/Crc32.h"
#include "wire/ImageTypes.h"

#include <QCryptographicHash>
#include <QFile>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// Description|pattern pairs, ended by an empty description.
constexpr char kChooserFilter[] = "Zentavo Archive files (*.ach)|*.ach|Zentavo NetArm files (*.bin)|*.bin|"
                                  "Zentavo GraphArm files (*.mem)|*.mem|All Files (*.*)|*.*||";

int lowByte(int32_t value) {
    return static_cast<int>(static_cast<uint32_t>(value) & 0xFFu);
}

} // namespace

QString fileTypeLabel(int32_t typeCode, bool* valid) {
    const char* label = wire::imageTypeLabel(static_cast<uint32_t>(typeCode));
    if (valid)
        *valid = label != nullptr;
    return QString::fromLatin1(label ? label : "Error!!!");
}

FileInfoResult describeFirmwareFile(DeviceLibrary& library, const QString& path) {
    FileInfoResult result;
    if (path.isEmpty())
        return result;
    const std::optional<ImageFileInfo> info = library.fileInfo(QFile::encodeName(path));
    if (!info) {
        result.line = QStringLiteral("Invalid program file");
        return result;
    }
    bool known = false;
    const QByteArray label = fileTypeLabel(info->fileType, &known).toLatin1();
    const QByteArray name = info->name.left(19);
    char line[128] = {};
    const int length =
        std::snprintf(line, sizeof line, "[%s]  %s  Ver. %i.%02i  Date: %i/%i/%i", label.constData(),
                      name.constData(), lowByte(info->versionMajor), lowByte(info->versionMinor),
                      lowByte(info->date1), lowByte(info->date2), lowByte(info->date3));
    result.valid = known;
    result.line = QString::fromLatin1(line, std::clamp(length, 0, static_cast<int>(sizeof line) - 1));
    result.image.type = lowByte(info->fileType);
    result.image.label = QString::fromLatin1(label);
    result.image.name = QString::fromLatin1(name);
    result.image.versionMajor = lowByte(info->versionMajor);
    result.image.versionMinor = lowByte(info->versionMinor);
    result.image.version = formatVersion(result.image.versionMajor, result.image.versionMinor);
    return result;
}

bool readImageFacts(const QString& path, ImageSummary& image) {
    QFile file(path);
    image.size = -1;
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QCryptographicHash sha(QCryptographicHash::Sha256);
    uint32_t crc = 0;
    qint64 size = 0;
    QByteArray block(1 << 16, Qt::Uninitialized);
    for (qint64 n; (n = file.read(block.data(), block.size())) > 0; size += n) {
        crc = wire::crc32Of(reinterpret_cast<const uint8_t*>(block.constData()), static_cast<size_t>(n), crc);
        sha.addData(QByteArrayView(block.constData(), n));
    }
    if (file.error() != QFileDevice::NoError)
        return false;
    image.size = size;
    image.crc32 = QStringLiteral("%1").arg(crc, 8, 16, QLatin1Char('0'));
    image.sha256 = QString::fromLatin1(sha.result().toHex());
    return true;
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
