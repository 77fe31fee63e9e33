// The operation log: its rows and its pages.
#include "store/datastore.h"
#include "store/fixedfield.h"
#include "store/storecore.h"

#include <QDateTime>

#include <algorithm>

using namespace storecore;

bool addLog(const LogRecord &record)
{
    const StoreCall call;
    return run(QStringLiteral(
                   "INSERT INTO Logs(LogID, LogType, LogDescribe, LogDate, LogStation) VALUES(null, ?, ?, ?, ?)"),
               {fixedfield::get(record.logType), fixedfield::get(record.logDescribe),
                QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), station});
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
    if (run(QStringLiteral("SELECT LogType, LogDescribe, LogDate, LogStation, LogID FROM Logs %1 "
                           "ORDER BY LogID %2 LIMIT %3, %4")
                .arg(condition, ascending ? QStringLiteral("ASC") : QStringLiteral("DESC"))
                .arg(offset)
                .arg(rowLimit(count)),
            values))
        while (storeQuery.next())
            rows.append({storeQuery.value(0).toString(), storeQuery.value(1).toString(), storeQuery.value(2).toString(),
                         storeQuery.value(3).toString(), storeQuery.value(4).toLongLong()});
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
