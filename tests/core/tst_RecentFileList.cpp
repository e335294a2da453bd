// Recent-file record and settings store: loading with gaps and stray values,
// saving over the whole section (none for an empty record, nothing created on
// a first run), AddPath's canonical form, case-blind matching, order and
// capacity, only the upper of two copies removed, and silence on a store that
// is missing, unwritable or garbled, which is never overwritten.
#include "core/RecentFileList.h"
#include "core/SettingsStore.h"

#include <QtTest>

#include <unistd.h>

class RecentFileListTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_base;
    SettingsStore m_store{"Quorvane", "app"};

    QString confPath() const { return m_base->path() + "/Quorvane/app.conf"; }
    QStringList storedKeys() const { return QSettings(confPath(), QSettings::IniFormat).allKeys(); }
    void writeConf(const QByteArray& bytes) {
        QFile file(confPath());
        QVERIFY(QDir().mkpath(m_base->path() + "/Quorvane") && file.open(QIODevice::WriteOnly));
        file.write("[Recent%20File%20List]\n" + bytes);
    }
    // The record's entries as loaded (or as given), up to the last one in use.
    QStringList entries(std::optional<CRecentFileList> record = {}) const {
        if (!record) {
            record = CRecentFileList::programRecord();
            record->LoadFromStore(m_store);
        }
        QStringList all;
        for (int i = 0; i < record->capacity(); ++i)
            all.append(record->entry(i));
        while (!all.isEmpty() && all.last().isEmpty())
            all.removeLast();
        return all;
    }

private slots:
    void init() {
        m_base = std::make_unique<QTemporaryDir>(qEnvironmentVariable("XDG_CONFIG_HOME") + "/core-XXXXXX");
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_base->path());
    }

    void loadKeepsGapsAndSaveRewritesSection() {
        CRecentFileList record = CRecentFileList::programRecord();
        record.LoadFromStore(m_store);
        record.SaveToStore(m_store);
        QCOMPARE(entries(record), QStringList());
        QVERIFY(!QFileInfo::exists(m_base->path() + "/Quorvane")); // a first run creates nothing
        writeConf(
            "File1=/fw/1\nFile3=/fw/3\nFile10=/fw/10\nFile11=/fw/11\nOther=x\n[Elsewhere]\nFile2=/fw/e\n");
        record.LoadFromStore(m_store);
        QCOMPARE(entries(record), QStringList({"/fw/1", "", "/fw/3", "", "", "", "", "", "", "/fw/10"}));
        record.SaveToStore(m_store);
        QCOMPARE(storedKeys().size(), 4); // three entries, the other section
        QCOMPARE(entries(), entries(record));
        CRecentFileList::programRecord().SaveToStore(m_store); // an empty record: no section at all
        QCOMPARE(storedKeys(), QStringList{"Elsewhere/File2"});
    }

    // Relative paths resolved, dot segments dropped, links kept; absolute and
    // overlong ones kept as given; an empty one ignored.
    void addPathCanonicalForm() {
        QVERIFY(QDir().mkpath(m_base->path() + "/real"));
        QVERIFY(QFile::link(m_base->path() + "/real", m_base->path() + "/link"));
        const QString saved = QDir::currentPath(), base = m_base->path() + "/", overlong(260, 'x');
        QVERIFY(QDir::setCurrent(m_base->path()));
        const QString paths[] = {"fw/net.bin", "./fw/../fw/./net.bin", "link/net.bin", "/opt/FW/Net.BIN",
                                 overlong};
        const QString expected[] = {base + "fw/net.bin", base + "fw/net.bin", base + "link/net.bin",
                                    "/opt/FW/Net.BIN", overlong};
        for (int i = 0; i < 5; ++i) {
            CRecentFileList record = CRecentFileList::programRecord();
            record.AddPath(paths[i]);
            record.AddPath("");
            QCOMPARE(entries(record), QStringList({expected[i]}));
        }
        QDir::setCurrent(saved);
    }

    // Added path, the entry it replaces (9: the oldest falls off). Entry 10 is
    // not compared. Of two copies loaded from the store only the upper goes.
    void addPathOrderAndCapacity() {
        for (const auto& [added, index] :
             {std::pair<QString, int>("/f/new", 9), {"/f/1", 0}, {"/F/5", 4}, {"/F/10", 9}}) {
            CRecentFileList record = CRecentFileList::programRecord();
            QStringList expected;
            for (int n = 10; n >= 1; --n) {
                record.AddPath(QStringLiteral("/f/%1").arg(n));
                expected.prepend(QStringLiteral("/f/%1").arg(n));
            }
            record.AddPath(added);
            expected.removeAt(index);
            expected.prepend(added);
            QCOMPARE(entries(record), expected);
        }
        writeConf("File1=/fw/x.bin\nFile2=/fw/dup.bin\nFile4=/fw/DUP.bin\n");
        CRecentFileList record = CRecentFileList::programRecord();
        record.LoadFromStore(m_store);
        record.AddPath("/fw/Dup.bin");
        QCOMPARE(entries(record), QStringList({"/fw/Dup.bin", "/fw/x.bin", "", "/fw/DUP.bin"})); // gaps kept
    }

    void unusableStoreIsSilentAndEmpty_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QByteArray>("contents");
        QTest::newRow("configuration file is a folder") << "folder" << QByteArray();
        QTest::newRow("configuration home is a file") << "home-file" << QByteArray();
        // Readable values ahead of the damage must not be trusted either.
        QTest::newRow("binary garbage") << "write" << QByteArray("File1=/fw/a.bin\n\xff\xfe\x00\x01\n", 21);
        QTest::newRow("unterminated section header")
            << "write" << QByteArray("File1=/fw/a.bin\n[Recent\nFile2=b\n");
        QTest::newRow("read-only file") << "read-only" << QByteArray("File1=/fw/a.bin\n");
    }
    void unusableStoreIsSilentAndEmpty() {
        QFETCH(QString, how);
        QFETCH(QByteArray, contents);
        QTest::failOnWarning(QRegularExpression(".*"));
        if (how == "read-only" && geteuid() == 0)
            QSKIP("root writes read-only files anyway");
        QFile home(m_base->path() + "/home");
        if (how == "folder")
            QVERIFY(QDir().mkpath(confPath()));
        else if (how == "home-file" && home.open(QIODevice::WriteOnly))
            QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.fileName());
        else
            writeConf(contents);
        QVERIFY(how != "read-only" || QFile::setPermissions(confPath(), QFile::ReadOwner));
        QCOMPARE(entries(), QStringList());
        CRecentFileList record = CRecentFileList::programRecord();
        record.AddPath("/fw/new.bin");
        QVERIFY(!m_store.WriteString("Recent File List", "File1", "/fw/new.bin"));
        record.SaveToStore(m_store);
        QVERIFY(!m_store.DeleteSection("Recent File List"));
        QFile file(confPath()); // nothing we could not read is overwritten
        QVERIFY(contents.isEmpty() || (file.open(QIODevice::ReadOnly) && file.readAll().endsWith(contents)));
    }
};

QTEST_GUILESS_MAIN(RecentFileListTest)
#include "tst_RecentFileList.moc"
