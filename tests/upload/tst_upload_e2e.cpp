// The dialog through the real library against stationsim, one setup per run
// (the library reads its environment once per process):
//   demo:   every line of the demo station exactly, the silent device without
//           a row and the rows after it on their own slots; "Upd. All" brings
//           exactly its eligible clusters to the image's version and adds their
//           rows to the selection, and Refresh then lists the new versions;
//   drop:   a device that drops mid-transfer fails the job ("Failed to upload
//           file") and keeps its version while the others commit;
//   serial: with "Use Com1" ticked the first selected device is flashed over
//           the serial line, the second is not sent to.
// Each run shows the flash warning once, then the description again, and ends
// with the bar at 0.
#include "tests/gui/GuiTestSupport.h"

#include "StationProcess.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstring>

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
    return DllGetRemoteInfo(id, &info) ? Version(info.versionMajor, info.versionMinor) : Version(-1, -1);
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
    void upload() {
        zutest::TempDir dir;
        zutest::StationOptions options;
        std::string json = demoStation();
        QList<int> ids = {101, 102, 103, 110, 121, 122, 201, 301, 501}, updated = {101, 102, 103};
        if (m_setup == "drop") { // three eligible clusters; the second resets part-way
            zutest::StationLayout layout = zutest::makeStation(3, 101);
            for (zutest::DeviceSetup& device : layout.devices)
                device.major = 2;
            layout.devices[1].faults.dropAfter = 128 * 1024;
            json = layout.toJson();
            ids = {101, 102, 103};
            updated = {101, 103};
        } else if (m_setup == "serial") { // a serial fader unit listed first, then a network cluster
            zutest::StationLayout layout = zutest::makeStation(2, 501);
            layout.devices[0].kind = 2;
            layout.devices[0].serial = true;
            layout.devices[1].id = 101;
            options.serialPath = dir.file("ttyCOM1");
            qputenv("TESTDLL_COM1", QByteArray::fromStdString(options.serialPath));
            json = layout.toJson();
            ids = {501, 101};
            updated = {501};
        }
        zutest::StationProcess station(json, options);
        QVERIFY2(station.running(), station.error().c_str());
        qputenv("TESTDLL_NETWORK", QByteArray::fromStdString(station.endpoint()));
        // Long enough for uploads slowed by sanitizers, short enough for the silent device.
        qputenv("TESTDLL_TIMEOUT_MS", "1000");
        // NetAppl, 512 KiB: several chunks on every connection.
        const std::string image = zutest::makeImageFile(dir.file("cluster.bin"), 512 * 1024, kImage.first,
                                                        kImage.second, 2, "Cluster app");
        TestApp t("zu-up-e2e-" + QString::fromLatin1(m_setup));
        t.start({{"File1", QString::fromStdString(image)}});
        QList<Version> before;
        for (int id : ids)
            before.append(versionOf(id));
        UpdateDialog& dialog = t.shown();
        const MessageLog messages(&dialog);
        QStringList texts;
        connect(dialog.infoLine(), &QLineEdit::textChanged, this,
                [&](const QString& text) { texts.append(text); });
        const QString description = dialog.infoLine()->text();
        QCOMPARE(description, QString("[NetAppl]  Cluster app  Ver. 3.07  Date: 24/5/17"));
        if (m_setup == "demo") {
            QCOMPARE(listLines(dialog), kDemoLines);
            QCOMPARE(dialog.slotTable().rowSlot, (QList<int>{0, 1, 2, 3, 4, 5, 6, 7, 9}));
            selectIds(dialog, {121}); // stays selected
        }
        if (m_setup == "serial") {
            click(dialog, IDC_USE_COM1);
            QVERIFY(dialog.useCom1Box()->isChecked() && !dialog.useCom1Box()->isEnabled()); // opened
            selectIds(dialog, {501, 101});
        }
        click(dialog, m_setup == "serial" ? IDC_UPDATE : IDC_UPDATE_ALL);
        QVERIFY(waitJobEnd(dialog, 60000));

        QCOMPARE(messages.texts(),
                 QStringList{m_setup == "drop" ? "Failed to upload file" : "Upload Successfull     "});
        for (int i = 0; i < ids.size(); ++i)
            QCOMPARE(versionOf(ids[i]), updated.contains(ids[i]) ? kImage : before[i]);
        QCOMPARE(texts, (QStringList{kFlashWarning, description}));
        QCOMPARE(dialog.progressBar()->value(), 0);
        if (m_setup == "demo") {
            QCOMPARE(selectedIds(dialog), (QList<int>{101, 102, 103, 121}));
            click(dialog, IDC_REFRESH);
            QStringList expected = kDemoLines;
            for (int row : {0, 1, 2})
                expected[row].replace(QRegularExpression("V\\.  2\\.0\\d"), "V.  3.07");
            QCOMPARE(listLines(dialog), expected);
        }
    }

private:
    QByteArray m_setup;
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
