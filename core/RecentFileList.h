// The recent-file record: an ordered list of paths of fixed capacity, most recent first.
#pragma once

#include <QByteArrayList>
#include <QString>
#include <QStringList>

class SettingsStore;

class CRecentFileList {
public:
    CRecentFileList(QString sectionName, QString entryFormat, int capacity);

    void LoadFromStore(const SettingsStore& store);
    void SaveToStore(SettingsStore& store) const;
    void AddPath(const QString& path);

    int capacity() const { return m_capacity; }
    QString entry(int index) const; // 0-based; empty text for a free entry

    // Absolute, case-corrected form of a path as AddPath stores it.
    static QString canonicalForm(const QString& path);

    // The program's own record: section "Recent File List", values File1 to File10.
    static CRecentFileList programRecord();

private:
    QString valueName(int number) const; // 1-based, from the entry format

    QString m_section;
    QString m_format;
    int m_capacity;
    QStringList m_entries;
    // Each loaded entry exactly as the store holds it (empty for added ones),
    // written back unchanged: a path that is not valid UTF-8 keeps its bytes.
    QByteArrayList m_stored;
};
