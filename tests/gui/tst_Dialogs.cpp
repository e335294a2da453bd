// Main dialog: start order (scan before the file box, once), which keys end
// it and how, Refresh replacing rows on their slots, the file box filled from
// the store through its filter, Browse, the info line only on request, typing
// bounds. Application shell: F1 in both dialogs (topic anchors, modifiers, the
// failure box and F1 while it is open, the page's fallback folder), the
// window menu with its About item (its F1, right click on the background only,
// Alt+Space, Close), the name taken from the executable, a whole run whose
// store is written only at the exit step, and which window owns a box.
#include "GuiTestSupport.h"

#include "AboutDialog.h"
#include "Help.h"
#include "ResourceIds.h"
#include "ShowMessage.h"
#include "UpdateDialog.h"

#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>

namespace {

QStringList callNames() {
    QStringList names;
    for (const fakedll::Call& call : fakedll::calls())
        names.append(QString::fromStdString(call.function));
    return names;
}

} // namespace

class DialogsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestApp> m_t;
    std::unique_ptr<UpdateDialog> m_dialog;
    QStringList m_topics; // fragments of the pages asked for
    bool m_launchResult = true;
    QList<MessageRecord> m_messages;

    // Started again with `records` as another run left them.
    void start(const QList<QPair<QString, QString>>& records) {
        m_t->storeRecentFiles(records);
        m_t->app().startUp();
    }
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

    void startScansBeforeFillingTheFileBox() {
        start({{"File1", "/fw/net.bin"}});
        scriptStation({11, 12});
        fakedll::setFileInfo("/fw/net.bin", {"NET", 1, 2, 3, 2, 4, 5, 1});
        UpdateDialog dialog;
        QVERIFY(fakedll::calls().empty()); // nothing before the dialog starts
        dialog.show();
        QCOMPARE(callNames(),
                 QStringList({"DllScanNetwork", "DllGetRemoteInfo", "DllGetRemoteInfo", "DllGetFileInfo"}));
        QCOMPARE(dialog.deviceList()->count(), 2);
        QVERIFY(dialog.deviceList()->selectedItems().isEmpty());
        QCOMPARE(dialog.infoLine()->text(), QString("[NetAppl]  NET  Ver. 4.05  Date: 1/2/3"));
        dialog.hide();
        dialog.show(); // showing again does not start again
        QCOMPARE(fakedll::calls().size(), size_t(4));
    }

    void waysOut_data() {
        QTest::addColumn<int>("focusId");
        QTest::addColumn<int>("key");      // 0: the close box
        QTest::addColumn<int>("expected"); // -1: still open
        QTest::newRow("Enter in file box") << IDC_FILE_BOX << int(Qt::Key_Return) << int(QDialog::Accepted);
        QTest::newRow("keypad Enter in list")
            << IDC_DEVICE_LIST << int(Qt::Key_Enter) << int(QDialog::Accepted);
        QTest::newRow("Enter on Use Com1") << IDC_USE_COM1 << int(Qt::Key_Return) << int(QDialog::Accepted);
        QTest::newRow("Enter on Exit") << kIdCancel << int(Qt::Key_Return) << int(QDialog::Rejected);
        QTest::newRow("Enter on Refresh") << IDC_REFRESH << int(Qt::Key_Return) << -1;
        QTest::newRow("Enter on Info") << IDC_INFO << int(Qt::Key_Return) << -1;
        QTest::newRow("Escape in list") << IDC_DEVICE_LIST << int(Qt::Key_Escape) << int(QDialog::Rejected);
        QTest::newRow("close box") << IDC_REFRESH << 0 << int(QDialog::Rejected);
    }
    void waysOut() {
        QFETCH(int, focusId);
        QFETCH(int, key);
        QFETCH(int, expected);
        start({{"File1", "/fw/a.bin"}});
        scriptStation({5});
        UpdateDialog& dialog = shown();
        QSignalSpy finished(&dialog, &QDialog::finished);
        dialog.control(focusId)->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), dialog.control(focusId));
        if (key == 0)
            QVERIFY(dialog.close());
        else
            QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
        if (expected < 0) { // the button was pressed instead: asked again
            QVERIFY(dialog.isVisible() && finished.isEmpty());
            const char* function = focusId == IDC_REFRESH ? "DllScanNetwork" : "DllGetFileInfo";
            QCOMPARE(fakedll::calls(function).size(), size_t(2));
        } else {
            QVERIFY(!dialog.isVisible());
            QCOMPARE(finished.size(), 1);
            QCOMPARE(finished.first().first().toInt(), expected);
        }
    }

    void refreshReplacesRows() {
        scriptStation({1, 2, 3});
        UpdateDialog& dialog = shown();
        QCOMPARE(dialog.deviceList()->count(), 3);
        dialog.deviceList()->item(1)->setSelected(true);

        fakedll::reset();
        fakedll::setScan({40, 41, 42});
        fakedll::setDevice(40, fakedll::makeRemoteInfo(192, 168, 1, 20, "Desk", 1, 1, 2, 65, 2, 3));
        fakedll::setDevice(42, fakedll::makeRemoteInfo(10, 0, 0, 7, "Fader", 1, 2, 0, 0, 1, 10));
        QTest::mouseClick(dialog.control(IDC_REFRESH), Qt::LeftButton);
        QCOMPARE(dialog.deviceList()->count(), 2);
        QCOMPARE(dialog.deviceList()->item(1)->text(),
                 QString("     42  |  10.0.0.7  |  V.  1.10  |  Fader  |  Pellard 64 "));
        QVERIFY(dialog.deviceList()->selectedItems().isEmpty());
        QCOMPARE(dialog.slotTable().ids[dialog.slotTable().slotOfRow(1)], 42); // the device that answered

        fakedll::setScan({});
        QTest::mouseClick(dialog.control(IDC_REFRESH), Qt::LeftButton);
        QCOMPARE(dialog.deviceList()->count(), 0);
    }

    void fileBoxOffersFilteredRecord() {
        start({{"File1", "/fw/net.bin"},
               {"File2", "/FW/NET.BIN"},
               {"File4", "bin/net.bin"},
               {"File5", "bin/net.mem"},
               {"File7", "/x/a.ach"},
               {"File11", "/fw/eleven.bin"}});
        UpdateDialog& dialog = shown();
        QStringList items;
        for (int i = 0; i < dialog.fileBox()->count(); ++i)
            items.append(dialog.fileBox()->itemText(i));
        QCOMPARE(items, QStringList({"/fw/net.bin", "bin/net.mem", "/x/a.ach"}));
        QCOMPARE(dialog.fileBoxText(), QString("/fw/net.bin"));
        // Unknown to the library: described as invalid, and asked about exactly that path.
        QCOMPARE(dialog.infoLine()->text(), QString("Invalid program file"));
        QCOMPARE(fakedll::calls("DllGetFileInfo").size(), size_t(1));
        QCOMPARE(fakedll::calls("DllGetFileInfo").front().path, std::string("/fw/net.bin"));
    }

    // The same file twice: twice in the box, once (first) in the record;
    // cancelling changes and asks nothing.
    void browseAppendsToBoxAndRecord() {
        TestApp& t = *m_t;
        start({{"File1", "/fw/old.bin"}});
        const QString chosen = QDir(t.dir()).filePath("image.mem");
        fakedll::setFileInfo(QFile::encodeName(chosen).toStdString(),
                             {"GRAPH", 9, 8, 2024 + 256, 4, 1, 0, 1});
        UpdateDialog dialog;
        QString answer = chosen;
        dialog.setFileChooser([&](QWidget* parent) { return parent == &dialog ? answer : QString(); });
        dialog.show();
        for (int pick : {1, 2, 3}) {
            if (pick == 3)
                answer.clear();
            const size_t queries = fakedll::calls("DllGetFileInfo").size();
            QTest::mouseClick(dialog.control(IDC_BROWSE), Qt::LeftButton);
            QCOMPARE(dialog.fileBox()->count(), std::min(pick + 1, 3));
            QCOMPARE(dialog.fileBox()->currentIndex(), std::min(pick, 2)); // the last added
            QCOMPARE(fakedll::calls("DllGetFileInfo").size(), queries + (answer.isEmpty() ? 0 : 1));
        }
        QCOMPARE(dialog.fileBoxText(), chosen);
        QCOMPARE(dialog.infoLine()->text(), QString("[GraphAppl]  GRAPH  Ver. 1.00  Date: 9/8/232"));
        QCOMPARE(t.app().recentFiles().entry(0), chosen);
        QCOMPARE(t.app().recentFiles().entry(2), QString());
    }

    // Picking another entry or typing leaves the info line alone; "Info:" uses
    // the typed text. Typing stops at the box's width.
    void onlyInfoDescribesTypedPath() {
        start({{"File1", "/fw/a.bin"}, {"File2", "/fw/b.bin"}});
        fakedll::setFileInfo("/fw/a.bin", {"A", 1, 1, 1, 1, 1, 0, 1});
        fakedll::setFileInfo("/fw/b.bin2", {"B2", 3, 3, 3, 255, 1, 0, 1});
        UpdateDialog& dialog = shown();
        const QString first = dialog.infoLine()->text();
        QCOMPARE(first, QString("[NetBoot]  A  Ver. 1.00  Date: 1/1/1"));
        dialog.fileBox()->setFocus();
        QTest::keyClick(dialog.fileBox(), Qt::Key_Down); // next entry, closed box
        QTest::keyClick(dialog.fileBox(), Qt::Key_End);
        QTest::keyClicks(dialog.fileBox(), "2");
        QCOMPARE(dialog.fileBoxText(), QString("/fw/b.bin2"));
        QCOMPARE(dialog.infoLine()->text(), first);
        QCOMPARE(fakedll::calls("DllGetFileInfo").size(), size_t(1));
        QTest::mouseClick(dialog.control(IDC_INFO), Qt::LeftButton);
        QCOMPARE(dialog.infoLine()->text(), QString("[Archive]  B2  Ver. 1.00  Date: 3/3/3"));
        QCOMPARE(dialog.fileBox()->count(), 2); // typing never adds an entry

        dialog.fileBox()->setFocus();
        QTest::keyClicks(dialog.fileBox(), QString(300, QLatin1Char('W')));
        const QString typed = dialog.fileBoxText();
        QVERIFY(typed.size() > 15 && typed.size() < 300);
        QLineEdit* edit = dialog.fileBox()->lineEdit();
        QVERIFY(edit->fontMetrics().horizontalAdvance(typed) <= edit->width());
        QTest::keyClick(dialog.fileBox(), Qt::Key_Backspace);
        QCOMPARE(dialog.fileBoxText().size(), typed.size() - 1);
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
        QTest::qWait(20);
        QTRY_COMPARE(menu->isVisible(), how != "list"); // none over a control
        if (how == "list")
            return;
        QCOMPARE(menu->actions().last()->text(), QString("&About ZentavoDiag..."));
        QString seen;
        onNextModal("AboutDialog", [&](QWidget* about) {
            seen = about->windowTitle();
            QTest::keyClick(about->findChild<QPushButton*>(), Qt::Key_F1); // the About box's own topic
            QTest::keyClick(about->findChild<QPushButton*>(), Qt::Key_F1, Qt::ShiftModifier);
            QTest::mouseClick(about->findChild<QPushButton*>(), Qt::LeftButton);
        });
        QTest::keyClick(menu, Qt::Key_A); // the item's mnemonic
        QCOMPARE(seen, QString("About ZentavoDiag"));
        QVERIFY(dialog.isVisible() && !menu->isVisible());
        QTest::keyClick(dialog.control(IDC_REFRESH), Qt::Key_F1); // back to the main dialog's topic
        QCOMPARE(m_topics, QStringList({"131172", "131174"}));

        QSignalSpy finished(&dialog, &QDialog::finished); // "Close" closes the dialog

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

QTEST_MAIN(DialogsTest)
#include "tst_Dialogs.moc"
