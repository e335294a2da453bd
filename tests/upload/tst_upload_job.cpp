// A running job: the bar follows each new progress value, the flash warning
// is written once above 95 and replaced by the file description after the
// result box, the bar ends at 0; result texts and icons; the commands held
// and the dialog kept open while the worker runs; a worker that cannot be
// created; a real result box owned by the dialog; a dialog destroyed under a job.
#include "UploadFakeSupport.h"

#include <QMenu>
#include <QMessageBox>
#include <QSignalSpy>

#include <system_error>

using namespace uploadtest;

namespace {

constexpr int kUnitA = 21, kUnitB = 22;

// Every control a job holds still (the device list is not one of them).
const QList<int> kHeld = {IDC_UPDATE,   IDC_UPDATE_ALL, IDC_REFRESH,  IDC_BROWSE, IDC_INFO,
                          IDC_FILE_BOX, IDC_USE_COM1,   IDC_USE_COM2, kIdCancel};

QList<int> disabledControls(const UpdateDialog& dialog) {
    QList<int> ids;
    for (int id : kHeld) {
        if (!dialog.control(id)->isEnabled())
            ids.append(id);
    }
    return ids;
}

} // namespace

class UploadJobTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        fakedll::reset();
        scriptStation({kUnitA, kUnitB});
    }
    void cleanup() { setUploadThreadLauncher({}); }

    // The script's values reach the bar once each; the info line sees the
    // warning at the first value above 95 and the description after the box.
    // At the gate (before the last value) the test writes "probe" into the
    // info line: a second warning would overwrite it.
    void progressAndFlashWarning_data() {
        QTest::addColumn<QList<int>>("progress");
        QTest::addColumn<QList<int>>("expectedBar");
        QTest::addColumn<QStringList>("expectedTexts"); // every text the info line took
        QTest::addColumn<int>("warnedAt");              // bar value when the warning appeared; -1 never
        const QString warn = kFlashWarning;
        QTest::newRow("1 50 95 96 100") << QList<int>{1, 50, 95, 96, 100} << QList<int>{1, 50, 95, 96, 100, 0}
                                        << QStringList{warn, "probe", kDescription} << 96;
        QTest::newRow("stays at 95") << QList<int>{1, 50, 95, 95} << QList<int>{1, 50, 95, 0}
                                     << QStringList{"probe"} << -1;
        QTest::newRow("jumps to 100")
            << QList<int>{1, 100} << QList<int>{1, 100, 0} << QStringList{"probe", warn, kDescription} << 100;
        QTest::newRow("repeats") << QList<int>{1, 1, 50, 50, 96, 96, 97, 100}
                                 << QList<int>{1, 50, 96, 97, 100, 0}
                                 << QStringList{warn, "probe", kDescription} << 96;
        QTest::newRow("no progress at all") << QList<int>{} << QList<int>{1, 0} << QStringList{"probe"} << -1;
    }
    void progressAndFlashWarning() {
        QFETCH(QList<int>, progress);
        QFETCH(QList<int>, expectedBar);
        QFETCH(QStringList, expectedTexts);
        QFETCH(int, warnedAt);
        UploadSetup setup("zu-up-progress");
        UpdateDialog dialog;
        setup.open(dialog);
        MessageLog messages(dialog);
        fakedll::UploadScript script;
        script.progress = std::vector<int32_t>(progress.begin(), progress.end());
        script.gateAfter = progress.isEmpty() ? 0 : int(progress.size()) - 1;
        fakedll::setUploadScript(script);

        QList<int> bar;
        QStringList texts;
        int barAtWarning = -1;
        connect(dialog.progressBar(), &QProgressBar::valueChanged, this,
                [&](int value) { bar.append(value); });
        connect(dialog.infoLine(), &QLineEdit::textChanged, this, [&](const QString& text) {
            texts.append(text);
            if (text == kFlashWarning)
                barAtWarning = dialog.progressBar()->value();
        });
        const size_t fileChecks = fakedll::calls("DllGetFileInfo").size();

        click(dialog, IDC_UPDATE_ALL);
        QVERIFY(waitGate());
        dialog.infoLine()->setText("probe");
        fakedll::releaseUpload();
        QVERIFY(waitJobEnd(dialog));

        QCOMPARE(bar, expectedBar);
        QCOMPARE(texts, expectedTexts);
        QCOMPARE(barAtWarning, warnedAt);
        QCOMPARE(dialog.progressBar()->value(), 0);
        // The command's own check, and the restoring one only after a warning.
        QCOMPARE(fakedll::calls("DllGetFileInfo").size(), fileChecks + (warnedAt < 0 ? 1 : 2));
        // The box came while the job still showed its last state.
        QCOMPARE(messages.shown().size(), 1);
        QCOMPARE(messages.shown().front().bar, expectedBar[expectedBar.size() - 2]);
        QCOMPARE(messages.shown().front().infoLine,
                 expectedTexts[expectedTexts.size() - (warnedAt < 0 ? 1 : 2)]);
        QVERIFY(messages.shown().front().uploading);
        // Every value went through the library's call on the worker.
        const auto upload = fakedll::calls("DllUploadFileToDevices").front();
        QCOMPARE(upload.callbackReturns, std::vector<int32_t>(progress.size(), 1));
        QVERIFY(upload.thread != std::this_thread::get_id());
    }

    // Exactly 1 is success; everything else is a failure.
    void resultBox_data() {
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("icon");
        QTest::newRow("1") << 1 << kSuccess << int(MessageIcon::Information);
        QTest::newRow("0") << 0 << kFailure << int(MessageIcon::Stop);
        QTest::newRow("2") << 2 << kFailure << int(MessageIcon::Stop);
        QTest::newRow("-1") << -1 << kFailure << int(MessageIcon::Stop);
    }
    void resultBox() {
        QFETCH(int, result);
        QFETCH(QString, text);
        QFETCH(int, icon);
        UploadSetup setup("zu-up-result");
        UpdateDialog dialog;
        setup.open(dialog);
        MessageLog messages(dialog);
        fakedll::setUploadScript({{1, 50, 96, 100}, result, -1, 10000});
        click(dialog, IDC_UPDATE_ALL);
        QVERIFY(waitJobEnd(dialog));
        QCOMPARE(messages.shown().size(), 1);
        QCOMPARE(messages.shown().front().text, text);
        QCOMPARE(int(messages.shown().front().icon), icon);
        QCOMPARE(messages.shown().front().owner, &dialog);
        // Success or not, the screen is put back the same way.
        QCOMPARE(dialog.infoLine()->text(), kDescription);
        QCOMPARE(dialog.progressBar()->value(), 0);
    }

    // While the worker runs the commands are disabled and no way out ends
    // the dialog; afterwards all comes back (the serial boxes only while no
    // port is open) and Exit ends it.
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
        if (portOpened) {
            fakedll::setOpenPortResult(1, 0);
            click(dialog, IDC_USE_COM1); // ticked, not open
            fakedll::setOpenPortResult(1, 1);
            click(dialog, IDC_USE_COM1); // unticked, open
        }
        fakedll::setUploadScript({{1, 50, 96, 100}, 1, 2, 10000});
        dialog.control(IDC_UPDATE_ALL)->setFocus();
        QTest::keyClick(dialog.control(IDC_UPDATE_ALL), Qt::Key_Return); // Enter presses the focused button
        QVERIFY(waitGate());

        QVERIFY(dialog.isUploading());
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
        QVERIFY(dialog.isVisible());
        QVERIFY(finished.isEmpty());
        QCOMPARE(fakedll::calls("DllUploadFileToDevices").size(), size_t(1));

        fakedll::releaseUpload();
        QVERIFY(waitJobEnd(dialog));
        QCOMPARE(messages.texts(), QStringList{kSuccess});
        const QList<int> stillDisabled = portOpened ? QList<int>{IDC_USE_COM1, IDC_USE_COM2} : QList<int>{};
        QCOMPARE(disabledControls(dialog), stillDisabled);
        QVERIFY(dialog.canClose());
        click(dialog, kIdCancel);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(finished.size(), 1);
    }

    // No thread: no message, no upload, the controls back, and the next
    // command works.
    void workerThatCannotBeCreated() {
        UploadSetup setup("zu-up-nothread");
        UpdateDialog dialog;
        setup.open(dialog);
        MessageLog messages(dialog);
        int attempts = 0;
        setUploadThreadLauncher([&attempts](int (*)()) -> std::thread {
            ++attempts;
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        });
        click(dialog, IDC_UPDATE_ALL);
        QCOMPARE(attempts, 1);
        QVERIFY(messages.shown().isEmpty());
        QVERIFY(!dialog.isUploading());
        QVERIFY(!uploadRunning());
        QVERIFY(disabledControls(dialog).isEmpty());
        QVERIFY(dialog.canClose());
        QVERIFY(fakedll::calls("DllUploadFileToDevices").empty());
        QCOMPARE(dialog.progressBar()->value(), 0);

        setUploadThreadLauncher({});
        click(dialog, IDC_UPDATE_ALL);
        QVERIFY(waitJobEnd(dialog));
        QCOMPARE(messages.texts(), QStringList{kSuccess});
    }

    // The real box: modal over the dialog, the worker held until it closes.
    void realResultBoxHoldsTheWorker() {
        UploadSetup setup("zu-up-box");
        UpdateDialog dialog;
        setup.open(dialog);
        fakedll::setUploadScript({{1, 96, 100}, 0, -1, 10000});
        QString text;
        QWidget* parent = nullptr;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        int barWhileOpen = -1;
        bool uploadingWhileOpen = false;
        onNextModal("QMessageBox", [&](QWidget* widget) {
            auto* box = static_cast<QMessageBox*>(widget);
            text = box->text();
            icon = box->icon();
            parent = box->parentWidget();
            QTest::qWait(30);
            barWhileOpen = dialog.progressBar()->value();
            uploadingWhileOpen = dialog.isUploading();
            QTest::keyClick(box, Qt::Key_Return);
        });
        click(dialog, IDC_UPDATE_ALL);
        QVERIFY(waitJobEnd(dialog));
        QCOMPARE(text, kFailure);
        QCOMPARE(icon, QMessageBox::Critical);
        QCOMPARE(parent, &dialog);
        QCOMPARE(barWhileOpen, 100);
        QVERIFY(uploadingWhileOpen);
        QCOMPARE(dialog.progressBar()->value(), 0);
        QCOMPARE(dialog.infoLine()->text(), kDescription);
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
        QVERIFY(fakedll::waitUploadsFinished(1, 0));
    }
};

QTEST_MAIN(UploadJobTest)
#include "tst_upload_job.moc"
