// A job through the dialog and its upload controller: the bar follows the
// progress and never goes back, coalesced while the GUI thread is busy (the
// worker never waits for it: gates and whole uploads pass while the GUI thread
// serves nothing), the flash warning exactly once, after the result box the
// file description back and the bar at 0; result texts and icons (only 1 is
// success); the commands held and every way out refused until the box is
// dismissed; a ticked serial box after a failed open; the port boxes after an
// opened port; a worker that cannot be started; a dialog destroyed under a job;
// each outcome the library reports (and a commit the device does not show) as a
// line of the box's details and as its row's icon and tooltip until Refresh.
#include "tests/gui/GuiTestSupport.h"

#include "core/UploadController.h"

#include <system_error>

namespace {

const QString kDescription = "[NetAppl]  CLUSTER  Ver. 2.04  Date: 6/12/26";
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

    std::unique_ptr<TestApp> m_t;

private slots:
    void init() {
        fakedll::reset();
        fakedll::script().scanIds = {21, 22};
        for (int id : {21, 22}) // eligible clusters
            fakedll::script().devices[id] = {
                fakedll::makeRemoteInfo(192, 168, 1, 20, "C", 1, 1, 2, 'A', 2, 3)};
        fakedll::script().files["/fw/cluster-2.4.bin"] = {"CLUSTER", 6, 12, 26, 2, 2, 4, 1};
        m_t = std::make_unique<TestApp>();
        m_t->start("File1=/fw/cluster-2.4.bin\n");
    }
    void cleanup() { m_t.reset(); }

    // Gated rows stop before the last value; once the bar shows the highest
    // value before it, the test writes "probe" into the info line, which a
    // second warning would overwrite.
    void progressAndResult_data() {
        QTest::addColumn<QList<int>>("progress");
        QTest::addColumn<int>("result");
        QTest::addColumn<bool>("busy");         // the GUI thread waits for the upload's end, serving nothing
        QTest::addColumn<QStringList>("texts"); // every text the info line took
        QTest::newRow("1 50 95 96 100") << QList<int>{1, 50, 95, 96, 100} << 1 << false
                                        << QStringList{kFlashWarning, "probe", kDescription};
        QTest::newRow("stays at 95, result 0")
            << QList<int>{1, 50, 95, 95} << 0 << false << QStringList{"probe"};
        QTest::newRow("jumps to 100, result 2")
            << QList<int>{1, 100} << 2 << false << QStringList{"probe", kFlashWarning, kDescription};
        QTest::newRow("repeats and falls back, result -1")
            << QList<int>{1, 1, 60, 50, 96, 90, 100} << -1 << false
            << QStringList{kFlashWarning, "probe", kDescription};
        QTest::newRow("busy GUI: 96 coalesced away")
            << QList<int>{1, 50, 96, 97, 100} << 1 << true << QStringList{kFlashWarning, kDescription};
        QTest::newRow("no progress at all") << QList<int>{} << 1 << false << QStringList{"probe"};
    }
    void progressAndResult() {
        QFETCH(QList<int>, progress);
        QFETCH(int, result);
        QFETCH(bool, busy);
        QFETCH(QStringList, texts);
        UpdateDialog& dialog = m_t->shown();
        const MessageLog messages(&dialog);
        const int gate = busy ? -1 : std::max(int(progress.size()) - 1, 0);
        fakedll::script().upload = {std::vector<int32_t>(progress.begin(), progress.end()), result, gate};
        QList<int> bar;
        QStringList seen;
        connect(dialog.progressBar(), &QProgressBar::valueChanged, this,
                [&](int value) { bar.append(value); });
        connect(dialog.infoLine(), &QLineEdit::textChanged, this,
                [&](const QString& text) { seen.append(text); });
        const auto highest = [](const QList<int>& values) {
            return std::max(1, *std::max_element(values.begin(), values.end()));
        };
        const int top = highest(progress + QList<int>{0});

        click(dialog, IDC_UPDATE_ALL);
        if (busy) {
            QVERIFY(fakedll::waitUploadsFinished(1, 10000));
        } else {
            QVERIFY(fakedll::waitUploadGated(10000));
            QTRY_COMPARE(dialog.progressBar()->value(), highest(progress.mid(0, gate) + QList<int>{0}));
            dialog.infoLine()->setText("probe");
            fakedll::releaseUpload();
        }
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isUploading(), 10000); // the job served to its end

        QVERIFY(std::adjacent_find(bar.begin(), bar.end() - 1, std::greater_equal<int>()) == bar.end() - 1);
        QCOMPARE(bar.mid(bar.size() - 2), QList<int>({top, 0}));
        QVERIFY(!busy || bar.size() == 2); // one coalesced update, then the end's 0
        QCOMPARE(seen, texts);
        // One box, while the job still showed its last state and held the dialog.
        QCOMPARE(messages.texts(),
                 QStringList{result == 1 ? "Upload Successfull     " : "Failed to upload file"});
        const ShownMessage& box = messages.front();
        QVERIFY(box.box.icon == (result == 1 ? MessageIcon::Information : MessageIcon::Stop));
        QCOMPARE(box.bar, top);
        QCOMPARE(box.infoLine, texts[texts.size() - (texts.last() == kDescription ? 2 : 1)]);
        QVERIFY(box.held);
        QCOMPARE(fakedll::calls("DllUploadFileToDevices").at(0).callbackReturns,
                 std::vector<int32_t>(progress.size(), 1));
    }

    // A refusal holds nothing; a worker that cannot be created ends the
    // command quietly. While the worker runs the commands are disabled and no
    // way out ends the dialog; afterwards all comes back but the port boxes
    // once a port opened.
    void jobHoldsTheDialog_data() {
        QTest::addColumn<QList<int>>("portResults"); // Use Com1 clicked this often, opening as given
        QTest::newRow("no port") << QList<int>{};
        QTest::newRow("Com1 opened, unticked: network") << QList<int>{0, 1};
        QTest::newRow("Com1 failed, ticked: serial") << QList<int>{0};
    }
    void jobHoldsTheDialog() {
        QFETCH(QList<int>, portResults);
        UpdateDialog& dialog = m_t->shown();
        const MessageLog messages(&dialog);
        QSignalSpy finished(&dialog, &QDialog::finished);
        click(dialog, IDC_UPDATE);
        QCOMPARE(messages.texts(),
                 QStringList{"No valid Quorvane stations found - Refresh to Select Device"});
        QVERIFY(messages.front().box.icon == MessageIcon::Exclamation && !messages.front().held);
        dialog.uploadController().setThreadLauncher([](const std::function<void()>&) -> std::thread {
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        });
        click(dialog, IDC_UPDATE_ALL);
        QVERIFY(messages.size() == 1 && fakedll::calls("DllUploadFileToDevices").empty());
        QVERIFY(!dialog.isUploading() && disabledControls(dialog).isEmpty());
        dialog.uploadController().setThreadLauncher({});
        for (int opens : portResults) {
            fakedll::script().portResults[1] = opens;
            click(dialog, IDC_USE_COM1);
        }
        const bool opened = portResults.contains(1);
        QCOMPARE(dialog.useCom1Box()->isChecked(), portResults.size() == 1);
        fakedll::script().upload = {{1, 50, 96, 100}, 1, 2};
        dialog.control(IDC_UPDATE_ALL)->setFocus();
        QTest::keyClick(dialog.control(IDC_UPDATE_ALL), Qt::Key_Return); // Enter presses the focused button
        QVERIFY(fakedll::waitUploadGated(10000));

        QCOMPARE(disabledControls(dialog), kHeld); // the device list stays usable
        QTest::keyClick(&dialog, Qt::Key_Escape);
        QTest::keyClick(dialog.deviceList(), Qt::Key_Return);
        QVERIFY(!dialog.close() && dialog.isVisible() && finished.isEmpty());
        fakedll::releaseUpload();
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isUploading(), 10000); // the job served to its end
        QCOMPARE(messages.texts().last(), QString("Upload Successfull     "));
        const bool serial = portResults.size() == 1; // the first target alone, through the port
        QVERIFY(fakedll::calls(serial ? "DllUploadFileToDevices" : "DllUploadFile").empty());
        QCOMPARE(fakedll::calls(serial ? "DllUploadFile" : "DllUploadFileToDevices").at(0).id,
                 serial ? 21 : 0);
        QCOMPARE(disabledControls(dialog), opened ? QList<int>({IDC_USE_COM1, IDC_USE_COM2}) : QList<int>{});
        QCOMPARE(dialog.focusWidget(), dialog.control(IDC_UPDATE_ALL)); // Enter would not end the run
        click(dialog, kIdCancel);
        QCOMPARE(finished.size(), 1);
    }

    void outcomeOfEachTarget() {
        // What the library reports, and what the box and the row say; last a commit the device does not show.
        const std::pair<fakedll::Outcome, QString> rows[] = {
            {{}, "committed"},
            {{UPLOAD_UNREACHABLE, "the device did not answer"}, "unreachable"},
            {{UPLOAD_REFUSED, "image type NetAppl is not accepted by this device"}, "refused"},
            {{UPLOAD_TRANSFER_FAILED, "a chunk arrived damaged"}, "transfer-failed"},
            {{UPLOAD_VERIFY_FAILED, "the device found the image invalid"}, "verify-failed"},
            {{UPLOAD_FLASH_FAILED, "programming the flash failed"}, "flash-failed"},
            {{UPLOAD_COMMITTED, "", false},
             "verify-failed: the device reports version 2.03 after the upload, not 2.04"}};
        fakedll::script().scanIds = {21, 22, 23, 24, 25, 26, 27}; // the library answers 1 all the same
        for (int i = 0; i < 7; ++i)
            std::tie(fakedll::script().devices[21 + i], fakedll::script().upload.outcomes[21 + i]) =
                std::tuple(fakedll::script().devices[21], rows[i].first);
        UpdateDialog& dialog = m_t->shown();
        const MessageLog messages(&dialog);
        const QString line = dialog.deviceList()->item(6)->text();
        click(dialog, IDC_UPDATE_ALL);
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isUploading(), 10000);
        QCOMPARE(messages.texts(), QStringList{"Failed to upload file"});
        const QStringList details = messages.front().box.details.split('\n');
        for (int row = 0; row < 7; ++row) {
            const QListWidgetItem* item = dialog.deviceList()->item(row);
            const std::string& reason = rows[row].first.reason;
            const QString shown =
                rows[row].second + (reason.empty() ? "" : ": " + QString::fromStdString(reason));
            QCOMPARE(details.value(row),
                     QString("%1  C  2.03 -> 2.0%2  ").arg(21 + row).arg(row ? 3 : 4) + shown);
            QCOMPARE(item->icon().cacheKey(),
                     dialog.outcomeIcon(TargetOutcome(row < 6 ? row : 4)).cacheKey());
            QCOMPARE(item->toolTip(), shown);
        }
        QCOMPARE(dialog.deviceList()->item(6)->text(), line); // the text unchanged
        click(dialog, IDC_REFRESH);
        QVERIFY(dialog.deviceList()->item(6)->icon().isNull() &&
                dialog.deviceList()->item(6)->toolTip().isEmpty());
    }

    // The dialog going while a job runs (its event loop left under it) ends the
    // job first: the worker joined, the box shown, nothing left running.
    void dialogDestroyedUnderAJob() {
        const MessageLog messages;
        UpdateDialog& dialog = m_t->shown();
        fakedll::script().upload = {{1, 96, 100}, 1, 1};
        click(dialog, IDC_UPDATE_ALL);
        QVERIFY(fakedll::waitUploadGated(10000));
        fakedll::releaseUpload(); // the worker goes on while the dialog goes
        m_t.reset();              // the dialog goes first
        QVERIFY(fakedll::waitUploadsFinished(1, 0));
        QCOMPARE(messages.texts().last(), QString("Upload Successfull     "));
    }
};

QTEST_MAIN(UploadJobTest)
#include "tst_upload_job.moc"
