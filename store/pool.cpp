// Reads of the pool: counts, pages and the identifiers offered; single-row writes and
// Delete.
#include "store/datastore.h"
#include "store/fixedfield.h"
#include "store/storecore.h"

#include <QDateTime>

#include <algorithm>

using namespace storecore;

namespace storecore {

Where whereOf(const SerialFilter &filter)
{
    Where where;
    if (!filter.deviceType.isEmpty()) {
        // The type is matched as a part of the stored one; its own wildcards match only themselves.
        QString pattern = filter.deviceType;
        pattern.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
            .replace(QLatin1Char('%'), QLatin1String("\\%"))
            .replace(QLatin1Char('_'), QLatin1String("\\_"));
        where.sql += QStringLiteral(" AND s.DeviceType LIKE ? ESCAPE '\\'");
        where.values << QString(QLatin1Char('%') + pattern + QLatin1Char('%'));
    }
    if (filter.isUse >= 0) {
        where.sql += QStringLiteral(" AND s.IsUse=?");
        where.values << filter.isUse;
    }
    if (filter.customerId != 0) {
        where.sql += QStringLiteral(" AND c.CustomerID=?");
        where.values << filter.customerId;
    }
    return where;
}

} // namespace storecore

// The filter names only the customer, the usage and the device type, which the count
// table carries under the same names: the sum over it is the count of the rows.
int countSerials(const SerialFilter &filter)
{
    const StoreCall call;
    const Where where = whereOf(filter);
    if (run(QStringLiteral("SELECT SUM(s.Total) FROM SerialCounts as s JOIN Customers as c "
                           "ON c.CustomerID=s.CustomerID WHERE 1=1")
                + where.sql,
            where.values)) {
        const int counted = storeQuery.next() ? storeQuery.value(0).toInt() : 0;
        storeQuery.finish();
        return counted;
    }
    const int counted = run(QStringLiteral("SELECT COUNT(*) FROM SerialNumbers as s JOIN Customers as c "
                                           "ON c.CustomerID=s.CustomerID WHERE 1=1")
                                + where.sql,
                            where.values)
            && storeQuery.next()
        ? storeQuery.value(0).toInt()
        : 0;
    storeQuery.finish();
    return counted;
}

bool insertSerial(const SerialRecord &record)
{
    const StoreCall call;
    const int customerId = fixedfield::bytes(record.customerName).toInt();
    return run(QStringLiteral("INSERT INTO SerialNumbers(SNID, CustomerID, SerialNumber, IsUse, DeviceType, "
                              "DeviceSerialNum, szIP) VALUES(null, %1, ?, 0, ?, ?, ?)")
                   .arg(customerId),
               {fixedfield::get(record.serialNumber), fixedfield::get(record.deviceType),
                fixedfield::get(record.deviceSerialNum), fixedfield::get(record.deviceIp)});
}

bool serialExists(const QString &serialNumber)
{
    const StoreCall call;
    const bool found = run(QStringLiteral("SELECT SNID FROM SerialNumbers WHERE SerialNumber=?"), {serialNumber})
        && storeQuery.next();
    storeQuery.finish();
    return found;
}

bool deleteSerial(const QString &serialNumber)
{
    const StoreCall call;
    const QString now = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    // The move and its Deleted event commit together: the caller's batch, else one of our own.
    const bool own = !batchIsOpen();
    if (own && !beginBatch())
        return false;
    // The device the identifier was recorded for, named in the event.
    QString device;
    bool done = run(QStringLiteral("SELECT DeviceSerialNum FROM SerialNumbers WHERE SerialNumber=? "
                                   "AND DeviceSerialNum<>'' LIMIT 1"),
                    {serialNumber});
    if (done && storeQuery.next())
        device = storeQuery.value(0).toString();
    storeQuery.finish();
    int moved = 0;
    // A value already gone was retired before (its event with it) or never held.
    const auto tell = [&] {
        return moved <= 0 || recordSerialEvent({SerialEventKind::Deleted, serialNumber, device, QString(), QString()});
    };
    if (done && storeIsServer()) {
        // The server moves the rows in one statement: the copy holds exactly the rows
        // removed, in the state they had when removed, whatever another station does meanwhile.
        done = run(QStringLiteral("WITH gone AS (DELETE FROM SerialNumbers WHERE SerialNumber=? RETURNING "
                                  "CustomerID, SerialNumber, IsUse, DeviceType, DeviceSerialNum, szIP, BatchID) "
                                  "INSERT INTO RetiredSerials (CustomerID, SerialNumber, IsUse, DeviceType, "
                                  "DeviceSerialNum, szIP, RetiredDate, RetiredStation, BatchID) SELECT CustomerID, "
                                  "SerialNumber, IsUse, DeviceType, DeviceSerialNum, szIP, ?, ?, BatchID FROM gone"),
                   {serialNumber, now, station});
        moved = done ? storeQuery.numRowsAffected() : 0;
        storeQuery.finish();
        done = done && tell();
    } else if (done) {
        // The file: copy, then remove, under the batch's write lock, so no writer comes between.
        done = run(QStringLiteral("INSERT INTO RetiredSerials (CustomerID, SerialNumber, IsUse, DeviceType, "
                                  "DeviceSerialNum, szIP, RetiredDate, RetiredStation, BatchID) SELECT CustomerID, "
                                  "SerialNumber, IsUse, DeviceType, DeviceSerialNum, szIP, ?, ?, BatchID "
                                  "FROM SerialNumbers WHERE SerialNumber=?"),
                   {now, station, serialNumber});
        moved = done ? storeQuery.numRowsAffected() : 0;
        storeQuery.finish();
        done = done && tell() && run(QStringLiteral("DELETE FROM SerialNumbers WHERE SerialNumber=?"), {serialNumber});
    }
    if (!own)
        return done;
    if (!done) {
        const QString why = storeError();
        rollbackBatch();
        fail(why);
        return false;
    }
    return commitBatch();
}

QString serialOfDevice(const QString &deviceSerialNum)
{
    const StoreCall call;
    // A void identifier the device no longer holds; a released one names no device.
    QString serial;
    if (run(QStringLiteral("SELECT SerialNumber FROM SerialNumbers WHERE DeviceSerialNum=? AND IsUse NOT IN (3, 4)"),
            {deviceSerialNum})
        && storeQuery.next())
        serial = storeQuery.value(0).toString();
    storeQuery.finish();
    return serial;
}

namespace {

// The customer's offered identifiers: the newest unused first, then (when those run out)
// the newest released ones. Two reads, each walking the (CustomerID, IsUse) index in key
// order, rather than one that would sort every free identifier of the customer.
template <typename Read>
void offered(int count, Read read)
{
    const int wanted = rowLimit(count);
    const int got = read(SerialUnused, wanted);
    if (got >= 0 && got < wanted && !lastStoreCallFailed())
        read(SerialReleased, wanted - got);
}

} // namespace

QStringList unusedSerialNumbers(int count, int customerId)
{
    const StoreCall call;
    QStringList values;
    offered(count, [&](int isUse, int n) {
        int got = 0;
        if (run(QStringLiteral("SELECT s.SNID,s.SerialNumber FROM SerialNumbers as s JOIN Customers as c "
                               "ON c.CustomerID=s.CustomerID WHERE s.IsUse=%1 AND s.CustomerID=%2 "
                               "ORDER BY s.SNID DESC LIMIT 0, %3")
                    .arg(isUse)
                    .arg(customerId)
                    .arg(n)))
            for (; storeQuery.next(); ++got)
                values.append(storeQuery.value(1).toString());
        storeQuery.finish();
        return got;
    });
    return values;
}

QList<SerialRecord> pageSerials(int pageIndex, int pageSize, const SerialFilter &filter)
{
    const StoreCall call;
    pageSize = rowLimit(pageSize);
    const Where where = whereOf(filter);
    QList<SerialRecord> rows;
    if (run(kSerialSelect + QStringLiteral("WHERE 1=1") + where.sql
                + QStringLiteral(" ORDER BY s.SNID DESC LIMIT %1, %2").arg(qint64(pageIndex) * pageSize).arg(pageSize),
            where.values))
        while (storeQuery.next())
            rows.append(readSerialRow());
    storeQuery.finish();
    return rows;
}

QList<SerialRow> pageSerialRows(int pageIndex, int pageSize, const SerialFilter &filter)
{
    const StoreCall call;
    pageSize = rowLimit(pageSize);
    const Where where = whereOf(filter);
    const QString order =
        QStringLiteral(" ORDER BY s.SNID DESC LIMIT %1, %2").arg(qint64(pageIndex) * pageSize).arg(pageSize);
    QList<SerialRow> rows;
    if (run(kSerialSelect + QStringLiteral("WHERE 1=1") + where.sql + order, where.values))
        while (storeQuery.next())
            rows.append(serialRowOf(storeQuery));
    storeQuery.finish();
    return rows;
}

namespace {

// Rows of the filter in the given order after the given condition, at most `count`,
// returned newest first.
// A usage filter over every customer that matches few rows (the pending ones among
// millions): naming the customers lets the (customer, usage) index find those rows and
// sort a handful, where SNID order would read the pool until a page is full. The rows are
// the same: the join already keeps only rows whose customer exists. The ids are listed
// as numbers where there are few: the server plans a list by the pool's own statistics,
// but a subquery by a guess at the customers table's size (hundreds of rows, when it has
// never been analysed), and then reads the whole pool instead.
Where narrowed(const SerialFilter &filter, bool *narrow)
{
    const int kFewRows = 10000;
    const int kListedCustomers = 64;
    Where where = whereOf(filter);
    *narrow = filter.isUse >= 0 && filter.customerId == 0 && countSerials(filter) <= kFewRows;
    if (!*narrow)
        return where;
    QStringList ids;
    if (run(QStringLiteral("SELECT CustomerID FROM Customers ORDER BY CustomerID LIMIT %1").arg(kListedCustomers + 1)))
        while (storeQuery.next())
            ids << QString::number(storeQuery.value(0).toLongLong());
    storeQuery.finish();
    if (ids.isEmpty() || ids.size() > kListedCustomers)
        where.sql += QStringLiteral(" AND s.CustomerID IN (SELECT CustomerID FROM Customers)");
    else
        where.sql += QStringLiteral(" AND s.CustomerID IN (%1)").arg(ids.join(QLatin1Char(',')));
    return where;
}

QList<SerialRow> serialRowsWhere(const SerialFilter &filter, const QString &condition, bool ascending, qint64 offset,
                                 int count, const QVariantList &values = {})
{
    bool narrow = false;
    Where where = narrowed(filter, &narrow);
    where.values << values;
    // Narrowed rows are sorted by an expression of the key, which no index gives in order:
    // otherwise the server may still walk the pool in key order, when its sample of the
    // table happened to catch a few such rows and made them look common.
    const QString key = narrow ? QStringLiteral("s.SNID + 0") : QStringLiteral("s.SNID");
    QList<SerialRow> rows;
    const QString order = QStringLiteral("ORDER BY %1 %2 LIMIT %3, %4")
                              .arg(key, ascending ? QStringLiteral("ASC") : QStringLiteral("DESC"))
                              .arg(offset)
                              .arg(rowLimit(count));
    if (run(kSerialSelect + QStringLiteral("WHERE 1=1") + where.sql + condition + QLatin1Char(' ') + order,
            where.values))
        while (storeQuery.next())
            rows.append(serialRowOf(storeQuery));
    storeQuery.finish();
    if (ascending)
        std::reverse(rows.begin(), rows.end());
    return rows;
}

} // namespace

QList<SerialRow> serialRowsBelow(qint64 snid, int count, const SerialFilter &filter)
{
    const StoreCall call;
    return serialRowsWhere(filter, QStringLiteral(" AND s.SNID < ?"), false, 0, count, {snid});
}

QList<SerialRow> serialRowsAbove(qint64 snid, int count, const SerialFilter &filter)
{
    const StoreCall call;
    return serialRowsWhere(filter, QStringLiteral(" AND s.SNID > ?"), true, 0, count, {snid});
}

QList<SerialRow> seekSerialPage(int pageIndex, int pageSize, const SerialFilter &filter, int total)
{
    const StoreCall call;
    const qint64 from = qint64(pageIndex) * pageSize; // position of the page's first row, newest first
    // Nothing counted, nothing to show: a filter that matches no row would otherwise read
    // every row of the pool to find that out.
    if (pageIndex < 0 || pageSize < 1 || total <= 0)
        return QList<SerialRow>();
    if (from >= total)
        return pageSerialRows(pageIndex, pageSize, filter);
    // The counts per block say which block holds the page: skip only inside it.
    qint64 below = 0, above = 0;
    bool bounded = false;
    const Where where = whereOf(filter);
    if (findBlock(blocksOf(QStringLiteral("SELECT s.FirstKey, SUM(s.Total) FROM SerialCounts as s JOIN Customers "
                                          "as c ON c.CustomerID=s.CustomerID WHERE 1=1")
                               + where.sql
                               + QStringLiteral(" GROUP BY s.FirstKey HAVING SUM(s.Total) <> 0 "
                                                "ORDER BY s.FirstKey DESC"),
                           where.values),
                  from, &below, &above, &bounded))
        return bounded
            ? serialRowsWhere(filter, QStringLiteral(" AND s.SNID < ?"), false, from - above, pageSize, {below})
            : serialRowsWhere(filter, QString(), false, from, pageSize);
    if (from <= total / 2)
        return serialRowsWhere(filter, QString(), false, from, pageSize);
    // Nearer the oldest end: skip from there instead, oldest first.
    const qint64 end = qMin<qint64>(total, from + pageSize); // one past the page's last row
    return serialRowsWhere(filter, QString(), true, total - end, int(end - from));
}

QList<SerialRecord> unusedSerials(int count, int customerId)
{
    const StoreCall call;
    QList<SerialRecord> records;
    offered(count, [&](int isUse, int n) {
        // The condition's trailing blank and the ORDER BY's leading one are one blank.
        const QList<SerialRecord> some = serialRows(
            kSerialSelect + QStringLiteral("WHERE s.IsUse=%1 AND s.CustomerID=%2 ").arg(isUse).arg(customerId)
            + QStringLiteral("ORDER BY s.SNID DESC LIMIT 0, %1").arg(n));
        records += some;
        return some.size();
    });
    return records;
}
