// A QDialog built from a DialogTemplate: fixed size from dialog units, one
// widget per control (object name "ctl<id>"), tab order as in the template,
// and the Windows dialog keyboard rules: Enter presses the focused push
// button, otherwise the default button, otherwise sends the OK command;
// Escape sends the cancel command. Every way of ending the dialog goes
// through done(), which asks canClose() first.
#pragma once

#include "ui/DialogTemplate.h"
#include "ui/DialogTemplateUnits.h"

#include <QDialog>
#include <QHash>
#include <QList>

class QMenu;
class QAction;

class TemplateDialog : public QDialog {
    Q_OBJECT
public:
    explicit TemplateDialog(const DialogTemplate& dialogTemplate, QWidget* parent = nullptr);
    ~TemplateDialog() override;

    int templateId() const { return m_template.resourceId; }
    const DialogTemplate& dialogTemplate() const { return m_template; }
    const DialogBaseUnits& baseUnits() const { return m_units; }

    // The control with that id, or null; statics (id -1) are reached through controls().
    QWidget* control(int id) const { return m_byId.value(id, nullptr); }
    template <class T> T* controlAs(int id) const { return qobject_cast<T*>(control(id)); }
    // Every control in template order.
    const QList<QWidget*>& controls() const { return m_controls; }

    // False while the dialog must not end (e.g. while a device is being flashed).
    virtual bool canClose() const { return !m_closingRefused; }
    void setClosingRefused(bool refused) { m_closingRefused = refused; }

    void done(int result) override;

    // Adds a separator and an item to the window menu (the system menu on
    // Windows); choosing it calls onSysCommand(command).
    void appendWindowMenuItem(const QString& text, int command);
    // Off Windows: the menu a right click on the background or Alt+Space opens.
    QMenu* windowMenu() const { return m_windowMenu; }
    void showWindowMenu(const QPoint& globalPos);

protected:
    // Command from a push button, Enter (OK) or Escape (cancel).
    virtual void onCommand(int id);
    // A window-menu command appended through appendWindowMenuItem.
    virtual void onSysCommand(int command);

    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
#ifdef Q_OS_WIN
    bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;
#endif

private:
    QWidget* createControl(const ControlTemplate& control);
    void buildWindowMenu();

    const DialogTemplate& m_template;
    DialogBaseUnits m_units;
    QList<QWidget*> m_controls;
    QHash<int, QWidget*> m_byId;
    QList<int> m_sysCommands;
    QMenu* m_windowMenu = nullptr;
    bool m_closingRefused = false;
};
