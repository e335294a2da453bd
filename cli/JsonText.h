// JSON objects written field by field, in the order given, on one line.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

QByteArray jsonText(const QString& text);

class JsonObject {
public:
    JsonObject& add(const char* key, const QString& value) { return addRaw(key, jsonText(value)); }
    JsonObject& add(const char* key, const char* value) { return add(key, QString::fromUtf8(value)); }
    JsonObject& add(const char* key, int64_t value) { return addRaw(key, QByteArray::number(value)); }
    JsonObject& add(const char* key, int32_t value) { return add(key, int64_t{value}); }
    JsonObject& add(const char* key, bool value) { return addRaw(key, value ? "true" : "false"); }
    JsonObject& addRaw(const char* key, const QByteArray& json);

    QByteArray text() const { return '{' + m_fields + '}'; }

private:
    QByteArray m_fields;
};
