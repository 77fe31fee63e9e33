// The operation log: its rows and its pages.
#include "store/datastore.h"
#include "store/fixedfield.h"
#include "store/lockkeys.h"
#include "store/logchain.h"
#include "store/storecore.h"

#include <QDateTime>

#include <algorithm>

using namespace storecore;

namespace {

// The station's newest row (0 when it has none) and the hash the next row follows: that
// row's hash, or the seed when the station has no chained row yet (its newest row is one
// written before the chain). False when the store could not answer. On the server the same
// statement first takes the station's chain lock, held until the transaction ends.
bool chainHead(const QString &stationName, bool lock, qint64 *lastId, QByteArray *head)
{
    const bool ok = lock
        ? run(QStringLiteral("SELECT h.LogID, h.LogHash FROM (SELECT pg_advisory_xact_lock(?, ?)) k LEFT JOIN "
                             "(SELECT LogID, LogHash FROM Logs WHERE LogStation = ? ORDER BY LogID DESC LIMIT 1) h "
                             "ON true"),
              {lockkeys::kLogChain, logchain::stationLockKey(stationName), stationName})
        : run(QStringLiteral("SELECT LogID, LogHash FROM Logs WHERE LogStation = ? ORDER BY LogID DESC LIMIT 1"),
              {stationName});
    if (!ok)
        return false;
    const bool found = storeQuery.next();
    *lastId = found ? storeQuery.value(0).toLongLong() : 0;
    const QVariant last = found ? storeQuery.value(1) : QVariant();
    storeQuery.finish();
    *head = last.isNull() ? logchain::seed() : last.toString().toLatin1();
    return true;
}

// Reads the station's head and appends the row after it, inside the open transaction.
// On the file the transaction holds the write lock from its start. On the server the
// station's own advisory lock keeps a second writer of the station (a Burn's worker, a
// second process) out until this one commits; the head is read in the statement that takes
// the lock, whose snapshot may predate a row the lock's last holder committed, so the
// insert goes in only while that row is still the station's newest, else the head is read
// again (now under the lock).
bool appendLogRow(const QString &type, const QString &describe)
{
    const QString date = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const Person person = signedInPerson();
    // Nobody signed in (a failed login): no person rather than an empty name.
    const QString user = person.signedIn() ? person.name : QString();
    // Text values are never bound as NULL, so "no person" is a statement of its own.
    const QString personValue = user.isEmpty() ? QStringLiteral("NULL") : QStringLiteral("?");
    const auto values = [&](const QByteArray &hash) {
        QVariantList v{type, describe, date, station};
        if (!user.isEmpty())
            v << user;
        v << QString::fromLatin1(hash);
        return v;
    };
    const bool server = engine == StoreSettings::PostgreSQL;
    qint64 lastId = 0;
    QByteArray head;
    if (!chainHead(station, server, &lastId, &head))
        return false;
    if (server) {
        QVariantList v = values(logchain::rowHash(head, type, describe, date, station, user));
        v << station << lastId;
        if (!run(QStringLiteral("INSERT INTO Logs (LogType, LogDescribe, LogDate, LogStation, LogUser, LogHash) "
                                "SELECT ?, ?, ?, ?, %1, ? WHERE COALESCE((SELECT MAX(LogID) FROM Logs "
                                "WHERE LogStation = ?), 0) = ?")
                     .arg(personValue),
                 v))
            return false;
        if (storeQuery.numRowsAffected() == 1)
            return true;
        if (!chainHead(station, false, &lastId, &head))
            return false;
    }
    return run(QStringLiteral("INSERT INTO Logs(LogID, LogType, LogDescribe, LogDate, LogStation, LogUser, LogHash) "
                              "VALUES(null, ?, ?, ?, ?, %1, ?)")
                   .arg(personValue),
               values(logchain::rowHash(head, type, describe, date, station, user)));
}

} // namespace

bool addLog(const LogRecord &record)
{
    const StoreCall call;
    const QString type = fixedfield::get(record.logType);
    const QString describe = fixedfield::get(record.logDescribe);
    // Inside the caller's batch the row commits with the batch; alone it takes a
    // transaction of its own, so the head it read is still the head when it commits.
    if (batchIsOpen())
        return appendLogRow(type, describe);
    if (!beginBatch())
        return false;
    if (!appendLogRow(type, describe)) {
        const QString why = storeError();
        rollbackBatch();
        fail(why);
        return false;
    }
    return commitBatch();
}

bool readLogChainHeads(QList<logchain::Head> *heads)
{
    const StoreCall call;
    heads->clear();
    // The stations by a walk of the station index, one step per station: a log of millions
    // of rows is not read for a handful of names.
    QStringList stations;
    if (!run(QStringLiteral("WITH RECURSIVE s(st) AS (SELECT MIN(LogStation) FROM Logs UNION ALL "
                            "SELECT (SELECT MIN(LogStation) FROM Logs WHERE LogStation > s.st) FROM s "
                            "WHERE s.st IS NOT NULL) SELECT st FROM s WHERE st IS NOT NULL")))
        return false;
    while (storeQuery.next())
        stations << storeQuery.value(0).toString();
    storeQuery.finish();
    for (const QString &name : stations) {
        if (!run(QStringLiteral("SELECT LogHash FROM Logs WHERE LogStation = ? AND LogHash IS NOT NULL "
                                "ORDER BY LogID DESC LIMIT 1"),
                 {name}))
            return false;
        if (storeQuery.next())
            heads->append({name, storeQuery.value(0).toString().toLatin1()});
        storeQuery.finish();
    }
    return true;
}

LogRecord makeLogRecord(const QString &type, const QString &describe)
{
    LogRecord r{};
    fixedfield::put(r.logType, type);
    fixedfield::put(r.logDescribe, describe);
    return r;
}

int countLogs()
{
    const StoreCall call;
    if (run(QStringLiteral("SELECT SUM(Total) FROM LogCounts"))) {
        const int counted = storeQuery.next() ? storeQuery.value(0).toInt() : 0;
        storeQuery.finish();
        return counted;
    }
    return firstInt(QStringLiteral("SELECT COUNT(*) FROM Logs"), {}, 0);
}

namespace {

QList<LogRow> logRowsWhere(const QString &condition, bool ascending, qint64 offset, int count,
                           std::initializer_list<QVariant> values = {})
{
    QList<LogRow> rows;
    if (run(QStringLiteral("SELECT LogType, LogDescribe, LogDate, LogStation, LogID, LogUser FROM Logs %1 "
                           "ORDER BY LogID %2 LIMIT %3, %4")
                .arg(condition, ascending ? QStringLiteral("ASC") : QStringLiteral("DESC"))
                .arg(offset)
                .arg(rowLimit(count)),
            values))
        while (storeQuery.next())
            rows.append({storeQuery.value(0).toString(), storeQuery.value(1).toString(), storeQuery.value(2).toString(),
                         storeQuery.value(3).toString(), storeQuery.value(4).toLongLong(),
                         storeQuery.value(5).toString()});
    storeQuery.finish();
    if (ascending)
        std::reverse(rows.begin(), rows.end());
    return rows;
}

} // namespace

QList<LogRow> pageLogRows(int pageIndex, int pageSize)
{
    const StoreCall call;
    return logRowsWhere(QString(), false, qint64(pageIndex) * rowLimit(pageSize), pageSize);
}

QList<LogRow> logRowsBelow(qint64 logId, int count)
{
    const StoreCall call;
    return logRowsWhere(QStringLiteral("WHERE LogID < ?"), false, 0, count, {logId});
}

QList<LogRow> logRowsAbove(qint64 logId, int count)
{
    const StoreCall call;
    return logRowsWhere(QStringLiteral("WHERE LogID > ?"), true, 0, count, {logId});
}

QList<LogRow> seekLogPage(int pageIndex, int pageSize, int total)
{
    const StoreCall call;
    const qint64 from = qint64(pageIndex) * pageSize;
    if (pageIndex < 0 || pageSize < 1)
        return {};
    if (from >= total || from < pageSize)
        return pageLogRows(pageIndex, pageSize);
    qint64 below = 0, above = 0;
    bool bounded = false;
    if (findBlock(blocksOf(QStringLiteral("SELECT FirstKey, SUM(Total) FROM LogCounts GROUP BY FirstKey "
                                          "HAVING SUM(Total) <> 0 ORDER BY FirstKey DESC")),
                  from, &below, &above, &bounded))
        return bounded ? logRowsWhere(QStringLiteral("WHERE LogID < ?"), false, from - above, pageSize, {below})
                       : pageLogRows(pageIndex, pageSize);
    if (from <= total / 2)
        return pageLogRows(pageIndex, pageSize);
    const qint64 end = qMin<qint64>(total, from + pageSize);
    return logRowsWhere(QString(), true, total - end, int(end - from));
}

QList<LogRecord> pageLogs(int pageIndex, int pageSize)
{
    const StoreCall call;
    pageSize = rowLimit(pageSize);
    QList<LogRecord> rows;
    if (run(QStringLiteral("SELECT LogType, LogDescribe, LogDate FROM Logs ORDER BY LogID DESC LIMIT %1, %2")
                .arg(qint64(pageIndex) * pageSize)
                .arg(pageSize))) {
        while (storeQuery.next()) {
            LogRecord r{};
            putColumn(r.logType, 0);
            putColumn(r.logDescribe, 1);
            putColumn(r.logDate, 2);
            rows.append(r);
        }
    }
    return rows;
}
