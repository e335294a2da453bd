#include "core/UpdateEngine.h"

#include "devlib/TestDll.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstring>

namespace {

const char kFilenameMissing[] = "Filename missing";
const char kInvalidFile[] = "Invalid application program file";
const char kNoStation[] = "No valid Quorvane stations found - Refresh to Select Device";

bool queryDevice(int32_t id, RemoteInfo& info) {
    std::memset(&info, 0, sizeof info);
    return DllGetRemoteInfo(id, &info) != 0;
}

// A target that did not answer is known by its id alone.
void appendTarget(UploadJob& job, int32_t id, const RemoteInfo& info, bool answered = true) {
    if (static_cast<int>(job.targets.size()) >= kMaxUploadTargets)
        return;
    job.targets.push_back(id);
    TargetResult& target = job.devices.emplace_back();
    target.id = id;
    if (!answered)
        return;
    target.address = formatAddress(info.address);
    target.name = deviceName(info);
    target.before = formatVersion(info.versionMajor, info.versionMinor);
}

void refuse(UploadPlan& plan, PlanRefusal why, const char* text) {
    plan.refused = why;
    plan.refusal = QString::fromLatin1(text);
}

// The file name and the file check; false when the plan is refused.
bool checkPlanFile(UploadPlan& plan, const QString& path) {
    if (path.isEmpty()) {
        refuse(plan, PlanRefusal::NoFile, kFilenameMissing);
        return false;
    }
    plan.fileChecked = true;
    plan.file = UpdateEngine::checkFile(path);
    if (!plan.file.valid) {
        refuse(plan, PlanRefusal::InvalidFile, kInvalidFile);
        return false;
    }
    return true;
}

// With the targets found: the refusal for none, else the job's record and serial mode.
void completePlan(UploadPlan& plan, const char* command, const QString& path, int serialPort) {
    if (plan.job.targets.empty()) {
        refuse(plan, PlanRefusal::NoTarget, kNoStation);
        return;
    }
    plan.job.serial = serialPort != 0;
    plan.job.path = QFile::encodeName(path).toStdString();
    plan.job.command = QLatin1String(command);
    plan.job.via = serialPort != 0 ? QStringLiteral("com%1").arg(serialPort) : QStringLiteral("network");
    plan.job.file = QFileInfo(path).absoluteFilePath();
    plan.job.image = plan.file.image;
    if (plan.job.serial) // the first target alone is sent to
        plan.job.devices.resize(1);
}

} // namespace

QStringList UpdateEngine::refresh() {
    m_slots = DeviceSlotTable{};
    return scanDevices(m_slots);
}

QList<ScannedDevice> UpdateEngine::refreshDevices() {
    m_slots = DeviceSlotTable{};
    return scanDeviceRecords(m_slots);
}

UploadPlan UpdateEngine::planUpload(UploadCommand command, const QString& path,
                                    const QList<int>& selectedRows, int serialPort) const {
    UploadPlan plan;
    if (!checkPlanFile(plan, path))
        return plan;

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
    completePlan(plan, command == UploadCommand::AllEligible ? "update-all" : "update", path, serialPort);
    return plan;
}

UploadPlan UpdateEngine::planNamedUpload(const QString& path, const QList<int32_t>& ids,
                                         int serialPort) const {
    UploadPlan plan;
    if (!checkPlanFile(plan, path))
        return plan;
    bool anyAnswered = false;
    RemoteInfo info;
    for (const int32_t id : ids) {
        if (std::find(plan.job.targets.begin(), plan.job.targets.end(), id) != plan.job.targets.end())
            continue;
        const bool answered = queryDevice(id, info);
        anyAnswered = anyAnswered || answered;
        appendTarget(plan.job, id, info, answered);
    }
    if (!anyAnswered)
        plan.job = UploadJob{};
    completePlan(plan, "update", path, serialPort);
    return plan;
}

bool UpdateEngine::openSerialPort(int port) {
    return DllOpenPort(port) != 0;
}
