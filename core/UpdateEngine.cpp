#include "core/UpdateEngine.h"

#include "devlib/TestDll.h"

#include <QFile>
#include <QFileInfo>

#include <cstring>

namespace {

const char kFilenameMissing[] = "Filename missing";
const char kInvalidFile[] = "Invalid application program file";
const char kNoStation[] = "No valid Quorvane stations found - Refresh to Select Device";

bool queryDevice(int32_t id, RemoteInfo& info) {
    std::memset(&info, 0, sizeof info);
    return DllGetRemoteInfo(id, &info) != 0;
}

void appendTarget(UploadJob& job, int32_t id, const RemoteInfo& info) {
    if (static_cast<int>(job.targets.size()) >= kMaxUploadTargets)
        return;
    job.targets.push_back(id);
    TargetResult& target = job.devices.emplace_back();
    target.id = id;
    target.address = formatAddress(info.address);
    target.name = deviceName(info);
    target.before = formatVersion(info.versionMajor, info.versionMinor);
}

} // namespace

QStringList UpdateEngine::refresh() {
    m_slots = DeviceSlotTable{};
    return scanDevices(m_slots);
}

UploadPlan UpdateEngine::planUpload(UploadCommand command, const QString& path,
                                    const QList<int>& selectedRows, int serialPort) const {
    UploadPlan plan;
    if (path.isEmpty()) {
        plan.refusal = QString::fromLatin1(kFilenameMissing);
        return plan;
    }
    plan.fileChecked = true;
    plan.file = checkFile(path);
    if (!plan.file.valid) {
        plan.refusal = QString::fromLatin1(kInvalidFile);
        return plan;
    }

    // Row i shows slot rowSlot[i]: a device that did not answer the scan has
    // no row, and the rows after it still name their own devices.
    RemoteInfo info;
    if (command == UploadCommand::AllEligible) {
        // All 30 slots, whatever the scan count (empty slots are asked too).
        for (int slot = 0; slot < kDeviceSlots; ++slot) {
            if (!queryDevice(m_slots.ids[slot], info) || !isEligibleCluster(info))
                continue;
            appendTarget(plan.job, m_slots.ids[slot], info);
            if (const int row = m_slots.rowOfSlot(slot); row >= 0)
                plan.rowsToSelect.append(row);
        }
    } else {
        // No eligibility test here: the technician chose these.
        for (int row : selectedRows) {
            const int slot = m_slots.slotOfRow(row);
            if (slot >= 0 && slot < kDeviceSlots && queryDevice(m_slots.ids[slot], info))
                appendTarget(plan.job, m_slots.ids[slot], info);
        }
    }
    if (plan.job.targets.empty()) {
        plan.refusal = QString::fromLatin1(kNoStation);
        return plan;
    }
    plan.job.serial = serialPort != 0;
    plan.job.path = QFile::encodeName(path).toStdString();
    plan.job.command = QLatin1String(command == UploadCommand::AllEligible ? "update-all" : "update");
    plan.job.via = serialPort != 0 ? QStringLiteral("com%1").arg(serialPort) : QStringLiteral("network");
    plan.job.file = QFileInfo(path).absoluteFilePath();
    plan.job.image = plan.file.image;
    if (plan.job.serial) // the first target alone is sent to
        plan.job.devices.resize(1);
    return plan;
}

bool UpdateEngine::openSerialPort(int port) {
    return DllOpenPort(port) != 0;
}
