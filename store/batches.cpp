// Import batches and what became of their identifiers: counts kept per batch and state by
// triggers, in the same transaction as every change, so a batch reconciles at a glance in
// a pool of millions.
#include "store/datastore.h"
#include "store/storecore.h"

namespace storecore {

// BatchCounts: identifiers of each batch per usage state; Retired 1 counts those deleted
// (moved to RetiredSerials with their batch). Shard spreads the server's stations over
// rows of their own, as the pool's counts do.
QStringList batchCountStatements()
{
    QStringList sql{
        QStringLiteral("CREATE TABLE BatchCounts (BatchID BIGINT NOT NULL, IsUse INTEGER NOT NULL, "
                       "Retired INTEGER NOT NULL, Shard INTEGER NOT NULL, Total BIGINT NOT NULL, "
                       "PRIMARY KEY (BatchID, IsUse, Retired, Shard))"),
        // Is a file imported already? Found by its hash.
        QStringLiteral("CREATE INDEX ImportBatchesByHash ON ImportBatches (FileHash)"),
    };
    if (engine == StoreSettings::SQLite) {
        const QString row = QStringLiteral("INSERT INTO BatchCounts SELECT %1.BatchID, %1.IsUse, %2, 0, %3 WHERE "
                                           "%1.BatchID IS NOT NULL ON CONFLICT (BatchID, IsUse, Retired, Shard) "
                                           "DO UPDATE SET Total=Total%3; ");
        const QString added = row.arg(QStringLiteral("NEW"), QStringLiteral("0"), QStringLiteral("+1"));
        const QString removed = row.arg(QStringLiteral("OLD"), QStringLiteral("0"), QStringLiteral("-1"));
        sql << QStringLiteral("CREATE TRIGGER BatchCountsInsert AFTER INSERT ON SerialNumbers BEGIN %1END").arg(added)
            << QStringLiteral("CREATE TRIGGER BatchCountsDelete AFTER DELETE ON SerialNumbers BEGIN %1END").arg(removed)
            << QStringLiteral("CREATE TRIGGER BatchCountsUpdate AFTER UPDATE OF IsUse, BatchID ON SerialNumbers "
                              "WHEN OLD.IsUse IS NOT NEW.IsUse OR OLD.BatchID IS NOT NEW.BatchID BEGIN %1%2END")
                   .arg(removed, added)
            << QStringLiteral("CREATE TRIGGER BatchCountsRetired AFTER INSERT ON RetiredSerials BEGIN %1END")
                   .arg(row.arg(QStringLiteral("NEW"), QStringLiteral("1"), QStringLiteral("+1")));
    } else {
        const QString upsert = QStringLiteral("ON CONFLICT (BatchID, IsUse, Retired, Shard) "
                                              "DO UPDATE SET Total = BatchCounts.Total + EXCLUDED.Total");
        sql << QStringLiteral(
                   "CREATE OR REPLACE FUNCTION tarnwell_batch_counts() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
                   "IF TG_OP = 'INSERT' THEN "
                   "INSERT INTO BatchCounts SELECT BatchID, IsUse, TG_ARGV[0]::INTEGER, pg_backend_pid() %% 16, "
                   "COUNT(*) FROM added WHERE BatchID IS NOT NULL GROUP BY 1, 2 %1; "
                   "ELSIF TG_OP = 'DELETE' THEN "
                   "INSERT INTO BatchCounts SELECT BatchID, IsUse, 0, pg_backend_pid() %% 16, -COUNT(*) "
                   "FROM removed WHERE BatchID IS NOT NULL GROUP BY 1, 2 %1; "
                   "ELSE "
                   "INSERT INTO BatchCounts SELECT b, u, 0, pg_backend_pid() %% 16, SUM(n) FROM ("
                   "SELECT BatchID b, IsUse u, -1 n FROM removed WHERE BatchID IS NOT NULL UNION ALL "
                   "SELECT BatchID, IsUse, 1 FROM added WHERE BatchID IS NOT NULL) d "
                   "GROUP BY 1, 2 HAVING SUM(n) <> 0 %1; "
                   "END IF; RETURN NULL; END $$")
                   .arg(upsert)
                   .replace(QLatin1String("%%"), QLatin1String("%"))
            << QStringLiteral("CREATE OR REPLACE TRIGGER BatchCountsInsert AFTER INSERT ON SerialNumbers REFERENCING "
                              "NEW TABLE AS added FOR EACH STATEMENT EXECUTE FUNCTION tarnwell_batch_counts('0')")
            << QStringLiteral("CREATE OR REPLACE TRIGGER BatchCountsDelete AFTER DELETE ON SerialNumbers REFERENCING "
                              "OLD TABLE AS removed FOR EACH STATEMENT EXECUTE FUNCTION tarnwell_batch_counts('0')")
            << QStringLiteral("CREATE OR REPLACE TRIGGER BatchCountsUpdate AFTER UPDATE ON SerialNumbers REFERENCING "
                              "OLD TABLE AS removed NEW TABLE AS added FOR EACH STATEMENT "
                              "EXECUTE FUNCTION tarnwell_batch_counts('0')")
            << QStringLiteral("CREATE OR REPLACE TRIGGER BatchCountsRetired AFTER INSERT ON RetiredSerials REFERENCING "
                              "NEW TABLE AS added FOR EACH STATEMENT EXECUTE FUNCTION tarnwell_batch_counts('1')");
    }
    // What earlier imports of this version stored is counted once, now.
    sql << QStringLiteral("INSERT INTO BatchCounts SELECT BatchID, IsUse, 0, 0, COUNT(*) FROM SerialNumbers "
                          "WHERE BatchID IS NOT NULL GROUP BY 1, 2")
        << QStringLiteral("INSERT INTO BatchCounts SELECT BatchID, IsUse, 1, 0, COUNT(*) FROM RetiredSerials "
                          "WHERE BatchID IS NOT NULL GROUP BY 1, 2");
    return sql;
}

} // namespace storecore

using namespace storecore;

bool importBatches(QList<BatchReport> *batches, const QString &fileHash)
{
    const StoreCall call;
    batches->clear();
    const QString where = fileHash.isEmpty() ? QString() : QStringLiteral("WHERE b.FileHash=? ");
    const QVariantList values = fileHash.isEmpty() ? QVariantList() : QVariantList{fileHash};
    if (!run(QStringLiteral("SELECT b.BatchID, b.FileName, b.FileHash, b.BatchDate, b.BatchStation, b.BatchUser, "
                            "c.CustomerName, b.Stored, b.Refused FROM ImportBatches b "
                            "LEFT JOIN Customers c ON c.CustomerID=b.CustomerID %1ORDER BY b.BatchID DESC")
                 .arg(where),
             values))
        return false;
    QHash<qint64, int> at;
    while (storeQuery.next()) {
        BatchReport b;
        b.batchId = storeQuery.value(0).toLongLong();
        b.fileName = storeQuery.value(1).toString();
        b.fileHash = storeQuery.value(2).toString();
        b.date = storeQuery.value(3).toString();
        b.station = storeQuery.value(4).toString();
        b.person = storeQuery.value(5).toString();
        b.customerName = storeQuery.value(6).toString();
        b.stored = storeQuery.value(7).toLongLong();
        b.refused = storeQuery.value(8).toLongLong();
        at.insert(b.batchId, batches->size());
        batches->append(b);
    }
    storeQuery.finish();
    if (batches->isEmpty())
        return true;
    // The counts of every batch at once: a handful of rows per batch, whatever its size.
    if (!run(QStringLiteral("SELECT BatchID, IsUse, Retired, SUM(Total) FROM BatchCounts %1GROUP BY 1, 2, 3")
                 .arg(fileHash.isEmpty() ? QString()
                                         : QStringLiteral("WHERE BatchID IN (SELECT BatchID FROM ImportBatches "
                                                          "WHERE FileHash=?) ")),
             values))
        return false;
    while (storeQuery.next()) {
        const auto it = at.constFind(storeQuery.value(0).toLongLong());
        if (it == at.constEnd())
            continue;
        BatchReport &b = (*batches)[*it];
        const qint64 n = storeQuery.value(3).toLongLong();
        if (storeQuery.value(2).toInt() != 0) {
            b.deleted += n;
            continue;
        }
        switch (storeQuery.value(1).toInt()) {
        case SerialUnused:
            b.unused += n;
            break;
        case SerialUsed:
            b.used += n;
            break;
        case SerialPending:
            b.pending += n;
            break;
        case SerialVoid:
            b.voided += n;
            break;
        case SerialReleased:
            b.released += n;
            break;
        default:
            b.other += n;
        }
    }
    storeQuery.finish();
    return true;
}
