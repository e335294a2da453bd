// Firmware file: the info line as an exact string for every type code and the
// low-byte rules, the name buffer guard, empty and failing files, the path as
// the library gets it, and the paths the file box offers.
#include "FakeDll.h"
#include "FirmwareFile.h"
#include "RecentFileList.h"

#include <QTest>

class FirmwareFileTest : public QObject {
    Q_OBJECT

    static FileInfoResult describe(int type, const QVector<int>& numbers, const char* name = "NETAPP") {
        fakedll::FileInfo info; // numbers: major, minor, date 1..3
        info.name = name;
        info.fileType = type;
        info.versionMajor = numbers[0];
        info.versionMinor = numbers[1];
        info.date1 = numbers[2];
        info.date2 = numbers[3];
        info.date3 = numbers[4];
        fakedll::setFileInfo("/fw/net.bin", info);
        return describeFirmwareFile("/fw/net.bin");
    }

private slots:
    void init() { fakedll::reset(); }

    void infoLine_data() {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("label");
        QTest::addColumn<bool>("valid");
        const struct {
            int code;
            const char* label;
        } known[] = {{1, "NetBoot"},   {2, "NetAppl"},       {3, "GraphBoot"}, {4, "GraphAppl"},
                     {6, "DSPAppl"},   {7, "MotoAppl"},      {100, "P21Boot"}, {101, "P21Appl"},
                     {255, "Archive"}, {256 + 1, "NetBoot"}, {-1, "Archive"},  {0x7fffff64, "P21Boot"}};
        for (const auto& row : known)
            QTest::addRow("code %d", row.code) << row.code << QString(row.label) << true;
        for (int code : {0, 5, 8, 99, 102, 254, 256, -256})
            QTest::addRow("code %d", code) << code << QString("Error!!!") << false;
    }
    void infoLine() {
        QFETCH(int, type);
        QFETCH(QString, label);
        QFETCH(bool, valid);
        const FileInfoResult result = describe(type, {2, 3, 6, 12, 2026});
        QCOMPARE(result.line, "[" + label + "]  NETAPP  Ver. 2.03  Date: 6/12/234");
        QCOMPARE(result.valid, valid);
    }

    void numbersTakeTheirLowByte_data() {
        QTest::addColumn<QVector<int>>("numbers");
        QTest::addColumn<QString>("expected");
        QTest::newRow("over 255") << QVector<int>{300, 256 + 7, 256, 511, 65536 + 20}
                                  << "Ver. 44.07  Date: 0/255/20";
        QTest::newRow("negative") << QVector<int>{-1, -2, -256, -255, -3} << "Ver. 255.254  Date: 0/1/253";
    }
    void numbersTakeTheirLowByte() {
        QFETCH(QVector<int>, numbers);
        QFETCH(QString, expected);
        QCOMPARE(describe(255, numbers, "X").line, "[Archive]  X  " + expected);
    }

    void fullNameBufferIsCutTo19() {
        // The library fills all 20 bytes, unterminated.
        const FileInfoResult result = describe(2, {0, 0, 0, 0, 0}, "ABCDEFGHIJKLMNOPQRSTUVWXYZ");
        QCOMPARE(result.line, QString("[NetAppl]  ABCDEFGHIJKLMNOPQRS  Ver. 0.00  Date: 0/0/0"));
    }

    void emptyAndFailingFiles() {
        FileInfoResult result = describeFirmwareFile(QString());
        QVERIFY(result.line.isEmpty() && !result.valid);
        QVERIFY(fakedll::calls().empty());

        result = describeFirmwareFile("/fw/missing.bin");
        QCOMPARE(result.line, QString("Invalid program file"));
        QVERIFY(!result.valid);

        fakedll::FileInfo refused;
        refused.fileType = 2;
        refused.result = 0;
        fakedll::setFileInfo("/fw/refused.bin", refused);
        result = describeFirmwareFile("/fw/refused.bin");
        QCOMPARE(result.line, QString("Invalid program file"));
        QVERIFY(!result.valid);
    }

    void pathReachesLibraryAsLocal8Bit() {
        const QString path = QString::fromUtf8("/fw/B\u00fchne net.bin");
        describeFirmwareFile(path);
        const auto asked = fakedll::calls("DllGetFileInfo");
        QCOMPARE(asked.size(), size_t(1));
        QCOMPARE(QByteArray::fromStdString(asked[0].path), QFile::encodeName(path));
    }

    void offeredInFileBox_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("offered");
        QTest::newRow("bin in extension") << "C:\\fw\\net.bin" << true;
        QTest::newRow("bin at start only") << "bin\\net.bin" << false;
        QTest::newRow("bin at start, mem later") << "bin\\net.mem" << true;
        QTest::newRow("substring anywhere") << "C:\\bins\\readme.txt" << true;
        QTest::newRow("case-sensitive") << "C:\\FW\\NET.BIN" << false;
        QTest::newRow("second character") << "abin" << true;
        QTest::newRow("all three at start") << "achive" << false;
        QTest::newRow("empty") << "" << false;
    }
    void offeredInFileBox() {
        QFETCH(QString, path);
        QFETCH(bool, offered);
        QCOMPARE(::offeredInFileBox(path), offered);
    }

    void fileBoxTakesOfferedEntriesInOrder() {
        CRecentFileList record("Recent File List", "File%d", 10);
        for (const char* path : {"/fw/z.ach", "/etc/hosts", "/fw/y.mem", "/FW/NO.BIN", "/fw/x.bin"})
            record.AddPath(path);
        QCOMPARE(fileBoxEntries(record), QStringList({"/fw/x.bin", "/fw/y.mem", "/fw/z.ach"}));
    }
};

QTEST_GUILESS_MAIN(FirmwareFileTest)
#include "tst_FirmwareFile.moc"
