// The dialog through the real library against the demo station: every line
// exactly, the silent device without a row and the rows after it on their own
// slots; "Upd. All" brings exactly the eligible clusters to the image's
// version, and Refresh then lists the new versions. Failure paths are proven
// with the fake and in the library's own tests.
#include "UploadTestSupport.h"

#include "StationProcess.h"
#include "UpdaterApp.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>

using namespace uploadtest;

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

QStringList listLines(const UpdateDialog& dialog) {
    QStringList lines;
    for (int row = 0; row < dialog.deviceList()->count(); ++row)
        lines.append(dialog.deviceList()->item(row)->text());
    return lines;
}

} // namespace

class UploadE2eTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QFile file(qEnvironmentVariable("ZU_SOURCE_DIR") + "/res/demo-station.json");
        QVERIFY(file.open(QIODevice::ReadOnly));
        QJsonObject station = QJsonDocument::fromJson(file.readAll()).object();
        for (const char* key : {"link_kbps", "flash_kbps", "serial_baud"})
            station[key] = 0; // throttles off
        m_station = std::make_unique<zutest::StationProcess>(QJsonDocument(station).toJson().toStdString());
        QVERIFY2(m_station->running(), m_station->error().c_str());
        qputenv("TESTDLL_NETWORK", QByteArray::fromStdString(m_station->endpoint()));
        // Long enough for uploads slowed by sanitizers, short enough for the silent device.
        qputenv("TESTDLL_TIMEOUT_MS", "1000");
        // NetAppl 3.07, 512 KiB: several chunks on every connection.
        const std::string image =
            zutest::makeImageFile(m_dir.file("cluster.bin"), 512 * 1024, 3, 7, 2, "Cluster app");
        m_app = std::make_unique<UpdaterApp>(QString::fromStdString(m_dir.file("zu-up-e2e")));
        QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Quorvane", "zu-up-e2e");
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

    void updateAllOnTheDemoStation() {
        UpdateDialog dialog;
        m_app->setMainWindow(&dialog);
        showUnpainted(dialog);
        MessageLog messages(dialog);
        QStringList texts;
        connect(dialog.infoLine(), &QLineEdit::textChanged, this, [&](const QString& t) { texts.append(t); });
        const QString description = dialog.infoLine()->text();
        QCOMPARE(description, QString("[NetAppl]  Cluster app  Ver. 3.07  Date: 24/5/17"));
        QCOMPARE(listLines(dialog), kDemoLines);
        QCOMPARE(dialog.slotTable().scanCount, 10);
        QCOMPARE(dialog.slotTable().rowSlot, (QList<int>{0, 1, 2, 3, 4, 5, 6, 7, 9}));
        QCOMPARE(dialog.slotTable().rowOfSlot(8), -1);

        click(dialog, IDC_UPDATE_ALL);
        QVERIFY(waitJobEnd(dialog, 60000));

        QCOMPARE(messages.texts(), QStringList{kSuccess});
        QCOMPARE(texts, (QStringList{kFlashWarning, description}));
        QCOMPARE(dialog.progressBar()->value(), 0);
        QCOMPARE(selectedIds(dialog), (QList<int>{101, 102, 103}));
        click(dialog, IDC_REFRESH); // the versions the devices report now
        QStringList expected = kDemoLines;
        for (int row : {0, 1, 2})
            expected[row].replace(QRegularExpression("V\\.  2\\.0\\d"), "V.  3.07");
        QCOMPARE(listLines(dialog), expected);
    }

private:
    zutest::TempDir m_dir;
    std::unique_ptr<zutest::StationProcess> m_station;
    std::unique_ptr<UpdaterApp> m_app;
    QString m_storePath;
};

QTEST_MAIN(UploadE2eTest)
#include "tst_upload_e2e.moc"
