// Recent-file record and settings store: loading with gaps and stray values,
// saving over the whole section in one step (none for an empty record, nothing
// created on a first run; other sections, a symbolic link and the bytes of a
// path that is not UTF-8 kept; a kill leaves the old store or the new one),
// AddPath's canonical form, case-blind matching, order and capacity, only the
// upper of two copies removed, and silence on a store that is missing,
// unwritable, garbled, huge or not a file, which is never overwritten.
#include "core/RecentFileList.h"
#include "core/SettingsStore.h"

#include <QtTest>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

class RecentFileListTest : public QObject {
    Q_OBJECT

    const QString m_configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    std::unique_ptr<QTemporaryDir> m_base;
    SettingsStore m_store{"Quorvane", "app"};

    QString confPath() const { return m_base->path() + "/Quorvane/app.conf"; }
    QByteArray stored() const {
        QFile file(confPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    void writeConf(const QByteArray& bytes) {
        QFile file(confPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[Recent%20File%20List]\n" + bytes);
    }
    // The record's entries as loaded (or as given), up to the last one in use.
    QStringList entries(std::optional<CRecentFileList> record = {}) const {
        if (!record)
            (record = CRecentFileList::programRecord())->LoadFromStore(m_store);
        QStringList all;
        for (int i = 0; i < record->capacity(); ++i)
            all.append(record->entry(i));
        return all.mid(0, all.lastIndexOf(QRegularExpression(".+")) + 1);
    }

private slots:
    void init() {
        m_base = std::make_unique<QTemporaryDir>(m_configHome + "/core-XXXXXX");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_base->path()));
        QVERIFY(QDir(m_base->path()).mkpath("Quorvane"));
    }

    void loadKeepsGapsAndSaveRewritesSection() {
        CRecentFileList record = CRecentFileList::programRecord();
        record.LoadFromStore(m_store);
        record.SaveToStore(m_store);
        QCOMPARE(entries(record), QStringList());
        QVERIFY(!QFileInfo::exists(confPath())); // a first run creates nothing
        QVERIFY(QFile::link(m_base->path() + "/real.conf", confPath()));
        writeConf(
            "File1=/fw/1\nFile3=/fw/\xe9\nFile10=/fw/10\nFile11=/fw/11\nOther=x\n[Elsewhere]\nFile2=/fw/e\n");
        record.LoadFromStore(m_store);
        QCOMPARE(entries(record), QStringList({"/fw/1", "", "/fw/\xe9", "", "", "", "", "", "", "/fw/10"}));
        CRecentFileList::programRecord().SaveToStore(m_store); // an empty record: no section at all
        QCOMPARE(stored(), QByteArray("[Elsewhere]\nFile2=/fw/e\n"));
        CRecentFileList added = record;
        added.AddPath("/fw/new.bin");
        added.SaveToStore(m_store);
        const QByteArray next = stored();
        QVERIFY(next.contains("File4=/fw/\xe9\n")); // the same bytes under the entry's new number
        record.SaveToStore(m_store);
        const QByteArray full = stored(); // File11 and Other gone, the other section kept
        QVERIFY(full.endsWith("\n[Recent%20File%20List]\nFile1=/fw/1\nFile3=/fw/\xe9\nFile10=/fw/10\n"));
        QCOMPARE(entries(), entries(record));
        for (int round = 0; round < 20; ++round) {
            const pid_t child = ::fork();
            if (child == 0) {
                for (;;) // saving on and on until killed at a random moment
                    added.SaveToStore(m_store), record.SaveToStore(m_store);
            }
            QVERIFY(child > 0 && ::usleep(QRandomGenerator::global()->bounded(5000u)) == 0 &&
                    ::kill(child, SIGKILL) == 0);
            QVERIFY(::waitpid(child, nullptr, 0) == child && (stored() == full || stored() == next));
        }
        QVERIFY(QFileInfo(confPath()).isSymLink());
    }

    // Relative paths resolved, dot segments dropped, links kept; absolute and
    // overlong ones kept as given; an empty one ignored.
    void addPathCanonicalForm() {
        QVERIFY(QDir().mkpath(m_base->path() + "/real"));
        QVERIFY(QFile::link(m_base->path() + "/real", m_base->path() + "/link"));
        const QString saved = QDir::currentPath(), base = m_base->path() + "/", overlong(PATH_MAX, 'x');
        QVERIFY(QDir::setCurrent(m_base->path()));
        const QString paths[] = {"./fw/../fw/./net.bin", "link/net.bin", "/opt/FW/Net.BIN", overlong};
        const QString expected[] = {base + "fw/net.bin", base + "link/net.bin", "/opt/FW/Net.BIN", overlong};
        for (int i = 0; i < 4; ++i) {
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
        QTest::newRow("configuration home is a file") << "home-file" << QByteArray();
        // Readable values ahead of the damage must not be trusted either.
        QTest::newRow("binary garbage") << "write" << QByteArray("File1=/fw/a.bin\n\xff\xfe\x00\x01\n", 21);
        QTest::newRow("unterminated section header")
            << "write" << QByteArray("File1=/fw/a.bin\n[Recent\nFile2=b\n");
        QTest::newRow("read-only file") << "read-only" << QByteArray("File1=/fw/a.bin\n");
        QTest::newRow("huge file") << "write" << QByteArray("File1=/fw/a.bin\n").leftJustified(2 << 20, '\n');
        QTest::newRow("FIFO") << "fifo" << QByteArray(); // read, it would wait for a writer
    }
    void unusableStoreIsSilentAndEmpty() {
        QFETCH(QString, how);
        QFETCH(QByteArray, contents);
        if (how == "read-only" && geteuid() == 0)
            QSKIP("root writes read-only files anyway");
        QFile home(m_base->path() + "/home");
        if (how == "fifo")
            QVERIFY(::mkfifo(qPrintable(confPath()), 0600) == 0);
        else if (how == "home-file" && home.open(QIODevice::WriteOnly))
            qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.fileName()));
        else
            writeConf(contents);
        QVERIFY(how != "read-only" || QFile::setPermissions(confPath(), QFile::ReadOwner));
        QCOMPARE(entries(), QStringList());
        QVERIFY(!m_store.ReplaceSection("Recent File List", {{"File1", "/fw/new.bin", {}}}));
        // Nothing we could not read is overwritten, nor replaced by a file.
        QVERIFY(QFileInfo(confPath()).isFile() == !contents.isEmpty() &&
                (contents.isEmpty() || stored().endsWith(contents)));
    }
};

QTEST_GUILESS_MAIN(RecentFileListTest)
#include "tst_RecentFileList.moc"
