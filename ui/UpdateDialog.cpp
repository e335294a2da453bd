#include "ui/UpdateDialog.h"

#include "core/RecentFileList.h"
#include "core/UploadController.h"
#include "ui/AboutDialog.h"
#include "ui/AppIcon.h"
#include "ui/DialogTemplates.h"
#include "ui/FirmwareChooser.h"
#include "ui/MessageSink.h"
#include "ui/ResourceIds.h"
#include "ui/StringTable.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>

UpdateDialog::UpdateDialog(UpdateEngine& engine, SettingsStore store, RecentFileHook addRecentFile,
                           MessageSink& messages, QWidget* parent)
    : TemplateDialog(updateDialogTemplate(), parent), m_engine(engine), m_store(std::move(store)),
      m_addRecentFile(std::move(addRecentFile)), m_messages(messages),
      m_upload(new UploadController(engine.library(), this)), m_icon(applicationIcon()) {
    // The controls exist from the template on, so they are bound at once and
    // the accessors never hand out null.
    m_infoLine = controlAs<QLineEdit>(IDC_INFO_LINE);
    m_useCom2 = controlAs<QCheckBox>(IDC_USE_COM2);
    m_useCom1 = controlAs<QCheckBox>(IDC_USE_COM1);
    m_fileBox = controlAs<QComboBox>(IDC_FILE_BOX);
    m_deviceList = controlAs<QListWidget>(IDC_DEVICE_LIST);
    m_progressBar = controlAs<QProgressBar>(IDC_PROGRESS);
    nameControls();
    connectUploadController();
}

// The labels are the buddies of the controls they stand for, which take
// their names from them; the info line has no label and gets a name of its own.
void UpdateDialog::nameControls() {
    const std::pair<QLatin1String, QWidget*> labelled[] = {{QLatin1String("File :"), m_fileBox},
                                                           {QLatin1String("Select Device"), m_deviceList},
                                                           {QLatin1String("Progress :"), m_progressBar}};
    for (QWidget* widget : controls()) {
        auto* label = qobject_cast<QLabel*>(widget);
        for (const auto& [text, buddy] : labelled) {
            if (label && label->text() == text) {
                label->setBuddy(buddy);
                buddy->setAccessibleName(QString(text).remove(QLatin1String(" :")));
            }
        }
    }
    m_infoLine->setAccessibleName(tr("File information"));
}

// Only reached with a job running when the event loop was left under it (the
// application quitting): the controller then cancels the job and waits for it.
UpdateDialog::~UpdateDialog() = default;

void UpdateDialog::showEvent(QShowEvent* event) {
    initDialog();
    TemplateDialog::showEvent(event);
}

void UpdateDialog::initDialog() {
    if (m_started)
        return;
    m_started = true;

    appendWindowMenuItem(loadResourceString(IDS_ABOUTBOX), IDM_ABOUTBOX);

    // The window icon also stands for the dialog when minimised or dragged,
    // so no painting of our own is needed for either.
    setWindowIcon(m_icon);

    refreshDeviceList();
    fillFileBox();
    if (!m_startFile.isEmpty())
        takeChosenFile(m_startFile);
    m_progressBar->setRange(0, 100);

    if (QWidget* first = control(IDC_REFRESH))
        first->setFocus(Qt::OtherFocusReason);
}

void UpdateDialog::onCommand(int id) {
    switch (id) {
    case IDC_REFRESH:
        refreshDeviceList();
        break;
    case IDC_BROWSE:
        browse();
        break;
    case IDC_INFO:
        showFileInformation();
        break;
    case IDC_UPDATE:
        runUploadCommand(UploadCommand::Selected);
        break;
    case IDC_UPDATE_ALL:
        runUploadCommand(UploadCommand::AllEligible);
        break;
    case IDC_USE_COM1:
        openSerialPort(1);
        break;
    case IDC_USE_COM2:
        openSerialPort(2);
        break;
    default:
        TemplateDialog::onCommand(id);
        break;
    }
}

void UpdateDialog::onSysCommand(int command) {
    if ((command & 0xFFF0) == IDM_ABOUTBOX)
        runAboutBox();
}

void UpdateDialog::runAboutBox() {
    AboutDialog about(this);
    about.exec();
}

QString UpdateDialog::fileBoxText() const {
    return m_fileBox ? m_fileBox->currentText() : QString();
}

void UpdateDialog::setInfoLine(const QString& text) {
    if (!m_infoLine)
        return;
    m_infoLine->setText(text);
    // Show the start of a long line, as the platform's edit does.
    m_infoLine->setCursorPosition(0);
}

QList<int> UpdateDialog::selectedRows() const {
    QList<int> rows;
    if (!m_deviceList)
        return rows;
    for (int row = 0; row < m_deviceList->count(); ++row) {
        if (m_deviceList->item(row)->isSelected())
            rows.append(row);
    }
    return rows;
}

void UpdateDialog::refreshDeviceList() {
    m_deviceList->clear();
    m_deviceList->addItems(m_engine.refresh());
    m_deviceList->clearSelection();
}

void UpdateDialog::fillFileBox() {
    // The stored record is read again here, through a list of our own.
    CRecentFileList stored = CRecentFileList::programRecord();
    stored.LoadFromStore(m_store);
    m_fileBox->addItems(fileBoxEntries(stored));
    if (m_fileBox->count() > 0)
        m_fileBox->setCurrentIndex(0);
    else
        m_fileBox->setEditText(QString());
    showFileInformation();
}

bool UpdateDialog::showFileInformation() {
    const FileInfoResult result = m_engine.checkFile(fileBoxText());
    setInfoLine(result.line);
    return result.valid;
}

void UpdateDialog::browse() {
    const QString path = m_chooser ? m_chooser(this) : chooseFirmwareFile(this);
    if (!path.isEmpty())
        takeChosenFile(path);
}

void UpdateDialog::takeChosenFile(const QString& path) {
    // The box would cut a longer path, and the record would keep the cut one.
    if (path.size() > m_fileBox->lineEdit()->maxLength()) {
        m_messages.showMessage(QStringLiteral("File path too long"), MessageIcon::Exclamation);
        return;
    }
    m_fileBox->addItem(path);
    m_fileBox->setCurrentIndex(m_fileBox->count() - 1);
    if (m_addRecentFile)
        m_addRecentFile(path);
    showFileInformation();
}
