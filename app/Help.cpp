#include "app/Help.h"

#include "ui/DialogTemplateDialog.h"
#include "ui/MessageSink.h"
#include "ui/ResourceIds.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QScopeGuard>

namespace {

// Whether a key sent to `widget` was pressed in one of our dialogs: its own
// pop-ups (drop-down lists, the window menu) count, other windows do not.
bool inOurDialog(const QWidget* widget) {
    for (const QWidget* w = widget; w; w = w->parentWidget()) {
        if (qobject_cast<const TemplateDialog*>(w))
            return true;
        if (w->isWindow() && w->windowType() != Qt::Popup)
            return false;
    }
    return false;
}

} // namespace

QString helpPagePath(const QString& executablePath) {
    const QFileInfo exe(executablePath);
    const QString page = exe.completeBaseName() + QStringLiteral(".html");
    QString beside = exe.absoluteDir().filePath(page);
    if (QFileInfo::exists(beside))
        return beside;
    QString installed =
        QDir::cleanPath(exe.absoluteDir().filePath(QStringLiteral("../share/zentavo-update/") + page));
    if (QFileInfo::exists(installed))
        return installed;
    return beside;
}

int helpTopicOf(const QWidget* widget) {
    for (const QWidget* w = widget; w; w = w->parentWidget()) {
        if (const auto* dialog = qobject_cast<const TemplateDialog*>(w))
            return kHelpTopicBase + dialog->templateId();
    }
    return 0;
}

int currentHelpTopic(QWidget* mainWindow, QWidget* keyTarget) {
    // The window most recently active over the main window: a pop-up, a
    // modal box of ours, or the main window itself.
    QWidget* popup = QApplication::activePopupWidget();
    if (!popup)
        popup = QApplication::activeModalWidget();
    if (!popup)
        popup = mainWindow;
    QWidget* focus = QApplication::focusWidget();
    if (!focus)
        focus = keyTarget;
    for (const QWidget* start : {QWidget::mouseGrabber(), focus, popup}) {
        if (const int topic = helpTopicOf(start))
            return topic;
    }
    return 0;
}

HelpRequest::HelpRequest(QString executablePath, MessageSink& messages, MainWindow mainWindow,
                         QObject* parent)
    : QObject(parent), m_executablePath(std::move(executablePath)), m_messages(messages),
      m_mainWindow(std::move(mainWindow)),
      m_launcher([](const QUrl& url) { return QDesktopServices::openUrl(url); }) {}

bool HelpRequest::run(QWidget* keyTarget) {
    m_running = true;
    const auto done = qScopeGuard([this] { m_running = false; });

    const int topic = currentHelpTopic(m_mainWindow ? m_mainWindow() : nullptr, keyTarget);
    if (QWidget* grabber = QWidget::mouseGrabber())
        grabber->releaseMouse();
    if (QWidget* popup = QApplication::activePopupWidget(); popup && inOurDialog(popup))
        popup->close();

    bool launched = false;
    {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        const auto restore = qScopeGuard([] { QApplication::restoreOverrideCursor(); });
        const QString page = helpPagePath(m_executablePath);
        if (QFileInfo::exists(page)) {
            QUrl url = QUrl::fromLocalFile(page);
            if (topic != 0)
                url.setFragment(QString::number(topic));
            launched = m_launcher && m_launcher(url);
        }
    }
    if (!launched)
        m_messages.showMessage(QStringLiteral("Failed to launch help."), MessageIcon::Exclamation);
    return launched;
}

bool HelpRequest::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress || !watched->isWidgetType())
        return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() != Qt::Key_F1 || !inOurDialog(static_cast<QWidget*>(watched)))
        return false;
    if (key->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier))
        return false;
    // F1 does nothing while an earlier request (or its failure box) is open.
    if (!m_running)
        run(static_cast<QWidget*>(watched));
    return true;
}
