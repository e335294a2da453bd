// The dialog through the real library against stationsim, one setup per run
// (the library reads its environment once per process):
//   demo:   every line of the demo station exactly, the silent device without
//           a row and the rows after it on their own slots; "Upd. All" brings
//           exactly its eligible clusters to the image's version, and Refresh
//           then lists the new versions;
//   drop:   a device that drops mid-transfer fails the job ("Failed to upload
//           file") and keeps its version while the others commit;
//   serial: with "Use Com1" ticked the first selected device is flashed over
//           the serial line, the second is not sent to.
#include "UploadTestSupport.h"

#include "tests/support/StationProcess.h"
#include "UpdaterApp.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>

#include <cstring>

using namespace uploadtest;

namespace {

using Version = QPair<int, int>;
const Version kImage(3, 7);

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

Version versionOf(int32_t id) {
    RemoteInfo info;
    std::memset(&info, 0, sizeof info);
    if (DllGetRemoteInfo(id, &info) == 0)
        return {-1, -1};
    return {info.versionMajor, info.versionMinor};
}

QStringList listLines(const UpdateDialog& dialog) {
    QStringList lines;
    for (int row = 0; row < dialog.deviceList()->count(); ++row)
        lines.append(dialog.deviceList()->item(row)->text());
    return lines;
}

std::string demoStation() {
    QFile file(qEnvironmentVariable("ZU_SOURCE_DIR") + "/res/demo-station.json");
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QJsonObject station = QJsonDocument::fromJson(file.readAll()).object();
    for (const char* key : {"link_kbps", "flash_kbps", "serial_baud"})
        station[key] = 0; // throttles off
    return QJsonDocument(station).toJson().toStdString();
}

} // namespace

class UploadE2eTest : public QObject {
    Q_OBJECT

public:
    explicit UploadE2eTest(QByteArray setup) : m_setup(std::move(setup)) {}

private slots:
    void initTestCase() {
        zutest::StationOptions options;
        std::string json;
        if (m_setup == "demo") {
            json = demoStation();
        } else if (m_setup == "drop") { // three eligible clusters; the second resets part-way
            zutest::StationLayout layout = zutest::makeStation(3, 101);
            for (zutest::DeviceSetup& device : layout.devices)
                device.major = 2;
            layout.devices[1].faults.dropAfter = 128 * 1024;
            json = layout.toJson();
        } else { // a serial fader unit listed first, then a network cluster
            zutest::StationLayout layout = zutest::makeStation(2, 501);
            layout.devices[0].kind = 2;
            layout.devices[0].serial = true;
            layout.devices[1].id = 101;
            options.serialPath = m_dir.file("ttyCOM1");
            qputenv("TESTDLL_COM1", QByteArray::fromStdString(options.serialPath));
            json = layout.toJson();
        }
        m_station = std::make_unique<zutest::StationProcess>(json, options);
        QVERIFY2(m_station->running(), m_station->error().c_str());
        qputenv("TESTDLL_NETWORK", QByteArray::fromStdString(m_station->endpoint()));
        // Long enough for uploads slowed by sanitizers, short enough for the silent device.
        qputenv("TESTDLL_TIMEOUT_MS", "1000");
        // NetAppl, 512 KiB: several chunks on every connection. The record the
        // file box is filled from is under a name of this setup's own.
        const std::string image = zutest::makeImageFile(m_dir.file("cluster.bin"), 512 * 1024, kImage.first,
                                                        kImage.second, 2, "Cluster app");
        const QString name = "zu-up-e2e-" + QString::fromLatin1(m_setup);
        m_app = std::make_unique<UpdaterApp>(QString::fromStdString(m_dir.file(name.toStdString())));
        QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Quorvane", name);
        m_storePath = store.fileName();
        store.remove("Recent File List");
        store.setValue("Recent File List/File1", QString::fromStdString(image));
        store.sync();
        m_app->startUp();
    }
    void cleanupTestCase() {
        m_app.reset();
        if (!m_storePath.isEmpty())
            QFile::remove(m_storePath);
    }

    void upload() {
        const QList<int> ids = m_setup == "demo"
                                   ? QList<int>{101, 102, 103, 110, 121, 122, 201, 301, 501}
                                   : (m_setup == "drop" ? QList<int>{101, 102, 103} : QList<int>{501, 101});
        QList<Version> before;
        for (int id : ids)
            before.append(versionOf(id));
        UpdateDialog dialog;
        m_app->setMainWindow(&dialog);
        showUnpainted(dialog);
        MessageLog messages(dialog);
        QStringList texts;
        connect(dialog.infoLine(), &QLineEdit::textChanged, this, [&](const QString& t) { texts.append(t); });
        const QString description = dialog.infoLine()->text();
        QCOMPARE(description, QString("[NetAppl]  Cluster app  Ver. 3.07  Date: 24/5/17"));

        QList<int> updated = {101, 102, 103};
        QString result = kSuccess;
        if (m_setup == "demo") {
            QCOMPARE(listLines(dialog), kDemoLines);
            QCOMPARE(dialog.slotTable().scanCount, 10);
            QCOMPARE(dialog.slotTable().rowSlot, (QList<int>{0, 1, 2, 3, 4, 5, 6, 7, 9}));
            QCOMPARE(dialog.slotTable().rowOfSlot(8), -1);
            click(dialog, IDC_UPDATE_ALL);
        } else if (m_setup == "drop") {
            updated = {101, 103};
            result = kFailure;
            click(dialog, IDC_UPDATE_ALL);
        } else {
            click(dialog, IDC_USE_COM1);
            QVERIFY(dialog.useCom1Box()->isChecked());
            QVERIFY(!dialog.useCom1Box()->isEnabled()); // opened
            updated = {501};
            selectIds(dialog, {501, 101});
            click(dialog, IDC_UPDATE);
        }
        QVERIFY(waitJobEnd(dialog, 60000));

        QCOMPARE(messages.texts(), QStringList{result});
        for (int i = 0; i < ids.size(); ++i)
            QCOMPARE(versionOf(ids[i]), updated.contains(ids[i]) ? kImage : before[i]);
        QCOMPARE(texts, (QStringList{kFlashWarning, description}));
        QCOMPARE(dialog.progressBar()->value(), 0);
        if (m_setup == "demo") {
            QCOMPARE(selectedIds(dialog), (QList<int>{101, 102, 103}));
            click(dialog, IDC_REFRESH);
            QStringList expected = kDemoLines;
            for (int row : {0, 1, 2})
                expected[row].replace(QRegularExpression("V\\.  2\\.0\\d"), "V.  3.07");
            QCOMPARE(listLines(dialog), expected);
        }
    }

private:
    QByteArray m_setup;
    zutest::TempDir m_dir;
    std::unique_ptr<zutest::StationProcess> m_station;
    std::unique_ptr<UpdaterApp> m_app;
    QString m_storePath;
};

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    const QByteArray setup = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    if (setup != "demo" && setup != "drop" && setup != "serial") {
        qWarning("usage: %s demo|drop|serial [QtTest options]", argv[0]);
        return 2;
    }
    QStringList arguments = application.arguments(); // the setup's name is ours
    arguments.removeAt(1);
    UploadE2eTest test(setup);
    return QTest::qExec(&test, arguments);
}

#include "tst_upload_e2e.moc"
