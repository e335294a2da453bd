#include "cli/Commands.h"
#include "cli/JsonText.h"
#include "cli/Output.h"
#include "core/UpdateEngine.h"

int runInfo(const FlashOptions& options) {
    const FileInfoResult file = UpdateEngine::checkFile(options.file);
    if (!options.json) {
        printLine(file.line);
    } else {
        const ImageSummary& image = file.image;
        printLine(JsonObject()
                      .add("valid", file.valid)
                      .add("line", file.line)
                      .add("type", image.type)
                      .add("label", image.label)
                      .add("name", image.name)
                      .add("version", image.version)
                      .text());
    }
    return file.valid ? kExitOk : kExitUsage;
}
