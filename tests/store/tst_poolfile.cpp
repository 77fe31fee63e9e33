// Who may read the pool's files: the owner alone, or the station's group in a station folder
// (setgid, the group may write), whatever the umask; an older file too open is narrowed.
#include "tests/support/testsupport.h"

#include "base/poolfile.h"
#include "store/datastore.h"
#include "store/storeconnection.h"

#include <QDir>
#include <QLockFile>

#include <sys/stat.h>
#include <unistd.h>

namespace {

struct stat statOf(const QString &path)
{
    struct stat st {
    };
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        st.st_mode = 0;
    return st;
}

int modeOf(const QString &path)
{
    return int(statOf(path).st_mode & 07777);
}

} // namespace

class TestPoolFile : public QObject
{
    Q_OBJECT

    QString home_;
    QString folder_;

    // A fresh folder, made the working folder: a station folder (2770, of a group of its own
    // when the test may give it one) or a plain one (0755: the mode a home folder often has).
    void enterFolder(bool station)
    {
        folder_ = QDir(home_).absoluteFilePath(QStringLiteral("pool"));
        QDir(folder_).removeRecursively();
        QVERIFY(QDir().mkpath(folder_));
        const QByteArray path = QFile::encodeName(folder_);
        if (station && ::geteuid() == 0)
            QCOMPARE(::chown(path.constData(), uid_t(-1), 4242), 0);
        QCOMPARE(::chmod(path.constData(), station ? 02770 : 0755), 0);
        QVERIFY(QDir::setCurrent(folder_));
    }

private slots:
    void initTestCase()
    {
        home_ = QDir::currentPath();
        closeDatabase();
    }

    void cleanup()
    {
        closeDatabase();
        QDir::setCurrent(home_);
        QDir(folder_).removeRecursively();
    }

    void filesOfThePool_data()
    {
        QTest::addColumn<bool>("station");
        QTest::addColumn<int>("umask");
        QTest::addColumn<int>("before"); // the file an earlier version left, -1 for none
        QTest::addColumn<int>("expected");
        QTest::newRow("new, plain folder, umask 022") << false << 022 << -1 << 0600;
        QTest::newRow("new, station folder, umask 077") << true << 077 << -1 << 0660;
        QTest::newRow("earlier world-readable, plain folder") << false << 022 << 0644 << 0600;
        QTest::newRow("earlier world-writable, station folder") << true << 022 << 0666 << 0660;
        QTest::newRow("earlier owner's only, station folder") << true << 007 << 0600 << 0660;
        QTest::newRow("earlier read-only, plain folder, stays read-only") << false << 022 << 0444 << 0400;
    }

    void filesOfThePool()
    {
        QFETCH(bool, station);
        QFETCH(int, umask);
        QFETCH(int, before);
        QFETCH(int, expected);
        enterFolder(station);
        const mode_t previousUmask = ::umask(mode_t(umask));
        struct Restore {
            mode_t mask;
            ~Restore() { ::umask(mask); }
        } restore{previousUmask};
        const gid_t folderGroup = statOf(folder_).st_gid;

        if (before >= 0) {
            // A pool as an earlier version made it: of the process's group, not
            // necessarily the folder's.
            openDatabase();
            QVERIFY(storeDatabase.isOpen());
            closeDatabase();
            QCOMPARE(::chown("mydatabase.db", uid_t(-1), ::getegid()), 0);
            QCOMPARE(::chmod("mydatabase.db", mode_t(before)), 0);
        }
        openDatabase();
        QVERIFY(storeDatabase.isOpen());
        QCOMPARE(modeOf(QStringLiteral("mydatabase.db")), expected);
        if (station)
            QCOMPARE(statOf(QStringLiteral("mydatabase.db")).st_gid, folderGroup);
        if (!(expected & 0200))
            return; // a read-only pool takes no write

        // The journal SQLite makes for a write takes the file's mode.
        QVERIFY(beginBatch());
        QVERIFY(addLog(makeLogRecord(QStringLiteral("Test"), QStringLiteral("journal mode"))));
        QCOMPARE(modeOf(QStringLiteral("mydatabase.db-journal")), expected);
        QVERIFY(commitBatch());
    }

    void lockFile_data()
    {
        QTest::addColumn<bool>("station");
        QTest::addColumn<int>("expected");
        QTest::newRow("plain folder") << false << 0600;
        QTest::newRow("station folder") << true << 0660;
    }

    // Another operator of the station must read a crashed program's lock to see it is
    // stale, and write it to take it over.
    void lockFile()
    {
        QFETCH(bool, station);
        QFETCH(int, expected);
        enterFolder(station);
        const mode_t previousUmask = ::umask(022);
        QLockFile lock(QStringLiteral("mydatabase.db.lock"));
        {
            const poolfile::Umask mask(poolfile::folderAt(QFile::encodeName(folder_).toStdString()));
            QVERIFY(lock.tryLock(0));
        }
        QCOMPARE(int(::umask(previousUmask)), 022);
        QCOMPARE(modeOf(QStringLiteral("mydatabase.db.lock")), expected);
        lock.unlock();
    }
};

TARNWELL_TEST_MAIN(TestPoolFile)
#include "tst_poolfile.moc"
