// Application shell: the name taken from the executable, a whole run whose
// store is read at start-up and written only at the exit step, and which
// window owns ShowMessage's box.
#include "GuiTestSupport.h"

#include "ResourceIds.h"
#include "ShowMessage.h"
#include "UpdateDialog.h"

#include <QListWidget>

class ShellTest : public QObject {
    Q_OBJECT

private slots:
    void init() { fakedll::reset(); }
    void cleanup() { setShowMessageHook({}); }

    // Start-up, the modal run as main window, the exit step: nothing reaches
    // the store until the dialog has ended.
    void runWritesTheStoreOnlyAtExit() {
        TestApp t("zu.shell-run.exe");
        QCOMPARE(QCoreApplication::applicationName(), QString("zu.shell-run")); // only the last extension
        QVERIFY(t.confPath().endsWith("/Quorvane/zu.shell-run.conf"));
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
        TestApp t("fwtool.exe");
        QList<MessageRecord> seen;
        setShowMessageHook([&](const MessageRecord& record) { seen.append(record); });
        ShowMessage("no window", MessageIcon::Information);
        UpdateDialog dialog;
        t.app().setMainWindow(&dialog);
        dialog.show();
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
            QCOMPARE(seen[i].caption, QString("fwtool"));
        }
    }
};

QTEST_MAIN(ShellTest)
#include "tst_Shell.moc"
