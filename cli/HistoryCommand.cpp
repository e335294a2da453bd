#include "cli/Commands.h"
#include "cli/Output.h"
#include "core/JsonLine.h"
#include "core/UploadHistory.h"

#include <QFile>

namespace {

QString text(const Json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? QString::fromStdString(it->get<std::string>()) : QString();
}

// One job on one line: when, what, to how many, how it ended.
QString summary(const Json& entry) {
    const Json& targets =
        entry.contains("targets") && entry["targets"].is_array() ? entry["targets"] : Json();
    int committed = 0;
    for (const Json& t : targets)
        committed += text(t, "outcome") == QLatin1String("committed");
    const Json& image = entry.contains("image") && entry["image"].is_object() ? entry["image"] : Json();
    return QStringLiteral("%1  %2  %3  %4 %5  %6  %7  %8/%9 committed")
        .arg(text(entry, "time"), text(entry, "command"), text(entry, "via"), text(image, "label"),
             text(image, "version"), text(entry, "file"), text(entry, "result"))
        .arg(committed)
        .arg(targets.size());
}

} // namespace

int runHistory(const FlashOptions& options) {
    QFile file(historyPath(QLatin1String(kHistoryApplication)));
    if (!file.exists())
        return kExitOk; // no job yet
    if (!file.open(QIODevice::ReadOnly)) {
        printError(options.program,
                   QStringLiteral("cannot read %1: %2").arg(file.fileName(), file.errorString()));
        return kExitFailed;
    }
    // A line cut short by a crash is no entry: only whole JSON objects count.
    QList<QByteArray> entries;
    QList<Json> objects;
    for (const QByteArray& line : file.readAll().split('\n')) {
        Json entry = Json::parse(line.constData(), line.constData() + line.size(), nullptr, false);
        if (!entry.is_object())
            continue;
        entries.append(line);
        objects.append(std::move(entry));
    }
    for (qsizetype i = std::max<qsizetype>(0, entries.size() - options.historyCount); i < entries.size();
         ++i) {
        if (options.json)
            printLine(entries[i]);
        else
            printLine(summary(objects[i]));
    }
    return kExitOk;
}
