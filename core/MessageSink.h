// Where the updater's messages go: a fixed text and an icon, answered only by
// dismissing it. The program shows a message box; a caller without a window
// may print the text instead.
#pragma once

#include <QString>

enum class MessageIcon { Stop, Exclamation, Information };

class MessageSink {
public:
    virtual ~MessageSink() = default;
    // Returns once the message has been taken in (a box: once it is closed).
    virtual void showMessage(const QString& text, MessageIcon icon) = 0;
};
