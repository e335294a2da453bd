// The store file's text in the INI form QSettings reads and writes: sections
// of name=value lines. Parsed once; one section can be read, or replaced while
// every other byte of the text stays as it was.
#pragma once

#include "core/SettingsStore.h"

#include <QByteArray>
#include <QList>
#include <QString>

class IniText {
public:
    explicit IniText(QByteArray text);

    // False for text QSettings would call damaged: a section header without
    // ']', or a line that is neither a comment nor name=value.
    bool isValid() const { return m_valid; }

    StoredSection section(const QString& name) const;
    // The whole text with that section replaced by `values` (none: removed).
    QByteArray withSection(const QString& name, const StoredSection& values) const;

private:
    // A header line and the lines up to the next header; the text before the
    // first header is the region of the unnamed section.
    struct Region {
        QString name;
        qsizetype begin;
        qsizetype body;
        qsizetype end;
    };

    QByteArray m_text;
    QList<Region> m_regions;
    bool m_valid = true;
};
