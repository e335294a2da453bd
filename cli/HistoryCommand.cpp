#include "cli/Commands.h"
#include "cli/Output.h"
#include "core/UploadHistory.h"

namespace {

QString text(const Json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? QString::fromStdString(it->get<std::string>()) : QString();
}

const Json& member(const Json& object, const char* key) {
    static const Json none;
    const auto it = object.find(key);
    return it != object.end() ? *it : none;
}

// One job on one line: when, what, where, to how many, how it ended.
QString summary(const Json& entry) {
    const Json& targets = member(entry, "targets");
    int committed = 0, current = 0;
    for (const Json& t : targets.is_array() ? targets : Json::array()) {
        committed += text(t, "outcome") == QLatin1String("committed");
        current += text(t, "outcome") == QLatin1String("current");
    }
    const Json& image = member(entry, "image");
    QString line =
        QStringLiteral("%1  %2  %3  %4  %5 %6  %7  %8%9  ")
            .arg(text(entry, "time"), text(entry, "command"), text(entry, "via"), text(entry, "station"),
                 text(image, "label"), text(image, "version"), text(entry, "file"), text(entry, "result"),
                 member(entry, "interrupted") == true ? QStringLiteral(" (interrupted)") : QString());
    line += QStringLiteral("%1/%2 committed").arg(committed).arg(targets.is_array() ? targets.size() : 0);
    if (current > 0)
        line += QStringLiteral(", %1 current").arg(current);
    return line;
}

Json parse(const QByteArray& line) {
    return Json::parse(line.constData(), line.constData() + line.size(), nullptr, false);
}

} // namespace

int runHistory(const FlashOptions& options) {
    const QString path = historyPath(QLatin1String(kHistoryApplication));
    const std::string station = utf8(options.station);
    QString error;
    // A line that does not even hold the address is passed over unparsed.
    const QByteArray mention = QByteArray::fromStdString(station);
    const QList<QByteArray> entries = readHistoryTail(
        path, options.historyCount,
        [&](const QByteArray& line) {
            return station.empty() ||
                   (line.contains(mention) && text(parse(line), "station").toStdString() == station);
        },
        error);
    if (!error.isEmpty()) {
        printError(options.program, QStringLiteral("cannot read %1: %2").arg(path, error));
        return kExitFailed;
    }
    for (const QByteArray& entry : entries) {
        if (options.json)
            printLine(entry);
        else
            printLine(summary(parse(entry)));
    }
    return kExitOk;
}
