// The count tables kept beside the pool and the log, their triggers, and finding the block
// of keys a page lies in.
#include "store/storecore.h"

#include <QSqlQuery>

namespace storecore {

// Counts kept beside the pool, so a count is a sum over a handful of rows however large the
// pool grows: rows of the pool per (customer, usage, device type), and rows of the log.
// Triggers keep them in the same transaction as every change, whoever makes it (an older
// build writing the file included), so they are right after a crash too. Shard spreads
// the server's stations over rows of their own, so concurrent claims do not queue on one
// counter row; a count adds up the shards. FirstKey splits the counts by blocks of keys
// (SNID, LogID), so a jump to a page in the middle of ten million rows finds its block by
// adding up counts and skips rows only inside that block.
QStringList countTables()
{
    return {
        QStringLiteral("CREATE TABLE IF NOT EXISTS SerialCounts (CustomerID INTEGER NOT NULL, IsUse INTEGER NOT NULL, "
                       "DeviceType VARCHAR NOT NULL, FirstKey BIGINT NOT NULL, Shard INTEGER NOT NULL, "
                       "Total BIGINT NOT NULL, PRIMARY KEY (CustomerID, IsUse, DeviceType, FirstKey, Shard))"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS LogCounts (FirstKey BIGINT NOT NULL, Shard INTEGER NOT NULL, "
                       "Total BIGINT NOT NULL, PRIMARY KEY (FirstKey, Shard))"),
    };
}

// Keys per block: 65536 by default, so ten million rows make about 150 blocks. A test
// may make them tiny to cross many blocks with a few rows; readers never assume a size
// (they take the blocks as the table lists them), so a file keeps working whatever size
// its triggers were made with.
int countBlockBits()
{
    bool ok = false;
    const int bits = qEnvironmentVariableIntValue("TARNWELL_COUNT_BLOCK_BITS", &ok);
    return ok && bits >= 0 && bits <= 40 ? bits : 16;
}

// The first key of the block `key` lies in, as SQL.
QString firstKeyOf(const QString &key)
{
    return QStringLiteral("((%1 >> %2) << %2)").arg(key).arg(countBlockBits());
}

QStringList countTriggers()
{
    if (engine == StoreSettings::SQLite) {
        const QString upsert = QStringLiteral(
            "ON CONFLICT (CustomerID, IsUse, DeviceType, FirstKey, Shard) DO UPDATE SET Total=Total%1; ");
        const QString serialRow = QStringLiteral(
            "INSERT INTO SerialCounts VALUES(%1.CustomerID, %1.IsUse, IFNULL(%1.DeviceType, ''), %2, 0, %3) ");
        const QString logRow = QStringLiteral(
            "INSERT INTO LogCounts VALUES(%1, 0, %2) ON CONFLICT (FirstKey, Shard) DO UPDATE SET Total=Total%2; ");
        const QString added = serialRow.arg(QStringLiteral("NEW"), firstKeyOf(QStringLiteral("NEW.SNID")),
                                            QStringLiteral("1"))
            + upsert.arg(QStringLiteral("+1"));
        const QString removed = serialRow.arg(QStringLiteral("OLD"), firstKeyOf(QStringLiteral("OLD.SNID")),
                                              QStringLiteral("-1"))
            + upsert.arg(QStringLiteral("-1"));
        return {
            QStringLiteral("CREATE TRIGGER SerialCountsInsert AFTER INSERT ON SerialNumbers BEGIN %1END").arg(added),
            QStringLiteral("CREATE TRIGGER SerialCountsDelete AFTER DELETE ON SerialNumbers BEGIN %1END").arg(removed),
            QStringLiteral("CREATE TRIGGER SerialCountsUpdate AFTER UPDATE OF SNID, CustomerID, IsUse, DeviceType "
                           "ON SerialNumbers WHEN OLD.CustomerID IS NOT NEW.CustomerID OR OLD.IsUse IS NOT NEW.IsUse "
                           "OR IFNULL(OLD.DeviceType, '') IS NOT IFNULL(NEW.DeviceType, '') OR %1 IS NOT %2 "
                           "BEGIN %3%4END")
                .arg(firstKeyOf(QStringLiteral("OLD.SNID")), firstKeyOf(QStringLiteral("NEW.SNID")), removed, added),
            QStringLiteral("CREATE TRIGGER LogCountsInsert AFTER INSERT ON Logs BEGIN %1END")
                .arg(logRow.arg(firstKeyOf(QStringLiteral("NEW.LogID")), QStringLiteral("+1"))),
            QStringLiteral("CREATE TRIGGER LogCountsDelete AFTER DELETE ON Logs BEGIN %1END")
                .arg(logRow.arg(firstKeyOf(QStringLiteral("OLD.LogID")), QStringLiteral("-1"))),
        };
    }
    // The server counts a whole statement's rows at once (an import inserts thousands).
    const QString shard = QStringLiteral("pg_backend_pid() % 16");
    const QString upsert = QStringLiteral("ON CONFLICT (CustomerID, IsUse, DeviceType, FirstKey, Shard) "
                                          "DO UPDATE SET Total = SerialCounts.Total + EXCLUDED.Total");
    const QString block = firstKeyOf(QStringLiteral("SNID"));
    const QString logBlock = firstKeyOf(QStringLiteral("LogID"));
    return {
        QStringLiteral(
            "CREATE OR REPLACE FUNCTION tarnwell_serial_counts() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
            "IF TG_OP = 'INSERT' THEN "
            "INSERT INTO SerialCounts SELECT CustomerID, IsUse, COALESCE(DeviceType, ''), %3, %1, COUNT(*) "
            "FROM added GROUP BY 1, 2, 3, 4 %2; "
            "ELSIF TG_OP = 'DELETE' THEN "
            "INSERT INTO SerialCounts SELECT CustomerID, IsUse, COALESCE(DeviceType, ''), %3, %1, -COUNT(*) "
            "FROM removed GROUP BY 1, 2, 3, 4 %2; "
            "ELSE "
            "INSERT INTO SerialCounts SELECT k, u, t, f, %1, SUM(n) FROM ("
            "SELECT CustomerID k, IsUse u, COALESCE(DeviceType, '') t, %3 f, -1 n FROM removed UNION ALL "
            "SELECT CustomerID, IsUse, COALESCE(DeviceType, ''), %3, 1 FROM added) d "
            "GROUP BY 1, 2, 3, 4 HAVING SUM(n) <> 0 %2; "
            "END IF; RETURN NULL; END $$")
            .arg(shard, upsert, block),
        QStringLiteral("CREATE OR REPLACE FUNCTION tarnwell_log_counts() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
                       "IF TG_OP = 'INSERT' THEN "
                       "INSERT INTO LogCounts SELECT %2, %1, COUNT(*) FROM added GROUP BY 1 "
                       "ON CONFLICT (FirstKey, Shard) DO UPDATE SET Total = LogCounts.Total + EXCLUDED.Total; "
                       "ELSE "
                       "INSERT INTO LogCounts SELECT %2, %1, -COUNT(*) FROM removed GROUP BY 1 "
                       "ON CONFLICT (FirstKey, Shard) DO UPDATE SET Total = LogCounts.Total + EXCLUDED.Total; "
                       "END IF; RETURN NULL; END $$")
            .arg(shard, logBlock),
        QStringLiteral(
            "CREATE OR REPLACE TRIGGER SerialCountsInsert AFTER INSERT ON SerialNumbers REFERENCING NEW TABLE "
            "AS added FOR EACH STATEMENT EXECUTE FUNCTION tarnwell_serial_counts()"),
        QStringLiteral(
            "CREATE OR REPLACE TRIGGER SerialCountsDelete AFTER DELETE ON SerialNumbers REFERENCING OLD TABLE "
            "AS removed FOR EACH STATEMENT EXECUTE FUNCTION tarnwell_serial_counts()"),
        QStringLiteral(
            "CREATE OR REPLACE TRIGGER SerialCountsUpdate AFTER UPDATE ON SerialNumbers REFERENCING OLD TABLE "
            "AS removed NEW TABLE AS added FOR EACH STATEMENT EXECUTE FUNCTION tarnwell_serial_counts()"),
        QStringLiteral("CREATE OR REPLACE TRIGGER LogCountsInsert AFTER INSERT ON Logs REFERENCING NEW TABLE AS added "
                       "FOR EACH STATEMENT EXECUTE FUNCTION tarnwell_log_counts()"),
        QStringLiteral(
            "CREATE OR REPLACE TRIGGER LogCountsDelete AFTER DELETE ON Logs REFERENCING OLD TABLE AS removed "
            "FOR EACH STATEMENT EXECUTE FUNCTION tarnwell_log_counts()"),
    };
}

// True when both count tables have the shape this version reads (a file or a server of
// the version before counted without blocks).
bool countsHaveBlocks()
{
    return hasColumn(QStringLiteral("SerialCounts"), QStringLiteral("FirstKey"))
        && hasColumn(QStringLiteral("LogCounts"), QStringLiteral("FirstKey"));
}

// True when the file's count tables can be trusted without counting (the file only).
bool countsKept()
{
    // The triggers live in the file itself, so every writer through SQLite (this program,
    // an older build, the sqlite3 shell) keeps the counts in its own transaction, and a
    // crash loses both or neither. They can only go wrong without their triggers, which a
    // hand or an older build that rebuilt the schema may have dropped. Counting ten million
    // rows at every start instead would cost seconds on a cold disk.
    if (!countsHaveBlocks())
        return false;
    QSqlQuery q(storeDatabase);
    if (!q.exec(QStringLiteral("SELECT NOT EXISTS (SELECT 1 FROM SerialCounts WHERE Total < 0) "
                               "AND NOT EXISTS (SELECT 1 FROM LogCounts WHERE Total < 0) "
                               "AND (SELECT COUNT(*) FROM sqlite_master WHERE type='trigger' AND name IN "
                               "('SerialCountsInsert', 'SerialCountsDelete', 'SerialCountsUpdate', 'LogCountsInsert', "
                               "'LogCountsDelete')) = 5"))
        || !q.next())
        return false;
    return q.value(0).toInt() == 1;
}

// Makes the count tables and their triggers, and counts from scratch when the tables are
// new or in doubt. One transaction: no other writer can slip a change in between.
QStringList countStatements()
{
    // Tables and triggers are made anew: those of an earlier version have another shape.
    QStringList sql;
    if (engine != StoreSettings::PostgreSQL)
        for (const char *name :
             {"SerialCountsInsert", "SerialCountsDelete", "SerialCountsUpdate", "LogCountsInsert", "LogCountsDelete"})
            sql << QStringLiteral("DROP TRIGGER IF EXISTS %1").arg(QLatin1String(name));
    sql << QStringLiteral("DROP TABLE IF EXISTS SerialCounts") << QStringLiteral("DROP TABLE IF EXISTS LogCounts");
    sql << countTables() << countTriggers();
    sql << QStringLiteral("INSERT INTO SerialCounts SELECT CustomerID, IsUse, COALESCE(DeviceType, ''), %1, 0, "
                          "COUNT(*) FROM SerialNumbers GROUP BY 1, 2, 3, 4")
               .arg(firstKeyOf(QStringLiteral("SNID")))
        << QStringLiteral("INSERT INTO LogCounts SELECT %1, 0, COUNT(*) FROM Logs GROUP BY 1")
               .arg(firstKeyOf(QStringLiteral("LogID")));
    return sql;
}

void prepareCounts()
{
    const bool server = engine == StoreSettings::PostgreSQL;
    if (server ? countsHaveBlocks() : countsKept())
        return;
    if (!control(QStringLiteral("BEGIN IMMEDIATE")))
        return;
    bool ok = true;
    for (const QString &one : countStatements())
        ok = ok && QSqlQuery(storeDatabase).exec(one);
    control(ok ? QStringLiteral("COMMIT") : QStringLiteral("ROLLBACK"));
}

// Where the row at position `from` (0 = the newest) lies: `blocks` lists each block's
// first key and its count, newest block first. Gives the first key of the block above it
// (the rows below that key, newest first, start with the block's own) and how many rows
// the blocks above hold. False when the counts do not reach that far.
bool findBlock(const QList<QPair<qint64, qint64>> &blocks, qint64 from, qint64 *below, qint64 *above, bool *bounded)
{
    qint64 before = 0;
    for (int i = 0; i < blocks.size(); ++i) {
        if (before + blocks.at(i).second > from) {
            *bounded = i > 0;
            *below = i > 0 ? blocks.at(i - 1).first : 0;
            *above = before;
            return true;
        }
        before += blocks.at(i).second;
    }
    return false;
}

QList<QPair<qint64, qint64>> blocksOf(const QString &sql, const QVariantList &values)
{
    QList<QPair<qint64, qint64>> blocks;
    if (run(sql, values))
        while (storeQuery.next())
            blocks.append({storeQuery.value(0).toLongLong(), storeQuery.value(1).toLongLong()});
    storeQuery.finish();
    return blocks;
}

} // namespace storecore
