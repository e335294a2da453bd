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
#include <thread>

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

    zutest::FakeDeviceLibrary m_lib; // outlives the application that uses it
    std::unique_ptr<TestApp> m_t;

private slots:
    void init() {
        m_lib.reset();
        m_lib.script().scanIds = {21, 22};
        for (int id : {21, 22}) // eligible clusters
            m_lib.script().devices[id] = {zutest::makeDevice(192, 168, 1, 20, "C", 1, 1, 2, 'A', 2, 3)};
        m_lib.script().files["/fw/cluster-2.4.bin"] = {{"CLUSTER", 6, 12, 26, 2, 2, 4}};
        m_t = std::make_unique<TestApp>(&m_lib);
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
        const MessageLog messages(m_t->app(), &dialog);
        const int gate = busy ? -1 : std::max(int(progress.size()) - 1, 0);
        m_lib.script().upload = {std::vector<int32_t>(progress.begin(), progress.end()), result, gate};
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
            QVERIFY(m_lib.waitUploadsFinished(1, 10000));
        } else {
            QVERIFY(m_lib.waitUploadGated(10000));
            QTRY_COMPARE(dialog.progressBar()->value(), highest(progress.mid(0, gate) + QList<int>{0}));
            dialog.infoLine()->setText("probe");
            m_lib.releaseUpload();
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
        QCOMPARE(m_lib.calls("DllUploadFileToDevices").at(0).callbackReturns,
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
        const MessageLog messages(m_t->app(), &dialog);
        QSignalSpy finished(&dialog, &QDialog::finished);
        click(dialog, IDC_UPDATE);
        QCOMPARE(messages.texts(),
                 QStringList{"No valid Quorvane stations found - Refresh to Select Device"});
        QVERIFY(messages.front().box.icon == MessageIcon::Exclamation && !messages.front().held);
        dialog.uploadController().setThreadLauncher([](const std::function<void()>&) -> std::thread {
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        });
        click(dialog, IDC_UPDATE_ALL);
        QVERIFY(messages.size() == 1 && m_lib.calls("DllUploadFileToDevices").empty());
        QVERIFY(!dialog.isUploading() && disabledControls(dialog).isEmpty());
        dialog.uploadController().setThreadLauncher({});
        for (int opens : portResults) {
            m_lib.script().portResults[1] = opens;
            click(dialog, IDC_USE_COM1);
        }
        const bool opened = portResults.contains(1);
        QCOMPARE(dialog.useCom1Box()->isChecked(), portResults.size() == 1);
        m_lib.script().upload = {{1, 50, 96, 100}, 1, 2};
        dialog.control(IDC_UPDATE_ALL)->setFocus();
        QTest::keyClick(dialog.control(IDC_UPDATE_ALL), Qt::Key_Return); // Enter presses the focused button
        QVERIFY(m_lib.waitUploadGated(10000));

        QCOMPARE(disabledControls(dialog), kHeld); // the device list stays usable
        QTest::keyClick(&dialog, Qt::Key_Escape);
        QTest::keyClick(dialog.deviceList(), Qt::Key_Return);
        QVERIFY(!dialog.close() && dialog.isVisible() && finished.isEmpty());
        m_lib.releaseUpload();
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isUploading(), 10000); // the job served to its end
        QCOMPARE(messages.texts().last(), QString("Upload Successfull     "));
        const bool serial = portResults.size() == 1; // the first target alone, through the port
        QVERIFY(m_lib.calls(serial ? "DllUploadFileToDevices" : "DllUploadFile").empty());
        QCOMPARE(m_lib.calls(serial ? "DllUploadFile" : "DllUploadFileToDevices").at(0).id, serial ? 21 : 0);
        QCOMPARE(disabledControls(dialog), opened ? QList<int>({IDC_USE_COM1, IDC_USE_COM2}) : QList<int>{});
        QCOMPARE(dialog.focusWidget(), dialog.control(IDC_UPDATE_ALL)); // Enter would not end the run
        click(dialog, kIdCancel);
        QCOMPARE(finished.size(), 1);
    }

    // The box follows the library's answer (1 here) whatever the devices report; each
    // target's outcome goes to the box's details and to its row's icon and tooltip. Last: a
    // commit the device does not show stays a commit, the version in its reason.
    void outcomeOfEachTarget() {
        using O = TargetOutcome;
        const struct {
            zutest::FakeOutcome reported;
            QString shown;
        } rows[] = {{{}, "committed"},
                    {{int(O::Unreachable), "the device did not answer"}, "unreachable"},
                    {{int(O::Refused), "image type NetAppl is not accepted by this device"}, "refused"},
                    {{int(O::TransferFailed), "a chunk arrived damaged"}, "transfer-failed"},
                    {{int(O::FlashFailed), "programming the flash failed"}, "flash-failed"},
                    {{0, "", false}, "committed: device reports 2.03 after the update"}};
        m_lib.script().scanIds = {21, 22, 23, 24, 25, 26};
        for (int i = 0; i < 6; ++i)
            std::tie(m_lib.script().devices[21 + i], m_lib.script().upload.outcomes[21 + i]) =
                std::tuple(m_lib.script().devices[21], rows[i].reported);
        UpdateDialog& dialog = m_t->shown();
        const MessageLog messages(m_t->app(), &dialog);
        const QString line = dialog.deviceList()->item(5)->text();
        click(dialog, IDC_UPDATE_ALL);
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isUploading(), 10000);
        QCOMPARE(messages.texts(), QStringList{"Upload Successfull     "});
        const QStringList details = messages.front().box.details.split('\n');
        QCOMPARE(details.size(), 6);
        for (int row = 0; row < 6; ++row) {
            const QListWidgetItem* item = dialog.deviceList()->item(row);
            const QString shown =
                rows[row].shown +
                (rows[row].reported.reason.isEmpty() ? "" : ": " + rows[row].reported.reason);
            QCOMPARE(details[row], QString("%1  C  2.03 -> 2.0%2  ").arg(21 + row).arg(row ? 3 : 4) + shown);
            QCOMPARE(item->toolTip(), shown);
            // Rows of one outcome share their icon, the others differ.
            for (int other = 0; other < 6; ++other)
                QCOMPARE(item->icon().cacheKey() == dialog.deviceList()->item(other)->icon().cacheKey(),
                         rows[row].shown.section(':', 0, 0) == rows[other].shown.section(':', 0, 0));
        }
        QCOMPARE(dialog.deviceList()->item(5)->text(), line); // the text unchanged
        click(dialog, IDC_REFRESH);
        QVERIFY(dialog.deviceList()->item(5)->icon().isNull() &&
                dialog.deviceList()->item(5)->toolTip().isEmpty());
    }

    // The dialog going while a job runs (its event loop left under it) cancels the
    // job and waits for the worker: no box from a destructor, nothing left running.
    void dialogDestroyedUnderAJob() {
        bool boxShown = false;
        m_t->app().messages().setPresenter([&](const MessageRecord&) { boxShown = true; });
        UpdateDialog& dialog = m_t->shown();
        m_lib.script().upload = {{1, 50, 96, 100}, 1, 1};
        click(dialog, IDC_UPDATE_ALL);
        QVERIFY(m_lib.waitUploadGated(10000));
        std::thread release([this] { m_lib.releaseUpload(); });
        m_t.reset(); // the dialog goes first, while the worker waits at its gate or goes on
        release.join();
        QVERIFY(m_lib.waitUploadsFinished(1, 0) && !boxShown);
    }
};

QTEST_MAIN(UploadJobTest)
#include "tst_upload_job.moc"
