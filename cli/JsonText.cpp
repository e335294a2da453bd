#include "cli/JsonText.h"

#include <QJsonArray>
#include <QJsonDocument>

QByteArray jsonText(const QString& text) {
    // Qt escapes the string; the array around it is taken off again.
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

JsonObject& JsonObject::addRaw(const char* key, const QByteArray& json) {
    if (!m_fields.isEmpty())
        m_fields += ',';
    m_fields += jsonText(QString::fromUtf8(key)) + ':' + json;
    return *this;
}
