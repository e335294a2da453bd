// The main dialog (template 102): device list, firmware file and the upload
// commands. Dialog start runs once, just before the dialog first shows:
// bind controls, window-menu item, icon, scan, file box, progress range,
// focus on "Refresh". The application hands in the engine, the settings store
// the file box is filled from, where chosen files are recorded and where
// messages go; the dialog owns the upload controller and shows its result box.
#pragma once

#include "core/SettingsStore.h"
#include "core/UpdateEngine.h"
#include "ui/DialogTemplateDialog.h"

#include <QIcon>
#include <QPointer>

#include <functional>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QListWidget;
class QProgressBar;
class MessageSink;
class UploadController;
struct UploadResult;

class UpdateDialog : public TemplateDialog {
    Q_OBJECT
public:
    // Returns the chosen full path, or an empty text when cancelled.
    using FileChooser = std::function<QString(QWidget* parent)>;
    // Takes a path chosen with Browse into the application's recent-file record.
    using RecentFileHook = std::function<void(const QString& path)>;

    UpdateDialog(UpdateEngine& engine, SettingsStore store, RecentFileHook addRecentFile,
                 MessageSink& messages, QWidget* parent = nullptr);
    ~UpdateDialog() override;

    void initDialog(); // dialog start; does nothing after the first time
    bool isStarted() const { return m_started; }

    // Browse's chooser; an empty one restores the platform's file chooser.
    void setFileChooser(FileChooser chooser) { m_chooser = std::move(chooser); }
    // Taken at dialog start, after the file box is filled, as if chosen with Browse.
    void setStartFile(const QString& path) { m_startFile = path; }

    // Controls and state the commands work on.
    QComboBox* fileBox() const { return m_fileBox; }
    QLineEdit* infoLine() const { return m_infoLine; }
    QListWidget* deviceList() const { return m_deviceList; }
    QProgressBar* progressBar() const { return m_progressBar; }
    QCheckBox* useCom1Box() const { return m_useCom1; }
    QCheckBox* useCom2Box() const { return m_useCom2; }
    QString fileBoxText() const;
    void setInfoLine(const QString& text);
    QList<int> selectedRows() const; // ascending
    const DeviceSlotTable& slotTable() const { return m_engine.slotTable(); }
    UploadController& uploadController() const { return *m_upload; }

    // Commands.
    void refreshDeviceList();
    bool showFileInformation(); // rewrites the info line; true when the file is valid
    void browse();
    void runAboutBox();

    // The upload job (UpdateDialogUpload.cpp). While a job runs, its result
    // box included, the commands that would change it are disabled and the
    // dialog refuses to end; the controls, the info line and the bar are
    // released only once the box is closed. Once it is settled, each target's row shows an
    // icon for its outcome and the reason as its tooltip, until the next Refresh.
    bool isUploading() const;
    const QIcon& outcomeIcon(TargetOutcome outcome) const;
    bool canClose() const override;

protected:
    void onCommand(int id) override;
    void onSysCommand(int command) override;
    void showEvent(QShowEvent* event) override;

private:
    void nameControls();
    void fillFileBox();
    void takeChosenFile(const QString& path);

    // The upload job's part of the dialog (UpdateDialogUpload.cpp).
    void connectUploadController();
    void runUploadCommand(UploadCommand command);
    void uploadFinished(const UploadResult& result);
    void markOutcomes(const UploadResult& result);
    void holdForUpload(bool held);
    void openSerialPort(int port);

    UpdateEngine& m_engine;
    SettingsStore m_store;
    RecentFileHook m_addRecentFile;
    MessageSink& m_messages;
    UploadController* m_upload;
    QIcon m_icon;
    QComboBox* m_fileBox = nullptr;
    QLineEdit* m_infoLine = nullptr;
    QListWidget* m_deviceList = nullptr;
    QProgressBar* m_progressBar = nullptr;
    QCheckBox* m_useCom1 = nullptr;
    QCheckBox* m_useCom2 = nullptr;
    FileChooser m_chooser;
    QString m_startFile;
    bool m_started = false;
    int m_portOpened = 0;                  // the serial port that opened (1 or 2): its boxes stay disabled
    bool m_reporting = false;              // the job's result box is open
    QIcon m_outcomeIcons[kTargetOutcomes]; // by TargetOutcome
    QIcon m_noOutcomeIcon;                 // blank: rows that were no target keep their text in line
    QPointer<QWidget> m_focusBeforeUpload;
};
