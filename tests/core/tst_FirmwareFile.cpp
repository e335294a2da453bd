// Firmware file: the info line as an exact string for every type code, the
// low-byte rules and the name buffer guard; empty and failing files, the path as
// the library gets it, and the paths the file box offers, in order.
#include "FakeDll.h"
#include "FirmwareFile.h"
#include "RecentFileList.h"

#include <QTest>

class FirmwareFileTest : public QObject {
    Q_OBJECT

private slots:
    void init() { fakedll::reset(); }

    void infoLine_data() {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QVector<int>>("numbers"); // major, minor, date 1..3
        QTest::addColumn<QString>("line");         // "" when the type is invalid
        const QVector<int> usual{2, 3, 6, 12, 2026};
        const struct {
            int code;
            const char* label;
        } known[] = {{1, "NetBoot"},   {2, "NetAppl"},       {3, "GraphBoot"}, {4, "GraphAppl"},
                     {6, "DSPAppl"},   {7, "MotoAppl"},      {100, "P21Boot"}, {101, "P21Appl"},
                     {255, "Archive"}, {256 + 1, "NetBoot"}, {-1, "Archive"},  {0x7fffff64, "P21Boot"}};
        for (const auto& row : known)
            QTest::addRow("code %d", row.code)
                << row.code << "NETAPP" << usual
                << QString("[%1]  NETAPP  Ver. 2.03  Date: 6/12/234").arg(row.label);
        for (int code : {0, 5, 8, 99, 102, 254, 256, -256})
            QTest::addRow("code %d", code) << code << "NETAPP" << usual << QString();
        QTest::newRow("numbers over 255") << 255 << "X" << QVector<int>{300, 256 + 7, 256, 511, 65536 + 20}
                                          << "[Archive]  X  Ver. 44.07  Date: 0/255/20";
        QTest::newRow("negative numbers") << 255 << "X" << QVector<int>{-1, -2, -256, -255, -3}
                                          << "[Archive]  X  Ver. 255.254  Date: 0/1/253";
        // The library fills all 20 bytes, unterminated.
        QTest::newRow("full name buffer cut to 19")
            << 2 << "ABCDEFGHIJKLMNOPQRSTUVWXYZ" << QVector<int>(5, 0)
            << "[NetAppl]  ABCDEFGHIJKLMNOPQRS  Ver. 0.00  Date: 0/0/0";
    }
    void infoLine() {
        QFETCH(int, type);
        QFETCH(QString, name);
        QFETCH(QVector<int>, numbers);
        QFETCH(QString, line);
        fakedll::FileInfo info;
        info.name = name.toStdString();
        info.fileType = type;
        std::tie(info.versionMajor, info.versionMinor, info.date1, info.date2, info.date3) =
            std::tuple(numbers[0], numbers[1], numbers[2], numbers[3], numbers[4]);
        fakedll::setFileInfo("/fw/net.bin", info);
        const FileInfoResult result = describeFirmwareFile("/fw/net.bin");
        QCOMPARE(result.line,
                 line.isEmpty() ? QString("[Error!!!]  NETAPP  Ver. 2.03  Date: 6/12/234") : line);
        QCOMPARE(result.valid, !line.isEmpty());
    }

    void emptyFailingFilesAndLocal8BitPath() {
        FileInfoResult result = describeFirmwareFile(QString());
        QVERIFY(result.line.isEmpty() && !result.valid);
        QVERIFY(fakedll::calls().empty());
        fakedll::FileInfo refused;
        refused.fileType = 2;
        refused.result = 0;
        fakedll::setFileInfo("/fw/refused.bin", refused);
        for (const char* path : {"/fw/missing.bin", "/fw/refused.bin"}) {
            result = describeFirmwareFile(path);
            QCOMPARE(result.line, QString("Invalid program file"));
            QVERIFY(!result.valid);
        }
        const QString path = QString::fromUtf8("/fw/B\u00fchne net.bin");
        describeFirmwareFile(path);
        QCOMPARE(QByteArray::fromStdString(fakedll::calls("DllGetFileInfo").back().path),
                 QFile::encodeName(path));
    }

    void fileBoxOffersMatchingEntriesInOrder() {
        // Offered: "bin", "mem" or "ach" anywhere but at the very start, case-sensitive.
        const std::pair<const char*, bool> rows[] = {
            {"C:\\fw\\net.bin", true},  {"bin\\net.bin", false},
            {"bin\\net.mem", true},     {"C:\\bins\\readme.txt", true},
            {"C:\\FW\\NET.BIN", false}, {"abin", true},
            {"achive", false},          {"", false}};
        for (const auto& [path, offered] : rows)
            QVERIFY2(offeredInFileBox(path) == offered, path);
        CRecentFileList record("Recent File List", "File%d", 10);
        for (const char* path : {"/fw/z.ach", "/etc/hosts", "/fw/y.mem", "/FW/NO.BIN", "/fw/x.bin"})
            record.AddPath(path);
        QCOMPARE(fileBoxEntries(record), QStringList({"/fw/x.bin", "/fw/y.mem", "/fw/z.ach"}));
    }
};

QTEST_GUILESS_MAIN(FirmwareFileTest)
#include "tst_FirmwareFile.moc"
