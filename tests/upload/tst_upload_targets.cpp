// Which devices "Update" and "Upd. All" send to: eligible clusters only for
// "Upd. All" (rows selected, earlier selections kept), answering selected
// devices for "Update", rows mapped to slots when a device missed the scan,
// refusals before any device is asked, serial mode and the port boxes.
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

    // The dialog after a scan that `missedScan` did not answer; at the click
    // those answer again and `goneSilent` stop answering.
    void openWith(UploadSetup& setup, UpdateDialog& dialog, const Ids& missedScan, const Ids& goneSilent) {
        for (int id : missedScan)
            fakedll::setDeviceAnswers(id, false);
        setup.open(dialog);
        QCOMPARE(dialog.deviceList()->count(), 7 - missedScan.size());
        for (int id : missedScan)
            fakedll::setDeviceAnswers(id, true);
        for (int id : goneSilent)
            fakedll::setDeviceAnswers(id, false);
    }

private slots:
    void init() {
        fakedll::reset();
        scriptMixedStation();
    }

    // Selected before: `selected`. Sent to: `expectedIds` (empty: the
    // no-station message). Selected after: `expectedRows`.
    void targets_data() {
        QTest::addColumn<int>("command");
        QTest::addColumn<Ids>("missedScan");
        QTest::addColumn<Ids>("goneSilent");
        QTest::addColumn<Ids>("selected");
        QTest::addColumn<Ids>("expectedIds");
        QTest::addColumn<Ids>("expectedRows");
        const int all = IDC_UPDATE_ALL, one = IDC_UPDATE;
        QTest::newRow("Upd. All") << all << Ids{} << Ids{} << Ids{13} << Ids{11, 14, 17}
                                  << Ids{11, 13, 14, 17};
        QTest::newRow("Upd. All, cluster B missed the scan")
            << all << Ids{kClusterB} << Ids{} << Ids{13} << Ids{11, 14, 17} << Ids{11, 13, 17};
        QTest::newRow("Upd. All, cluster C gone silent")
            << all << Ids{} << Ids{kClusterC} << Ids{} << Ids{11, 14} << Ids{11, 14};
        QTest::newRow("Upd. All, no cluster answers")
            << all << Ids{} << Ids{11, 14, 17} << Ids{} << Ids{} << Ids{};
        QTest::newRow("Update") << one << Ids{} << Ids{} << Ids{11, 13, 17} << Ids{11, 13, 17}
                                << Ids{11, 13, 17};
        QTest::newRow("Update, one gone silent")
            << one << Ids{} << Ids{13} << Ids{11, 13, 17} << Ids{11, 17} << Ids{11, 13, 17};
        QTest::newRow("Update, row after a missed device")
            << one << Ids{kClusterB} << Ids{} << Ids{15, 17} << Ids{15, 17} << Ids{15, 17};
        QTest::newRow("Update, old firmware when chosen")
            << one << Ids{} << Ids{} << Ids{16} << Ids{16} << Ids{16};
        QTest::newRow("Update, none answers")
            << one << Ids{} << Ids{11, 14} << Ids{11, 14} << Ids{} << Ids{11, 14};
        QTest::newRow("Update, nothing selected") << one << Ids{} << Ids{} << Ids{} << Ids{} << Ids{};
    }
    void targets() {
        QFETCH(int, command);
        QFETCH(Ids, missedScan);
        QFETCH(Ids, goneSilent);
        QFETCH(Ids, selected);
        QFETCH(Ids, expectedIds);
        QFETCH(Ids, expectedRows);
        UploadSetup setup("zu-up-targets");
        UpdateDialog dialog;
        openWith(setup, dialog, missedScan, goneSilent);
        MessageLog messages(dialog);
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
        QVERIFY(fakedll::calls("DllUploadFile").empty());
        if (expectedIds.isEmpty()) {
            QCOMPARE(messages.texts(), QStringList{kNoStation});
            QVERIFY(messages.shown().front().icon == MessageIcon::Exclamation);
            QVERIFY(fakedll::calls("DllUploadFileToDevices").empty());
            QVERIFY(dialog.control(command)->isEnabled());
        } else {
            QCOMPARE(fakedll::calls("DllUploadFileToDevices").size(), size_t(1));
            QCOMPARE(uploadedIds(), std::vector<int32_t>(expectedIds.begin(), expectedIds.end()));
            QCOMPARE(fakedll::calls("DllUploadFileToDevices").front().path, std::string(kImagePath));
            QCOMPARE(messages.texts(), QStringList{kSuccess});
        }
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
        QTest::newRow("Upd. All, empty file box") << IDC_UPDATE_ALL << "" << 2 << "Filename missing";
        QTest::newRow("Update, type 5") << IDC_UPDATE << image << 5 << invalid;
        QTest::newRow("Upd. All, type 0x105") << IDC_UPDATE_ALL << image << 0x105 << invalid;
        QTest::newRow("Update, not an image") << IDC_UPDATE << image << 0 << invalid;
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

        click(dialog, command);

        QCOMPARE(messages.texts(), QStringList{expected});
        QVERIFY(messages.shown().front().icon == MessageIcon::Exclamation);
        QStringList after;
        const auto calls = fakedll::calls();
        for (size_t i = callsBefore; i < calls.size(); ++i)
            after.append(QString::fromStdString(calls[i].function));
        // The file check alone, and not even that for an empty box.
        QCOMPARE(after, fileBoxText.isEmpty() ? QStringList{} : QStringList{"DllGetFileInfo"});
        QVERIFY(!dialog.isUploading());
        if (fileType > 2 && fileBoxText == QString::fromLatin1(kImagePath))
            QVERIFY(dialog.infoLine()->text().startsWith("[Error!!!]  CLUSTER"));
        if (fileBoxText.isEmpty())
            QCOMPARE(dialog.infoLine()->text(), kDescription); // untouched
    }

    // A ticked serial box sends the first answering target alone through the
    // single-target call, whether or not its port opened.
    void serialModeSendsFirstTargetAlone_data() {
        QTest::addColumn<int>("command");
        QTest::addColumn<Ids>("ticks"); // boxes clicked, in order
        QTest::addColumn<int>("openResult");
        QTest::newRow("Com1 after a failed open") << IDC_UPDATE << Ids{IDC_USE_COM1} << 0;
        QTest::newRow("both after failed opens") << IDC_UPDATE << Ids{IDC_USE_COM1, IDC_USE_COM2} << 0;
        QTest::newRow("Upd. All, Com2 opened") << IDC_UPDATE_ALL << Ids{IDC_USE_COM2} << 1;
    }
    void serialModeSendsFirstTargetAlone() {
        QFETCH(int, command);
        QFETCH(Ids, ticks);
        QFETCH(int, openResult);
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
        QCOMPARE(serial.front().id, kClusterA);
        QCOMPARE(serial.front().path, std::string(kImagePath));
        QVERIFY(serial.front().hasCallback);
        QCOMPARE(messages.texts(), QStringList{kSuccess});
    }

    // A failed open keeps the tick and the boxes; a successful one disables
    // both for good, unticked, so uploads stay on the network.
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
        QVERIFY(clicked->isChecked() && clicked->isEnabled() && other->isEnabled());
        fakedll::setOpenPortResult(port, 1);
        click(dialog, box); // unticks, tries again, opens
        QVERIFY(!clicked->isChecked() && !other->isChecked());
        QVERIFY(!clicked->isEnabled() && !other->isEnabled());
        const auto opens = fakedll::calls("DllOpenPort");
        QCOMPARE(opens.size(), size_t(2));
        QCOMPARE(opens[1].port, port);
        QVERIFY(messages.shown().isEmpty());

        selectIds(dialog, {kClusterA, kClusterB});
        click(dialog, IDC_UPDATE);
        QVERIFY(waitJobEnd(dialog));
        QCOMPARE(uploadedIds(), (std::vector<int32_t>{kClusterA, kClusterB}));
        QVERIFY(dialog.control(IDC_UPDATE)->isEnabled());
        QVERIFY(!clicked->isEnabled() && !other->isEnabled());
    }
};

QTEST_MAIN(UploadTargetsTest)
#include "tst_upload_targets.moc"
