#include "core/SettingsStore.h"

#include <QDateTime>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QSettings>
#include <QStringList>
#include <QVariant>

#include <memory>
#include <utility>

namespace {

// QSettings reads a file on a handle's first use, once per process, and reuses
// the result while the file's size and time stamp stay the same; only that
// first handle reports an unreadable or garbled file. Such files are
// remembered under the same rule, so every later handle refuses them too.
class UnusableFiles {
public:
    void remember(const QString& fileName) {
        const QMutexLocker lock(&m_mutex);
        m_files.insert(fileName, stamp(fileName));
    }
    bool contains(const QString& fileName) {
        const QMutexLocker lock(&m_mutex);
        const auto found = m_files.constFind(fileName);
        if (found == m_files.constEnd())
            return false;
        if (*found == stamp(fileName))
            return true;
        m_files.erase(found); // rewritten since: QSettings reads it afresh
        return false;
    }

private:
    static QPair<qint64, QDateTime> stamp(const QString& fileName) {
        const QFileInfo file(fileName);
        return {file.size(), file.lastModified()};
    }

    QMutex m_mutex;
    QHash<QString, QPair<qint64, QDateTime>> m_files;
};

UnusableFiles& unusableFiles() {
    static UnusableFiles files;
    return files;
}

// One short-lived handle per operation, so that changes made by another copy
// of the program between two operations are seen. Only this user's own store
// is consulted: no organisation-wide or system-wide fallbacks.
std::unique_ptr<QSettings> openStore(const QString& company, const QString& application) {
    if (company.isEmpty() || application.isEmpty())
        return nullptr;
    auto settings =
        std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, company, application);
    settings->setFallbacksEnabled(false);
    // Unreadable or garbled: behaves as an empty store and is never overwritten.
    settings->childGroups(); // makes QSettings read the file now
    if (settings->status() != QSettings::NoError) {
        unusableFiles().remember(settings->fileName());
        return nullptr;
    }
    if (unusableFiles().contains(settings->fileName()))
        return nullptr;
    return settings;
}

// A store we may read but not write behaves as an empty one. QSettings'
// own isWritable() creates the folder and probes the file, which a read must
// not do, so a read only looks at the file that is already there.
bool readable(const QSettings& settings) {
#ifdef Q_OS_WIN
    return settings.isWritable();
#else
    const QFileInfo file(settings.fileName());
    return !file.exists() || (file.isFile() && file.isWritable());
#endif
}

bool written(QSettings& settings) {
    settings.sync();
    return settings.status() == QSettings::NoError;
}

} // namespace

SettingsStore::SettingsStore(QString companyKey, QString applicationKey)
    : m_company(std::move(companyKey)), m_application(std::move(applicationKey)) {}

QString SettingsStore::ReadString(const QString& section, const QString& valueName,
                                  const QString& defaultValue) const {
    const auto settings = openStore(m_company, m_application);
    if (!settings || !readable(*settings))
        return defaultValue;
    const QVariant value = settings->value(section + QLatin1Char('/') + valueName);
    if (!value.isValid())
        return defaultValue;
    // An unquoted comma in a hand-edited file makes the value a list.
    if (value.metaType().id() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1String(", "));
    if (!value.canConvert<QString>())
        return defaultValue;
    return value.toString();
}

bool SettingsStore::WriteString(const QString& section, const QString& valueName, const QString& text) {
    const auto settings = openStore(m_company, m_application);
    if (!settings || !settings->isWritable())
        return false;
    settings->setValue(section + QLatin1Char('/') + valueName, text);
    return written(*settings);
}

bool SettingsStore::DeleteSection(const QString& section) {
    const auto settings = openStore(m_company, m_application);
    // Nothing to delete: leave the store (and the disk) untouched.
    if (!settings || !settings->childGroups().contains(section))
        return false;
    if (!settings->isWritable())
        return false;
    settings->remove(section);
    return written(*settings);
}
