// The help key: F1 without Shift, Ctrl or Alt in one of the program's dialogs
// opens the help page at the anchor of the dialog's topic (131072 plus its
// template number). The page sits next to the executable as
// <application name>.html, or in the installed share folder.
#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>

class MessageSink;
class QWidget;

// Where the help page would be for this executable: next to it if present,
// else <exe dir>/../share/zentavo-update/, else (missing) next to it again.
QString helpPagePath(const QString& executablePath);

// The topic of the first of our dialogs reached from `widget` through its
// parents and owners; 0 when none is.
int helpTopicOf(const QWidget* widget);

// The topic now: the mouse grabber, then the focus widget (`keyTarget` when
// no window of ours is active), then the window most recently active over
// `mainWindow`, each with its parents and owners.
int currentHelpTopic(QWidget* mainWindow, QWidget* keyTarget = nullptr);

class HelpRequest : public QObject {
    Q_OBJECT
public:
    using Launcher = std::function<bool(const QUrl&)>;
    using MainWindow = std::function<QWidget*()>;

    HelpRequest(QString executablePath, MessageSink& messages, MainWindow mainWindow,
                QObject* parent = nullptr);

    // Replaces the desktop launcher (tests record the URL instead).
    void setLauncher(Launcher launcher) { m_launcher = std::move(launcher); }

    // The Help command. False when the help could not be launched (the
    // technician has then seen "Failed to launch help.").
    bool run(QWidget* keyTarget = nullptr);
    bool isRunning() const { return m_running; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QString m_executablePath;
    MessageSink& m_messages;
    MainWindow m_mainWindow;
    Launcher m_launcher;
    bool m_running = false;
};
