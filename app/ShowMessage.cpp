#include "ShowMessage.h"

#include "GuiHandOver.h"
#include "UpdaterApp.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>

#include <atomic>

namespace {

// Touched on the GUI thread only.
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

void showOnGuiThread(const QString& text, MessageIcon icon) {
    const MessageRecord record{text, icon, messageCaption(), messageOwner()};
    if (const MessageHook& hook = messageHook()) {
        hook(record);
        return;
    }
    QMessageBox box(boxIcon(icon), record.caption, text, QMessageBox::Ok, record.owner);
    box.setObjectName(QStringLiteral("showMessageBox"));
    // Texts are shown exactly, trailing blanks included.
    box.setTextFormat(Qt::PlainText);
    box.exec();
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

// Boxes asked for by other threads, shown one at a time on the GUI thread.
// The worker waits through the same blocking hand-over the upload job uses for
// everything it puts on screen, so no Qt event is made off the GUI thread.
class MessageRelay : public GuiHandOver {
public:
    explicit MessageRelay(QObject* parent) : GuiHandOver(parent) { s_current.store(this); }
    ~MessageRelay() override {
        MessageRelay* self = this;
        s_current.compare_exchange_strong(self, nullptr);
    }

    static MessageRelay* current() { return s_current.load(); }

    // Worker side: returns once the box has been closed.
    void show(const QString& text, MessageIcon icon) {
        call([&text, icon] { showOnGuiThread(text, icon); });
    }

private:
    static inline std::atomic<MessageRelay*> s_current{nullptr};
};

void installMessageRelay(QObject* guiThreadParent) {
    new MessageRelay(guiThreadParent);
}

void ShowMessage(const QString& text, MessageIcon icon) {
    QCoreApplication* application = QCoreApplication::instance();
    if (!application)
        return;
    if (QThread::currentThread() == application->thread()) {
        showOnGuiThread(text, icon);
        return;
    }
    // The worker waits here until the technician has closed the box.
    if (MessageRelay* relay = MessageRelay::current()) {
        relay->show(text, icon);
        return;
    }
    QMetaObject::invokeMethod(
        application, [&text, icon] { showOnGuiThread(text, icon); }, Qt::BlockingQueuedConnection);
}

