// The application object, one per process: names the application after its
// executable, keeps the recent-file record for the whole run, builds the
// message boxes, the device library's adapter, the engine and the main dialog
// and runs it modally (handing it the store, the record's add hook and the
// message boxes), and writes the record back once, at the exit step.
#pragma once

#include "app/ShowMessage.h"
#include "core/RecentFileList.h"
#include "core/SettingsStore.h"
#include "core/TestDllLibrary.h"
#include "core/UpdateEngine.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <memory>

class HelpRequest;
class UpdateDialog;

class UpdaterApp : public QObject {
    Q_OBJECT
public:
    // `executablePath` empty: the running executable; `library` null: the device-access
    // library itself (tests hand in a fake). A QApplication must exist.
    explicit UpdaterApp(const QString& executablePath = QString(), DeviceLibrary* library = nullptr,
                        QObject* parent = nullptr);
    ~UpdaterApp() override;

    // Before the QApplication exists: no platform boxes for critical errors
    // or files that fail to open.
    static void preparePlatform();

    // Start-up, modal run of the main dialog, exit step.
    int run();
    void startUp();
    void runMainDialog();
    void exitStep();

    // The main dialog with what it works with: the engine, the store, the
    // record's AddRecentFile and the message boxes.
    std::unique_ptr<UpdateDialog> createMainDialog();

    void AddRecentFile(const QString& path);

    // A file named on the command line: the main dialog takes it at its start
    // as if it had been chosen with Browse.
    void setStartFile(const QString& path) { m_startFile = path; }

    const QString& applicationName() const { return m_applicationName; }
    const QString& executablePath() const { return m_executablePath; }
    const QString& companyKey() const { return m_companyKey; }
    const SettingsStore& settingsStore() const { return m_store; }
    const CRecentFileList& recentFiles() const { return m_recentFiles; }
    ShowMessageSink& messages() { return m_messages; }
    UpdateEngine& engine() { return m_engine; }
    HelpRequest& help() { return *m_help; }

    QWidget* mainWindow() const { return m_mainWindow; }
    void setMainWindow(QWidget* window) { m_mainWindow = window; }

private:
    QString m_executablePath;
    QString m_applicationName;
    QString m_companyKey;
    SettingsStore m_store;
    CRecentFileList m_recentFiles;
    ShowMessageSink m_messages;
    TestDllLibrary m_library;
    UpdateEngine m_engine;
    QString m_startFile;
    QPointer<QWidget> m_mainWindow; // cleared with the dialog's window
    HelpRequest* m_help = nullptr;
};
