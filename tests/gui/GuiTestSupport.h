// Shared set-up for the dialog and upload tests: an application named after a
// stand-in executable in a temporary folder (help page beside it, settings
// store inside it) on the scripted library (or the real one), its main dialog
// shown, message boxes recorded with what the screen showed behind them, and
// acting on the next modal window.
#pragma once

#include "app/ShowMessage.h"
#include "app/UpdaterApp.h"
#include "tests/support/FakeDeviceLibrary.h"
#include "ui/ResourceIds.h"
#include "ui/UpdateDialog.h"

#include <QtTest>
#include <QtWidgets>

#include <memory>

class TestApp {
public:
    // `library` null: the real library.
    explicit TestApp(DeviceLibrary* library, const QString& name = "fw.tool.exe") {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.path()));
        for (const QString& file : {name, QFileInfo(name).completeBaseName() + ".html"})
            QFile(m_dir.filePath(file)).open(QIODevice::WriteOnly);
        m_app = std::make_unique<UpdaterApp>(m_dir.filePath(name), library);
    }

    UpdaterApp& app() { return *m_app; }
    QString file(const QString& name) const { return m_dir.filePath(name); }
    QString confPath() const { return file("Quorvane/" + m_app->applicationName() + ".conf"); }
    // Started with the recent-file section as another run left it ("File1=...\n...").
    void start(const QByteArray& section) {
        QFile conf(confPath());
        if (QDir().mkpath(file("Quorvane")) && conf.open(QIODevice::WriteOnly))
            conf.write("[Recent%20File%20List]\n" + section);
        conf.close();
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

private:
    QTemporaryDir m_dir;
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
struct MessageLog : QList<ShownMessage> {
    explicit MessageLog(UpdaterApp& app, UpdateDialog* dialog = nullptr) : m_sink(app.messages()) {
        m_sink.setPresenter([this, dialog](const MessageRecord& r) {
            const bool held = dialog && dialog->isUploading() && !dialog->close() && dialog->isVisible();
            append({r, dialog ? dialog->progressBar()->value() : -1, dialog ? dialog->infoLine()->text() : "",
                    held});
        });
    }
    ~MessageLog() { m_sink.setPresenter({}); }
    MessageLog(const MessageLog&) = delete;
    MessageLog& operator=(const MessageLog&) = delete;
    QStringList texts() const {
        QStringList list;
        for (const ShownMessage& m : *this)
            list.append(m.box.text);
        return list;
    }

private:
    ShowMessageSink& m_sink;
};

inline void click(UpdateDialog& dialog, int id) {
    QTest::mouseClick(dialog.control(id), Qt::LeftButton);
}

// Runs `action` on the modal window the caller is about to run, once its
// event loop has started and it is active.
inline void onNextModal(std::function<void(QWidget*)> action) {
    QTimer::singleShot(0, qApp, [action] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            (void)QTest::qWaitForWindowActive(modal); // keys go where the technician's would
            action(modal);
        }
    });
}
