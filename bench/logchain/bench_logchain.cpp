// The log's hash chain, measured:
//  - per burn, the store work of a Burn pass's row (the previous device's mark, the claim and
//    its log row, in one commit) with addLog's chained row, beside the same work with the
//    unchained insert the log had before; alternating, medians of each;
//  - tarnwell-admin verify-log over a pool file whose log holds N chained rows of eight
//    stations, beside a bare read of the same rows in this process.
//
//   bench_logchain [--burns N] [--rows N] [--no-server]
//     --burns: burns per mode (default 400); --rows: log rows verified (TARNWELL_BENCH_ROWS,
//     default 10000000).
#include "bench/support/benchsupport.h"

#include "store/datastore.h"
#include "store/logchain.h"
#include "store/storeconnection.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <cstdio>
#include <vector>

namespace {

using bench::say;

void sayLine(const QString &text)
{
    say("%s\n", qPrintable(text));
}

// The log row as it was written before the chain: one insert, outside a batch on its own.
bool unchainedLog(const QString &type, const QString &describe)
{
    QSqlQuery q(storeDatabase);
    q.prepare(QStringLiteral("INSERT INTO Logs (LogType, LogDescribe, LogDate, LogStation) VALUES (?, ?, ?, ?)"));
    q.addBindValue(type);
    q.addBindValue(describe);
    q.addBindValue(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    q.addBindValue(stationName());
    return q.exec();
}

QString serialOf(int i)
{
    return QStringLiteral("BENCH-%1").arg(i, 8, 10, QLatin1Char('0'));
}

// One burn's store work for identifier i, as a Burn pass commits it: one batch with the
// previous device's mark, this device's claim and its "Burning uuid" log row. False when a
// step did not take effect.
bool burn(int i, bool chained)
{
    const QString device = QStringLiteral("DEV-%1").arg(i);
    if (!beginBatch())
        return false;
    const bool ok = (i == 0
                     || markSerialUsed(serialOf(i - 1), QStringLiteral("DEV-%1").arg(i - 1), QStringLiteral("IPC"),
                                       QStringLiteral("127.0.0.2")))
        && claimSerial(serialOf(i), 1, device, QStringLiteral("IPC"), QStringLiteral("127.0.0.2"))
            == ClaimResult::Claimed
        && (chained ? addLog(makeLogRecord(QStringLiteral("Burning uuid"),
                                           QStringLiteral("Burning uuid [%1] [%2]").arg(device, serialOf(i))))
                    : unchainedLog(QStringLiteral("Burning uuid"),
                                   QStringLiteral("Burning uuid [%1] [%2]").arg(device, serialOf(i))));
    if (ok && commitBatch())
        return true;
    rollbackBatch();
    return false;
}

void measureBurns(const QString &where, int burns)
{
    QStringList values;
    for (int i = 0; i < 2 * burns + 20; ++i)
        values << serialOf(i);
    NewSerialsTally tally;
    if (!beginBatch() || !storeNewSerials(values, 1, &tally) || !commitBatch()) {
        sayLine(QStringLiteral("%1: cannot fill the pool: %2").arg(where, storeError()));
        return;
    }
    setSignedInPerson({1, QStringLiteral("bench operator"), Role::Operator});
    std::vector<double> with, without;
    int next = 0;
    for (int i = 0; i < 10; ++i) // warm-up, both kinds
        if (!burn(next++, i % 2 == 0)) {
            sayLine(QStringLiteral("%1: warm-up burn failed: %2").arg(where, storeError()));
            return;
        }
    for (int i = 0; i < 2 * burns; ++i) {
        const bool chained = i % 2 == 0;
        QElapsedTimer t;
        t.start();
        if (!burn(next++, chained)) {
            sayLine(QStringLiteral("%1: burn failed: %2").arg(where, storeError()));
            return;
        }
        (chained ? with : without).push_back(double(t.nsecsElapsed()) / 1e6);
    }
    const double a = bench::median(with), b = bench::median(without);
    sayLine(QStringLiteral(
                "%1, store work per burn (mark, claim, log row: one commit), medians of %2: chained %3 ms, unchained "
                "(baseline) %4 ms, ratio %5 (+%6 %); load %7")
                .arg(where)
                .arg(burns)
                .arg(a, 0, 'f', 3)
                .arg(b, 0, 'f', 3)
                .arg(a / b, 0, 'f', 3)
                .arg((a / b - 1) * 100, 0, 'f', 1)
                .arg(bench::loadAverage()));
    // A log row on its own (a login, an export): its own transaction now, one insert before.
    with.clear();
    without.clear();
    for (int i = 0; i < 2 * burns; ++i) {
        const bool chained = i % 2 == 0;
        QElapsedTimer t;
        t.start();
        const bool ok = chained ? addLog(makeLogRecord(QStringLiteral("Login"), QStringLiteral("Login")))
                                : unchainedLog(QStringLiteral("Login"), QStringLiteral("Login"));
        if (!ok) {
            sayLine(QStringLiteral("%1: log row failed: %2").arg(where, storeError()));
            return;
        }
        (chained ? with : without).push_back(double(t.nsecsElapsed()) / 1e6);
    }
    const double c = bench::median(with), d = bench::median(without);
    sayLine(QStringLiteral("%1, a log row on its own, medians of %2: chained %3 ms, unchained (baseline) %4 ms, "
                           "ratio %5")
                .arg(where)
                .arg(burns)
                .arg(c, 0, 'f', 3)
                .arg(d, 0, 'f', 3)
                .arg(c / d, 0, 'f', 3));
    setSignedInPerson(Person());
}

// A pool file whose log holds `rows` chained rows of eight stations, as addLog makes them.
bool makeChainedLog(const QString &folder, qint64 rows)
{
    QDir().mkpath(folder);
    const QString here = QDir::currentPath();
    QDir::setCurrent(folder);
    openDatabase();
    closeDatabase();
    QDir::setCurrent(here);
    QSqlDatabase db = bench::openFile(QDir(folder).absoluteFilePath(QStringLiteral("mydatabase.db")),
                                      QStringLiteral("chained-log"));
    bench::exec(db, QStringLiteral("PRAGMA journal_mode = OFF"));
    bench::exec(db, QStringLiteral("PRAGMA synchronous = OFF"));
    bench::exec(db, QStringLiteral("BEGIN"));
    QSqlQuery q(db);
    q.prepare(QStringLiteral("INSERT INTO Logs (LogID, LogType, LogDescribe, LogDate, LogStation, LogUser, LogHash) "
                             "VALUES (?, ?, ?, ?, ?, ?, ?)"));
    QByteArray heads[8];
    for (QByteArray &h : heads)
        h = logchain::seed();
    for (qint64 i = 1; i <= rows; ++i) {
        const int s = int(i % 8);
        const QString type = i % 50 == 0 ? QStringLiteral("Login") : QStringLiteral("Burning uuid");
        const QString describe = QStringLiteral("Burning uuid [DEV%1] [%2-%3]")
                                     .arg(i, 12, 10, QLatin1Char('0'))
                                     .arg(i, 8, 16, QLatin1Char('0'))
                                     .arg((i * 2654435761LL) % 4294967296LL, 8, 16, QLatin1Char('0'));
        const QString date =
            QDateTime::fromSecsSinceEpoch(1700000000 + i * 3, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        const QString station = QStringLiteral("line1-station%1").arg(s + 1);
        const QString user = QStringLiteral("operator %1").arg(s + 1);
        heads[s] = logchain::rowHash(heads[s], type, describe, date, station, user);
        for (const QVariant &v : {QVariant(i), QVariant(type), QVariant(describe), QVariant(date), QVariant(station),
                                  QVariant(user), QVariant(QString::fromLatin1(heads[s]))})
            q.addBindValue(v);
        if (!q.exec())
            return false;
    }
    const bool ok = bench::exec(db, QStringLiteral("COMMIT"));
    db.close();
    return ok;
}

void measureVerify(const QString &folder, qint64 rows)
{
    // The bare read: every row's columns, in LogID order, in pages as verify-log reads them.
    QSqlDatabase db = bench::openFile(QDir(folder).absoluteFilePath(QStringLiteral("mydatabase.db")),
                                      QStringLiteral("bare-read"));
    QElapsedTimer t;
    t.start();
    qint64 read = 0, after = 0;
    QSqlQuery q(db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT LogID, LogType, LogDescribe, LogDate, LogStation, LogUser, LogHash FROM Logs "
                             "WHERE LogID > ? ORDER BY LogID LIMIT 50000"));
    for (;;) {
        q.addBindValue(after);
        q.exec();
        int n = 0;
        while (q.next()) {
            ++n;
            after = q.value(0).toLongLong();
            for (int c = 1; c < 7; ++c)
                q.value(c).toString();
        }
        read += n;
        if (n < 50000)
            break;
    }
    const double bare = double(t.elapsed()) / 1000.0;
    q = QSqlQuery();
    db.close();

    QProcess verify;
    verify.setWorkingDirectory(folder);
    t.restart();
    verify.start(QStringLiteral(TARNWELL_ADMIN), {QStringLiteral("verify-log")});
    verify.waitForFinished(-1);
    const double checked = double(t.elapsed()) / 1000.0;
    const QString out = QString::fromUtf8(verify.readAllStandardOutput()).section(QLatin1Char('\n'), 0, 0);
    sayLine(QStringLiteral("verify-log, %1 chained rows of 8 stations: %2 s (exit %3; limit 60 s); bare read of the "
                           "same rows (baseline, %4 rows) %5 s; ratio %6; load %7")
                .arg(rows)
                .arg(checked, 0, 'f', 1)
                .arg(verify.exitCode())
                .arg(read)
                .arg(bare, 0, 'f', 1)
                .arg(checked / bare, 0, 'f', 2)
                .arg(bench::loadAverage()));
    sayLine(QStringLiteral("  verify-log said: %1").arg(out));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    // A whole run takes minutes and fills a 10 M-row file: never start one on a typo.
    for (int i = 1; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (a == QLatin1String("--burns") || a == QLatin1String("--rows")) {
            ++i;
            continue;
        }
        if (a != QLatin1String("--no-server")) {
            say("usage: bench_logchain [--burns N] [--rows N] [--no-server]\n");
            return a == QLatin1String("--help") || a == QLatin1String("-h") ? 0 : 2;
        }
    }
    const int burns = int(bench::sizeOption(args, QStringLiteral("--burns"), "TARNWELL_BENCH_BURNS", 400));
    const qint64 rows = bench::sizeOption(args, QStringLiteral("--rows"), "TARNWELL_BENCH_ROWS", 10000000);
    const bool withServer = !bench::hasFlag(args, QStringLiteral("--no-server"));
    QTemporaryDir tmp(QDir::tempPath() + QStringLiteral("/bench-logchain-XXXXXX"));

    say("# bench_logchain\n\n");
    const QString fileFolder = tmp.filePath(QStringLiteral("burns"));
    QDir().mkpath(fileFolder);
    QDir::setCurrent(fileFolder);
    openDatabase();
    measureBurns(QStringLiteral("SQLite file"), burns);
    closeDatabase();
    if (withServer) {
        testsupport::PgCluster pg;
        // A server as a line keeps it: every commit on disk.
        pg.setServerSettings({}, true);
        if (!pg.start()) {
            sayLine(QStringLiteral("PostgreSQL: no server (%1)").arg(pg.errorText()));
        } else {
            const QString serverFolder = tmp.filePath(QStringLiteral("server"));
            QDir().mkpath(serverFolder);
            QDir::setCurrent(serverFolder);
            bench::pointAt(pg, serverFolder, QStringLiteral("bench"));
            openDatabase();
            measureBurns(QStringLiteral("PostgreSQL"), burns);
            closeDatabase();
        }
    }
    QDir::setCurrent(tmp.path());
    const QString verifyFolder = tmp.filePath(QStringLiteral("verify"));
    QElapsedTimer made;
    made.start();
    if (!makeChainedLog(verifyFolder, rows)) {
        sayLine(QStringLiteral("cannot make the chained log"));
        return 1;
    }
    sayLine(
        QStringLiteral("(made %1 chained log rows in %2 s)").arg(rows).arg(double(made.elapsed()) / 1000.0, 0, 'f', 1));
    measureVerify(verifyFolder, rows);
    return 0;
}
