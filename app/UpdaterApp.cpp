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

UpdaterApp* g_instance = nullptr;

} // namespace

UpdaterApp::UpdaterApp(const QString& executablePath, QObject* parent)
    : QObject(parent), m_recentFiles(CRecentFileList::programRecord()) {
    Q_ASSERT(!g_instance);
    g_instance = this;

    const QFileInfo exe(executablePath.isEmpty() ? QCoreApplication::applicationFilePath() : executablePath);
    m_executablePath = exe.absoluteFilePath();
    // "fwtool.exe" is named "fwtool": the file name without its extension.
    m_applicationName = exe.completeBaseName();
    m_store.setApplicationKey(m_applicationName);
    QCoreApplication::setApplicationName(m_applicationName);

    m_help = new HelpRequest(m_executablePath, this);
    if (QCoreApplication* application = QCoreApplication::instance())
        application->installEventFilter(m_help);
    // The program's life is the modal run; closing its last window must not
    // end the event loops underneath.
    QGuiApplication::setQuitOnLastWindowClosed(false);
}

UpdaterApp::~UpdaterApp() {
    if (QCoreApplication* application = QCoreApplication::instance())
        application->removeEventFilter(m_help);
    g_instance = nullptr;
}

UpdaterApp* UpdaterApp::instance() {
    return g_instance;
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
