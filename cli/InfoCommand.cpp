#include "cli/Commands.h"
#include "cli/Output.h"
#include "core/JsonLine.h"
#include "core/UpdateEngine.h"

int runInfo(const FlashOptions& options) {
    const FileInfoResult file = UpdateEngine(deviceLibrary()).checkFile(options.file);
    if (!options.json) {
        printLine(file.line);
    } else {
        const ImageSummary& image = file.image;
        printLine(jsonLine({{"valid", file.valid},
                            {"line", utf8(file.line)},
                            {"type", image.type},
                            {"label", utf8(image.label)},
                            {"name", utf8(image.name)},
                            {"version", utf8(image.version)}}));
    }
    return file.valid ? kExitOk : kExitUsage;
}
