// tarnwell-admin verify-log against the log the store writes: an untouched chain checks,
// each kind of tampering is named, rows of an older pool are unchained, two writers of one
// station keep one chain (and on the server wait only for each other), and an export's
// heads show a cut-off tail.
#include "tests/support/pgcluster.h"
#include "tests/support/testsupport.h"

#include "jobs/exportjob.h"
#include "store/datastore.h"
#include "store/lockkeys.h"
#include "store/logchain.h"

#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QThread>

namespace {

using testsupport::exec;
using testsupport::value;

struct Verified {
    int exitCode = -1;
    QString out;
    QString err;
};

Verified verifyLog(const QStringList &options = {})
{
    QProcess p;
    p.start(QStringLiteral(TARNWELL_ADMIN), QStringList{QStringLiteral("verify-log")} + options);
    const bool ended = p.waitForFinished(300000) && p.exitStatus() == QProcess::NormalExit;
    return {ended ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

void addEntries(int n, const QString &prefix = QStringLiteral("entry"))
{
    for (int i = 1; i <= n; ++i)
        QVERIFY(addLog(makeLogRecord(QStringLiteral("Type"), QStringLiteral("%1 %2").arg(prefix).arg(i))));
}

qint64 logId(const QString &describe)
{
    return value(QStringLiteral("SELECT LogID FROM Logs WHERE LogDescribe = '%1'").arg(describe)).toLongLong();
}

class Writer : public QThread
{
public:
    explicit Writer(QString name)
        : name_(std::move(name))
    {
    }
    int written = 0;

protected:
    void run() override
    {
        if (!openStoreForThisThread())
            return;
        for (int i = 0; i < 40; ++i)
            if (addLog(makeLogRecord(QStringLiteral("Type"), QStringLiteral("%1 %2").arg(name_).arg(i))))
                ++written;
        closeStoreForThisThread();
    }

private:
    QString name_;
};

} // namespace

class TestVerifyLog : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        testsupport::freshDatabase();
        setSignedInPerson({1, QStringLiteral("alice"), Role::Operator});
    }
    void cleanup() { setSignedInPerson(Person()); }

    void tampering_data()
    {
        QTest::addColumn<QString>("sql");
        QTest::addColumn<QString>("named");   // the describe of the row named, empty when clean
        QTest::addColumn<QString>("station"); // as printed, when not this station's name
        QTest::newRow("untouched") << QString() << QString() << QString();
        QTest::newRow("middle row changed") << "UPDATE Logs SET LogDescribe = 'entry x' WHERE LogDescribe = 'entry 3'"
                                            << "entry x" << QString();
        QTest::newRow("person changed") << "UPDATE Logs SET LogUser = 'bob' WHERE LogDescribe = 'entry 3'"
                                        << "entry 3" << QString();
        QTest::newRow("middle row deleted") << "DELETE FROM Logs WHERE LogDescribe = 'entry 3'"
                                            << "entry 4" << QString();
        QTest::newRow("first chained row deleted") << "DELETE FROM Logs WHERE LogDescribe = 'entry 1'"
                                                   << "entry 2" << QString();
        QTest::newRow("row inserted without hash")
            << "INSERT INTO Logs (LogType, LogDescribe, LogDate, LogStation) "
               "SELECT 'Type', 'forged', LogDate, LogStation FROM Logs WHERE LogDescribe = 'entry 5'"
            << "forged" << QString();
        // A copied hash does not follow from the new row's fields.
        QTest::newRow("row inserted with a copied hash")
            << "INSERT INTO Logs (LogType, LogDescribe, LogDate, LogStation, LogUser, LogHash) "
               "SELECT LogType, 'forged', LogDate, LogStation, LogUser, LogHash FROM Logs "
               "WHERE LogDescribe = 'entry 5'"
            << "forged" << QString();
        // Moved to a station of its own, whose name would forge a line of the report.
        QTest::newRow("station changed")
            << "UPDATE Logs SET LogStation = 'x\nEvery chain checks.' WHERE LogDescribe = 'entry 3'"
            << "entry 3"
            << "\"x\\u000aEvery chain checks.\"";
    }
    void tampering()
    {
        QFETCH(QString, sql);
        QFETCH(QString, named);
        QFETCH(QString, station);
        addEntries(5);
        QVERIFY(sql.isEmpty() || exec(sql));
        const Verified v = verifyLog();
        if (named.isEmpty()) {
            QCOMPARE(v.exitCode, 0);
            QVERIFY2(v.out.contains(QStringLiteral("5 chained, 0 unchained")), qPrintable(v.out));
            return;
        }
        QCOMPARE(v.exitCode, 1);
        QVERIFY2(v.out.contains(QStringLiteral("BROKEN: log row %1 (station %2)")
                                    .arg(logId(named))
                                    .arg(station.isEmpty() ? QStringLiteral("\"%1\"").arg(stationName()) : station)),
                 qPrintable(v.out));
    }

    // Rows written before the chain count as unchained; the chain starts after them.
    void olderRowsAreUnchained()
    {
        for (int i = 1; i <= 3; ++i)
            QVERIFY(exec(QStringLiteral("INSERT INTO Logs (LogType, LogDescribe, LogDate, LogStation) "
                                        "VALUES ('Type', 'old %1', '2020-01-01 00:00:00', %2)")
                             .arg(i)
                             .arg(i == 2 ? QStringLiteral("NULL") : QStringLiteral("'%1'").arg(stationName()))));
        addEntries(2);
        Verified v = verifyLog();
        QCOMPARE(v.exitCode, 0);
        QVERIFY2(v.out.contains(QStringLiteral("5 log rows"))
                     && v.out.contains(QStringLiteral("2 chained, 3 unchained")),
                 qPrintable(v.out));
        // Only rows after the chain has begun are breaks.
        QVERIFY(exec(QStringLiteral("UPDATE Logs SET LogDescribe = 'changed' WHERE LogDescribe = 'old 1'")));
        QCOMPARE(verifyLog().exitCode, 0);
    }

    // The UI thread and a worker (a Burn's) write one station's log at once: one chain.
    void twoWritersKeepOneChain()
    {
        Writer a(QStringLiteral("a")), b(QStringLiteral("b"));
        a.start();
        b.start();
        for (int i = 0; i < 20; ++i)
            QVERIFY(addLog(makeLogRecord(QStringLiteral("Type"), QStringLiteral("main %1").arg(i))));
        QVERIFY(a.wait(120000) && b.wait(120000));
        QCOMPARE(a.written + b.written, 80);
        const Verified v = verifyLog();
        QCOMPARE(v.exitCode, 0);
        QVERIFY2(v.out.contains(QStringLiteral("100 chained, 0 unchained")), qPrintable(v.out + v.err));
    }

    // On the server a station's log waits only for writers of its own chain: another
    // station's lock leaves it alone; its own holds it until that transaction ends.
    void chainLockIsPerStation()
    {
        if (!testsupport::onServer())
            QSKIP("the file has one writer at a time anyway");
        const testsupport::PgCluster &pg = *testsupport::serverCluster();
        QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("other-station"));
        other.setHostName(pg.host());
        other.setPort(pg.port());
        other.setUserName(pg.user());
        other.setPassword(pg.password());
        other.setDatabaseName(pg.databaseName());
        QVERIFY(other.open());
        QSqlQuery q(other);
        const auto lockChain = [&q](const QString &station) {
            return q.exec(QStringLiteral("SELECT pg_advisory_xact_lock(%1, %2)")
                              .arg(lockkeys::kLogChain)
                              .arg(logchain::stationLockKey(station)));
        };
        QVERIFY(q.exec(QStringLiteral("BEGIN")) && lockChain(QStringLiteral("another-station")));
        QVERIFY(addLog(makeLogRecord(QStringLiteral("Type"), QStringLiteral("beside"))));
        QVERIFY(lockChain(stationName()));
        Writer waiting(QStringLiteral("waiting"));
        waiting.start();
        QTRY_COMPARE_WITH_TIMEOUT(
            value(QStringLiteral("SELECT COUNT(*) FROM pg_locks WHERE locktype = 'advisory' AND NOT granted")).toInt(),
            1, 60000);
        QVERIFY(q.exec(QStringLiteral("COMMIT")));
        QVERIFY(waiting.wait(120000));
        QCOMPARE(waiting.written, 40);
        q = QSqlQuery();
        other.close();
        const Verified v = verifyLog();
        QCOMPARE(v.exitCode, 0);
        QVERIFY2(v.out.contains(QStringLiteral("41 chained, 0 unchained")), qPrintable(v.out));
    }

    // The heads an export records beside its file: rows added later keep them; rows cut
    // off the end (which leave an intact, shorter chain) do not.
    void exportHeadsShowACutTail()
    {
        addEntries(3);
        class Quiet : public jobs::ExportListener
        {
        } listener;
        const QString file = QStringLiteral("pool.csv");
        const jobs::ExportResult run = jobs::ExportJob(file, TableWriter::Format::Csv, SerialFilter()).run(listener);
        QVERIFY(run.ok);
        QVERIFY2(run.logged, qPrintable(run.logFailure));
        const QString heads = jobs::ExportJob::logHeadsPath(file);
        // Nothing written since: the overall head it recorded is the one verify-log finds.
        const QByteArray recorded = testsupport::readFile(heads);
        const int at = recorded.indexOf("\nhead ");
        QVERIFY(at > 0);
        Verified v = verifyLog();
        QVERIFY2(v.out.contains(QStringLiteral("Head of all chains: ") + QString::fromLatin1(recorded.mid(at + 6, 64))),
                 qPrintable(v.out + QString::fromLatin1(recorded)));
        addEntries(2, QStringLiteral("later"));
        v = verifyLog({QStringLiteral("--expect-heads"), heads});
        QCOMPARE(v.exitCode, 0);
        // The export's own row and the ones after it are cut off: the chain still checks.
        QVERIFY(exec(QStringLiteral("DELETE FROM Logs WHERE LogID > %1").arg(logId(QStringLiteral("entry 3")))));
        QCOMPARE(verifyLog().exitCode, 0);
        v = verifyLog({QStringLiteral("--expect-heads"), heads});
        QCOMPARE(v.exitCode, 1);
        QVERIFY2(v.out.contains(QStringLiteral("MISSING: the chain of station \"%1\"").arg(stationName())),
                 qPrintable(v.out));
    }

    void cannotCheck_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QByteArray>("headsFile");
        QTest::newRow("heads file missing")
            << QStringList{QStringLiteral("--expect-heads"), QStringLiteral("none")} << QByteArray();
        QTest::newRow("not a heads file")
            << QStringList{QStringLiteral("--expect-heads"), QStringLiteral("h")} << QByteArray("chain 12 x\n");
        QTest::newRow("cut short") << QStringList{QStringLiteral("--expect-heads"), QStringLiteral("h")}
                                   << QByteArray("chain " + QByteArray(64, 'a') + " st\n");
        QTest::newRow("unknown option") << QStringList{QStringLiteral("--bogus")} << QByteArray();
    }
    void cannotCheck()
    {
        QFETCH(QStringList, options);
        QFETCH(QByteArray, headsFile);
        if (!headsFile.isEmpty())
            testsupport::writeFile(QStringLiteral("h"), headsFile);
        const Verified v = verifyLog(options);
        QCOMPARE(v.exitCode, 2);
        QVERIFY2(v.err.startsWith(QStringLiteral("tarnwell-admin: ")), qPrintable(v.err));
    }
};

TARNWELL_TEST_MAIN(TestVerifyLog)
#include "tst_verifylog.moc"
