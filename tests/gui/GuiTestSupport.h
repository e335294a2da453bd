// Shared set-up for the dialog tests: an application object named after a
// stand-in executable in a temporary folder (with its help page beside it),
// direct access to that application's settings file, and fake stations.
#pragma once

#include "FakeDll.h"
#include "UpdaterApp.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

#include <memory>

class TestApp {
public:
    // `name` is the executable's file name; each test uses its own so that
    // stores do not mix.
    explicit TestApp(const QString& name, bool withHelpPage = true) {
        m_exe = m_dir.filePath(name);
        QFile exe(m_exe);
        exe.open(QIODevice::WriteOnly);
        if (withHelpPage) {
            QFile page(m_dir.filePath(QFileInfo(name).completeBaseName() + ".html"));
            page.open(QIODevice::WriteOnly);
            page.write("<html><body><h1 id=\"131174\">x</h1><h1 id=\"131172\">y</h1></body></html>");
        }
        m_app = std::make_unique<UpdaterApp>(m_exe);
        QFile::remove(confPath());
    }
    ~TestApp() { QFile::remove(confPath()); }

    UpdaterApp& app() { return *m_app; }
    QString dir() const { return m_dir.path(); }
    QString exePath() const { return m_exe; }

    // What the program would read: $XDG_CONFIG_HOME/Quorvane/<name>.conf.
    QString confPath() const {
        return QSettings(QSettings::NativeFormat, QSettings::UserScope, "Quorvane", m_app->applicationName())
            .fileName();
    }
    // Writes the recent-file section as another run would have left it.
    void storeRecentFiles(const QList<QPair<QString, QString>>& values) {
        QSettings settings(QSettings::NativeFormat, QSettings::UserScope, "Quorvane",
                           m_app->applicationName());
        settings.remove("Recent File List");
        for (const auto& value : values)
            settings.setValue("Recent File List/" + value.first, value.second);
        settings.sync();
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

inline RemoteInfo clusterInfo(const std::string& name, uint8_t letter, uint8_t sub, int32_t major = 2,
                              int32_t minor = 3) {
    return fakedll::makeRemoteInfo(192, 168, 1, 20, name, 1, 1, sub, letter, major, minor);
}

// Scan answers `ids`, each a cluster named after its id.
inline void scriptStation(const std::vector<int32_t>& ids) {
    fakedll::setScan(ids);
    for (int32_t id : ids)
        fakedll::setDevice(id, clusterInfo("Unit" + std::to_string(id), 'A', 2));
}

inline QStringList callNames() {
    QStringList names;
    for (const fakedll::Call& call : fakedll::calls())
        names.append(QString::fromStdString(call.function));
    return names;
}

// Runs `action` on the modal window of class `className` as soon as one is
// active (the caller then enters the modal run that shows it). Gives up after
// ten seconds, so a failed test cannot act on a later test's windows.
inline void onNextModal(const char* className, std::function<void(QWidget*)> action) {
    auto* timer = new QTimer(qApp);
    timer->setInterval(5);
    auto deadline = std::make_shared<QDeadlineTimer>(10000);
    QObject::connect(timer, &QTimer::timeout, [timer, deadline, className, action = std::move(action)] {
        if (deadline->hasExpired()) {
            timer->stop();
            timer->deleteLater();
            return;
        }
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->inherits(className) || !modal->isVisible())
            return;
        timer->stop();
        timer->deleteLater();
        action(modal);
    });
    timer->start();
}
