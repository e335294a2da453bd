#include "core/DeviceList.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kLineBuffer = kDeviceLineMax + 1;

struct TypeFields {
    unsigned family, kind, sub, letter;
};

TypeFields splitType(uint32_t code) {
    return {(code >> 24) & 0xFFu, (code >> 16) & 0xFFu, (code >> 8) & 0xFFu, code & 0xFFu};
}

bool isVersionZeroOne(const DeviceInfo& info) {
    return info.versionMajor == 0 && info.versionMinor == 1;
}

// The letter byte goes through %c into its own buffer: a zero letter ends the
// label there, the rest of the line is unaffected.
void formatKindLabel(const TypeFields& type, char (&label)[kLineBuffer]) {
    std::memset(label, 0, sizeof label);
    if (type.family != 1)
        return;
    const int letter = static_cast<unsigned char>(type.letter);
    switch (type.kind) {
    case 1:
        std::snprintf(label, sizeof label, "Cluster %c (%02x)", letter, type.sub);
        break;
    case 3:
        std::snprintf(label, sizeof label, "Cluster %c ", letter);
        break;
    case 2:
        std::snprintf(label, sizeof label, "Pellard 64");
        break;
    default:
        break;
    }
}

} // namespace

QString formatDeviceLine(int32_t id, const DeviceInfo& info) {
    const TypeFields type = splitType(info.typeCode);
    char line[kLineBuffer] = {};
    int length = 0;
    if (isVersionZeroOne(info) && type.family == 0) {
        length = std::snprintf(line, sizeof line, "%7li  |  Velmo Old version", static_cast<long>(id));
    } else {
        char label[kLineBuffer];
        formatKindLabel(type, label);
        const qsizetype nul = info.name.indexOf('\0');
        const QByteArray name = nul < 0 ? info.name : info.name.first(nul);
        const uint32_t address = info.address;
        length =
            std::snprintf(line, sizeof line, "%7li  |  %i.%i.%i.%i  |  V. %2i.%02i  |  %s  |  %s ",
                          static_cast<long>(id), static_cast<int>((address >> 24) & 0xFFu),
                          static_cast<int>((address >> 16) & 0xFFu), static_cast<int>((address >> 8) & 0xFFu),
                          static_cast<int>(address & 0xFFu), static_cast<int>(info.versionMajor),
                          static_cast<int>(info.versionMinor), name.constData(), label);
    }
    // snprintf cuts the line at 99 characters and always terminates it; the
    // line holds no NUL of its own (name and label go in through %s).
    return QString::fromLatin1(line, std::clamp(length, 0, kDeviceLineMax));
}

QString deviceName(const DeviceInfo& info) {
    return QString::fromLatin1(info.name);
}

QString formatAddress(uint32_t address) {
    return QStringLiteral("%1.%2.%3.%4")
        .arg((address >> 24) & 0xFFu)
        .arg((address >> 16) & 0xFFu)
        .arg((address >> 8) & 0xFFu)
        .arg(address & 0xFFu);
}

QString kindLabel(const DeviceInfo& info) {
    char label[kLineBuffer];
    formatKindLabel(splitType(info.typeCode), label);
    return QString::fromLatin1(label);
}

int deviceFamily(const DeviceInfo& info) {
    return static_cast<int>(splitType(info.typeCode).family);
}

int deviceKind(const DeviceInfo& info) {
    return static_cast<int>(splitType(info.typeCode).kind);
}

bool isEligibleCluster(const DeviceInfo& info) {
    const TypeFields type = splitType(info.typeCode);
    return !isVersionZeroOne(info) && type.family == 1 && type.kind == 1;
}

QList<ScannedDevice> scanDeviceRecords(DeviceLibrary& library, DeviceSlotTable& table) {
    for (int32_t& id : table.ids)
        id = 0;
    table.rowSlot.clear();
    const int32_t count = library.scanNetwork(table.ids, kDeviceSlots);
    // Whatever the library claims, only the table's slots exist.
    table.scanCount = count < 0 ? 0 : (count > kDeviceSlots ? kDeviceSlots : count);

    QList<ScannedDevice> devices;
    for (int slot = 0; slot < table.scanCount; ++slot) {
        ScannedDevice device;
        device.id = table.ids[slot];
        const std::optional<DeviceInfo> info = library.remoteInfo(device.id);
        device.answered = info.has_value();
        if (info) { // no answer: no row, and later rows keep their own slots
            device.info = *info;
            device.line = formatDeviceLine(device.id, device.info);
            table.rowSlot.append(slot);
        }
        devices.append(device);
    }
    return devices;
}

QStringList scanDevices(DeviceLibrary& library, DeviceSlotTable& table) {
    QStringList lines;
    for (const ScannedDevice& device : scanDeviceRecords(library, table)) {
        if (device.answered)
            lines.append(device.line);
    }
    return lines;
}
