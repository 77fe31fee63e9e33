// What differs between the two engines: the statements' words, and how the catalogue is
// asked whether a column or an index is there.
#include "store/storecore.h"

#include <QRegularExpression>
#include <QSqlRecord>

namespace storecore {

QString dialect(const QString &sql)
{
    if (engine == StoreSettings::SQLite)
        return sql;
    QString s = sql;
    // "LIMIT offset, count"
    static const QRegularExpression limit(QStringLiteral("LIMIT (\\d+), (\\d+)"));
    s.replace(limit, QStringLiteral("LIMIT \\2 OFFSET \\1"));
    // "INSERT INTO T(Id, A, ...) VALUES(null, ?, ...)": the server numbers the rows itself.
    static const QRegularExpression insertId(
        QStringLiteral("^INSERT INTO (\\w+)\\s*\\(\\w+, (.*?)\\) VALUES\\(null, "));
    s.replace(insertId, QStringLiteral("INSERT INTO \\1 (\\2) VALUES("));
    if (s == QLatin1String("BEGIN IMMEDIATE"))
        s = QStringLiteral("BEGIN");
    return s;
}

bool hasColumn(const QString &table, const QString &column)
{
    if (engine == StoreSettings::SQLite)
        return storeDatabase.record(table).indexOf(column) >= 0;
    // The server driver's record() answers an empty record for these tables, which read as
    // "column missing" and made every start rebuild and recount the count tables. The
    // catalogue resolves the unquoted name as the statements do (folded, on the search path).
    QSqlQuery q(storeDatabase);
    q.prepare(QStringLiteral("SELECT 1 FROM pg_attribute WHERE attrelid = to_regclass(lower(?)) "
                             "AND attname = lower(?) AND attnum > 0 AND NOT attisdropped"));
    q.addBindValue(table);
    q.addBindValue(column);
    return q.exec() && q.next();
}

// True when `sql` makes an index the server already has. The server locks the table for
// CREATE INDEX IF NOT EXISTS before it looks at the name, so a station starting while another
// holds a claim open would wait out the lock timeout once per index.
bool indexExists(const QString &sql)
{
    static const QRegularExpression name(QStringLiteral("^CREATE INDEX IF NOT EXISTS (\\w+) "));
    const QRegularExpressionMatch m = name.match(sql);
    if (engine != StoreSettings::PostgreSQL || !m.hasMatch())
        return false;
    QSqlQuery q(storeDatabase);
    q.prepare(QStringLiteral("SELECT to_regclass(lower(?)) IS NOT NULL"));
    q.addBindValue(m.captured(1));
    return q.exec() && q.next() && q.value(0).toBool();
}

bool objectExists(const QString &name)
{
    QSqlQuery q(storeDatabase);
    q.prepare(engine == StoreSettings::PostgreSQL
                  ? QStringLiteral("SELECT to_regclass(lower(?)) IS NOT NULL")
                  : QStringLiteral("SELECT EXISTS (SELECT 1 FROM sqlite_master WHERE name = ? COLLATE NOCASE)"));
    q.addBindValue(name);
    return q.exec() && q.next() && q.value(0).toBool();
}

} // namespace storecore
