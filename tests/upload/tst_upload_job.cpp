// A running job: the bar follows each new progress value, the flash warning
// is written once above 95 and replaced by the file description after the
// result box, the bar ends at 0; result texts and icons (only 1 is success);
// the commands held and close refused while the worker runs, the port boxes
// after an opened port, a worker that cannot be created; a dialog destroyed
// under a job.
#include "UploadFakeSupport.h"

#include <QMenu>
#include <QSignalSpy>

#include <system_error>

using namespace uploadtest;

namespace {

// Every control a job holds still (the device list is not one of them).
const QList<int> kHeld = {IDC_UPDATE,   IDC_UPDATE_ALL, IDC_REFRESH,  IDC_BROWSE, IDC_INFO,
                          IDC_FILE_BOX, IDC_USE_COM1,   IDC_USE_COM2, kIdCancel};

QList<int> disabledControls(const UpdateDialog& dialog) {
    QList<int> ids;
    for (int id : kHeld)
        ids += dialog.control(id)->isEnabled() ? QList<int>{} : QList<int>{id};
    return ids;
}

} // namespace

class UploadJobTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        fakedll::reset();
        scriptStation({21, 22});
    }
    void cleanup() { setUploadThreadLauncher({}); }

    // At the gate (before the last value) the test writes "probe" into the
    // info line: a second warning would overwrite it.
    void progressAndResult_data() {
        QTest::addColumn<QList<int>>("progress");
        QTest::addColumn<int>("result");
        QTest::addColumn<QList<int>>("expectedBar");
        QTest::addColumn<QStringList>("expectedTexts"); // every text the info line took
        const QString warn = kFlashWarning;
        QTest::newRow("1 50 95 96 100")
            << QList<int>{1, 50, 95, 96, 100} << 1 << QList<int>{1, 50, 95, 96, 100, 0}
            << QStringList{warn, "probe", kDescription};
        QTest::newRow("stays at 95, result 0")
            << QList<int>{1, 50, 95, 95} << 0 << QList<int>{1, 50, 95, 0} << QStringList{"probe"};
        QTest::newRow("jumps to 100, result 2")
            << QList<int>{1, 100} << 2 << QList<int>{1, 100, 0} << QStringList{"probe", warn, kDescription};
        QTest::newRow("repeats, result -1")
            << QList<int>{1, 1, 50, 96, 96, 100} << -1 << QList<int>{1, 50, 96, 100, 0}
            << QStringList{warn, "probe", kDescription};
        QTest::newRow("no progress at all") << QList<int>{} << 1 << QList<int>{1, 0} << QStringList{"probe"};
    }
    void progressAndResult() {
        QFETCH(QList<int>, progress);
        QFETCH(int, result);
        QFETCH(QList<int>, expectedBar);
        QFETCH(QStringList, expectedTexts);
        UploadSetup setup("zu-up-progress");
        UpdateDialog dialog;
        setup.open(dialog);
        MessageLog messages(dialog);
        const int gate = progress.isEmpty() ? 0 : int(progress.size()) - 1;
        fakedll::setUploadScript(
            {std::vector<int32_t>(progress.begin(), progress.end()), result, gate, 10000});
        QList<int> bar;
        QStringList texts;
        connect(dialog.progressBar(), &QProgressBar::valueChanged, this,
                [&](int value) { bar.append(value); });
        connect(dialog.infoLine(), &QLineEdit::textChanged, this, [&](const QString& t) { texts.append(t); });
        const size_t fileChecks = fakedll::calls("DllGetFileInfo").size();

        click(dialog, IDC_UPDATE_ALL);
        QVERIFY(waitGate());
        dialog.infoLine()->setText("probe");
        fakedll::releaseUpload();
        QVERIFY(waitJobEnd(dialog));

        QCOMPARE(bar, expectedBar);
        QCOMPARE(texts, expectedTexts);
        // The command's own check, and the restoring one only after a warning.
        const bool warned = expectedTexts.size() > 1;
        QCOMPARE(fakedll::calls("DllGetFileInfo").size(), fileChecks + (warned ? 2 : 1));
        // One box, owned by the dialog, while the job still showed its last state.
        QCOMPARE(messages.shown().size(), 1);
        const ShownMessage& shown = messages.shown().front();
        QCOMPARE(shown.text, result == 1 ? kSuccess : kFailure);
        QVERIFY(shown.icon == (result == 1 ? MessageIcon::Information : MessageIcon::Stop));
        QCOMPARE(shown.owner, &dialog);
        QCOMPARE(shown.bar, expectedBar[expectedBar.size() - 2]);
        QCOMPARE(shown.infoLine, expectedTexts[expectedTexts.size() - (warned ? 2 : 1)]);
        QVERIFY(shown.uploading);
        // Every value went through the library's call on the worker.
        const auto upload = fakedll::calls("DllUploadFileToDevices").front();
        QCOMPARE(upload.callbackReturns, std::vector<int32_t>(progress.size(), 1));
        QVERIFY(upload.thread != std::this_thread::get_id());
    }

    // While the worker runs the commands are disabled and no way out ends the
    // dialog (nor when no worker could be created); afterwards all comes back (the port boxes never once a
    // port opened, uploads staying on the network) and Exit ends it.
    void jobHoldsTheDialog_data() {
        QTest::addColumn<bool>("portOpened");
        QTest::newRow("no port open") << false;
        QTest::newRow("a port open") << true;
    }
    void jobHoldsTheDialog() {
        QFETCH(bool, portOpened);
        UploadSetup setup("zu-up-hold");
        UpdateDialog dialog;
        setup.open(dialog);
        MessageLog messages(dialog);
        QSignalSpy finished(&dialog, &QDialog::finished);
        // First no worker can be created: no message, no upload, the controls back.
        setUploadThreadLauncher([](int (*)()) -> std::thread {
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        });
        click(dialog, IDC_UPDATE_ALL);
        QVERIFY(messages.shown().isEmpty() && fakedll::calls("DllUploadFileToDevices").empty());
        QVERIFY(!dialog.isUploading() && !uploadRunning() && disabledControls(dialog).isEmpty());
        setUploadThreadLauncher({});
        if (portOpened) {
            fakedll::setOpenPortResult(1, 0);
            click(dialog, IDC_USE_COM1); // ticked, not open
            QVERIFY(dialog.useCom1Box()->isChecked() && dialog.control(IDC_USE_COM2)->isEnabled());
            fakedll::setOpenPortResult(1, 1);
            click(dialog, IDC_USE_COM1); // unticked, open
            QVERIFY(!dialog.useCom1Box()->isChecked());
            QCOMPARE(fakedll::calls("DllOpenPort").size(), size_t(2));
        }
        fakedll::setUploadScript({{1, 50, 96, 100}, 1, 2, 10000});
        dialog.control(IDC_UPDATE_ALL)->setFocus();
        QTest::keyClick(dialog.control(IDC_UPDATE_ALL), Qt::Key_Return); // Enter presses the focused button
        QVERIFY(waitGate());

        QCOMPARE(disabledControls(dialog), kHeld);
        QVERIFY(dialog.deviceList()->isEnabled());
        QTest::keyClick(&dialog, Qt::Key_Escape);
        dialog.deviceList()->setFocus();
        QTest::keyClick(dialog.deviceList(), Qt::Key_Return);
        QVERIFY(!dialog.close());
        if (QMenu* menu = dialog.windowMenu())
            menu->actions().first()->trigger(); // "Close"
        dialog.accept();
        dialog.reject();
        QVERIFY(dialog.isVisible() && finished.isEmpty());
        QCOMPARE(fakedll::calls("DllUploadFileToDevices").size(), size_t(1));

        fakedll::releaseUpload();
        QVERIFY(waitJobEnd(dialog));
        QCOMPARE(messages.texts(), QStringList{kSuccess});
        QVERIFY(fakedll::calls("DllUploadFile").empty());
        const QList<int> portBoxes = {IDC_USE_COM1, IDC_USE_COM2};
        QCOMPARE(disabledControls(dialog), portOpened ? portBoxes : QList<int>{});
        click(dialog, kIdCancel);
        QCOMPARE(finished.size(), 1);
    }

    // Should the dialog go while a job runs (its event loop left under it),
    // it serves the worker to the end first instead of leaving it stranded.
    void dialogDestroyedUnderAJob() {
        UploadSetup setup("zu-up-destroy");
        auto* dialog = new UpdateDialog;
        setup.open(*dialog);
        QStringList texts;
        setShowMessageHook([&texts](const MessageRecord& record) { texts.append(record.text); });
        fakedll::setUploadScript({{1, 96, 100}, 1, 1, 10000});
        click(*dialog, IDC_UPDATE_ALL);
        QVERIFY(waitGate());
        QTimer::singleShot(50, [] { fakedll::releaseUpload(); });
        delete dialog;
        setShowMessageHook({});
        QVERIFY(!uploadRunning());
        QCOMPARE(texts, QStringList{kSuccess});
    }
};

QTEST_MAIN(UploadJobTest)
#include "tst_upload_job.moc"
