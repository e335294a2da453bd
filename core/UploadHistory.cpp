#include "core/UploadHistory.h"

#include "core/JsonLine.h"
#include "core/TargetResults.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

#ifdef Q_OS_WIN
#    define NOMINMAX
#    define WIN32_LEAN_AND_MEAN
#    include <io.h>
#    include <windows.h>
#else
#    include <unistd.h>
#endif

namespace {

bool flushToDisk(QFile& file) {
#ifdef Q_OS_WIN
    return FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()))) != 0;
#else
    return ::fsync(file.handle()) == 0;
#endif
}

} // namespace

QString historyPath(const QString& applicationName) {
#ifdef Q_OS_WIN
    QString base = qEnvironmentVariable("LOCALAPPDATA");
    if (base.isEmpty())
        base = QDir::homePath() + QLatin1String("/AppData/Local");
#else
    // A relative value is to be ignored, as for every XDG folder.
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (!QDir::isAbsolutePath(base))
        base = QDir::homePath() + QLatin1String("/.local/state");
#endif
    return QDir(base).filePath(QLatin1String("Quorvane/") + applicationName +
                               QLatin1String("/history.jsonl"));
}

QByteArray historyEntry(const UploadResult& result, const QDateTime& time) {
    const UploadJob& job = result.job;
    const ImageSummary& image = job.image;
    Json targets = Json::array();
    for (const JobTarget& t : job.targets) {
        targets.push_back({{"id", t.id},
                           {"address", utf8(t.address)},
                           {"name", utf8(t.name)},
                           {"before", utf8(t.before)},
                           {"after", utf8(t.after)},
                           {"outcome", outcomeName(t.outcome)},
                           {"reason", utf8(t.reason)}});
    }
    Json entry = {{"time", utf8(time.toUTC().toString(Qt::ISODate))},
                  {"command", utf8(job.command)},
                  {"via", utf8(job.via)},
                  {"station", utf8(job.station)},
                  {"file", utf8(job.file)},
                  {"image",
                   {{"type", image.type},
                    {"label", utf8(image.label)},
                    {"name", utf8(image.name)},
                    {"version", utf8(image.version)},
                    {"size", image.size},
                    {"crc32", utf8(image.crc32)},
                    {"sha256", utf8(image.sha256)}}},
                  {"result", result.ok() ? "ok" : "failed"}};
    if (result.cancelled)
        entry["interrupted"] = true;
    entry["targets"] = std::move(targets);
    return jsonLine(entry);
}

bool appendHistory(const QString& path, const QByteArray& entry) {
    QString problem;
    QFile file(path);
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        problem = QStringLiteral("cannot create its folder");
    } else if (QFileInfo::exists(path) && !QFileInfo(path).isFile()) {
        problem = QStringLiteral("not a regular file");
    } else if (!file.open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Unbuffered)) {
        problem = file.errorString();
    } else {
        char last = '\n';
        if (file.size() > 0 && !(file.seek(file.size() - 1) && file.getChar(&last)))
            last = '\0'; // unreadable end: start afresh rather than join a line
        const QByteArray line = (last == '\n' ? QByteArray() : QByteArray("\n")) + entry + '\n';
        if (file.write(line) != line.size() || !flushToDisk(file))
            problem = file.errorString();
    }
    if (problem.isEmpty())
        return true;
    qWarning("%s: cannot write the update history %s: %s", qPrintable(QCoreApplication::applicationName()),
             qPrintable(QDir::toNativeSeparators(path)), qPrintable(problem));
    return false;
}

QList<QByteArray> readHistoryTail(const QString& path, qsizetype count,
                                  const std::function<bool(const QByteArray& entry)>& keep, QString& error) {
    error.clear();
    QList<QByteArray> found; // newest first
    const QFileInfo info(path);
    if (!info.exists())
        return found;
    QFile file(path);
    if (!info.isFile())
        error = QStringLiteral("not a regular file");
    else if (!file.open(QIODevice::ReadOnly))
        error = file.errorString();
    if (!error.isEmpty() || count <= 0)
        return found;
    // A line longer than any entry is garbage, and is skipped rather than held.
    constexpr qsizetype kBlock = 64 * 1024, kLongestLine = 1024 * 1024;
    qint64 end = file.size();
    QByteArray partial; // the start of a line whose beginning lies further back
    bool overlong = false;
    while (found.size() < count && end > 0) {
        const qint64 start = std::max<qint64>(0, end - kBlock);
        if (!file.seek(start)) {
            error = file.errorString();
            break;
        }
        QByteArray block = file.read(end - start);
        if (block.size() != end - start) {
            error = file.errorString();
            break;
        }
        end = start;
        block += partial;
        qsizetype lineEnd = block.size();
        for (qsizetype i = block.size() - 1; i >= -1 && found.size() < count; --i) {
            if (i >= 0 && block[i] != '\n')
                continue;
            if (i < 0 && start > 0)
                break; // the line goes on in the block before
            const QByteArray line = block.mid(i + 1, lineEnd - i - 1);
            lineEnd = i;
            // A line cut short by a crash is no entry: only whole JSON objects count.
            if (!overlong && line.startsWith('{') && (!keep || keep(line)) &&
                Json::accept(line.constData(), line.constData() + line.size()))
                found.append(line);
            overlong = false;
        }
        partial = block.left(std::max<qsizetype>(lineEnd, 0));
        if (partial.size() > kLongestLine) {
            partial.clear();
            overlong = true;
        }
    }
    std::reverse(found.begin(), found.end());
    return found;
}
