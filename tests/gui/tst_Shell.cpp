// Application shell: the name taken from the executable, a whole run whose
// store is read at start-up and written only at the exit step (gaps kept,
// stray values dropped), and which window owns ShowMessage's box.
#include "GuiTestSupport.h"

#include "AboutDialog.h"
#include "ResourceIds.h"
#include "ShowMessage.h"
#include "UpdateDialog.h"

#include <QListWidget>

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
        QTest::newRow("only the last extension dropped") << "fw.tool.exe"
                                                         << "fw.tool";
    }
    void applicationNameFromExecutable() {
        QFETCH(QString, file);
        QFETCH(QString, name);
        TestApp t(file);
        QCOMPARE(QCoreApplication::applicationName(), name);
        QVERIFY(t.confPath().endsWith("/Quorvane/" + name + ".conf"));
    }

    // Start-up, the modal run as main window, the exit step: nothing reaches
    // the store until the dialog has ended.
    void runWritesTheStoreOnlyAtExit() {
        TestApp t("zu-shell-run");
        t.storeRecentFiles({{"File1", "/fw/old.bin"}, {"File3", "/fw/three.bin"}, {"Stray", "x"}});
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
        stored.beginGroup("Recent File List");
        QStringList keys = stored.childKeys();
        keys.sort();
        QCOMPARE(keys, QStringList({"File1", "File2", "File4"}));
        QCOMPARE(stored.value("File1").toString(), chosen);
        QCOMPARE(stored.value("File2").toString(), QString("/fw/old.bin"));
        QCOMPARE(stored.value("File4").toString(), QString("/fw/three.bin"));
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
            ShowMessage("stranger", MessageIcon::Information);
            other->close();
        });
        stranger.exec();
        QCOMPARE(seen.size(), 4);
        QCOMPARE(seen[3].owner, &dialog);
    }
};

QTEST_MAIN(ShellTest)
#include "tst_Shell.moc"
