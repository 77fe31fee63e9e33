// The import's bulk writes: new values in chunks, and rows of an exported pool with their
// state and device.
#include "store/datastore.h"
#include "store/lockkeys.h"
#include "store/storecore.h"

#include <QSet>

#include <algorithm>

using namespace storecore;

namespace {

// one furthest along (used, pending, retired, unused).
enum class Held {
    Unused = 1,
    Retired = 2,
    Pending = 3,
    Used = 4,
};

Held heldAs(int isUse)
{
    // A released identifier is free as an unused one is; a void one, or a state this build
    // does not know, counts with the used ones. Either way the value is held: never stored again.
    return isUse == SerialUnused || isUse == SerialReleased ? Held::Unused
        : isUse == SerialPending                            ? Held::Pending
                                                            : Held::Used;
}

void hold(QHash<QString, Held> *held, const QString &value, Held state)
{
    auto it = held->find(value);
    if (it == held->end())
        held->insert(value, state);
    else if (int(state) > int(it.value()))
        it.value() = state;
}

void tallyHeld(const QHash<QString, Held> &held, NewSerialsTally *tally)
{
    for (const Held state : held) {
        switch (state) {
        case Held::Unused:
            ++tally->unused;
            break;
        case Held::Retired:
            ++tally->retired;
            break;
        case Held::Pending:
            ++tally->pending;
            break;
        case Held::Used:
            ++tally->used;
            break;
        }
    }
}

// Of values [from, from + n), those the pool holds (any customer) or has retired, with
// their state. `others` leaves out the rows this transaction stored itself (the server's
// lookup after its insert).
bool heldSerials(const QStringList &values, int from, int n, bool others, QHash<QString, Held> *held)
{
    const QString list = placeholders(n, QStringLiteral("?"));
    const QString inPool = QStringLiteral("SELECT SerialNumber, IsUse FROM SerialNumbers WHERE SerialNumber IN (%1)%2")
                               .arg(list,
                                    others ? QStringLiteral(" AND xmin <> pg_current_xact_id()::xid") : QString());
    QSqlQuery *query = execChunk(inPool, values, from, n);
    if (!query)
        return false;
    while (query->next())
        hold(held, query->value(0).toString(), heldAs(query->value(1).toInt()));
    query->finish();
    const QString retired =
        QStringLiteral("SELECT SerialNumber FROM RetiredSerials WHERE SerialNumber IN (%1)").arg(list);
    if (!(query = execChunk(retired, values, from, n)))
        return false;
    while (query->next())
        hold(held, query->value(0).toString(), Held::Retired);
    query->finish();
    return true;
}

bool presentSerials(const QStringList &values, QHash<QString, Held> *held)
{
    held->clear();
    for (int from = 0; from < values.size(); from += kChunk)
        if (!heldSerials(values, from, qMin(kChunk, values.size() - from), false, held))
            return false;
    return true;
}

bool insertSerials(const QStringList &values, int customerId, const QVariant &batch)
{
    for (int from = 0; from < values.size(); from += kChunk) {
        const int n = qMin(kChunk, values.size() - from);
        const QString sql = QStringLiteral("INSERT INTO SerialNumbers(CustomerID, SerialNumber, IsUse, DeviceType, "
                                           "DeviceSerialNum, szIP, BatchID) VALUES %1")
                                .arg(placeholders(n, QStringLiteral("(%1, ?, 0, '', '', '', ?)").arg(customerId)));
        const int stored = runChunk(sql, values, from, n, batch);
        if (stored < 0)
            return false;
        if (stored != n) {
            failureText = QStringLiteral("%1 of %2 identifiers were stored").arg(stored).arg(n);
            return false;
        }
    }
    return true;
}

// On the server, import batches of all stations take turns: the lock is held until the
// batch's transaction ends.
bool takeImportTurn()
{
    const bool taken = run(QStringLiteral("SELECT pg_advisory_xact_lock(?)"), {lockkeys::kImport});
    storeQuery.finish();
    return taken;
}

// The server's form: one statement per chunk stores the values the pool has never held,
// in their order. Imports on several stations take turns by batch (a lock the
// transaction holds until it ends): without it two stations importing the same file
// would each find a value missing and both store it. Only a chunk that stored fewer than
// it was given is looked up again, to say why; an import of new values costs nothing more.
bool insertNewSerialsOnServer(const QStringList &values, int customerId, NewSerialsTally *tally, const QVariant &batch)
{
    if (!takeImportTurn())
        return false;
    for (int from = 0; from < values.size(); from += kChunk) {
        const int n = qMin(kChunk, values.size() - from);
        QStringList rows;
        rows.reserve(n);
        for (int i = 0; i < n; ++i)
            rows << QStringLiteral("(?, %1, CAST(? AS BIGINT))").arg(i);
        const QString sql = QStringLiteral(
                                "INSERT INTO SerialNumbers(CustomerID, SerialNumber, IsUse, DeviceType, "
                                "DeviceSerialNum, szIP, BatchID) SELECT %1, v.x, 0, '', '', '', v.b "
                                "FROM (VALUES %2) AS v(x, n, b) WHERE NOT EXISTS (SELECT 1 FROM SerialNumbers s WHERE "
                                "s.SerialNumber = v.x) AND NOT EXISTS (SELECT 1 FROM RetiredSerials r "
                                "WHERE r.SerialNumber = v.x) ORDER BY v.n")
                                .arg(customerId)
                                .arg(rows.join(QLatin1Char(',')));
        const int added = runChunk(sql, values, from, n, batch);
        if (added < 0)
            return false;
        if (added > n) {
            failureText = QStringLiteral("the server reported %1 of %2 identifiers stored").arg(added).arg(n);
            return false;
        }
        tally->stored += added;
        if (added == n)
            continue;
        QHash<QString, Held> held;
        if (!heldSerials(values, from, n, true, &held))
            return false;
        tallyHeld(held, tally);
        // A value left out but found nowhere else was given twice: this statement stored it.
        tally->unused += qMax<qint64>(0, n - added - held.size());
    }
    return true;
}

// The BatchID bound beside each value: NULL for values of no batch.
QVariant batchValue(qint64 batchId)
{
    return batchId > 0 ? QVariant(batchId) : QVariant(QVariant::LongLong);
}

} // namespace

bool storeNewSerials(const QStringList &values, int customerId, NewSerialsTally *tally, qint64 batchId)
{
    const StoreCall call;
    *tally = NewSerialsTally();
    if (engine == StoreSettings::PostgreSQL)
        return insertNewSerialsOnServer(values, customerId, tally, batchValue(batchId));
    // The file: the batch holds the write lock, so what the lookup finds missing is still
    // missing when it is stored.
    QHash<QString, Held> held;
    if (!presentSerials(values, &held))
        return false;
    QStringList fresh;
    fresh.reserve(values.size());
    for (const QString &value : values)
        if (!held.contains(value))
            fresh.append(value);
    if (!insertSerials(fresh, customerId, batchValue(batchId)))
        return false;
    tally->stored = fresh.size();
    tallyHeld(held, tally);
    return true;
}

namespace {

// A device holds its used or pending identifier; a void or released one it does not.
bool holds(int isUse)
{
    return isUse == SerialUsed || isUse == SerialPending;
}

// What the pool holds of one identifier, as storeStatedSerials sees it.
struct Holding {
    bool present = false;
    int isUse = SerialUnused; // a row in any other state outranks unused ones
    QString deviceSerialNum;
};

// Runs `sql` (a lookup with one IN list) over `values` chunk by chunk; `take` gets each row.
bool lookupChunks(const QString &sqlOfList, const QStringList &values,
                  const std::function<void(const QSqlQuery &)> &take)
{
    for (int from = 0; from < values.size(); from += kChunk) {
        const int n = qMin(kChunk, values.size() - from);
        const QString sql = sqlOfList.arg(placeholders(n, QStringLiteral("?")));
        QSqlQuery *query = execChunk(sql, values, from, n);
        if (!query)
            return false;
        while (query->next())
            take(*query);
        query->finish();
    }
    return true;
}

} // namespace

bool storeStatedSerials(const QList<StatedSerial> &rows, QVector<StatedOutcome> *outcomes, qint64 batchId)
{
    const StoreCall call;
    outcomes->clear();
    if (rows.isEmpty())
        return true;
    QStringList values;
    QStringList devices;
    {
        QSet<QString> seenValues;
        QSet<QString> seenDevices;
        for (const StatedSerial &r : rows) {
            if (!seenValues.contains(r.serialNumber)) {
                seenValues.insert(r.serialNumber);
                values.append(r.serialNumber);
            }
            if (!r.deviceSerialNum.isEmpty() && !seenDevices.contains(r.deviceSerialNum)) {
                seenDevices.insert(r.deviceSerialNum);
                devices.append(r.deviceSerialNum);
            }
        }
    }
    if (engine == StoreSettings::PostgreSQL) {
        // Imports take turns (storeNewSerials' lock), and claims for these devices wait
        // until the batch ends, so what the lookups find still holds when it is written.
        if (!takeImportTurn())
            return false;
        // The claim's own per-device lock (lockDevice), a chunk of devices per statement.
        std::sort(devices.begin(), devices.end());
        if (!lookupChunks(QStringLiteral("SELECT pg_advisory_xact_lock(hashtext(x)) FROM unnest(ARRAY[%1]::text[]) "
                                         "WITH ORDINALITY AS u(x, n) ORDER BY n"),
                          devices, [](const QSqlQuery &) {}))
            return false;
    }

    QHash<QString, int> customerIds;
    if (!run(QStringLiteral("SELECT CustomerID, CustomerName FROM Customers")))
        return false;
    while (storeQuery.next())
        customerIds.insert(storeQuery.value(1).toString(), storeQuery.value(0).toInt());
    storeQuery.finish();

    QHash<QString, Holding> held;
    const bool valuesRead = lookupChunks(
        QStringLiteral("SELECT SerialNumber, IsUse, DeviceSerialNum FROM SerialNumbers WHERE SerialNumber IN (%1)"),
        values, [&held](const QSqlQuery &q) {
            Holding &h = held[q.value(0).toString()];
            h.present = true;
            const int isUse = q.value(1).toInt();
            if (h.isUse == SerialUnused && isUse != SerialUnused) {
                h.isUse = isUse;
                h.deviceSerialNum = q.value(2).toString();
            }
        });
    QSet<QString> retired;
    const bool retiredRead = valuesRead
        && lookupChunks(QStringLiteral("SELECT SerialNumber FROM RetiredSerials WHERE SerialNumber IN (%1)"), values,
                        [&retired](const QSqlQuery &q) { retired.insert(q.value(0).toString()); });
    QHash<QString, QString> deviceHolds; // device serial -> the identifier it holds
    const bool devicesRead = retiredRead
        && lookupChunks(QStringLiteral("SELECT DeviceSerialNum, SerialNumber FROM SerialNumbers "
                                       "WHERE DeviceSerialNum IN (%1) AND IsUse IN (1, 2)"),
                        devices, [&deviceHolds](const QSqlQuery &q) {
                            deviceHolds.insert(q.value(0).toString(), q.value(1).toString());
                        });
    if (!devicesRead)
        return false;

    outcomes->reserve(rows.size());
    for (const StatedSerial &r : rows) {
        Holding &h = held[r.serialNumber];
        const auto customer = customerIds.constFind(r.customerName);
        StatedOutcome outcome;
        if (retired.contains(r.serialNumber)) {
            outcome = StatedOutcome::Retired;
        } else if (h.isUse != SerialUnused) {
            outcome = h.deviceSerialNum == r.deviceSerialNum ? StatedOutcome::Present : StatedOutcome::OtherDevice;
        } else if (holds(r.isUse) && !r.deviceSerialNum.isEmpty() && deviceHolds.contains(r.deviceSerialNum)) {
            outcome = StatedOutcome::DeviceHolds;
        } else if (h.present) {
            // Unused here: the pool learns the burn. The customer stays the pool's own; a value
            // is never moved between customers.
            if (!run(QStringLiteral("UPDATE SerialNumbers SET IsUse=?, DeviceType=?, DeviceSerialNum=?, szIP=? "
                                    "WHERE IsUse=0 AND SerialNumber=? "
                                    "AND NOT EXISTS (SELECT 1 FROM SerialNumbers WHERE SerialNumber=? AND IsUse<>0)"),
                     {r.isUse, r.deviceType, r.deviceSerialNum, r.deviceIp, r.serialNumber, r.serialNumber}))
                return false;
            const int changed = storeQuery.numRowsAffected();
            storeQuery.finish();
            // None changed: a station claimed it meanwhile (the server), for some device.
            outcome = changed > 0 ? StatedOutcome::Learned : StatedOutcome::OtherDevice;
        } else if (customer == customerIds.constEnd()) {
            outcome = StatedOutcome::UnknownCustomer;
        } else {
            if (!runOne(QStringLiteral("INSERT INTO SerialNumbers(CustomerID, SerialNumber, IsUse, DeviceType, "
                                       "DeviceSerialNum, szIP, BatchID) VALUES(?, ?, ?, ?, ?, ?, ?)"),
                        {customer.value(), r.serialNumber, r.isUse, r.deviceType, r.deviceSerialNum, r.deviceIp,
                         batchValue(batchId)}))
                return false;
            storeQuery.finish();
            outcome = StatedOutcome::Stored;
        }
        if (outcome == StatedOutcome::Stored || outcome == StatedOutcome::Learned) {
            h.present = true;
            h.isUse = r.isUse;
            h.deviceSerialNum = r.deviceSerialNum;
            if (holds(r.isUse) && !r.deviceSerialNum.isEmpty())
                deviceHolds.insert(r.deviceSerialNum, r.serialNumber);
        }
        outcomes->append(outcome);
    }
    return true;
}
