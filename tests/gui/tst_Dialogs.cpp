// Main dialog: start order (scan, then the file box filled from the store
// through its filter, once), which keys end it and how, Refresh replacing rows
// on their slots, Browse into box and record, the info line only on request,
// typing bounds. Application shell: F1 in both dialogs (topics, modifiers, the
// failure box and F1 while it is open, the page's fallback folder), the window
// menu with its About item, the name taken from the executable, a whole run
// whose store is written only at the exit step, and which window owns a box.
#include "tests/gui/GuiTestSupport.h"

#include "app/Help.h"

#include <QComboBox>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>

class DialogsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestApp> m_t;
    QStringList m_topics; // fragments of the help pages asked for
    bool m_launchResult = true;

    void press(QWidget* widget, Qt::Key key, Qt::KeyboardModifiers modifiers = {}) {
        widget->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), widget);
        QTest::keyClick(widget, key, modifiers);
    }

private slots:
    void init() {
        fakedll::reset();
        m_t = std::make_unique<TestApp>("fw.tool.exe");
        m_t->app().startUp();
        m_topics.clear();
        m_launchResult = true;
        m_t->app().help().setLauncher([this](const QUrl& url) {
            if (url.adjusted(QUrl::RemoveFragment) == QUrl::fromLocalFile(m_t->file("fw.tool.html")))
                m_topics.append(url.fragment());
            return m_launchResult;
        });
    }
    void cleanup() { m_t.reset(); }

    void startScansThenFillsTheFileBox() {
        m_t->start({{"File1", "/fw/net.bin"},
                    {"File2", "/FW/NET.BIN"},
                    {"File4", "bin/net.bin"},
                    {"File5", "bin/net.mem"},
                    {"File7", "/x/a.ach"},
                    {"File11", "/fw/eleven.bin"}});
        scriptStation({11, 12});
        fakedll::setFileInfo("/fw/net.bin", {"NET", 1, 2, 3, 2, 4, 5, 1});
        const auto dialog = m_t->app().createMainDialog();
        QVERIFY(fakedll::calls().empty()); // nothing before the dialog starts
        dialog->show();
        QStringList calls, items;
        for (const fakedll::Call& call : fakedll::calls())
            calls.append(QString::fromStdString(call.function + " " + call.path));
        QCOMPARE(calls, QStringList({"DllScanNetwork ", "DllGetRemoteInfo ", "DllGetRemoteInfo ",
                                     "DllGetFileInfo /fw/net.bin"}));
        for (int i = 0; i < dialog->fileBox()->count(); ++i)
            items.append(dialog->fileBox()->itemText(i));
        QCOMPARE(items, QStringList({"/fw/net.bin", "bin/net.mem", "/x/a.ach"}));
        QCOMPARE(dialog->deviceList()->count(), 2);
        QVERIFY(dialog->deviceList()->selectedItems().isEmpty());
        QCOMPARE(dialog->infoLine()->text(), QString("[NetAppl]  NET  Ver. 4.05  Date: 1/2/3"));
        dialog->hide();
        dialog->show(); // showing again does not start again
        QCOMPARE(fakedll::calls().size(), size_t(4));
    }

    void waysOut_data() {
        QTest::addColumn<int>("focusId");
        QTest::addColumn<int>("key");      // 0: the close box
        QTest::addColumn<int>("expected"); // -1: still open, the button pressed instead
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
        m_t->start({{"File1", "/fw/a.bin"}});
        UpdateDialog& dialog = m_t->shown(true);
        QSignalSpy finished(&dialog, &QDialog::finished);
        if (key == 0)
            QVERIFY(dialog.close());
        else
            press(dialog.control(focusId), Qt::Key(key));
        QCOMPARE(dialog.isVisible(), expected < 0);
        QCOMPARE(finished.size(), expected < 0 ? 0 : 1);
        if (expected >= 0)
            QCOMPARE(finished.first().first().toInt(), expected);
        else // asked again
            QCOMPARE(fakedll::calls(focusId == IDC_REFRESH ? "DllScanNetwork" : "DllGetFileInfo").size(),
                     size_t(2));
    }

    // An empty record leaves box and info line empty; a second scan replaces
    // rows and selection, rows naming the devices that answered.
    void refreshReplacesRows() {
        scriptStation({1, 2, 3});
        UpdateDialog& dialog = m_t->shown();
        QVERIFY(dialog.fileBoxText().isEmpty() && dialog.infoLine()->text().isEmpty());
        QVERIFY(fakedll::calls("DllGetFileInfo").empty());
        dialog.deviceList()->item(1)->setSelected(true);
        fakedll::reset();
        fakedll::setScan({40, 41, 42});
        fakedll::setDevice(40, fakedll::makeRemoteInfo(192, 168, 1, 20, "Desk", 1, 1, 2, 65, 2, 3));
        fakedll::setDevice(42, fakedll::makeRemoteInfo(10, 0, 0, 7, "Fader", 1, 2, 0, 0, 1, 10));
        click(dialog, IDC_REFRESH);
        QCOMPARE(dialog.deviceList()->count(), 2);
        QCOMPARE(dialog.deviceList()->item(1)->text(),
                 QString("     42  |  10.0.0.7  |  V.  1.10  |  Fader  |  Pellard 64 "));
        QVERIFY(dialog.deviceList()->selectedItems().isEmpty());
        QCOMPARE(dialog.slotTable().ids[dialog.slotTable().slotOfRow(1)], 42);
        fakedll::setScan({});
        click(dialog, IDC_REFRESH);
        QCOMPARE(dialog.deviceList()->count(), 0);
    }

    // The same file twice: twice in the box, once (first) in the record;
    // cancelling changes and asks nothing.
    void browseAppendsToBoxAndRecord() {
        m_t->start({{"File1", "/fw/old.bin"}});
        const QString chosen = m_t->file("image.mem");
        fakedll::setFileInfo(QFile::encodeName(chosen).toStdString(),
                             {"GRAPH", 9, 8, 2024 + 256, 4, 1, 0, 1});
        UpdateDialog& dialog = m_t->shown();
        QString answer = chosen;
        dialog.setFileChooser([&](QWidget* parent) { return parent == &dialog ? answer : QString(); });
        for (int pick : {1, 2, 3}) {
            if (pick == 3)
                answer.clear();
            const size_t queries = fakedll::calls("DllGetFileInfo").size();
            click(dialog, IDC_BROWSE);
            QCOMPARE(dialog.fileBox()->count(), std::min(pick + 1, 3));
            QCOMPARE(dialog.fileBox()->currentIndex(), std::min(pick, 2)); // the last added
            QCOMPARE(fakedll::calls("DllGetFileInfo").size(), queries + (answer.isEmpty() ? 0 : 1));
        }
        QCOMPARE(dialog.infoLine()->text(), QString("[GraphAppl]  GRAPH  Ver. 1.00  Date: 9/8/232"));
        QCOMPARE(m_t->app().recentFiles().entry(0), chosen);
        QCOMPARE(m_t->app().recentFiles().entry(2), QString());
    }

    // Picking another entry or typing leaves the info line alone; "Info:" uses
    // the typed text. Typing stops at the box's width.
    void onlyInfoDescribesTypedPath() {
        m_t->start({{"File1", "/fw/a.bin"}, {"File2", "/fw/b.bin"}});
        fakedll::setFileInfo("/fw/a.bin", {"A", 1, 1, 1, 1, 1, 0, 1});
        fakedll::setFileInfo("/fw/b.bin2", {"B2", 3, 3, 3, 255, 1, 0, 1});
        UpdateDialog& dialog = m_t->shown(true);
        const QString first = dialog.infoLine()->text();
        QCOMPARE(first, QString("[NetBoot]  A  Ver. 1.00  Date: 1/1/1"));
        press(dialog.fileBox(), Qt::Key_Down); // next entry, closed box
        QTest::keyClick(dialog.fileBox(), Qt::Key_End);
        QTest::keyClicks(dialog.fileBox(), "2");
        QCOMPARE(dialog.fileBoxText(), QString("/fw/b.bin2"));
        QCOMPARE(dialog.infoLine()->text(), first);
        click(dialog, IDC_INFO);
        QCOMPARE(dialog.infoLine()->text(), QString("[Archive]  B2  Ver. 1.00  Date: 3/3/3"));
        QCOMPARE(dialog.fileBox()->count(), 2); // typing never adds an entry
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
        const MessageLog messages;
        UpdateDialog& dialog = m_t->shown(true);
        press(dialog.control(focusId), Qt::Key_F1, Qt::KeyboardModifiers(modifiers));
        QCOMPARE(m_topics, asks ? QStringList{"131174"} : QStringList{});
        QVERIFY(messages.shown().isEmpty());
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
            QVERIFY(QFile::remove(m_t->file("fw.tool.html")));
        m_launchResult = false;
        UpdateDialog& dialog = m_t->shown(true);
        QMessageBox* seen = nullptr;
        QString text;
        onNextModal("QMessageBox", [&](QWidget* box) {
            seen = static_cast<QMessageBox*>(box);
            text = seen->text();
            QTest::keyClick(box, Qt::Key_F1);
            QTest::keyClick(dialog.control(IDC_REFRESH), Qt::Key_F1);
            QVERIFY(seen->icon() == QMessageBox::Warning && seen->parentWidget() == &dialog);
            QTest::keyClick(box, Qt::Key_Return);
        });
        press(dialog.control(IDC_REFRESH), Qt::Key_F1);
        QCOMPARE(text, QString("Failed to launch help."));
        QCOMPARE(m_topics.size(), pagePresent ? 1 : 0);
        m_launchResult = true;
        QFile(m_t->file("fw.tool.html")).open(QIODevice::WriteOnly);
        QTest::keyClick(dialog.control(IDC_REFRESH), Qt::Key_F1);
        QCOMPARE(m_topics.size(), pagePresent ? 2 : 1);
    }

    // Looked for in the install layout when it is not beside the executable.
    void helpPageFallsBackToSharedFolder() {
        QVERIFY(QFile::remove(m_t->file("fw.tool.html")));
        QCOMPARE(helpPagePath(m_t->file("fw.tool.exe")), m_t->file("fw.tool.html")); // missing: still named
        QTemporaryDir root;
        QVERIFY(QDir(root.path()).mkpath("bin") && QDir(root.path()).mkpath("share/zentavo-update"));
        const QString shared = root.filePath("share/zentavo-update/fw.tool.html");
        QFile(shared).open(QIODevice::WriteOnly);
        QCOMPARE(helpPagePath(root.filePath("bin/fw.tool.exe")), shared);
    }

    // Opened by Alt+Space (Escape closes the menu, not the dialog) or a right
    // click on the background, not on a control; its About item shows the About
    // box, whose F1 asks for its own topic; "Close" ends the dialog.
    void windowMenu_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("Alt+Space") << "keyboard";
        QTest::newRow("right click on the background") << "background";
        QTest::newRow("right click on the list") << "list";
    }
    void windowMenu() {
#ifdef Q_OS_WIN
        QSKIP("there the About item is in the system menu");
#endif
        QFETCH(QString, how);
        UpdateDialog& dialog = m_t->shown(true);
        QMenu* menu = dialog.windowMenu();
        if (how == "keyboard") {
            press(dialog.control(IDC_REFRESH), Qt::Key_Space, Qt::AltModifier);
            QTRY_VERIFY(menu->isVisible());
            QTest::keyClick(menu, Qt::Key_Escape);
            QTRY_VERIFY(!menu->isVisible() && dialog.isVisible());
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space, Qt::AltModifier);
        } else {
            const QPoint background(dialog.width() - 6,
                                    dialog.height() / 3); // inside a frame, clear of controls
            QCOMPARE(dialog.childAt(background), nullptr);
            const QPoint list = dialog.control(IDC_DEVICE_LIST)->geometry().center();
            QTest::mouseClick(dialog.windowHandle(), Qt::RightButton, {}, how == "list" ? list : background);
        }
        QTest::qWait(20);
        QTRY_COMPARE(menu->isVisible(), how != "list");
        if (how == "list")
            return;
        QCOMPARE(menu->actions().last()->text(), QString("&About ZentavoDiag..."));
        QString seen;
        onNextModal("AboutDialog", [&](QWidget* about) {
            seen = about->windowTitle();
            auto* ok = about->findChild<QPushButton*>();
            QTest::keyClick(ok, Qt::Key_F1);
            QTest::keyClick(ok, Qt::Key_F1, Qt::ShiftModifier);
            QTest::mouseClick(ok, Qt::LeftButton);
        });
        QTest::keyClick(menu, Qt::Key_A); // the item's mnemonic
        QCOMPARE(seen, QString("About ZentavoDiag"));
        QTest::keyClick(dialog.control(IDC_REFRESH), Qt::Key_F1);
        QCOMPARE(m_topics, QStringList({"131172", "131174"}));
        QSignalSpy finished(&dialog, &QDialog::finished);
        menu->actions().first()->trigger();
        QCOMPARE(finished.size(), 1);
    }

    // Start-up, the modal run as main window, the exit step: nothing reaches
    // the store until the dialog has ended, and gaps keep their places.
    void runWritesTheStoreOnlyAtExit() {
        QCOMPARE(QCoreApplication::applicationName(), QString("fw.tool")); // only the last extension
        QVERIFY(m_t->confPath().endsWith("/Quorvane/fw.tool.conf"));
        m_t->start({{"File1", "/fw/old.bin"}, {"File3", "/fw/three.bin"}});
        const QByteArray before = m_t->confBytes();
        const QString chosen = m_t->file("run.ach");
        bool sawDialog = false;
        QByteArray during;
        onNextModal("UpdateDialog", [&](QWidget* widget) {
            auto* dialog = static_cast<UpdateDialog*>(widget);
            sawDialog = m_t->app().mainWindow() == dialog && dialog->isStarted();
            dialog->setFileChooser([&](QWidget*) { return chosen; });
            click(*dialog, IDC_BROWSE);
            during = m_t->confBytes();
            press(dialog->deviceList(), Qt::Key_Return); // Enter ends the program too
        });
        QCOMPARE(m_t->app().run(), 0);
        QVERIFY(sawDialog);
        QCOMPARE(during, before);
        QCOMPARE(m_t->app().mainWindow(), nullptr); // cleared with the dialog's window
        QSettings stored(m_t->confPath(), QSettings::IniFormat);
        QCOMPARE(stored.value("Recent File List/File1").toString(), chosen);
        QCOMPARE(stored.value("Recent File List/File4").toString(), QString("/fw/three.bin"));
    }

    // The main window owns a box, the About box while it is up, never a modal
    // window that is not over the main window; the caption is the program's.
    void messageCaptionAndOwner() {
        const MessageLog log;
        ShowMessage("no window", MessageIcon::Information);
        UpdateDialog& dialog = m_t->shown(true);
        ShowMessage("main", MessageIcon::Stop);
        QWidget* about = nullptr;
        onNextModal("AboutDialog", [&](QWidget* box) {
            about = box;
            ShowMessage("about", MessageIcon::Exclamation);
            QTest::keyClick(box, Qt::Key_Escape);
        });
        dialog.runAboutBox();
        QDialog stranger;
        onNextModal("QDialog", [&](QWidget* other) {
            ShowMessage("stranger", MessageIcon::Information);
            other->close();
        });
        stranger.exec();
        const QList<QWidget*> owners = {nullptr, &dialog, about, &dialog};
        QCOMPARE(log.shown().size(), 4);
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(log.shown()[i].box.owner, owners[i]);
            QCOMPARE(log.shown()[i].box.caption, QString("fw.tool"));
        }
    }
};

QTEST_MAIN(DialogsTest)
#include "tst_Dialogs.moc"
