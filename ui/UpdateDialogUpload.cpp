// The upload commands of the main dialog: "Update", "Upd. All" and the two
// serial-port boxes. The engine plans the job, the dialog's upload controller
// runs it; the dialog holds its commands until the result box is dismissed.
#include "ui/UpdateDialog.h"

#include "core/MessageSink.h"
#include "core/UploadController.h"
#include "ui/ResourceIds.h"

#include <QCheckBox>
#include <QListWidget>
#include <QProgressBar>

namespace {

// What a running job holds still: every command but the device list, whose
// selection starts nothing by itself. The serial boxes are handled apart.
constexpr int kHeldDuringUpload[] = {IDC_UPDATE, IDC_UPDATE_ALL, IDC_REFRESH, IDC_BROWSE,
                                     IDC_INFO,   IDC_FILE_BOX,   kIdCancel};

} // namespace

void UpdateDialog::connectUploadController() {
    connect(m_upload, &UploadController::progressChanged, m_progressBar, &QProgressBar::setValue);
    connect(m_upload, &UploadController::flashWarning, this,
            [this] { setInfoLine(QString::fromLatin1(kFlashWarning)); });
    connect(m_upload, &UploadController::ended, this, &UpdateDialog::uploadEnded);
}

void UpdateDialog::runUploadCommand(UploadCommand command) {
    if (isUploading())
        return;
    const bool serial = m_useCom1->isChecked() || m_useCom2->isChecked();
    const UploadPlan plan = m_engine.planUpload(command, fileBoxText(), selectedRows(), serial);
    if (plan.fileChecked)
        setInfoLine(plan.file.line);
    for (int row : plan.rowsToSelect) {
        if (row < m_deviceList->count())
            m_deviceList->item(row)->setSelected(true);
    }
    if (!plan.refusal.isEmpty()) {
        m_messages.showMessage(plan.refusal, MessageIcon::Exclamation);
        return;
    }
    holdForUpload(true);
    // A worker that cannot be created ends the command quietly.
    if (!m_upload->start(plan.job))
        holdForUpload(false);
}

// After the result box: the file description back in place of the warning,
// the bar emptied, the commands released.
void UpdateDialog::uploadEnded(const UploadResult& result) {
    if (result.flashWarningShown)
        showFileInformation();
    m_progressBar->setValue(0);
    holdForUpload(false);
}

bool UpdateDialog::isUploading() const {
    return m_upload->isRunning();
}

bool UpdateDialog::canClose() const {
    // Ending the dialog during a flash could leave a device without firmware.
    return !isUploading() && TemplateDialog::canClose();
}

void UpdateDialog::holdForUpload(bool held) {
    if (held)
        m_focusBeforeUpload = focusWidget();
    for (int id : kHeldDuringUpload) {
        if (QWidget* widget = control(id))
            widget->setEnabled(!held);
    }
    const bool serialBoxes = !held && !m_portOpened;
    m_useCom1->setEnabled(serialBoxes);
    m_useCom2->setEnabled(serialBoxes);
    // Disabling moved the focus on; it goes back where the command left it,
    // also when the result box still has it (then once the dialog is active
    // again), so that Enter does not land on the device list and end the run.
    if (!held && m_focusBeforeUpload && m_focusBeforeUpload->isEnabled())
        m_focusBeforeUpload->setFocus(Qt::OtherFocusReason);
}

void UpdateDialog::openSerialPort(int port) {
    // Asked on every click; the mark is the one the click gave the box.
    if (!UpdateEngine::openSerialPort(port))
        return;
    m_portOpened = true;
    m_useCom1->setEnabled(false);
    m_useCom2->setEnabled(false);
}
