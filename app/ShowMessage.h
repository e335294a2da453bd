// The one message box of the program: a text, an icon and a single OK button.
// The caption is always the application name; the owner is the modal window
// most recently active over the main window, else the main window itself, and
// none without a main window. Callable from any thread: off the GUI thread the
// box is shown on the GUI thread and the call returns once it is closed.
#pragma once

#include <QString>

#include <functional>

class QObject;
class QWidget;

enum class MessageIcon { Stop, Exclamation, Information };

void ShowMessage(const QString& text, MessageIcon icon);

// The owner a box would get now (GUI thread only).
QWidget* messageOwner();

// What a box would have shown; handed to the hook instead of showing one.
struct MessageRecord {
    QString text;
    MessageIcon icon = MessageIcon::Information;
    QString caption;
    QWidget* owner = nullptr;
};

// Called once by the application object on the GUI thread: from then on
// other threads reach the GUI thread through an object owned by `guiThreadParent`.
void installMessageRelay(QObject* guiThreadParent);

// Tests replace the box with a hook, run on the GUI thread; an empty hook
// restores real boxes. Set it from the GUI thread.
using MessageHook = std::function<void(const MessageRecord&)>;
void setShowMessageHook(MessageHook hook);
