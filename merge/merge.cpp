#include "merge/merge.h"

#include "base/csvfield.h"
#include "store/datastore.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#include <cstring>
#include <unordered_map>
#include <utility>

namespace {

// Values per IN (...) lookup and rows per multi-row INSERT: well inside both engines'
// limits on bound parameters, large enough that a round trip carries real work.
const int kLookupChunk = 500;
const int kInsertChunk = 250;

QString stateName(int isUse)
{
    switch (isUse) {
    case SerialUnused:
        return QStringLiteral("unused");
    case SerialUsed:
        return QStringLiteral("used");
    case SerialPending:
        return QStringLiteral("pending");
    default:
        return QStringLiteral("state %1").arg(isUse);
    }
}

bool knownState(int isUse)
{
    return isUse == SerialUnused || isUse == SerialUsed || isUse == SerialPending;
}

// The store keeps texts, never NULL, in the columns it compares.
QString text(const QVariant &v)
{
    const QString s = v.toString();
    return s.isNull() ? QStringLiteral("") : s;
}

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

QString queryError(const QSqlQuery &q)
{
    return q.lastError().text().trimmed();
}

// One identifier row of the station file, its customer mapped to the target's.
struct FileSerial {
    QString serialNumber;
    qint64 fileCustomerId = 0;
    bool customerKnown = false; // the file has a customer row for fileCustomerId
    QString customerName;
    qint64 targetCustomerId = 0;
    int isUse = SerialUnused;
    QString deviceType;
    QString deviceSerialNum;
    QString deviceIp;
};

// What the target records for an identifier: its strongest row (a burnt one outranks a
// pending one, which outranks an unused one), as the claims read it.
struct TargetSerial {
    bool present = false;
    qint64 customerId = 0;
    int isUse = SerialUnused;
    QString deviceSerialNum;
};

int rank(int isUse)
{
    return isUse == SerialUsed ? 3 : isUse == SerialPending ? 2 : isUse == SerialUnused ? 0 : 1;
}

// What the target records for a device: the identifier it holds (used or pending).
struct Holding {
    QString serialNumber;
    int isUse = SerialUnused;
};

// Log rows are matched on their four texts. The digest of those keeps the memory per row
// small whatever their length; a collision of two different rows is out of reach.
struct LogKey {
    quint64 a = 0;
    quint64 b = 0;
    bool operator==(const LogKey &o) const { return a == o.a && b == o.b; }
};
struct LogKeyHash {
    std::size_t operator()(const LogKey &k) const { return std::size_t(k.a ^ (k.b * 0x9E3779B97F4A7C15ULL)); }
};

LogKey logKey(const QString &type, const QString &describe, const QString &date, const QString &station)
{
    QCryptographicHash h(QCryptographicHash::Md5);
    // Each text with its length ahead, so no split of the texts can read as another.
    for (const QString *s : {&type, &describe, &date, &station}) {
        const QByteArray bytes = s->toUtf8();
        const quint32 n = quint32(bytes.size());
        h.addData(reinterpret_cast<const char *>(&n), sizeof n);
        h.addData(bytes);
    }
    const QByteArray d = h.result();
    LogKey k;
    std::memcpy(&k.a, d.constData(), 8);
    std::memcpy(&k.b, d.constData() + 8, 8);
    return k;
}

// Holds the write lock on a target table for the batch. On the file BEGIN IMMEDIATE has
// taken it already; on the server a station's claim would otherwise slip between the
// lookups and the writes (stations wait for the batch, which is short).
bool lockTable(const QString &table, QString *error)
{
    if (!storeIsServer())
        return true;
    QSqlQuery q(storeDatabase);
    if (!q.exec(QStringLiteral("LOCK TABLE %1 IN SHARE ROW EXCLUSIVE MODE").arg(table))) {
        *error = queryError(q);
        return false;
    }
    return true;
}

// The server chooses between the index and reading the whole table by its statistics; a
// pool that grew by a million rows since they were taken looks small or unknown, and each
// lookup of a chunk then reads the whole table. Taking them costs a fraction of a second
// (a sample), and the stations' claims profit too. Without the right to, the server skips it.
void refreshStatistics(const QString &table)
{
    if (storeIsServer())
        QSqlQuery(storeDatabase).exec(QStringLiteral("ANALYZE %1").arg(table));
}
const qint64 kRowsBetweenStatistics = 100000;

} // namespace

StationMerge::StationMerge(MergeOptions options)
    : options_(std::move(options))
    , connectionName_(QStringLiteral("tarnwell-merge-station"))
{
}

StationMerge::~StationMerge()
{
    station_.close();
    station_ = QSqlDatabase();
    QSqlDatabase::removeDatabase(connectionName_);
}

bool StationMerge::fail(const QString &message)
{
    error_ = message;
    return false;
}

QString StationMerge::fallbackStation() const
{
    return options_.station.isEmpty() ? QFileInfo(options_.stationFile).completeBaseName() : options_.station;
}

bool StationMerge::openStationFile()
{
    const QFileInfo info(options_.stationFile);
    if (!info.exists())
        return fail(QStringLiteral("%1: no such file").arg(options_.stationFile));
    if (!info.isFile())
        return fail(QStringLiteral("%1: not a file").arg(options_.stationFile));
    station_ = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName_);
    station_.setDatabaseName(info.absoluteFilePath());
    // Only read: the station's own record stays exactly as it was.
    station_.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
    if (!station_.open())
        return fail(QStringLiteral("%1: cannot open it: %2").arg(options_.stationFile, station_.lastError().text()));
    const QString notPool = QStringLiteral("%1 is not a Tarnwell pool: ").arg(options_.stationFile);
    {
        QSqlQuery q(station_);
        if (!q.exec(QStringLiteral("SELECT COUNT(*) FROM sqlite_master")))
            return fail(notPool + queryError(q));
    }
    const struct {
        const char *table;
        QStringList columns;
    } required[] = {
        {"SerialNumbers",
         {QStringLiteral("SNID"), QStringLiteral("SerialNumber"), QStringLiteral("CustomerID"), QStringLiteral("IsUse"),
          QStringLiteral("DeviceType"), QStringLiteral("DeviceSerialNum"), QStringLiteral("szIP")}},
        {"Customers", {QStringLiteral("CustomerID"), QStringLiteral("CustomerName")}},
        {"Logs",
         {QStringLiteral("LogID"), QStringLiteral("LogType"), QStringLiteral("LogDescribe"),
          QStringLiteral("LogDate")}},
    };
    for (const auto &t : required) {
        const QSqlRecord record = station_.record(QLatin1String(t.table));
        if (record.isEmpty())
            return fail(notPool + QStringLiteral("it has no table %1").arg(QLatin1String(t.table)));
        for (const QString &column : t.columns)
            if (record.indexOf(column) < 0)
                return fail(notPool
                            + QStringLiteral("its table %1 has no column %2").arg(QLatin1String(t.table), column));
    }
    // Files of versions before the station column have none.
    logsHaveStation_ = station_.record(QStringLiteral("Logs")).indexOf(QStringLiteral("LogStation")) >= 0;
    return true;
}

bool StationMerge::run()
{
    if (!storeDatabase.isOpen())
        return fail(QStringLiteral("the target pool is not open"));
    if (options_.batchSize <= 0)
        options_.batchSize = storeIsServer() ? MergeOptions::kServerBatch : MergeOptions::kFileBatch;
    // The tables the merge writes, as this version makes them (the server folds the names,
    // so the driver's record() cannot be asked).
    for (const char *sql :
         {"SELECT SerialNumber, CustomerID, IsUse, DeviceType, DeviceSerialNum, szIP FROM SerialNumbers",
          "SELECT CustomerID, CustomerName, CustomerValue, CustomerHostAddr, CustomerPort, "
          "CustomerSvrChecked FROM Customers",
          "SELECT LogType, LogDescribe, LogDate, LogStation FROM Logs"}) {
        QSqlQuery q(storeDatabase);
        if (!q.exec(QLatin1String(sql) + QStringLiteral(" WHERE 1=0")))
            return fail(QStringLiteral("the target pool cannot be used (its tables could not be made or read): %1")
                            .arg(queryError(q)));
    }
    if (!mergeCustomers() || !mergeSerials() || !mergeLogs())
        return false;
    return writeReport();
}

bool StationMerge::mergeCustomers()
{
    struct FileCustomer {
        qint64 id;
        QString name;
        QVariant value, host, port, checked;
    };
    QVector<FileCustomer> file;
    {
        const QSqlRecord record = station_.record(QStringLiteral("Customers"));
        auto column = [&](const char *name) {
            return record.indexOf(QLatin1String(name)) >= 0 ? QString::fromLatin1(name) : QStringLiteral("NULL");
        };
        QSqlQuery q(station_);
        q.setForwardOnly(true);
        if (!q.exec(QStringLiteral("SELECT CustomerID, CustomerName, %1, %2, %3, %4 FROM Customers ORDER BY CustomerID")
                        .arg(column("CustomerValue"), column("CustomerHostAddr"), column("CustomerPort"),
                             column("CustomerSvrChecked"))))
            return fail(QStringLiteral("%1: cannot read its customers: %2").arg(options_.stationFile, queryError(q)));
        while (q.next())
            file.append(
                {q.value(0).toLongLong(), q.value(1).toString(), q.value(2), q.value(3), q.value(4), q.value(5)});
        if (q.lastError().isValid())
            return fail(QStringLiteral("%1: cannot read its customers: %2").arg(options_.stationFile, queryError(q)));
    }

    if (!beginBatch())
        return fail(QStringLiteral("cannot write the target's customers (nothing was merged): %1").arg(storeError()));
    auto abandon = [&](const QString &what) {
        rollbackBatch();
        return fail(QStringLiteral("cannot write the target's customers (nothing was merged): %1").arg(what));
    };
    QString why;
    if (!lockTable(QStringLiteral("Customers"), &why))
        return abandon(why);
    auto readTarget = [&](QHash<QString, qint64> *byName) {
        QSqlQuery q(storeDatabase);
        if (!q.exec(QStringLiteral("SELECT CustomerID, CustomerName FROM Customers"))) {
            why = queryError(q);
            return false;
        }
        while (q.next()) {
            byName->insert(q.value(1).toString(), q.value(0).toLongLong());
            targetCustomerNames_.insert(q.value(0).toLongLong(), q.value(1).toString());
        }
        return true;
    };
    QHash<QString, qint64> byName;
    if (!readTarget(&byName))
        return abandon(why);
    QSqlQuery add(storeDatabase);
    add.prepare(QStringLiteral("INSERT INTO Customers (CustomerName, CustomerValue, CustomerHostAddr, CustomerPort, "
                               "CustomerSvrChecked) VALUES (?, ?, ?, ?, ?)"));
    qint64 added = 0;
    for (const FileCustomer &c : file) {
        if (byName.contains(c.name))
            continue;
        add.addBindValue(c.name);
        add.addBindValue(text(c.value));
        add.addBindValue(text(c.host));
        add.addBindValue(c.port.toInt());
        add.addBindValue(c.checked.toInt());
        if (!add.exec())
            return abandon(QStringLiteral("customer \"%1\": %2").arg(c.name, queryError(add)));
        byName.insert(c.name, 0);
        ++added;
    }
    if (added > 0) {
        byName.clear();
        if (!readTarget(&byName))
            return abandon(why);
    }
    if (!commitBatch())
        return fail(QStringLiteral("cannot write the target's customers (nothing was merged): %1").arg(storeError()));
    counts_.customersAdded = added;
    for (const FileCustomer &c : file)
        customers_.insert(c.id, {c.name, byName.value(c.name)});
    return true;
}

bool StationMerge::mergeSerials()
{
    QSqlQuery source(station_);
    source.setForwardOnly(true);
    if (!source.exec(QStringLiteral("SELECT SerialNumber, CustomerID, IsUse, DeviceType, DeviceSerialNum, szIP "
                                    "FROM SerialNumbers ORDER BY SNID")))
        return fail(
            QStringLiteral("%1: cannot read its identifiers: %2").arg(options_.stationFile, queryError(source)));

    // Prepared once: the lookups take a full chunk of values each time (a short one is
    // padded with its last value), the single-row updates are few.
    const QString in = QStringLiteral("(") + placeholders(1, kLookupChunk).mid(1);
    QSqlQuery bySerial(storeDatabase);
    QSqlQuery byDevice(storeDatabase);
    QSqlQuery toState(storeDatabase);
    QSqlQuery pendingToUsed(storeDatabase);
    QSqlQuery insertFull(storeDatabase);
    bySerial.setForwardOnly(true);
    byDevice.setForwardOnly(true);
    const QString insertSql = QStringLiteral("INSERT INTO SerialNumbers (CustomerID, SerialNumber, IsUse, DeviceType, "
                                             "DeviceSerialNum, szIP) VALUES ");
    if (!bySerial.prepare(QStringLiteral("SELECT SerialNumber, CustomerID, IsUse, DeviceSerialNum FROM SerialNumbers "
                                         "WHERE SerialNumber IN ")
                          + in)
        || !byDevice.prepare(QStringLiteral("SELECT DeviceSerialNum, SerialNumber, IsUse FROM SerialNumbers "
                                            "WHERE IsUse<>0 AND DeviceSerialNum IN ")
                             + in)
        // Only an identifier still unused (in every row that holds it) takes the file's state.
        || !toState.prepare(QStringLiteral("UPDATE SerialNumbers SET IsUse=?, DeviceType=?, DeviceSerialNum=?, szIP=? "
                                           "WHERE SerialNumber=? AND IsUse=0"))
        || !pendingToUsed.prepare(QStringLiteral("UPDATE SerialNumbers SET IsUse=1, DeviceType=?, szIP=? "
                                                 "WHERE SerialNumber=? AND IsUse=2 AND DeviceSerialNum=?"))
        || !insertFull.prepare(insertSql + placeholders(kInsertChunk, 6))) {
        QString why;
        for (const QSqlQuery *q : {&bySerial, &byDevice, &toState, &pendingToUsed, &insertFull})
            if (q->lastError().isValid())
                why = queryError(*q);
        return fail(QStringLiteral("cannot prepare the target's statements: %1").arg(why));
    }

    qint64 merged = 0; // file rows in committed batches
    MergeCounts batchCounts;
    QVector<MergeConflict> batchConflicts;
    QString why;

    auto lookup = [&](QSqlQuery &q, const QStringList &values, const std::function<void(QSqlQuery &)> &row) {
        for (int at = 0; at < values.size(); at += kLookupChunk) {
            for (int i = 0; i < kLookupChunk; ++i)
                q.addBindValue(values.at(qMin(at + i, values.size() - 1)));
            if (!q.exec()) {
                why = queryError(q);
                return false;
            }
            while (q.next())
                row(q);
            q.finish();
        }
        return true;
    };

    // Inserts waiting in this batch; written before any update so the writes keep the order
    // in which they were decided (an identifier twice in the file: copied, then updated).
    QVector<const FileSerial *> inserts;
    auto flushInserts = [&]() {
        for (int at = 0; at < inserts.size(); at += kInsertChunk) {
            const int n = qMin(kInsertChunk, inserts.size() - at);
            QSqlQuery tail(storeDatabase);
            QSqlQuery &q = n == kInsertChunk ? insertFull : tail;
            if (n != kInsertChunk && !tail.prepare(insertSql + placeholders(n, 6))) {
                why = queryError(tail);
                return false;
            }
            for (int i = 0; i < n; ++i) {
                const FileSerial &r = *inserts.at(at + i);
                q.addBindValue(r.targetCustomerId);
                q.addBindValue(r.serialNumber);
                q.addBindValue(r.isUse);
                q.addBindValue(r.deviceType);
                q.addBindValue(r.deviceSerialNum);
                q.addBindValue(r.deviceIp);
            }
            if (!q.exec()) {
                why = queryError(q);
                return false;
            }
        }
        inserts.clear();
        return true;
    };
    auto changedOne = [&](QSqlQuery &q) {
        if (!q.exec()) {
            why = queryError(q);
            return false;
        }
        if (q.numRowsAffected() < 1) {
            why = QStringLiteral("an identifier changed in the target during the merge");
            return false;
        }
        return true;
    };

    auto mergeBatch = [&](const QVector<FileSerial> &rows) {
        batchCounts = MergeCounts();
        batchConflicts.clear();
        inserts.clear();
        if (!beginBatch()) {
            why = storeError();
            return false;
        }
        if (!lockTable(QStringLiteral("SerialNumbers"), &why))
            return false;

        QStringList serials;
        QStringList devices;
        {
            QSet<QString> seenSerials, seenDevices;
            for (const FileSerial &r : rows) {
                if (!r.serialNumber.isEmpty() && !seenSerials.contains(r.serialNumber)) {
                    seenSerials.insert(r.serialNumber);
                    serials.append(r.serialNumber);
                }
                if (r.isUse != SerialUnused && !r.deviceSerialNum.isEmpty()
                    && !seenDevices.contains(r.deviceSerialNum)) {
                    seenDevices.insert(r.deviceSerialNum);
                    devices.append(r.deviceSerialNum);
                }
            }
        }
        QHash<QString, TargetSerial> target;
        QHash<QString, Holding> holdings;
        const bool read = lookup(
                              bySerial, serials,
                              [&](QSqlQuery &q) {
            TargetSerial &t = target[q.value(0).toString()];
            const int isUse = q.value(2).toInt();
            if (!t.present || rank(isUse) > rank(t.isUse))
                t = {true, q.value(1).toLongLong(), isUse, q.value(3).toString()};
                              })
            && lookup(byDevice, devices, [&](QSqlQuery &q) {
                   Holding &h = holdings[q.value(0).toString()];
                   const int isUse = q.value(2).toInt();
                   if (h.serialNumber.isEmpty() || rank(isUse) > rank(h.isUse))
                       h = {q.value(1).toString(), isUse};
               });
        if (!read)
            return false;

        for (const FileSerial &r : rows) {
            TargetSerial &t = target[r.serialNumber];
            auto conflict = [&](const QString &reason) {
                batchConflicts.append({r.serialNumber,
                                       r.customerKnown ? r.customerName : QString::number(r.fileCustomerId),
                                       r.deviceSerialNum, stateName(r.isUse), t.present ? t.deviceSerialNum : QString(),
                                       t.present ? stateName(t.isUse) : QStringLiteral("absent"), reason});
                ++batchCounts.conflicts;
            };
            const auto held = holdings.constFind(r.deviceSerialNum);
            const bool deviceHoldsOther = r.isUse != SerialUnused && !r.deviceSerialNum.isEmpty()
                && held != holdings.constEnd() && held->serialNumber != r.serialNumber;
            const QString heldText = deviceHoldsOther
                ? QStringLiteral("device %1 holds %2 (%3) in the target")
                      .arg(r.deviceSerialNum, held->serialNumber, stateName(held->isUse))
                : QString();

            if (r.serialNumber.isEmpty()) {
                conflict(QStringLiteral("the identifier is empty"));
            } else if (!r.customerKnown) {
                conflict(QStringLiteral("customer %1 is not in the station file").arg(r.fileCustomerId));
            } else if (!knownState(r.isUse)) {
                conflict(QStringLiteral("unknown usage state %1 in the station file").arg(r.isUse));
            } else if (!t.present) {
                if (deviceHoldsOther) {
                    conflict(heldText);
                } else {
                    inserts.append(&r);
                    t = {true, r.targetCustomerId, r.isUse, r.deviceSerialNum};
                    if (r.isUse != SerialUnused && !r.deviceSerialNum.isEmpty())
                        holdings.insert(r.deviceSerialNum, {r.serialNumber, r.isUse});
                    ++batchCounts.copied;
                }
            } else if (t.customerId != r.targetCustomerId) {
                conflict(QStringLiteral("it belongs to customer %1 in the target")
                             .arg(targetCustomerNames_.value(t.customerId, QString::number(t.customerId))));
            } else if (r.isUse == SerialUnused) {
                ++batchCounts.present; // the target knows as much or more
            } else if (t.isUse == SerialUnused) {
                // The target must learn the burn, unless its device holds another identifier.
                if (deviceHoldsOther) {
                    conflict(heldText);
                } else {
                    if (!flushInserts())
                        return false;
                    toState.addBindValue(r.isUse);
                    toState.addBindValue(r.deviceType);
                    toState.addBindValue(r.deviceSerialNum);
                    toState.addBindValue(r.deviceIp);
                    toState.addBindValue(r.serialNumber);
                    if (!changedOne(toState))
                        return false;
                    t.isUse = r.isUse;
                    t.deviceSerialNum = r.deviceSerialNum;
                    if (!r.deviceSerialNum.isEmpty())
                        holdings.insert(r.deviceSerialNum, {r.serialNumber, r.isUse});
                    ++batchCounts.updated;
                }
            } else if (t.deviceSerialNum != r.deviceSerialNum) {
                conflict(QStringLiteral("it is %1 for another device in the target").arg(stateName(t.isUse)));
            } else if (r.isUse == SerialUsed && t.isUse == SerialPending) {
                // Claimed for this device in the target; the station saw the write confirmed.
                if (!flushInserts())
                    return false;
                pendingToUsed.addBindValue(r.deviceType);
                pendingToUsed.addBindValue(r.deviceIp);
                pendingToUsed.addBindValue(r.serialNumber);
                pendingToUsed.addBindValue(r.deviceSerialNum);
                if (!changedOne(pendingToUsed))
                    return false;
                t.isUse = SerialUsed;
                holdings.insert(r.deviceSerialNum, {r.serialNumber, SerialUsed});
                ++batchCounts.updated;
            } else {
                ++batchCounts.present;
            }
        }
        if (!flushInserts())
            return false;
        if (!commitBatch()) {
            why = storeError();
            return false;
        }
        return true;
    };

    QVector<FileSerial> rows;
    rows.reserve(options_.batchSize);
    refreshStatistics(QStringLiteral("SerialNumbers"));
    qint64 writtenSinceStatistics = 0;
    bool more = source.next();
    while (more) {
        rows.clear();
        while (more && rows.size() < options_.batchSize) {
            FileSerial r;
            r.serialNumber = text(source.value(0));
            r.fileCustomerId = source.value(1).toLongLong();
            const auto c = customers_.constFind(r.fileCustomerId);
            if (c != customers_.constEnd()) {
                r.customerKnown = true;
                r.customerName = c->name;
                r.targetCustomerId = c->targetId;
            }
            r.isUse = source.value(2).toInt();
            r.deviceType = text(source.value(3));
            r.deviceSerialNum = text(source.value(4));
            r.deviceIp = text(source.value(5));
            rows.append(r);
            more = source.next();
        }
        if (!more && source.lastError().isValid())
            return fail(QStringLiteral("%1: cannot read its identifiers after row %2: %3")
                            .arg(options_.stationFile)
                            .arg(merged + rows.size())
                            .arg(queryError(source)));
        if (!mergeBatch(rows)) {
            rollbackBatch();
            return fail(QStringLiteral("cannot write identifiers %1 to %2 of the station file into the target: %3. "
                                       "Nothing of them was stored (the %4 before them are merged); "
                                       "run the same command again to finish.")
                            .arg(merged + 1)
                            .arg(merged + rows.size())
                            .arg(why)
                            .arg(merged));
        }
        merged += rows.size();
        counts_.copied += batchCounts.copied;
        counts_.present += batchCounts.present;
        counts_.updated += batchCounts.updated;
        counts_.conflicts += batchCounts.conflicts;
        conflicts_ += batchConflicts;
        writtenSinceStatistics += batchCounts.copied;
        if (writtenSinceStatistics >= kRowsBetweenStatistics) {
            refreshStatistics(QStringLiteral("SerialNumbers"));
            writtenSinceStatistics = 0;
        }
    }
    if (writtenSinceStatistics > 0)
        refreshStatistics(QStringLiteral("SerialNumbers"));
    return true;
}

bool StationMerge::mergeLogs()
{
    const QString fallback = fallbackStation();
    const QString stationColumn = logsHaveStation_ ? QStringLiteral("LogStation") : QStringLiteral("NULL");

    // The stations the file's rows will carry; only the target's rows of those can match.
    QStringList stations;
    {
        QSqlQuery q(station_);
        if (!q.exec(QStringLiteral("SELECT DISTINCT %1 FROM Logs").arg(stationColumn)))
            return fail(QStringLiteral("%1: cannot read its log: %2").arg(options_.stationFile, queryError(q)));
        QSet<QString> seen;
        while (q.next()) {
            const QString s = q.value(0).toString();
            seen.insert(s.isEmpty() ? fallback : s);
        }
        stations = seen.values();
    }
    if (stations.isEmpty())
        return true;

    // How often each row is in the target, then in the file: a row the file holds n times
    // is copied until the target holds it n times, so a second run copies nothing and two
    // identical events of one second both arrive.
    struct Seen {
        qint64 target = 0;
        qint64 file = 0;
    };
    std::unordered_map<LogKey, Seen, LogKeyHash> keys;
    {
        // Few stations (the usual case) are asked for by name; many, by reading every row.
        const bool byStation = stations.size() <= kLookupChunk;
        QString sql = QStringLiteral(
            "SELECT LogID, LogType, LogDescribe, LogDate, LogStation FROM Logs WHERE LogID > ?");
        if (byStation)
            sql += QStringLiteral(" AND LogStation IN (") + placeholders(1, stations.size()).mid(1);
        sql += QStringLiteral(" ORDER BY LogID LIMIT 20000");
        QSqlQuery q(storeDatabase);
        q.setForwardOnly(true);
        if (!q.prepare(sql))
            return fail(QStringLiteral("cannot read the target's log: %1").arg(queryError(q)));
        qint64 after = -1;
        for (;;) {
            q.addBindValue(after);
            if (byStation)
                for (const QString &s : stations)
                    q.addBindValue(s);
            if (!q.exec())
                return fail(QStringLiteral("cannot read the target's log: %1").arg(queryError(q)));
            int n = 0;
            while (q.next()) {
                ++n;
                after = q.value(0).toLongLong();
                ++keys[logKey(q.value(1).toString(), q.value(2).toString(), q.value(3).toString(),
                              q.value(4).toString())]
                      .target;
            }
            q.finish();
            if (n < 20000)
                break;
        }
    }

    QSqlQuery source(station_);
    source.setForwardOnly(true);
    if (!source.exec(
            QStringLiteral("SELECT LogType, LogDescribe, LogDate, %1 FROM Logs ORDER BY LogID").arg(stationColumn)))
        return fail(QStringLiteral("%1: cannot read its log: %2").arg(options_.stationFile, queryError(source)));

    const QString insertSql = QStringLiteral("INSERT INTO Logs (LogType, LogDescribe, LogDate, LogStation) VALUES ");
    QSqlQuery insertFull(storeDatabase);
    if (!insertFull.prepare(insertSql + placeholders(kInsertChunk, 4)))
        return fail(QStringLiteral("cannot prepare the target's statements: %1").arg(queryError(insertFull)));

    struct Row {
        QString type, describe, date, station;
    };
    QVector<Row> pending;
    qint64 read = 0;
    auto writePending = [&]() {
        if (pending.isEmpty())
            return true;
        QString why;
        bool ok = beginBatch();
        if (!ok)
            why = storeError();
        for (int at = 0; ok && at < pending.size(); at += kInsertChunk) {
            const int n = qMin(kInsertChunk, pending.size() - at);
            QSqlQuery tail(storeDatabase);
            QSqlQuery &q = n == kInsertChunk ? insertFull : tail;
            if (n != kInsertChunk && !tail.prepare(insertSql + placeholders(n, 4))) {
                why = queryError(tail);
                ok = false;
                break;
            }
            for (int i = 0; i < n; ++i) {
                const Row &r = pending.at(at + i);
                q.addBindValue(r.type);
                q.addBindValue(r.describe);
                q.addBindValue(r.date);
                q.addBindValue(r.station);
            }
            if (!q.exec()) {
                why = queryError(q);
                ok = false;
            }
        }
        if (ok && !commitBatch()) {
            why = storeError();
            ok = false;
        }
        if (!ok) {
            rollbackBatch();
            return fail(QStringLiteral("cannot write log rows into the target: %1. None of the last %2 was stored "
                                       "(%3 log rows are merged); run the same command again to finish.")
                            .arg(why)
                            .arg(pending.size())
                            .arg(counts_.logsCopied));
        }
        counts_.logsCopied += pending.size();
        pending.clear();
        return true;
    };
    while (source.next()) {
        ++read;
        Row r{text(source.value(0)), text(source.value(1)), text(source.value(2)), source.value(3).toString()};
        if (r.station.isEmpty())
            r.station = fallback;
        Seen &seen = keys[logKey(r.type, r.describe, r.date, r.station)];
        if (++seen.file <= seen.target) {
            ++counts_.logsPresent;
            continue;
        }
        pending.append(r);
        if (pending.size() >= options_.batchSize && !writePending())
            return false;
    }
    if (source.lastError().isValid())
        return fail(QStringLiteral("%1: cannot read its log after row %2: %3")
                        .arg(options_.stationFile)
                        .arg(read)
                        .arg(queryError(source)));
    return writePending();
}

bool StationMerge::writeReport()
{
    QSaveFile file(options_.reportPath);
    if (!file.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("cannot write the report %1: %2").arg(options_.reportPath, file.errorString()));
    // RFC 4180 with a byte order mark (spreadsheet programs then read it as UTF-8), CRLF,
    // through the export's writer: no field a spreadsheet would run.
    QByteArray out = "\xEF\xBB\xBF";
    auto row = [&out](const QStringList &cells) {
        for (int i = 0; i < cells.size(); ++i) {
            if (i > 0)
                out += ',';
            const QByteArray field = cells.at(i).toUtf8();
            csvfield::append(out, field.constData(), std::size_t(field.size()));
        }
        out += "\r\n";
    };
    row({QStringLiteral("Identifier"), QStringLiteral("Customer"), QStringLiteral("File device"),
         QStringLiteral("File state"), QStringLiteral("Target device"), QStringLiteral("Target state"),
         QStringLiteral("Reason")});
    for (const MergeConflict &c : conflicts_)
        row({c.serialNumber, c.customer, c.fileDevice, c.fileState, c.targetDevice, c.targetState, c.reason});
    if (file.write(out) != out.size() || !file.commit())
        return fail(QStringLiteral("cannot write the report %1: %2").arg(options_.reportPath, file.errorString()));
    return true;
}
