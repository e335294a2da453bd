// Shared set-up for the dialog and upload tests: an application named after a
// stand-in executable in a temporary folder (help page beside it) with its
// settings file, its main dialog shown unpainted, message boxes recorded with
// what the screen showed behind them, fake stations, and acting on the next
// modal window.
#pragma once

#include "app/ShowMessage.h"
#include "app/UpdaterApp.h"
#include "tests/fakedll/FakeDll.h"
#include "ui/ResourceIds.h"
#include "ui/UpdateDialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QDeadlineTimer>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

class TestApp {
public:
    // `name` is the executable's file name; each test uses its own so that stores do not mix.
    explicit TestApp(const QString& name) : m_exe(m_dir.filePath(name)) {
        QFile(m_exe).open(QIODevice::WriteOnly);
        QFile page(m_dir.filePath(QFileInfo(name).completeBaseName() + ".html"));
        page.open(QIODevice::WriteOnly);
        m_app = std::make_unique<UpdaterApp>(m_exe);
        QFile::remove(confPath());
    }
    ~TestApp() { QFile::remove(confPath()); }

    UpdaterApp& app() { return *m_app; }
    QString file(const QString& name) const { return m_dir.filePath(name); }
    QString confPath() const {
        return QSettings(QSettings::NativeFormat, QSettings::UserScope, "Quorvane", m_app->applicationName())
            .fileName();
    }
    QByteArray confBytes() const {
        QFile conf(confPath());
        return conf.open(QIODevice::ReadOnly) ? conf.readAll() : QByteArray();
    }
    // Started with the recent-file section as another run left it.
    void start(const QList<QPair<QString, QString>>& records) {
        QSettings store(confPath(), QSettings::NativeFormat);
        store.remove("Recent File List");
        for (const auto& [name, path] : records)
            store.setValue("Recent File List/" + name, path);
        store.sync();
        m_app->startUp();
    }
    // The main dialog, shown (scan and file check run now) and active, or
    // never painted: painting hands work to Qt's own, uninstrumented threads,
    // which would bury the threaded tests under ThreadSanitizer noise.
    UpdateDialog& shown(bool painted = false) {
        m_dialog = m_app->createMainDialog();
        m_app->setMainWindow(m_dialog.get());
        m_dialog->setUpdatesEnabled(painted);
        m_dialog->setAttribute(Qt::WA_DontShowOnScreen, !painted);
        m_dialog->show();
        if (painted && !QTest::qWaitForWindowActive(m_dialog.get()))
            qWarning("the dialog did not become active");
        return *m_dialog;
    }
    std::unique_ptr<UpdateDialog>& dialog() { return m_dialog; }

private:
    QTemporaryDir m_dir;
    QString m_exe;
    std::unique_ptr<UpdaterApp> m_app;
    std::unique_ptr<UpdateDialog> m_dialog;
};

// Every box, with the screen behind it, recorded instead of shown until dropped.
struct ShownMessage {
    MessageRecord box;
    int bar;
    QString infoLine;
    bool held; // the job still held the dialog, and it refused to close
};
class MessageLog {
public:
    explicit MessageLog(UpdateDialog* dialog = nullptr) {
        setShowMessageHook([this, dialog](const MessageRecord& r) {
            const bool held = dialog && dialog->isUploading() && !dialog->close() && dialog->isVisible();
            m_shown.append({r, dialog ? dialog->progressBar()->value() : -1,
                            dialog ? dialog->infoLine()->text() : QString(), held});
        });
    }
    ~MessageLog() { setShowMessageHook({}); }
    const QList<ShownMessage>& shown() const { return m_shown; }
    QStringList texts() const {
        QStringList list;
        for (const ShownMessage& m : m_shown)
            list.append(m.box.text);
        return list;
    }

private:
    QList<ShownMessage> m_shown;
};

// Scan answers `ids`, each an eligible cluster named after its id.
inline void scriptStation(const std::vector<int32_t>& ids) {
    fakedll::setScan(ids);
    for (int32_t id : ids)
        fakedll::setDevice(
            id, fakedll::makeRemoteInfo(192, 168, 1, 20, "Unit" + std::to_string(id), 1, 1, 2, 'A', 2, 3));
}

inline void click(UpdateDialog& dialog, int id) {
    QTest::mouseClick(dialog.control(id), Qt::LeftButton);
}

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

// The job has ended (its box dismissed); the event loop serves it meanwhile.
inline bool waitJobEnd(UpdateDialog& dialog, int timeoutMs = 10000) {
    QDeadlineTimer deadline(timeoutMs);
    while (dialog.isUploading() && !deadline.hasExpired())
        QTest::qWait(5);
    return !dialog.isUploading();
}

// Runs `action` on the modal window of class `className` as soon as one is
// active (the caller then enters the modal run that shows it). Gives up after
// ten seconds, so a failed test cannot act on a later test's windows.
inline void onNextModal(const char* className, std::function<void(QWidget*)> action) {
    auto* timer = new QTimer(qApp);
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout,
                     [timer, deadline = QDeadlineTimer(10000), className, action = std::move(action)] {
                         QWidget* modal = QApplication::activeModalWidget();
                         if (!deadline.hasExpired() &&
                             (!modal || !modal->inherits(className) || !modal->isVisible()))
                             return;
                         timer->deleteLater();
                         timer->stop();
                         if (!deadline.hasExpired())
                             action(modal);
                     });
    timer->start();
}
