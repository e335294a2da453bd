#include "core/SettingsStore.h"

#include <utility>

#ifdef Q_OS_WIN
#    include <QSettings>
#    include <QStringList>
#    include <QVariant>

#    include <memory>
#else
#    include "core/IniText.h"

#    include <QDir>
#    include <QFile>
#    include <QFileInfo>
#    include <QSaveFile>
#    include <QStandardPaths>

#    include <cerrno>
#    include <fcntl.h>
#    include <sys/stat.h>
#    include <unistd.h>
#endif

SettingsStore::SettingsStore(QString companyKey, QString applicationKey)
    : m_company(std::move(companyKey)), m_application(std::move(applicationKey)) {}

#ifdef Q_OS_WIN

namespace {

// The registry under HKEY_CURRENT_USER\Software: one short-lived handle per
// operation, so that changes made by another copy of the program between two
// operations are seen, and only this user's own keys are consulted. A store
// we may read but not write behaves as an empty one.
std::unique_ptr<QSettings> openStore(const QString& company, const QString& application) {
    if (company.isEmpty() || application.isEmpty())
        return nullptr;
    auto settings =
        std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, company, application);
    settings->setFallbacksEnabled(false);
    if (settings->status() != QSettings::NoError || !settings->isWritable())
        return nullptr;
    return settings;
}

} // namespace

StoredSection SettingsStore::ReadSection(const QString& section) const {
    StoredSection values;
    const auto settings = openStore(m_company, m_application);
    if (!settings)
        return values;
    settings->beginGroup(section);
    for (const QString& name : settings->childKeys()) {
        const QVariant value = settings->value(name);
        if (value.metaType().id() == QMetaType::QStringList)
            values.append({name, value.toStringList().join(QLatin1String(", ")), {}});
        else if (value.isValid() && value.canConvert<QString>())
            values.append({name, value.toString(), {}});
    }
    return values;
}

bool SettingsStore::ReplaceSection(const QString& section, const StoredSection& values) {
    const auto settings = openStore(m_company, m_application);
    // Nothing to delete and nothing to write: leave the store untouched.
    if (!settings || (values.isEmpty() && !settings->childGroups().contains(section)))
        return settings != nullptr;
    settings->remove(section);
    for (const StoredValue& value : values)
        settings->setValue(section + QLatin1Char('/') + value.name, value.text);
    settings->sync();
    return settings->status() == QSettings::NoError;
}

#else

namespace {

// Far more than any record makes; a larger file is not ours to parse or replace.
constexpr qint64 kMaxStoreSize = 1024 * 1024;

enum class StoreFile { Missing, Usable, Unusable };

bool writableFolderOf(const QByteArray& path) {
    const QString target = QFileInfo(QFile::decodeName(path)).canonicalFilePath();
    return !target.isEmpty() && ::access(QFile::encodeName(QFileInfo(target).absolutePath()), W_OK) == 0;
}

// Reads the store without ever waiting on it: only a regular file of a
// plausible size is opened, and never for a blocking read. A file we may read
// but not replace is unusable too: the store then behaves as an empty one.
StoreFile readStoreFile(const QString& fileName, QByteArray* text) {
    const QByteArray path = QFile::encodeName(fileName);
    struct stat info = {};
    if (::stat(path.constData(), &info) != 0)
        return errno == ENOENT ? StoreFile::Missing : StoreFile::Unusable;
    if (!S_ISREG(info.st_mode) || info.st_size > kMaxStoreSize ||
        ::access(path.constData(), R_OK | W_OK) != 0 || !writableFolderOf(path))
        return StoreFile::Unusable;
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return StoreFile::Unusable;
    // Checked again on what was opened: the name may have been replaced meanwhile.
    bool usable = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    text->resize(kMaxStoreSize + 1);
    qsizetype size = 0;
    while (usable && size < text->size()) {
        const ssize_t n = ::read(fd, text->data() + size, static_cast<size_t>(text->size() - size));
        if (n == 0)
            break;
        if (n < 0 && errno == EINTR)
            continue;
        usable = n > 0;
        size += n > 0 ? n : 0;
    }
    ::close(fd);
    text->truncate(size);
    return usable && size <= kMaxStoreSize ? StoreFile::Usable : StoreFile::Unusable;
}

// Temporary file in the same folder, flushed to disk, renamed over the store
// (over the target of a symbolic link, which stays a link); then the folder
// is flushed so that the rename survives a power cut.
bool replaceStoreFile(const QString& fileName, const QByteArray& text) {
    if (!QDir().mkpath(QFileInfo(fileName).absolutePath()))
        return false;
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        return false;
    const QString folder = QFileInfo(QFileInfo(fileName).canonicalFilePath()).absolutePath();
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    return true;
}

} // namespace

QString SettingsStore::fileName() const {
    const QString home = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (m_company.isEmpty() || m_application.isEmpty() || home.isEmpty())
        return QString();
    return home + QLatin1Char('/') + m_company + QLatin1Char('/') + m_application + QLatin1String(".conf");
}

StoredSection SettingsStore::ReadSection(const QString& section) const {
    QByteArray text;
    if (readStoreFile(fileName(), &text) != StoreFile::Usable)
        return {};
    const IniText ini(text);
    return ini.isValid() ? ini.section(section) : StoredSection();
}

bool SettingsStore::ReplaceSection(const QString& section, const StoredSection& values) {
    const QString name = fileName();
    QByteArray text;
    if (name.isEmpty() || readStoreFile(name, &text) == StoreFile::Unusable)
        return false;
    const IniText ini(text);
    if (!ini.isValid())
        return false;
    const QByteArray replaced = ini.withSection(section, values);
    if (replaced == text) // nothing changes: the disk is left alone (a first run creates nothing)
        return true;
    // Kept readable: a store grown past the limit would read as empty from then on.
    if (replaced.size() > kMaxStoreSize)
        return false;
    return replaceStoreFile(name, replaced);
}

#endif
