#include "app/ShowMessage.h"

#include "app/UpdaterApp.h"

#include <QApplication>
#include <QMessageBox>

namespace {

MessageHook& messageHook() {
    static MessageHook hook;
    return hook;
}

QString messageCaption() {
    if (UpdaterApp* app = UpdaterApp::instance())
        return app->applicationName();
    return QCoreApplication::applicationName();
}

QMessageBox::Icon boxIcon(MessageIcon icon) {
    switch (icon) {
    case MessageIcon::Stop:
        return QMessageBox::Critical;
    case MessageIcon::Exclamation:
        return QMessageBox::Warning;
    case MessageIcon::Information:
        break;
    }
    return QMessageBox::Information;
}

} // namespace

QWidget* messageOwner() {
    UpdaterApp* app = UpdaterApp::instance();
    QWidget* main = app ? app->mainWindow() : nullptr;
    if (!main)
        return nullptr;
    QWidget* modal = QApplication::activeModalWidget();
    for (QWidget* widget = modal; widget; widget = widget->parentWidget()) {
        if (widget == main)
            return modal;
    }
    return main;
}

void setShowMessageHook(MessageHook hook) {
    messageHook() = std::move(hook);
}

void ShowMessage(const QString& text, MessageIcon icon, const QString& details) {
    const MessageRecord record{text, icon, messageCaption(), messageOwner(), details};
    if (const MessageHook& hook = messageHook()) {
        hook(record);
        return;
    }
    QMessageBox box(boxIcon(icon), record.caption, text, QMessageBox::Ok, record.owner);
    box.setObjectName(QStringLiteral("showMessageBox"));
    // Texts are shown exactly, trailing blanks included.
    box.setTextFormat(Qt::PlainText);
    if (!details.isEmpty())
        box.setDetailedText(details);
    box.exec();
}
