#include "cli/Commands.h"
#include "cli/Output.h"
#include "core/JsonLine.h"
#include "core/TestDllLibrary.h"
#include "core/UpdateEngine.h"

DeviceLibrary& deviceLibrary() {
    static TestDllLibrary library;
    return library;
}

int noStation(const FlashOptions& options) {
    printError(options.program, QStringLiteral("no station answered at %1").arg(deviceLibrary().station(0)));
    return kExitNoTarget;
}

Json deviceJson(int32_t id, const DeviceInfo& info) {
    return {{"id", id},
            {"answering", true},
            {"address", utf8(formatAddress(info.address))},
            {"version", utf8(formatVersion(info.versionMajor, info.versionMinor))},
            {"name", utf8(deviceName(info))},
            {"label", utf8(kindLabel(info))},
            {"family", deviceFamily(info)},
            {"kind", deviceKind(info)},
            {"eligible", isEligibleCluster(info)}};
}

int runScan(const FlashOptions& options) {
    UpdateEngine engine(deviceLibrary());
    const QList<ScannedDevice> devices = engine.refreshDevices();
    if (devices.isEmpty())
        return noStation(options);
    if (options.json) {
        Json entries = Json::array();
        for (const ScannedDevice& d : devices)
            entries.push_back(d.answered ? deviceJson(d.id, d.info)
                                         : Json{{"id", d.id}, {"answering", false}});
        printLine(jsonLine(entries));
        return kExitOk;
    }
    // The list's lines, then every listed device that stayed silent: none vanishes.
    for (const ScannedDevice& d : devices) {
        if (d.answered)
            printLine(d.line);
    }
    for (const ScannedDevice& d : devices) {
        if (!d.answered)
            printLine(QStringLiteral("%1  no answer").arg(d.id, 7));
    }
    return kExitOk;
}
