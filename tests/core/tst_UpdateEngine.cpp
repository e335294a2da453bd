// The update engine without a window, against the scripted library:
// - each device line as an exact string per classification (old firmware and
//   its near misses, labels, widths, an unterminated name cut at the line's
//   bound) with its "Upd. All" eligibility;
// - the scan: count clamped, the table replaced, one query per slot, rows kept
//   on their slots when a device is silent;
// - the info line as an exact string, the type and every number taken from
//   its low byte, codes outside the table invalid, the 20-byte name guard;
// - the targets: "Upd. All" every eligible cluster of all 30 slots (empty
//   slots asked too) with their rows, "Update" the selected rows' devices that
//   answer now (no eligibility test);
// - the refusals in order, nothing asked of any device before the file passed,
//   the path handed over in the local 8-bit encoding;
// - a job on a library without DllGetUploadReport: each device's outcome from
//   its version alone, as the history records it (its line after one cut
//   short), nothing recorded when no device was reached, an unwritable history
//   costing one warning and nothing else.
#include "core/UpdateEngine.h"
#include "core/UploadController.h"
#include "tests/support/FakeDeviceLibrary.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(DeviceInfo)
Q_DECLARE_METATYPE(zutest::FakeFile)

namespace {

const QString kImage = "/fw/cluster-2.4.bin";
const QString kNoStation = "No valid Quorvane stations found - Refresh to Select Device";
using Ids = QList<int>;

DeviceInfo device(uint8_t family, uint8_t kind, uint8_t sub, uint8_t letter, int32_t major, int32_t minor) {
    return zutest::makeDevice(192, 168, 1, 20, "Stage Left", family, kind, sub, letter, major, minor);
}

// Slot order: clusters 11, 14 and 17, a kind-3 monitor (12), cluster 20
// which misses the scan, fader units 13 and 15, a cluster on version 0.01 (16).
void scriptMixedStation(zutest::FakeDeviceLibrary& lib) {
    const int ids[] = {11, 12, 20, 13, 14, 15, 16, 17}, kinds[] = {1, 3, 1, 2, 1, 2, 1, 1};
    lib.script().scanIds = {std::begin(ids), std::end(ids)};
    for (int i = 0; i < 8; ++i)
        lib.script().devices[ids[i]] = {device(1, uint8_t(kinds[i]), 2, 'A', ids[i] == 16 ? 0 : 2, 1)};
}

} // namespace

class UpdateEngineTest : public QObject {
    Q_OBJECT

    zutest::FakeDeviceLibrary m_lib;

private slots:
    void init() { m_lib.reset(); }

    void deviceLine_data() {
        QTest::addColumn<int>("id");
        QTest::addColumn<DeviceInfo>("info");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<bool>("eligible");
        // Device 7 at 192.168.1.20 named "Stage Left", with this version and label.
        const auto row = [](const char* name, const DeviceInfo& info, const char* version,
                            const QString& label, bool eligible) {
            const QString line =
                QString("      7  |  192.168.1.20  |  V. %1  |  Stage Left  |  ").arg(version);
            QTest::newRow(name) << 7 << info << line + label << eligible;
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
        QTest::newRow("address extremes") << 1234 << zutest::makeDevice(255, 0, 255, 0, "", 2, 0, 0, 0, 1, 0)
                                          << "   1234  |  255.0.255.0  |  V.  1.00  |    |   " << false;
        // The widest name and version: the line cut at its bound.
        const DeviceInfo full{0x0A000001u, QByteArray(64, 'A'), 0x02414141u, 1094795585, 1094795585};
        QTest::newRow("widest name")
            << 1 << full
            << QString("      1  |  10.0.0.1  |  V. 1094795585.1094795585  |  " + QString(70, 'A')).left(99)
            << false;
    }
    void deviceLine() {
        QFETCH(int, id);
        QFETCH(DeviceInfo, info);
        QFETCH(QString, expected);
        QFETCH(bool, eligible);
        QCOMPARE(formatDeviceLine(id, info), expected);
        QCOMPARE(isEligibleCluster(info), eligible);
    }

    // Returned count, ids the library wrote, rows shown; what the library
    // wrote stays, even beyond the count, and an earlier scan is forgotten.
    void scanCountIsClamped() {
        for (const auto& [returned, written, shown] :
             {std::tuple(-1, 3, 0), {0, 3, 0}, {30, 30, 30}, {1000, 40, 30}}) {
            m_lib.reset();
            for (int i = 0; i < written; ++i) {
                m_lib.script().scanIds.push_back(100 + i);
                m_lib.script().devices[100 + i] = {device(1, 1, 1, 'A', 1, 0)};
            }
            m_lib.script().scanCount = returned;
            DeviceSlotTable table;
            std::fill(std::begin(table.ids), std::end(table.ids), 77);
            table.rowSlot = {5, 6, 7, 8};
            QCOMPARE(scanDevices(m_lib, table).size(), shown);
            QVERIFY(table.scanCount == shown && table.rowSlot.size() == shown && table.ids[2] == 102);
            QCOMPARE(table.ids[29], written < 30 ? 0 : 129);
            QCOMPARE(m_lib.calls("DllGetRemoteInfo").size(), size_t(shown));
            QCOMPARE(m_lib.calls("DllScanNetwork").at(0).id, 30); // the capacity
        }
    }

    // Cluster 20 did not answer the scan: it has no row, the rows after it
    // keep their own slots (rows 0 to 6 show 11 to 17), and it answers again
    // at the command. `silent` stops answering then. Empty `expected`: the
    // no-station refusal.
    void targets_data() {
        for (const char* column : {"silent", "selectedRows", "expected", "rowsTaken"})
            QTest::addColumn<Ids>(column);
        QTest::addColumn<bool>("all");
        const auto row = [](const char* name, bool all, const Ids& silent, const Ids& selected,
                            const Ids& expected, const Ids& rows) {
            QTest::newRow(name) << silent << selected << expected << rows << all;
        };
        row("Upd. All", true, {}, {2}, {11, 20, 14, 17}, {0, 3, 6});
        row("Upd. All, cluster 17 gone silent", true, {17}, {}, {11, 20, 14}, {0, 3});
        row("Upd. All, no cluster answers", true, {11, 20, 14, 17}, {}, {}, {});
        row("Update", false, {}, {0, 2, 6}, {11, 13, 17}, {});
        row("Update, one gone silent", false, {13}, {0, 2, 6}, {11, 17}, {});
        row("Update, old firmware taken too", false, {}, {4, 5}, {15, 16}, {});
        row("Update, none answers", false, {11, 14}, {0, 3}, {}, {});
        row("Update, nothing selected", false, {}, {}, {}, {});
    }
    void targets() {
        QFETCH(Ids, silent);
        QFETCH(Ids, selectedRows);
        QFETCH(Ids, expected);
        QFETCH(Ids, rowsTaken);
        QFETCH(bool, all);
        scriptMixedStation(m_lib);
        m_lib.script().files[kImage.toUtf8()] = {{"CLUSTER", 6, 12, 26, 2, 2, 4}};
        m_lib.script().devices[20].answers = false;
        UpdateEngine engine(m_lib);
        QCOMPARE(engine.refresh().size(), 7);
        m_lib.script().devices[20].answers = true; // back after the scan
        for (int id : silent)
            m_lib.script().devices[id].answers = false;
        const size_t asked = m_lib.calls("DllGetRemoteInfo").size();
        const auto command = all ? UploadCommand::AllEligible : UploadCommand::Selected;
        const UploadPlan plan = engine.planUpload(command, kImage, selectedRows, 0);
        QCOMPARE(m_lib.calls("DllGetRemoteInfo").size() - asked, size_t(all ? 30 : selectedRows.size()));
        const std::vector<int32_t> ids = plan.job.ids();
        QCOMPARE(Ids(ids.begin(), ids.end()), expected);
        QCOMPARE(plan.rowsToSelect, rowsTaken);
        QCOMPARE(plan.refusal, expected.isEmpty() ? kNoStation : QString());
        QVERIFY(expected.isEmpty() || (!plan.job.serial && plan.job.path == kImage.toUtf8()));
        // Over a serial port the job is the first target alone, in what is sent and what is recorded.
        const UploadPlan serial = engine.planUpload(command, kImage, selectedRows, 2);
        QVERIFY(expected.isEmpty() ||
                (serial.job.serial && serial.job.via == "com2" && serial.job.targets.size() == 1 &&
                 serial.job.ids().front() == expected[0]));
    }

    // The line each file gives the info line, and what the upload commands
    // make of it ("" below: a refusal before any device is asked).
    void fileCheck_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<zutest::FakeFile>("info"); // for /fw/net.bin
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("refusal");
        const QString invalid = "Invalid application program file";
        const auto row = [&](const char* name, int type, const char* line,
                             std::vector<int> n = {6, 12, 2026, 2, 3}, const char* file = "NETAPP",
                             const QString& path = "/fw/net.bin") {
            QTest::newRow(name) << path << zutest::FakeFile{{file, n[0], n[1], n[2], type, n[3], n[4]}}
                                << line << (QString(line).startsWith("[Error") ? invalid : "");
        };
        row("NetAppl", 2, "[NetAppl]  NETAPP  Ver. 2.03  Date: 6/12/234");
        row("type's low byte", 256 + 100, "[P21Boot]  NETAPP  Ver. 2.03  Date: 6/12/234");
        row("type -1", -1, "[Archive]  NETAPP  Ver. 2.03  Date: 6/12/234");
        for (int type : {0, 5, 8, 99, 102, 254, 256, -256})
            row(qPrintable(QString("type %1").arg(type)), type,
                "[Error!!!]  NETAPP  Ver. 2.03  Date: 6/12/234");
        row("numbers over 255", 255, "[Archive]  X  Ver. 44.07  Date: 0/255/20",
            {256, 511, 65536 + 20, 300, 263}, "X");
        row("negative numbers", 255, "[Archive]  Y  Ver. 255.254  Date: 0/1/253", {-256, -255, -3, -1, -2},
            "Y");
        row("full name buffer", 2, "[NetAppl]  ABCDEFGHIJKLMNOPQRS  Ver. 0.00  Date: 0/0/0", {0, 0, 0, 0, 0},
            "ABCDEFGHIJKLMNOPQRSTUVWXYZ");
        QTest::newRow("empty file box") << "" << zutest::FakeFile{} << ""
                                        << "Filename missing";
        QTest::newRow("not an image") << "/fw/net.bin" << zutest::FakeFile{{"X", 0, 0, 0, 2, 0, 0}, false}
                                      << "Invalid program file" << invalid;
        QTest::newRow("unknown path, 8-bit") << QString::fromUtf8("/fw/B\u00fchne.bin") << zutest::FakeFile{}
                                             << "Invalid program file" << invalid;
    }
    void fileCheck() {
        QFETCH(QString, path);
        QFETCH(zutest::FakeFile, info);
        QFETCH(QString, line);
        QFETCH(QString, refusal);
        scriptMixedStation(m_lib);
        m_lib.script().files["/fw/net.bin"] = info;
        const FileInfoResult result = UpdateEngine(m_lib).checkFile(path);
        QVERIFY(result.line == line && result.valid == (!line.isEmpty() && refusal.isEmpty()));
        UpdateEngine engine(m_lib);
        engine.refresh();
        const size_t before = m_lib.calls().size();
        for (UploadCommand command : {UploadCommand::Selected, UploadCommand::AllEligible}) {
            const UploadPlan plan = engine.planUpload(command, path, {0, 4, 7}, 0);
            QVERIFY(plan.fileChecked == !path.isEmpty() && plan.file.line == line);
            QCOMPARE(plan.refusal, refusal);
            QCOMPARE(plan.job.targets.empty(), !refusal.isEmpty());
        }
        if (refusal.isEmpty()) // the file check alone before the devices, and not even that for an empty box
            return;
        QCOMPARE(m_lib.calls().size(), before + (path.isEmpty() ? 0 : 2));
        for (const zutest::FakeCall& call : m_lib.calls("DllGetFileInfo"))
            QCOMPARE(call.path, QFile::encodeName(path));
    }

    void outcomesAndHistoryWithoutReport() {
        QTemporaryDir dir;
        const QString image = dir.filePath("net.bin"),
                      folder = dir.filePath("Quorvane/tst_core_UpdateEngine");
        QFile history(folder + "/history.jsonl"), file(image);
        QVERIFY(QDir().mkpath(folder) && history.open(QIODevice::WriteOnly) &&
                file.open(QIODevice::WriteOnly));
        history.write("{\"time\":\"2026-"), file.write("123456789"); // a line cut short; CRC-32 cbf43926
        history.close(), file.close();
        scriptMixedStation(m_lib); // clusters 11, 20, 14 and 17 on 2.01
        m_lib.script().devices[11].info.name = "Q\"\\";
        m_lib.script().files[QFile::encodeName(image)] = {{"CLUSTER", 6, 12, 26, 2, 2, 4}};
        m_lib.script().upload.report = false;
        m_lib.script().upload.result = 0;
        m_lib.script().upload.outcomes[14].installs = false; // still on 2.01 afterwards
        UpdateEngine engine(m_lib);
        engine.refresh();
        UploadJob job = engine.planUpload(UploadCommand::AllEligible, image, {}, 0).job;
        job.targets.erase(job.targets.begin() + 1); // not 20
        m_lib.script().devices[17].answers = false;
        UploadController controller(m_lib);
        QSignalSpy finished(&controller, &UploadController::finished);
        const auto run = [&](const QString& stateHome) { // the history once the job ended, its time "T"
            qputenv("XDG_STATE_HOME", QFile::encodeName(stateHome));
            if (!controller.start(job) || !finished.wait(10000) || !history.open(QIODevice::ReadOnly))
                return QString("no job");
            const QString text = history.readAll();
            history.close();
            return QString(text).replace(QRegularExpression("\\d{4}-\\d\\d-\\d\\dT[\\d:]{8}Z"), "T");
        };
        // The library said 0 and gave no report: each version decides.
        const QString first = run(dir.path());
        // ' for ", the device name Q"\ escaped
        const QString line =
            QString(
                "{'time':'T','command':'update-all','via':'network','station':'127.0.0.1:47300','file':'%1',"
                "'image':{'type':2,'label':'NetAppl','name':'CLUSTER','version':'2.04','size':9,'crc32':"
                "'cbf43926','sha256':'15e2b0d3c33891ebb0f1ef609ec419420c20e320ce94c65fbc8c3312448eb225'},"
                "'result':'failed','targets':[{'id':11,'address':'192.168.1.20',"
                "'name':'Q\\'\\\\','before':'2.01','after':'2.04','outcome':'committed',"
                "'reason':''},{'id':14,'address':'192.168.1.20','name':'Stage Left','before':"
                "'2.01','after':'2.01','outcome':'verify-failed','reason':'%2'},{'id':17,"
                "'address':'192.168.1.20','name':'Stage Left','before':'2.01','after':'',"
                "'outcome':'unreachable','reason':'%3'}]}")
                .replace('\'', '"')
                .arg(image, "device reports 2.01 after the update",
                     "the device did not answer after the update");
        QCOMPARE(first, "{\"time\":\"2026-\n" + line + "\n");
        // The library said 1: every target committed, what each showed afterwards in its reason.
        m_lib.script().upload.result = 1;
        const QString second = run(dir.path()).mid(first.size());
        QVERIFY(second.contains("\"result\":\"ok\""));
        QCOMPARE(second.count("\"outcome\":\"committed\""), 3);
        QVERIFY(second.contains(
            "\"after\":\"2.01\",\"outcome\":\"committed\",\"reason\":\"device reports 2.01 after "
            "the update\""));
        m_lib.script().upload.result = 0;
        for (int id : {11, 14})
            m_lib.script().devices[id].answers = false;
        const QString both = first + second;
        QCOMPARE(run(dir.path()), both); // no device reached: nothing recorded
        m_lib.script().devices[17].answers = true;
        QTest::ignoreMessage(
            QtWarningMsg,
            QRegularExpression("^tst_core_UpdateEngine: cannot write the update history .*net.bin/"));
        QCOMPARE(run(image), both);   // a file where the state folder should be
        QCOMPARE(finished.size(), 4); // the result all the same
    }
};

QTEST_GUILESS_MAIN(UpdateEngineTest)
#include "tst_UpdateEngine.moc"
