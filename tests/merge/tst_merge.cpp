// The station merge: station files with overlapping and conflicting rows go into the pool
// of the working folder (the file, or the server in the _pg run) through the merge job,
// and a few times through the tarnwell-merge program for its exit codes and messages.
// After every merge the pool keeps its promise: no identifier twice, no device with two,
// nothing retired back in the pool. Checks the counts, the pool's rows, the log rows with
// their stations, the conflicts, that a second run changes nothing, and that a failed
// batch leaves whole batches and a rerun finishes the job.
#include "tests/support/pgcluster.h"
#include "tests/support/testsupport.h"

#include "jobs/mergejob.h"
#include "store/datastore.h"
#include "store/lockkeys.h"
#include "store/logchain.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>

#include <atomic>
#include <iterator>
#include <memory>
#include <thread>

namespace {

using testsupport::column;
using testsupport::rows;
using testsupport::value;

struct ProgramRun {
    int exitCode = -1;
    QString out;
    QString err;
    // The message that ended it: the last line on stderr.
    QString last() const { return err.trimmed().section(QLatin1Char('\n'), -1); }
};

ProgramRun runProgram(const QStringList &arguments, const QString &folder = QString())
{
    QProcess p;
    p.setWorkingDirectory(folder.isEmpty() ? QDir::currentPath() : folder);
    p.start(QStringLiteral(TARNWELL_MERGE), arguments);
    const bool ended = p.waitForFinished(300000) && p.exitStatus() == QProcess::NormalExit;
    return {ended ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

// What breaks the pool's promise, or empty: an identifier twice, a device holding two, a
// retired value back among the identifiers.
QString brokenPromise()
{
    QStringList broken = column(QStringLiteral(
        "SELECT 'twice: ' || SerialNumber FROM SerialNumbers GROUP BY SerialNumber HAVING COUNT(*) > 1"));
    broken += column(QStringLiteral("SELECT 'device with two: ' || DeviceSerialNum FROM SerialNumbers "
                                    "WHERE IsUse <> 0 GROUP BY DeviceSerialNum HAVING COUNT(*) > 1"));
    broken += column(QStringLiteral("SELECT 'retired and in the pool: ' || s.SerialNumber FROM SerialNumbers s "
                                    "JOIN RetiredSerials r ON r.SerialNumber = s.SerialNumber"));
    return broken.join(QStringLiteral("; "));
}

struct Merged {
    bool ok = false;
    jobs::MergeCounts counts;
    // "identifier|customer|file device|file state|target device|target state|reason", in the
    // file's order (its retired rows first).
    QStringList conflicts;
    QString error;
};

// The merge job on a station file, as tarnwell-merge runs it (the report beside, named for
// the file), into the store the test has open.
Merged merge(const QString &file, int batch = 0, const QString &station = QString())
{
    jobs::MergeOptions options;
    options.stationFile = file;
    options.station = station;
    options.batchSize = batch;
    options.reportPath = QFileInfo(file).completeBaseName() + QStringLiteral("-conflicts.csv");
    options.targetName = QStringLiteral("the test's pool");
    jobs::MergeJob job(options);
    Merged m;
    m.ok = job.openStationFile(nullptr) && job.run(nullptr);
    m.counts = job.counts();
    m.error = job.error();
    for (const jobs::MergeConflict &c : job.conflicts())
        m.conflicts << QStringList{c.serialNumber, c.customer,    c.fileDevice, c.fileState,
                                   c.targetDevice, c.targetState, c.reason}
                           .join(QLatin1Char('|'));
    const QString broken = brokenPromise();
    QTest::qVerify(broken.isEmpty(), "brokenPromise().isEmpty()", qPrintable(broken), __FILE__, __LINE__);
    // Copied log rows join the target's chains as its own rows do.
    logchain::Walker walk;
    for (const QVariantList &r : rows(QStringLiteral(
             "SELECT LogID, LogType, LogDescribe, LogDate, LogStation, LogUser, LogHash FROM Logs ORDER BY LogID")))
        walk.add(r[0].toLongLong(), r[1].toString(), r[2].toString(), r[3].toString(), r[4].toString(), r[5].toString(),
                 r[6]);
    QTest::qVerify(!walk.broken() && walk.unchained() == 0, "the target's log chains", qPrintable(walk.brokenWhy()),
                   __FILE__, __LINE__);
    return m;
}

QString tally(const jobs::MergeCounts &c)
{
    return QString::asprintf("copied %lld present %lld updated %lld conflicts %lld logs %lld+%lld customers %lld",
                             c.copied, c.present, c.updated, c.conflicts, c.logsCopied, c.logsPresent,
                             c.customersAdded);
}

// A station file written by a program of our own, as a station left it.
struct FileWriter {
    explicit FileWriter(const QString &path)
        : db(QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("writer-") + path))
    {
        db.setDatabaseName(path);
        db.open();
    }
    ~FileWriter()
    {
        const QString name = db.connectionName();
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
    }
    bool exec(const QString &sql, const QVariantList &values = {})
    {
        QSqlQuery q(db);
        q.prepare(sql);
        for (const QVariant &v : values)
            q.addBindValue(v);
        return q.exec() || (qWarning("%s: %s", qPrintable(sql), qPrintable(q.lastError().text())), false);
    }
    // "identifier customer state [device]" rows, separated by ';'.
    bool serials(const QString &rows)
    {
        for (const QString &row : rows.split(QLatin1Char(';'))) {
            const QStringList c = row.trimmed().split(QLatin1Char(' '));
            const QString device = c.value(3);
            if (!exec(QStringLiteral("INSERT INTO SerialNumbers (SerialNumber, CustomerID, IsUse, DeviceType, "
                                     "DeviceSerialNum, szIP) VALUES (?, ?, ?, ?, ?, ?)"),
                      {c[0], c[1].toInt(), c[2].toInt(), device.isEmpty() ? QString() : QStringLiteral("IPC"), device,
                       device.isEmpty() ? QString() : QStringLiteral("127.0.0.9")}))
                return false;
        }
        return true;
    }
    QSqlDatabase db;
};

// A pool file as this version makes it (the program's own schema, seed rows, the log's
// station column), opened and closed by the store in a scratch folder, then moved to `name`
// here, with these identifier rows. Empty when it could not be made.
QString makeStoreFile(const QString &name, const QString &serials = QString())
{
    const QString here = QDir::currentPath();
    const QString scratch = QDir(here).absoluteFilePath(QStringLiteral("scratch-") + name);
    QDir().mkpath(scratch);
    closeDatabase();
    QDir::setCurrent(scratch);
    openDatabase();
    closeDatabase();
    QDir::setCurrent(here);
    const QString path = QDir(here).absoluteFilePath(name);
    QFile::remove(path);
    const bool moved = QFile::rename(QDir(scratch).absoluteFilePath(QStringLiteral("mydatabase.db")), path);
    openDatabase();
    return moved && (serials.isEmpty() || FileWriter(path).serials(serials)) ? path : QString();
}

// Station A: a file of this version (UMEYE 1, Brisvan 2, in seed order).
QString makeStationA()
{
    const QString path = makeStoreFile(
        QStringLiteral("stationA.db"),
        QStringLiteral("U-shared-unused 1 0; U-used-same 1 1 DEV-1; U-learn 1 1 DEV-2; U-conflict-dev 1 1 DEV-4; "
                       "U-pending-same 1 1 DEV-6; B-other-cust 1 0; U-blocked 1 1 DEV-5; A-new-1 1 0; "
                       "A-new-2 2 1 DEV-7; A-new-3 1 2 DEV-8; A-new-dev 1 1 DEV-1; shared-AB 2 1 DEV-9"));
    // The same event twice in one second: two rows, both copied. The last was written before
    // the file had stations: it takes --station.
    return !path.isEmpty()
            && FileWriter(path).exec(
                QStringLiteral("INSERT INTO Logs (LogType, LogDescribe, LogDate, LogStation) VALUES "
                               "('Login', 'admin', '2024-01-01 08:00:00', 'station-a'), "
                               "('Burning uuid', 'A-new-2 -> DEV-7', '2024-01-01 08:01:00', 'station-a'), "
                               "('Burning uuid', 'A-new-2 -> DEV-7', '2024-01-01 08:01:00', 'station-a'), "
                               "('Login', 'admin', '2024-01-01 07:00:00', NULL)"))
        ? path
        : QString();
}

// Station B: a file of an earlier version (no station column), its customers numbered in
// another order (Brisvan 1, UMEYE 2), one customer the target does not know (3).
QString makeStationB()
{
    const QString path = QDir::current().absoluteFilePath(QStringLiteral("stationB.db"));
    QFile::remove(path);
    FileWriter f(path);
    const bool ok = f.exec(QStringLiteral(
                        "CREATE TABLE Customers (CustomerID INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL UNIQUE, "
                        "CustomerName VARCHAR NOT NULL UNIQUE, CustomerValue VARCHAR, CustomerHostAddr VARCHAR, "
                        "CustomerPort INTEGER, CustomerSvrChecked INTEGER NOT NULL DEFAULT 0)"))
        && f.exec(QStringLiteral("CREATE TABLE Logs (LogID INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL UNIQUE, "
                                 "LogType VARCHAR NOT NULL, LogDescribe VARCHAR NOT NULL, LogDate VARCHAR NOT NULL)"))
        && f.exec(QStringLiteral(
            "CREATE TABLE SerialNumbers (SNID INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL UNIQUE, "
            "CustomerID INTEGER NOT NULL REFERENCES Customers (CustomerID), SerialNumber VARCHAR NOT NULL, "
            "IsUse INTEGER NOT NULL DEFAULT 0, DeviceType VARCHAR, DeviceSerialNum VARCHAR, szIP VARCHAR)"))
        && f.exec(QStringLiteral(
                      "INSERT INTO Customers (CustomerName, CustomerValue, CustomerHostAddr, CustomerPort) VALUES "
                      "('Brisvan', 'GoolinkGID', '', 0), ('UMEYE', 'DeviceID', 'svr.umeye.example', 5800), "
                      "(?, 'DeviceID', 'svr.example', 7000)"),
                  {QStringLiteral("Ünïcode客户")})
        && f.serials(QStringLiteral("shared-AB 1 1 DEV-10; A-new-1 2 0; B-new-1 1 0; B-new-2 3 1 DEV-11; "
                                    "B-dup 2 1 DEV-12; B-dup2 2 1 DEV-12; B-twice 2 0; B-twice 2 1 DEV-13; "
                                    "B-\"orphan\",9 9 0; A-new-3 2 1 DEV-8; U-conflict-dev 3 0"))
        // The second: the same texts as a row of A, but another station's.
        && f.exec(QStringLiteral("INSERT INTO Logs (LogType, LogDescribe, LogDate) VALUES "
                                 "('Login', 'op', '2024-01-02 09:00:00'), ('Login', 'admin', '2024-01-01 08:00:00')"));
    return ok ? path : QString();
}

// Everything a merge may change, in an order that does not depend on row ids.
QStringList snapshot()
{
    return column(QStringLiteral(
        "SELECT 'serial|' || s.SerialNumber || '|' || COALESCE(c.CustomerName, '') || '|' || s.IsUse || '|' || "
        "COALESCE(s.DeviceType, '') || '|' || COALESCE(s.DeviceSerialNum, '') || '|' || COALESCE(s.szIP, '') "
        "FROM SerialNumbers s LEFT JOIN Customers c ON c.CustomerID = s.CustomerID UNION ALL "
        "SELECT 'customer|' || CustomerName || '|' || COALESCE(CustomerValue, '') || '|' || "
        "COALESCE(CustomerHostAddr, '') || '|' || COALESCE(CustomerPort, 0) FROM Customers UNION ALL "
        "SELECT 'log|' || LogType || '|' || LogDescribe || '|' || LogDate || '|' || COALESCE(LogStation, '') "
        "FROM Logs ORDER BY 1"));
}

// The rows of `sql` (one column), sorted, "; " between them.
QString sorted(const QString &sql)
{
    QStringList rows = column(sql);
    rows.sort();
    return rows.join(QStringLiteral("; "));
}

// "identifier customer state device" for every identifier of the pool.
QString pool()
{
    return sorted(QStringLiteral("SELECT s.SerialNumber || ' ' || TRIM(c.CustomerName || ' ' || s.IsUse || ' ' || "
                                 "s.DeviceSerialNum) FROM SerialNumbers s "
                                 "LEFT JOIN Customers c ON c.CustomerID = s.CustomerID"));
}

// A station killed (SIGKILL) in the middle of a transaction that had reached its file, in
// `folder`: the file says it is open, and its journal holds the way back.
bool crashStation(const QString &folder)
{
    QDir().mkpath(folder);
    QProcess p;
    p.start(QStringLiteral(TARNWELL_MERGE_STATION), {folder, QStringLiteral("20000")});
    QByteArray out;
    while (!out.contains("writing\n") && p.waitForReadyRead(120000))
        out += p.readAllStandardOutput();
    p.kill();
    p.waitForFinished();
    // SQLite's journal magic: the transaction had changed the file.
    return out.contains("writing\n")
        && testsupport::readFile(QDir(folder).absoluteFilePath(QStringLiteral("mydatabase.db-journal")))
               .startsWith(QByteArray::fromHex("d9d505f920a163d7"));
}

} // namespace

class TestMerge : public QObject
{
    Q_OBJECT

private:
    QString stationA_, stationB_;

    void prepare()
    {
        testsupport::freshDatabase();
        // The pool the station shares before the merge (UMEYE 1, Brisvan 2).
        QVERIFY(testsupport::exec(QStringLiteral(
            "INSERT INTO SerialNumbers (SerialNumber, CustomerID, IsUse, DeviceType, DeviceSerialNum) VALUES "
            "('U-shared-unused', 1, 0, '', ''), ('U-used-same', 1, 1, 'IPC', 'DEV-1'), ('U-learn', 1, 0, '', ''), "
            "('U-conflict-dev', 1, 1, 'IPC', 'DEV-3'), ('U-target-holds', 1, 1, 'IPC', 'DEV-5'), "
            "('U-pending-same', 1, 2, 'IPC', 'DEV-6'), ('B-other-cust', 2, 0, '', ''), ('U-blocked', 1, 0, '', '')")));
        stationA_ = makeStationA();
        stationB_ = makeStationB();
        QVERIFY(!stationA_.isEmpty());
        QVERIFY(!stationB_.isEmpty());
    }

private slots:
    void twoStationsMergeOnce_data()
    {
        QTest::addColumn<int>("batch");
        QTest::addColumn<QString>("refused"); // the batch a refused write stops
        QTest::addColumn<QString>("rerunB");  // what the second run of B then does
        QTest::newRow("one batch") << 2000 << "identifiers 1 to 11"
                                   << "copied 4 present 1 updated 2 conflicts 4 logs 2+0 customers 0";
        // Duplicates and a device twice in the file fall into different batches; B's rows 4-6
        // (B-new-2, B-dup, B-dup2) are its second.
        QTest::newRow("batches of 3") << 3 << "identifiers 4 to 6"
                                      << "copied 3 present 2 updated 2 conflicts 4 logs 2+0 customers 0";
    }

    // A batch the target refuses is rolled back whole; the batches before it stay, the log is
    // not reached, and the same merge run again ends where a clean merge ends.
    void twoStationsMergeOnce()
    {
        QFETCH(int, batch);
        QFETCH(QString, refused);
        QFETCH(QString, rerunB);
        prepare();
        const Merged a = merge(stationA_, batch, QStringLiteral("line1-a"));
        QVERIFY2(a.ok, qPrintable(a.error));
        QCOMPARE(tally(a.counts), QStringLiteral("copied 4 present 2 updated 2 conflicts 4 logs 4+0 customers 0"));
        QCOMPARE(a.conflicts,
                 (QStringList{
                     QStringLiteral(
                         "U-conflict-dev|UMEYE|DEV-4|used|DEV-3|used|it is used for another device in the target"),
                     QStringLiteral("B-other-cust|UMEYE||unused||unused|it belongs to customer Brisvan in the target"),
                     QStringLiteral(
                         "U-blocked|UMEYE|DEV-5|used||unused|device DEV-5 holds U-target-holds (used) in the target"),
                     QStringLiteral(
                         "A-new-dev|UMEYE|DEV-1|used||absent|device DEV-1 holds U-used-same (used) in the target"),
                 }));

        const bool server = testsupport::onServer();
        QVERIFY(testsupport::exec(
            server ? QStringLiteral("CREATE OR REPLACE FUNCTION refuse_b_dup() RETURNS trigger LANGUAGE plpgsql AS $$ "
                                    "BEGIN IF NEW.SerialNumber = 'B-dup' THEN RAISE EXCEPTION 'refused by the test'; "
                                    "END IF; RETURN NEW; END $$")
                   : QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON SerialNumbers WHEN NEW.SerialNumber = "
                                    "'B-dup' BEGIN SELECT RAISE(ABORT, 'refused by the test'); END")));
        QVERIFY(!server
                || testsupport::exec(QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON SerialNumbers "
                                                    "FOR EACH ROW EXECUTE FUNCTION refuse_b_dup()")));
        const Merged failed = merge(stationB_, batch);
        QVERIFY2(!failed.ok && failed.error.contains(refused)
                     && failed.error.contains(QStringLiteral("refused by the test"))
                     && failed.error.contains(QStringLiteral("run the same command again")),
                 qPrintable(failed.error));
        // B-other-cust was there; of B's batches only the first (B-new-1), and none of the log.
        QCOMPARE(pool().count(QStringLiteral("; B-")), batch == 3 ? 2 : 1);
        QCOMPARE(value(QStringLiteral("SELECT COUNT(*) FROM Logs WHERE LogStation = 'stationB'")).toInt(), 0);
        QVERIFY(testsupport::exec(server ? QStringLiteral("DROP TRIGGER refuse ON SerialNumbers")
                                         : QStringLiteral("DROP TRIGGER refuse")));

        const Merged b = merge(stationB_, batch);
        QVERIFY2(b.ok, qPrintable(b.error));
        QCOMPARE(tally(b.counts), rerunB);
        // The report as a spreadsheet reads it: one quoting rule, UTF-8 with its mark, CRLF.
        const QByteArray report = testsupport::readFile(QStringLiteral("stationB-conflicts.csv"));
        QCOMPARE(report.left(3), QByteArray("\xEF\xBB\xBF"));
        QCOMPARE(QString::fromUtf8(report.mid(3)),
                 QStringLiteral("Identifier,Customer,File device,File state,Target device,Target state,Reason\r\n"
                                "shared-AB,Brisvan,DEV-10,used,DEV-9,used,it is used for another device in the "
                                "target\r\n"
                                "B-dup2,UMEYE,DEV-12,used,,absent,device DEV-12 holds B-dup (used) in the target\r\n"
                                "\"B-\"\"orphan\"\",9\",9,,unused,,absent,customer 9 is not in the station file\r\n"
                                "U-conflict-dev,Ünïcode客户,,unused,DEV-3,used,it belongs to customer UMEYE in the "
                                "target\r\n"));

        // The pool: the burns learnt (U-learn unused here, burnt at A; U-pending-same pending here,
        // confirmed at A; A-new-3 pending at A, burnt at B), conflicts untouched (U-conflict-dev:
        // A and B disagree; U-blocked: its device holds another; shared-AB: A's, first merged).
        QCOMPARE(pool(),
                 QStringLiteral(
                     "A-new-1 UMEYE 0; A-new-2 Brisvan 1 DEV-7; A-new-3 UMEYE 1 DEV-8; B-dup UMEYE 1 DEV-12; "
                     "B-new-1 Brisvan 0; B-new-2 Ünïcode客户 1 DEV-11; B-other-cust Brisvan 0; "
                     "B-twice UMEYE 1 DEV-13; U-blocked UMEYE 0; U-conflict-dev UMEYE 1 DEV-3; "
                     "U-learn UMEYE 1 DEV-2; U-pending-same UMEYE 1 DEV-6; U-shared-unused UMEYE 0; "
                     "U-target-holds UMEYE 1 DEV-5; U-used-same UMEYE 1 DEV-1; shared-AB Brisvan 1 DEV-9"));
        QCOMPARE(value(QStringLiteral("SELECT CustomerHostAddr FROM Customers WHERE CustomerName = 'Ünïcode客户'"))
                     .toString(),
                 QStringLiteral("svr.example"));
        // Log rows with their stations: the file's own, --station, else the file's name.
        QCOMPARE(sorted(QStringLiteral("SELECT LogType || '|' || LogDescribe || '|' || LogDate || '|' || LogStation "
                                       "FROM Logs WHERE LogDate LIKE '2024-%'")),
                 QStringLiteral("Burning uuid|A-new-2 -> DEV-7|2024-01-01 08:01:00|station-a; "
                                "Burning uuid|A-new-2 -> DEV-7|2024-01-01 08:01:00|station-a; "
                                "Login|admin|2024-01-01 07:00:00|line1-a; Login|admin|2024-01-01 08:00:00|station-a; "
                                "Login|admin|2024-01-01 08:00:00|stationB; Login|op|2024-01-02 09:00:00|stationB"));

        // Again: nothing copied, everything else present, the same conflicts, the pool as it was.
        const QStringList before = snapshot();
        const Merged a2 = merge(stationA_, batch, QStringLiteral("line1-a"));
        QCOMPARE(tally(a2.counts), QStringLiteral("copied 0 present 8 updated 0 conflicts 4 logs 0+4 customers 0"));
        QCOMPARE(a2.conflicts, a.conflicts);
        const Merged b2 = merge(stationB_, batch);
        QCOMPARE(tally(b2.counts), QStringLiteral("copied 0 present 7 updated 0 conflicts 4 logs 0+2 customers 0"));
        QCOMPARE(b2.conflicts, b.conflicts);
        QCOMPARE(snapshot(), before);
    }

    // The program around the job: what it prints and its exit code, 0 without conflicts.
    void programReportsItsEnd_data()
    {
        QTest::addColumn<bool>("conflicts");
        QTest::newRow("clean") << false;
        QTest::newRow("conflicts") << true;
    }

    void programReportsItsEnd()
    {
        QFETCH(bool, conflicts);
        prepare();
        const QString path = makeStoreFile(QStringLiteral("clean.db"),
                                           conflicts ? QStringLiteral("C-1 1 0; U-used-same 1 1 DEV-C2")
                                                     : QStringLiteral("C-1 1 0; C-2 1 1 DEV-C2"));
        QVERIFY(!path.isEmpty());
        const ProgramRun run = runProgram({path});
        QVERIFY2(run.exitCode == (conflicts ? 1 : 0) && !run.err.contains(QStringLiteral("tarnwell-merge:")),
                 qPrintable(run.out + run.err));
        const QString report = QDir::current().absoluteFilePath(QStringLiteral("clean-conflicts.csv"));
        QVERIFY2(run.out.startsWith(QStringLiteral("Merging %1 into the ").arg(path))
                     && run.out.contains(QStringLiteral("\nIdentifiers copied: %1\n").arg(conflicts ? 1 : 2))
                     && run.out.contains(QStringLiteral("\nConflicts: %1\n").arg(conflicts ? 1 : 0))
                     && run.out.contains(conflicts ? QStringLiteral("Report: %1 (1 conflicts, 0 identifiers refused, "
                                                                    "nothing overwritten)\n")
                                                         .arg(report)
                                                   : QStringLiteral("Report: %1 (no conflicts)\n").arg(report)),
                 qPrintable(run.out));
        QCOMPARE(testsupport::readFile(report).count("\r\n"), conflicts ? 2 : 1);
    }

    // Bad input, a target that cannot be used, and a station file that cannot be trusted as it
    // lies (refused before anything of it is read): exit code 2, a message naming the cause
    // (never "not a Tarnwell pool" for a pool), the pool and the station file (with its
    // journal) exactly as they were. The way back the refusal names for a crashed station (its
    // file opened once where it lies, which rolls the unfinished transaction back, and closed)
    // merges what the station had committed.
    void refusedWithoutTouchingAnything_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("arguments"); // %f: the file the setup made
        QTest::addColumn<QString>("folder");    // where it runs, when not here
        QTest::addColumn<QString>("message");
        auto row =
            [](const char *name, const char *setup, const char *arguments, const char *folder, const char *message) {
            QTest::newRow(name) << QString::fromUtf8(setup) << QString::fromUtf8(arguments) << QString::fromUtf8(folder)
                                << QString::fromUtf8(message);
        };
        row("missing file", "", "nothere.db", "", "nothere.db: no such file");
        row("two files", "", "stationA.db stationB.db", "", "name one station file");
        row("bad batch", "", "--batch 0 stationA.db", "", "--batch takes a number");
        row("not a database", "text", "notes.db", "", "notes.db is not a Tarnwell pool");
        row("another database", "other", "other.db", "",
            "other.db is not a Tarnwell pool: it has no table SerialNumbers");
        row("unknown driver", "odd-ini", "../stationA.db", "odd", "unknown driver \"oracle\"");
        row("target cannot be opened", "down", "../stationA.db", "down", "cannot open");
        if (!testsupport::onServer()) {
            row("the target itself", "", "mydatabase.db", "", "mydatabase.db is the target pool itself");
            row("program running", "locked", "stationA.db", "", "Tarnwell is running in this folder");
        }
        row("station still running", "station-locked", "stationA.db", "", "Tarnwell is running on stationA.db");
        // A station killed in the middle of a transaction that had reached the file.
        row("crashed, copied without its journal", "crash-copy", "%f", "", "was not closed cleanly");
        row("crashed, with its hot journal", "crash-journal", "%f", "", "needs recovery: its journal");
        row("a writer holds it", "writer", "%f", "", "is locked");
        row("write-ahead log with changes", "wal", "%f", "", "needs recovery: its write-ahead log");
        row("damaged", "damaged", "%f", "", "is damaged");
        // Its rows would get a sound chain in the target: refused, so the change stays shown.
        row("log changed behind its back", "tampered-log", "%f", "", "log row 2 (station \"st\") breaks its chain");
    }

    void refusedWithoutTouchingAnything()
    {
        QFETCH(QString, setup);
        QFETCH(QString, arguments);
        QFETCH(QString, folder);
        QFETCH(QString, message);
        prepare();
        QString file = QDir::current().absoluteFilePath(QStringLiteral("station-%1.db").arg(setup));
        const QString crashed = QDir::current().absoluteFilePath(QStringLiteral("crashed"));
        std::unique_ptr<FileWriter> writer;
        std::unique_ptr<QLockFile> lock;
        // Read before a writer of this process takes its lock: closing any descriptor of the
        // file drops every lock this process holds on it.
        QByteArray fileBefore;
        if (setup == QLatin1String("text")) {
            QVERIFY(!testsupport::writeFile(QStringLiteral("notes.db"), "identifiers, one a line\nA-1\n").isEmpty());
        } else if (setup == QLatin1String("other")) {
            QVERIFY(FileWriter(QDir::current().absoluteFilePath(QStringLiteral("other.db")))
                        .exec(QStringLiteral("CREATE TABLE IF NOT EXISTS Notes (Text VARCHAR)")));
        } else if (setup == QLatin1String("odd-ini")) {
            QVERIFY(!testsupport::writeFile(QStringLiteral("odd/tarnwell.ini"), "[store]\ndriver=oracle\n").isEmpty());
        } else if (setup == QLatin1String("down")) {
            // A server nobody listens on; a pool file that is a folder.
            QVERIFY(testsupport::onServer() ? !testsupport::writeFile(QStringLiteral("down/tarnwell.ini"),
                                                                      "[store]\ndriver=postgresql\nhost=127.0.0.1\n"
                                                                      "port=1\ndatabase=x\nuser=x\n")
                                                   .isEmpty()
                                            : QDir().mkpath(QStringLiteral("down/mydatabase.db")));
        } else if (setup.endsWith(QLatin1String("locked"))) {
            lock = std::make_unique<QLockFile>(setup == QLatin1String("locked") ? QStringLiteral("mydatabase.db.lock")
                                                                                : QStringLiteral("stationA.db.lock"));
            QVERIFY(lock->tryLock(0));
        } else if (setup.startsWith(QLatin1String("crash"))) {
            QVERIFY(crashStation(crashed));
            const QString db = QDir(crashed).absoluteFilePath(QStringLiteral("mydatabase.db"));
            if (setup == QLatin1String("crash-copy"))
                QVERIFY(QFile::copy(db, file));
            else
                file = db;
        } else if (setup == QLatin1String("writer")) {
            QVERIFY(!makeStoreFile(QFileInfo(file).fileName()).isEmpty());
            fileBefore = testsupport::readFile(file);
            writer = std::make_unique<FileWriter>(file);
            // A transaction still open: SQLite's write lock held, nothing committed.
            QVERIFY(writer->exec(QStringLiteral("BEGIN IMMEDIATE")));
            QVERIFY(writer->serials(QStringLiteral("W-uncommitted 1 0")));
        } else if (setup == QLatin1String("wal")) {
            // The file and its log copied while a program had it open in WAL mode.
            const QString source = makeStoreFile(QStringLiteral("wal-source.db"));
            QVERIFY(!source.isEmpty());
            FileWriter open(source);
            QVERIFY(open.exec(QStringLiteral("PRAGMA journal_mode=WAL")));
            QVERIFY(open.serials(QStringLiteral("W-in-log 1 0")));
            QVERIFY(QFile::copy(source, file));
            QVERIFY(QFile::copy(source + QStringLiteral("-wal"), file + QStringLiteral("-wal")));
        } else if (setup == QLatin1String("tampered-log")) {
            QVERIFY(!makeStoreFile(QFileInfo(file).fileName()).isEmpty());
            const QByteArray first = logchain::rowHash(logchain::seed(), QStringLiteral("Login"),
                                                       QStringLiteral("admin"), QStringLiteral("2024-01-01 08:00:00"),
                                                       QStringLiteral("st"), QStringLiteral("alice"));
            const QByteArray second = logchain::rowHash(first, QStringLiteral("Login"), QStringLiteral("admin"),
                                                        QStringLiteral("2024-01-01 09:00:00"), QStringLiteral("st"),
                                                        QStringLiteral("alice"));
            // The second row's date changed after it was written.
            QVERIFY(FileWriter(file).exec(
                QStringLiteral("INSERT INTO Logs (LogID, LogType, LogDescribe, LogDate, LogStation, LogUser, LogHash) "
                               "VALUES (1, 'Login', 'admin', '2024-01-01 08:00:00', 'st', 'alice', ?), "
                               "(2, 'Login', 'admin', '2024-01-01 09:30:00', 'st', 'alice', ?)"),
                {QString::fromLatin1(first), QString::fromLatin1(second)}));
        } else if (setup == QLatin1String("damaged")) {
            QVERIFY(!makeStoreFile(QFileInfo(file).fileName()).isEmpty());
            QVERIFY(FileWriter(file).exec(QStringLiteral(
                "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 2999) "
                "INSERT INTO SerialNumbers (CustomerID, SerialNumber, IsUse) SELECT 1, 'D-' || i, 0 FROM n")));
            // The last pages (the newest rows and index entries) overwritten.
            QFile f(file);
            QVERIFY(f.open(QIODevice::ReadWrite) && f.seek(f.size() - 3 * 4096));
            QVERIFY(f.write(QByteArray(3 * 4096, '\x55')) == 3 * 4096);
        }
        const QStringList before = snapshot();
        if (fileBefore.isEmpty())
            fileBefore = testsupport::readFile(file);
        const QByteArray journalBefore = testsupport::readFile(file + QStringLiteral("-journal"));

        const ProgramRun run = runProgram(arguments.replace(QLatin1String("%f"), file).split(QLatin1Char(' ')),
                                          folder.isEmpty() ? QString() : QDir::current().absoluteFilePath(folder));
        QVERIFY2(run.exitCode == 2, qPrintable(run.out + run.err));
        // The store may say more before it (the driver's own words); the program's message ends it.
        QVERIFY2(run.last().startsWith(QStringLiteral("tarnwell-merge: ")) && run.last().contains(message)
                     && (message.contains(QLatin1String("not a Tarnwell pool"))
                         || !run.last().contains(QLatin1String("not a Tarnwell pool"))),
                 qPrintable(run.err));
        QCOMPARE(snapshot(), before);
        QVERIFY(testsupport::readFile(file + QStringLiteral("-journal")) == journalBefore);
        QVERIFY(testsupport::readFile(file) == fileBefore);

        if (setup == QLatin1String("crash-journal")) {
            testsupport::freshDatabase();
            closeDatabase();
            QDir::setCurrent(crashed);
            openDatabase();
            closeDatabase();
            QDir::setCurrent(QFileInfo(crashed).path());
            openDatabase();
            const Merged recovered = merge(file);
            QVERIFY2(recovered.ok, qPrintable(recovered.error));
            QCOMPARE(pool(), QStringLiteral("KEPT-1 UMEYE 0; KEPT-2 UMEYE 0"));
        }
    }

    // Values a device cannot take, and states that are none, are refused one by one: counted,
    // each its own conflict with its reason and its row in the file (two different non-UTF-8
    // values stay two), never stored; the good rows around them are merged.
    void invalidValuesRefused()
    {
        testsupport::freshDatabase();
        const QString file = makeStoreFile(QStringLiteral("bad.db"));
        QVERIFY(!file.isEmpty());
        const struct {
            const char *value; // SQL for the stored value
            const char *isUse; // SQL for the stored state
            const char *shown; // the conflict's identifier starts with this
            const char *reason;
        } bad[] = {
            {"'N-1' || char(0) || 'X'", "0", "N-1\\x00X", "holds a NUL byte"},
            {"printf('%.48c', 'L')", "0", "LLLLLLLLLL", "48 bytes long; a device takes at most 47"},
            {"'   '", "0", "   ", "only blanks"},
            {"''", "0", "", "the identifier is empty"},
            {"printf('%.5242880c', 'H')", "0", "HHHHHHHHHH", "5242880 bytes long"},
            {"CAST(X'FF4131' AS TEXT)", "0", "\\xffA1", "not valid UTF-8"},
            {"CAST(X'FE4131' AS TEXT)", "0", "\\xfeA1", "not valid UTF-8"},
            {"'S-text'", "'used'", "S-text", "unknown usage state used"},
            {"'S-three'", "3", "S-three", "unknown usage state 3"},
            {"'S-half'", "1.5", "S-half", "unknown usage state 1.5"},
            {"'S-minus'", "-1", "S-minus", "unknown usage state -1"},
        };
        {
            FileWriter f(file);
            QVERIFY(f.serials(QStringLiteral("G-first 1 0")));
            for (const auto &b : bad)
                QVERIFY(f.exec(QStringLiteral("INSERT INTO SerialNumbers (CustomerID, SerialNumber, IsUse) "
                                              "VALUES (1, %1, %2)")
                                   .arg(QLatin1String(b.value), QLatin1String(b.isUse))));
            // The longest value a device takes (47 bytes), mostly 2-byte characters.
            QVERIFY(f.serials(QString(23, QChar(0x00E9)) + QStringLiteral("x 1 0; G-last 2 1 DEV-G")));
        }
        const Merged m = merge(file, 4);
        QVERIFY2(m.ok, qPrintable(m.error));
        QCOMPARE(m.counts.refused, qint64(std::size(bad)));
        QCOMPARE(tally(m.counts), QStringLiteral("copied 3 present 0 updated 0 conflicts 0 logs 0+0 customers 0"));
        QCOMPARE(column(QStringLiteral("SELECT SerialNumber FROM SerialNumbers ORDER BY SNID")),
                 (QStringList{QStringLiteral("G-first"), QString(23, QChar(0x00E9)) + QLatin1Char('x'),
                              QStringLiteral("G-last")}));
        QCOMPARE(m.conflicts.size(), int(std::size(bad)));
        QSet<QString> identifiers;
        for (int i = 0; i < int(std::size(bad)); ++i) {
            const QString identifier = m.conflicts.at(i).section(QLatin1Char('|'), 0, 0);
            const QString reason = m.conflicts.at(i).section(QLatin1Char('|'), 6);
            identifiers.insert(identifier);
            QVERIFY2(identifier.startsWith(QString::fromUtf8(bad[i].shown)) && identifier.size() < 200
                         && reason.startsWith(QStringLiteral("refused: "))
                         && reason.contains(QLatin1String(bad[i].reason))
                         && reason.contains(QStringLiteral("(row %1 of the station file)").arg(i + 2)),
                     qPrintable(m.conflicts.at(i)));
        }
        QCOMPARE(identifiers.size(), int(std::size(bad)));
        QCOMPARE(testsupport::readFile(QStringLiteral("bad-conflicts.csv")).count("\r\n"), int(std::size(bad)) + 1);
    }

    // The decisions over every chunk of a large batch: 6,000 identifiers in batches of 3,000
    // (each looked up in chunks of hundreds), eight kinds of row in turn so every chunk holds
    // each kind. An unused identifier learns the file's burn or claim; a pending one becomes
    // used only when the station saw the write confirmed for the same device; an identifier
    // of another device, or a device that holds another identifier, is a conflict.
    void decisionsHoldOverEveryChunk()
    {
        testsupport::freshDatabase();
        const QString file = makeStoreFile(QStringLiteral("large.db"));
        QVERIFY(!file.isEmpty());
        // Per kind: the pool's row before (none when empty); the file's state; the pool's row
        // after. Rows are "identifier state device"; %v is the file's identifier, %d its device.
        const char *const kinds[] = {
            ";0;%v 0 ",                      // only in the file: copied
            "%v 0 ;1;%v 1 %d",               // unused in the pool, burnt at the station: learnt
            "%v 1 OTHER-%d;1;%v 1 OTHER-%d", // burnt into another device in the pool: conflict
            "%v 0 ;0;%v 0 ",                 // unused in both: present
            "H-%v 1 %d;1;H-%v 1 %d",         // its device holds another identifier: conflict
            "%v 2 %d;1;%v 1 %d",             // pending in the pool, confirmed at the station: used
            "%v 2 %d;2;%v 2 %d",             // pending in both: it stays pending
            "%v 0 ;2;%v 2 %d",               // unused in the pool, claimed at the station: pending
        };
        const int total = 6000;
        QStringList target;   // rows for the pool before the merge, as SQL
        QStringList expected; // the pool after it: "identifier|state|device"
        {
            FileWriter f(file);
            QVERIFY(f.exec(QStringLiteral("BEGIN")));
            for (int i = 0; i < total; ++i) {
                const QString v = QStringLiteral("V-%1").arg(i, 5, 10, QLatin1Char('0'));
                const QString dev = QStringLiteral("DEV-%1").arg(i, 5, 10, QLatin1Char('0'));
                const QStringList k = QString::fromLatin1(kinds[i % 8])
                                          .replace(QLatin1String("%v"), v)
                                          .replace(QLatin1String("%d"), dev)
                                          .split(QLatin1Char(';'));
                const QStringList was = k[0].split(QLatin1Char(' '));
                if (!k[0].isEmpty())
                    target << QStringLiteral("('%1', 1, %2, '%3')").arg(was[0], was[1], was.value(2));
                QVERIFY(
                    f.serials(QStringLiteral("%1 1 %2 %3").arg(v, k[1], k[1] == QLatin1String("0") ? QString() : dev)));
                expected << QString(k[2]).replace(QLatin1Char(' '), QLatin1Char('|'));
            }
            QVERIFY(f.exec(QStringLiteral("COMMIT")));
        }
        for (int at = 0; at < target.size(); at += 500)
            QVERIFY(testsupport::exec(QStringLiteral("INSERT INTO SerialNumbers (SerialNumber, CustomerID, IsUse, "
                                                     "DeviceSerialNum) VALUES ")
                                      + target.mid(at, 500).join(QLatin1Char(','))));

        const Merged m = merge(file, 3000);
        QVERIFY2(m.ok, qPrintable(m.error));
        QCOMPARE(tally(m.counts),
                 QStringLiteral("copied %1 present %2 updated %3 conflicts %4 logs 0+0 customers 0")
                     .arg(total / 8)
                     .arg(2 * total / 8)
                     .arg(3 * total / 8)
                     .arg(2 * total / 8));
        const QStringList pool = column(QStringLiteral(
            "SELECT SerialNumber || '|' || IsUse || '|' || DeviceSerialNum FROM SerialNumbers ORDER BY 1"));
        expected.sort();
        QCOMPARE(pool, expected);
    }

    // On the server a station claims while the merge runs. A merge batch decides from what it
    // looked up, so no claim may land between its lookups and its writes: the merge is held
    // at its first write (a row the test keeps locked), a station claims another identifier
    // for the device the merge is about to give one, and in the end the device holds one.
    void claimCannotSlipIntoBatch()
    {
        if (!testsupport::onServer())
            QSKIP("the file is the merge's alone while it runs");
        testsupport::freshDatabase();
        QVERIFY(
            testsupport::exec(QStringLiteral("INSERT INTO SerialNumbers (SerialNumber, CustomerID, IsUse, "
                                             "DeviceSerialNum) VALUES ('GATE', 1, 0, ''), ('CLAIM-ME', 1, 0, '')")));
        const QString file = makeStoreFile(QStringLiteral("claims.db"),
                                           QStringLiteral("GATE 1 1 DEV-GATE; NEW-L 1 1 DEV-L"));
        QVERIFY(!file.isEmpty());

        // The gate: a connection of its own thread holds the row the merge writes first, and
        // lets it go once the claim waits behind the merge too (or has finished).
        std::atomic<int> gate{0}; // 1 held, 2 released, -1 failed
        std::atomic<bool> claimDone{false};
        testsupport::PgCluster *pg = testsupport::serverCluster();
        std::thread holder([&] {
            {
                QSqlDatabase db = pg->connection(QStringLiteral("gate"));
                QSqlQuery q(db);
                if (!db.isOpen() || !q.exec(QStringLiteral("BEGIN"))
                    || !q.exec(QStringLiteral("SELECT 1 FROM SerialNumbers WHERE SerialNumber = 'GATE' FOR UPDATE"))) {
                    gate = -1;
                } else {
                    gate = 1;
                    QElapsedTimer clock;
                    clock.start();
                    while (!claimDone && clock.elapsed() < 60000) {
                        QSqlQuery waiting(db);
                        // Inside a transaction the activity view keeps its first answer unless cleared.
                        if (waiting.exec(QStringLiteral("SELECT pg_stat_clear_snapshot()"))
                            && waiting.exec(QStringLiteral("SELECT COUNT(*) FROM pg_stat_activity "
                                                           "WHERE wait_event_type = 'Lock'"))
                            && waiting.next() && waiting.value(0).toInt() >= 2)
                            break;
                        QThread::msleep(20);
                    }
                    q.exec(QStringLiteral("COMMIT"));
                    gate = 2;
                }
                db.close();
            }
            QSqlDatabase::removeDatabase(QStringLiteral("gate"));
        });
        QTRY_COMPARE(gate.load(), 1);

        QProcess merge;
        merge.start(QStringLiteral(TARNWELL_MERGE), {file});
        // The merge has looked up its batch and waits at its first write.
        QTRY_VERIFY_WITH_TIMEOUT(
            merge.state() == QProcess::NotRunning
                || value(QStringLiteral("SELECT COUNT(*) FROM pg_stat_activity WHERE wait_event_type = 'Lock'")).toInt()
                    == 1,
            60000);
        if (merge.state() == QProcess::NotRunning) {
            claimDone = true;
            holder.join();
            QFAIL(merge.readAllStandardError().constData());
        }
        QVERIFY(beginBatch());
        const ClaimResult claim = claimSerial(QStringLiteral("CLAIM-ME"), 1, QStringLiteral("DEV-L"),
                                              QStringLiteral("IPC"), QStringLiteral("127.0.0.7"));
        if (claim == ClaimResult::Failed)
            rollbackBatch();
        else
            QVERIFY(commitBatch());
        claimDone = true;
        holder.join();
        QVERIFY(merge.waitForFinished(120000));
        QVERIFY2(merge.exitCode() == 0, merge.readAllStandardError().constData());

        // Whoever came first, the device holds one identifier, and the merge's is the one.
        QCOMPARE(claim, ClaimResult::DeviceHolds);
        QCOMPARE(pool(), QStringLiteral("CLAIM-ME UMEYE 0; GATE UMEYE 1 DEV-GATE; NEW-L UMEYE 1 DEV-L"));
    }

    // Imports and merges take locks of their own on the server: an import batch holding its
    // lock does not stop a merge; a second merge does. A merge gives its lock back when it ends.
    void mergeLockIsItsOwn_data()
    {
        QTest::addColumn<qint64>("key");
        QTest::addColumn<bool>("merges");
        QTest::newRow("an import batch runs") << lockkeys::kImport << true;
        QTest::newRow("another merge runs") << lockkeys::kMerge << false;
    }

    void mergeLockIsItsOwn()
    {
        QFETCH(qint64, key);
        QFETCH(bool, merges);
        if (!testsupport::onServer())
            QSKIP("one program per pool file: the folder's lock file");
        testsupport::freshDatabase();
        const QString file = makeStoreFile(QStringLiteral("lock.db"), QStringLiteral("LK-1 1 0"));
        QVERIFY(!file.isEmpty());
        QSqlDatabase other = testsupport::serverCluster()->connection(QStringLiteral("other-station"));
        QSqlQuery lock(other);
        auto advisory = [&](const char *call) {
            lock.prepare(QStringLiteral("SELECT %1(?)").arg(QLatin1String(call)));
            lock.addBindValue(key);
            return lock.exec() && lock.next() && lock.value(0).toBool();
        };
        QVERIFY(advisory("pg_try_advisory_lock"));
        const Merged m = merge(file);
        QVERIFY(advisory("pg_advisory_unlock"));
        QVERIFY2(m.ok == merges, qPrintable(m.error));
        if (!merges)
            QCOMPARE(m.error, QStringLiteral("another tarnwell-merge is running on the test's pool"));
        QCOMPARE(pool(), merges ? QStringLiteral("LK-1 UMEYE 0") : QString());
        // Given back: another station takes the merge's key at once.
        key = lockkeys::kMerge;
        QVERIFY(advisory("pg_try_advisory_lock"));
        QVERIFY(advisory("pg_advisory_unlock"));
    }

    // Used is forever: a value retired in the pool is never stored again by a merge, and the
    // station's own retired values join the pool's record before its identifiers, so neither
    // comes in as usable. One the pool holds unused that the station retired used or pending
    // (a device may hold it) is retired in the pool too; one it retired unused is a conflict.
    // Run twice, nothing is copied again.
    void retiredValuesStayRetired()
    {
        testsupport::freshDatabase();
        QVERIFY(testsupport::exec(QStringLiteral("INSERT INTO SerialNumbers (SerialNumber, CustomerID, IsUse, "
                                                 "DeviceSerialNum) VALUES ('R-pool', 1, 2, 'DEV-R'), "
                                                 "('R-unused-here', 1, 0, ''), ('R-unused-both', 1, 0, '')")));
        QVERIFY(deleteSerial(QStringLiteral("R-pool"))); // pending, its device may hold it: retired
        const QString file = makeStoreFile(QStringLiteral("retired.db"));
        QVERIFY(!file.isEmpty());
        {
            FileWriter f(file);
            QVERIFY(f.serials(QStringLiteral("R-pool 1 0; R-station 1 0; R-fine 1 0")));
            const QString retire = QStringLiteral(
                "INSERT INTO RetiredSerials (CustomerID, SerialNumber, IsUse, DeviceType, DeviceSerialNum, szIP, "
                "RetiredDate, RetiredStation) VALUES (1, ?, ?, 'IPC', ?, '', '2024-03-01 10:00:00', 'st-9')");
            QVERIFY(f.exec(retire, {QStringLiteral("R-station"), 2, QStringLiteral("DEV-S")}));
            QVERIFY(f.exec(retire, {QStringLiteral("R-unused-here"), 1, QStringLiteral("DEV-S")}));
            QVERIFY(f.exec(retire, {QStringLiteral("R-unused-both"), 0, QString()}));
        }
        for (int round = 0; round < 2; ++round) {
            const Merged m = merge(file);
            QVERIFY2(m.ok, qPrintable(m.error));
            QCOMPARE(m.counts.copied, round == 0 ? 1 : 0);
            QCOMPARE(m.counts.retired, 2);
            QCOMPARE(m.counts.retiredCopied, round == 0 ? 2 : 0);
            QCOMPARE(m.counts.retiredInTarget, round == 0 ? 1 : 0);
            QCOMPARE(m.counts.conflicts, 1);
            QCOMPARE(column(QStringLiteral("SELECT SerialNumber FROM SerialNumbers ORDER BY SerialNumber")),
                     (QStringList{QStringLiteral("R-fine"), QStringLiteral("R-unused-both")}));
            QCOMPARE(column(QStringLiteral("SELECT SerialNumber || '|' || IsUse || '|' || DeviceSerialNum "
                                           "FROM RetiredSerials ORDER BY SerialNumber")),
                     (QStringList{QStringLiteral("R-pool|2|DEV-R"), QStringLiteral("R-station|2|DEV-S"),
                                  QStringLiteral("R-unused-here|1|DEV-S")}));
            QCOMPARE(m.conflicts,
                     (QStringList{QStringLiteral("R-unused-both|UMEYE||retired||unused|retired unused in the station "
                                                 "file, unused in the target: left as it is"),
                                  QStringLiteral("R-pool|UMEYE||unused||retired|retired in the target: never stored "
                                                 "again"),
                                  QStringLiteral("R-station|UMEYE||unused||retired|retired in the target: never "
                                                 "stored again")}));
        }
    }
};

TARNWELL_TEST_MAIN(TestMerge)
#include "tst_merge.moc"
