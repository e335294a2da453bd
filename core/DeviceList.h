// Device list logic without widgets: the slot table of the last scan, the line
// shown for each device, and which devices "Upd. All" takes.
#pragma once

#include "core/DeviceLibrary.h"

#include <QString>
#include <QStringList>
#include <QVector>

constexpr int kDeviceSlots = 30;
constexpr int kDeviceLineMax = 99;

struct DeviceSlotTable {
    int32_t ids[kDeviceSlots] = {};
    int32_t scanCount = 0;
    QVector<int> rowSlot; // row i of the list shows the device in slot rowSlot[i]

    int slotOfRow(int row) const { return row >= 0 && row < rowSlot.size() ? rowSlot[row] : -1; }
    int rowOfSlot(int slot) const { return rowSlot.indexOf(slot); }
};

// The list line for one answered device, at most 99 characters.
QString formatDeviceLine(int32_t id, const DeviceInfo& info);

// The device's name and its address, dotted.
QString deviceName(const DeviceInfo& info);
QString formatAddress(uint32_t address);

// Family 1, kind 1, not version 0.01.
bool isEligibleCluster(const DeviceInfo& info);

// The label the line ends with ("Cluster A (02)"), and the type code's family and kind.
QString kindLabel(const DeviceInfo& info);
int deviceFamily(const DeviceInfo& info);
int deviceKind(const DeviceInfo& info);

// One device that answered the scan's info query.
struct ScannedDevice {
    int32_t id = 0;
    bool answered = false;
    DeviceInfo info{};
    QString line; // as the list shows it
};

// Scans into `table` (count clamped to 0..30) and returns every slot of the
// count in order, each with its info query's answer; row i of the list shows
// the i-th device that answered, and the table records which slot that is.
QList<ScannedDevice> scanDeviceRecords(DeviceLibrary& library, DeviceSlotTable& table);

// The list lines alone.
QStringList scanDevices(DeviceLibrary& library, DeviceSlotTable& table);
