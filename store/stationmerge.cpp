#include "store/stationmerge.h"

#include "store/datastore.h"
#include "store/lockkeys.h"
#include "store/logchain.h"
#include "store/storeconnection.h"

#include <QSqlError>
#include <QVariant>

namespace {

// Values per IN (...) lookup and rows per multi-row INSERT: well inside both engines'
// limits on bound parameters, large enough that a round trip carries real work.
const int kLookupChunk = 500;
const int kInsertChunk = 250;
// Log rows of the pool read per statement.
const int kLogPage = 20000;

// "(?,?,?),(?,?,?)": `rows` groups of `columns` placeholders.
QString placeholders(int rows, int columns)
{
    QString group = QStringLiteral("(?");
    for (int c = 1; c < columns; ++c)
        group += QStringLiteral(",?");
    group += QLatin1Char(')');
    QString all;
    all.reserve(rows * (group.size() + 1));
    for (int r = 0; r < rows; ++r) {
        if (r > 0)
            all += QLatin1Char(',');
        all += group;
    }
    return all;
}

// "(?,?,...)": one list of kLookupChunk placeholders.
QString inList()
{
    return QStringLiteral("(") + placeholders(1, kLookupChunk).mid(1);
}

int rank(int isUse)
{
    return isUse == SerialUsed ? 3 : isUse == SerialPending ? 2 : isUse == SerialUnused ? 0 : 1;
}

const QString kInsertSerials = QStringLiteral(
    "INSERT INTO SerialNumbers (CustomerID, SerialNumber, IsUse, DeviceType, DeviceSerialNum, szIP) VALUES ");
const QString kInsertLogs = QStringLiteral(
    "INSERT INTO Logs (LogType, LogDescribe, LogDate, LogStation, LogUser, LogHash) VALUES ");

} // namespace

StationMerge::StationMerge() = default;

StationMerge::~StationMerge()
{
    if (!storeDatabase.isOpen())
        return;
    QSqlQuery q(storeDatabase);
    if (locked_) {
        q.prepare(QStringLiteral("SELECT pg_advisory_unlock(?)"));
        q.addBindValue(QVariant(lockkeys::kMerge));
        q.exec();
    } else if (cacheSize_ != 0) {
        q.exec(QStringLiteral("PRAGMA cache_size = %1").arg(cacheSize_));
    }
}

bool StationMerge::failed(const QSqlQuery &q)
{
    error_ = q.lastError().text().trimmed();
    return false;
}

bool StationMerge::isOpen() const
{
    return storeDatabase.isOpen();
}

bool StationMerge::checkTarget()
{
    // The tables the merge writes, as this version makes them (the server folds the names,
    // so the driver's record() cannot be asked).
    for (const char *sql :
         {"SELECT SerialNumber, CustomerID, IsUse, DeviceType, DeviceSerialNum, szIP FROM SerialNumbers",
          "SELECT CustomerID, CustomerName, CustomerValue, CustomerHostAddr, CustomerPort, "
          "CustomerSvrChecked FROM Customers",
          "SELECT LogType, LogDescribe, LogDate, LogStation, LogUser, LogHash FROM Logs"}) {
        QSqlQuery q(storeDatabase);
        if (!q.exec(QLatin1String(sql) + QStringLiteral(" WHERE 1=0")))
            return failed(q);
    }
    return true;
}

StationMerge::Lock StationMerge::takeLock()
{
    QSqlQuery q(storeDatabase);
    if (!storeIsServer()) {
        // A station's identifiers arrive in no order, so every insert lands on a random page of
        // the identifier and device indexes: with SQLite's small default cache each batch reads
        // and writes them again from disk (eight times slower for a million).
        if (q.exec(QStringLiteral("PRAGMA cache_size")) && q.next())
            cacheSize_ = q.value(0).toInt();
        q.exec(QStringLiteral("PRAGMA cache_size = -262144"));
        return Lock::Taken;
    }
    // Two merges at once would both copy the same log rows. Imports take a key of their own.
    q.prepare(QStringLiteral("SELECT pg_try_advisory_lock(?)"));
    q.addBindValue(lockkeys::kMerge);
    if (!q.exec() || !q.next()) {
        failed(q);
        return Lock::Failed;
    }
    locked_ = q.value(0).toBool();
    return locked_ ? Lock::Taken : Lock::Busy;
}

bool StationMerge::begin()
{
    if (beginBatch())
        return true;
    error_ = storeError();
    return false;
}

bool StationMerge::lockTable(const QString &table)
{
    // On the file BEGIN IMMEDIATE has taken the write lock already; on the server a station's
    // claim would otherwise slip between the lookups and the writes (stations wait for the
    // batch, which is short).
    if (!storeIsServer())
        return true;
    QSqlQuery q(storeDatabase);
    return q.exec(QStringLiteral("LOCK TABLE %1 IN SHARE ROW EXCLUSIVE MODE").arg(table)) || failed(q);
}

bool StationMerge::commit()
{
    if (commitBatch())
        return true;
    error_ = storeError();
    return false;
}

void StationMerge::rollback()
{
    rollbackBatch();
}

void StationMerge::refreshStatistics()
{
    // The server chooses between the index and reading the whole table by its statistics; a
    // pool that grew by a million rows since they were taken looks small or unknown, and each
    // lookup of a chunk then reads the whole table. Taking them costs a fraction of a second
    // (a sample), and the stations' claims profit too. Without the right to, the server skips it.
    if (storeIsServer())
        QSqlQuery(storeDatabase).exec(QStringLiteral("ANALYZE SerialNumbers"));
}

bool StationMerge::readCustomers(QHash<QString, qint64> *byName, QHash<qint64, QString> *names)
{
    QSqlQuery q(storeDatabase);
    if (!q.exec(QStringLiteral("SELECT CustomerID, CustomerName FROM Customers")))
        return failed(q);
    while (q.next()) {
        byName->insert(q.value(1).toString(), q.value(0).toLongLong());
        names->insert(q.value(0).toLongLong(), q.value(1).toString());
    }
    return true;
}

bool StationMerge::addCustomer(const QString &name, const QString &value, const QString &host, int port, int checked)
{
    QSqlQuery q(storeDatabase);
    q.prepare(QStringLiteral("INSERT INTO Customers (CustomerName, CustomerValue, CustomerHostAddr, CustomerPort, "
                             "CustomerSvrChecked) VALUES (?, ?, ?, ?, ?)"));
    for (const QVariant &v : {QVariant(name), QVariant(value), QVariant(host), QVariant(port), QVariant(checked)})
        q.addBindValue(v);
    return q.exec() || failed(q);
}

bool StationMerge::prepare()
{
    for (QSqlQuery *q : {&retired_, &unused_, &addRetired_, &takeOut_, &bySerial_, &byDevice_, &learn_, &confirm_,
                         &insertSerials_, &insertLogs_, &logHead_}) {
        *q = QSqlQuery(storeDatabase);
        q->setForwardOnly(true);
    }
    const QString in = inList();
    const struct {
        QSqlQuery *query;
        QString sql;
    } statements[] = {
        {&retired_, QStringLiteral("SELECT SerialNumber FROM RetiredSerials WHERE SerialNumber IN ") + in},
        {&unused_, QStringLiteral("SELECT SerialNumber FROM SerialNumbers WHERE IsUse=0 AND SerialNumber IN ") + in},
        {&addRetired_,
         QStringLiteral("INSERT INTO RetiredSerials (CustomerID, SerialNumber, IsUse, DeviceType, "
                        "DeviceSerialNum, szIP, RetiredDate, RetiredStation) "
                        "VALUES (?, ?, ?, ?, ?, ?, ?, ?)")},
        {&takeOut_, QStringLiteral("DELETE FROM SerialNumbers WHERE SerialNumber=? AND IsUse=0")},
        {&bySerial_,
         QStringLiteral("SELECT SerialNumber, CustomerID, IsUse, DeviceSerialNum FROM SerialNumbers "
                        "WHERE SerialNumber IN ")
             + in},
        {&byDevice_,
         QStringLiteral("SELECT DeviceSerialNum, SerialNumber, IsUse FROM SerialNumbers "
                        "WHERE IsUse IN (1, 2) AND DeviceSerialNum IN ")
             + in},
        // Only an identifier still unused (in every row that holds it) takes the file's state.
        {&learn_,
         QStringLiteral("UPDATE SerialNumbers SET IsUse=?, DeviceType=?, DeviceSerialNum=?, szIP=? "
                        "WHERE SerialNumber=? AND IsUse=0")},
        {&confirm_,
         QStringLiteral("UPDATE SerialNumbers SET IsUse=1, DeviceType=?, szIP=? "
                        "WHERE SerialNumber=? AND IsUse=2 AND DeviceSerialNum=?")},
        {&insertSerials_, kInsertSerials + placeholders(kInsertChunk, 6)},
        {&insertLogs_, kInsertLogs + placeholders(kInsertChunk, 6)},
        {&logHead_, QStringLiteral("SELECT LogHash FROM Logs WHERE LogStation = ? ORDER BY LogID DESC LIMIT 1")},
    };
    for (const auto &s : statements)
        if (!s.query->prepare(s.sql))
            return failed(*s.query);
    return true;
}

// Runs `q` (prepared with an IN list of kLookupChunk placeholders) over `values` chunk by
// chunk, a short chunk padded with its last value, and hands each row to `row`.
bool StationMerge::lookup(QSqlQuery &q, const QStringList &values, const std::function<void(QSqlQuery &)> &row)
{
    for (int at = 0; at < values.size(); at += kLookupChunk) {
        for (int i = 0; i < kLookupChunk; ++i)
            q.addBindValue(values.at(qMin(at + i, values.size() - 1)));
        if (!q.exec())
            return failed(q);
        while (q.next())
            row(q);
        q.finish();
    }
    return true;
}

bool StationMerge::retiredOf(const QStringList &values, QSet<QString> *retired)
{
    return lookup(retired_, values, [retired](QSqlQuery &q) { retired->insert(q.value(0).toString()); });
}

bool StationMerge::unusedOf(const QStringList &values, QSet<QString> *unused)
{
    return lookup(unused_, values, [unused](QSqlQuery &q) { unused->insert(q.value(0).toString()); });
}

bool StationMerge::addRetired(const Retired &r)
{
    for (const QVariant &v :
         {QVariant(r.customerId), QVariant(r.serialNumber), QVariant(r.isUse), QVariant(r.deviceType),
          QVariant(r.deviceSerialNum), QVariant(r.deviceIp), QVariant(r.date), QVariant(r.station)})
        addRetired_.addBindValue(v);
    return addRetired_.exec() || failed(addRetired_);
}

bool StationMerge::takeOutUnused(const QString &serialNumber)
{
    takeOut_.addBindValue(serialNumber);
    return takeOut_.exec() || failed(takeOut_);
}

bool StationMerge::serialsOf(const QStringList &values, QHash<QString, Held> *held)
{
    return lookup(bySerial_, values, [held](QSqlQuery &q) {
        const QString serialNumber = q.value(0).toString();
        const int isUse = q.value(2).toInt();
        const auto it = held->constFind(serialNumber);
        if (it == held->constEnd() || rank(isUse) > rank(it->isUse))
            held->insert(serialNumber, {true, q.value(1).toLongLong(), isUse, q.value(3).toString()});
    });
}

bool StationMerge::holdingsOf(const QStringList &devices, QHash<QString, Holding> *holdings)
{
    return lookup(byDevice_, devices, [holdings](QSqlQuery &q) {
        Holding &h = (*holdings)[q.value(0).toString()];
        const int isUse = q.value(2).toInt();
        if (h.serialNumber.isEmpty() || rank(isUse) > rank(h.isUse))
            h = {q.value(1).toString(), isUse};
    });
}

bool StationMerge::addSerials(const QVector<const Serial *> &rows)
{
    for (int at = 0; at < rows.size(); at += kInsertChunk) {
        const int n = qMin(kInsertChunk, rows.size() - at);
        QSqlQuery tail(storeDatabase);
        QSqlQuery &q = n == kInsertChunk ? insertSerials_ : tail;
        if (n != kInsertChunk && !tail.prepare(kInsertSerials + placeholders(n, 6)))
            return failed(tail);
        for (int i = 0; i < n; ++i) {
            const Serial &r = *rows.at(at + i);
            q.addBindValue(r.customerId);
            q.addBindValue(r.serialNumber);
            q.addBindValue(r.isUse);
            q.addBindValue(r.deviceType);
            q.addBindValue(r.deviceSerialNum);
            q.addBindValue(r.deviceIp);
        }
        if (!q.exec())
            return failed(q);
    }
    return true;
}

namespace {

// A write keyed by one identifier that must change it.
bool changedOne(QSqlQuery &q, QString *error)
{
    if (!q.exec()) {
        *error = q.lastError().text().trimmed();
        return false;
    }
    if (q.numRowsAffected() < 1) {
        *error = QStringLiteral("an identifier changed in the target during the merge");
        return false;
    }
    return true;
}

} // namespace

bool StationMerge::learnState(const Serial &r)
{
    learn_.addBindValue(r.isUse);
    learn_.addBindValue(r.deviceType);
    learn_.addBindValue(r.deviceSerialNum);
    learn_.addBindValue(r.deviceIp);
    learn_.addBindValue(r.serialNumber);
    return changedOne(learn_, &error_);
}

bool StationMerge::confirmPending(const Serial &r)
{
    confirm_.addBindValue(r.deviceType);
    confirm_.addBindValue(r.deviceIp);
    confirm_.addBindValue(r.serialNumber);
    confirm_.addBindValue(r.deviceSerialNum);
    return changedOne(confirm_, &error_);
}

bool StationMerge::readLogs(
    const QStringList &stations,
    const std::function<void(const QString &, const QString &, const QString &, const QString &)> &row)
{
    // Few stations (the usual case) are asked for by name; many, by reading every row.
    const bool byStation = stations.size() <= kLookupChunk;
    QString sql = QStringLiteral("SELECT LogID, LogType, LogDescribe, LogDate, LogStation FROM Logs WHERE LogID > ?");
    if (byStation)
        sql += QStringLiteral(" AND LogStation IN (") + placeholders(1, stations.size()).mid(1);
    sql += QStringLiteral(" ORDER BY LogID LIMIT %1").arg(kLogPage);
    QSqlQuery q(storeDatabase);
    q.setForwardOnly(true);
    if (!q.prepare(sql))
        return failed(q);
    qint64 after = -1;
    for (;;) {
        q.addBindValue(after);
        if (byStation)
            for (const QString &s : stations)
                q.addBindValue(s);
        if (!q.exec())
            return failed(q);
        int n = 0;
        while (q.next()) {
            ++n;
            after = q.value(0).toLongLong();
            row(q.value(1).toString(), q.value(2).toString(), q.value(3).toString(), q.value(4).toString());
        }
        q.finish();
        if (n < kLogPage)
            return true;
    }
}

bool StationMerge::addLogs(const QVector<LogRow> &rows)
{
    // Each station's head, read once per batch under its chain lock, then carried along.
    QHash<QString, QByteArray> heads;
    for (const LogRow &r : rows) {
        if (heads.contains(r.station))
            continue;
        if (storeIsServer()) {
            QSqlQuery lock(storeDatabase);
            lock.prepare(QStringLiteral("SELECT pg_advisory_xact_lock(?, ?)"));
            lock.addBindValue(lockkeys::kLogChain);
            lock.addBindValue(logchain::stationLockKey(r.station));
            if (!lock.exec())
                return failed(lock);
        }
        logHead_.addBindValue(r.station);
        if (!logHead_.exec())
            return failed(logHead_);
        const QVariant last = logHead_.next() ? logHead_.value(0) : QVariant();
        logHead_.finish();
        heads.insert(r.station, last.isNull() ? logchain::seed() : last.toString().toLatin1());
    }
    for (int at = 0; at < rows.size(); at += kInsertChunk) {
        const int n = qMin(kInsertChunk, rows.size() - at);
        QSqlQuery tail(storeDatabase);
        QSqlQuery &q = n == kInsertChunk ? insertLogs_ : tail;
        if (n != kInsertChunk && !tail.prepare(kInsertLogs + placeholders(n, 6)))
            return failed(tail);
        for (int i = 0; i < n; ++i) {
            const LogRow &r = rows.at(at + i);
            QByteArray &head = heads[r.station];
            head = logchain::rowHash(head, r.type, r.describe, r.date, r.station, r.user);
            q.addBindValue(r.type);
            q.addBindValue(r.describe);
            q.addBindValue(r.date);
            q.addBindValue(r.station);
            // A row that names no person keeps none.
            q.addBindValue(r.user.isEmpty() ? QVariant(QVariant::String) : QVariant(r.user));
            q.addBindValue(QString::fromLatin1(head));
        }
        if (!q.exec())
            return failed(q);
    }
    return true;
}
