// Shared pieces of the upload tests: a dialog with a station and a firmware
// file, the messages it shows (with what the screen showed at that moment),
// rows found by device id, and waiting for a job to end while serving it.
#pragma once

#include "GuiTestSupport.h"

#include "ResourceIds.h"
#include "ShowMessage.h"
#include "UpdateDialog.h"
#include "UploadJob.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>

#include <memory>

namespace uploadtest {

inline const QString kFlashWarning = QStringLiteral("Programming flash - do not turn machine off  !!!");
inline const QString kSuccess = QStringLiteral("Upload Successfull     ");
inline const QString kFailure = QStringLiteral("Failed to upload file");
inline const QString kNoStation =
    QStringLiteral("No valid Quorvane stations found - Refresh to Select Device");

// What a message box would have shown, and the screen behind it.
struct ShownMessage {
    QString text;
    MessageIcon icon = MessageIcon::Information;
    QWidget* owner = nullptr;
    int bar = -1;
    QString infoLine;
    bool uploading = false;
};

// Records every box instead of showing it; dropped with the log.
class MessageLog {
public:
    explicit MessageLog(UpdateDialog& dialog) {
        setShowMessageHook([this, &dialog](const MessageRecord& record) {
            m_shown.append({record.text, record.icon, record.owner, dialog.progressBar()->value(),
                            dialog.infoLine()->text(), dialog.isUploading()});
        });
    }
    ~MessageLog() { setShowMessageHook({}); }
    const QList<ShownMessage>& shown() const { return m_shown; }
    QStringList texts() const {
        QStringList list;
        for (const ShownMessage& m : m_shown)
            list.append(m.text);
        return list;
    }

private:
    QList<ShownMessage> m_shown;
};

// The id at the start of a list line ("%7li  |  ...").
inline int idOfRow(const UpdateDialog& dialog, int row) {
    return dialog.deviceList()->item(row)->text().left(7).trimmed().toInt();
}

inline int rowOfId(const UpdateDialog& dialog, int id) {
    for (int row = 0; row < dialog.deviceList()->count(); ++row) {
        if (idOfRow(dialog, row) == id)
            return row;
    }
    return -1;
}

inline void selectIds(UpdateDialog& dialog, const QList<int>& ids) {
    for (int id : ids) {
        const int row = rowOfId(dialog, id);
        QVERIFY2(row >= 0, qPrintable(QString("no row for %1").arg(id)));
        dialog.deviceList()->item(row)->setSelected(true);
    }
}

inline QList<int> selectedIds(const UpdateDialog& dialog) {
    QList<int> ids;
    for (int row : dialog.selectedRows())
        ids.append(idOfRow(dialog, row));
    return ids;
}

inline void click(UpdateDialog& dialog, int id) {
    QTest::mouseClick(dialog.control(id), Qt::LeftButton);
}

// The job has ended: the worker was joined and the controls are back. The
// event loop runs meanwhile, so the worker's hand-overs are served.
inline bool waitJobEnd(UpdateDialog& dialog, int timeoutMs = 10000) {
    QDeadlineTimer deadline(timeoutMs);
    while ((dialog.isUploading() || uploadRunning()) && !deadline.hasExpired())
        QTest::qWait(5);
    return !dialog.isUploading() && !uploadRunning();
}

// The fake has reached its gate; the GUI thread keeps serving meanwhile.
inline bool waitGate(int timeoutMs = 10000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!fakedll::waitUploadGated(0) && !deadline.hasExpired())
        QTest::qWait(5);
    return fakedll::waitUploadGated(0);
}

inline std::vector<int32_t> uploadedIds() {
    const auto calls = fakedll::calls("DllUploadFileToDevices");
    return calls.empty() ? std::vector<int32_t>{} : calls.back().ids;
}

// The firmware file every test sends: the stored record offers it, so the
// dialog starts with it in the file box.
inline const char kImagePath[] = "/fw/cluster-2.4.bin";
inline const QString kDescription = QStringLiteral("[NetAppl]  CLUSTER  Ver. 2.04  Date: 6/12/26");

inline void scriptImage(int32_t fileType = 2) {
    fakedll::setFileInfo(kImagePath, {"CLUSTER", 6, 12, 26, fileType, 2, 4, 1});
}

// An application whose record holds the image, started; the dialog is the
// main window.
class UploadSetup {
public:
    explicit UploadSetup(const QString& name) : m_app(name) {
        m_app.storeRecentFiles({{"File1", kImagePath}});
        m_app.app().startUp();
        scriptImage();
    }
    TestApp& app() { return m_app; }

    // Shows the dialog (the scan and the file check run now) and makes it
    // the owner of message boxes.
    void open(UpdateDialog& dialog) {
        m_app.app().setMainWindow(&dialog);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
    }

private:
    TestApp m_app;
};

} // namespace uploadtest
