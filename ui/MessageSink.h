// Where the updater's messages go: a fixed text and an icon, answered only by
// dismissing it, with details that may be looked at (an upload's result for
// each device). The program shows a message box, the details behind its
// "Show Details..." button; a caller without a window may print them instead.
#pragma once

#include <QString>

enum class MessageIcon { Stop, Exclamation, Information };

class MessageSink {
public:
    virtual ~MessageSink() = default;
    // Returns once the message has been taken in (a box: once it is closed).
    virtual void showMessage(const QString& text, MessageIcon icon, const QString& details = QString()) = 0;
};
