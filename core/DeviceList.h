// Device list logic without widgets: the slot table of the last scan, the line
// shown for each device, and which devices "Upd. All" takes.
#pragma once

#include "devlib/TestDll.h"

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
QString formatDeviceLine(int32_t id, const RemoteInfo& info);

// The device's name (never read past its 64 bytes) and its address, dotted.
QString deviceName(const RemoteInfo& info);
QString formatAddress(uint32_t address);

// Family 1, kind 1, not version 0.01.
bool isEligibleCluster(const RemoteInfo& info);

// The label the line ends with ("Cluster A (02)"), and the type code's family and kind.
QString kindLabel(const RemoteInfo& info);
int deviceFamily(const RemoteInfo& info);
int deviceKind(const RemoteInfo& info);

// One device that answered the scan's info query.
struct ScannedDevice {
    int32_t id = 0;
    RemoteInfo info{};
    QString line; // as the list shows it
};

// Scans into `table` (count clamped to 0..30) and returns every slot that
// answered its info query, recording which slot each row shows.
QList<ScannedDevice> scanDeviceRecords(DeviceSlotTable& table);

// The same, the list lines alone.
QStringList scanDevices(DeviceSlotTable& table);
