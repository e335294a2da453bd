#include "cli/Commands.h"
#include "cli/Output.h"
#include "core/UploadHistory.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

// One job on one line: when, what, to how many, how it ended.
QString summary(const QJsonObject& entry) {
    const QJsonArray targets = entry.value(QLatin1String("targets")).toArray();
    int committed = 0;
    for (const auto& t : targets)
        committed += t.toObject().value(QLatin1String("outcome")).toString() == QLatin1String("committed");
    const QJsonObject image = entry.value(QLatin1String("image")).toObject();
    const auto text = [](const QJsonObject& o, const char* key) {
        return o.value(QLatin1String(key)).toString();
    };
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
    QList<QJsonObject> objects;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QJsonDocument doc = QJsonDocument::fromJson(line);
        if (!doc.isObject())
            continue;
        entries.append(line);
        objects.append(doc.object());
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
