#include "core/UploadHistory.h"

#include "core/TargetResults.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <array>

#ifdef Q_OS_WIN
#    define NOMINMAX
#    define WIN32_LEAN_AND_MEAN
#    include <io.h>
#    include <windows.h>
#else
#    include <unistd.h>
#endif

namespace {

// A JSON string of the text, in UTF-8.
QByteArray jsonString(const QString& text) {
    QByteArray out = "\"";
    for (const char c : text.toUtf8()) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\')
            out += QByteArray("\\") + c;
        else if (byte < 0x20)
            out += "\\u00" + QByteArray::number(byte, 16).rightJustified(2, '0');
        else
            out += c;
    }
    return out + '"';
}

QByteArray field(const char* name, const QByteArray& value) {
    return jsonString(QLatin1String(name)) + ':' + value;
}

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

QString fileCrc32(const QString& path) {
    static const auto table = [] {
        std::array<quint32, 256> t{};
        for (quint32 i = 0; i < 256; ++i) {
            quint32 c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    quint32 crc = 0xFFFFFFFFu;
    QByteArray block;
    while (!(block = file.read(1 << 16)).isEmpty()) {
        for (const char c : block)
            crc = table[(crc ^ static_cast<unsigned char>(c)) & 0xFFu] ^ (crc >> 8);
    }
    if (file.error() != QFileDevice::NoError)
        return {};
    return QStringLiteral("%1").arg(crc ^ 0xFFFFFFFFu, 8, 16, QLatin1Char('0'));
}

QByteArray historyEntry(const UploadResult& result, const QDateTime& time, const QString& crc32) {
    const UploadJob& job = result.job;
    const ImageSummary& image = job.image;
    const QByteArray imageObject =
        '{' + field("type", QByteArray::number(image.type)) + ',' + field("label", jsonString(image.label)) +
        ',' + field("name", jsonString(image.name)) + ',' + field("version", jsonString(image.version)) +
        ',' + field("crc32", jsonString(crc32)) + '}';
    QByteArrayList targets;
    for (const TargetResult& t : result.targets) {
        targets.append('{' + field("id", QByteArray::number(t.id)) + ',' +
                       field("address", jsonString(t.address)) + ',' + field("name", jsonString(t.name)) +
                       ',' + field("before", jsonString(t.before)) + ',' +
                       field("after", jsonString(t.after)) + ',' +
                       field("outcome", jsonString(QLatin1String(outcomeName(t.outcome)))) + ',' +
                       field("reason", jsonString(t.reason)) + '}');
    }
    return '{' + field("time", jsonString(time.toUTC().toString(Qt::ISODate))) + ',' +
           field("command", jsonString(job.command)) + ',' + field("via", jsonString(job.via)) + ',' +
           field("file", jsonString(job.file)) + ',' + field("image", imageObject) + ',' +
           field("result", jsonString(QLatin1String(result.succeeded() ? "ok" : "failed"))) + ',' +
           field("targets", '[' + targets.join(',') + ']') + '}';
}

bool appendHistory(const QString& path, const QByteArray& entry) {
    QString problem;
    QFile file(path);
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        problem = QStringLiteral("cannot create its folder");
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
