#include "ui/DialogTemplateDialog.h"

#include "ui/AppIcon.h"
#include "ui/ResourceIds.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QValidator>

#ifdef Q_OS_WIN
#    define NOMINMAX
#    define WIN32_LEAN_AND_MEAN
#    include <windows.h>
#else
#    include <climits>
#endif

namespace {

// Longest path the file chooser can hand back: the box never cuts one.
#ifdef Q_OS_WIN
constexpr int kMaxPathLength = 259;
#else
constexpr int kMaxPathLength = PATH_MAX - 1; // PATH_MAX counts the terminating zero
#endif

// A push button whose text sits at the left edge, as BS_LEFT draws it.
class LeftAlignedButton : public QPushButton {
public:
    using QPushButton::QPushButton;

protected:
    void paintEvent(QPaintEvent*) override {
        QStylePainter painter(this);
        QStyleOptionButton option;
        initStyleOption(&option);
        const QString label = option.text;
        option.text.clear();
        painter.drawControl(QStyle::CE_PushButton, option);
        QRect textRect = style()->subElementRect(QStyle::SE_PushButtonContents, &option, this);
        textRect.adjust(2, 0, 0, 0);
        if (isDown())
            textRect.translate(style()->pixelMetric(QStyle::PM_ButtonShiftHorizontal, &option, this),
                               style()->pixelMetric(QStyle::PM_ButtonShiftVertical, &option, this));
        painter.drawItemText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextShowMnemonic, palette(),
                             isEnabled(), label, QPalette::ButtonText);
    }
};

// A group frame drawn the Windows way: an etched line whose top runs through
// the middle of the title, so the template's spacing inside the group holds.
class GroupFrame : public QGroupBox {
public:
    using QGroupBox::QGroupBox;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const QFontMetrics metrics = fontMetrics();
        const QRect frame = rect().adjusted(0, metrics.height() / 2 - 1, -1, -1);
        painter.setPen(palette().color(QPalette::Light));
        painter.drawRect(frame.adjusted(1, 1, 0, 0));
        painter.setPen(palette().color(QPalette::Mid));
        painter.drawRect(frame.adjusted(0, 0, -1, -1));
        if (title().isEmpty())
            return;
        QRect text(7, 0, metrics.horizontalAdvance(title()) + 2, metrics.height());
        text = text.intersected(rect().adjusted(0, 0, -7, 0));
        painter.fillRect(text, palette().color(QPalette::Window));
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawText(text.adjusted(1, 0, 0, 0), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                         title());
    }
};

// An edit without automatic horizontal scrolling: typing stops once the text
// fills the visible width. Shortening is always allowed, and text put in by
// the program is not checked, so a long path still shows (clipped).
class FitWidthValidator : public QValidator {
public:
    explicit FitWidthValidator(QLineEdit* edit) : QValidator(edit), m_edit(edit) {
        connect(edit, &QLineEdit::textChanged, this, [this](const QString& text) { m_length = text.size(); });
    }

    State validate(QString& input, int&) const override {
        if (input.size() <= m_length)
            return Acceptable;
        const QMargins margins = m_edit->textMargins();
        // QLineEdit keeps a 2-pixel margin each side and one pixel for the cursor.
        const int room = m_edit->contentsRect().width() - margins.left() - margins.right() - 5;
        return m_edit->fontMetrics().horizontalAdvance(input) <= room ? Acceptable : Invalid;
    }

private:
    QLineEdit* m_edit;
    qsizetype m_length = 0;
};

Qt::WindowFlags windowFlagsFor(std::uint32_t style) {
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint;
    if (style & DlgStyle::Caption)
        flags |= Qt::WindowTitleHint;
    if (style & DlgStyle::SysMenu)
        flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (style & DlgStyle::MinimizeBox)
        flags |= Qt::WindowMinimizeButtonHint;
    if (style & DlgStyle::MaximizeBox)
        flags |= Qt::WindowMaximizeButtonHint;
    return flags;
}

} // namespace

TemplateDialog::TemplateDialog(const DialogTemplate& dialogTemplate, QWidget* parent)
    : QDialog(parent), m_template(dialogTemplate) {
    setObjectName(QStringLiteral("dlg%1").arg(m_template.resourceId));
    setWindowFlags(windowFlagsFor(m_template.style));
    setWindowTitle(QString::fromLatin1(m_template.title));
    // The platform substitutes its own face for the one asked for; the units
    // follow whatever font it picked, so the layout keeps its proportions.
    setFont(QFont(QString::fromLatin1(m_template.fontName), m_template.pointSize));
    m_units = dialogBaseUnits(font());
    setFixedSize(dialogXToPixels(m_units, m_template.cx), dialogYToPixels(m_units, m_template.cy));

    for (const ControlTemplate& control : m_template.controls) {
        QWidget* widget = createControl(control);
        m_controls.append(widget);
        if (control.id != kStaticId)
            m_byId.insert(control.id, widget);
    }

    // Group boxes only frame; they stay behind and let clicks through.
    for (QWidget* widget : m_controls) {
        if (qobject_cast<QGroupBox*>(widget))
            widget->lower();
    }

    QWidget* previous = nullptr;
    QWidget* first = nullptr;
    for (int i = 0; i < m_controls.size(); ++i) {
        if (!(m_template.controls[static_cast<std::size_t>(i)].style & CtlStyle::TabStop))
            continue;
        QWidget* widget = m_controls[i];
        if (previous)
            QWidget::setTabOrder(previous, widget);
        else
            first = widget;
        previous = widget;
    }
    if (first)
        first->setFocus(Qt::OtherFocusReason);

    if (m_template.style & DlgStyle::SysMenu)
        buildWindowMenu();
}

TemplateDialog::~TemplateDialog() = default;

QWidget* TemplateDialog::createControl(const ControlTemplate& control) {
    const QString text = QString::fromLatin1(control.text);
    QRect rect = dialogRectToPixels(m_units, control.x, control.y, control.cx, control.cy);
    QWidget* widget = nullptr;

    switch (control.kind) {
    case ControlKind::PushButton: {
        QPushButton* button = (control.style & CtlStyle::TextLeft) ? new LeftAlignedButton(text, this)
                                                                   : new QPushButton(text, this);
        button->setAutoDefault(false);
        button->setDefault((control.style & CtlStyle::DefaultButton) != 0);
        connect(button, &QPushButton::clicked, this, [this, id = control.id] { onCommand(id); });
        widget = button;
        break;
    }
    case ControlKind::CheckBox: {
        auto* box = new QCheckBox(text, this);
        connect(box, &QCheckBox::clicked, this, [this, id = control.id] { onCommand(id); });
        widget = box;
        break;
    }
    case ControlKind::ComboBox: {
        auto* combo = new QComboBox(this);
        combo->setEditable((control.style & CtlStyle::DropDown) != 0);
        combo->setInsertPolicy(QComboBox::NoInsert);
        combo->setDuplicatesEnabled(true);
        if (QLineEdit* edit = combo->lineEdit()) {
            combo->setCompleter(nullptr);
            edit->setMaxLength(kMaxPathLength);
            if (!(control.style & CtlStyle::AutoHScroll))
                edit->setValidator(new FitWidthValidator(edit));
        }
        // The template height is the dropped-down extent; the closed box is
        // as tall as its font needs.
        const int closedHeight = combo->sizeHint().height();
        const int itemHeight = qMax(1, combo->fontMetrics().height());
        combo->setMaxVisibleItems(qMax(1, (rect.height() - closedHeight) / itemHeight));
        rect.setHeight(closedHeight);
        widget = combo;
        break;
    }
    case ControlKind::ListBox: {
        auto* list = new QListWidget(this);
        list->setSelectionMode((control.style & CtlStyle::ExtendedSel) ? QAbstractItemView::ExtendedSelection
                                                                       : QAbstractItemView::SingleSelection);
        list->setSortingEnabled((control.style & CtlStyle::Sorted) != 0);
        list->setVerticalScrollBarPolicy((control.style & CtlStyle::VScroll) ? Qt::ScrollBarAsNeeded
                                                                             : Qt::ScrollBarAlwaysOff);
        list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        list->setUniformItemSizes(true);
        if (!(control.style & CtlStyle::Border))
            list->setFrameShape(QFrame::NoFrame);
        widget = list;
        break;
    }
    case ControlKind::Edit: {
        auto* edit = new QLineEdit(text, this);
        edit->setReadOnly((control.style & CtlStyle::ReadOnly) != 0);
        edit->setFrame((control.style & CtlStyle::Border) != 0);
        if (edit->isReadOnly()) {
            // Read-only edits show the dialog's face colour, not the input colour.
            QPalette palette = edit->palette();
            palette.setColor(QPalette::Base, palette.color(QPalette::Window));
            edit->setPalette(palette);
        }
        widget = edit;
        break;
    }
    case ControlKind::ProgressBar: {
        auto* bar = new QProgressBar(this);
        bar->setTextVisible(false);
        bar->setRange(0, 100);
        bar->setValue(0);
        widget = bar;
        break;
    }
    case ControlKind::GroupBox: {
        auto* group = new GroupFrame(text, this);
        group->setAttribute(Qt::WA_TransparentForMouseEvents);
        group->setFocusPolicy(Qt::NoFocus);
        widget = group;
        break;
    }
    case ControlKind::Label: {
        auto* label = new QLabel(text, this);
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        widget = label;
        break;
    }
    case ControlKind::Icon: {
        auto* label = new QLabel(this);
        // A static icon takes the icon's own size, whatever the template says.
        label->setPixmap(applicationIcon().pixmap(QSize(32, 32)));
        label->setAccessibleName(tr("Application icon"));
        rect.setSize(QSize(32, 32));
        widget = label;
        break;
    }
    }

    widget->setGeometry(rect);
    // Screen readers name a control by its text; those without one are named by their dialog.
    if (!text.isEmpty() && control.kind != ControlKind::Icon)
        widget->setAccessibleName(QString(text).remove(QLatin1Char('&')));
    if (control.id != kStaticId)
        widget->setObjectName(QStringLiteral("ctl%1").arg(control.id));
    else
        widget->setObjectName(QStringLiteral("static%1").arg(m_controls.size()));
    // Without a tab stop a control can still take the focus by a click.
    if (!(control.style & CtlStyle::TabStop) && (widget->focusPolicy() & Qt::TabFocus))
        widget->setFocusPolicy(Qt::ClickFocus);
    return widget;
}

void TemplateDialog::done(int result) {
    if (!canClose())
        return;
    QDialog::done(result);
}

void TemplateDialog::onCommand(int id) {
    if (id == kIdOk)
        accept();
    else if (id == kIdCancel)
        reject();
}

void TemplateDialog::onSysCommand(int) {}

void TemplateDialog::keyPressEvent(QKeyEvent* event) {
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    if (modifiers == Qt::NoModifier) {
        switch (event->key()) {
        case Qt::Key_Escape:
            onCommand(kIdCancel);
            return;
        case Qt::Key_Return:
        case Qt::Key_Enter: {
            // A focused push button takes Enter for itself.
            if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
                if (button->isEnabled())
                    button->click();
                return;
            }
            for (QWidget* widget : std::as_const(m_controls)) {
                auto* button = qobject_cast<QPushButton*>(widget);
                if (button && button->isDefault()) {
                    if (button->isEnabled() && button->isVisible())
                        button->click();
                    return;
                }
            }
            onCommand(kIdOk);
            return;
        }
        default:
            break;
        }
    }
    QDialog::keyPressEvent(event);
}

// ---- window menu ----------------------------------------------------------

#ifdef Q_OS_WIN

void TemplateDialog::buildWindowMenu() {}

void TemplateDialog::appendWindowMenuItem(const QString& text, int command) {
    if (text.isEmpty())
        return;
    HMENU menu = GetSystemMenu(reinterpret_cast<HWND>(winId()), FALSE);
    if (!menu)
        return;
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, static_cast<UINT_PTR>(command), reinterpret_cast<LPCWSTR>(text.utf16()));
    m_sysCommands.append(command);
}

void TemplateDialog::showWindowMenu(const QPoint&) {}

void TemplateDialog::contextMenuEvent(QContextMenuEvent* event) {
    QDialog::contextMenuEvent(event);
}

bool TemplateDialog::eventFilter(QObject* watched, QEvent* event) {
    return QDialog::eventFilter(watched, event);
}

bool TemplateDialog::nativeEvent(const QByteArray& eventType, void* message, qintptr* result) {
    if (eventType == "windows_generic_MSG") {
        const MSG* msg = static_cast<const MSG*>(message);
        if (msg->message == WM_SYSCOMMAND) {
            // The system uses the low four bits of the command internally.
            const int command = static_cast<int>(msg->wParam & 0xFFF0);
            if (m_sysCommands.contains(command)) {
                onSysCommand(command);
                *result = 0;
                return true;
            }
        }
    }
    return QDialog::nativeEvent(eventType, message, result);
}

#else

// Other platforms have no system menu to extend, so the dialog carries its
// own: "Close", then whatever appendWindowMenuItem adds.
void TemplateDialog::buildWindowMenu() {
    m_windowMenu = new QMenu(this);
    m_windowMenu->setObjectName(QStringLiteral("windowMenu"));
    QAction* close = m_windowMenu->addAction(tr("&Close"));
    close->setShortcut(QKeySequence(Qt::ALT | Qt::Key_F4));
    close->setShortcutVisibleInContextMenu(true);
    connect(close, &QAction::triggered, this, &QWidget::close);

    // Alt+Space as on Windows; Shift+F10 and the Menu key for desktops whose
    // window manager takes Alt+Space for itself.
    // The platform turns the Menu key into a context menu for the focused
    // control as well (an edit's Cut/Copy/Paste): here that key is the window menu's.
    for (QWidget* child : findChildren<QWidget*>())
        child->installEventFilter(this);
    for (const QKeyCombination keys :
         {Qt::ALT | Qt::Key_Space, Qt::SHIFT | Qt::Key_F10, QKeyCombination(Qt::Key_Menu)}) {
        auto* shortcut = new QShortcut(QKeySequence(keys), this);
        connect(shortcut, &QShortcut::activated, this, [this] { showWindowMenu(mapToGlobal(QPoint(0, 0))); });
    }
}

void TemplateDialog::appendWindowMenuItem(const QString& text, int command) {
    if (text.isEmpty() || !m_windowMenu)
        return;
    m_windowMenu->addSeparator();
    QAction* action = m_windowMenu->addAction(text);
    action->setData(command);
    connect(action, &QAction::triggered, this, [this, command] { onSysCommand(command); });
    m_sysCommands.append(command);
}

void TemplateDialog::showWindowMenu(const QPoint& globalPos) {
    if (m_windowMenu)
        m_windowMenu->popup(globalPos);
}

bool TemplateDialog::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ContextMenu &&
        static_cast<QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Keyboard)
        return true;
    return QDialog::eventFilter(watched, event);
}

void TemplateDialog::contextMenuEvent(QContextMenuEvent* event) {
    // Only the dialog's background (labels and group frames count as such).
    QWidget* child = childAt(event->pos());
    if (m_windowMenu && (!child || qobject_cast<QLabel*>(child))) {
        showWindowMenu(event->globalPos());
        event->accept();
        return;
    }
    event->ignore();
}

#endif
