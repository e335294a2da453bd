#include "core/FirmwareFile.h"

#include "core/DeviceLibrary.h"
#include "core/RecentFileList.h"
#include "wire/Crc32.h"
#include "wire/ImageTypes.h"

#include <QFile>

#include <openssl/evp.h>

#ifndef Q_OS_WIN
#    include <fcntl.h>
#    include <sys/stat.h>
#    include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

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

FileInfoResult describeFirmwareFile(DeviceLibrary& library, const QByteArray& localPath) {
    FileInfoResult result;
    if (localPath.isEmpty())
        return result;
    const std::optional<ImageFileInfo> info = library.fileInfo(localPath);
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

bool readImageFacts(const QByteArray& localPath, ImageSummary& image) {
    image.size = -1;
    // OpenSSL's SHA-256 uses the processor's SHA instructions: several times Qt's own.
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> sha(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!sha || EVP_DigestInit_ex(sha.get(), EVP_sha256(), nullptr) != 1)
        return false;
    uint32_t crc = 0;
    qint64 size = 0;
    QByteArray block(1 << 16, Qt::Uninitialized);
    const auto take = [&](qint64 n) {
        crc = wire::crc32Of(reinterpret_cast<const uint8_t*>(block.constData()), static_cast<size_t>(n), crc);
        EVP_DigestUpdate(sha.get(), block.constData(), static_cast<size_t>(n));
        size += n;
    };
#ifdef Q_OS_WIN
    QFile file(QFile::decodeName(localPath));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    qint64 n = 0;
    while ((n = file.read(block.data(), block.size())) > 0)
        take(n);
#else
    // The bytes of the name as given, never decoded and encoded again.
    const int fd = ::open(localPath.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat info = {};
    ssize_t n = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) ? 0 : -1;
    while (n == 0 && (n = ::read(fd, block.data(), static_cast<size_t>(block.size()))) > 0) {
        take(n);
        n = 0;
    }
    ::close(fd);
#endif
    if (n < 0)
        return false;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestSize = 0;
    if (EVP_DigestFinal_ex(sha.get(), digest, &digestSize) != 1)
        return false;
    image.size = size;
    image.crc32 = QStringLiteral("%1").arg(crc, 8, 16, QLatin1Char('0'));
    image.sha256 = QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(digest), static_cast<qsizetype>(digestSize)).toHex());
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
