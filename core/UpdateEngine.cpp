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
    target.answered = true;
    target.versionMajor = info->versionMajor;
    target.versionMinor = info->versionMinor;
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
bool UpdateEngine::checkPlanFile(UploadPlan& plan, const QByteArray& localPath) const {
    if (localPath.isEmpty()) {
        refuse(plan, PlanRefusal::NoFile, kFilenameMissing);
        return false;
    }
    plan.fileChecked = true;
    plan.job.path = localPath;
    plan.file = checkFile(localPath);
    if (!plan.file.valid) {
        refuse(plan, PlanRefusal::InvalidFile, kInvalidFile);
        return false;
    }
    readImageFacts(localPath, plan.file.image);
    if (!m_expectedSha256.isEmpty() && plan.file.image.sha256 != m_expectedSha256) {
        plan.refused = PlanRefusal::WrongFile;
        plan.refusal = QStringLiteral("SHA-256 is %1, not %2")
                           .arg(plan.file.image.size < 0 ? QStringLiteral("unknown (unreadable)")
                                                         : plan.file.image.sha256,
                                m_expectedSha256);
        return false;
    }
    return true;
}

// With the targets found: the refusal for none, else the job's record and serial mode.
void UpdateEngine::completePlan(UploadPlan& plan, const char* command, int serialPort) const {
    if (plan.job.targets.empty()) {
        refuse(plan, PlanRefusal::NoTarget, kNoStation);
        return;
    }
    plan.job.serial = serialPort != 0;
    if (plan.job.serial) // the first target alone is sent to
        plan.job.targets.resize(1);
    plan.job.command = QLatin1String(command);
    plan.job.via = serialPort != 0 ? QStringLiteral("com%1").arg(serialPort) : QStringLiteral("network");
    plan.job.station = m_library.station(serialPort);
    plan.job.file = QFileInfo(QFile::decodeName(plan.job.path)).absoluteFilePath();
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

UploadPlan UpdateEngine::planFile(const QByteArray& localPath) const {
    UploadPlan plan;
    checkPlanFile(plan, localPath);
    return plan;
}

UploadPlan UpdateEngine::planUpload(UploadCommand command, const QByteArray& localPath,
                                    const QList<int>& selectedRows, int serialPort) const {
    return planUpload(planFile(localPath), command, selectedRows, serialPort);
}

UploadPlan UpdateEngine::planUpload(UploadPlan plan, UploadCommand command, const QList<int>& selectedRows,
                                    int serialPort) const {
    if (plan.refused != PlanRefusal::None)
        return plan;

    // Row i shows slot rowSlot[i]: a device that did not answer the scan has
    // no row, and the rows after it still name their own devices.
    if (command == UploadCommand::AllEligible) {
        // All 30 slots, whatever the scan count (empty slots are asked too).
        for (int slot = 0; slot < kDeviceSlots; ++slot) {
            const std::optional<DeviceInfo> info = m_library.remoteInfo(m_slots.ids[slot]);
            if (!info || !isEligibleCluster(*info))
                continue;
            // A scan that lists a device twice must not have it sent to twice at once.
            const std::vector<int32_t> taken = plan.job.ids();
            if (std::find(taken.begin(), taken.end(), m_slots.ids[slot]) == taken.end())
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
    completePlan(plan, command == UploadCommand::AllEligible ? "update-all" : "update", serialPort);
    return plan;
}

UploadPlan UpdateEngine::planNamedUpload(UploadPlan plan, const QList<int32_t>& ids, int serialPort) const {
    if (plan.refused != PlanRefusal::None)
        return plan;
    const int32_t* scanned = m_slots.ids;
    for (const int32_t id : ids) {
        if (std::any_of(plan.job.targets.begin(), plan.job.targets.end(),
                        [id](const JobTarget& t) { return t.id == id; }))
            continue;
        const std::optional<DeviceInfo> info = m_library.remoteInfo(id);
        appendTarget(plan.job, id, info);
        if (info || plan.job.targets.back().id != id)
            continue;
        JobTarget& silent = plan.job.targets.back();
        silent.held = true;
        silent.reason = std::find(scanned, scanned + m_slots.scanCount, id) != scanned + m_slots.scanCount
                            ? QStringLiteral("no answer")
                            : QStringLiteral("not listed by the station");
    }
    completePlan(plan, "update", serialPort);
    return plan;
}
