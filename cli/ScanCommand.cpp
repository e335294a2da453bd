#include "cli/Commands.h"
#include "cli/Output.h"
#include "core/JsonLine.h"
#include "core/TestDllLibrary.h"
#include "core/UpdateEngine.h"

DeviceLibrary& deviceLibrary() {
    static TestDllLibrary library;
    return library;
}

int runScan(const FlashOptions& options) {
    UpdateEngine engine(deviceLibrary());
    QList<ScannedDevice> devices = engine.refreshDevices();
    devices.removeIf([](const ScannedDevice& d) { return !d.answered; });
    if (!options.json) {
        for (const ScannedDevice& device : devices)
            printLine(device.line);
    } else {
        Json entries = Json::array();
        for (const ScannedDevice& d : devices) {
            entries.push_back({{"id", d.id},
                               {"address", utf8(formatAddress(d.info.address))},
                               {"version", utf8(formatVersion(d.info.versionMajor, d.info.versionMinor))},
                               {"name", utf8(deviceName(d.info))},
                               {"label", utf8(kindLabel(d.info))},
                               {"family", deviceFamily(d.info)},
                               {"kind", deviceKind(d.info)},
                               {"eligible", isEligibleCluster(d.info)}});
        }
        printLine(jsonLine(entries));
    }
    return devices.isEmpty() ? kExitNoTarget : kExitOk;
}
