// The one JSON writer of both programs: objects keep the order their fields were
// added in, texts go out as UTF-8 with control characters escaped, one line each.
#pragma once

#include <QByteArray>
#include <QString>

#include <nlohmann/json.hpp>

using Json = nlohmann::ordered_json;

inline std::string utf8(const QString& text) {
    return text.toStdString();
}

inline QByteArray jsonLine(const Json& value) {
    // Bytes that are no UTF-8 (a device's name) become U+FFFD rather than an exception.
    return QByteArray::fromStdString(value.dump(-1, ' ', false, Json::error_handler_t::replace));
}
