// Per-user settings store: company key, application key, sections and named
// string values. Silent on every failure: reads give nothing, writes do nothing.
// Off Windows the store is one file, read with one parse and replaced as a whole,
// atomically; a missing, unreadable, odd or damaged file reads as empty and is
// never overwritten.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// One named value of a section. `stored` is the value exactly as the store
// holds it (empty for a value not read from the store); written back as it is,
// it keeps text that has no faithful QString form, such as a path that is not
// valid UTF-8.
struct StoredValue {
    QString name;
    QString text;
    QByteArray stored;
};
using StoredSection = QList<StoredValue>;

class SettingsStore {
public:
    SettingsStore() = default;
    SettingsStore(QString companyKey, QString applicationKey);

    void setCompanyKey(const QString& companyKey) { m_company = companyKey; }
    void setApplicationKey(const QString& applicationKey) { m_application = applicationKey; }

    // The values of one section in stored order (a name may repeat: the last counts).
    StoredSection ReadSection(const QString& section) const;
    // Replaces the section as a whole (no values: the section goes); other
    // sections stay as they are. Nothing is written when nothing changes.
    bool ReplaceSection(const QString& section, const StoredSection& values);

#ifndef Q_OS_WIN
    // The store file: <config home>/<company>/<application>.conf.
    QString fileName() const;
#endif

private:
    QString m_company;
    QString m_application;
};
