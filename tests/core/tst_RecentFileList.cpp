// Recent-file record and settings store: loading with gaps and stray values,
// saving over the whole section (none for an empty record, nothing created on
// a first run), AddPath's canonical form, case-blind matching, order and
// capacity, and silence on a store that is missing, unwritable or garbled,
// which is never overwritten.
#include "core/RecentFileList.h"
#include "core/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <unistd.h>

namespace {

const QString kSection = QStringLiteral("Recent File List");

// All ten entries; `given` padded with empty ones.
QStringList entries(const CRecentFileList& record) {
    QStringList all;
    for (int i = 0; i < record.capacity(); ++i)
        all.append(record.entry(i));
    return all;
}
QStringList padded(QStringList given) {
    while (given.size() < 10)
        given.append(QString());
    return given;
}

} // namespace

class RecentFileListTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_base;
    SettingsStore m_store;

    QString confPath() const { return m_base->path() + "/Quorvane/app.conf"; }
    // Direct access, as another copy of the program or the user would have.
    std::unique_ptr<QSettings> raw() const {
        return std::make_unique<QSettings>(confPath(), QSettings::IniFormat);
    }
    void writeConf(const QByteArray& bytes) {
        QVERIFY(QDir().mkpath(m_base->path() + "/Quorvane"));
        QFile file(confPath());
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }
    CRecentFileList loaded() const {
        CRecentFileList record = CRecentFileList::programRecord();
        record.LoadFromStore(m_store);
        return record;
    }

private slots:
    void init() {
        m_base = std::make_unique<QTemporaryDir>(qEnvironmentVariable("XDG_CONFIG_HOME") + "/core-XXXXXX");
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_base->path());
        m_store = SettingsStore("Quorvane", "app");
    }
    void cleanup() { m_base.reset(); }

    // A first run creates nothing; a stored record loads with its gaps and
    // without stray values, and saving replaces the section, which an empty
    // record leaves out altogether.
    void loadKeepsGapsAndSaveRewritesSection() {
        CRecentFileList record = loaded();
        QCOMPARE(entries(record), padded({}));
        record.SaveToStore(m_store);
        QVERIFY(!QFileInfo::exists(m_base->path() + "/Quorvane"));
        writeConf("[Recent%20File%20List]\nFile1=/fw/1\nFile3=/fw/3\nFile10=/fw/10\nFile11=/fw/11\nOther=x\n"
                  "[Elsewhere]\nFile2=/fw/elsewhere.bin\n");
        record = loaded();
        QCOMPARE(entries(record), padded({"/fw/1", "", "/fw/3", "", "", "", "", "", "", "/fw/10"}));
        record.SaveToStore(m_store);
        QCOMPARE(raw()->allKeys().size(), 4); // three entries, the other section
        QCOMPARE(entries(loaded()), entries(record));
        CRecentFileList::programRecord().SaveToStore(m_store);
        QCOMPARE(raw()->allKeys(), QStringList{"Elsewhere/File2"});
    }

    // Relative paths resolved, dot segments dropped, links kept; absolute and
    // overlong ones kept as given; an empty one ignored.
    void addPathCanonicalForm() {
        QVERIFY(QDir().mkpath(m_base->path() + "/real"));
        QVERIFY(QFile::link(m_base->path() + "/real", m_base->path() + "/link"));
        const QString saved = QDir::currentPath(), base = m_base->path() + "/";
        QVERIFY(QDir::setCurrent(m_base->path()));
        for (const auto& [path, expected] : {std::pair<QString, QString>("fw/net.bin", base + "fw/net.bin"),
                                             {"./fw/../fw/./net.bin", base + "fw/net.bin"},
                                             {"link/net.bin", base + "link/net.bin"},
                                             {"/opt/FW/Net.BIN", "/opt/FW/Net.BIN"},
                                             {QString(260, 'x'), QString(260, 'x')}}) {
            CRecentFileList record = CRecentFileList::programRecord();
            record.AddPath(path);
            record.AddPath("");
            QCOMPARE(entries(record), padded({expected}));
        }
        QDir::setCurrent(saved);
    }

    // Added path, the entry it replaces (9: the oldest falls off). Entry 10 is not compared.
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
    }

    void addPathRemovesOnlyUpperDuplicate() {
        writeConf("[Recent%20File%20List]\nFile1=/fw/x.bin\nFile2=/fw/dup.bin\nFile4=/fw/DUP.bin\n");
        CRecentFileList record = loaded();
        record.AddPath("/fw/Dup.bin");
        QCOMPARE(entries(record), padded({"/fw/Dup.bin", "/fw/x.bin", "", "/fw/DUP.bin"})); // gaps kept
    }

    void unusableStoreIsSilentAndEmpty_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QByteArray>("contents");
        const QByteArray head = "[Recent%20File%20List]\nFile1=/fw/a.bin\n";
        QTest::newRow("configuration file is a folder") << "folder" << QByteArray();
        QTest::newRow("configuration home is a file") << "home-file" << QByteArray();
        // Readable values ahead of the damage must not be trusted either.
        QTest::newRow("binary garbage after a section")
            << "write" << head + QByteArray("\xff\xfe\x00\x01\n", 5);
        QTest::newRow("unterminated section header")
            << "write" << head + "[Recent%20File%20List\nFile2=/fw/b.bin\n";
        QTest::newRow("read-only file") << "read-only" << head;
    }
    void unusableStoreIsSilentAndEmpty() {
        QFETCH(QString, how);
        QFETCH(QByteArray, contents);
        QTest::failOnWarning(QRegularExpression(".*"));
        if (how == "read-only" && geteuid() == 0)
            QSKIP("root writes read-only files anyway");
        if (how == "folder") {
            QVERIFY(QDir().mkpath(confPath()));
        } else if (how == "home-file") {
            QFile file(m_base->path() + "/home");
            QVERIFY(file.open(QIODevice::WriteOnly));
            QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, file.fileName());
        } else {
            writeConf(contents);
            QVERIFY(how != "read-only" || QFile::setPermissions(confPath(), QFile::ReadOwner));
        }
        CRecentFileList record = loaded();
        QCOMPARE(entries(record), padded({}));
        record.AddPath("/fw/new.bin");
        QVERIFY(!m_store.WriteString(kSection, "File1", "/fw/new.bin"));
        record.SaveToStore(m_store);
        QVERIFY(!m_store.DeleteSection(kSection));
        QFile file(confPath()); // nothing we could not read is overwritten
        QVERIFY(contents.isEmpty() || (file.open(QIODevice::ReadOnly) && file.readAll() == contents));
    }
};

QTEST_GUILESS_MAIN(RecentFileListTest)
#include "tst_RecentFileList.moc"
