// The dialog through the real library against stationsim, one setup per run
// (the library reads its environment once per process), named by
// $ZU_UPLOAD_SETUP (demo when unset):
//   demo:   every line of the demo station exactly, the silent device without
//           a row and the rows after it on their own slots; "Upd. All" brings
//           exactly its eligible clusters to the image's version and adds their
//           rows to the selection, and Refresh then lists the new versions; a
//           fader unit refuses the network image ("Failed to upload file"),
//           and its row says why;
//   serial: with "Use Com1" ticked the first selected device is flashed over
//           the serial line, the second is not sent to.
// Each run shows the flash warning once, then the description again, and ends
// with the bar at 0 and each device's outcome in the box's details.
#include "tests/gui/GuiTestSupport.h"

#include "tests/support/StationProcess.h"

namespace {

// Slot order of the demo station: 401 (slot 8) is silent.
const QStringList kDemoLines = {
    "    101  |  192.168.1.20  |  V.  2.03  |  Cluster A  |  Cluster A (02) ",
    "    102  |  192.168.1.21  |  V.  2.03  |  Cluster B  |  Cluster B (03) ",
    "    103  |  192.168.1.22  |  V.  2.01  |  Cluster C  |  Cluster C (04) ",
    "    110  |  192.168.1.30  |  V.  2.03  |  Cluster D (monitor)  |  Cluster D  ",
    "    121  |  192.168.1.40  |  V.  1.07  |  Fader unit 1  |  Pellard 64 ",
    "    122  |  192.168.1.41  |  V.  1.07  |  Fader unit 2  |  Pellard 64 ",
    "    201  |  192.168.1.50  |  V.  3.12  |  DSP processor board  |   ",
    "    301  |  Velmo Old version",
    "    501  |  192.168.1.80  |  V.  1.05  |  Fader unit 3 (serial)  |  Pellard 64 ",
};

QString versionOf(int32_t id) {
    TestDllLibrary library;
    const std::optional<DeviceInfo> info = library.remoteInfo(id);
    return info ? QString("%1.%2").arg(info->versionMajor).arg(info->versionMinor) : "-";
}

QStringList lines(const UpdateDialog& dialog) {
    QStringList lines;
    for (int row = 0; row < dialog.deviceList()->count(); ++row)
        lines.append(dialog.deviceList()->item(row)->text());
    return lines;
}

} // namespace

class UploadE2eTest : public QObject {
    Q_OBJECT

    const QByteArray m_setup = qgetenv("ZU_UPLOAD_SETUP"); // demo or serial

private slots:
    void upload() {
        zutest::TempDir dir;
        zutest::StationOptions options;
        QFile demo(qEnvironmentVariable("ZU_SOURCE_DIR") + "/res/demo-station.json");
        QVERIFY(demo.open(QIODevice::ReadOnly));
        const QRegularExpression throttles("(_kbps|_baud)\": \\d+");
        std::string json = QString(demo.readAll()).replace(throttles, "\\1\": 0").toStdString();
        QList<int> ids = {101, 102, 103, 110, 121, 122, 201, 301, 501}, updated = {101, 102, 103};
        zutest::StationLayout layout = zutest::makeStation(2, 101);
        if (m_setup == "serial") { // a serial fader unit listed first, then a network cluster
            std::tie(layout.devices[0].id, layout.devices[0].kind, layout.devices[0].serial) =
                std::tuple(501, 2, true);
            options.serialPath = dir.file("ttyCOM1");
            qputenv("TESTDLL_COM1", QByteArray::fromStdString(options.serialPath));
            std::tie(json, ids, updated) = std::tuple(layout.toJson(), QList<int>{501, 102}, QList<int>{501});
        }
        zutest::StationProcess station(json, options);
        QVERIFY2(station.running(), station.error().c_str());
        qputenv("TESTDLL_NETWORK", QByteArray::fromStdString(station.endpoint()));
        qputenv("TESTDLL_TIMEOUT_MS", "1000"); // enough for sanitized uploads, short for the silent device
        // NetAppl 3.07, 512 KiB: several chunks on every connection.
        const std::string image =
            zutest::makeImageFile(dir.file("cluster.bin"), 512 * 1024, 3, 7, 2, "Cluster app");
        TestApp t(nullptr);
        t.start("File1=" + QByteArray::fromStdString(image) + "\n");
        QStringList before;
        for (int id : ids)
            before.append(versionOf(id));
        UpdateDialog& dialog = t.shown();
        const MessageLog messages(t.app(), &dialog);
        QStringList texts;
        connect(dialog.infoLine(), &QLineEdit::textChanged, this,
                [&](const QString& text) { texts.append(text); });
        const QString description = dialog.infoLine()->text();
        QCOMPARE(description, QString("[NetAppl]  Cluster app  Ver. 3.07  Date: 24/5/17"));
        if (m_setup == "demo") {
            QCOMPARE(lines(dialog), kDemoLines);
            QCOMPARE(dialog.slotTable().rowSlot, (QList<int>{0, 1, 2, 3, 4, 5, 6, 7, 9}));
            dialog.deviceList()->item(4)->setSelected(true); // 121 stays selected
        } else if (m_setup == "serial") {
            click(dialog, IDC_USE_COM1);
            QVERIFY(dialog.useCom1Box()->isChecked() && !dialog.useCom1Box()->isEnabled()); // opened
            dialog.deviceList()->selectAll();                                               // 501, then 102
        }
        click(dialog, m_setup == "serial" ? IDC_UPDATE : IDC_UPDATE_ALL);
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isUploading(), 60000);

        QCOMPARE(messages.texts(), QStringList{"Upload Successfull     "});
        for (int i = 0; i < ids.size(); ++i)
            QCOMPARE(versionOf(ids[i]), updated.contains(ids[i]) ? "3.7" : before[i]);
        QCOMPARE(texts, (QStringList{kFlashWarning, description}));
        QVERIFY(messages.front().box.details.startsWith(m_setup == "demo"
                                                            ? "101  Cluster A  2.03 -> 3.07  committed\n"
                                                            : "501  Device 101  1.00 -> 3.07  committed"));
        QCOMPARE(dialog.progressBar()->value(), 0);
        if (m_setup == "demo") {
            QCOMPARE(dialog.selectedRows(), QList<int>({0, 1, 2, 4})); // 101, 102, 103 and 121
            click(dialog, IDC_REFRESH);
            QStringList expected = kDemoLines;
            for (int row : {0, 1, 2})
                expected[row].replace(QRegularExpression("V\\.  2\\.0\\d"), "V.  3.07");
            QCOMPARE(lines(dialog), expected);
            dialog.deviceList()->item(4)->setSelected(true); // fader unit 121 takes graphics images only
            click(dialog, IDC_UPDATE);
            QTRY_VERIFY_WITH_TIMEOUT(!dialog.isUploading(), 60000);
            QCOMPARE(messages.texts().last(), "Failed to upload file");
            QCOMPARE(messages.last().box.details, "121  Fader unit 1  1.07 -> 1.07  refused: image type "
                                                  "NetAppl is not accepted by this device");
        }
    }
};

QTEST_MAIN(UploadE2eTest)
#include "tst_upload_e2e.moc"
