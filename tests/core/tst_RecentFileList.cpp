// Recent-file record and settings store: loading with gaps and stray values,
// saving over the whole section (none for an empty record), AddPath's
// canonical form, case-blind matching, order and capacity, and silence on a
// store that is missing, unwritable or garbled, which is never overwritten.
#include "RecentFileList.h"
#include "SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <unistd.h>

namespace {

const QString kSection = QStringLiteral("Recent File List");

CRecentFileList makeRecord() {
    return CRecentFileList(kSection, QStringLiteral("File%d"), 10);
}

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
    QString m_app;

    QString confPath() const { return m_base->path() + "/Quorvane/" + m_app + ".conf"; }
    SettingsStore store() const { return SettingsStore("Quorvane", m_app); }
    // Direct access, as another copy of the program or the user would have.
    std::unique_ptr<QSettings> raw() const {
        return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, "Quorvane", m_app);
    }
    void writeConf(const QByteArray& bytes) {
        QVERIFY(QDir().mkpath(m_base->path() + "/Quorvane"));
        QFile file(confPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    CRecentFileList loaded() const {
        auto record = makeRecord();
        record.LoadFromStore(store());
        return record;
    }

private slots:
    void init() {
        m_base = std::make_unique<QTemporaryDir>(qEnvironmentVariable("XDG_CONFIG_HOME") + "/core-XXXXXX");
        QVERIFY(m_base->isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_base->path());
        m_app = QStringLiteral("recent-%1").arg(QString::fromLatin1(QTest::currentTestFunction()));
    }
    void cleanup() { m_base.reset(); }

    void loadKeepsGapsAndSaveRewritesSection() {
        for (const char* key : {"File1", "File3", "File10", "File11", "Other"})
            raw()->setValue(kSection + "/" + key, QString("/fw/%1").arg(key));
        raw()->setValue("Elsewhere/File2", "/fw/elsewhere.bin");
        auto record = loaded();
        QCOMPARE(entries(record),
                 padded({"/fw/File1", "", "/fw/File3", "", "", "", "", "", "", "/fw/File10"}));
        SettingsStore writer = store();
        record.SaveToStore(writer);
        QCOMPARE(raw()->allKeys().size(), 4); // three entries, the other section
        QCOMPARE(entries(loaded()), entries(record));
        QCOMPARE(raw()->value("Elsewhere/File2").toString(), QString("/fw/elsewhere.bin"));
    }

    void emptyRecordWritesNoSection() {
        auto record = loaded();
        QCOMPARE(entries(record), padded({}));
        SettingsStore writer = store();
        record.SaveToStore(writer);
        // First run with nothing chosen: reading and saving create nothing at all.
        QVERIFY(!QFileInfo::exists(m_base->path() + "/Quorvane"));
        raw()->setValue(kSection + "/File4", "/fw/old.bin");
        record.SaveToStore(writer);
        QVERIFY(!raw()->childGroups().contains(kSection));
    }

    void addPathCanonicalForm() {
        QVERIFY(QDir().mkpath(m_base->path() + "/real"));
        QVERIFY(QFile::link(m_base->path() + "/real", m_base->path() + "/link"));
        const QString saved = QDir::currentPath(), base = m_base->path() + "/";
        QVERIFY(QDir::setCurrent(m_base->path()));
        // Relative paths resolved, dot segments dropped, links kept; absolute and overlong ones kept as
        // given.
        const std::pair<QString, QString> rows[] = {{"fw/net.bin", base + "fw/net.bin"},
                                                    {"./fw/../fw/./net.bin", base + "fw/net.bin"},
                                                    {"link/net.bin", base + "link/net.bin"},
                                                    {"/opt/FW/Net.BIN", "/opt/FW/Net.BIN"},
                                                    {QString(260, 'x'), QString(260, 'x')}};
        for (const auto& [path, expected] : rows) {
            auto record = makeRecord();
            record.AddPath(path);
            record.AddPath(""); // ignored
            QCOMPARE(entries(record), padded({expected}));
        }
        QDir::setCurrent(saved);
    }

    void addPathOrderAndCapacity() {
        QStringList ten;
        for (int n = 1; n <= 10; ++n)
            ten.append(QStringLiteral("/f/%1").arg(n));
        // Added path, the entry it replaces (10: the oldest falls off). Entry 10 is not compared.
        const std::pair<QString, int> rows[] = {
            {"/f/new", 9}, {"/f/1", 0}, {"/F/5", 4}, {"/f/9", 8}, {"/F/10", 9}};
        for (const auto& [added, index] : rows) {
            auto record = makeRecord();
            for (int n = 10; n >= 1; --n)
                record.AddPath(QStringLiteral("/f/%1").arg(n));
            record.AddPath(added);
            QStringList expected = ten;
            expected.removeAt(index);
            expected.prepend(added);
            QCOMPARE(entries(record), expected);
        }
    }

    void addPathRemovesOnlyUpperDuplicate() {
        writeConf("[Recent%20File%20List]\nFile1=/fw/x.bin\nFile2=/fw/dup.bin\nFile4=/fw/DUP.bin\n");
        auto record = loaded();
        record.AddPath("/fw/Dup.bin");
        // Entries below the match keep their places, gaps included.
        QCOMPARE(entries(record), padded({"/fw/Dup.bin", "/fw/x.bin", "", "/fw/DUP.bin"}));
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
        auto record = loaded();
        QCOMPARE(entries(record), padded({}));
        record.AddPath("/fw/new.bin");
        SettingsStore writer = store();
        QVERIFY(!writer.WriteString(kSection, "File1", "/fw/new.bin"));
        record.SaveToStore(writer);
        QVERIFY(!writer.DeleteSection(kSection));
        QFile file(confPath()); // nothing we could not read is overwritten
        QVERIFY(contents.isEmpty() || (file.open(QIODevice::ReadOnly) && file.readAll() == contents));
    }
};

QTEST_GUILESS_MAIN(RecentFileListTest)
#include "tst_RecentFileList.moc"
