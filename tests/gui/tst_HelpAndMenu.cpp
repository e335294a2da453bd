// F1 in both dialogs (topic anchors, modifiers, the failure box and F1 while
// it is open), the window menu with its About item (right click, Alt+Space,
// Close) and the About box's ways to close.
#include "GuiTestSupport.h"

#include "AboutDialog.h"
#include "DialogTemplates.h"
#include "Help.h"
#include "ResourceIds.h"
#include "ShowMessage.h"
#include "UpdateDialog.h"

#include <QAction>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>

class HelpAndMenuTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestApp> m_t;
    QList<QUrl> m_urls;
    bool m_launchResult = true;
    QList<MessageRecord> m_messages;

    QUrl expectedUrl(int topic) const {
        QUrl url = QUrl::fromLocalFile(QDir(m_t->dir()).filePath("fwtool.html"));
        url.setFragment(QString::number(topic));
        return url;
    }

private slots:
    void init() {
        fakedll::reset();
        m_t = std::make_unique<TestApp>("fwtool.exe");
        m_t->app().startUp();
        m_urls.clear();
        m_messages.clear();
        m_launchResult = true;
        m_t->app().help().setLauncher([this](const QUrl& url) {
            m_urls.append(url);
            return m_launchResult;
        });
        setShowMessageHook([this](const MessageRecord& record) { m_messages.append(record); });
    }
    void cleanup() {
        setShowMessageHook({});
        m_t.reset();
    }

    void f1InMainDialog_data() {
        QTest::addColumn<int>("focusId");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<bool>("asks");
        for (int id : {IDC_REFRESH, IDC_FILE_BOX, IDC_DEVICE_LIST, IDC_USE_COM1, IDC_INFO_LINE, kIdCancel})
            QTest::addRow("F1 on %d", id) << id << int(Qt::NoModifier) << true;
        QTest::newRow("keypad F1") << IDC_REFRESH << int(Qt::KeypadModifier) << true;
        QTest::newRow("Shift+F1") << IDC_REFRESH << int(Qt::ShiftModifier) << false;
        QTest::newRow("Ctrl+F1") << IDC_FILE_BOX << int(Qt::ControlModifier) << false;
        QTest::newRow("Alt+F1") << IDC_DEVICE_LIST << int(Qt::AltModifier) << false;
    }
    void f1InMainDialog() {
        QFETCH(int, focusId);
        QFETCH(int, modifiers);
        QFETCH(bool, asks);
        UpdateDialog dialog;
        m_t->app().setMainWindow(&dialog);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        dialog.control(focusId)->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), dialog.control(focusId));

        QTest::keyClick(QApplication::focusWidget(), Qt::Key_F1, Qt::KeyboardModifiers(modifiers));
        if (asks)
            QCOMPARE(m_urls, QList<QUrl>({expectedUrl(131174)}));
        else
            QVERIFY(m_urls.isEmpty());
        QVERIFY(m_messages.isEmpty());
        QVERIFY(dialog.isVisible());
        QVERIFY(!QApplication::overrideCursor()); // the wait cursor is gone again
    }

    void f1InAboutBox() {
        UpdateDialog dialog;
        m_t->app().setMainWindow(&dialog);
        dialog.show();
        QString seen;
        onNextModal("AboutDialog", [&](QWidget* about) {
            seen = about->windowTitle();
            QTest::keyClick(about->findChild<QPushButton*>(), Qt::Key_F1);
            QTest::keyClick(about->findChild<QPushButton*>(), Qt::Key_F1, Qt::ShiftModifier);
            QTest::keyClick(about, Qt::Key_Escape);
        });
        dialog.runAboutBox();
        QCOMPARE(seen, QString("About ZentavoDiag"));
        QCOMPARE(m_urls, QList<QUrl>({expectedUrl(131172)}));
        // Back in the main dialog its own topic answers.
        QTest::keyClick(dialog.control(IDC_REFRESH), Qt::Key_F1);
        QCOMPARE(m_urls.size(), 2);
        QCOMPARE(m_urls.last().fragment(), QString("131174"));
    }

    void helpFailureShowsMessage_data() {
        QTest::addColumn<bool>("pagePresent");
        QTest::newRow("desktop cannot open the page") << true;
        QTest::newRow("page missing") << false;
    }
    void helpFailureShowsMessage() {
        QFETCH(bool, pagePresent);
        if (!pagePresent)
            QVERIFY(QFile::remove(QDir(m_t->dir()).filePath("fwtool.html")));
        m_launchResult = false;
        UpdateDialog dialog;
        m_t->app().setMainWindow(&dialog);
        dialog.show();
        QTest::keyClick(dialog.control(IDC_REFRESH), Qt::Key_F1);
        QCOMPARE(m_urls.size(), pagePresent ? 1 : 0);
        QCOMPARE(m_messages.size(), 1);
        QCOMPARE(m_messages[0].text, QString("Failed to launch help."));
        QVERIFY(m_messages[0].icon == MessageIcon::Exclamation);
        QCOMPARE(m_messages[0].caption, QString("fwtool"));
        QCOMPARE(m_messages[0].owner, &dialog);
    }

    // The page is looked for in the install layout when it is not beside the executable.
    void helpPageFallsBackToSharedFolder() {
        const QString beside = QDir(m_t->dir()).filePath("fwtool.html");
        QCOMPARE(helpPagePath(m_t->exePath()), beside);
        QVERIFY(QFile::remove(beside));
        QCOMPARE(helpPagePath(m_t->exePath()), beside); // missing: still named, launch fails
        QTemporaryDir root;
        QVERIFY(QDir(root.path()).mkpath("bin"));
        QVERIFY(QDir(root.path()).mkpath("share/zentavo-update"));
        const QString shared = root.filePath("share/zentavo-update/fwtool.html");
        QFile(shared).open(QIODevice::WriteOnly);
        QCOMPARE(helpPagePath(root.filePath("bin/fwtool.exe")), shared);
    }

    void f1DoesNothingWhileFailureBoxIsOpen() {
        setShowMessageHook({}); // the real box
        m_launchResult = false;
        UpdateDialog dialog;
        m_t->app().setMainWindow(&dialog);
        dialog.show();
        QString boxText;
        QString caption;
        onNextModal("QMessageBox", [&](QWidget* widget) {
            auto* box = static_cast<QMessageBox*>(widget);
            boxText = box->text();
            caption = box->windowTitle();
            QTest::keyClick(box, Qt::Key_F1);
            QTest::keyClick(dialog.control(IDC_REFRESH), Qt::Key_F1); // even sent past the modal box
            QTest::keyClick(box, Qt::Key_Return);
        });
        QTest::keyClick(dialog.control(IDC_REFRESH), Qt::Key_F1);
        QCOMPARE(boxText, QString("Failed to launch help."));
        QCOMPARE(caption, QString("fwtool"));
        QCOMPARE(m_urls.size(), 1);

        // Once it is closed F1 works again.
        m_launchResult = true;
        QTest::keyClick(dialog.control(IDC_REFRESH), Qt::Key_F1);
        QCOMPARE(m_urls.size(), 2);
    }

    void windowMenuOpensAboutBox_data() {
        QTest::addColumn<bool>("byKeyboard");
        QTest::newRow("right click on the background") << false;
        QTest::newRow("Alt+Space") << true;
    }
    void windowMenuOpensAboutBox() {
#ifdef Q_OS_WIN
        QSKIP("there the About item is in the system menu");
#endif
        QFETCH(bool, byKeyboard);
        UpdateDialog dialog;
        m_t->app().setMainWindow(&dialog);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QMenu* menu = dialog.windowMenu();
        QVERIFY(menu);
        QVERIFY(!menu->isVisible());

        if (byKeyboard) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space, Qt::AltModifier);
        } else {
            // Inside the "Network Devices" frame, clear of any control.
            const QPoint background(dialog.width() - 6, dialog.height() / 3);
            QCOMPARE(dialog.childAt(background), nullptr);
            QTest::mouseClick(dialog.windowHandle(), Qt::RightButton, {}, background);
        }
        QTRY_VERIFY(menu->isVisible());
        const QList<QAction*> actions = menu->actions();
        QVERIFY(actions.size() >= 2);
        QCOMPARE(actions.last()->text(), QString("&About ZentavoDiag..."));
        QVERIFY(actions[actions.size() - 2]->isSeparator());

        QString seen;
        onNextModal("AboutDialog", [&](QWidget* about) {
            seen = about->windowTitle();
            QTest::mouseClick(about->findChild<QPushButton*>(), Qt::LeftButton);
        });
        QTest::keyClick(menu, Qt::Key_A); // the item's mnemonic
        QCOMPARE(seen, QString("About ZentavoDiag"));
        QVERIFY(dialog.isVisible());
        QVERIFY(!menu->isVisible());
    }

    void windowMenuOnlyOnBackground() {
#ifdef Q_OS_WIN
        QSKIP("there the system menu is the window menu");
#endif
        UpdateDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QWidget* list = dialog.control(IDC_DEVICE_LIST);
        QTest::mouseClick(dialog.windowHandle(), Qt::RightButton, {}, list->geometry().center());
        QTest::qWait(20);
        QVERIFY(!dialog.windowMenu()->isVisible());

        // Escape closes the menu, not the dialog; "Close" closes the dialog.
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space, Qt::AltModifier);
        QTRY_VERIFY(dialog.windowMenu()->isVisible());
        QTest::keyClick(dialog.windowMenu(), Qt::Key_Escape);
        QTRY_VERIFY(!dialog.windowMenu()->isVisible());
        QVERIFY(dialog.isVisible());
        QSignalSpy finished(&dialog, &QDialog::finished);
        dialog.windowMenu()->actions().first()->trigger();
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.first().first().toInt(), int(QDialog::Rejected));
    }

    void aboutBoxCloses_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("expected");
        QTest::newRow("OK") << "click" << int(QDialog::Accepted);
        QTest::newRow("Enter") << "enter" << int(QDialog::Accepted);
        QTest::newRow("Enter on the box itself") << "enter-dialog" << int(QDialog::Accepted);
        QTest::newRow("Escape") << "escape" << int(QDialog::Rejected);
        QTest::newRow("close box") << "close" << int(QDialog::Rejected);
    }
    void aboutBoxCloses() {
        QFETCH(QString, how);
        QFETCH(int, expected);
        UpdateDialog dialog;
        AboutDialog about(&dialog);
        QSignalSpy finished(&about, &QDialog::finished);
        about.show();
        QVERIFY(QTest::qWaitForWindowActive(&about));
        auto* ok = about.findChild<QPushButton*>();
        QCOMPARE(ok->text(), QString("OK"));
        QVERIFY(ok->isDefault());
        QCOMPARE(QApplication::focusWidget(), ok);
        QVERIFY(!about.windowIcon().isNull());

        if (how == "click")
            QTest::mouseClick(ok, Qt::LeftButton);
        else if (how == "enter")
            QTest::keyClick(ok, Qt::Key_Return);
        else if (how == "enter-dialog")
            QTest::keyClick(&about, Qt::Key_Return);
        else if (how == "escape")
            QTest::keyClick(ok, Qt::Key_Escape);
        else
            about.close();
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.first().first().toInt(), expected);
    }
};

QTEST_MAIN(HelpAndMenuTest)
#include "tst_HelpAndMenu.moc"
