#include "core/UpdateEngine.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

const char kFilenameMissing[] = "Filename missing";
const char kInvalidFile[] = "Invalid application program file";
const char kNoStation[] = "No valid Quorvane stations found - Refresh to Select Device";

// A target that did not answer is known by its id alone.
void appendTarget(UploadJob& job, int32_t id, const std::optional<DeviceInfo>& info) {
    if (static_cast<int>(job.targets.size()) >= kMaxUploadTargets)
        return;
    JobTarget& target = job.targets.emplace_back();
    target.id = id;
    if (!info)
        return;
    target.address = formatAddress(info->address);
    target.name = deviceName(*info);
    target.before = formatVersion(info->versionMajor, info->versionMinor);
}

void refuse(UploadPlan& plan, PlanRefusal why, const char* text) {
    plan.refused = why;
    plan.refusal = QString::fromLatin1(text);
}

} // namespace

// The file name and the file check; false when the plan is refused. A file that passed
// is read once here for what the job's record says of it.
bool UpdateEngine::checkPlanFile(UploadPlan& plan, const QString& path) const {
    if (path.isEmpty()) {
        refuse(plan, PlanRefusal::NoFile, kFilenameMissing);
        return false;
    }
    plan.fileChecked = true;
    plan.file = checkFile(path);
    if (!plan.file.valid) {
        refuse(plan, PlanRefusal::InvalidFile, kInvalidFile);
        return false;
    }
    readImageFacts(path, plan.file.image);
    return true;
}

// With the targets found: the refusal for none, else the job's record and serial mode.
void UpdateEngine::completePlan(UploadPlan& plan, const char* command, const QString& path,
                                int serialPort) const {
    if (plan.job.targets.empty()) {
        refuse(plan, PlanRefusal::NoTarget, kNoStation);
        return;
    }
    plan.job.serial = serialPort != 0;
    if (plan.job.serial) // the first target alone is sent to
        plan.job.targets.resize(1);
    plan.job.path = QFile::encodeName(path);
    plan.job.command = QLatin1String(command);
    plan.job.via = serialPort != 0 ? QStringLiteral("com%1").arg(serialPort) : QStringLiteral("network");
    plan.job.station = m_library.station(serialPort);
    plan.job.file = QFileInfo(path).absoluteFilePath();
    plan.job.image = plan.file.image;
}

QStringList UpdateEngine::refresh() {
    m_slots = DeviceSlotTable{};
    return scanDevices(m_library, m_slots);
}

QList<ScannedDevice> UpdateEngine::refreshDevices() {
    m_slots = DeviceSlotTable{};
    return scanDeviceRecords(m_library, m_slots);
}

UploadPlan UpdateEngine::planUpload(UploadCommand command, const QString& path,
                                    const QList<int>& selectedRows, int serialPort) const {
    UploadPlan plan;
    if (!checkPlanFile(plan, path))
        return plan;

    // Row i shows slot rowSlot[i]: a device that did not answer the scan has
    // no row, and the rows after it still name their own devices.
    if (command == UploadCommand::AllEligible) {
        // All 30 slots, whatever the scan count (empty slots are asked too).
        for (int slot = 0; slot < kDeviceSlots; ++slot) {
            const std::optional<DeviceInfo> info = m_library.remoteInfo(m_slots.ids[slot]);
            if (!info || !isEligibleCluster(*info))
                continue;
            appendTarget(plan.job, m_slots.ids[slot], info);
            if (const int row = m_slots.rowOfSlot(slot); row >= 0)
                plan.rowsToSelect.append(row);
        }
    } else {
        // No eligibility test here: the technician chose these.
        for (int row : selectedRows) {
            const int slot = m_slots.slotOfRow(row);
            if (slot < 0 || slot >= kDeviceSlots)
                continue;
            if (const std::optional<DeviceInfo> info = m_library.remoteInfo(m_slots.ids[slot]))
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
    std::vector<int32_t> seen;
    for (const int32_t id : ids) {
        if (std::find(seen.begin(), seen.end(), id) != seen.end())
            continue;
        seen.push_back(id);
        const std::optional<DeviceInfo> info = m_library.remoteInfo(id);
        anyAnswered = anyAnswered || info.has_value();
        appendTarget(plan.job, id, info);
    }
    if (!anyAnswered)
        plan.job = UploadJob{};
    completePlan(plan, "update", path, serialPort);
    return plan;
}
