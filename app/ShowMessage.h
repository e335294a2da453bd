// The one message box of the program: a text, an icon and a single OK button,
// and details behind "Show Details..." when there are any.
// The caption is always the application name; the owner is the modal window
// most recently active over the main window, else the main window itself, and
// none without a main window. GUI thread only.
#pragma once

#include "core/MessageSink.h"

#include <QString>

#include <functional>

class QWidget;

void ShowMessage(const QString& text, MessageIcon icon, const QString& details = QString());

// The owner a box would get now.
QWidget* messageOwner();

// ShowMessage as the sink the application hands to the dialog.
class ShowMessageSink final : public MessageSink {
public:
    void showMessage(const QString& text, MessageIcon icon, const QString& details = QString()) override {
        ShowMessage(text, icon, details);
    }
};

// What a box would have shown; handed to the hook instead of showing one.
struct MessageRecord {
    QString text;
    MessageIcon icon = MessageIcon::Information;
    QString caption;
    QWidget* owner = nullptr;
    QString details;
};

// Tests replace the box with a hook; an empty hook restores real boxes.
using MessageHook = std::function<void(const MessageRecord&)>;
void setShowMessageHook(MessageHook hook);
