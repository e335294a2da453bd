#include "app/UpdaterApp.h"

#include "app/Help.h"
#include "ui/UpdateDialog.h"

#include <QApplication>
#include <QFileInfo>

#ifdef Q_OS_WIN
#    define NOMINMAX
#    define WIN32_LEAN_AND_MEAN
#    include <windows.h>
#endif

namespace {

QFileInfo executableOf(const QString& path) {
    return QFileInfo(path.isEmpty() ? QCoreApplication::applicationFilePath() : path);
}

} // namespace

UpdaterApp::UpdaterApp(const QString& executablePath, DeviceLibrary* library, QObject* parent)
    : QObject(parent), m_executablePath(executableOf(executablePath).absoluteFilePath()),
      // "fwtool.exe" is named "fwtool": the file name without its extension.
      m_applicationName(executableOf(executablePath).completeBaseName()),
      m_recentFiles(CRecentFileList::programRecord()),
      m_messages(m_applicationName, [this]() -> QWidget* { return m_mainWindow; }),
      m_engine(library ? *library : m_library) {
    m_store.setApplicationKey(m_applicationName);
    QCoreApplication::setApplicationName(m_applicationName);

    m_help = new HelpRequest(
        m_executablePath, m_messages, [this]() -> QWidget* { return m_mainWindow; }, this);
    if (QCoreApplication* application = QCoreApplication::instance())
        application->installEventFilter(m_help);
    // The program's life is the modal run; closing its last window must not
    // end the event loops underneath.
    QGuiApplication::setQuitOnLastWindowClosed(false);
}

UpdaterApp::~UpdaterApp() {
    if (QCoreApplication* application = QCoreApplication::instance())
        application->removeEventFilter(m_help);
}

void UpdaterApp::preparePlatform() {
#ifdef Q_OS_WIN
    SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
#endif
}

int UpdaterApp::run() {
    startUp();
    runMainDialog();
    exitStep();
    return 0;
}

void UpdaterApp::startUp() {
    m_companyKey = QStringLiteral("Quorvane");
    m_store.setCompanyKey(m_companyKey);
    QCoreApplication::setOrganizationName(m_companyKey);
    m_recentFiles.LoadFromStore(m_store);
}

void UpdaterApp::runMainDialog() {
    // However the dialog ends, the same steps follow; its result is not used.
    // The dialog ends its upload job before it goes, so no worker outlives it.
    const std::unique_ptr<UpdateDialog> dialog = createMainDialog();
    m_mainWindow = dialog.get();
    dialog->exec();
    m_mainWindow = nullptr;
}

std::unique_ptr<UpdateDialog> UpdaterApp::createMainDialog() {
    auto dialog = std::make_unique<UpdateDialog>(
        m_engine, m_store, [this](const QString& path) { AddRecentFile(path); }, m_messages);
    dialog->setStartFile(m_startFile);
    return dialog;
}

void UpdaterApp::exitStep() {
    m_recentFiles.SaveToStore(m_store);
}

void UpdaterApp::AddRecentFile(const QString& path) {
    m_recentFiles.AddPath(path);
}
