// The hour counts a report reads, and the triggers that keep them.
#include "store/datastore.h"
#include "store/storecore.h"

namespace storecore {

namespace {

// The kinds a report counts: write tries, confirmations, and why a device got nothing.
const QLatin1String kReportKinds("3, 4, 5, 6, 13, 16, 17");

// What the events of `source` (aliased a: the new rows, or the whole table) add to the hour
// counts, one row per hour, station, person, kind and cause. A device's first write try
// and first confirmation are told by the events before it (an index lookup by device), so
// the counts say unique devices whatever station wrote it before.
QString hourCountSelect(const QString &source)
{
    const QString before = QStringLiteral("SELECT 1 FROM SerialEvents p WHERE p.DeviceSerialNum = a.DeviceSerialNum "
                                          "AND p.EventKind IN (%1) AND p.EventID < a.EventID");
    const QString firstTry =
        QStringLiteral("a.EventKind IN (3, 4) AND NOT EXISTS (%1)").arg(before.arg(QLatin1String("3, 4")));
    const QString firstConfirm =
        QStringLiteral("a.EventKind IN (5, 13) AND NOT EXISTS (%1)").arg(before.arg(QLatin1String("5, 13")));
    const QString triedOnce = QStringLiteral(
        "(SELECT COUNT(*) FROM SerialEvents p WHERE p.DeviceSerialNum = "
        "a.DeviceSerialNum AND p.EventKind IN (3, 4) AND p.EventID < a.EventID) = 1");
    return QStringLiteral("SELECT SUBSTR(a.EventDate, 1, 13), COALESCE(a.EventStation, ''), COALESCE(a.EventUser, ''), "
                          "a.EventKind, CASE WHEN a.EventKind IN (4, 16, 17) THEN COALESCE(a.EventDetail, '') "
                          "WHEN a.EventKind = 6 AND COALESCE(a.EventDetail, '') = '' THEN 'silent' "
                          "WHEN a.EventKind = 6 THEN 'differs' ELSE '' END, COUNT(*), "
                          "SUM(CASE WHEN (%2) OR (%3) THEN 1 ELSE 0 END), SUM(CASE WHEN (%3) AND %4 THEN 1 ELSE 0 END) "
                          "FROM %1 a WHERE a.EventKind IN (%5) GROUP BY 1, 2, 3, 4, 5")
        .arg(source, firstTry, firstConfirm, triedOnce, kReportKinds);
}

const QLatin1String kHourUpsert("ON CONFLICT (Hour, Station, Person, EventKind, Cause) DO UPDATE SET "
                                "Events = EventHours.Events + EXCLUDED.Events, "
                                "Devices = EventHours.Devices + EXCLUDED.Devices, "
                                "FirstPass = EventHours.FirstPass + EXCLUDED.FirstPass");
const QLatin1String
    kStockUpsert("ON CONFLICT (Hour, CustomerID, Shard) DO UPDATE SET "
                 "Added = StockHours.Added + EXCLUDED.Added, Taken = StockHours.Taken + EXCLUDED.Taken");

// Stock is what a Burn can still claim: unused and released identifiers.
const QLatin1String kInStock("IN (0, 4)");

QString sqliteStatements(QStringList *sql)
{
    const QString hour = QStringLiteral("STRFTIME('%Y-%m-%d %H', 'now', 'localtime')");
    const QString newEvent = QStringLiteral(
        "(SELECT NEW.EventID AS EventID, NEW.EventDate AS EventDate, NEW.EventStation AS EventStation, "
        "NEW.EventUser AS EventUser, NEW.EventKind AS EventKind, NEW.EventDetail AS EventDetail, "
        "NEW.DeviceSerialNum AS DeviceSerialNum)");
    *sql << QStringLiteral("CREATE TRIGGER EventHoursInsert AFTER INSERT ON SerialEvents WHEN NEW.EventKind IN (%1) "
                           "BEGIN INSERT INTO EventHours %2 %3; END")
                .arg(kReportKinds, hourCountSelect(newEvent), kHourUpsert);
    const QString change = QStringLiteral(
        "INSERT INTO StockHours SELECT %1, %2.CustomerID, 0, %3, %4 WHERE %2.IsUse %5 %6; ");
    const QString added = change.arg(hour, QStringLiteral("NEW"), QStringLiteral("1"), QStringLiteral("0"), kInStock,
                                     kStockUpsert);
    const QString taken = change.arg(hour, QStringLiteral("OLD"), QStringLiteral("0"), QStringLiteral("1"), kInStock,
                                     kStockUpsert);
    *sql << QStringLiteral("CREATE TRIGGER StockHoursInsert AFTER INSERT ON SerialNumbers WHEN NEW.IsUse %1 "
                           "BEGIN %2END")
                .arg(kInStock, added)
         << QStringLiteral("CREATE TRIGGER StockHoursDelete AFTER DELETE ON SerialNumbers WHEN OLD.IsUse %1 "
                           "BEGIN %2END")
                .arg(kInStock, taken)
         // Unused to released (or back) is no change of stock; another customer is.
         << QStringLiteral("CREATE TRIGGER StockHoursUpdate AFTER UPDATE OF IsUse, CustomerID ON SerialNumbers "
                           "WHEN (OLD.IsUse %1) <> (NEW.IsUse %1) OR (OLD.CustomerID IS NOT NEW.CustomerID "
                           "AND (OLD.IsUse %1 OR NEW.IsUse %1)) BEGIN %2%3END")
                .arg(kInStock, taken, added);
    return hour;
}

QString serverStatements(QStringList *sql)
{
    const QString hour = QStringLiteral("TO_CHAR(LOCALTIMESTAMP, 'YYYY-MM-DD HH24')");
    *sql << QStringLiteral("CREATE OR REPLACE FUNCTION tarnwell_event_hours() RETURNS trigger LANGUAGE plpgsql AS $$ "
                           "BEGIN INSERT INTO EventHours %1 %2; RETURN NULL; END $$")
                .arg(hourCountSelect(QStringLiteral("added")), kHourUpsert)
         << QStringLiteral("CREATE OR REPLACE TRIGGER EventHoursInsert AFTER INSERT ON SerialEvents REFERENCING NEW "
                           "TABLE AS added FOR EACH STATEMENT EXECUTE FUNCTION tarnwell_event_hours()");
    // Stations claim from one customer's stock at once: each session has a row of its own
    // per hour (Shard), so their claims do not queue on one counter. An update is paired
    // row by row, so a change that leaves an identifier in stock counts nothing.
    const QString shard = QStringLiteral("pg_backend_pid() % 16");
    *sql << QStringLiteral(
                "CREATE OR REPLACE FUNCTION tarnwell_stock_hours() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
                "IF TG_OP = 'INSERT' THEN "
                "INSERT INTO StockHours SELECT %1, CustomerID, %2, COUNT(*), 0 FROM added WHERE IsUse %3 "
                "GROUP BY CustomerID %4; "
                "ELSIF TG_OP = 'DELETE' THEN "
                "INSERT INTO StockHours SELECT %1, CustomerID, %2, 0, COUNT(*) FROM removed WHERE IsUse %3 "
                "GROUP BY CustomerID %4; "
                "ELSE "
                "INSERT INTO StockHours SELECT %1, k, %2, SUM(n), SUM(t) FROM ("
                "SELECT o.CustomerID k, 0 n, 1 t FROM removed o JOIN added w ON w.SNID = o.SNID "
                "WHERE o.IsUse %3 AND NOT (w.IsUse %3 AND w.CustomerID = o.CustomerID) UNION ALL "
                "SELECT w.CustomerID, 1, 0 FROM removed o JOIN added w ON w.SNID = o.SNID "
                "WHERE w.IsUse %3 AND NOT (o.IsUse %3 AND o.CustomerID = w.CustomerID)) d GROUP BY k %4; "
                "END IF; RETURN NULL; END $$")
                .arg(hour, shard, kInStock, kStockUpsert)
         << QStringLiteral("CREATE OR REPLACE TRIGGER StockHoursInsert AFTER INSERT ON SerialNumbers REFERENCING "
                           "NEW TABLE AS added FOR EACH STATEMENT EXECUTE FUNCTION tarnwell_stock_hours()")
         << QStringLiteral("CREATE OR REPLACE TRIGGER StockHoursDelete AFTER DELETE ON SerialNumbers REFERENCING "
                           "OLD TABLE AS removed FOR EACH STATEMENT EXECUTE FUNCTION tarnwell_stock_hours()")
         << QStringLiteral("CREATE OR REPLACE TRIGGER StockHoursUpdate AFTER UPDATE ON SerialNumbers REFERENCING "
                           "OLD TABLE AS removed NEW TABLE AS added FOR EACH STATEMENT "
                           "EXECUTE FUNCTION tarnwell_stock_hours()");
    return hour;
}

} // namespace

// Counts per hour of the Burn's events (per station, person, kind and cause) and of each
// customer's stock changes, kept by triggers in the transaction of every event and pool
// change. The events recorded before are counted once, now; stock changes are known from
// now on (a row of no customer marks the first hour kept).
QStringList reportCountStatements()
{
    QStringList sql{
        QStringLiteral("CREATE TABLE EventHours (Hour VARCHAR NOT NULL, Station VARCHAR NOT NULL, "
                       "Person VARCHAR NOT NULL, EventKind INTEGER NOT NULL, Cause VARCHAR NOT NULL, "
                       "Events BIGINT NOT NULL, Devices BIGINT NOT NULL, FirstPass BIGINT NOT NULL, "
                       "PRIMARY KEY (Hour, Station, Person, EventKind, Cause))"),
        QStringLiteral("CREATE TABLE StockHours (Hour VARCHAR NOT NULL, CustomerID INTEGER NOT NULL, "
                       "Shard INTEGER NOT NULL, Added BIGINT NOT NULL, Taken BIGINT NOT NULL, "
                       "PRIMARY KEY (Hour, CustomerID, Shard))"),
        QStringLiteral("INSERT INTO EventHours %1").arg(hourCountSelect(QStringLiteral("SerialEvents"))),
    };
    const QString hour = engine == StoreSettings::PostgreSQL ? serverStatements(&sql) : sqliteStatements(&sql);
    sql << QStringLiteral("INSERT INTO StockHours VALUES (%1, 0, 0, 0, 0)").arg(hour);
    return sql;
}

} // namespace storecore

using namespace storecore;

bool eventHours(const QString &fromHour, const QString &toHour, QList<EventHour> *rows)
{
    const StoreCall call;
    rows->clear();
    if (!run(QStringLiteral("SELECT Hour, Station, Person, EventKind, Cause, Events, Devices, FirstPass "
                            "FROM EventHours WHERE Hour >= ? AND Hour < ? ORDER BY Hour, Station, Person, EventKind, "
                            "Cause"),
             {fromHour, toHour}))
        return false;
    while (storeQuery.next()) {
        EventHour h;
        h.hour = storeQuery.value(0).toString();
        h.station = storeQuery.value(1).toString();
        h.person = storeQuery.value(2).toString();
        h.kind = SerialEventKind(storeQuery.value(3).toInt());
        h.cause = storeQuery.value(4).toString();
        h.events = storeQuery.value(5).toLongLong();
        h.devices = storeQuery.value(6).toLongLong();
        h.firstPass = storeQuery.value(7).toLongLong();
        rows->append(h);
    }
    storeQuery.finish();
    return true;
}

bool stockHours(const QString &fromHour, QList<StockHour> *rows)
{
    const StoreCall call;
    rows->clear();
    if (!run(QStringLiteral("SELECT Hour, CustomerID, SUM(Added), SUM(Taken) FROM StockHours WHERE Hour >= ? "
                            "AND CustomerID <> 0 GROUP BY Hour, CustomerID ORDER BY Hour, CustomerID"),
             {fromHour}))
        return false;
    while (storeQuery.next()) {
        StockHour h;
        h.hour = storeQuery.value(0).toString();
        h.customerId = storeQuery.value(1).toInt();
        h.added = storeQuery.value(2).toLongLong();
        h.taken = storeQuery.value(3).toLongLong();
        rows->append(h);
    }
    storeQuery.finish();
    return true;
}

bool customerStocks(QList<CustomerStockNow> *rows)
{
    const StoreCall call;
    rows->clear();
    if (!run(QStringLiteral("SELECT c.CustomerID, c.CustomerName, (SELECT COALESCE(SUM(s.Total), 0) FROM "
                            "SerialCounts s WHERE s.CustomerID = c.CustomerID AND s.IsUse IN (0, 4)) "
                            "FROM Customers c ORDER BY c.CustomerName, c.CustomerID")))
        return false;
    while (storeQuery.next()) {
        CustomerStockNow c;
        c.customerId = storeQuery.value(0).toInt();
        c.customerName = storeQuery.value(1).toString();
        c.unused = storeQuery.value(2).toLongLong();
        rows->append(c);
    }
    storeQuery.finish();
    return true;
}

QString firstStockHour()
{
    const StoreCall call;
    QString first;
    if (run(QStringLiteral("SELECT MIN(Hour) FROM StockHours")) && storeQuery.next())
        first = storeQuery.value(0).toString();
    storeQuery.finish();
    return first;
}

QString burnSkipCode(int reason)
{
    static const char *const codes[] = {"no-customer",    "uuid-too-long",     "serial-too-long",
                                        "user-too-long",  "password-too-long", "host-too-long",
                                        "kind-too-long",  "port-out-of-range", "log-text-too-long",
                                        "not-an-address", "already-tried",     "not-in-pool",
                                        "taken",          "device-holds",      "off-pattern",
                                        "order-full",     "not-of-order"};
    return reason >= 0 && reason < int(sizeof codes / sizeof *codes) ? QLatin1String(codes[reason])
                                                                     : QStringLiteral("skip-%1").arg(reason);
}

QString burnStopCode(int cause)
{
    static const char *const codes[] = {"none",        "claim-failed", "record-failed",
                                        "not-pending", "log-failed",   "read-failed"};
    return cause >= 0 && cause < int(sizeof codes / sizeof *codes) ? QLatin1String(codes[cause])
                                                                   : QStringLiteral("stop-%1").arg(cause);
}
