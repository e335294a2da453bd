// Which devices "Update" and "Upd. All" send to: eligible clusters only for
// "Upd. All" (rows selected, earlier selections kept), answering selected
// devices for "Update", rows mapped to slots when a device missed the scan,
// a ticked serial box sending the first target alone, and refusals before
// any device is asked.
#include "UploadFakeSupport.h"

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

using Ids = QList<int>;

} // namespace

class UploadTargetsTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        fakedll::reset();
        scriptMixedStation();
    }

    // `missedScan` did not answer the scan, at the click those answer again
    // and `goneSilent` stop answering. Sent to: `expectedIds` (empty: the
    // no-station message). `ticks`: serial boxes clicked first, their ports
    // opening as `opens` says.
    void targets_data() {
        for (const char* column :
             {"missedScan", "goneSilent", "selected", "expectedIds", "expectedRows", "ticks"})
            QTest::addColumn<Ids>(column);
        QTest::addColumn<int>("command");
        QTest::addColumn<int>("opens");
        const auto all = [](const char* name, Ids missed, Ids silent, Ids selected, Ids ids, Ids rows,
                            Ids ticks = {}, int opens = 0) {
            QTest::newRow(name) << missed << silent << selected << ids << rows << ticks << IDC_UPDATE_ALL
                                << opens;
        };
        const auto one = [](const char* name, Ids missed, Ids silent, Ids selected, Ids ids, Ids ticks = {}) {
            QTest::newRow(name) << missed << silent << selected << ids << selected << ticks << IDC_UPDATE
                                << 0;
        };
        all("Upd. All", {}, {}, {13}, {11, 14, 17}, {11, 13, 14, 17});
        all("Upd. All, cluster B missed the scan", {kClusterB}, {}, {13}, {11, 14, 17}, {11, 13, 17});
        all("Upd. All, cluster C gone silent", {}, {kClusterC}, {}, {11, 14}, {11, 14});
        all("Upd. All, no cluster answers", {}, {11, 14, 17}, {}, {}, {});
        all("Upd. All, Com2 opened", {}, {}, {}, {11}, {11, 14, 17}, {IDC_USE_COM2}, 1);
        one("Update", {}, {}, {11, 13, 17}, {11, 13, 17});
        one("Update, one gone silent", {}, {13}, {11, 13, 17}, {11, 17});
        one("Update, row after a missed device", {kClusterB}, {}, {15, 17}, {15, 17});
        one("Update, old firmware when chosen", {}, {}, {16}, {16});
        one("Update, none answers", {}, {11, 14}, {11, 14}, {});
        one("Update, nothing selected", {}, {}, {}, {});
        one("Update, Com1 after a failed open", {}, {}, {11, 13}, {11}, {IDC_USE_COM1});
        one("Update, both after failed opens", {}, {}, {11, 13}, {11}, {IDC_USE_COM1, IDC_USE_COM2});
    }
    void targets() {
        QFETCH(Ids, missedScan);
        QFETCH(Ids, goneSilent);
        QFETCH(Ids, selected);
        QFETCH(Ids, expectedIds);
        QFETCH(Ids, expectedRows);
        QFETCH(Ids, ticks);
        QFETCH(int, command);
        QFETCH(int, opens);
        UploadSetup setup("zu-up-targets");
        fakedll::setOpenPortResult(1, opens);
        fakedll::setOpenPortResult(2, opens);
        for (int id : missedScan)
            fakedll::setDeviceAnswers(id, false);
        UpdateDialog dialog;
        setup.open(dialog);
        QCOMPARE(dialog.deviceList()->count(), 7 - missedScan.size());
        for (int id : missedScan)
            fakedll::setDeviceAnswers(id, true);
        for (int id : goneSilent)
            fakedll::setDeviceAnswers(id, false);
        MessageLog messages(dialog);
        for (int box : ticks)
            click(dialog, box);
        selectIds(dialog, selected);
        const int queriesBefore = fakedll::remoteInfoQueries();
        const int emptyBefore = fakedll::remoteInfoQueries(0);

        click(dialog, command);
        QVERIFY(waitJobEnd(dialog));

        // Upd. All asks every slot, empty ones too; Update the selected rows.
        const int asked = command == IDC_UPDATE_ALL ? kDeviceSlots : int(selected.size());
        QCOMPARE(fakedll::remoteInfoQueries() - queriesBefore, asked);
        if (command == IDC_UPDATE_ALL)
            QCOMPARE(fakedll::remoteInfoQueries(0) - emptyBefore, kDeviceSlots - 7);
        const auto network = fakedll::calls("DllUploadFileToDevices");
        const auto serial = fakedll::calls("DllUploadFile");
        if (expectedIds.isEmpty()) {
            QCOMPARE(messages.texts(), QStringList{kNoStation});
            QVERIFY(messages.shown().front().icon == MessageIcon::Exclamation);
            QVERIFY(network.empty() && serial.empty());
            QVERIFY(dialog.control(command)->isEnabled());
        } else if (!ticks.isEmpty()) { // the single-target call, whether or not the port opened
            QVERIFY(network.empty());
            QCOMPARE(serial.size(), size_t(1));
            QCOMPARE(serial.front().id, expectedIds.front());
            QCOMPARE(serial.front().path, std::string(kImagePath));
            QVERIFY(serial.front().hasCallback);
        } else {
            QVERIFY(serial.empty());
            QCOMPARE(network.size(), size_t(1));
            QCOMPARE(uploadedIds(), std::vector<int32_t>(expectedIds.begin(), expectedIds.end()));
            QCOMPARE(network.front().path, std::string(kImagePath));
        }
        if (!expectedIds.isEmpty())
            QCOMPARE(messages.texts(), QStringList{kSuccess});
        QCOMPARE(selectedIds(dialog), expectedRows);
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
        QTest::newRow("Update, empty file box") << IDC_UPDATE << "" << 2 << "Filename missing";
        QTest::newRow("Update, type 5") << IDC_UPDATE << image << 5 << invalid;
        QTest::newRow("Upd. All, type 0x105") << IDC_UPDATE_ALL << image << 0x105 << invalid;
        QTest::newRow("Upd. All, not an image") << IDC_UPDATE_ALL << image << 0 << invalid;
        QTest::newRow("Upd. All, typed path unknown") << IDC_UPDATE_ALL << "/fw/other.bin" << 2 << invalid;
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
        scriptImage(fileType == 0 ? 2 : fileType, fileType == 0 ? 0 : 1);
        dialog.fileBox()->setEditText(fileBoxText);
        selectIds(dialog, {kClusterA});
        const size_t callsBefore = fakedll::calls().size();
        const size_t fileChecks = fakedll::calls("DllGetFileInfo").size();

        click(dialog, command);

        QCOMPARE(messages.texts(), QStringList{expected});
        QVERIFY(messages.shown().front().icon == MessageIcon::Exclamation);
        // The file check alone, and not even that for an empty box.
        QCOMPARE(fakedll::calls().size(), callsBefore + (fileBoxText.isEmpty() ? 0 : 1));
        QCOMPARE(fakedll::calls("DllGetFileInfo").size(), fileChecks + (fileBoxText.isEmpty() ? 0 : 1));
        QVERIFY(!dialog.isUploading());
        if (fileType > 2 && fileBoxText == QString::fromLatin1(kImagePath))
            QVERIFY(dialog.infoLine()->text().startsWith("[Error!!!]  CLUSTER"));
        if (fileBoxText.isEmpty())
            QCOMPARE(dialog.infoLine()->text(), kDescription); // untouched
    }
};

QTEST_MAIN(UploadTargetsTest)
#include "tst_upload_targets.moc"
