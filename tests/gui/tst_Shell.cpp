// Application shell: F1 in both dialogs (topic anchors, modifiers, the
// failure box and F1 while it is open, the page's fallback folder), the
// window menu with its About item (right click on the background only,
// Alt+Space, Close), the name taken from the executable, a whole run whose
// store is written only at the exit step, and which window owns a box.
#include "GuiTestSupport.h"

#include "AboutDialog.h"
#include "Help.h"
#include "ResourceIds.h"
#include "ShowMessage.h"
#include "UpdateDialog.h"

#include <QAction>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>

class ShellTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestApp> m_t;
    std::unique_ptr<UpdateDialog> m_dialog;
    QStringList m_topics; // fragments of the pages asked for
    bool m_launchResult = true;
    QList<MessageRecord> m_messages;

    UpdateDialog& shown() {
        m_dialog = std::make_unique<UpdateDialog>();
        m_t->app().setMainWindow(m_dialog.get());
        m_dialog->show();
        [&] { QVERIFY(QTest::qWaitForWindowActive(m_dialog.get())); }();
        return *m_dialog;
    }

private slots:
    void init() {
        fakedll::reset();
        m_t = std::make_unique<TestApp>("fw.tool.exe");
        m_t->app().startUp();
        m_topics.clear();
        m_messages.clear();
        m_launchResult = true;
        m_t->app().help().setLauncher([this](const QUrl& url) {
            if (url.adjusted(QUrl::RemoveFragment) ==
                QUrl::fromLocalFile(QDir(m_t->dir()).filePath("fw.tool.html")))
                m_topics.append(url.fragment());
            return m_launchResult;
        });
        setShowMessageHook([this](const MessageRecord& record) { m_messages.append(record); });
    }
    void cleanup() {
        setShowMessageHook({});
        m_dialog.reset();
        m_t.reset();
    }

    void f1InMainDialog_data() {
        QTest::addColumn<int>("focusId");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<bool>("asks");
        for (int id : {IDC_REFRESH, IDC_FILE_BOX, IDC_DEVICE_LIST, kIdCancel})
            QTest::addRow("F1 on %d", id) << id << int(Qt::NoModifier) << true;
        QTest::newRow("keypad F1") << IDC_REFRESH << int(Qt::KeypadModifier) << true;
        QTest::newRow("Shift+F1") << IDC_REFRESH << int(Qt::ShiftModifier) << false;
        QTest::newRow("Ctrl+F1") << IDC_FILE_BOX << int(Qt::ControlModifier) << false;
    }
    void f1InMainDialog() {
        QFETCH(int, focusId);
        QFETCH(int, modifiers);
        QFETCH(bool, asks);
        UpdateDialog& dialog = shown();
        dialog.control(focusId)->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), dialog.control(focusId));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_F1, Qt::KeyboardModifiers(modifiers));
        QCOMPARE(m_topics, asks ? QStringList{"131174"} : QStringList{});
        QVERIFY(m_messages.isEmpty());
        QVERIFY(dialog.isVisible() && !QApplication::overrideCursor()); // the wait cursor is gone again
    }

    void f1InAboutBox() {
        UpdateDialog& dialog = shown();
        onNextModal("AboutDialog", [&](QWidget* about) {
            QTest::keyClick(about->findChild<QPushButton*>(), Qt::Key_F1);
            QTest::keyClick(about->findChild<QPushButton*>(), Qt::Key_F1, Qt::ShiftModifier);
            QTest::keyClick(about, Qt::Key_Escape);
        });
        dialog.runAboutBox();
        QTest::keyClick(dialog.control(IDC_REFRESH), Qt::Key_F1); // back to the main dialog's topic
        QCOMPARE(m_topics, QStringList({"131172", "131174"}));
    }

    // The box with the exact text, owned by the dialog; F1 does nothing while
    // it is open (even sent past it) and works again once it is closed.
    void helpFailureShowsBox_data() {
        QTest::addColumn<bool>("pagePresent");
        QTest::newRow("desktop cannot open the page") << true;
        QTest::newRow("page missing") << false;
    }
    void helpFailureShowsBox() {
        QFETCH(bool, pagePresent);
        if (!pagePresent)
            QVERIFY(QFile::remove(QDir(m_t->dir()).filePath("fw.tool.html")));
        setShowMessageHook({}); // the real box
        m_launchResult = false;
        UpdateDialog& dialog = shown();
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QString boxText;
        QWidget* owner = nullptr;
        onNextModal("QMessageBox", [&](QWidget* box) {
            boxText = static_cast<QMessageBox*>(box)->text();
            icon = static_cast<QMessageBox*>(box)->icon();
            owner = box->parentWidget();
            QTest::keyClick(box, Qt::Key_F1);
            QTest::keyClick(dialog.control(IDC_REFRESH), Qt::Key_F1);
            QTest::keyClick(box, Qt::Key_Return);
        });
        QTest::keyClick(dialog.control(IDC_REFRESH), Qt::Key_F1);
        QCOMPARE(boxText, QString("Failed to launch help."));
        QCOMPARE(icon, QMessageBox::Warning);
        QCOMPARE(owner, &dialog);
        QCOMPARE(m_topics.size(), pagePresent ? 1 : 0);
        m_launchResult = true;
        if (!pagePresent)
            QFile(QDir(m_t->dir()).filePath("fw.tool.html")).open(QIODevice::WriteOnly);
        QTest::keyClick(dialog.control(IDC_REFRESH), Qt::Key_F1);
        QCOMPARE(m_topics.size(), pagePresent ? 2 : 1);
    }

    // The page is looked for in the install layout when it is not beside the executable.
    void helpPageFallsBackToSharedFolder() {
        const QString beside = QDir(m_t->dir()).filePath("fw.tool.html");
        QVERIFY(QFile::remove(beside));
        QCOMPARE(helpPagePath(m_t->exePath()), beside); // missing: still named, launch fails
        QTemporaryDir root;
        QVERIFY(QDir(root.path()).mkpath("bin") && QDir(root.path()).mkpath("share/zentavo-update"));
        const QString shared = root.filePath("share/zentavo-update/fw.tool.html");
        QFile(shared).open(QIODevice::WriteOnly);
        QCOMPARE(helpPagePath(root.filePath("bin/fw.tool.exe")), shared);
    }

    void windowMenu_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("right click on the background") << "background";
        QTest::newRow("Alt+Space") << "keyboard";
        QTest::newRow("right click on the list") << "list";
    }
    void windowMenu() {
#ifdef Q_OS_WIN
        QSKIP("there the About item is in the system menu");
#endif
        QFETCH(QString, how);
        UpdateDialog& dialog = shown();
        QMenu* menu = dialog.windowMenu();
        QVERIFY(menu && !menu->isVisible());
        if (how == "keyboard") {
            // Escape closes the menu, not the dialog.
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space, Qt::AltModifier);
            QTRY_VERIFY(menu->isVisible());
            QTest::keyClick(menu, Qt::Key_Escape);
            QTRY_VERIFY(!menu->isVisible());
            QVERIFY(dialog.isVisible());
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space, Qt::AltModifier);
        } else {
            // Inside the "Network Devices" frame, clear of any control.
            const QPoint background(dialog.width() - 6, dialog.height() / 3);
            QCOMPARE(dialog.childAt(background), nullptr);
            const QPoint list = dialog.control(IDC_DEVICE_LIST)->geometry().center();
            QTest::mouseClick(dialog.windowHandle(), Qt::RightButton, {}, how == "list" ? list : background);
        }
        if (how == "list") {
            QTest::qWait(20);
            QVERIFY(!menu->isVisible());
            return;
        }
        QTRY_VERIFY(menu->isVisible());
        QCOMPARE(menu->actions().last()->text(), QString("&About ZentavoDiag..."));
        QString seen;
        onNextModal("AboutDialog", [&](QWidget* about) {
            seen = about->windowTitle();
            QTest::mouseClick(about->findChild<QPushButton*>(), Qt::LeftButton);
        });
        QTest::keyClick(menu, Qt::Key_A); // the item's mnemonic
        QCOMPARE(seen, QString("About ZentavoDiag"));
        QVERIFY(dialog.isVisible() && !menu->isVisible());

        // "Close" closes the dialog.
        QSignalSpy finished(&dialog, &QDialog::finished);
        menu->actions().first()->trigger();
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.first().first().toInt(), int(QDialog::Rejected));
    }

    // Start-up, the modal run as main window, the exit step: nothing reaches
    // the store until the dialog has ended.
    void runWritesTheStoreOnlyAtExit() {
        TestApp& t = *m_t;
        QCOMPARE(QCoreApplication::applicationName(), QString("fw.tool")); // only the last extension
        QVERIFY(t.confPath().endsWith("/Quorvane/fw.tool.conf"));
        t.storeRecentFiles({{"File1", "/fw/old.bin"}, {"File3", "/fw/three.bin"}});
        const QByteArray before = t.confBytes();
        scriptStation({3});
        const QString chosen = QDir(t.dir()).filePath("run.ach");
        QFile(chosen).open(QIODevice::WriteOnly);
        bool sawDialog = false;
        QByteArray during;
        onNextModal("UpdateDialog", [&](QWidget* widget) {
            auto* dialog = static_cast<UpdateDialog*>(widget);
            sawDialog = t.app().mainWindow() == dialog && dialog->isStarted();
            dialog->setFileChooser([&](QWidget*) { return chosen; });
            QTest::mouseClick(dialog->control(IDC_BROWSE), Qt::LeftButton);
            during = t.confBytes();
            dialog->deviceList()->setFocus();
            QTest::keyClick(dialog->deviceList(), Qt::Key_Return); // Enter ends the program too
        });
        QCOMPARE(t.app().run(), 0);
        QVERIFY(sawDialog);
        QCOMPARE(during, before);
        QCOMPARE(t.app().mainWindow(), nullptr); // cleared with the dialog's window
        QCOMPARE(fakedll::calls("DllScanNetwork").size(), size_t(1));
        QSettings stored(t.confPath(), QSettings::IniFormat);
        QCOMPARE(stored.value("Recent File List/File1").toString(), chosen);
        QCOMPARE(stored.value("Recent File List/File4").toString(), QString("/fw/three.bin")); // gap kept
    }

    // The main window owns the box, the About box while it is up, never a
    // modal window that is not over the main window; the caption is the program's.
    void messageCaptionAndOwner() {
        const QList<MessageRecord>& seen = m_messages;
        ShowMessage("no window", MessageIcon::Information);
        UpdateDialog& dialog = shown();
        ShowMessage("main", MessageIcon::Stop);
        QWidget* aboutSeen = nullptr;
        onNextModal("AboutDialog", [&](QWidget* about) {
            aboutSeen = about;
            ShowMessage("about", MessageIcon::Exclamation);
            QTest::keyClick(about, Qt::Key_Escape);
        });
        dialog.runAboutBox();
        QDialog stranger;
        onNextModal("QDialog", [&](QWidget* other) {
            ShowMessage("stranger", MessageIcon::Information);
            other->close();
        });
        stranger.exec();
        QCOMPARE(seen.size(), 4);
        QVERIFY(aboutSeen);
        const QList<QWidget*> owners = {nullptr, &dialog, aboutSeen, &dialog};
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(seen[i].owner, owners[i]);
            QCOMPARE(seen[i].caption, QString("fw.tool"));
        }
    }
};

QTEST_MAIN(ShellTest)
#include "tst_Shell.moc"
