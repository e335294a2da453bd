// Main dialog: start order (scan, then the file box filled from the store
// through its filter, once; focus on "Refresh"; an empty record leaves box and
// info line empty), Refresh replacing rows on their slots, which keys end it
// and how, Browse into box and record (a path longer than 259 characters
// whole; the chooser's "All Files (*.*)" listing a file without a dot), the
// info line only on request, typing bounds. Application shell: F1 in both
// dialogs (topics, modifiers, the failure box and F1 while it is open, the
// page's fallback folder), the window menu with its keys and About item,
// names and labels for screen readers, the name taken from the executable, a
// whole run with its exit step and a FILE taken at start, and which window
// owns a box.
#include "tests/gui/GuiTestSupport.h"

#include "app/Help.h"
#include "ui/FirmwareChooser.h"

class DialogsTest : public QObject {
    Q_OBJECT

    zutest::FakeDeviceLibrary m_lib; // outlives the application that uses it
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
        m_lib.reset();
        m_t = std::make_unique<TestApp>(&m_lib);
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
        // Offered: "bin", "mem" or "ach" first found anywhere but at the very start, case-sensitive.
        m_t->start(
            "File1=/fw/net.bin\nFile2=/FW/NET.BIN\nFile4=bin/net.bin\nFile5=bin/net.mem\nFile6=achive\n"
            "File7=/x/a.ach\nFile8=/x/bins/readme.txt\nFile11=/fw/eleven.bin\n");
        m_lib.script().scanIds = {11, 12};
        for (int id : {11, 12}) // eligible clusters
            m_lib.script().devices[id] = {zutest::makeDevice(192, 168, 1, 20, "C", 1, 1, 2, 'A', 2, 3)};
        m_lib.script().files["/fw/net.bin"] = {{"NET", 1, 2, 3, 2, 4, 5}};
        const auto dialog = m_t->app().createMainDialog();
        QVERIFY(m_lib.calls().empty()); // nothing before the dialog starts
        dialog->show();
        QStringList calls, items;
        for (const zutest::FakeCall& call : m_lib.calls())
            calls.append(QString::fromStdString(call.function) + " " + call.path);
        QCOMPARE(calls, QStringList({"DllScanNetwork ", "DllGetRemoteInfo ", "DllGetRemoteInfo ",
                                     "DllGetFileInfo /fw/net.bin"}));
        for (int i = 0; i < dialog->fileBox()->count(); ++i)
            items.append(dialog->fileBox()->itemText(i));
        QCOMPARE(items, QStringList({"/fw/net.bin", "bin/net.mem", "/x/a.ach", "/x/bins/readme.txt"}));
        QVERIFY(dialog->deviceList()->count() == 2 && dialog->deviceList()->selectedItems().isEmpty());
        QCOMPARE(dialog->infoLine()->text(), QString("[NetAppl]  NET  Ver. 4.05  Date: 1/2/3"));
        QCOMPARE(dialog->focusWidget(), dialog->control(IDC_REFRESH));
        dialog->hide();
        dialog->show(); // showing again does not start again
        QCOMPARE(m_lib.calls().size(), size_t(4));
        // Refresh replaces rows and selection, rows naming the devices that answered.
        dialog->deviceList()->item(1)->setSelected(true);
        m_lib.script().scanIds = {40, 41, 42};
        m_lib.script().devices[42] = {zutest::makeDevice(10, 0, 0, 7, "Fader", 1, 2, 0, 0, 1, 10)};
        click(*dialog, IDC_REFRESH);
        QCOMPARE(dialog->deviceList()->count(), 1);
        QVERIFY(dialog->deviceList()->selectedItems().isEmpty() && dialog->slotTable().slotOfRow(0) == 2);
    }

    // Enter ends the dialog unless a push button has the focus (then that
    // button is pressed and asks again); Escape and the close box cancel.
    void waysOut() {
        const std::tuple<int, Qt::Key, int> rows[] = {
            // focus, key (No: the close box), result (-1: still open)
            {IDC_FILE_BOX, Qt::Key_Return, 1}, {IDC_DEVICE_LIST, Qt::Key_Enter, 1},
            {IDC_USE_COM1, Qt::Key_Return, 1}, {kIdCancel, Qt::Key_Return, 0},
            {IDC_REFRESH, Qt::Key_Return, -1}, {IDC_DEVICE_LIST, Qt::Key_Escape, 0},
            {IDC_REFRESH, Qt::Key_No, 0}};
        for (const auto& [focus, key, result] : rows) {
            m_lib.reset();
            m_t->start("File1=/fw/a.bin\n");
            UpdateDialog& dialog = m_t->shown(true);
            QSignalSpy finished(&dialog, &QDialog::finished);
            if (key == Qt::Key_No)
                QVERIFY(dialog.close());
            else
                press(dialog.control(focus), key);
            QCOMPARE(finished.isEmpty() ? -1 : finished.first().first().toInt(), result);
            QVERIFY(dialog.isVisible() == (result < 0));
            QVERIFY(result >= 0 || m_lib.calls("DllScanNetwork").size() == 2); // pressed, and asked again
        }
    }

    // Picking another entry or typing leaves the info line alone; "Info:" uses
    // the typed text; typing stops at the box's width. Browse appends: the
    // same file twice is twice in the box, once (first) in the record;
    // cancelling changes and asks nothing.
    void fileBoxAndInfoLine() {
        m_t->start("File1=/fw/a.bin\nFile2=/fw/b.bin\n");
        const QString chosen = m_t->file(QString(200, 'd') + "/" + QString(100, 'f') + ".mem");
        m_lib.script().files = {{"/fw/a.bin", {{"A", 1, 1, 1, 1, 1, 0}}},
                                {"/fw/b.bin2", {{"B2", 3, 3, 3, 255, 1, 0}}},
                                {QFile::encodeName(chosen), {{"GRAPH", 9, 8, 2280, 4, 1, 0}}}};
        UpdateDialog& dialog = m_t->shown(true);
        QCOMPARE(dialog.infoLine()->text(), QString("[NetBoot]  A  Ver. 1.00  Date: 1/1/1"));
        press(dialog.fileBox(), Qt::Key_Down); // next entry, closed box
        QTest::keyClick(dialog.fileBox(), Qt::Key_End);
        QTest::keyClicks(dialog.fileBox(), "2");
        QCOMPARE(dialog.fileBoxText(), QString("/fw/b.bin2"));
        QCOMPARE(dialog.infoLine()->text(), QString("[NetBoot]  A  Ver. 1.00  Date: 1/1/1"));
        click(dialog, IDC_INFO);
        QCOMPARE(dialog.infoLine()->text(), QString("[Archive]  B2  Ver. 1.00  Date: 3/3/3"));
        QTest::keyClicks(dialog.fileBox(), QString(300, QLatin1Char('W')));
        const QString typed = dialog.fileBoxText();
        QVERIFY(typed.size() > 15 && typed.size() < 300);
        QVERIFY(dialog.fontMetrics().horizontalAdvance(typed) <= dialog.fileBox()->lineEdit()->width());
        QTest::keyClick(dialog.fileBox(), Qt::Key_Backspace);
        QCOMPARE(dialog.fileBoxText().size(), typed.size() - 1);

        QString answer = chosen;
        dialog.setFileChooser([&](QWidget* parent) { return parent == &dialog ? answer : QString(); });
        const MessageLog messages(m_t->app()); // none: no path refused as too long
        for (int pick : {1, 2, 3}) {
            answer = pick == 3 ? QString() : chosen;
            const size_t queries = m_lib.calls("DllGetFileInfo").size();
            click(dialog, IDC_BROWSE);
            QCOMPARE(dialog.fileBox()->count(), std::min(pick + 2, 4));
            QCOMPARE(dialog.fileBox()->currentIndex(), std::min(pick + 1, 3)); // the last added
            QCOMPARE(m_lib.calls("DllGetFileInfo").size(), queries + (pick == 3 ? 0 : 1));
        }
        QVERIFY(messages.isEmpty());
        QCOMPARE(dialog.infoLine()->text(), QString("[GraphAppl]  GRAPH  Ver. 1.00  Date: 9/8/232"));
        QCOMPARE(m_t->app().recentFiles().entry(0), chosen);
        QCOMPARE(m_t->app().recentFiles().entry(2), QString("/fw/b.bin")); // the stored record below it
        // The platform's chooser: "All Files (*.*)", its text unchanged, lists a file without a dot.
        QFileDialog chooser;
        prepareFirmwareChooser(chooser);
        const QString folder = QFileInfo(m_t->confPath()).path();
        QVERIFY(QFile(folder + "/README").open(QIODevice::WriteOnly));
        chooser.setDirectory(folder);
        QTest::keyClick(chooser.findChild<QComboBox*>("fileTypeCombo"), Qt::Key_End);
        const auto* model = chooser.findChild<QFileSystemModel*>();
        QCOMPARE(chooser.selectedNameFilter(), QString("All Files (*.*)"));
        QTRY_VERIFY(!model->match(model->index(0, 0, model->index(chooser.directory().path())), 0, "README")
                         .isEmpty());
    }

    // F1 on any control asks for the main dialog's topic, not with Shift or
    // Ctrl; the wait cursor is gone again.
    void f1InMainDialog() {
        const MessageLog messages(m_t->app());
        UpdateDialog& dialog = m_t->shown(true);
        // An empty record leaves box and info line empty.
        QVERIFY(dialog.fileBoxText().isEmpty() && dialog.infoLine()->text().isEmpty());
        const int focus[] = {IDC_REFRESH, IDC_FILE_BOX, IDC_DEVICE_LIST, kIdCancel,
                             IDC_REFRESH, IDC_REFRESH,  IDC_FILE_BOX};
        const Qt::KeyboardModifier modifiers[] = {Qt::NoModifier,     Qt::NoModifier,     Qt::NoModifier,
                                                  Qt::NoModifier,     Qt::KeypadModifier, Qt::ShiftModifier,
                                                  Qt::ControlModifier};
        for (int i = 0; i < 7; ++i) {
            m_topics.clear();
            press(dialog.control(focus[i]), Qt::Key_F1, modifiers[i]);
            QCOMPARE(m_topics, i < 5 ? QStringList{"131174"} : QStringList{});
        }
        QVERIFY(messages.isEmpty() && dialog.isVisible() && !QApplication::overrideCursor());
    }

    // The box with the exact text, owned by the dialog, when the desktop
    // cannot open the page and when the page is missing; F1 does nothing while
    // it is open (even sent past it) and works again once it is closed. The
    // page is looked for in the install layout when it is not beside the
    // executable.
    void helpFailureShowsBox() {
        UpdateDialog& dialog = m_t->shown(true);
        for (bool pagePresent : {true, false}) {
            m_launchResult = !pagePresent;
            QVERIFY(pagePresent || QFile::remove(m_t->file("fw.tool.html")));
            QString text;
            onNextModal([&](QWidget* box) {
                text = static_cast<QMessageBox*>(box)->text();
                QTest::keyClick(box, Qt::Key_F1);
                QTest::keyClick(dialog.control(IDC_REFRESH), Qt::Key_F1);
                QVERIFY(static_cast<QMessageBox*>(box)->icon() == QMessageBox::Warning &&
                        box->parentWidget() == &dialog);
                QTest::keyClick(box, Qt::Key_Return);
            });
            QTest::keyClick(dialog.control(IDC_REFRESH), Qt::Key_F1);
            QCOMPARE(text, QString("Failed to launch help."));
        }
        QCOMPARE(m_topics.size(), 1); // the refused launch alone
        QFile(m_t->file("fw.tool.html")).open(QIODevice::WriteOnly);
        QTest::keyClick(dialog.control(IDC_REFRESH), Qt::Key_F1);
        QCOMPARE(m_topics.size(), 2);
        QTemporaryDir root;
        const QString installed = root.filePath("share/zentavo-update/fw.tool.html");
        QVERIFY(QDir(root.path()).mkpath("share/zentavo-update") &&
                QFile(installed).open(QIODevice::WriteOnly));
        QCOMPARE(helpPagePath(root.filePath("bin/fw.tool.exe")), installed);
    }

    // A right click on the background opens it, as does Alt+Space (Escape
    // closes the menu, not the dialog); its About item shows the About box,
    // whose F1 asks for its own topic; "Close" cancels.
    void windowMenu() {
#ifdef Q_OS_WIN
        QSKIP("there the About item is in the system menu");
#endif
        UpdateDialog& dialog = m_t->shown(true);
        QMenu* menu = dialog.windowMenu();
        const QPoint background(dialog.width() - 6, dialog.height() / 3); // inside a frame, clear of controls
        QTest::mouseClick(dialog.windowHandle(), Qt::RightButton, {}, background);
        for (const QKeyCombination keys :
             {Qt::SHIFT | Qt::Key_F10, QKeyCombination(Qt::Key_Menu), Qt::ALT | Qt::Key_Space}) {
            QTRY_VERIFY(menu->isVisible());
            QTest::keyClick(menu, Qt::Key_Escape);
            QTRY_VERIFY(!menu->isVisible() && dialog.isVisible());
            press(dialog.fileBox(), keys.key(), keys.keyboardModifiers());
        }
        QTRY_VERIFY(menu->isVisible());
        QCOMPARE(menu->actions().last()->text(), QString("&About ZentavoDiag..."));
        QString seen;
        onNextModal([&](QWidget* about) {
            seen = about->windowTitle();
            auto* ok = about->findChild<QPushButton*>();
            QTest::keyClick(ok, Qt::Key_F1);
            QTest::keyClick(ok, Qt::Key_F1, Qt::ShiftModifier);
            QTest::mouseClick(ok, Qt::LeftButton);
        });
        QTest::keyClick(menu, Qt::Key_A); // the item's mnemonic
        QVERIFY(seen == "About ZentavoDiag" && m_topics == QStringList{"131172"});
        for (QWidget* control :
             dialog.controls()) { // named for screen readers, labels tied to what they name
            const auto* label = qobject_cast<QLabel*>(control);
            QVERIFY(!control->accessibleName().isEmpty() &&
                    (!label ||
                     (label->buddy() && label->buddy()->accessibleName() == label->text().remove(" :"))));
        }
        menu->actions().first()->trigger(); // "Close"
        QVERIFY(!dialog.isVisible());
    }

    // Start-up, the modal run as main window with a FILE taken at its start
    // (described, last in the box, recorded), the exit step (the Browse
    // choice stored, gaps kept). The program is named after its executable
    // and so is every box; the main window owns a box, the About box while it
    // is up, never a modal window that is not over the main window.
    void runAndMessageOwners() {
        QCOMPARE(QCoreApplication::applicationName(), QString("fw.tool")); // only the last extension
        m_t->start("File1=/fw/old.bin\nFile3=/fw/three.bin\n");
        const QString start = m_t->file("start.mem"); // as given on the command line
        m_t->app().setStartFile(start);
        m_lib.script().files[QFile::encodeName(start)] = {{"S", 1, 2, 3, 4, 5, 6}};
        const MessageLog log(m_t->app());
        m_t->app().messages().showMessage("no window", MessageIcon::Information);
        QWidget *main = nullptr, *about = nullptr;
        onNextModal([&](QWidget* widget) {
            auto* dialog = static_cast<UpdateDialog*>(widget);
            main = m_t->app().mainWindow() == dialog && dialog->isStarted() ? dialog : nullptr;
            QVERIFY(dialog->fileBoxText() == start && dialog->fileBox()->count() == 3);
            QCOMPARE(dialog->infoLine()->text(), QString("[GraphAppl]  S  Ver. 5.06  Date: 1/2/3"));
            m_t->app().messages().showMessage("main", MessageIcon::Stop);
            onNextModal([&](QWidget* box) {
                about = box;
                m_t->app().messages().showMessage("about", MessageIcon::Exclamation);
                QTest::keyClick(box, Qt::Key_Escape);
            });
            dialog->runAboutBox();
            QDialog stranger;
            onNextModal([&](QWidget* other) {
                m_t->app().messages().showMessage("stranger", MessageIcon::Information);
                other->close();
            });
            stranger.exec();
            dialog->setFileChooser([&](QWidget*) { return m_t->file("run.ach"); });
            click(*dialog, IDC_BROWSE);
            dialog->activateWindow();
            press(dialog->deviceList(), Qt::Key_Return); // Enter ends the program too
        });
        QCOMPARE(m_t->app().run(), 0);
        QVERIFY(main && !m_t->app().mainWindow()); // cleared with the dialog's window
        const QList<QWidget*> owners = {nullptr, main, about, main};
        QCOMPARE(log.size(), 4);
        for (int i = 0; i < 4; ++i)
            QVERIFY(log[i].box.owner == owners[i] && log[i].box.caption == "fw.tool");
        const QSettings stored(m_t->confPath(), QSettings::IniFormat);
        for (const auto& [n, path] :
             {std::pair(1, m_t->file("run.ach")), {2, start}, {5, QString("/fw/three.bin")}})
            QCOMPARE(stored.value(QString("Recent File List/File%1").arg(n)).toString(), path);
    }
};

QTEST_MAIN(DialogsTest)
#include "tst_Dialogs.moc"
