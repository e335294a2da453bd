// Firmware file: the info line as an exact string (label, name, version with
// its two-digit minor, dates), the type taken from its low byte with codes
// outside the table invalid, numbers taken as their low byte, the 20-byte
// name guard; empty and failing files, the path as the library gets it, and
// the paths the file box offers, in order.
#include "core/FirmwareFile.h"
#include "core/RecentFileList.h"
#include "tests/fakedll/FakeDll.h"

#include <QFile>
#include <QTest>

Q_DECLARE_METATYPE(fakedll::FileInfo)

class FirmwareFileTest : public QObject {
    Q_OBJECT

private slots:
    void init() { fakedll::reset(); }

    void infoLine_data() {
        QTest::addColumn<fakedll::FileInfo>("info");
        QTest::addColumn<QString>("line"); // "" when the type is invalid
        const auto row = [](int type, const char* line, const char* name = "NETAPP",
                            std::vector<int> n = {6, 12, 2026, 2, 3}) {
            QTest::addRow("type %d, %s", type, name)
                << fakedll::FileInfo{name, n[0], n[1], n[2], type, n[3], n[4]} << line;
        };
        row(2, "[NetAppl]  NETAPP  Ver. 2.03  Date: 6/12/234");
        row(256 + 100, "[P21Boot]  NETAPP  Ver. 2.03  Date: 6/12/234");
        row(-1, "[Archive]  NETAPP  Ver. 2.03  Date: 6/12/234");
        for (int type : {0, 5, 8, 99, 102, 254, 256, -256})
            row(type, "");
        row(255, "[Archive]  X  Ver. 44.07  Date: 0/255/20", "X", {256, 511, 65536 + 20, 300, 256 + 7});
        row(255, "[Archive]  Y  Ver. 255.254  Date: 0/1/253", "Y", {-256, -255, -3, -1, -2});
        row(2, "[NetAppl]  ABCDEFGHIJKLMNOPQRS  Ver. 0.00  Date: 0/0/0", "ABCDEFGHIJKLMNOPQRSTUVWXYZ",
            {0, 0, 0, 0, 0});
    }
    void infoLine() {
        QFETCH(fakedll::FileInfo, info);
        QFETCH(QString, line);
        fakedll::setFileInfo("/fw/net.bin", info);
        const FileInfoResult result = describeFirmwareFile("/fw/net.bin");
        QCOMPARE(result.line,
                 line.isEmpty() ? QString("[Error!!!]  NETAPP  Ver. 2.03  Date: 6/12/234") : line);
        QCOMPARE(result.valid, !line.isEmpty());
    }

    void emptyFailingFilesAndLocal8BitPath() {
        FileInfoResult result = describeFirmwareFile(QString());
        QVERIFY(result.line.isEmpty() && !result.valid && fakedll::calls().empty());
        fakedll::setFileInfo("/fw/refused.bin", {.fileType = 2, .result = 0});
        for (const char* path : {"/fw/missing.bin", "/fw/refused.bin"}) {
            result = describeFirmwareFile(path);
            QVERIFY(result.line == "Invalid program file" && !result.valid);
        }
        const QString path = QString::fromUtf8("/fw/B\u00fchne net.bin");
        describeFirmwareFile(path);
        QCOMPARE(QByteArray::fromStdString(fakedll::calls("DllGetFileInfo").back().path),
                 QFile::encodeName(path));
    }

    void fileBoxOffersMatchingEntriesInOrder() {
        // "bin", "mem" or "ach" first found anywhere but at the very start, case-sensitive.
        for (const auto& [path, offered] : {std::pair("C:\\fw\\net.bin", true),
                                            {"bin\\net.bin", false},
                                            {"bin\\net.mem", true},
                                            {"C:\\bins\\readme.txt", true},
                                            {"C:\\FW\\NET.BIN", false},
                                            {"achive", false},
                                            {"", false}})
            QVERIFY2(offeredInFileBox(path) == offered, path);
        CRecentFileList record = CRecentFileList::programRecord();
        for (const char* path : {"/fw/z.ach", "/etc/hosts", "/fw/y.mem", "/FW/NO.BIN", "/fw/x.bin"})
            record.AddPath(path);
        QCOMPARE(fileBoxEntries(record), QStringList({"/fw/x.bin", "/fw/y.mem", "/fw/z.ach"}));
    }
};

QTEST_GUILESS_MAIN(FirmwareFileTest)
#include "tst_FirmwareFile.moc"
