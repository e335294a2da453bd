// Recent-file record and settings store: loading with gaps and stray values,
// saving over the whole section, AddPath's canonical form, matching, order and
// capacity, and silence on a store that is missing, unwritable or garbled.
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
const QString kCompany = QStringLiteral("Quorvane");

CRecentFileList makeRecord() {
    return CRecentFileList(kSection, QStringLiteral("File%d"), 10);
}

QStringList entries(const CRecentFileList& record) {
    QStringList all;
    for (int i = 0; i < record.capacity(); ++i)
        all.append(record.entry(i));
    return all;
}

// Ten entries: `given` first, the rest free.
QStringList padded(QStringList given) {
    while (given.size() < 10)
        given.append(QString());
    return given;
}

} // namespace

class RecentFileListTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_base;
    QString m_app;

    QString confPath() const { return m_base->path() + "/Quorvane/" + m_app + ".conf"; }
    SettingsStore store() const { return SettingsStore(kCompany, m_app); }
    // Direct access, as another copy of the program or the user would have.
    std::unique_ptr<QSettings> raw() const {
        return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, kCompany, m_app);
    }
    QStringList storedNames() const {
        auto settings = raw();
        settings->beginGroup(kSection);
        QStringList names = settings->childKeys();
        names.sort();
        return names;
    }
    void writeConf(const QByteArray& bytes) {
        QVERIFY(QDir().mkpath(m_base->path() + "/Quorvane"));
        QFile file(confPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

private slots:
    void init() {
        // Each test gets its own store below the build tree's config folder.
        m_base = std::make_unique<QTemporaryDir>(qEnvironmentVariable("XDG_CONFIG_HOME") + "/core-XXXXXX");
        QVERIFY(m_base->isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_base->path());
        m_app = QStringLiteral("recent-%1").arg(QString::fromLatin1(QTest::currentTestFunction()));
    }
    void cleanup() { m_base.reset(); }

    void loadKeepsGapsAndSaveRewritesSection() {
        {
            auto settings = raw();
            settings->setValue(kSection + "/File1", "/fw/one.bin");
            settings->setValue(kSection + "/File3", "relative\\three.mem");
            settings->setValue(kSection + "/File10", "/fw/ten.ach");
            settings->setValue(kSection + "/File11", "/fw/eleven.bin");
            settings->setValue(kSection + "/Other", "/fw/other.bin");
            settings->setValue("Elsewhere/File2", "/fw/elsewhere.bin");
        }
        auto record = makeRecord();
        record.LoadFromStore(store());
        // Stored text is taken as it is: not made absolute, not checked.
        QCOMPARE(entries(record), QStringList({"/fw/one.bin", "", "relative\\three.mem", "", "", "", "", "",
                                               "", "/fw/ten.ach"}));

        SettingsStore writer = store();
        record.SaveToStore(writer);
        QCOMPARE(storedNames(), QStringList({"File1", "File10", "File3"}));
        auto reloaded = makeRecord();
        reloaded.LoadFromStore(store());
        QCOMPARE(entries(reloaded), entries(record));
        QCOMPARE(raw()->value("Elsewhere/File2").toString(), QString("/fw/elsewhere.bin"));
    }

    void savingEmptyRecordLeavesNoSection() {
        auto record = makeRecord();
        record.LoadFromStore(store());
        QCOMPARE(entries(record), padded({}));
        SettingsStore writer = store();
        record.SaveToStore(writer);
        // First run with nothing chosen: nothing is written at all.
        QVERIFY(!QFile::exists(confPath()));

        raw()->setValue(kSection + "/File4", "/fw/old.bin");
        record.SaveToStore(writer);
        QVERIFY(!raw()->childGroups().contains(kSection));
    }

    void storeSeesChangesBetweenOperations() {
        const SettingsStore reader = store();
        QCOMPARE(reader.ReadString(kSection, "File1", "none"), QString("none"));
        raw()->setValue(kSection + "/File1", "/fw/a.bin");
        QCOMPARE(reader.ReadString(kSection, "File1", "none"), QString("/fw/a.bin"));
        SettingsStore writer = store();
        QVERIFY(writer.WriteString(kSection, "File1", "/fw/longer-name.bin"));
        QCOMPARE(raw()->value(kSection + "/File1").toString(), QString("/fw/longer-name.bin"));
        QVERIFY(writer.DeleteSection(kSection));
        QCOMPARE(reader.ReadString(kSection, "File1", "none"), QString("none"));
    }

    void readingCreatesNothing() {
        const SettingsStore reader = store();
        QCOMPARE(reader.ReadString(kSection, "File1", QString()), QString());
        QVERIFY(!QFileInfo::exists(m_base->path() + "/Quorvane"));
    }

    void addPathCanonicalForm_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("expected"); // relative to the current folder
        QTest::newRow("relative") << "fw/net.bin"
                                  << "fw/net.bin";
        QTest::newRow("dot segments") << "./fw/../fw/./net.bin"
                                      << "fw/net.bin";
        QTest::newRow("absolute kept") << "/opt/FW/Net.BIN"
                                       << "/opt/FW/Net.BIN";
        QTest::newRow("backslash is a name character") << "C:\\fw\\net.bin"
                                                       << "C:\\fw\\net.bin";
    }
    void addPathCanonicalForm() {
        QFETCH(QString, path);
        QFETCH(QString, expected);
        const QString saved = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_base->path()));
        auto record = makeRecord();
        record.AddPath(path);
        QDir::setCurrent(saved);
        const QString want = expected.startsWith('/') ? expected : m_base->path() + "/" + expected;
        QCOMPARE(record.entry(0), want);
    }

    void addPathKeepsSymbolicLinks() {
        QVERIFY(QDir().mkpath(m_base->path() + "/real"));
        QVERIFY(QFile::link(m_base->path() + "/real", m_base->path() + "/link"));
        auto record = makeRecord();
        record.AddPath(m_base->path() + "/link/net.bin");
        QCOMPARE(record.entry(0), m_base->path() + "/link/net.bin");
    }

    void addPathOverlongPathIsKeptAsGiven() {
        const QString saved = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_base->path()));
        const QString longName = QString(260, 'x') + ".bin";
        auto record = makeRecord();
        record.AddPath(longName);
        record.AddPath("");
        QDir::setCurrent(saved);
        QCOMPARE(entries(record), padded({longName}));
    }

    void addPathMatchesWithoutRegardToCase() {
        auto record = makeRecord();
        record.AddPath("/fw/a.bin");
        record.AddPath("/fw/b.bin");
        record.AddPath("/FW/A.BIN");
        QCOMPARE(entries(record), padded({"/FW/A.BIN", "/fw/b.bin"}));
    }

    void addPathOrderAndCapacity_data() {
        QTest::addColumn<QString>("added");
        QTest::addColumn<QStringList>("expected");
        const QStringList ten = {"/f/1", "/f/2", "/f/3", "/f/4", "/f/5",
                                 "/f/6", "/f/7", "/f/8", "/f/9", "/f/10"};
        QTest::newRow("new path drops the oldest") << "/f/new"
                                                   << QStringList({"/f/new", "/f/1", "/f/2", "/f/3", "/f/4",
                                                                   "/f/5", "/f/6", "/f/7", "/f/8", "/f/9"});
        QTest::newRow("entry 1 again") << "/f/1" << ten;
        QTest::newRow("entry 5 moves up, rest stay")
            << "/F/5"
            << QStringList({"/F/5", "/f/1", "/f/2", "/f/3", "/f/4", "/f/6", "/f/7", "/f/8", "/f/9", "/f/10"});
        QTest::newRow("entry 9 is compared")
            << "/f/9"
            << QStringList({"/f/9", "/f/1", "/f/2", "/f/3", "/f/4", "/f/5", "/f/6", "/f/7", "/f/8", "/f/10"});
        QTest::newRow("entry 10 is not compared, only it falls off")
            << "/F/10"
            << QStringList({"/F/10", "/f/1", "/f/2", "/f/3", "/f/4", "/f/5", "/f/6", "/f/7", "/f/8", "/f/9"});
    }
    void addPathOrderAndCapacity() {
        QFETCH(QString, added);
        QFETCH(QStringList, expected);
        auto record = makeRecord();
        for (int n = 10; n >= 1; --n)
            record.AddPath(QStringLiteral("/f/%1").arg(n));
        record.AddPath(added);
        QCOMPARE(entries(record), expected);
    }

    void addPathRemovesOnlyUpperDuplicate() {
        {
            auto settings = raw();
            settings->setValue(kSection + "/File1", "/fw/x.bin");
            settings->setValue(kSection + "/File2", "/fw/dup.bin");
            settings->setValue(kSection + "/File4", "/fw/DUP.bin");
        }
        auto record = makeRecord();
        record.LoadFromStore(store());
        record.AddPath("/fw/Dup.bin");
        // Entries below the match keep their places, gaps included.
        QCOMPARE(entries(record), padded({"/fw/Dup.bin", "/fw/x.bin", "", "/fw/DUP.bin"}));
    }

    void unusableStoreIsSilentAndEmpty_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("configuration file is a folder") << "folder";
        QTest::newRow("configuration home is a file") << "home-file";
        QTest::newRow("binary garbage after a section") << "binary";
        QTest::newRow("unterminated section header") << "unterminated";
        QTest::newRow("read-only file") << "read-only";
    }
    void unusableStoreIsSilentAndEmpty() {
        QFETCH(QString, how);
        QTest::failOnWarning(QRegularExpression(".*"));
        QByteArray before;
        if (how == "folder") {
            QVERIFY(QDir().mkpath(confPath()));
        } else if (how == "home-file") {
            QFile file(m_base->path() + "/home");
            QVERIFY(file.open(QIODevice::WriteOnly));
            QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, file.fileName());
        } else if (how == "binary") {
            // Readable values ahead of the damage must not be trusted either.
            before = QByteArray("[Recent%20File%20List]\nFile1=/fw/a.bin\n\xff\xfe\x00\x01\n", 45);
            writeConf(before);
        } else if (how == "unterminated") {
            before = "[Recent%20File%20List]\nFile1=/fw/a.bin\n[Recent%20File%20List\nFile2=/fw/b.bin\n";
            writeConf(before);
        } else {
            if (geteuid() == 0)
                QSKIP("root writes read-only files anyway");
            before = "[Recent%20File%20List]\nFile1=/fw/a.bin\n";
            writeConf(before);
            QVERIFY(QFile::setPermissions(confPath(), QFile::ReadOwner));
        }

        auto record = makeRecord();
        record.LoadFromStore(store());
        QCOMPARE(entries(record), padded({}));
        record.AddPath("/fw/new.bin");
        SettingsStore writer = store();
        QVERIFY(!writer.WriteString(kSection, "File1", "/fw/new.bin"));
        record.SaveToStore(writer);
        QVERIFY(!writer.DeleteSection(kSection));
        // Nothing we could not read is overwritten.
        if (!before.isEmpty()) {
            QFile file(confPath());
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), before);
        }
        auto again = makeRecord();
        again.LoadFromStore(store());
        QCOMPARE(entries(again), padded({}));
    }
};

QTEST_GUILESS_MAIN(RecentFileListTest)
#include "tst_RecentFileList.moc"
