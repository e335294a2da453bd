// The upload commands of the main dialog: "Update", "Upd. All" and the two
// serial-port boxes. The engine plans the job, the dialog's upload controller
// runs it; the dialog shows the result box, holds its commands until the box is
// dismissed, and marks each target's row with its outcome.
#include "ui/UpdateDialog.h"

#include "core/TargetResults.h"
#include "core/UploadController.h"
#include "ui/MessageSink.h"
#include "ui/ResourceIds.h"

#include <QApplication>
#include <QCheckBox>
#include <QListWidget>
#include <QPixmap>
#include <QProgressBar>
#include <QStyle>

#include <algorithm>

namespace {

const char kUploadSucceeded[] = "Upload Successfull     ";
const char kUploadFailed[] = "Failed to upload file";

// What a running job holds still: every command but the device list, whose
// selection starts nothing by itself. The serial boxes are handled apart.
constexpr int kHeldDuringUpload[] = {IDC_UPDATE, IDC_UPDATE_ALL, IDC_REFRESH, IDC_BROWSE,
                                     IDC_INFO,   IDC_FILE_BOX,   kIdCancel};

} // namespace

void UpdateDialog::connectUploadController() {
    QStyle* style = QApplication::style();
    const QStyle::StandardPixmap pictures[kTargetOutcomes] = {
        QStyle::SP_DialogApplyButton,  QStyle::SP_MessageBoxQuestion, QStyle::SP_MessageBoxWarning,
        QStyle::SP_MessageBoxCritical, QStyle::SP_MessageBoxCritical, QStyle::SP_MessageBoxCritical,
        QStyle::SP_MessageBoxWarning,  QStyle::SP_DialogApplyButton};
    for (int i = 0; i < kTargetOutcomes; ++i)
        m_outcomeIcons[i] = style->standardIcon(pictures[i], nullptr, m_deviceList);
    // Icons no taller than a line of text, so a marked row keeps its height.
    const int side = m_deviceList->fontMetrics().height();
    m_deviceList->setIconSize(QSize(side, side));
    QPixmap blank(side, side);
    blank.fill(Qt::transparent);
    m_noOutcomeIcon = QIcon(blank);
    connect(m_upload, &UploadController::progress, m_progressBar, &QProgressBar::setValue);
    connect(m_upload, &UploadController::flashWarning, this,
            [this] { setInfoLine(QString::fromLatin1(kFlashWarning)); });
    connect(m_upload, &UploadController::finished, this, &UpdateDialog::uploadFinished);
}

void UpdateDialog::runUploadCommand(UploadCommand command) {
    if (isUploading())
        return;
    // A ticked box sends over the serial port that opened (the library's choice), or
    // without one over the ticked box's port, which then fails.
    int port = 0;
    if (m_useCom1->isChecked() || m_useCom2->isChecked())
        port = m_portOpened != 0 ? m_portOpened : (m_useCom1->isChecked() ? 1 : 2);
    const UploadPlan plan = m_engine.planUpload(command, fileBoxText(), selectedRows(), port);
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

// The result box follows the library's answer alone, with one line per device
// behind "Show Details...". Once it is closed: the file description back in
// place of the warning, the bar emptied, the commands released.
void UpdateDialog::uploadFinished(const UploadResult& result) {
    markOutcomes(result);
    m_reporting = true;
    const QString details = targetDetails(result.job.targets);
    if (result.libraryReportedSuccess())
        m_messages.showMessage(QString::fromLatin1(kUploadSucceeded), MessageIcon::Information, details);
    else
        m_messages.showMessage(QString::fromLatin1(kUploadFailed), MessageIcon::Stop, details);
    m_reporting = false;
    if (result.flashWarningShown)
        showFileInformation();
    m_progressBar->setValue(0);
    holdForUpload(false);
}

// Rows of the job's targets get the icon of their outcome and its reason as their tooltip;
// marks of an earlier job stay on the other rows until Refresh.
void UpdateDialog::markOutcomes(const UploadResult& result) {
    for (int row = 0; row < m_deviceList->count(); ++row) {
        if (m_deviceList->item(row)->icon().isNull())
            m_deviceList->item(row)->setIcon(m_noOutcomeIcon);
    }
    for (const JobTarget& target : result.job.targets) {
        const int32_t* ids = slotTable().ids;
        const int slot = static_cast<int>(std::find(ids, ids + kDeviceSlots, target.id) - ids);
        QListWidgetItem* item = m_deviceList->item(slotTable().rowOfSlot(slot));
        if (!item)
            continue;
        item->setIcon(outcomeIcon(target.outcome));
        const QString outcome = QLatin1String(outcomeName(target.outcome));
        item->setToolTip(target.reason.isEmpty() ? outcome : outcome + QStringLiteral(": ") + target.reason);
    }
}

const QIcon& UpdateDialog::outcomeIcon(TargetOutcome outcome) const {
    return m_outcomeIcons[static_cast<int>(outcome)];
}

bool UpdateDialog::isUploading() const {
    return m_upload->isRunning() || m_reporting;
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
    if (!m_engine.openSerialPort(port))
        return;
    m_portOpened = port;
    m_useCom1->setEnabled(false);
    m_useCom2->setEnabled(false);
}
