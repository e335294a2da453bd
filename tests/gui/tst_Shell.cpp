// Application shell: the name taken from the executable, the store read at
// start-up and written only at the exit step (also through a whole run), and
// ShowMessage's caption, owner and real box.
#include "GuiTestSupport.h"

#include "AboutDialog.h"
#include "ResourceIds.h"
#include "ShowMessage.h"
#include "UpdateDialog.h"

#include <QComboBox>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>

class ShellTest : public QObject {
    Q_OBJECT

private slots:
    void init() { fakedll::reset(); }
    void cleanup() { setShowMessageHook({}); }

    void applicationNameFromExecutable_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("name");
        QTest::newRow("no extension") << "zentavo-update"
                                      << "zentavo-update";
        QTest::newRow("extension dropped") << "fwtool.exe"
                                           << "fwtool";
        QTest::newRow("only the last extension") << "fw.tool.exe"
                                                 << "fw.tool";
        QTest::newRow("renamed copy") << "Updater2"
                                      << "Updater2";
    }
    void applicationNameFromExecutable() {
        QFETCH(QString, file);
        QFETCH(QString, name);
        TestApp t(file);
        QCOMPARE(t.app().applicationName(), name);
        QCOMPARE(QCoreApplication::applicationName(), name);
        QVERIFY(t.confPath().endsWith("/Quorvane/" + name + ".conf"));
    }

    // Nothing reaches the store while the dialog runs; the exit step writes it.
    void storeWrittenOnlyAtExit() {
        TestApp t("zu-shell-exit");
        t.storeRecentFiles({{"File1", "/fw/old.bin"}, {"File3", "/fw/three.bin"}, {"Stray", "x"}});
        const QByteArray before = t.confBytes();
        t.app().startUp();
        QCOMPARE(t.app().recentFiles().entry(0), QString("/fw/old.bin"));
        QCOMPARE(t.app().recentFiles().entry(1), QString());
        QCOMPARE(t.app().recentFiles().entry(2), QString("/fw/three.bin"));

        const QString chosen = QDir(t.dir()).filePath("new.bin");
        QFile(chosen).open(QIODevice::WriteOnly);
        {
            UpdateDialog dialog;
            t.app().setMainWindow(&dialog);
            dialog.setFileChooser([&](QWidget*) { return chosen; });
            dialog.show();
            QTest::mouseClick(dialog.control(IDC_BROWSE), Qt::LeftButton);
            QCOMPARE(t.confBytes(), before);
            QTest::keyClick(&dialog, Qt::Key_Escape);
            QCOMPARE(t.confBytes(), before);
        }
        QCOMPARE(t.app().mainWindow(), nullptr); // cleared with the dialog's window
        t.app().exitStep();

        QSettings stored(t.confPath(), QSettings::IniFormat);
        stored.beginGroup("Recent File List");
        QStringList keys = stored.childKeys();
        keys.sort();
        QCOMPARE(keys, QStringList({"File1", "File2", "File4"}));
        QCOMPARE(stored.value("File1").toString(), chosen);
        QCOMPARE(stored.value("File2").toString(), QString("/fw/old.bin"));
        QCOMPARE(stored.value("File4").toString(), QString("/fw/three.bin"));
    }

    // The whole life: start-up, the modal run as main window, the exit step.
    void runWritesTheChoiceAfterTheDialog() {
        TestApp t("zu-shell-run");
        scriptStation({3});
        const QString chosen = QDir(t.dir()).filePath("run.ach");
        QFile(chosen).open(QIODevice::WriteOnly);
        bool sawDialog = false;
        bool storeUntouched = false;
        onNextModal("UpdateDialog", [&](QWidget* widget) {
            auto* dialog = static_cast<UpdateDialog*>(widget);
            sawDialog = t.app().mainWindow() == dialog && dialog->isStarted();
            dialog->setFileChooser([&](QWidget*) { return chosen; });
            QTest::mouseClick(dialog->control(IDC_BROWSE), Qt::LeftButton);
            storeUntouched = !QFile::exists(t.confPath());
            dialog->deviceList()->setFocus();
            QTest::keyClick(dialog->deviceList(), Qt::Key_Return); // Enter ends the program too
        });
        QCOMPARE(t.app().run(), 0);
        QVERIFY(sawDialog);
        QVERIFY(storeUntouched);
        QCOMPARE(t.app().mainWindow(), nullptr);
        QCOMPARE(fakedll::calls("DllScanNetwork").size(), size_t(1));
        QSettings stored(t.confPath(), QSettings::IniFormat);
        QCOMPARE(stored.value("Recent File List/File1").toString(), chosen);
    }

    // First run, nothing chosen: no section is left behind.
    void firstRunLeavesNoSection() {
        TestApp t("zu-shell-first");
        onNextModal("UpdateDialog", [](QWidget* dialog) { QTest::keyClick(dialog, Qt::Key_Escape); });
        t.app().run();
        QSettings stored(t.confPath(), QSettings::IniFormat);
        QVERIFY(!stored.childGroups().contains("Recent File List"));
    }

    void messageCaptionAndOwner() {
        TestApp t("fwtool.exe");
        QList<MessageRecord> seen;
        setShowMessageHook([&](const MessageRecord& record) { seen.append(record); });

        ShowMessage("no window", MessageIcon::Information);
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen[0].caption, QString("fwtool"));
        QCOMPARE(seen[0].owner, nullptr);

        UpdateDialog dialog;
        t.app().setMainWindow(&dialog);
        dialog.show();
        ShowMessage("main", MessageIcon::Stop);
        QCOMPARE(seen[1].owner, &dialog);
        QCOMPARE(seen[1].caption, QString("fwtool")); // never the dialog's title
        QVERIFY(seen[1].icon == MessageIcon::Stop);

        // While the About box is up it owns the box.
        QWidget* aboutSeen = nullptr;
        onNextModal("AboutDialog", [&](QWidget* about) {
            aboutSeen = about;
            ShowMessage("about", MessageIcon::Exclamation);
            QTest::keyClick(about, Qt::Key_Escape);
        });
        dialog.runAboutBox();
        QCOMPARE(seen.size(), 3);
        QVERIFY(aboutSeen);
        QCOMPARE(seen[2].owner, aboutSeen);

        // A modal window that is not over the main window does not own it.
        QDialog stranger;
        onNextModal("QDialog", [&](QWidget* other) {
            if (other != &stranger)
                return;
            ShowMessage("stranger", MessageIcon::Information);
            other->close();
        });
        stranger.exec();
        QCOMPARE(seen.size(), 4);
        QCOMPARE(seen[3].owner, &dialog);
    }

    void realBoxShowsTextExactly() {
        TestApp t("zu-shell-box");
        UpdateDialog dialog;
        t.app().setMainWindow(&dialog);
        dialog.show();
        QString text, caption;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        int buttons = 0;
        QWidget* parent = nullptr;
        onNextModal("QMessageBox", [&](QWidget* widget) {
            auto* box = static_cast<QMessageBox*>(widget);
            text = box->text();
            caption = box->windowTitle();
            icon = box->icon();
            buttons = int(box->buttons().size());
            parent = box->parentWidget();
            QTest::keyClick(box, Qt::Key_Return);
        });
        ShowMessage("Upload Successfull     ", MessageIcon::Information);
        QCOMPARE(text, QString("Upload Successfull     "));
        QCOMPARE(caption, QString("zu-shell-box"));
        QCOMPARE(icon, QMessageBox::Information);
        QCOMPARE(buttons, 1);
        QCOMPARE(parent, &dialog);
        QVERIFY(dialog.isVisible()); // the box's Enter did not reach the dialog
    }
};

QTEST_MAIN(ShellTest)
#include "tst_Shell.moc"
