// Shared set-up for the dialog tests: an application named after a stand-in
// executable in a temporary folder (help page beside it), its settings file,
// fake stations, and acting on the next modal window.
#pragma once

#include "FakeDll.h"
#include "UpdaterApp.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

class TestApp {
public:
    // `name` is the executable's file name; each test uses its own so that stores do not mix.
    explicit TestApp(const QString& name) : m_exe(m_dir.filePath(name)) {
        QFile(m_exe).open(QIODevice::WriteOnly);
        QFile page(m_dir.filePath(QFileInfo(name).completeBaseName() + ".html"));
        page.open(QIODevice::WriteOnly);
        page.write("<html><body><h1 id=\"131174\">x</h1><h1 id=\"131172\">y</h1></body></html>");
        m_app = std::make_unique<UpdaterApp>(m_exe);
        QFile::remove(confPath());
    }
    ~TestApp() { QFile::remove(confPath()); }

    UpdaterApp& app() { return *m_app; }
    QString dir() const { return m_dir.path(); }
    QString exePath() const { return m_exe; }
    QString confPath() const {
        return QSettings(QSettings::NativeFormat, QSettings::UserScope, "Quorvane", m_app->applicationName())
            .fileName();
    }
    // Writes the recent-file section as another run would have left it.
    void storeRecentFiles(const QList<QPair<QString, QString>>& values) {
        QSettings store(confPath(), QSettings::NativeFormat);
        store.remove("Recent File List");
        for (const auto& value : values)
            store.setValue("Recent File List/" + value.first, value.second);
    }
    QByteArray confBytes() const {
        QFile file(confPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private:
    QTemporaryDir m_dir;
    QString m_exe;
    std::unique_ptr<UpdaterApp> m_app;
};

// Scan answers `ids`, each a cluster named after its id.
inline void scriptStation(const std::vector<int32_t>& ids) {
    fakedll::setScan(ids);
    for (int32_t id : ids)
        fakedll::setDevice(
            id, fakedll::makeRemoteInfo(192, 168, 1, 20, "Unit" + std::to_string(id), 1, 1, 2, 'A', 2, 3));
}

// Runs `action` on the modal window of class `className` as soon as one is
// active (the caller then enters the modal run that shows it). Gives up after
// ten seconds, so a failed test cannot act on a later test's windows.
inline void onNextModal(const char* className, std::function<void(QWidget*)> action) {
    auto* timer = new QTimer(qApp);
    timer->setInterval(5);
    auto deadline = std::make_shared<QDeadlineTimer>(10000);
    QObject::connect(timer, &QTimer::timeout, [timer, deadline, className, action = std::move(action)] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!deadline->hasExpired() && (!modal || !modal->inherits(className) || !modal->isVisible()))
            return;
        timer->stop();
        timer->deleteLater();
        if (!deadline->hasExpired())
            action(modal);
    });
    timer->start();
}
