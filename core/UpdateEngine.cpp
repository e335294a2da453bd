#include "core/UpdateEngine.h"

#include "devlib/TestDll.h"

#include <QFile>

#include <cstring>

namespace {

const char kFilenameMissing[] = "Filename missing";
const char kInvalidFile[] = "Invalid application program file";
const char kNoStation[] = "No valid Quorvane stations found - Refresh to Select Device";

bool queryDevice(int32_t id, RemoteInfo& info) {
    std::memset(&info, 0, sizeof info);
    return DllGetRemoteInfo(id, &info) != 0;
}

void appendTarget(UploadJob& job, int32_t id) {
    if (static_cast<int>(job.targets.size()) < kMaxUploadTargets)
        job.targets.push_back(id);
}

} // namespace

QStringList UpdateEngine::refresh() {
    m_slots = DeviceSlotTable{};
    return scanDevices(m_slots);
}

UploadPlan UpdateEngine::planUpload(UploadCommand command, const QString& path,
                                    const QList<int>& selectedRows, bool serial) const {
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
            appendTarget(plan.job, m_slots.ids[slot]);
            if (const int row = m_slots.rowOfSlot(slot); row >= 0)
                plan.rowsToSelect.append(row);
        }
    } else {
        // No eligibility test here: the technician chose these.
        for (int row : selectedRows) {
            const int slot = m_slots.slotOfRow(row);
            if (slot >= 0 && slot < kDeviceSlots && queryDevice(m_slots.ids[slot], info))
                appendTarget(plan.job, m_slots.ids[slot]);
        }
    }
    if (plan.job.targets.empty()) {
        plan.refusal = QString::fromLatin1(kNoStation);
        return plan;
    }
    plan.job.serial = serial;
    plan.job.path = QFile::encodeName(path).toStdString();
    return plan;
}

bool UpdateEngine::openSerialPort(int port) {
    return DllOpenPort(port) != 0;
}
