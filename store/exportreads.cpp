// The export's read: every row of a filter, in chunks by key.
#include "store/datastore.h"
#include "store/storecore.h"

#include <QSqlDriver>
#include <QSqlError>

#include <sqlite3.h>

#include <limits>

using namespace storecore;

namespace {

// "state,copy,why" as the export's statement joins them; the reason may hold commas.
void readLabel(const QByteArray &text, SerialBytes *r)
{
    const int first = text.indexOf(',');
    const int second = first < 0 ? -1 : text.indexOf(',', first + 1);
    if (second < 0)
        return; // not a label's text: shown as none
    r->labelState = text.left(first).toInt();
    r->labelCopy = text.mid(first + 1, second - first - 1).toInt();
    r->labelError = text.mid(second + 1);
}

// The file's rows straight from SQLite, without a QVariant per value: the export of a
// million rows is mostly this loop.
bool forEachSerialInFile(sqlite3 *db, const Where &where, const QString &sql, int chunk,
                         const std::function<bool(const SerialBytes &)> &visit)
{
    sqlite3_stmt *statement = nullptr;
    const QByteArray text = sql.toUtf8();
    if (sqlite3_prepare_v2(db, text.constData(), int(text.size()), &statement, nullptr) != SQLITE_OK) {
        fail(QString::fromUtf8(sqlite3_errmsg(db)));
        return false;
    }
    const auto column = [statement](int i) {
        return QByteArray::fromRawData(reinterpret_cast<const char *>(sqlite3_column_text(statement, i)),
                                       sqlite3_column_bytes(statement, i));
    };
    // The filter's values first, then the key each chunk starts below.
    int parameter = 0;
    for (const QVariant &value : where.values) {
        ++parameter;
        if (value.type() == QVariant::String) {
            const QByteArray bytes = value.toString().toUtf8();
            sqlite3_bind_text(statement, parameter, bytes.constData(), int(bytes.size()), SQLITE_TRANSIENT);
        } else {
            sqlite3_bind_int64(statement, parameter, value.toLongLong());
        }
    }
    const int keyParameter = parameter + 1;
    sqlite3_int64 below = std::numeric_limits<sqlite3_int64>::max();
    bool ok = true;
    for (bool more = true; more && ok;) {
        sqlite3_bind_int64(statement, keyParameter, below);
        int rows = 0;
        int step;
        while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
            ++rows;
            below = sqlite3_column_int64(statement, 0);
            SerialBytes r;
            r.serialNumber = column(1);
            r.customerName = column(2);
            r.isUse = sqlite3_column_int(statement, 3);
            r.deviceType = column(4);
            r.deviceSerialNum = column(5);
            r.deviceIp = column(6);
            if (sqlite3_column_type(statement, 7) != SQLITE_NULL)
                readLabel(column(7), &r);
            if (!visit(r)) {
                more = false;
                break;
            }
        }
        if (step != SQLITE_ROW && step != SQLITE_DONE) {
            fail(QString::fromUtf8(sqlite3_errmsg(db)));
            ok = false;
        }
        sqlite3_reset(statement);
        if (rows < chunk)
            more = false;
    }
    sqlite3_finalize(statement);
    return ok;
}

} // namespace

bool forEachSerial(const SerialFilter &filter, const std::function<bool(const SerialBytes &)> &visit)
{
    const StoreCall call;
    if (!storeDatabase.isOpen()) {
        notOpen();
        return false;
    }
    storeQuery.finish();
    // Keyset chunks: each starts below the last SNID seen, so no read stays open between
    // chunks (another program's writer is not held up for the whole export) and the
    // cost per chunk does not grow with the offset.
    const int chunk = 10000;
    const Where where = whereOf(filter);
    // Each row's latest label copy in the same walk: one seek on the Labels index by
    // identifier and copy, rather than a query per row; its three values come as one text
    // ("state,copy,why") so the seek is made once.
    const QString sql = QStringLiteral(
                            "SELECT s.SNID,s.SerialNumber,c.CustomerName,s.IsUse,s.DeviceType,s.DeviceSerialNum,s.szIP,"
                            "(SELECT l.LabelState || ',' || l.LabelCopy || ',' || COALESCE(l.LabelError, '') "
                            "FROM Labels as l WHERE l.SerialNumber=s.SerialNumber ORDER BY l.LabelCopy DESC LIMIT 1) "
                            "FROM SerialNumbers as s JOIN Customers as c ON c.CustomerID=s.CustomerID ")
        + QStringLiteral("WHERE 1=1") + where.sql
        + QStringLiteral(" AND s.SNID < ? ORDER BY s.SNID DESC LIMIT %1").arg(chunk);
    const QVariant handle = storeDatabase.driver()->handle();
    if (!storeIsServer() && handle.isValid() && qstrcmp(handle.typeName(), "sqlite3*") == 0) {
        if (sqlite3 *db = *static_cast<sqlite3 *const *>(handle.constData()))
            return forEachSerialInFile(db, where, sql, chunk, visit);
    }
    QSqlQuery q(storeDatabase);
    q.setForwardOnly(true);
    if (!q.prepare(dialect(sql))) {
        statementFailed(q.lastError().text());
        return false;
    }
    qint64 below = std::numeric_limits<qint64>::max();
    for (;;) {
        for (const QVariant &value : where.values)
            q.addBindValue(value);
        q.addBindValue(below);
        armDeadline();
        if (!q.exec()) {
            statementFailed(q.lastError().text());
            return false;
        }
        int rows = 0;
        while (q.next()) {
            ++rows;
            below = q.value(0).toLongLong();
            SerialBytes r;
            r.serialNumber = q.value(1).toString().toUtf8();
            r.customerName = q.value(2).toString().toUtf8();
            r.isUse = q.value(3).toInt();
            r.deviceType = q.value(4).toString().toUtf8();
            r.deviceSerialNum = q.value(5).toString().toUtf8();
            r.deviceIp = q.value(6).toString().toUtf8();
            if (!q.isNull(7))
                readLabel(q.value(7).toString().toUtf8(), &r);
            if (!visit(r)) {
                q.finish();
                return true;
            }
        }
        // The server's rows arrive one by one: a connection lost among them ends the
        // loop like the last row would.
        if (q.lastError().isValid()) {
            statementFailed(q.lastError().text());
            return false;
        }
        q.finish();
        if (rows < chunk)
            return true;
    }
}
