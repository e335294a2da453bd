#include "app/ShowMessage.h"

#include <QApplication>
#include <QGridLayout>
#include <QMessageBox>
#include <QTextEdit>

#include <algorithm>

namespace {

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

QWidget* ShowMessageSink::owner() const {
    QWidget* main = m_mainWindow ? m_mainWindow() : nullptr;
    if (!main)
        return nullptr;
    QWidget* modal = QApplication::activeModalWidget();
    for (QWidget* widget = modal; widget; widget = widget->parentWidget()) {
        if (widget == main)
            return modal;
    }
    return main;
}

void ShowMessageSink::showMessage(const QString& text, MessageIcon icon, const QString& details) {
    const MessageRecord record{text, icon, m_caption, owner(), details};
    if (m_presenter) {
        m_presenter(record);
        return;
    }
    QMessageBox box(boxIcon(icon), record.caption, text, QMessageBox::Ok, record.owner);
    box.setObjectName(QStringLiteral("showMessageBox"));
    // Texts are shown exactly, trailing blanks included.
    box.setTextFormat(Qt::PlainText);
    if (!details.isEmpty()) {
        box.setDetailedText(details);
        // One line per device, not wrapped: the box is made wide enough for the longest
        // from the start, so that it opens centred rather than growing off its owner.
        auto* view = box.findChild<QTextEdit*>();
        auto* grid = qobject_cast<QGridLayout*>(box.layout());
        if (view && grid) {
            int widest = 0;
            for (const QString& line : details.split(QLatin1Char('\n')))
                widest = std::max(widest, view->fontMetrics().horizontalAdvance(line));
            view->setLineWrapMode(QTextEdit::NoWrap);
            const int width = std::min(widest + 2 * view->frameWidth() + 40, 760);
            grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                          grid->rowCount(), 0, 1, grid->columnCount());
        }
    }
    box.exec();
}
