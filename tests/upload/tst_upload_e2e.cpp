// Uploads from the dialog through the real library to stationsim. "Upd. All"
// on the demo station brings exactly its eligible clusters to the image's
// version; a device that drops mid-transfer fails the job ("Failed to upload
// file") and keeps its version while the others commit; with "Use Com1"
// ticked the selected device is flashed over the serial line.
// The library reads its environment once per process, so each setup is its
// own run: tst_upload_e2e demo|drop|serial.
#include "UploadTestSupport.h"

#include "StationProcess.h"
#include "UpdaterApp.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>

#include <cstring>

using namespace uploadtest;

namespace {

constexpr int kImageMajor = 3, kImageMinor = 7;

// Long enough for uploads slowed by sanitizers, short enough for the silent
// demo device's info query.
constexpr char kTimeoutMs[] = "1000";

QPair<int, int> versionOf(int32_t id) {
    RemoteInfo info;
    std::memset(&info, 0, sizeof info);
    if (DllGetRemoteInfo(id, &info) == 0)
        return {-1, -1};
    return {info.versionMajor, info.versionMinor};
}

// One station, one image, one application for the whole run.
class StationRun {
public:
    // `name` names the application and so its settings file: the setups run
    // in parallel and must not read each other's record.
    bool start(const char* name, const std::string& stationJson, const zutest::StationOptions& options = {}) {
        m_station = std::make_unique<zutest::StationProcess>(stationJson, options);
        if (!m_station->running()) {
            qWarning("stationsim did not start: %s", m_station->error().c_str());
            return false;
        }
        qputenv("TESTDLL_NETWORK", QByteArray::fromStdString(m_station->endpoint()));
        qputenv("TESTDLL_TIMEOUT_MS", kTimeoutMs);
        if (!options.serialPath.empty())
            qputenv("TESTDLL_COM1", QByteArray::fromStdString(options.serialPath));
        // NetAppl (type 2), 512 KiB: several chunks on every connection.
        m_image = zutest::makeImageFile(m_dir.file("cluster.bin"), 512 * 1024, kImageMajor, kImageMinor, 2,
                                        "Cluster app");
        // The record the dialog fills its file box from, under a name of our own.
        m_app = std::make_unique<UpdaterApp>(QString::fromStdString(m_dir.file(name)));
        QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Quorvane", QString::fromLatin1(name));
        m_storePath = store.fileName();
        store.remove("Recent File List");
        store.setValue("Recent File List/File1", QString::fromStdString(m_image));
        store.sync();
        m_app->startUp();
        return true;
    }
    ~StationRun() {
        m_app.reset();
        if (!m_storePath.isEmpty())
            QFile::remove(m_storePath);
    }

    UpdaterApp& app() { return *m_app; }
    const zutest::TempDir& dir() const { return m_dir; }

private:
    zutest::TempDir m_dir;
    std::unique_ptr<zutest::StationProcess> m_station;
    std::string m_image;
    QString m_storePath;
    std::unique_ptr<UpdaterApp> m_app;
};

// Shows the dialog (its scan runs now) as the owner of message boxes.
void openDialog(StationRun& run, UpdateDialog& dialog) {
    run.app().setMainWindow(&dialog);
    showUnpainted(dialog);
}

} // namespace

// The demo station as shipped, with its throttles off.
class DemoUploadTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QFile file(qEnvironmentVariable("ZU_SOURCE_DIR") + "/res/demo-station.json");
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
        QJsonObject station = QJsonDocument::fromJson(file.readAll()).object();
        QVERIFY(station.contains("devices"));
        for (const char* key : {"link_kbps", "flash_kbps", "serial_baud"})
            station[key] = 0;
        QVERIFY(m_run.start("zu-up-e2e-demo", QJsonDocument(station).toJson().toStdString()));
    }

    void updateAllBringsEligibleClustersToTheImage() {
        const QList<int> others = {110, 121, 122, 201, 301, 501};
        QList<QPair<int, int>> before;
        for (int id : others)
            before.append(versionOf(id));
        UpdateDialog dialog;
        openDialog(m_run, dialog);
        MessageLog messages(dialog);
        QList<int> bar;
        connect(dialog.progressBar(), &QProgressBar::valueChanged, this,
                [&](int value) { bar.append(value); });
        QStringList texts;
        connect(dialog.infoLine(), &QLineEdit::textChanged, this, [&](const QString& t) { texts.append(t); });
        const QString description = dialog.infoLine()->text();
        QVERIFY(description.startsWith("[NetAppl]  Cluster app  Ver. 3.07"));

        click(dialog, IDC_UPDATE_ALL);
        QVERIFY(waitJobEnd(dialog, 60000));

        QCOMPARE(messages.texts(), QStringList{kSuccess});
        QCOMPARE(messages.shown().front().icon, MessageIcon::Information);
        QCOMPARE(selectedIds(dialog), (QList<int>{101, 102, 103}));
        for (int id : {101, 102, 103})
            QCOMPARE(versionOf(id), qMakePair(kImageMajor, kImageMinor));
        for (int i = 0; i < others.size(); ++i)
            QCOMPARE(versionOf(others[i]), before[i]);
        // Rising from 1 to 100 through the verified image, then back to 0.
        QVERIFY(bar.size() >= 3);
        QCOMPARE(bar.first(), 1);
        QCOMPARE(bar.last(), 0);
        QCOMPARE(bar[bar.size() - 2], 100);
        QVERIFY(bar.contains(96));
        QCOMPARE(texts, (QStringList{kFlashWarning, description}));
    }

private:
    StationRun m_run;
};

// Three eligible clusters; the second resets its connection part-way.
class DropUploadTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        zutest::StationSpec spec = zutest::makeStation(3, 101);
        for (zutest::DeviceSpec& device : spec.devices) {
            device.major = 2;
            device.minor = 3;
        }
        spec.devices[1].faults.dropAfter = 128 * 1024;
        QVERIFY(m_run.start("zu-up-e2e-drop", spec.toJson()));
    }

    void droppedDeviceFailsAndKeepsItsVersion() {
        UpdateDialog dialog;
        openDialog(m_run, dialog);
        MessageLog messages(dialog);
        click(dialog, IDC_UPDATE_ALL);
        QVERIFY(waitJobEnd(dialog, 60000));

        QCOMPARE(messages.texts(), QStringList{kFailure});
        QCOMPARE(messages.shown().front().icon, MessageIcon::Stop);
        QCOMPARE(versionOf(101), qMakePair(kImageMajor, kImageMinor));
        QCOMPARE(versionOf(102), qMakePair(2, 3));
        QCOMPARE(versionOf(103), qMakePair(kImageMajor, kImageMinor));
        QCOMPARE(dialog.progressBar()->value(), 0);
        QVERIFY(dialog.control(IDC_UPDATE_ALL)->isEnabled());
    }

private:
    StationRun m_run;
};

// A serial fader unit next to a network cluster; "Use Com1" opens the line.
class SerialUploadTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        zutest::StationSpec spec = zutest::makeStation(2, 501);
        spec.devices[0].kind = 2; // listed first: the first target
        spec.devices[0].serial = true;
        spec.devices[1].id = 101;
        zutest::StationOptions options;
        options.serialPath = m_serialDir.file("ttyCOM1");
        QVERIFY(m_run.start("zu-up-e2e-serial", spec.toJson(), options));
    }

    void useCom1SendsOverTheSerialLine() {
        UpdateDialog dialog;
        openDialog(m_run, dialog);
        MessageLog messages(dialog);
        click(dialog, IDC_USE_COM1);
        QVERIFY(dialog.useCom1Box()->isChecked());
        QVERIFY(!dialog.useCom1Box()->isEnabled()); // opened
        QVERIFY(!dialog.useCom2Box()->isEnabled());

        selectIds(dialog, {501, 101});
        click(dialog, IDC_UPDATE);
        QVERIFY(waitJobEnd(dialog, 60000));

        QCOMPARE(messages.texts(), QStringList{kSuccess});
        QCOMPARE(versionOf(501), qMakePair(kImageMajor, kImageMinor));
        QCOMPARE(versionOf(101), qMakePair(1, 0)); // the second target is not sent to
        QVERIFY(!dialog.useCom1Box()->isEnabled());
        QCOMPARE(dialog.infoLine()->text().left(9), QString("[NetAppl]"));
    }

private:
    zutest::TempDir m_serialDir;
    StationRun m_run;
};

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    const QByteArray setup = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    // The setup's name is ours; QtTest sees the remaining arguments.
    QStringList arguments = application.arguments();
    if (argc > 1)
        arguments.removeAt(1);
    if (setup == "demo") {
        DemoUploadTest test;
        return QTest::qExec(&test, arguments);
    }
    if (setup == "drop") {
        DropUploadTest test;
        return QTest::qExec(&test, arguments);
    }
    if (setup == "serial") {
        SerialUploadTest test;
        return QTest::qExec(&test, arguments);
    }
    qWarning("usage: %s demo|drop|serial [QtTest options]", argv[0]);
    return 2;
}

#include "tst_upload_e2e.moc"
