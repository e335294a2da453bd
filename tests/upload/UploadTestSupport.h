// Shared pieces of the upload tests, whichever library they link: the boxes a
// dialog shows (with the screen behind them), rows by device id, a dialog
// shown unpainted, and waiting for a job to end while serving it.
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

struct ShownMessage {
    QString text;
    MessageIcon icon;
    QWidget* owner;
    int bar;
    QString infoLine;
    bool uploading;
};

// Records every box instead of showing it, until dropped.
class MessageLog {
public:
    explicit MessageLog(UpdateDialog& dialog) {
        setShowMessageHook([this, &dialog](const MessageRecord& r) {
            m_shown.append({r.text, r.icon, r.owner, dialog.progressBar()->value(), dialog.infoLine()->text(),
                            dialog.isUploading()});
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
    for (int row = 0; row < dialog.deviceList()->count(); ++row)
        dialog.deviceList()->item(row)->setSelected(ids.contains(idOfRow(dialog, row)));
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

// Never painted: painting a window this size hands work to Qt's own thread
// pool, whose uninstrumented threads would bury these threaded tests under
// ThreadSanitizer noise. Events are sent to the widgets directly.
inline void showUnpainted(UpdateDialog& dialog) {
    dialog.setUpdatesEnabled(false);
    dialog.setAttribute(Qt::WA_DontShowOnScreen);
    dialog.show();
}

// The worker was joined and the controls are back; the event loop serves
// the worker's hand-overs meanwhile.
inline bool waitJobEnd(UpdateDialog& dialog, int timeoutMs = 10000) {
    QDeadlineTimer deadline(timeoutMs);
    while ((dialog.isUploading() || uploadRunning()) && !deadline.hasExpired())
        QTest::qWait(5);
    return !dialog.isUploading() && !uploadRunning();
}

} // namespace uploadtest
