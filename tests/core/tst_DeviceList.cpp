// Device list: each line as an exact string per classification (old firmware
// and its near misses, labels, widths, an unterminated name cut at the line's
// bound) with its "Upd. All" eligibility, and the scan against the scripted
// library (count clamped, the table replaced, rows kept on their slots when a
// device is silent).
#include "core/DeviceList.h"
#include "tests/fakedll/FakeDll.h"

#include <QTest>

#include <cstring>

Q_DECLARE_METATYPE(RemoteInfo)

namespace {

RemoteInfo device(uint8_t family, uint8_t kind, uint8_t sub, uint8_t letter, int32_t major, int32_t minor) {
    return fakedll::makeRemoteInfo(192, 168, 1, 20, "Stage Left", family, kind, sub, letter, major, minor);
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
        // Device 7 at 192.168.1.20 named "Stage Left", with this version and label.
        const auto row = [](const char* name, RemoteInfo info, const char* version, const QString& label,
                            bool eligible) {
            QTest::newRow(name)
                << 7 << info
                << QString("      7  |  192.168.1.20  |  V. %1  |  Stage Left  |  ").arg(version) + label
                << eligible;
        };
        QTest::newRow("old firmware")
            << 7 << device(0, 1, 2, 'A', 0, 1) << "      7  |  Velmo Old version" << false;
        row("0.01, family 1: not old", device(1, 1, 2, 'A', 0, 1), " 0.01", "Cluster A (02) ", false);
        row("0.02: eligible", device(1, 1, 2, 'A', 0, 2), " 0.02", "Cluster A (02) ", true);
        row("0.00, family 0: not old", device(0, 0, 0, 0, 0, 0), " 0.00", " ", false);
        row("kind 1: hex sub-address", device(1, 1, 0xAB, 'C', 12, 3), "12.03", "Cluster C (ab) ", true);
        row("kind 3", device(1, 3, 9, 'B', 2, 10), " 2.10", "Cluster B  ", false);
        row("kind 2", device(1, 2, 9, 'B', 2, 10), " 2.10", "Pellard 64 ", false);
        row("other kind", device(1, 4, 9, 'B', 2, 10), " 2.10", " ", false);
        row("family 2", device(2, 1, 9, 'B', 2, 10), " 2.10", " ", false);
        row("zero letter", device(1, 1, 2, 0, 2, 10), " 2.10", "Cluster  ", true);
        row("letter above 127", device(1, 3, 0, 0xC4, 2, 10), " 2.10", QString::fromUtf8("Cluster \u00c4  "),
            false);
        row("wide version", device(2, 0, 0, 0, 123, 456), "123.456", " ", false);
        QTest::newRow("widest id") << int(INT32_MIN) << device(0, 0, 0, 0, 0, 1)
                                   << "-2147483648  |  Velmo Old version" << false;
        QTest::newRow("address extremes")
            << 1234 << fakedll::makeRemoteInfo(255, 0, 255, 0, "", 2, 0, 0, 0, 1, 0)
            << "   1234  |  255.0.255.0  |  V.  1.00  |    |   " << false;
        // No zero byte up to the record's end: never read past the name (ASan), the line cut at its bound.
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

    // One query per slot in slot order; a silent device gets no row and the
    // rows after it keep their own slots; nothing of an earlier scan survives.
    void silentDeviceKeepsRowsOnTheirSlots() {
        DeviceSlotTable table;
        std::fill(std::begin(table.ids), std::end(table.ids), 77);
        table.rowSlot = {5, 6, 7, 8};
        fakedll::setScan({11, 12, 13, 14});
        for (int id : {11, 12, 13, 14})
            fakedll::setDevice(id, device(1, 1, 1, 'A', 1, 0));
        fakedll::setDeviceAnswers(12, false);
        const QStringList lines = scanDevices(table);
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines.at(1).startsWith("     13  |"));
        QCOMPARE(table.rowSlot, QVector<int>({0, 2, 3}));
        QCOMPARE(table.rowOfSlot(1), -1);
        QCOMPARE(table.slotOfRow(3), -1);
        QCOMPARE(table.ids[29], 0);
        std::vector<int32_t> asked;
        for (const auto& call : fakedll::calls("DllGetRemoteInfo"))
            asked.push_back(call.id);
        QCOMPARE(asked, std::vector<int32_t>({11, 12, 13, 14}));
        QCOMPARE(fakedll::calls("DllScanNetwork").at(0).id, kDeviceSlots); // the capacity
    }

    void scanCountIsClamped() {
        // Returned count, ids the library wrote, rows shown.
        for (const auto& [returned, written, shown] :
             {std::tuple(-1, 3, 0), {0, 3, 0}, {30, 30, 30}, {1000, 40, 30}}) {
            fakedll::reset();
            std::vector<int32_t> ids;
            for (int i = 0; i < written; ++i) {
                ids.push_back(100 + i);
                fakedll::setDevice(100 + i, device(1, 1, 1, 'A', 1, 0));
            }
            fakedll::setScan(ids, returned);
            DeviceSlotTable table;
            QCOMPARE(scanDevices(table).size(), shown);
            QCOMPARE(table.scanCount, shown);
            QCOMPARE(fakedll::calls("DllGetRemoteInfo").size(), size_t(shown));
            QCOMPARE(table.ids[2], 102); // what the library wrote stays, even beyond the count
        }
    }
};

QTEST_GUILESS_MAIN(DeviceListTest)
#include "tst_DeviceList.moc"
