// Shared pieces of the upload tests, whichever library they link: the
// messages a dialog shows (with the screen behind them), rows found by device
// id, a dialog shown unpainted, and waiting for a job to end while serving it.
#pragma once

#include "ResourceIds.h"
#include "ShowMessage.h"
#include "UpdateDialog.h"
#include "UploadJob.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

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

inline void selectIds(UpdateDialog& dialog, const QList<int>& ids) {
    for (int row = 0; row < dialog.deviceList()->count(); ++row) {
        if (ids.contains(idOfRow(dialog, row)))
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

// Shown as far as the dialog can tell (start-up runs, closing and keys work)
// but never painted: painting a window this size hands work to Qt's own
// thread pool, whose uninstrumented threads would bury these threaded tests
// under ThreadSanitizer noise. Events are sent to the widgets directly.
inline void showUnpainted(UpdateDialog& dialog) {
    dialog.setUpdatesEnabled(false);
    dialog.setAttribute(Qt::WA_DontShowOnScreen);
    dialog.show();
}

// The job has ended: the worker was joined and the controls are back. The
// event loop runs meanwhile, so the worker's hand-overs are served.
inline bool waitJobEnd(UpdateDialog& dialog, int timeoutMs = 10000) {
    QDeadlineTimer deadline(timeoutMs);
    while ((dialog.isUploading() || uploadRunning()) && !deadline.hasExpired())
        QTest::qWait(5);
    return !dialog.isUploading() && !uploadRunning();
}

} // namespace uploadtest
