// Device list: each line as an exact string per classification (old firmware
// and its near misses, labels, widths, the name and line bounds, an unterminated
// name) with its "Upd. All" eligibility, and the scan against the scripted library
// (count clamping, the table replaced, rows kept on their slots when a device is silent).
#include "DeviceList.h"
#include "FakeDll.h"

#include <QTest>

#include <cstring>

using fakedll::makeRemoteInfo;

Q_DECLARE_METATYPE(RemoteInfo)

namespace {

RemoteInfo cluster(uint8_t family, uint8_t kind, uint8_t sub, uint8_t letter, int32_t major, int32_t minor,
                   const std::string& name = "Stage Left") {
    return makeRemoteInfo(192, 168, 1, 20, name, family, kind, sub, letter, major, minor);
}

// Device 7's line at 192.168.1.20 named "Stage Left".
QString line(const char* version, const QString& label) {
    return QString("      7  |  192.168.1.20  |  V. %1  |  Stage Left  |  ").arg(version) + label;
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
        QTest::addColumn<bool>("eligible");
        const QString old = "      7  |  Velmo Old version";
        QTest::newRow("old firmware") << 7 << cluster(0, 1, 2, 'A', 0, 1) << old << false;
        QTest::newRow("0.01, family 1: not old")
            << 7 << cluster(1, 1, 2, 'A', 0, 1) << line(" 0.01", "Cluster A (02) ") << false;
        QTest::newRow("0.02: eligible")
            << 7 << cluster(1, 1, 2, 'A', 0, 2) << line(" 0.02", "Cluster A (02) ") << true;
        QTest::newRow("0.00, family 0: not old")
            << 7 << cluster(0, 0, 0, 0, 0, 0) << line(" 0.00", " ") << false;
        QTest::newRow("kind 1: hex sub-address")
            << 7 << cluster(1, 1, 0xAB, 'C', 12, 3) << line("12.03", "Cluster C (ab) ") << true;
        QTest::newRow("kind 3") << 7 << cluster(1, 3, 9, 'B', 2, 10) << line(" 2.10", "Cluster B  ") << false;
        QTest::newRow("kind 2") << 7 << cluster(1, 2, 9, 'B', 2, 10) << line(" 2.10", "Pellard 64 ") << false;
        QTest::newRow("other kind") << 7 << cluster(1, 4, 9, 'B', 2, 10) << line(" 2.10", " ") << false;
        QTest::newRow("family 2") << 7 << cluster(2, 1, 9, 'B', 2, 10) << line(" 2.10", " ") << false;
        QTest::newRow("zero letter") << 7 << cluster(1, 1, 2, 0, 2, 10) << line(" 2.10", "Cluster  ") << true;
        QTest::newRow("letter above 127") << 7 << cluster(1, 3, 0, 0xC4, 2, 10)
                                          << line(" 2.10", QString::fromUtf8("Cluster \u00c4  ")) << false;
        QTest::newRow("wide version") << 7 << cluster(2, 0, 0, 0, 123, 456) << line("123.456", " ") << false;
        QTest::newRow("widest id") << int(INT32_MIN) << cluster(0, 0, 0, 0, 0, 1)
                                   << "-2147483648  |  Velmo Old version" << false;
        QTest::newRow("address extremes") << 1234 << makeRemoteInfo(255, 0, 255, 0, "", 2, 0, 0, 0, 1, 0)
                                          << "   1234  |  255.0.255.0  |  V.  1.00  |    |   " << false;
        // A 64-byte name with no zero byte up to the record's end: never read past it (caught under
        // ASan), the line cut at its bound.
        RemoteInfo unterminated;
        std::memset(&unterminated, 'A', sizeof unterminated);
        std::tie(unterminated.address, unterminated.typeCode) = std::tuple(0x0A000001u, 0x02414141u);
        QTest::newRow("unterminated name")
            << 1 << unterminated
            << QString("      1  |  10.0.0.1  |  V. 1094795585.1094795585  |  " + QString(64, 'A'))
                   .left(kDeviceLineMax)
            << false;
    }
    void deviceLine() {
        QFETCH(int, id);
        QFETCH(RemoteInfo, info);
        QFETCH(QString, expected);
        QFETCH(bool, eligible);
        QCOMPARE(formatDeviceLine(id, info), expected);
        QCOMPARE(isEligibleCluster(info), eligible);
    }

    void silentDeviceKeepsRowsOnTheirSlots() {
        DeviceSlotTable table; // left over from an earlier scan: all of it is replaced
        std::fill(std::begin(table.ids), std::end(table.ids), 77);
        table.rowSlot = {5, 6, 7, 8};
        fakedll::setScan({11, 12, 13, 14});
        for (int id : {11, 12, 13, 14})
            fakedll::setDevice(id, cluster(1, 1, 1, 'A', 1, 0));
        fakedll::setDeviceAnswers(12, false);
        const QStringList lines = scanDevices(table);
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines.at(1).startsWith("     13  |"));
        QCOMPARE(table.rowSlot, QVector<int>({0, 2, 3}));
        QCOMPARE(table.ids[table.slotOfRow(1)], 13);
        QCOMPARE(table.rowOfSlot(1), -1);
        QCOMPARE(table.slotOfRow(3), -1);
        for (int slot = 4; slot < kDeviceSlots; ++slot)
            QCOMPARE(table.ids[slot], 0);
        std::vector<int32_t> asked; // one query per slot, in slot order
        for (const auto& call : fakedll::calls("DllGetRemoteInfo"))
            asked.push_back(call.id);
        QCOMPARE(asked, std::vector<int32_t>({11, 12, 13, 14}));
        QCOMPARE(fakedll::calls("DllScanNetwork").at(0).count, kDeviceSlots);
        for (int id : {11, 13, 14})
            fakedll::setDeviceAnswers(id, false);
        QVERIFY(scanDevices(table).isEmpty());
        QVERIFY(table.rowSlot.isEmpty());
    }

    void scanCountIsClamped() {
        // Returned count, ids the library wrote, rows shown.
        const int rows[][3] = {{-1, 3, 0}, {0, 3, 0}, {30, 30, 30}, {31, 31, 30}, {1000, 40, 30}};
        for (const auto& [returned, written, shown] : rows) {
            fakedll::reset();
            std::vector<int32_t> ids;
            for (int i = 0; i < written; ++i) {
                ids.push_back(100 + i);
                fakedll::setDevice(100 + i, cluster(1, 1, 1, 'A', 1, 0));
            }
            fakedll::setScan(ids, returned);
            DeviceSlotTable table;
            QCOMPARE(scanDevices(table).size(), shown);
            QCOMPARE(table.scanCount, shown);
            QCOMPARE(fakedll::remoteInfoQueries(), shown);
            QCOMPARE(table.ids[2], 102); // what the library wrote stays, even beyond the count
        }
    }
};

QTEST_GUILESS_MAIN(DeviceListTest)
#include "tst_DeviceList.moc"
