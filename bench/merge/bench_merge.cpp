// tarnwell-merge on a station file of a million identifiers (half of them burnt) and half a
// million log rows, into an empty pool and then again (everything present), on the SQLite
// file and on a throwaway PostgreSQL server. The baseline, measured in the same run on the
// same engine: the same rows copied with plain batched INSERTs, without a lookup or a check.
//
//   bench_merge [--rows N] [--no-server]   (TARNWELL_BENCH_ROWS, default 1000000)
#include "bench/support/benchsupport.h"
#include "store/datastore.h"
#include "store/storeconnection.h"
#include "tests/support/pgcluster.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>

#include <cstdio>

namespace {

// tarnwell-merge's own transaction sizes (its --batch defaults).
const int kServerBatch = 2000;
const int kFileBatch = 50000;

void say(const QString &text)
{
    std::printf("%s\n", qPrintable(text));
    std::fflush(stdout);
}

// The one place the benchmark starts a merge: tarnwell-merge on the station file, into the
// pool of the working folder; its seconds and the summary lines it printed.
double runMerge(const QString &station, QString *summary);

// The station file as this version makes it, filled in one statement per table (its printf
// formats hold % signs, so the counts are joined in rather than put with arg()).
bool makeStation(const QString &folder, int rows, QString *path)
{
    QDir().mkpath(folder);
    const QString here = QDir::currentPath();
    QDir::setCurrent(folder);
    openDatabase();
    QSqlQuery q(storeDatabase);
    const bool ok =
        q.exec(
            QStringLiteral("WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM k WHERE i < ")
            + QString::number(rows)
            + QStringLiteral(
                ") "
                "INSERT INTO SerialNumbers (CustomerID, SerialNumber, IsUse, DeviceType, DeviceSerialNum, szIP) "
                "SELECT 1 + i % 2, printf('%08x-%04x-4000-8000-%012d', (i * 2654435761) % 4294967296, i % 65536, i), "
                "i % 2 = 0, CASE WHEN i % 2 = 0 THEN 'IPC' ELSE '' END, "
                "CASE WHEN i % 2 = 0 THEN printf('DEV%010d', i) ELSE '' END, "
                "CASE WHEN i % 2 = 0 THEN '10.0.' || (i / 256 % 256) || '.' || (i % 256) ELSE '' END FROM k"))
        && q.exec(QStringLiteral("WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM k WHERE i < ")
                  + QString::number(rows / 2)
                  + QStringLiteral(
                      ") "
                      "INSERT INTO Logs (LogType, LogDescribe, LogDate, LogStation) SELECT 'Burning uuid', "
                      "printf('Device DEV%010d uuid %d', i * 2, i * 2), "
                      "printf('2024-03-%02d %02d:%02d:%02d', 1 + i / 86400 % 28, i / 3600 % 24, i / 60 % 60, i % 60), "
                      "'line1-station3' FROM k"));
    if (!ok)
        say(QStringLiteral("cannot fill the station file: ") + q.lastError().text());
    q = QSqlQuery();
    closeDatabase();
    QDir::setCurrent(here);
    *path = QDir(folder).absoluteFilePath(QStringLiteral("mydatabase.db"));
    return ok;
}

// Empty pool of the folder (the file removed, or the server's tables dropped), opened by the store.
void emptyTarget(bool server)
{
    closeDatabase();
    QFile::remove(QStringLiteral("mydatabase.db"));
    if (server) {
        openDatabase();
        QSqlQuery(storeDatabase)
            .exec(QStringLiteral(
                "DROP TABLE IF EXISTS SerialNumbers, Logs, Customers, Users, RetiredSerials, SerialCounts, LogCounts, SchemaVersion, SerialEvents, ImportBatches"));
        closeDatabase();
    }
    openDatabase();
}

// The baseline: every row of the station file into the empty pool, in transactions of the
// merge's size for the engine and 250 rows a statement, as the merge writes them, but with
// nothing looked up.
bool bareCopy(const QString &station, int rowsPerTransaction)
{
    bool ok = true;
    {
        QSqlDatabase src = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench-source"));
        src.setDatabaseName(station);
        src.open();
        const struct {
            const char *read;
            const char *write;
            int columns;
        } tables[] = {
            {"SELECT CustomerID, SerialNumber, IsUse, DeviceType, DeviceSerialNum, szIP FROM SerialNumbers ORDER BY SNID",
             "INSERT INTO SerialNumbers (CustomerID, SerialNumber, IsUse, DeviceType, DeviceSerialNum, szIP) VALUES ",
             6},
            {"SELECT LogType, LogDescribe, LogDate, LogStation FROM Logs ORDER BY LogID",
             "INSERT INTO Logs (LogType, LogDescribe, LogDate, LogStation) VALUES ", 4},
        };
        for (const auto &t : tables) {
            QString group = QStringLiteral("(?");
            for (int c = 1; c < t.columns; ++c)
                group += QStringLiteral(",?");
            group += QLatin1Char(')');
            auto statement = [&](int rows) {
                QString sql = QLatin1String(t.write);
                for (int r = 0; r < rows; ++r)
                    sql += (r ? QStringLiteral(",") : QString()) + group;
                return sql;
            };
            QSqlQuery full(storeDatabase);
            full.prepare(statement(250));
            QSqlQuery in(src);
            in.setForwardOnly(true);
            ok = ok && in.exec(QLatin1String(t.read));
            QVector<QVariant> values;
            bool more = ok && in.next();
            while (ok && more) {
                ok = beginBatch();
                for (int chunk = 0; ok && more && chunk < rowsPerTransaction / 250; ++chunk) {
                    values.clear();
                    int rows = 0;
                    for (; more && rows < 250; ++rows, more = in.next())
                        for (int c = 0; c < t.columns; ++c)
                            values.append(in.value(c));
                    QSqlQuery tail(storeDatabase);
                    QSqlQuery &q = rows == 250 ? full : tail;
                    if (rows != 250)
                        tail.prepare(statement(rows));
                    for (const QVariant &v : values)
                        q.addBindValue(v);
                    ok = q.exec();
                    if (!ok)
                        say(QStringLiteral("bare copy: ") + q.lastError().text());
                }
                ok = ok && commitBatch();
            }
        }
        src.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-source"));
    return ok;
}

double runMerge(const QString &station, QString *summary)
{
    QElapsedTimer t;
    t.start();
    QProcess p;
    p.setProcessChannelMode(QProcess::SeparateChannels);
    p.start(QStringLiteral(TARNWELL_MERGE), {QStringLiteral("--station"), QStringLiteral("bench"), station});
    p.waitForFinished(-1);
    const double seconds = double(t.elapsed()) / 1000.0;
    QStringList lines;
    for (const QString &line : QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n')))
        if (line.startsWith(QLatin1String("Identifiers copied"))
            || line.startsWith(QLatin1String("Identifiers already")) || line.startsWith(QLatin1String("Conflicts"))
            || line.startsWith(QLatin1String("Log rows copied")))
            lines << line;
    *summary = QStringLiteral("exit %1; ").arg(p.exitCode()) + lines.join(QStringLiteral("; "));
    if (p.exitCode() == 2)
        *summary += QLatin1Char(' ') + QString::fromUtf8(p.readAllStandardError()).trimmed();
    return seconds;
}

void measure(const QString &name, const QString &station, bool server)
{
    emptyTarget(server);
    QElapsedTimer t;
    t.start();
    if (!bareCopy(station, server ? kServerBatch : kFileBatch)) {
        say(name + QStringLiteral(": the bare copy failed: ") + storeError());
        return;
    }
    const double bare = double(t.elapsed()) / 1000.0;
    emptyTarget(server);
    closeDatabase();
    QString first, second;
    const double once = runMerge(station, &first);
    const double again = runMerge(station, &second);
    say(QStringLiteral("%1: bare copy %2 s | merge into the empty pool %3 s (%4x the bare copy) [%5] | "
                       "second run %6 s (%7x) [%8]")
            .arg(name)
            .arg(bare, 0, 'f', 1)
            .arg(once, 0, 'f', 1)
            .arg(once / bare, 0, 'f', 2)
            .arg(first)
            .arg(again, 0, 'f', 1)
            .arg(again / bare, 0, 'f', 2)
            .arg(second));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int rows = int(bench::sizeOption(args, QStringLiteral("--rows"), "TARNWELL_BENCH_ROWS", 1000000));
    const bool withServer = !args.contains(QStringLiteral("--no-server"));

    QTemporaryDir tmp(QDir::tempPath() + QStringLiteral("/bench-merge-XXXXXX"));
    QString station;
    say(QStringLiteral("station file: %1 identifiers (half burnt), %2 log rows; load average %3")
            .arg(rows)
            .arg(rows / 2)
            .arg(bench::loadAverage()));
    if (!makeStation(tmp.filePath(QStringLiteral("station")), rows, &station))
        return 1;

    const QString fileFolder = tmp.filePath(QStringLiteral("file"));
    QDir().mkpath(fileFolder);
    QDir::setCurrent(fileFolder);
    measure(QStringLiteral("SQLite file"), station, false);

    if (withServer) {
        testsupport::PgCluster pg;
        if (!pg.start()) {
            say(QStringLiteral("PostgreSQL: no server (%1)").arg(pg.errorText()));
        } else {
            const QString serverFolder = tmp.filePath(QStringLiteral("server"));
            QDir().mkpath(serverFolder);
            QDir::setCurrent(serverFolder);
            bench::pointAt(pg, serverFolder, QStringLiteral("bench"));
            measure(QStringLiteral("PostgreSQL"), station, true);
            closeDatabase();
        }
    }
    QDir::setCurrent(QDir::tempPath());
    return 0;
}
