#include "core/RecentFileList.h"

#include "core/SettingsStore.h"

#include <QDir>
#include <QHash>

#include <algorithm>
#include <climits>
#include <utility>

#ifdef Q_OS_WIN
#    include <windows.h>
#endif

namespace {

#ifdef Q_OS_WIN
// The file chooser hands over at most 259 characters; a longer absolute form
// would not fit the buffer the record was designed around.
constexpr qsizetype kMaxPath = 259;

QString fromWide(const wchar_t* text) {
    return QString::fromWCharArray(text);
}

// Absolute form as the platform makes it: '.' and '..' resolved, links kept.
bool absoluteForm(const QString& path, QString* absolute) {
    const std::wstring wide = QDir::toNativeSeparators(path).toStdWString();
    wchar_t buffer[kMaxPath + 1];
    const DWORD length = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(kMaxPath + 1), buffer, nullptr);
    if (length == 0 || static_cast<qsizetype>(length) > kMaxPath)
        return false;
    *absolute = fromWide(buffer);
    return true;
}

// Case and spelling as the volume that holds the path keeps them.
QString volumeSpelling(const QString& original, const QString& absolute) {
    const std::wstring wideAbsolute = absolute.toStdWString();
    wchar_t root[kMaxPath + 1];
    if (!GetVolumePathNameW(wideAbsolute.c_str(), root, static_cast<DWORD>(kMaxPath + 1)))
        return absolute;
    DWORD flags = 0;
    if (!GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0))
        return absolute;
    QString result = absolute;
    if (!(flags & FILE_CASE_PRESERVED_NAMES))
        result = result.toUpper();
    if (!(flags & FILE_UNICODE_ON_DISK)) {
        const std::wstring wideOriginal = QDir::toNativeSeparators(original).toStdWString();
        WIN32_FIND_DATAW found;
        const HANDLE search = FindFirstFileW(wideOriginal.c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            FindClose(search);
            const qsizetype cut = result.lastIndexOf(QLatin1Char('\\'));
            result = result.left(cut + 1) + fromWide(found.cFileName);
        }
    }
    return result;
}
#else
// The longest path the system opens (PATH_MAX counts the terminating zero).
constexpr qsizetype kMaxPath = PATH_MAX - 1;

bool absoluteForm(const QString& path, QString* absolute) {
    // Symbolic links are deliberately not resolved: the record keeps the
    // path the technician chose.
    const QString result = QDir::cleanPath(QDir::current().absoluteFilePath(path));
    if (result.size() > kMaxPath)
        return false;
    *absolute = result;
    return true;
}

// Volumes here preserve case and store Unicode names: nothing to correct.
QString volumeSpelling(const QString&, const QString& absolute) {
    return absolute;
}
#endif

} // namespace

CRecentFileList::CRecentFileList(QString sectionName, QString entryFormat, int capacity)
    : m_section(std::move(sectionName)), m_format(std::move(entryFormat)), m_capacity(std::max(capacity, 0)) {
    for (int i = 0; i < m_capacity; ++i) {
        m_entries.append(QString());
        m_stored.append(QByteArray());
    }
}

CRecentFileList CRecentFileList::programRecord() {
    return CRecentFileList(QStringLiteral("Recent File List"), QStringLiteral("File%d"), 10);
}

QString CRecentFileList::entry(int index) const {
    return index >= 0 && index < m_entries.size() ? m_entries.at(index) : QString();
}

QString CRecentFileList::valueName(int number) const {
    QString name = m_format;
    const qsizetype at = name.indexOf(QLatin1String("%d"));
    if (at >= 0)
        name.replace(at, 2, QString::number(number));
    return name;
}

void CRecentFileList::LoadFromStore(const SettingsStore& store) {
    const StoredSection stored = store.ReadSection(m_section);
    QHash<QString, qsizetype> byName; // of a name given twice the last counts
    for (qsizetype i = 0; i < stored.size(); ++i)
        byName.insert(stored.at(i).name, i);
    for (int n = 1; n <= m_capacity; ++n) {
        const qsizetype found = byName.value(valueName(n), -1);
        m_entries[n - 1] = found < 0 ? QString() : stored.at(found).text;
        m_stored[n - 1] = found < 0 ? QByteArray() : stored.at(found).stored;
    }
}

// One replacement of the whole section: File11 and values of other names go,
// empty entries leave their numbers free.
void CRecentFileList::SaveToStore(SettingsStore& store) const {
    StoredSection values;
    for (int n = 1; n <= m_capacity; ++n) {
        if (!m_entries.at(n - 1).isEmpty())
            values.append({valueName(n), m_entries.at(n - 1), m_stored.at(n - 1)});
    }
    store.ReplaceSection(m_section, values);
}

QString CRecentFileList::canonicalForm(const QString& path) {
    QString absolute;
    if (!absoluteForm(path, &absolute))
        return path;
    return volumeSpelling(path, absolute);
}

void CRecentFileList::AddPath(const QString& path) {
    // An empty text would mark entry 1 free and still push the oldest out.
    if (path.isEmpty() || m_capacity == 0)
        return;
    const QString canonical = canonicalForm(path);

    // The last entry is never compared: it drops off in either case.
    int match = m_capacity - 1;
    for (int k = 0; k < m_capacity - 1; ++k) {
        if (QString::compare(m_entries.at(k), canonical, Qt::CaseInsensitive) == 0) {
            match = k;
            break;
        }
    }
    for (int k = match; k > 0; --k) {
        m_entries[k] = m_entries.at(k - 1);
        m_stored[k] = m_stored.at(k - 1);
    }
    m_entries[0] = canonical;
    m_stored[0].clear();
}
