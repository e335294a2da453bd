// The upload commands of the main dialog: "Update", "Upd. All" and the two
// serial-port boxes. The dialog picks the targets and starts the job; the job
// itself (worker, progress, result box) lives in UploadJob.
#include "UpdateDialog.h"

#include "ResourceIds.h"
#include "ShowMessage.h"
#include "UploadJob.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QListWidget>

#include <cstring>

namespace {

const char kFilenameMissing[] = "Filename missing";
const char kInvalidFile[] = "Invalid application program file";
const char kNoStation[] = "No valid Quorvane stations found - Refresh to Select Device";

// What a running job holds still: every command but the device list, whose
// selection starts nothing by itself. The serial boxes are handled apart.
constexpr int kHeldDuringUpload[] = {IDC_UPDATE, IDC_UPDATE_ALL, IDC_REFRESH, IDC_BROWSE,
                                     IDC_INFO,   IDC_FILE_BOX,   kIdCancel};

bool queryDevice(int32_t id, RemoteInfo& info) {
    std::memset(&info, 0, sizeof info);
    return DllGetRemoteInfo(id, &info) != 0;
}

void appendTarget(UploadJob& job, int32_t id) {
    if (job.targetCount < kMaxUploadTargets)
        job.targets[job.targetCount++] = id;
}

} // namespace

// Dialog start, step 1: the job's process-wide progress bar is bound here.
void UpdateDialog::bindUploadControls() {
    bindUploadProgressBar(m_progressBar);
}

void UpdateDialog::onUpdate() {
    runUploadCommand(false);
}

void UpdateDialog::onUpdateAll() {
    runUploadCommand(true);
}

void UpdateDialog::runUploadCommand(bool allEligible) {
    // The record is the running worker's until it has been joined.
    if (m_uploading || uploadRunning())
        return;
    UploadJob& job = uploadJob();
    job.targetCount = 0;

    const QString path = fileBoxText();
    job.path = QFile::encodeName(path);
    if (path.isEmpty()) {
        ShowMessage(QString::fromLatin1(kFilenameMissing), MessageIcon::Exclamation);
        return;
    }
    if (!showFileInformation()) {
        ShowMessage(QString::fromLatin1(kInvalidFile), MessageIcon::Exclamation);
        return;
    }

    // Row i shows slot rowSlot[i]: a device that did not answer the scan has
    // no row, and the rows after it still name their own devices.
    RemoteInfo info;
    if (allEligible) {
        // All 30 slots, whatever the scan count (empty slots are asked too).
        for (int slot = 0; slot < kDeviceSlots; ++slot) {
            if (!queryDevice(m_slots.ids[slot], info) || !isEligibleCluster(info))
                continue;
            appendTarget(job, m_slots.ids[slot]);
            const int row = m_slots.rowOfSlot(slot);
            if (row >= 0 && row < m_deviceList->count())
                m_deviceList->item(row)->setSelected(true);
        }
    } else {
        for (int row = 0; row < m_deviceList->count(); ++row) {
            if (!m_deviceList->item(row)->isSelected())
                continue;
            const int slot = m_slots.slotOfRow(row);
            if (slot < 0 || slot >= kDeviceSlots)
                continue;
            if (queryDevice(m_slots.ids[slot], info))
                appendTarget(job, m_slots.ids[slot]);
        }
    }
    if (job.targetCount == 0) {
        ShowMessage(QString::fromLatin1(kNoStation), MessageIcon::Exclamation);
        return;
    }

    // A ticked serial box sends to the first target alone, over the port.
    if (m_useCom1->isChecked())
        job.targetCount = 0;
    if (m_useCom2->isChecked())
        job.targetCount = 0;

    job.dialog = this;
    holdForUpload(true);
    // A worker that cannot be created ends the command quietly.
    if (!startUploadWorker())
        holdForUpload(false);
}

void UpdateDialog::uploadJobEnded() {
    holdForUpload(false);
}

bool UpdateDialog::canClose() const {
    // Ending the dialog during a flash could leave a device without firmware.
    return !m_uploading && TemplateDialog::canClose();
}

void UpdateDialog::holdForUpload(bool held) {
    if (held)
        m_focusBeforeUpload = focusWidget();
    m_uploading = held;
    for (int id : kHeldDuringUpload) {
        if (QWidget* widget = control(id))
            widget->setEnabled(!held);
    }
    const bool serialBoxes = !held && !m_portOpened;
    m_useCom1->setEnabled(serialBoxes);
    m_useCom2->setEnabled(serialBoxes);
    // Disabling moved the focus on; it goes back where the command left it.
    if (!held && m_focusBeforeUpload && m_focusBeforeUpload->isEnabled() && isActiveWindow())
        m_focusBeforeUpload->setFocus(Qt::OtherFocusReason);
}

void UpdateDialog::onUseCom1() {
    openSerialPort(1);
}

void UpdateDialog::onUseCom2() {
    openSerialPort(2);
}

void UpdateDialog::openSerialPort(int port) {
    // Asked on every click; the mark is the one the click gave the box.
    if (DllOpenPort(port) == 0)
        return;
    m_portOpened = true;
    m_useCom1->setEnabled(false);
    m_useCom2->setEnabled(false);
}

void UpdateDialog::waitForUploadEnd() {
    // Only reached with a job running when the event loop was left under it
    // (the application quitting): the worker still needs this thread for its
    // hand-overs and its result box, so serve it until its last request.
    while (m_uploading)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    UploadJob& job = uploadJob();
    if (job.dialog == this)
        job.dialog = nullptr;
}
