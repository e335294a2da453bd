#include "cli/Commands.h"
#include "cli/Output.h"
#include "core/UpdateEngine.h"

namespace {

// Why the library refused the file, in a few words.
QString problemOf(const QByteArray& path) {
    const std::optional<ImageFileDetails> details = deviceLibrary().fileDetails(path);
    return details && !details->problem.isEmpty() ? details->problem : QStringLiteral("not a firmware image");
}

} // namespace

int runInfo(const FlashOptions& options) {
    FileInfoResult file = UpdateEngine(deviceLibrary()).checkFile(options.filePath);
    if (!file.valid) {
        const QString problem = file.line.startsWith(QLatin1Char('['))
                                    ? QStringLiteral("image type %1 is unknown").arg(file.image.type)
                                    : problemOf(options.filePath);
        if (options.json)
            printLine(jsonLine({{"valid", false}, {"line", utf8(file.line)}, {"reason", utf8(problem)}}));
        else
            printLine(file.line);
        printError(options.program, QStringLiteral("%1: %2").arg(options.file, problem));
        return kExitUsage;
    }
    readImageFacts(options.filePath, file.image);
    const ImageSummary& image = file.image;
    const std::optional<ImageFileDetails> details = deviceLibrary().fileDetails(options.filePath);
    const bool isSigned = details && details->isSigned;
    if (!options.json) {
        printLine(file.line);
        QString facts =
            QStringLiteral("size %1  crc32 %2  sha256 %3").arg(image.size).arg(image.crc32, image.sha256);
        if (isSigned)
            facts += QStringLiteral("  key %1  counter %2")
                         .arg(QString::fromLatin1(details->keyId.toHex()))
                         .arg(details->securityCounter);
        printLine(facts);
        return kExitOk;
    }
    Json signature = nullptr;
    if (isSigned)
        signature = {{"key_id", details->keyId.toHex().toStdString()}, {"counter", details->securityCounter}};
    printLine(jsonLine({{"valid", true},
                        {"line", utf8(file.line)},
                        {"type", image.type},
                        {"label", utf8(image.label)},
                        {"name", utf8(image.name)},
                        {"version", utf8(image.version)},
                        {"size", image.size},
                        {"crc32", utf8(image.crc32)},
                        {"sha256", utf8(image.sha256)},
                        {"signature", signature}}));
    return kExitOk;
}
