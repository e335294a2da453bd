// Device list: each line as an exact string for every classification, the
// bounds on names and lines, "Upd. All" eligibility, and the scan against the
// scripted library (count clamping, zeroed table, row-to-slot mapping).
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

} // namespace

class DeviceListTest : public QObject {
    Q_OBJECT

private slots:
    void init() { fakedll::reset(); }

    void deviceLine_data() {
        QTest::addColumn<int>("id");
        QTest::addColumn<RemoteInfo>("info");
        QTest::addColumn<QString>("expected");
        QTest::newRow("old firmware: 0.01, family 0")
            << 42 << cluster(0, 1, 2, 'A', 0, 1) << "     42  |  Velmo Old version";
        QTest::newRow("0.01 with family 1 is listed in full")
            << 42 << cluster(1, 1, 2, 'A', 0, 1)
            << "     42  |  192.168.1.20  |  V.  0.01  |  Stage Left  |  Cluster A (02) ";
        QTest::newRow("0.00 family 0 is not old")
            << 42 << cluster(0, 0, 0, 0, 0, 0)
            << "     42  |  192.168.1.20  |  V.  0.00  |  Stage Left  |   ";
        QTest::newRow("1.01 family 0 is not old")
            << 42 << cluster(0, 0, 0, 0, 1, 1)
            << "     42  |  192.168.1.20  |  V.  1.01  |  Stage Left  |   ";
        QTest::newRow("kind 1: letter and hex sub-address")
            << 1234 << cluster(1, 1, 0xAB, 'C', 12, 3)
            << "   1234  |  192.168.1.20  |  V. 12.03  |  Stage Left  |  Cluster C (ab) ";
        QTest::newRow("kind 3: label's blank plus the line's")
            << 7 << cluster(1, 3, 9, 'B', 2, 10)
            << "      7  |  192.168.1.20  |  V.  2.10  |  Stage Left  |  Cluster B  ";
        QTest::newRow("kind 2") << 7 << cluster(1, 2, 9, 'B', 2, 10)
                                << "      7  |  192.168.1.20  |  V.  2.10  |  Stage Left  |  Pellard 64 ";
        QTest::newRow("family 1, other kind: empty label")
            << 7 << cluster(1, 4, 9, 'B', 2, 10)
            << "      7  |  192.168.1.20  |  V.  2.10  |  Stage Left  |   ";
        QTest::newRow("family 2: empty label")
            << 7 << cluster(2, 1, 9, 'B', 2, 10)
            << "      7  |  192.168.1.20  |  V.  2.10  |  Stage Left  |   ";
        QTest::newRow("zero letter ends the label")
            << 7 << cluster(1, 1, 2, 0, 2, 10)
            << "      7  |  192.168.1.20  |  V.  2.10  |  Stage Left  |  Cluster  ";
        QTest::newRow("letter byte above 127")
            << 7 << cluster(1, 3, 0, 0xC4, 2, 10)
            << QString::fromUtf8("      7  |  192.168.1.20  |  V.  2.10  |  Stage Left  |  Cluster \u00c4  ");
        QTest::newRow("three-digit major, wide minor")
            << 7 << cluster(2, 0, 0, 0, 123, 456)
            << "      7  |  192.168.1.20  |  V. 123.456  |  Stage Left  |   ";
        QTest::newRow("negative id") << -5 << cluster(0, 0, 0, 0, 0, 1) << "     -5  |  Velmo Old version";
        QTest::newRow("largest id") << 2147483647 << cluster(0, 0, 0, 0, 0, 1)
                                    << "2147483647  |  Velmo Old version";
        QTest::newRow("smallest id") << int(INT32_MIN) << cluster(0, 0, 0, 0, 0, 1)
                                     << "-2147483648  |  Velmo Old version";
        QTest::newRow("address extremes") << 1 << makeRemoteInfo(255, 0, 255, 0, "", 2, 0, 0, 0, 1, 0)
                                          << "      1  |  255.0.255.0  |  V.  1.00  |    |   ";
        const std::string name64(64, 'n');
        const QString full =
            "      1  |  192.168.1.20  |  V.  1.00  |  " + QString(64, 'n') + "  |  Cluster A (02) ";
        QTest::newRow("64-byte name without terminator, line cut at 99")
            << 1 << cluster(1, 1, 2, 'A', 1, 0, name64) << full.left(kDeviceLineMax);
    }
    void deviceLine() {
        QFETCH(int, id);
        QFETCH(RemoteInfo, info);
        QFETCH(QString, expected);
        QCOMPARE(formatDeviceLine(id, info), expected);
    }

    void nameNeverReadPastItsField() {
        // A record with no zero byte from the name to its end: reading the
        // name as a C string would run off the record (caught under ASan).
        auto info = std::make_unique<RemoteInfo>();
        std::memset(info.get(), 'A', sizeof *info);
        info->address = 0x0A000001;
        info->typeCode = 0x02414141;
        info->versionMajor = 0x41414141;
        info->versionMinor = 0x41414141;
        const QString line = formatDeviceLine(1, *info);
        QCOMPARE(line, QString("      1  |  10.0.0.1  |  V. 1094795585.1094795585  |  " + QString(64, 'A'))
                           .left(kDeviceLineMax));
    }

    void eligibility_data() {
        QTest::addColumn<RemoteInfo>("info");
        QTest::addColumn<bool>("eligible");
        QTest::newRow("cluster kind 1") << cluster(1, 1, 2, 'A', 3, 0) << true;
        QTest::newRow("cluster kind 1, 0.02") << cluster(1, 1, 2, 'A', 0, 2) << true;
        QTest::newRow("cluster kind 1, 1.01") << cluster(1, 1, 2, 'A', 1, 1) << true;
        QTest::newRow("cluster kind 1, 0.01") << cluster(1, 1, 2, 'A', 0, 1) << false;
        QTest::newRow("kind 3") << cluster(1, 3, 2, 'A', 3, 0) << false;
        QTest::newRow("kind 2") << cluster(1, 2, 2, 'A', 3, 0) << false;
        QTest::newRow("family 0") << cluster(0, 1, 2, 'A', 3, 0) << false;
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
        QCOMPARE(table.slotOfRow(1), 2);
        QCOMPARE(table.ids[table.slotOfRow(1)], 13);
        QCOMPARE(table.rowOfSlot(1), -1);
        QCOMPARE(table.slotOfRow(3), -1);
        // One query per slot, in slot order.
        std::vector<int32_t> asked;
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
        // What the library wrote stays in the table even beyond the count.
        QCOMPARE(table.ids[0], 100);
        QCOMPARE(table.ids[2], 102);
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
        QCOMPARE(table.ids[0], 21);
        for (int slot = 2; slot < kDeviceSlots; ++slot)
            QCOMPARE(table.ids[slot], 0);

        fakedll::setDeviceAnswers(22, false);
        QVERIFY(scanDevices(table).isEmpty());
        QVERIFY(table.rowSlot.isEmpty());
    }
};

QTEST_GUILESS_MAIN(DeviceListTest)
#include "tst_DeviceList.moc"
