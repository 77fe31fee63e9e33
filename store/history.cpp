// Import batches, and the history of one value read back through indexes alone: the pool
// row and the retired row by identifier, the batch by key, the events by identifier and by
// device. Never a scan of the log's texts.
#include "store/datastore.h"
#include "store/storecore.h"

#include <QDateTime>
#include <QSet>

using namespace storecore;

namespace {

QString now()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

// A pool row (live or retired) of the value, as the history needs it.
struct PoolRow {
    QString serialNumber;
    QString deviceSerialNum;
    int isUse = SerialUnused;
    qint64 batchId = 0;
    bool retired = false;
    QString date; // retired rows: when and where
    QString station;
};

bool readPoolRows(const QString &sql, const QString &value, bool retired, QList<PoolRow> *rows)
{
    if (!run(sql, {value}))
        return false;
    while (storeQuery.next()) {
        PoolRow r;
        r.serialNumber = storeQuery.value(0).toString();
        r.deviceSerialNum = storeQuery.value(1).toString();
        r.isUse = storeQuery.value(2).toInt();
        r.batchId = storeQuery.value(3).toLongLong();
        r.retired = retired;
        if (retired) {
            r.date = storeQuery.value(4).toString();
            r.station = storeQuery.value(5).toString();
        }
        rows->append(r);
    }
    storeQuery.finish();
    return true;
}

// The "imported" entry of the batch, or none when the row predates batches.
bool importedEntry(qint64 batchId, const QString &serialNumber, QList<HistoryEntry> *entries)
{
    if (batchId <= 0)
        return true;
    if (!run(QStringLiteral("SELECT FileName, BatchDate, BatchStation, BatchUser FROM ImportBatches WHERE BatchID=?"),
             {batchId}))
        return false;
    if (storeQuery.next()) {
        HistoryEntry e;
        e.kind = SerialEventKind::Imported;
        e.detail = storeQuery.value(0).toString();
        e.date = storeQuery.value(1).toString();
        e.station = storeQuery.value(2).toString();
        e.person = storeQuery.value(3).toString();
        e.serialNumber = serialNumber;
        entries->append(e);
    }
    storeQuery.finish();
    return true;
}

} // namespace

qint64 recordImportBatch(const QString &fileName, const QString &fileHash, int customerId)
{
    const StoreCall call;
    const Person person = signedInPerson();
    qint64 id = 0;
    writeInBatch([&] {
        if (!run(QStringLiteral("INSERT INTO ImportBatches (FileName, FileHash, CustomerID, BatchDate, BatchStation, "
                                "BatchUser, Stored, Refused) VALUES (?, ?, ?, ?, ?, ?, 0, 0) RETURNING BatchID"),
                 {fileName, fileHash, customerId, now(), station, person.signedIn() ? person.name : QString()}))
            return false;
        if (storeQuery.next())
            id = storeQuery.value(0).toLongLong();
        storeQuery.finish();
        if (id <= 0)
            fail(QStringLiteral("the store gave the import batch no number"));
        return id > 0;
    });
    return lastStoreCallFailed() ? 0 : id;
}

bool countImportBatch(qint64 batchId, qint64 stored, qint64 refused)
{
    const StoreCall call;
    return writeInBatch([&] {
        return runOne(QStringLiteral("UPDATE ImportBatches SET Stored=?, Refused=? WHERE BatchID=?"),
                      {stored, refused, batchId});
    });
}

bool serialHistory(const QString &value, QList<HistoryEntry> *entries)
{
    const StoreCall call;
    entries->clear();
    QList<PoolRow> rows;
    if (!readPoolRows(QStringLiteral("SELECT SerialNumber, DeviceSerialNum, IsUse, BatchID FROM SerialNumbers "
                                     "WHERE SerialNumber=?"),
                      value, false, &rows)
        || !readPoolRows(QStringLiteral("SELECT SerialNumber, DeviceSerialNum, IsUse, BatchID, RetiredDate, "
                                        "RetiredStation FROM RetiredSerials WHERE SerialNumber=?"),
                         value, true, &rows))
        return false;
    qint64 batchId = 0;
    for (const PoolRow &r : qAsConst(rows))
        batchId = qMax(batchId, r.batchId);
    // The device's own rows, for a device burnt before events were kept; a device holds
    // one identifier at a time, so a few rows say all there is.
    if (!readPoolRows(QStringLiteral("SELECT SerialNumber, DeviceSerialNum, IsUse, BatchID FROM SerialNumbers "
                                     "WHERE DeviceSerialNum=? AND IsUse<>0 LIMIT 20"),
                      value, false, &rows))
        return false;
    if (!importedEntry(batchId, value, entries))
        return false;

    // Two indexed lookups joined: each index gives its rows in EventID order.
    if (!run(QStringLiteral("SELECT EventID, EventKind, EventDate, EventStation, EventUser, SerialNumber, "
                            "DeviceSerialNum, EventDetail, RelatedSerial FROM SerialEvents WHERE SerialNumber=? "
                            "UNION SELECT EventID, EventKind, EventDate, EventStation, EventUser, SerialNumber, "
                            "DeviceSerialNum, EventDetail, RelatedSerial FROM SerialEvents WHERE DeviceSerialNum=? "
                            "ORDER BY EventID"),
             {value, value}))
        return false;
    QSet<QString> named;
    while (storeQuery.next()) {
        HistoryEntry e;
        e.kind = SerialEventKind(storeQuery.value(1).toInt());
        e.date = storeQuery.value(2).toString();
        e.station = storeQuery.value(3).toString();
        e.person = storeQuery.value(4).toString();
        e.serialNumber = storeQuery.value(5).toString();
        e.deviceSerialNum = storeQuery.value(6).toString();
        e.detail = storeQuery.value(7).toString();
        e.related = storeQuery.value(8).toString();
        named.insert(e.serialNumber);
        entries->append(e);
    }
    storeQuery.finish();
    if (lastStoreCallFailed())
        return false;

    // What the pool holds now of rows no event tells of.
    for (const PoolRow &r : qAsConst(rows)) {
        if (named.contains(r.serialNumber))
            continue;
        named.insert(r.serialNumber);
        HistoryEntry e;
        e.kind = SerialEventKind::PoolState;
        e.date = r.date;
        e.station = r.station;
        e.serialNumber = r.serialNumber;
        e.deviceSerialNum = r.deviceSerialNum;
        e.isUse = r.isUse;
        e.retired = r.retired;
        entries->append(e);
    }
    return true;
}
