// Per-user settings store: company key, application key, sections and named
// string values. Silent on every failure: reads give the default, writes do nothing.
#pragma once

#include <QString>

class SettingsStore {
public:
    SettingsStore() = default;
    SettingsStore(QString companyKey, QString applicationKey);

    void setCompanyKey(const QString& companyKey) { m_company = companyKey; }
    void setApplicationKey(const QString& applicationKey) { m_application = applicationKey; }

    QString ReadString(const QString& section, const QString& valueName, const QString& defaultValue) const;
    bool WriteString(const QString& section, const QString& valueName, const QString& text);
    bool DeleteSection(const QString& section);

private:
    QString m_company;
    QString m_application;
};
