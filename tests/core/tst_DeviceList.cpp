// Device list: each line as an exact string per classification (old firmware
// and its near misses, labels, widths, the name and line bounds), "Upd. All"
// eligibility, and the scan against the scripted library (count clamping,
// zeroed table, rows kept on their slots when a device is silent).
#include "DeviceList.h"
#include "FakeDll.h"

#include <QTest>

#include <cstring>
#include <memory>

using fakedll::makeRemoteInfo;

Q_DECLARE_METATYPE(RemoteInfo)

namespace {

RemoteInfo cluster(uint8_t family, uint8_t kind, uint8_t sub, uint8_t letter, int32_t major, int32_t minor,
                   const std::string& name = "Stage Left") {
    return makeRemoteInfo(192, 168, 1, 20, name, family, kind, sub, letter, major, minor);
}

const QString kHead = "      7  |  192.168.1.20  |  V.  2.10  |  Stage Left  |  ";

} // namespace

class DeviceListTest : public QObject {
    Q_OBJECT

private slots:
    void init() { fakedll::reset(); }

    void deviceLine_data() {
        QTest::addColumn<int>("id");
        QTest::addColumn<RemoteInfo>("info");
        QTest::addColumn<QString>("expected");
        QTest::newRow("old firmware") << 42 << cluster(0, 1, 2, 'A', 0, 1) << "     42  |  Velmo Old version";
        QTest::newRow("0.01, family 1: not old")
            << 42 << cluster(1, 1, 2, 'A', 0, 1)
            << "     42  |  192.168.1.20  |  V.  0.01  |  Stage Left  |  Cluster A (02) ";
        QTest::newRow("0.00, family 0: not old")
            << 42 << cluster(0, 0, 0, 0, 0, 0)
            << "     42  |  192.168.1.20  |  V.  0.00  |  Stage Left  |   ";
        QTest::newRow("kind 1: hex sub-address")
            << 1234 << cluster(1, 1, 0xAB, 'C', 12, 3)
            << "   1234  |  192.168.1.20  |  V. 12.03  |  Stage Left  |  Cluster C (ab) ";
        QTest::newRow("kind 3") << 7 << cluster(1, 3, 9, 'B', 2, 10) << kHead + "Cluster B  ";
        QTest::newRow("kind 2") << 7 << cluster(1, 2, 9, 'B', 2, 10) << kHead + "Pellard 64 ";
        QTest::newRow("other kind") << 7 << cluster(1, 4, 9, 'B', 2, 10) << kHead + " ";
        QTest::newRow("family 2") << 7 << cluster(2, 1, 9, 'B', 2, 10) << kHead + " ";
        QTest::newRow("zero letter") << 7 << cluster(1, 1, 2, 0, 2, 10) << kHead + "Cluster  ";
        QTest::newRow("letter above 127")
            << 7 << cluster(1, 3, 0, 0xC4, 2, 10) << kHead + QString::fromUtf8("Cluster \u00c4  ");
        QTest::newRow("wide version") << 7 << cluster(2, 0, 0, 0, 123, 456)
                                      << "      7  |  192.168.1.20  |  V. 123.456  |  Stage Left  |   ";
        QTest::newRow("smallest id") << int(INT32_MIN) << cluster(0, 0, 0, 0, 0, 1)
                                     << "-2147483648  |  Velmo Old version";
        QTest::newRow("address extremes") << 1 << makeRemoteInfo(255, 0, 255, 0, "", 2, 0, 0, 0, 1, 0)
                                          << "      1  |  255.0.255.0  |  V.  1.00  |    |   ";
        const QString full =
            "      1  |  192.168.1.20  |  V.  1.00  |  " + QString(64, 'n') + "  |  Cluster A (02) ";
        QTest::newRow("64-byte name, line cut")
            << 1 << cluster(1, 1, 2, 'A', 1, 0, std::string(64, 'n')) << full.left(kDeviceLineMax);
    }
    void deviceLine() {
        QFETCH(int, id);
        QFETCH(RemoteInfo, info);
        QFETCH(QString, expected);
        QCOMPARE(formatDeviceLine(id, info), expected);
    }

    void nameNeverReadPastItsField() {
        // No zero byte from the name to the record's end (caught under ASan).
        auto info = std::make_unique<RemoteInfo>();
        std::memset(info.get(), 'A', sizeof *info);
        info->address = 0x0A000001;
        info->typeCode = 0x02414141;
        info->versionMajor = 0x41414141;
        info->versionMinor = 0x41414141;
        QCOMPARE(formatDeviceLine(1, *info),
                 QString("      1  |  10.0.0.1  |  V. 1094795585.1094795585  |  " + QString(64, 'A'))
                     .left(kDeviceLineMax));
    }

    void eligibility_data() {
        QTest::addColumn<RemoteInfo>("info");
        QTest::addColumn<bool>("eligible");
        QTest::newRow("cluster kind 1") << cluster(1, 1, 2, 'A', 3, 0) << true;
        QTest::newRow("cluster kind 1, 0.02") << cluster(1, 1, 2, 'A', 0, 2) << true;
        QTest::newRow("cluster kind 1, 0.01") << cluster(1, 1, 2, 'A', 0, 1) << false;
        QTest::newRow("kind 3") << cluster(1, 3, 2, 'A', 3, 0) << false;
        QTest::newRow("family 2") << cluster(2, 1, 2, 'A', 3, 0) << false;
    }
    void eligibility() {
        QFETCH(RemoteInfo, info);
        QFETCH(bool, eligible);
        QCOMPARE(isEligibleCluster(info), eligible);
    }

    void silentDeviceKeepsRowsOnTheirSlots() {
        fakedll::setScan({11, 12, 13, 14});
        for (int id : {11, 12, 13, 14})
            fakedll::setDevice(id, cluster(1, 1, 1, 'A', 1, 0));
        fakedll::setDeviceAnswers(12, false);
        DeviceSlotTable table;
        const QStringList lines = scanDevices(table);
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines.at(1).startsWith("     13  |"));
        QCOMPARE(table.rowSlot, QVector<int>({0, 2, 3}));
        QCOMPARE(table.ids[table.slotOfRow(1)], 13);
        QCOMPARE(table.rowOfSlot(1), -1);
        QCOMPARE(table.slotOfRow(3), -1);
        std::vector<int32_t> asked; // one query per slot, in slot order
        for (const auto& call : fakedll::calls("DllGetRemoteInfo"))
            asked.push_back(call.id);
        QCOMPARE(asked, std::vector<int32_t>({11, 12, 13, 14}));
        QCOMPARE(fakedll::calls("DllScanNetwork").at(0).count, kDeviceSlots);
    }

    void scanCountIsClamped_data() {
        QTest::addColumn<int>("returned");
        QTest::addColumn<int>("written");
        QTest::addColumn<int>("rows");
        QTest::newRow("-1") << -1 << 3 << 0;
        QTest::newRow("0") << 0 << 3 << 0;
        QTest::newRow("30") << 30 << 30 << 30;
        QTest::newRow("31") << 31 << 31 << 30;
        QTest::newRow("1000") << 1000 << 40 << 30;
    }
    void scanCountIsClamped() {
        QFETCH(int, returned);
        QFETCH(int, written);
        QFETCH(int, rows);
        std::vector<int32_t> ids;
        for (int i = 0; i < written; ++i) {
            ids.push_back(100 + i);
            fakedll::setDevice(100 + i, cluster(1, 1, 1, 'A', 1, 0));
        }
        fakedll::setScan(ids, returned);
        DeviceSlotTable table;
        QCOMPARE(scanDevices(table).size(), rows);
        QCOMPARE(table.scanCount, rows);
        QCOMPARE(fakedll::remoteInfoQueries(), rows);
        QCOMPARE(table.ids[2], 102); // what the library wrote stays, even beyond the count
    }

    void scanReplacesEverything() {
        DeviceSlotTable table;
        for (int32_t& id : table.ids)
            id = 77;
        table.rowSlot = {5, 6, 7};
        fakedll::setScan({21, 22});
        fakedll::setDevice(22, cluster(2, 0, 0, 0, 1, 0));
        QCOMPARE(scanDevices(table).size(), 1);
        QCOMPARE(table.rowSlot, QVector<int>({1}));
        for (int slot = 2; slot < kDeviceSlots; ++slot)
            QCOMPARE(table.ids[slot], 0);
        fakedll::setDeviceAnswers(22, false);
        QVERIFY(scanDevices(table).isEmpty());
        QVERIFY(table.rowSlot.isEmpty());
    }
};

QTEST_GUILESS_MAIN(DeviceListTest)
#include "tst_DeviceList.moc"
