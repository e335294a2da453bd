// The one message box of the program: a text, an icon and a single OK button,
// and details behind "Show Details..." when there are any. The application
// builds one sink and hands it to everything that shows a box.
// The caption is always the application name; the owner is the modal window
// most recently active over the main window, else the main window itself, and
// none without a main window. GUI thread only.
#pragma once

#include "ui/MessageSink.h"

#include <QString>

#include <functional>

class QWidget;

// What a box shows, and over which window.
struct MessageRecord {
    QString text;
    MessageIcon icon = MessageIcon::Information;
    QString caption;
    QWidget* owner = nullptr;
    QString details;
};

class ShowMessageSink final : public MessageSink {
public:
    using MainWindow = std::function<QWidget*()>;
    // Shows the box and returns when it is closed; tests record instead.
    using Presenter = std::function<void(const MessageRecord&)>;

    ShowMessageSink(QString caption, MainWindow mainWindow)
        : m_caption(std::move(caption)), m_mainWindow(std::move(mainWindow)) {}

    void showMessage(const QString& text, MessageIcon icon, const QString& details = QString()) override;

    // The owner a box would get now.
    QWidget* owner() const;

    // An empty presenter shows real boxes.
    void setPresenter(Presenter presenter) { m_presenter = std::move(presenter); }

private:
    QString m_caption;
    MainWindow m_mainWindow;
    Presenter m_presenter;
};
