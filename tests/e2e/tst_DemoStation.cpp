// The main dialog with the real library against stationsim serving the demo
// station: every line exactly as listed, the silent device without a row and
// the rows after it on their own slots, the file box read through the real
// image reader, and Refresh following the station as it goes away and comes
// back with other installed versions.
#include "ResourceIds.h"
#include "StationProcess.h"
#include "UpdateDialog.h"
#include "UpdaterApp.h"

#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QSettings>
#include <QTest>

#include <memory>

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
const QList<int> kDemoRowSlots = {0, 1, 2, 3, 4, 5, 6, 7, 9};
const QList<int> kDemoIds = {101, 102, 103, 110, 121, 122, 201, 301, 401, 501};

QStringList listLines(const UpdateDialog& dialog) {
    QStringList lines;
    for (int row = 0; row < dialog.deviceList()->count(); ++row)
        lines.append(dialog.deviceList()->item(row)->text());
    return lines;
}

QList<int> slotIds(const DeviceSlotTable& table) {
    QList<int> ids;
    for (int slot = 0; slot < table.scanCount; ++slot)
        ids.append(table.ids[slot]);
    return ids;
}

} // namespace

class DemoStationTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QFile demo(qEnvironmentVariable("ZU_SOURCE_DIR") + "/res/demo-station.json");
        QVERIFY2(demo.open(QIODevice::ReadOnly), qPrintable(demo.fileName()));
        m_demoJson = demo.readAll().toStdString();
        m_station = std::make_unique<zutest::StationProcess>(m_demoJson);
        QVERIFY2(m_station->running(), m_station->error().c_str());
        // The library reads these once, at its first call, which comes later.
        qputenv("TESTDLL_NETWORK", QByteArray::fromStdString(m_station->endpoint()));
        qputenv("TESTDLL_TIMEOUT_MS", "200");

        m_app = std::make_unique<UpdaterApp>(QString::fromStdString(m_dir.file("zu-e2e-demo")));
        m_image = QString::fromStdString(
            zutest::makeImageFile(m_dir.file("cluster.bin"), 4000, 3, 7, 0x01010202, "Cluster app"));
        QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Quorvane", "zu-e2e-demo");
        m_storePath = store.fileName();
        store.remove("Recent File List");
        store.setValue("Recent File List/File1", m_image);
        store.sync();
        m_app->startUp();
    }
    void cleanupTestCase() {
        m_app.reset();
        if (!m_storePath.isEmpty())
            QFile::remove(m_storePath);
    }

    void listsTheDemoStationExactly() {
        UpdateDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));

        QCOMPARE(listLines(dialog), kDemoLines);
        QCOMPARE(dialog.slotTable().scanCount, 10);
        QCOMPARE(slotIds(dialog.slotTable()), kDemoIds);
        QCOMPARE(dialog.slotTable().rowSlot, kDemoRowSlots);
        // The last row names the serial fader unit, not the silent device before it.
        QCOMPARE(dialog.slotTable().ids[dialog.slotTable().slotOfRow(8)], 501);
        QCOMPARE(dialog.slotTable().rowOfSlot(8), -1);
        QVERIFY(dialog.deviceList()->selectedItems().isEmpty());

        QCOMPARE(dialog.fileBoxText(), m_image);
        QCOMPARE(dialog.infoLine()->text(), QString("[NetAppl]  Cluster app  Ver. 3.07  Date: 24/5/17"));
    }

    void refreshFollowsTheStation() {
        UpdateDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QCOMPARE(dialog.deviceList()->count(), kDemoLines.size());
        const int port = m_station->port();

        // Gone: Refresh empties the list rather than keeping stale rows.
        m_station.reset();
        QTest::mouseClick(dialog.control(IDC_REFRESH), Qt::LeftButton);
        QCOMPARE(dialog.deviceList()->count(), 0);
        QCOMPARE(dialog.slotTable().scanCount, 0);
        QVERIFY(dialog.slotTable().rowSlot.isEmpty());

        // Back on the same port with other installed versions: 103 updated, and
        // the old-firmware device now reports 1.00, which is no longer the old form.
        const std::string state =
            m_dir.write("state.json", R"({"versions": {"103": [2, 4], "301": [1, 0]}})");
        zutest::StationOptions options;
        options.port = port;
        options.statePath = state;
        m_station = std::make_unique<zutest::StationProcess>(m_demoJson, options);
        QVERIFY2(m_station->running(), m_station->error().c_str());
        QTest::mouseClick(dialog.control(IDC_REFRESH), Qt::LeftButton);
        QStringList expected = kDemoLines;
        expected[2] = "    103  |  192.168.1.22  |  V.  2.04  |  Cluster C  |  Cluster C (04) ";
        expected[7] = "    301  |  192.168.1.60  |  V.  1.00  |  Old cluster  |   ";
        QCOMPARE(listLines(dialog), expected);
        QCOMPARE(dialog.slotTable().rowSlot, kDemoRowSlots);
    }

private:
    zutest::TempDir m_dir;
    std::string m_demoJson;
    std::unique_ptr<zutest::StationProcess> m_station;
    std::unique_ptr<UpdaterApp> m_app;
    QString m_image;
    QString m_storePath;
};

QTEST_MAIN(DemoStationTest)
#include "tst_DemoStation.moc"
