// Which devices "Update" and "Upd. All" send to: eligible clusters only for
// "Upd. All" (rows selected, earlier selections kept), answering selected
// devices for "Update", rows mapped to slots when a device missed the scan,
// refusals before any device is asked, serial mode and the port boxes.
#include "UploadFakeSupport.h"

#include <QSignalSpy>

using namespace uploadtest;

namespace {

// The station the target tests scan, in slot order.
constexpr int kClusterA = 11, kMonitor = 12, kFader1 = 13, kClusterB = 14, kFader2 = 15, kOld = 16,
              kClusterC = 17;

void scriptMixedStation() {
    using fakedll::makeRemoteInfo;
    fakedll::setScan({kClusterA, kMonitor, kFader1, kClusterB, kFader2, kOld, kClusterC});
    fakedll::setDevice(kClusterA, makeRemoteInfo(192, 168, 1, 20, "Cluster A", 1, 1, 2, 'A', 2, 3));
    fakedll::setDevice(kMonitor, makeRemoteInfo(192, 168, 1, 30, "Monitor", 1, 3, 5, 'D', 2, 3));
    fakedll::setDevice(kFader1, makeRemoteInfo(192, 168, 1, 40, "Fader 1", 1, 2, 1, 'F', 1, 7));
    fakedll::setDevice(kClusterB, makeRemoteInfo(192, 168, 1, 21, "Cluster B", 1, 1, 3, 'B', 2, 3));
    fakedll::setDevice(kFader2, makeRemoteInfo(192, 168, 1, 41, "Fader 2", 1, 2, 2, 'F', 1, 7));
    fakedll::setDevice(kOld, makeRemoteInfo(192, 168, 1, 60, "Cluster 0.01", 1, 1, 6, 'E', 0, 1));
    fakedll::setDevice(kClusterC, makeRemoteInfo(192, 168, 1, 22, "Cluster C", 1, 1, 4, 'C', 2, 1));
}

std::vector<int32_t> toVector(const QList<int>& ids) {
    return std::vector<int32_t>(ids.begin(), ids.end());
}

} // namespace

class UploadTargetsTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        fakedll::reset();
        scriptMixedStation();
    }

    // Upd. All: eligible clusters in slot order, their rows selected next to
    // whatever was selected before; every slot is asked, empty ones too.
    void updateAllTakesEligibleClusters_data() {
        QTest::addColumn<QList<int>>("missedScan");   // no info answer while scanning
        QTest::addColumn<QList<int>>("goneSilent");   // no info answer at the click
        QTest::addColumn<QList<int>>("expectedIds");  // sent to
        QTest::addColumn<QList<int>>("expectedRows"); // selected rows, by device id
        QTest::newRow("all answer") << QList<int>{} << QList<int>{} << QList<int>{11, 14, 17}
                                    << QList<int>{11, 13, 14, 17};
        QTest::newRow("cluster B missed the scan")
            << QList<int>{kClusterB} << QList<int>{} << QList<int>{11, 14, 17} << QList<int>{11, 13, 17};
        QTest::newRow("monitor missed the scan")
            << QList<int>{kMonitor} << QList<int>{} << QList<int>{11, 14, 17} << QList<int>{11, 13, 14, 17};
        QTest::newRow("cluster C gone silent")
            << QList<int>{} << QList<int>{kClusterC} << QList<int>{11, 14} << QList<int>{11, 13, 14};
    }
    void updateAllTakesEligibleClusters() {
        QFETCH(QList<int>, missedScan);
        QFETCH(QList<int>, goneSilent);
        QFETCH(QList<int>, expectedIds);
        QFETCH(QList<int>, expectedRows);
        UploadSetup setup("zu-up-all");
        for (int id : missedScan)
            fakedll::setDeviceAnswers(id, false);
        UpdateDialog dialog;
        setup.open(dialog);
        MessageLog messages(dialog);
        QCOMPARE(dialog.deviceList()->count(), 7 - missedScan.size());
        for (int id : missedScan)
            fakedll::setDeviceAnswers(id, true);
        for (int id : goneSilent)
            fakedll::setDeviceAnswers(id, false);
        selectIds(dialog, {kFader1}); // chosen by hand before
        const int queriesBefore = fakedll::remoteInfoQueries();
        const int emptyBefore = fakedll::remoteInfoQueries(0);

        click(dialog, IDC_UPDATE_ALL);
        QVERIFY(waitJobEnd(dialog));

        QCOMPARE(fakedll::remoteInfoQueries() - queriesBefore, kDeviceSlots);
        QCOMPARE(fakedll::remoteInfoQueries(0) - emptyBefore, kDeviceSlots - 7);
        QVERIFY(fakedll::calls("DllUploadFile").empty());
        QCOMPARE(fakedll::calls("DllUploadFileToDevices").size(), size_t(1));
        QCOMPARE(uploadedIds(), toVector(expectedIds));
        QCOMPARE(fakedll::calls("DllUploadFileToDevices").front().path, std::string(kImagePath));
        QCOMPARE(selectedIds(dialog), expectedRows);
        QCOMPARE(messages.texts(), QStringList{kSuccess});
    }

    void updateAllWithoutEligibleDevice() {
        UploadSetup setup("zu-up-all-none");
        fakedll::setDeviceAnswers(kClusterA, false);
        fakedll::setDeviceAnswers(kClusterB, false);
        UpdateDialog dialog;
        setup.open(dialog);
        MessageLog messages(dialog);
        fakedll::setDeviceAnswers(kClusterC, false);
        click(dialog, IDC_UPDATE_ALL);
        QCOMPARE(messages.texts(), QStringList{kNoStation});
        QCOMPARE(messages.shown().front().icon, MessageIcon::Exclamation);
        QVERIFY(!dialog.isUploading());
        QVERIFY(fakedll::calls("DllUploadFileToDevices").empty());
        QVERIFY(selectedIds(dialog).isEmpty());
    }

    // Update: every selected row's device that answers now, eligible or not;
    // row i is slot rowSlot[i], so a device that missed the scan shifts nothing.
    void updateTakesAnsweringSelection_data() {
        QTest::addColumn<QList<int>>("missedScan");
        QTest::addColumn<QList<int>>("selected");
        QTest::addColumn<QList<int>>("goneSilent");
        QTest::addColumn<QList<int>>("expectedIds"); // empty: the no-station message
        QTest::newRow("all answer") << QList<int>{} << QList<int>{11, 13, 17} << QList<int>{}
                                    << QList<int>{11, 13, 17};
        QTest::newRow("one gone silent")
            << QList<int>{} << QList<int>{11, 13, 17} << QList<int>{13} << QList<int>{11, 17};
        QTest::newRow("row after a missed device")
            << QList<int>{kClusterB} << QList<int>{15, 17} << QList<int>{} << QList<int>{15, 17};
        QTest::newRow("old firmware is sent when chosen")
            << QList<int>{} << QList<int>{16} << QList<int>{} << QList<int>{16};
        QTest::newRow("none answers")
            << QList<int>{} << QList<int>{11, 14} << QList<int>{11, 14} << QList<int>{};
        QTest::newRow("nothing selected") << QList<int>{} << QList<int>{} << QList<int>{} << QList<int>{};
    }
    void updateTakesAnsweringSelection() {
        QFETCH(QList<int>, missedScan);
        QFETCH(QList<int>, selected);
        QFETCH(QList<int>, goneSilent);
        QFETCH(QList<int>, expectedIds);
        UploadSetup setup("zu-up-update");
        for (int id : missedScan)
            fakedll::setDeviceAnswers(id, false);
        UpdateDialog dialog;
        setup.open(dialog);
        MessageLog messages(dialog);
        for (int id : missedScan)
            fakedll::setDeviceAnswers(id, true);
        for (int id : goneSilent)
            fakedll::setDeviceAnswers(id, false);
        selectIds(dialog, selected);
        const int queriesBefore = fakedll::remoteInfoQueries();

        click(dialog, IDC_UPDATE);
        QVERIFY(waitJobEnd(dialog));

        QCOMPARE(fakedll::remoteInfoQueries() - queriesBefore, int(selected.size()));
        if (expectedIds.isEmpty()) {
            QCOMPARE(messages.texts(), QStringList{kNoStation});
            QCOMPARE(messages.shown().front().icon, MessageIcon::Exclamation);
            QVERIFY(fakedll::calls("DllUploadFileToDevices").empty());
            QVERIFY(fakedll::calls("DllUploadFile").empty());
            QCOMPARE(dialog.progressBar()->value(), 0);
            QVERIFY(dialog.control(IDC_UPDATE)->isEnabled());
        } else {
            QCOMPARE(uploadedIds(), toVector(expectedIds));
            QCOMPARE(messages.texts(), QStringList{kSuccess});
        }
        QCOMPARE(selectedIds(dialog), selected); // Update leaves the selection alone
    }

    // Nothing is asked of any device when the file is missing or not a
    // firmware image the updater knows.
    void refusedBeforeAnyDeviceIsAsked_data() {
        QTest::addColumn<int>("command");
        QTest::addColumn<QString>("fileBoxText");
        QTest::addColumn<int>("fileType"); // 0: the library refuses the file
        QTest::addColumn<QString>("expected");
        const QString image = QString::fromLatin1(kImagePath);
        const QString invalid = "Invalid application program file";
        for (int command : {IDC_UPDATE, IDC_UPDATE_ALL}) {
            const char* name = command == IDC_UPDATE ? "Update" : "Upd. All";
            QTest::addRow("%s, empty file box", name) << command << "" << 2 << "Filename missing";
            QTest::addRow("%s, type 5", name) << command << image << 5 << invalid;
            QTest::addRow("%s, type 8", name) << command << image << 8 << invalid;
            QTest::addRow("%s, type 0x105", name) << command << image << 0x105 << invalid;
            QTest::addRow("%s, not an image", name) << command << image << 0 << invalid;
            QTest::addRow("%s, typed path unknown", name) << command << "/fw/other.bin" << 2 << invalid;
        }
    }
    void refusedBeforeAnyDeviceIsAsked() {
        QFETCH(int, command);
        QFETCH(QString, fileBoxText);
        QFETCH(int, fileType);
        QFETCH(QString, expected);
        UploadSetup setup("zu-up-refuse");
        UpdateDialog dialog;
        setup.open(dialog);
        MessageLog messages(dialog);
        if (fileType == 0)
            fakedll::setFileInfo(kImagePath, {"CLUSTER", 6, 12, 26, 2, 2, 4, 0});
        else
            scriptImage(fileType);
        dialog.fileBox()->setEditText(fileBoxText);
        selectIds(dialog, {kClusterA});
        const size_t callsBefore = fakedll::calls().size();

        click(dialog, command);

        QCOMPARE(messages.texts(), QStringList{expected});
        QCOMPARE(messages.shown().front().icon, MessageIcon::Exclamation);
        QStringList after;
        const auto calls = fakedll::calls();
        for (size_t i = callsBefore; i < calls.size(); ++i)
            after.append(QString::fromStdString(calls[i].function));
        // The file check alone, and not even that for an empty box.
        QCOMPARE(after, fileBoxText.isEmpty() ? QStringList{} : QStringList{"DllGetFileInfo"});
        QVERIFY(!dialog.isUploading());
        if (fileType > 0 && !fileBoxText.isEmpty() && fileBoxText == QString::fromLatin1(kImagePath))
            QVERIFY(dialog.infoLine()->text().startsWith("[Error!!!]  CLUSTER"));
        if (fileBoxText.isEmpty())
            QCOMPARE(dialog.infoLine()->text(), kDescription); // untouched
    }

    // A ticked serial box sends the first answering target alone through the
    // single-target call, whether or not its port opened.
    void serialModeSendsFirstTargetAlone_data() {
        QTest::addColumn<int>("command");
        QTest::addColumn<QList<int>>("ticks"); // boxes clicked, in order
        QTest::addColumn<int>("openResult");   // what every DllOpenPort answers
        QTest::addColumn<int>("expectedId");
        QTest::newRow("Com1 after a failed open")
            << IDC_UPDATE << QList<int>{IDC_USE_COM1} << 0 << int(kClusterA);
        QTest::newRow("Com2 after a failed open")
            << IDC_UPDATE << QList<int>{IDC_USE_COM2} << 0 << int(kClusterA);
        QTest::newRow("both after failed opens")
            << IDC_UPDATE << QList<int>{IDC_USE_COM1, IDC_USE_COM2} << 0 << int(kClusterA);
        QTest::newRow("Com1 opened") << IDC_UPDATE << QList<int>{IDC_USE_COM1} << 1 << int(kClusterA);
        QTest::newRow("Upd. All, Com2 opened")
            << IDC_UPDATE_ALL << QList<int>{IDC_USE_COM2} << 1 << int(kClusterA);
    }
    void serialModeSendsFirstTargetAlone() {
        QFETCH(int, command);
        QFETCH(QList<int>, ticks);
        QFETCH(int, openResult);
        QFETCH(int, expectedId);
        UploadSetup setup("zu-up-serial");
        fakedll::setOpenPortResult(1, openResult);
        fakedll::setOpenPortResult(2, openResult);
        UpdateDialog dialog;
        setup.open(dialog);
        MessageLog messages(dialog);
        for (int box : ticks)
            click(dialog, box);
        selectIds(dialog, {kClusterA, kFader1});

        click(dialog, command);
        QVERIFY(waitJobEnd(dialog));

        QVERIFY(fakedll::calls("DllUploadFileToDevices").empty());
        const auto serial = fakedll::calls("DllUploadFile");
        QCOMPARE(serial.size(), size_t(1));
        QCOMPARE(serial.front().id, expectedId);
        QCOMPARE(serial.front().path, std::string(kImagePath));
        QVERIFY(serial.front().hasCallback);
        QCOMPARE(messages.texts(), QStringList{kSuccess});
    }

    // A failed open keeps the tick and the boxes; a successful one disables
    // both for good with the marks as they are.
    void portBoxes_data() {
        QTest::addColumn<int>("box");
        QTest::addColumn<int>("port");
        QTest::newRow("Use Com1") << IDC_USE_COM1 << 1;
        QTest::newRow("Use Com2") << IDC_USE_COM2 << 2;
    }
    void portBoxes() {
        QFETCH(int, box);
        QFETCH(int, port);
        UploadSetup setup("zu-up-ports");
        fakedll::setOpenPortResult(port, 0);
        UpdateDialog dialog;
        setup.open(dialog);
        MessageLog messages(dialog);
        auto* clicked = qobject_cast<QCheckBox*>(dialog.control(box));
        auto* other =
            qobject_cast<QCheckBox*>(dialog.control(box == IDC_USE_COM1 ? IDC_USE_COM2 : IDC_USE_COM1));

        click(dialog, box); // fails: ticked, nothing else
        QVERIFY(clicked->isChecked());
        QVERIFY(clicked->isEnabled());
        QVERIFY(other->isEnabled());

        fakedll::setOpenPortResult(port, 1);
        click(dialog, box); // unticks, tries again, opens
        QVERIFY(!clicked->isChecked());
        QVERIFY(!other->isChecked());
        QVERIFY(!clicked->isEnabled());
        QVERIFY(!other->isEnabled());
        const auto opens = fakedll::calls("DllOpenPort");
        QCOMPARE(opens.size(), size_t(2));
        QCOMPARE(opens[0].port, port);
        QCOMPARE(opens[1].port, port);
        QVERIFY(messages.shown().isEmpty());

        // Unticked, so uploads stay on the network; the boxes stay disabled
        // after the job gives the other controls back.
        selectIds(dialog, {kClusterA, kClusterB});
        click(dialog, IDC_UPDATE);
        QVERIFY(waitJobEnd(dialog));
        QCOMPARE(uploadedIds(), (std::vector<int32_t>{kClusterA, kClusterB}));
        QVERIFY(fakedll::calls("DllUploadFile").empty());
        QVERIFY(dialog.control(IDC_UPDATE)->isEnabled());
        QVERIFY(!clicked->isEnabled());
        QVERIFY(!other->isEnabled());
    }
};

QTEST_MAIN(UploadTargetsTest)
#include "tst_upload_targets.moc"
