#include "cli/Commands.h"
#include "cli/JsonText.h"
#include "cli/Output.h"
#include "core/UpdateEngine.h"

int runScan(const FlashOptions& options) {
    UpdateEngine engine;
    const QList<ScannedDevice> devices = engine.refreshDevices();
    if (!options.json) {
        for (const ScannedDevice& device : devices)
            printLine(device.line);
    } else {
        QByteArrayList entries;
        for (const ScannedDevice& d : devices) {
            entries.append(JsonObject()
                               .add("id", d.id)
                               .add("address", formatAddress(d.info.address))
                               .add("version", formatVersion(d.info.versionMajor, d.info.versionMinor))
                               .add("name", deviceName(d.info))
                               .add("label", kindLabel(d.info))
                               .add("family", deviceFamily(d.info))
                               .add("kind", deviceKind(d.info))
                               .add("eligible", isEligibleCluster(d.info))
                               .text());
        }
        printLine('[' + entries.join(',') + ']');
    }
    return devices.isEmpty() ? kExitNoTarget : kExitOk;
}
