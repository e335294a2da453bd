// Which devices the upload commands send to, as the engine plans them:
// "Upd. All" every eligible cluster of all 30 slots (empty slots asked too) and
// their rows, "Update" the selected rows' devices that answer now (no
// eligibility test), rows kept on their slots when a device missed the scan;
// the refusals in order, nothing asked of any device before the file passed.
#include "core/UpdateEngine.h"
#include "tests/fakedll/FakeDll.h"

#include <QTest>

namespace {

const char kImage[] = "/fw/cluster-2.4.bin";
using Ids = QList<int>;

// The station, in slot order: clusters 11, 14 and 17, a kind-3 monitor (12),
// two fader units (13, 15) and a cluster on version 0.01 (16).
void scriptMixedStation() {
    using fakedll::makeRemoteInfo;
    fakedll::setScan({11, 12, 13, 14, 15, 16, 17});
    for (const auto& [id, kind, major, minor] : std::vector<std::tuple<int, int, int, int>>{{11, 1, 2, 3},
                                                                                            {12, 3, 2, 3},
                                                                                            {13, 2, 1, 7},
                                                                                            {14, 1, 2, 3},
                                                                                            {15, 2, 1, 7},
                                                                                            {16, 1, 0, 1},
                                                                                            {17, 1, 2, 1}})
        fakedll::setDevice(id, makeRemoteInfo(192, 168, 1, 20, "D", 1, uint8_t(kind), 2, 'A', major, minor));
}

Ids idsOfRows(const UpdateEngine& engine, const Ids& rows) {
    Ids ids;
    for (int row : rows)
        ids.append(engine.slotTable().ids[engine.slotTable().slotOfRow(row)]);
    return ids;
}

} // namespace

class UploadTargetsTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        fakedll::reset();
        scriptMixedStation();
        fakedll::setFileInfo(kImage, {"CLUSTER", 6, 12, 26, 2, 2, 4, 1});
    }

    // `missed` did not answer the scan but answers again at the command,
    // `silent` stops answering then. Empty `expected`: the no-station refusal.
    void targets_data() {
        for (const char* column : {"missed", "silent", "selected", "expected", "rows"})
            QTest::addColumn<Ids>(column);
        QTest::addColumn<bool>("all");
        const auto row = [](const char* name, bool all, Ids missed, Ids silent, Ids selected, Ids expected,
                            Ids rows) {
            QTest::newRow(name) << missed << silent << selected << expected << rows << all;
        };
        row("Upd. All", true, {}, {}, {13}, {11, 14, 17}, {11, 14, 17});
        row("Upd. All, cluster B missed the scan: no row", true, {14}, {}, {}, {11, 14, 17}, {11, 17});
        row("Upd. All, cluster C gone silent", true, {}, {17}, {}, {11, 14}, {11, 14});
        row("Upd. All, no cluster answers", true, {}, {11, 14, 17}, {}, {}, {});
        row("Update", false, {}, {}, {11, 13, 17}, {11, 13, 17}, {});
        row("Update, one gone silent", false, {}, {13}, {11, 13, 17}, {11, 17}, {});
        row("Update, rows after a missed device", false, {14}, {}, {15, 17}, {15, 17}, {});
        row("Update, old firmware when chosen", false, {}, {}, {16}, {16}, {});
        row("Update, none answers", false, {}, {11, 14}, {11, 14}, {}, {});
        row("Update, nothing selected", false, {}, {}, {}, {}, {});
    }
    void targets() {
        QFETCH(Ids, missed);
        QFETCH(Ids, silent);
        QFETCH(Ids, selected);
        QFETCH(Ids, expected);
        QFETCH(Ids, rows);
        QFETCH(bool, all);
        for (int id : missed)
            fakedll::setDeviceAnswers(id, false);
        UpdateEngine engine;
        QCOMPARE(engine.refresh().size(), 7 - missed.size());
        for (int id : missed)
            fakedll::setDeviceAnswers(id, true);
        for (int id : silent)
            fakedll::setDeviceAnswers(id, false);
        Ids selectedRows;
        for (int row = 0; row < 7 - missed.size(); ++row)
            selectedRows += selected.contains(idsOfRows(engine, {row}).front()) ? Ids{row} : Ids{};
        const size_t asked = fakedll::calls("DllGetRemoteInfo").size();

        const UploadPlan plan = engine.planUpload(all ? UploadCommand::AllEligible : UploadCommand::Selected,
                                                  kImage, selectedRows, true);
        QCOMPARE(fakedll::calls("DllGetRemoteInfo").size() - asked, size_t(all ? 30 : selected.size()));
        QCOMPARE(Ids(plan.job.targets.begin(), plan.job.targets.end()), expected);
        QCOMPARE(idsOfRows(engine, plan.rowsToSelect), rows);
        QCOMPARE(plan.refusal, expected.isEmpty()
                                   ? "No valid Quorvane stations found - Refresh to Select Device"
                                   : QString());
        QVERIFY(expected.isEmpty() || (plan.job.serial && plan.job.path == kImage));
    }

    void refusedBeforeAnyDeviceIsAsked_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("fileType"); // 0: the library refuses the file
        QTest::addColumn<QString>("line");
        QTest::newRow("empty file box") << "" << 2 << "";
        QTest::newRow("type 5") << kImage << 5 << "[Error!!!]  CLUSTER  Ver. 2.04  Date: 6/12/26";
        QTest::newRow("type 0x105") << kImage << 0x105 << "[Error!!!]  CLUSTER  Ver. 2.04  Date: 6/12/26";
        QTest::newRow("not an image") << kImage << 0 << "Invalid program file";
        QTest::newRow("typed path unknown") << "/fw/other.bin" << 2 << "Invalid program file";
    }
    void refusedBeforeAnyDeviceIsAsked() {
        QFETCH(QString, path);
        QFETCH(int, fileType);
        QFETCH(QString, line);
        fakedll::setFileInfo(kImage, {"CLUSTER", 6, 12, 26, fileType, 2, 4, fileType == 0 ? 0 : 1});
        UpdateEngine engine;
        engine.refresh();
        const size_t before = fakedll::calls().size();
        for (UploadCommand command : {UploadCommand::Selected, UploadCommand::AllEligible}) {
            const UploadPlan plan = engine.planUpload(command, path, {0, 1}, false);
            QCOMPARE(plan.refusal, path.isEmpty() ? "Filename missing" : "Invalid application program file");
            QCOMPARE(plan.fileChecked, !path.isEmpty());
            QCOMPARE(plan.file.line, line);
            QVERIFY(plan.job.targets.empty() && plan.rowsToSelect.isEmpty());
        }
        // The file check alone, and not even that for an empty box.
        QCOMPARE(fakedll::calls().size(), before + (path.isEmpty() ? 0 : 2));
        QCOMPARE(fakedll::calls("DllGetRemoteInfo").size(), size_t(7));
    }
};

QTEST_GUILESS_MAIN(UploadTargetsTest)
#include "tst_upload_targets.moc"
