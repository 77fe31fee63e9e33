// The data store: schema and seed rows, account and log operations, the serial pool,
// customers, the fixed-width field helper, and the indexes a factory-sized pool needs.
// Every check reads the file back on a connection of its own (testsupport::rows).
#include "tests/support/pgcluster.h"
#include "tests/support/testsupport.h"

#include "store/datastore.h"
#include "store/fixedfield.h"
#include "store/oracle.h"
#include "store/storeconnection.h"
#include "store/storesettings.h"

#include <QDateTime>
#include <QDir>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>

#include <signal.h>

namespace {

using testsupport::column;
using testsupport::count;
using testsupport::rows;
using testsupport::value;

SerialRecord serial(const QString &customerId, const QString &serialNumber, const QString &deviceType = {},
                    const QString &deviceSerialNum = {}, const QString &deviceIp = {})
{
    SerialRecord r{};
    fixedfield::put(r.customerName, customerId);
    fixedfield::put(r.serialNumber, serialNumber);
    fixedfield::put(r.deviceType, deviceType);
    fixedfield::put(r.deviceSerialNum, deviceSerialNum);
    fixedfield::put(r.deviceIp, deviceIp);
    return r;
}

QStringList serialNumbers(const QList<SerialRecord> &list)
{
    QStringList out;
    for (const SerialRecord &r : list)
        out << fixedfield::get(r.serialNumber);
    return out;
}

// An identifier's way into a device: claimed (pending) for it, then marked used.
const auto burn = &testsupport::burnInPool;

QString numberedName(int i)
{
    return QStringLiteral("S%1").arg(i, 2, 10, QLatin1Char('0'));
}

// S01 (oldest) .. S<count> (newest), alternating customers 1 and 2, through insertSerial.
void insertNumbered(int count)
{
    for (int i = 1; i <= count; ++i)
        QVERIFY(insertSerial(serial(QString::number(2 - i % 2), numberedName(i))));
}

QStringList numbered(int from, int to)
{
    QStringList out;
    for (int i = from; from <= to ? i <= to : i >= to; from <= to ? ++i : --i)
        out << numberedName(i);
    return out;
}

// Records every line of debug output while alive; store operations must print none.
class OutputCatcher
{
public:
    OutputCatcher()
    {
        lines().clear();
        previous = qInstallMessageHandler(&OutputCatcher::handle);
    }
    ~OutputCatcher() { qInstallMessageHandler(previous); }
    static QStringList &lines()
    {
        static QStringList l;
        return l;
    }

private:
    static void handle(QtMsgType, const QMessageLogContext &, const QString &msg) { lines() << msg; }
    QtMessageHandler previous;
};

// Everything the store made: tables with their columns, and indexes.
QList<QVariantList> schemaSnapshot()
{
    if (testsupport::onServer())
        return rows(QStringLiteral("SELECT table_name, column_name, data_type FROM information_schema.columns "
                                   "WHERE table_schema='public' UNION ALL SELECT tablename, indexname, indexdef "
                                   "FROM pg_indexes WHERE schemaname='public' ORDER BY 1, 2"));
    return rows(QStringLiteral("SELECT type, name, sql FROM sqlite_master ORDER BY name"));
}

const QStringList kIndexes = {
    QStringLiteral("ImportBatchesByHash"),
    QStringLiteral("LabelsBySerial"),
    QStringLiteral("LabelsByStation"),
    QStringLiteral("LogsByStation"),
    QStringLiteral("RetiredSerialsBySerialNumber"),
    QStringLiteral("SerialEventsByDevice"),
    QStringLiteral("SerialEventsBySerial"),
    QStringLiteral("SerialNumbersByCustomer"),
    QStringLiteral("SerialNumbersByCustomerUse"),
    QStringLiteral("SerialNumbersByOrder"),
    QStringLiteral("SerialNumbersByDeviceSerialNum"),
    QStringLiteral("SerialNumbersBySerialNumber"),
};

// Which of the pool's indexes are there (the server folds unquoted names to lower case).
QStringList indexNames()
{
    const QStringList found = column(testsupport::onServer()
                                         ? QStringLiteral("SELECT indexname FROM pg_indexes WHERE schemaname='public'")
                                         : QStringLiteral("SELECT name FROM sqlite_master WHERE type='index'"));
    QStringList names;
    for (const QString &name : kIndexes)
        if (found.contains(name, Qt::CaseInsensitive))
            names << name;
    return names;
}

// Stops every process of a server (SIGSTOP) while alive: the kernel still accepts and
// acknowledges, nothing answers.
struct Frozen {
    QList<qint64> pids = testsupport::serverCluster()->serverProcesses();
    Frozen() { signal(SIGSTOP); }
    ~Frozen() { signal(SIGCONT); }
    void signal(int sig)
    {
        for (qint64 pid : pids)
            ::kill(pid_t(pid), sig);
    }
};

// The count tables and their triggers (version 4) as the store makes them, from a pool it
// made (the kept counts are made anew by no later version), in the order they were made.
// The kept counts of an import batch's identifiers (version 12) as this build makes them,
// with the index that finds a file's batches by hash.
QStringList batchCountDdl()
{
    if (!testsupport::onServer())
        return column(QStringLiteral("SELECT sql FROM sqlite_master WHERE name = 'BatchCounts' OR name = "
                                     "'ImportBatchesByHash' OR (type = 'trigger' AND name LIKE 'BatchCounts%') "
                                     "ORDER BY type DESC, name"));
    QStringList sql = {QStringLiteral("CREATE TABLE BatchCounts (BatchID BIGINT NOT NULL, IsUse INTEGER NOT NULL, "
                                      "Retired INTEGER NOT NULL, Shard INTEGER NOT NULL, Total BIGINT NOT NULL, "
                                      "PRIMARY KEY (BatchID, IsUse, Retired, Shard))"),
                       QStringLiteral("CREATE INDEX ImportBatchesByHash ON ImportBatches (FileHash)")};
    sql += column(
        QStringLiteral("SELECT pg_get_functiondef(oid) FROM pg_proc WHERE proname = 'tarnwell_batch_counts'"));
    sql += column(QStringLiteral("SELECT pg_get_triggerdef(oid) FROM pg_trigger WHERE NOT tgisinternal AND tgname "
                                 "LIKE 'batchcounts%' ORDER BY tgname"));
    return sql;
}

QStringList countDdl()
{
    if (!testsupport::onServer()) {
        QStringList sql = column(QStringLiteral(
            "SELECT sql FROM sqlite_master WHERE name IN ('SerialCounts', 'LogCounts') ORDER BY name DESC"));
        sql += column(QStringLiteral("SELECT sql FROM sqlite_master WHERE type = 'trigger' AND name LIKE '%Counts%' "
                                     "AND name NOT LIKE 'BatchCounts%' ORDER BY name"));
        return sql;
    }
    QStringList sql = {QStringLiteral(
                           "CREATE TABLE SerialCounts (CustomerID INTEGER NOT NULL, IsUse INTEGER NOT NULL, "
                           "DeviceType VARCHAR NOT NULL, FirstKey BIGINT NOT NULL, Shard INTEGER NOT NULL, "
                           "Total BIGINT NOT NULL, PRIMARY KEY (CustomerID, IsUse, DeviceType, FirstKey, Shard))"),
                       QStringLiteral("CREATE TABLE LogCounts (FirstKey BIGINT NOT NULL, Shard INTEGER NOT NULL, "
                                      "Total BIGINT NOT NULL, PRIMARY KEY (FirstKey, Shard))")};
    sql += column(QStringLiteral("SELECT pg_get_functiondef(oid) FROM pg_proc WHERE proname IN "
                                 "('tarnwell_serial_counts', 'tarnwell_log_counts') ORDER BY proname"));
    sql += column(QStringLiteral("SELECT pg_get_triggerdef(oid) FROM pg_trigger WHERE NOT tgisinternal AND tgname "
                                 "LIKE '%counts%' AND tgname NOT LIKE 'batchcounts%' ORDER BY tgname"));
    return sql;
}

// The pool's tables as each earlier schema version had them, in each engine's words: the
// design's four tables (1), the pool's indexes (2), the log's station (3), the kept counts
// (4, `counts`), the file's closed-cleanly state (5), retired identifiers (6), people's
// roles (7), the log's person (8), the log's chain (9). Taken from the releases that made them, not from the
// store (but for the counts' triggers, too long to restate).
QStringList versionDdl(int version, const QStringList &counts, const QStringList &batchCounts)
{
    const bool server = testsupport::onServer();
    const QString id = server ? QStringLiteral("%1 BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY")
                              : QStringLiteral("%1 INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL UNIQUE");
    const QString snid = server ? QStringLiteral(", SNID") : QString();
    switch (version) {
    case 1:
        return {QStringLiteral("CREATE TABLE Users (%1, UserName VARCHAR NOT NULL UNIQUE, UserPwd VARCHAR NOT NULL)")
                    .arg(id.arg(QStringLiteral("UserID"))),
                QStringLiteral("CREATE TABLE Customers (%1, CustomerName VARCHAR NOT NULL UNIQUE, CustomerValue "
                               "VARCHAR, CustomerHostAddr VARCHAR, CustomerPort INTEGER, CustomerSvrChecked INTEGER "
                               "NOT NULL DEFAULT 0)")
                    .arg(id.arg(QStringLiteral("CustomerID"))),
                QStringLiteral("CREATE TABLE Logs (%1, LogType VARCHAR NOT NULL, LogDescribe VARCHAR NOT NULL, "
                               "LogDate VARCHAR NOT NULL)")
                    .arg(id.arg(QStringLiteral("LogID"))),
                QStringLiteral("CREATE TABLE SerialNumbers (%1, CustomerID INTEGER NOT NULL%2, SerialNumber VARCHAR "
                               "NOT NULL, IsUse INTEGER NOT NULL DEFAULT 0, DeviceType VARCHAR, DeviceSerialNum "
                               "VARCHAR, szIP VARCHAR)")
                    .arg(id.arg(QStringLiteral("SNID")),
                         server ? QString() : QStringLiteral(" REFERENCES Customers (CustomerID)"))};
    case 2:
        return {
            QStringLiteral("CREATE INDEX SerialNumbersBySerialNumber ON SerialNumbers (SerialNumber)"),
            QStringLiteral("CREATE INDEX SerialNumbersByDeviceSerialNum ON SerialNumbers (DeviceSerialNum)"),
            QStringLiteral("CREATE INDEX SerialNumbersByCustomerUse ON SerialNumbers (CustomerID, IsUse%1)").arg(snid),
            QStringLiteral("CREATE INDEX SerialNumbersByCustomer ON SerialNumbers (CustomerID%1)").arg(snid)};
    case 3:
        return {QStringLiteral("ALTER TABLE Logs ADD COLUMN LogStation VARCHAR")};
    case 4:
        return counts;
    case 5:
        if (server)
            return {};
        return {QStringLiteral("CREATE TABLE StationState (StateID INTEGER PRIMARY KEY CHECK (StateID = 1), "
                               "StateValue VARCHAR NOT NULL)")};
    case 6:
        return {QStringLiteral("CREATE TABLE RetiredSerials (%1, CustomerID INTEGER NOT NULL, SerialNumber VARCHAR "
                               "NOT NULL, IsUse INTEGER NOT NULL, DeviceType VARCHAR, DeviceSerialNum VARCHAR, szIP "
                               "VARCHAR, RetiredDate VARCHAR NOT NULL, RetiredStation VARCHAR)")
                    .arg(id.arg(QStringLiteral("RSID"))),
                QStringLiteral("CREATE INDEX RetiredSerialsBySerialNumber ON RetiredSerials (SerialNumber)")};
    case 7:
        return {QStringLiteral("ALTER TABLE Users ADD COLUMN UserRole INTEGER NOT NULL DEFAULT 0"),
                QStringLiteral("ALTER TABLE Users ADD COLUMN UserDisabled INTEGER NOT NULL DEFAULT 0"),
                QStringLiteral("ALTER TABLE Users ADD COLUMN UserFailures INTEGER NOT NULL DEFAULT 0"),
                QStringLiteral("ALTER TABLE Users ADD COLUMN UserWaitUntil BIGINT NOT NULL DEFAULT 0")};
    case 8:
        return {QStringLiteral("ALTER TABLE Logs ADD COLUMN LogUser VARCHAR")};
    case 9:
        return {QStringLiteral("ALTER TABLE Logs ADD COLUMN LogHash VARCHAR"),
                QStringLiteral("CREATE INDEX LogsByStation ON Logs (LogStation, LogID)")};
    case 10: {
        const QString byId = server ? QStringLiteral(", EventID") : QString();
        return {QStringLiteral("CREATE TABLE SerialEvents (%1, SerialNumber VARCHAR, DeviceSerialNum VARCHAR, "
                               "EventKind INTEGER NOT NULL, EventDetail VARCHAR, RelatedSerial VARCHAR, "
                               "EventDate VARCHAR NOT NULL, EventStation VARCHAR, EventUser VARCHAR)")
                    .arg(id.arg(QStringLiteral("EventID"))),
                QStringLiteral("CREATE INDEX SerialEventsBySerial ON SerialEvents (SerialNumber%1)").arg(byId),
                QStringLiteral("CREATE INDEX SerialEventsByDevice ON SerialEvents (DeviceSerialNum%1)").arg(byId),
                QStringLiteral("CREATE TABLE ImportBatches (%1, FileName VARCHAR NOT NULL, FileHash VARCHAR, "
                               "CustomerID INTEGER, BatchDate VARCHAR NOT NULL, BatchStation VARCHAR, BatchUser "
                               "VARCHAR, Stored BIGINT NOT NULL DEFAULT 0, Refused BIGINT NOT NULL DEFAULT 0)")
                    .arg(id.arg(QStringLiteral("BatchID"))),
                QStringLiteral("ALTER TABLE SerialNumbers ADD COLUMN BatchID BIGINT"),
                QStringLiteral("ALTER TABLE RetiredSerials ADD COLUMN BatchID BIGINT")};
    }
    case 11:
        return {QStringLiteral("CREATE TABLE Labels (%1, SerialNumber VARCHAR NOT NULL, DeviceSerialNum VARCHAR, "
                               "LabelCopy INTEGER NOT NULL, LabelState INTEGER NOT NULL DEFAULT 0, LabelReason "
                               "VARCHAR, DueDate VARCHAR NOT NULL, LabelStation VARCHAR NOT NULL, DueUser VARCHAR, "
                               "LabelPrinter VARCHAR, PrintedDate VARCHAR, LabelError VARCHAR)")
                    .arg(id.arg(QStringLiteral("LabelID"))),
                QStringLiteral("CREATE UNIQUE INDEX LabelsBySerial ON Labels (SerialNumber, LabelCopy)"),
                QStringLiteral("CREATE INDEX LabelsByStation ON Labels (LabelStation, LabelState, LabelID)")};
    case 12:
        return batchCounts;
    case 13:
        return {QStringLiteral("ALTER TABLE Customers ADD COLUMN LowPoolWarn BIGINT NOT NULL DEFAULT 0"),
                QStringLiteral("ALTER TABLE Customers ADD COLUMN LowPoolLogged INTEGER NOT NULL DEFAULT 0"),
                QStringLiteral("ALTER TABLE Customers ADD COLUMN SerialPattern VARCHAR")};
    case 14:
        return {QStringLiteral("CREATE TABLE WorkOrders (%1, CustomerID INTEGER NOT NULL, DeviceType VARCHAR, "
                               "Quantity BIGINT NOT NULL, OrderNote VARCHAR, OrderDate VARCHAR NOT NULL, "
                               "OrderStation VARCHAR, OrderUser VARCHAR)")
                    .arg(id.arg(QStringLiteral("OrderID"))),
                QStringLiteral("ALTER TABLE SerialNumbers ADD COLUMN OrderID BIGINT"),
                QStringLiteral("CREATE INDEX SerialNumbersByOrder ON SerialNumbers (OrderID, IsUse) "
                               "WHERE OrderID IS NOT NULL")};
    }
    return {};
}

// The store closed and every table of the pool gone.
void dropPool()
{
    closeDatabase();
    for (const char *table : {"SerialNumbers", "RetiredSerials", "Logs", "Customers", "Users", "SerialCounts",
                              "LogCounts", "StationState", "SchemaVersion", "SerialEvents", "ImportBatches", "Labels",
                              "BatchCounts", "WorkOrders", "EventHours", "StockHours"})
        testsupport::exec(QStringLiteral("DROP TABLE IF EXISTS %1").arg(QLatin1String(table)));
}

// The kept hour counts of [from, to), one line each: "hour station person kind cause: events
// devices firstPass"; a store failure is one line saying so.
QStringList hourLines(const QString &from, const QString &to)
{
    QList<EventHour> hours;
    if (!eventHours(from, to, &hours))
        return {QStringLiteral("failed: ") + storeError()};
    QStringList lines;
    for (const EventHour &h : hours)
        lines << QStringLiteral("%1 %2 %3 %4 %5: %6 %7 %8")
                     .arg(h.hour, h.station, h.person)
                     .arg(int(h.kind))
                     .arg(h.cause)
                     .arg(h.events)
                     .arg(h.devices)
                     .arg(h.firstPass);
    return lines;
}

int recordedVersion()
{
    return value(QStringLiteral("SELECT Version FROM SchemaVersion")).toInt();
}

} // namespace

class TestStore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Counts by blocks of four keys: the few rows of a test then span many blocks, and
        // every jump to a page finds its block by the counts as at ten million rows.
        qputenv("TARNWELL_COUNT_BLOCK_BITS", "2");
    }

    void init()
    {
        QDir().rmdir(QStringLiteral("mydatabase.db")); // left by a failed noDatabase... run
        testsupport::freshDatabase();
    }

    void cleanup()
    {
        // A test that pointed the store elsewhere or shortened its bound: back to the suite's.
        qunsetenv("TARNWELL_STORE_TIMEOUT_MS");
        if (testsupport::onServer())
            testsupport::pointAtServer(*testsupport::serverCluster(), QStringLiteral("test-station"));
    }

    // --- database, seed rows, indexes ---

    void seedsOnceAndReopensUnchanged()
    {
        QCOMPARE(indexNames(), kIndexes);
        QCOMPARE(rows(QStringLiteral("SELECT UserID, UserName, UserRole FROM Users")),
                 (QList<QVariantList>{{1, QStringLiteral("admin"), 2}}));
        const QList<QVariantList> customers = rows(QStringLiteral(
            "SELECT CustomerID, CustomerName, CustomerValue, CASE WHEN CustomerHostAddr <> '' THEN 1 ELSE 0 END, "
            "CustomerPort, CustomerSvrChecked FROM Customers ORDER BY CustomerID"));
        QCOMPARE(customers,
                 (QList<QVariantList>{{1, QStringLiteral("UMEYE"), QStringLiteral("DeviceID"), 1, 5800, 0},
                                      {2, QStringLiteral("Brisvan"), QStringLiteral("GoolinkGID"), 0, 0, 0}}));

        // A second open adds nothing and keeps the changed password. It takes the kept
        // counts as they are: a row no recount would make is still there afterwards
        // (recounting a pool of millions at every start cost seconds, and on the server
        // locked every station out meanwhile).
        setAdminPassword(QStringLiteral("n3w-pass"));
        QVERIFY(testsupport::exec(QStringLiteral("INSERT INTO SerialCounts VALUES(77, 0, 'KEPT', 0, 0, 1)")));
        const QList<QVariantList> before = schemaSnapshot();
        closeDatabase();
        openDatabase();
        QCOMPARE(schemaSnapshot(), before);
        QCOMPARE(rows(QStringLiteral("SELECT Total FROM SerialCounts WHERE DeviceType='KEPT'")),
                 (QList<QVariantList>{{1}}));
        QCOMPARE(count(QStringLiteral("Users")), 1);
        QCOMPARE(count(QStringLiteral("Customers")), 2);
        QCOMPARE(checkLogin(QStringLiteral("admin"), QStringLiteral("n3w-pass")), 1);
        QCOMPARE(checkLogin(QStringLiteral("admin"), QStringLiteral("qorvi")), -1);
    }

    // A pool of each earlier version, numbered or (0) the design's file without a number,
    // with unused, used and pending identifiers and log rows: it opens at this version and
    // keeps every row, and its counts and pages are those of its rows.
    void earlierVersionMigratesKeepingRows_data()
    {
        QTest::addColumn<int>("version");
        for (int version = 0; version < storeSchemaVersion(); ++version)
            QTest::addRow("version %d", version) << version;
    }

    void earlierVersionMigratesKeepingRows()
    {
        QFETCH(int, version);
        const QStringList counts = countDdl();
        const QStringList batchCounts = batchCountDdl();
        QVERIFY(counts.size() >= 7);
        dropPool();
        if (testsupport::onServer())
            QVERIFY(testsupport::exec(QStringLiteral(
                "DROP FUNCTION IF EXISTS tarnwell_serial_counts, tarnwell_log_counts, tarnwell_batch_counts, "
                "tarnwell_event_hours, tarnwell_stock_hours CASCADE")));
        for (int v = 1; v <= qMax(1, version); ++v)
            for (const QString &sql : versionDdl(v, counts, batchCounts))
                QVERIFY2(testsupport::exec(sql), qPrintable(sql));
        if (version > 0)
            for (const QString &sql : {QStringLiteral("CREATE TABLE SchemaVersion (Version INTEGER NOT NULL)"),
                                       QStringLiteral("INSERT INTO SchemaVersion VALUES (%1)").arg(version)})
                QVERIFY(testsupport::exec(sql));
        for (const char *sql :
             {"INSERT INTO Users (UserName, UserPwd) VALUES ('a', 'plain-0ld-pw'), ('b', 'x')",
              "INSERT INTO Customers (CustomerName, CustomerValue, CustomerHostAddr, CustomerPort) VALUES "
              "('UMEYE', 'DeviceID', 'h', 5800), ('Brisvan', 'GoolinkGID', '', 0)",
              "INSERT INTO SerialNumbers (CustomerID, SerialNumber, IsUse, DeviceType, DeviceSerialNum, szIP) VALUES "
              "(1, 'U1', 0, '', '', ''), (1, 'S1', 1, 'NVR', 'D1', '1.2.3.4'), (2, 'P1', 2, 'IPC', 'D2', '1.2.3.5'), "
              "(2, 'U2', 0, NULL, NULL, NULL)",
              "INSERT INTO Logs (LogType, LogDescribe, LogDate) VALUES ('Login', 'Login', '2026-01-01 00:00:00'), "
              "('Burning', 'S1', '2026-01-01 00:00:01')"})
            QVERIFY(testsupport::exec(QLatin1String(sql)));
        // The row was changed once, by a build of SQLite that leaves a changed row's old
        // bytes in the file's free space: a copy of the plain password is in the file twice.
        const bool file = !testsupport::onServer();
        QVERIFY(!file || testsupport::exec(QStringLiteral("PRAGMA secure_delete = OFF")));
        QVERIFY(testsupport::exec(QStringLiteral("UPDATE Users SET UserName = 'admin' WHERE UserName = 'a'")));
        QVERIFY(!file || testsupport::exec(QStringLiteral("PRAGMA secure_delete = ON")));
        // From version 7 on the administrator has been one by role (its migration, or the seed).
        QVERIFY(version < 7
                || testsupport::exec(QStringLiteral("UPDATE Users SET UserRole = 2 WHERE UserName = 'admin'")));
        QVERIFY(!file || testsupport::readFile(QStringLiteral("mydatabase.db")).count("plain-0ld-pw") == 2);
        const QString poolRows = QStringLiteral("SELECT SNID, CustomerID, SerialNumber, IsUse, DeviceType, "
                                                "DeviceSerialNum, szIP FROM SerialNumbers ORDER BY SNID");
        const QString logRows = QStringLiteral("SELECT LogID, LogType, LogDescribe, LogDate FROM Logs ORDER BY LogID");
        // Events recorded before the hour counts were kept are counted once by the change.
        QVERIFY(version < 10
                || testsupport::exec(QStringLiteral(
                    "INSERT INTO SerialEvents (SerialNumber, DeviceSerialNum, EventKind, EventDetail, EventDate, "
                    "EventStation, EventUser) VALUES ('S1', 'D1', 4, '7', '2026-01-01 08:10:00', 'ST1', 'ann'), "
                    "('S1', 'D1', 3, '', '2026-01-01 08:20:00', 'ST1', 'ann'), "
                    "('S1', 'D1', 5, '', '2026-01-01 08:20:01', 'ST1', 'ann'), "
                    "('P1', 'D2', 3, '', '2026-01-01 09:00:00', 'ST2', NULL), "
                    "('P1', 'D2', 6, NULL, '2026-01-01 09:00:01', 'ST2', NULL), "
                    "('U1', 'D3', 3, '', '2026-01-01 09:30:00', 'ST2', NULL), "
                    "('U1', 'D3', 5, '', '2026-01-01 09:30:01', 'ST2', NULL), "
                    "('U1', 'D3', 11, 'x.csv', '2026-01-01 09:40:00', 'ST2', NULL)")));
        const QList<QVariantList> poolBefore = rows(poolRows);
        const QList<QVariantList> logsBefore = rows(logRows);

        openDatabase();
        QVERIFY2(storeSchemaProblem() == SchemaProblem::None, qPrintable(storeError()));
        QCOMPARE(recordedVersion(), storeSchemaVersion());
        QCOMPARE(rows(poolRows), poolBefore);
        QCOMPARE(rows(logRows), logsBefore);
        QCOMPARE(indexNames(), kIndexes);
        // The plain password logs in once and is replaced by its hash: afterwards the pool
        // holds no trace of its text, not even in the file's free space.
        QVERIFY(checkLogin(QStringLiteral("admin"), QStringLiteral("plain-0ld-pw")) > 0);
        QVERIFY(value(QStringLiteral("SELECT UserPwd FROM Users WHERE UserName='admin'"))
                    .toString()
                    .startsWith(QLatin1String("$argon2id$")));
        QCOMPARE(value(QStringLiteral("SELECT UserRole FROM Users WHERE UserName='admin'")).toInt(), 2);
        QVERIFY(checkLogin(QStringLiteral("admin"), QStringLiteral("plain-0ld-pw")) > 0);
        QCOMPARE(holdingOfDevice(QStringLiteral("D2")).isUse, int(SerialPending));
        expectDesignedCountsAndPages("migrated");
        const QStringList counted = hourLines(QStringLiteral("2026"), QStringLiteral("2027"));
        QCOMPARE(counted,
                 (version < 10 ? QStringList()
                               : QStringList{QStringLiteral("2026-01-01 08 ST1 ann 3 : 1 0 0"),
                                             QStringLiteral("2026-01-01 08 ST1 ann 4 7: 1 1 0"),
                                             QStringLiteral("2026-01-01 08 ST1 ann 5 : 1 1 0"),
                                             QStringLiteral("2026-01-01 09 ST2  3 : 2 2 0"),
                                             QStringLiteral("2026-01-01 09 ST2  5 : 1 1 1"),
                                             QStringLiteral("2026-01-01 09 ST2  6 silent: 1 0 0")}));
        QVERIFY(!firstStockHour().isEmpty());
        // Once: the next open finds nothing to do.
        const QList<QVariantList> migrated = schemaSnapshot();
        closeDatabase();
        if (file)
            QVERIFY(!testsupport::readFile(QStringLiteral("mydatabase.db")).contains("plain-0ld-pw"));
        openDatabase();
        QCOMPARE(schemaSnapshot(), migrated);
        QVERIFY(deleteSerial(QStringLiteral("S1")));
        QCOMPARE(count(QStringLiteral("RetiredSerials WHERE SerialNumber='S1' AND IsUse=1")), 1);

        // The old log rows name no person and stay unchained (how a chain starts after such
        // rows is tst_verifylog's).
        QCOMPARE(count(QStringLiteral("Logs WHERE LogID <= 2 AND LogUser IS NULL AND LogHash IS NULL")), 2);
    }

    // Whoever writes an event or changes the pool (here plain statements, several rows at
    // once), the hour counts follow in the same transaction: unique devices apart from
    // tries across stations, the first pass only for a device written once, the causes,
    // and a customer's stock going out and in (unused to released is no change).
    void hourCountsFollowEveryWrite()
    {
        QVERIFY(testsupport::exec(QStringLiteral(
            "INSERT INTO SerialEvents (SerialNumber, DeviceSerialNum, EventKind, EventDetail, EventDate, "
            "EventStation, EventUser) VALUES ('A', 'D1', 3, '', '2026-03-01 10:00:00', 'ST1', 'ann'), "
            "('A', 'D1', 6, 'B', '2026-03-01 10:00:01', 'ST1', 'ann'), "
            "('A', 'D1', 16, 'taken', '2026-03-01 10:00:02', 'ST1', 'ann'), "
            "('C', 'D2', 4, '12', '2026-03-01 10:05:00', 'ST1', 'ann')")));
        QVERIFY(testsupport::exec(QStringLiteral(
            "INSERT INTO SerialEvents (SerialNumber, DeviceSerialNum, EventKind, EventDetail, EventDate, "
            "EventStation, EventUser) VALUES ('A', 'D1', 3, '', '2026-03-01 11:00:00', 'ST2', 'bo')")));
        for (const char *sql : {"INSERT INTO SerialEvents (SerialNumber, DeviceSerialNum, EventKind, EventDate, "
                                "EventStation, EventUser) VALUES ('A', 'D1', 5, '2026-03-01 11:00:01', 'ST2', 'bo')",
                                "INSERT INTO SerialEvents (SerialNumber, DeviceSerialNum, EventKind, EventDate, "
                                "EventStation, EventUser) VALUES ('E', 'D3', 3, '2026-03-01 11:10:00', 'ST2', 'bo')",
                                "INSERT INTO SerialEvents (SerialNumber, DeviceSerialNum, EventKind, EventDate, "
                                "EventStation, EventUser) VALUES ('E', 'D3', 13, '2026-03-01 11:10:01', 'ST2', 'bo')",
                                "INSERT INTO SerialEvents (SerialNumber, DeviceSerialNum, EventKind, EventDate, "
                                "EventStation, EventUser) VALUES ('F', 'D3', 5, '2026-03-01 11:20:00', 'ST2', 'bo')",
                                "INSERT INTO SerialEvents (SerialNumber, DeviceSerialNum, EventKind, EventDate, "
                                "EventStation, EventUser) VALUES ('F', 'D3', 2, '2026-03-01 11:20:00', 'ST2', 'bo')"})
            QVERIFY(testsupport::exec(QLatin1String(sql)));
        const QStringList counted = hourLines(QStringLiteral("2026-03-01 10"), QStringLiteral("2026-03-01 12"));
        QCOMPARE(counted,
                 (QStringList{QStringLiteral("2026-03-01 10 ST1 ann 3 : 1 1 0"),
                              QStringLiteral("2026-03-01 10 ST1 ann 4 12: 1 1 0"),
                              QStringLiteral("2026-03-01 10 ST1 ann 6 differs: 1 0 0"),
                              QStringLiteral("2026-03-01 10 ST1 ann 16 taken: 1 0 0"),
                              QStringLiteral("2026-03-01 11 ST2 bo 3 : 2 1 0"),
                              QStringLiteral("2026-03-01 11 ST2 bo 5 : 2 1 0"),
                              QStringLiteral("2026-03-01 11 ST2 bo 13 : 1 1 1")}));
        QVERIFY(hourLines(QStringLiteral("2026-03-01 11"), QStringLiteral("2026-03-01 11")).isEmpty());

        const int customer = customerIdByName(QStringLiteral("UMEYE"));
        QVERIFY(customer > 0);
        const auto stock = [customer] {
            QList<StockHour> kept;
            qint64 added = 0, taken = 0;
            if (stockHours(QStringLiteral("2000"), &kept))
                for (const StockHour &h : kept)
                    if (h.customerId == customer) {
                        added += h.added;
                        taken += h.taken;
                    }
            return QStringLiteral("%1 in, %2 out").arg(added).arg(taken);
        };
        const QString base = stock();
        QVERIFY(testsupport::exec(QStringLiteral("INSERT INTO SerialNumbers (CustomerID, SerialNumber, IsUse) VALUES "
                                                 "(%1, 'K1', 0), (%1, 'K2', 0), (%1, 'K3', 1)")
                                      .arg(customer)));
        QVERIFY(testsupport::exec(QStringLiteral("UPDATE SerialNumbers SET IsUse = 2 WHERE SerialNumber = 'K1'")));
        QVERIFY(
            testsupport::exec(QStringLiteral("UPDATE SerialNumbers SET IsUse = 4 WHERE SerialNumber IN ('K1', 'K2')")));
        QVERIFY(testsupport::exec(QStringLiteral("DELETE FROM SerialNumbers WHERE SerialNumber IN ('K2', 'K3')")));
        QCOMPARE(base, QStringLiteral("0 in, 0 out"));
        QCOMPARE(stock(), QStringLiteral("3 in, 2 out"));
        QList<CustomerStockNow> now;
        QVERIFY(customerStocks(&now));
        for (const CustomerStockNow &c : now)
            if (c.customerId == customer)
                QCOMPARE(int(c.unused),
                         count(
                             QStringLiteral("SerialNumbers WHERE IsUse IN (0, 4) AND CustomerID = %1").arg(customer)));
    }

    // A pool of a newer program is refused and left exactly as it was: its file byte for
    // byte, on the server every row (the seed would add the administrator again).
    void newerPoolIsRefusedUnchanged()
    {
        QVERIFY(testsupport::exec(QStringLiteral("DELETE FROM Users")));
        QVERIFY(
            testsupport::exec(QStringLiteral("UPDATE SchemaVersion SET Version = %1").arg(storeSchemaVersion() + 1)));
        closeDatabase();
        const QByteArray file = testsupport::onServer() ? QByteArray()
                                                        : testsupport::readFile(QStringLiteral("mydatabase.db"));
        const QList<QVariantList> schema = schemaSnapshot();

        openDatabase();
        int found = 0;
        QCOMPARE(storeSchemaProblem(&found), SchemaProblem::TooNew);
        QCOMPARE(found, storeSchemaVersion() + 1);
        QCOMPARE(checkLogin(QStringLiteral("admin"), QStringLiteral("qorvi")), -1);
        closeDatabase();
        if (!testsupport::onServer())
            QVERIFY(testsupport::readFile(QStringLiteral("mydatabase.db")) == file);
        QCOMPARE(schemaSnapshot(), schema);
        QCOMPARE(count(QStringLiteral("Users")), 0);
        QCOMPARE(recordedVersion(), storeSchemaVersion() + 1);
    }

    // A change that fails half-way (its first table made, its second refused by a table of
    // that name another program made) is undone whole: the pool keeps its version and shape, is
    // not opened, and takes the change once the obstacle is gone.
    void failedMigrationLeavesTheOldVersion()
    {
        closeDatabase();
        const int before = storeSchemaVersion() - 1;
        QVERIFY(testsupport::exec(
            QStringLiteral("INSERT INTO SerialNumbers (CustomerID, SerialNumber, IsUse) VALUES (1, 'KEPT', 0)")));
        const bool server = testsupport::onServer();
        for (const char *trigger : {"EventHoursInsert ON SerialEvents", "StockHoursInsert ON SerialNumbers",
                                    "StockHoursDelete ON SerialNumbers", "StockHoursUpdate ON SerialNumbers"}) {
            const QString name = QLatin1String(trigger);
            QVERIFY(testsupport::exec(QStringLiteral("DROP TRIGGER %1").arg(server ? name : name.section(' ', 0, 0))));
        }
        for (const QString &sql : {QStringLiteral("DROP TABLE EventHours"), QStringLiteral("DROP TABLE StockHours"),
                                   QStringLiteral("UPDATE SchemaVersion SET Version = %1").arg(before),
                                   QStringLiteral("CREATE TABLE StockHours (x INTEGER)")})
            QVERIFY(testsupport::exec(sql));
        const QList<QVariantList> schema = schemaSnapshot();

        openDatabase();
        QCOMPARE(storeSchemaProblem(), SchemaProblem::MigrationFailed);
        QVERIFY(!storeError().isEmpty());
        QVERIFY(!serialExists(QStringLiteral("KEPT")));
        QCOMPARE(schemaSnapshot(), schema);
        QCOMPARE(recordedVersion(), before);

        QVERIFY(testsupport::exec(QStringLiteral("DROP TABLE StockHours")));
        openDatabase();
        QCOMPARE(storeSchemaProblem(), SchemaProblem::None);
        QCOMPARE(recordedVersion(), storeSchemaVersion());
        QCOMPARE(indexNames(), kIndexes);
        QVERIFY(serialExists(QStringLiteral("KEPT")));
    }

    // tarnwell.ini's texts are read as written: a comma stays in the text (a station named
    // "line 1, station 3" is not given the machine's name), a comment after a value is not
    // part of it, quotes keep a ';', UTF-8 stays UTF-8, only the [store] group counts.
    void settingsTextsAsWritten_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QStringList>("expected"); // engine, host, port, database, user, station
        QTest::newRow("commas") << QByteArray(
            "[store]\nstation=line 1, station 3\nhost=a,b\nuser=op,1\ndatabase=pool,x\n")
                                << QStringList{"sqlite", "a,b", "5432", "pool,x", "op,1", "line 1, station 3"};
        QTest::newRow("comments, quotes, CRLF")
            << QByteArray("; the line's pool\r\n[store]\r\ndriver=postgresql   ; shared\r\nport=6543\r\n"
                          "station=\"st;3, a\"  ; quoted\r\n# user=not-this\r\n")
            << QStringList{"postgresql", "", "6543", "tarnwell", "", "st;3, a"};
        QTest::newRow("UTF-8 with BOM") << QByteArray("\xEF\xBB\xBF[store]\nstation=产线一,工位3\n")
                                        << QStringList{"sqlite",   "", "5432",
                                                       "tarnwell", "", QStringLiteral("产线一,工位3")};
        QTest::newRow("other groups") << QByteArray("[other]\nstation=x\nhost=y\n[store]\nuser=u\n[more]\nuser=z\n")
                                      << QStringList{"sqlite", "", "5432", "tarnwell", "u", ""};
    }
    void settingsTextsAsWritten()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QStringList, expected);
        closeDatabase();
        // A folder of its own, so the engine's own tarnwell.ini stays as it is.
        QVERIFY(QDir().mkpath(QStringLiteral("ini")));
        const QString home = QDir::currentPath();
        struct Back {
            QString to;
            ~Back()
            {
                closeDatabase();
                QDir::setCurrent(to);
                openDatabase();
            }
        } back{home};
        QVERIFY(QDir::setCurrent(QStringLiteral("ini")));
        QVERIFY(!testsupport::writeFile(QStringLiteral("tarnwell.ini"), ini).isEmpty());
        QString error;
        const StoreSettings s = StoreSettings::load(&error);
        QCOMPARE(error, QString());
        QCOMPARE((QStringList{s.engine == StoreSettings::PostgreSQL ? "postgresql" : "sqlite", s.host,
                              QString::number(s.port), s.database, s.user, s.station}),
                 expected);
        if (s.engine == StoreSettings::SQLite && !s.station.isEmpty()) {
            // The station is the one every log row names.
            openDatabase();
            QCOMPARE(stationName(), expected.last());
        }
    }

    void noDatabaseIsSilentAndEmpty_data()
    {
        QTest::addColumn<bool>("unopenable");
        QTest::newRow("closed") << false;
        QTest::newRow("file cannot be opened") << true;
    }

    // Every operation without an open database prints nothing, writes nothing and gives
    // its value for "nothing found".
    void noDatabaseIsSilentAndEmpty()
    {
        QFETCH(bool, unopenable);
        insertNumbered(3);
        addLog(makeLogRecord(QStringLiteral("t"), QStringLiteral("d")));
        const QVariant password = value(QStringLiteral("SELECT UserPwd FROM Users"));
        closeDatabase();
        // A server that does not answer (the settings point at a port nobody listens on),
        // or a folder in the file's place (root ignores read-only folders).
        const QString kept = testsupport::onServer() ? QStringLiteral("tarnwell.ini") : QStringLiteral("mydatabase.db");
        if (unopenable) {
            QVERIFY(QFile::rename(kept, QStringLiteral("kept")));
            if (testsupport::onServer())
                QVERIFY(
                    !testsupport::writeFile(kept, "[store]\ndriver=postgresql\nhost=127.0.0.1\nport=1\n").isEmpty());
            else
                QVERIFY(QDir().mkdir(kept));
            OutputCatcher catcher;
            openDatabase();
            QCOMPARE(OutputCatcher::lines().size(), 1); // the reason, once
            QVERIFY(!storeDatabase.isOpen());
        }
        {
            OutputCatcher catcher;
            QCOMPARE(checkLogin(QStringLiteral("admin"), QStringLiteral("qorvi")), -1);
            addLog(makeLogRecord(QStringLiteral("t"), QStringLiteral("d")));
            QVERIFY(!checkAdminPassword(QStringLiteral("qorvi")));
            setAdminPassword(QStringLiteral("x"));
            QCOMPARE(countSerials(SerialFilter()), 0);
            QVERIFY(lastStoreCallFailed()); // not an empty pool: no pool at all
            QVERIFY(!insertSerial(serial(QStringLiteral("1"), QStringLiteral("N"))));
            QVERIFY(!serialExists(QStringLiteral("S01")));
            deleteSerial(QStringLiteral("S01"));
            QCOMPARE(serialOfDevice(QString()), QString());
            markSerialUsed(QStringLiteral("S01"), QStringLiteral("D"), QStringLiteral("T"), QStringLiteral("I"));
            QCOMPARE(countLogs(), 0);
            QVERIFY(!customerById(1));
            updateCustomer(QStringLiteral("UMEYE"), QStringLiteral("v"), QStringLiteral("h"), 1);
            QVERIFY(pageSerials(0, 10, SerialFilter()).isEmpty());
            QVERIFY(unusedSerials(10, 1).isEmpty());
            QVERIFY(pageLogs(0, 10).isEmpty());
            QVERIFY(allCustomers().isEmpty());
            QVERIFY(!beginBatch());
            QVERIFY(!commitBatch());
            QVERIFY2(OutputCatcher::lines().isEmpty(), qPrintable(OutputCatcher::lines().join(QLatin1Char('\n'))));
        }
        if (unopenable) {
            QVERIFY(QFile::remove(kept) || QDir().rmdir(kept));
            QVERIFY(QFile::rename(QStringLiteral("kept"), kept));
        }
        // Nothing reached the file.
        QCOMPARE(count(QStringLiteral("SerialNumbers")), 3);
        QCOMPARE(count(QStringLiteral("Logs")), 1);
        QCOMPARE(value(QStringLiteral("SELECT UserPwd FROM Users")), password);
        QCOMPARE(value(QStringLiteral("SELECT CustomerValue FROM Customers WHERE CustomerID=1")).toString(),
                 QStringLiteral("DeviceID"));
    }

    // --- accounts and the log ---

    // --- the log ---

    void addLogStampsTheTimeItself()
    {
        LogRecord record = makeLogRecord(QStringLiteral("User operation"), QStringLiteral("it's \"here\""));
        fixedfield::put(record.logDate, QStringLiteral("1999-01-01 00:00:00"));
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        addLog(record);
        const QList<QVariantList> all = rows(QStringLiteral("SELECT LogType, LogDescribe, LogDate FROM Logs"));
        QCOMPARE(all.size(), 1);
        QCOMPARE(all[0][1].toString(), QStringLiteral("it's \"here\""));
        const QDateTime stamped = QDateTime::fromString(all[0][2].toString(), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        QVERIFY2(stamped >= before && stamped <= QDateTime::currentDateTime(), qPrintable(all[0][2].toString()));
        QCOMPARE(fixedfield::get(pageLogs(0, 10).value(0).logType), all[0][0].toString());
        QCOMPARE(fixedfield::get(pageLogs(0, 10).value(0).logDate), all[0][2].toString());
    }

    // --- the serial pool ---

    // Pages by index, newest first; past the end, no rows or negative sizes give nothing (a
    // page index far past the end is no overflow).
    void pagesNewestFirstAndNothingForOddSizes()
    {
        insertNumbered(25);
        for (int i = 1; i <= 25; ++i)
            addLog(makeLogRecord(numberedName(i), QStringLiteral("d")));
        QCOMPARE(serialNumbers(pageSerials(1, 10, SerialFilter())), numbered(15, 6));
        QCOMPARE(serialNumbers(pageSerials(2, 10, SerialFilter())), numbered(5, 1));
        QCOMPARE(fixedfield::get(pageLogs(2, 10).value(4).logType), numberedName(1));
        for (const auto &[page, size] : {std::pair{3, 10}, {0, 0}, {0, -1}, {0x7fffffff, 0x7fffffff}}) {
            QVERIFY(pageSerials(page, size, SerialFilter()).isEmpty());
            QVERIFY(pageLogs(page, size).isEmpty());
        }
        QVERIFY(unusedSerials(0, 1).isEmpty());
        QVERIFY(unusedSerials(-1, 1).isEmpty());
    }

    void unusedSerialsOffersOnlyTheCustomersUnused()
    {
        // Customer 1: U1..U5 (U4 used, U2 pending, U5 newest), customer 2: B1, B2 newer than all.
        for (const char *sn : {"U1", "U2", "U3", "U4", "U5"})
            QVERIFY(insertSerial(serial(QStringLiteral("1"), QLatin1String(sn))));
        QVERIFY(insertSerial(serial(QStringLiteral("2"), QStringLiteral("B1"))));
        QVERIFY(insertSerial(serial(QStringLiteral("2"), QStringLiteral("B2"))));
        QVERIFY(burn(QStringLiteral("U4"), 1, QStringLiteral("D"), QStringLiteral("IPC"), QStringLiteral("10.0.0.1")));
        QVERIFY(beginBatch());
        QCOMPARE(claimSerial(QStringLiteral("U2"), 1, QStringLiteral("E"), QStringLiteral("IPC"), {}),
                 ClaimResult::Claimed);
        QVERIFY(commitBatch());

        QCOMPARE(serialNumbers(unusedSerials(2, 1)), QStringList({QStringLiteral("U5"), QStringLiteral("U3")}));
        QCOMPARE(serialNumbers(unusedSerials(10, 1)),
                 QStringList({QStringLiteral("U5"), QStringLiteral("U3"), QStringLiteral("U1")}));
        QCOMPARE(unusedSerialNumbers(10, 1), serialNumbers(unusedSerials(10, 1)));
        QCOMPARE(serialNumbers(unusedSerials(10, 2)), QStringList({QStringLiteral("B2"), QStringLiteral("B1")}));
    }

    // Every value is bound, never spliced: SQL's characters are stored, compared and read
    // back as they are, into every column of the record.
    void sqlCharactersAreStoredAndComparedLiterally()
    {
        const QString odd = QStringLiteral("A'B\"C;--%_\\");
        QVERIFY(insertSerial(
            serial(QStringLiteral("2"), odd, QStringLiteral("t'"), QStringLiteral("d'"), QStringLiteral("i'"))));
        QVERIFY(insertSerial(serial(QStringLiteral("1"), QStringLiteral("KEEP"))));
        QCOMPARE(value(QStringLiteral("SELECT SerialNumber FROM SerialNumbers WHERE SNID=1")).toString(), odd);
        QVERIFY(serialExists(odd));
        QVERIFY(!serialExists(QStringLiteral("A%")));
        QVERIFY(!serialExists(QStringLiteral("' OR '1'='1")));
        QCOMPARE(serialOfDevice(QStringLiteral("d'")), odd);
        QCOMPARE(serialOfDevice(QStringLiteral("' OR 1=1 --")), QString());

        QVERIFY(burn(odd, 2, QStringLiteral("x'y"), QStringLiteral("N\"VR"), QStringLiteral("1';--")));
        const SerialRecord r = pageSerials(0, 10, SerialFilter{2, -1, {}}).value(0);
        QCOMPARE((QStringList{fixedfield::get(r.customerName), fixedfield::get(r.serialNumber),
                              fixedfield::get(r.deviceType), fixedfield::get(r.deviceSerialNum),
                              fixedfield::get(r.deviceIp)}),
                 (QStringList{"Brisvan", odd, "N\"VR", "x'y", "1';--"}));
        QCOMPARE(r.isUse, 1);
        QCOMPARE(serialOfDevice(QStringLiteral("x'y")), odd);
        QCOMPARE(serialOfDevice(QStringLiteral("X'Y")), QString());

        deleteSerial(QStringLiteral("x' OR '1'='1"));
        deleteSerial(QStringLiteral("%"));
        QCOMPARE(count(QStringLiteral("SerialNumbers")), 2);
        updateCustomer(QStringLiteral("UMEYE' OR '1'='1"), QStringLiteral("v"), QStringLiteral("h"), 1);
        QCOMPARE(count(QStringLiteral("Customers WHERE CustomerValue='v'")), 0);
        deleteSerial(odd);
        QCOMPARE(column(QStringLiteral("SELECT SerialNumber FROM SerialNumbers")), QStringList{QStringLiteral("KEEP")});

        // Texts the caller leaves null are stored as empty texts, never as NULL.
        QVERIFY(burn(QStringLiteral("KEEP"), 1, QStringLiteral("DEV-8"), QString(), QString()));
        QCOMPARE(rows(QStringLiteral("SELECT DeviceType IS NULL, DeviceType, szIP FROM SerialNumbers")),
                 (QList<QVariantList>{{0, QString(), QString()}}));
    }

    void longColumnValuesAreCutOnCharacterBoundary()
    {
        // 1 + 30 * 2 bytes: the 48-byte field ends inside the 24th "é", which must go whole.
        const QString longSerial = QStringLiteral("a") + QString(30, QChar(0xE9));
        const QString longHost = QString(50, QChar(0x4E2D)); // 150 bytes of three-byte characters
        QVERIFY(testsupport::exec(
            QStringLiteral(
                "INSERT INTO SerialNumbers(CustomerID, SerialNumber, IsUse, DeviceType, DeviceSerialNum, szIP) "
                "VALUES(1, '%1', 0, '', '', '')")
                .arg(longSerial)));
        QVERIFY(testsupport::exec(
            QStringLiteral("UPDATE Customers SET CustomerHostAddr='%1' WHERE CustomerID=1").arg(longHost)));

        const QList<SerialRecord> page = pageSerials(0, 10, SerialFilter());
        QCOMPARE(page.size(), 1);
        QCOMPARE(fixedfield::get(page[0].serialNumber), QStringLiteral("a") + QString(23, QChar(0xE9))); // 47 bytes
        QCOMPARE(page[0].serialNumber[47], '\0');
        QCOMPARE(fixedfield::get(customerById(1)->hostAddr), QString(42, QChar(0x4E2D))); // 126 of 128 bytes
    }

    // Each lookup reaches its rows through an index and never sorts the pool; SQLite picks
    // the same plan for a small table as for a million rows.
    void lookupsUseIndexes_data()
    {
        QTest::addColumn<int>("operation");
        QTest::addColumn<QString>("index");
        const char *cases[][2] = {
            {"serialExists", "SerialNumbersBySerialNumber"},
            {"deleteSerial", "SerialNumbersBySerialNumber"},
            {"markSerialUsed", "SerialNumbersBy"},
            {"serialOfDevice", "SerialNumbersByDeviceSerialNum"},
            {"unusedSerials", "SerialNumbersByCustomerUse"},
            {"customer page", "SerialNumbersByCustomer "},
            {"usage+customer page", "SerialNumbersByCustomerUse"},
            {"customer count", "sqlite_autoindex_SerialCounts"}, // the count table's rows, never the pool's
            {"claimSerial", "SerialNumbersBySerialNumber"},      // never through all of a customer's unused ones
        };
        for (int i = 0; i < int(std::size(cases)); ++i)
            QTest::newRow(cases[i][0]) << i << QString::fromLatin1(cases[i][1]);
    }

    void lookupsUseIndexes()
    {
        QFETCH(int, operation);
        QFETCH(QString, index);
        if (testsupport::onServer())
            QSKIP("SQLite's query plans (the server's are measured by bench_store on a large pool)");
        insertNumbered(4);
        const QString s01 = QStringLiteral("S01"), d = QStringLiteral("D");
        const SerialFilter customer2{2, -1, {}}, unusedOf1{1, 0, {}};
        const std::function<void()> run[] = {
            [&] { serialExists(s01); },
            [&] { deleteSerial(s01); },
            [&] { markSerialUsed(s01, d, d, d); },
            [&] { serialOfDevice(d); },
            [&] { unusedSerials(50, 1); },
            [&] { pageSerials(0, 20, customer2); },
            [&] { pageSerials(0, 20, unusedOf1); },
            [&] { countSerials(customer2); },
            [&] { QVERIFY(beginBatch() && claimSerial(s01, 1, d, d, d) == ClaimResult::Claimed); },
        };
        run[operation]();
        QString sql = storeQuery.lastQuery();
        sql.replace(QLatin1Char('?'), QStringLiteral("'x'"));
        QString plan;
        for (const QVariantList &row : rows(QStringLiteral("EXPLAIN QUERY PLAN ") + sql))
            plan += row.last().toString() + QLatin1Char(' ');
        QVERIFY2(plan.contains(QStringLiteral("INDEX ") + index), qPrintable(plan));
        QVERIFY2(!plan.contains(QLatin1String("TEMP B-TREE")), qPrintable(plan));
        QVERIFY2(operation != 8 || !plan.contains(QLatin1String("SerialNumbersByCustomer")), qPrintable(plan));
        rollbackBatch();
    }

    void batchCommitsTogether()
    {
        QVERIFY(beginBatch());
        {
            OutputCatcher catcher;
            QVERIFY(!beginBatch()); // one batch at a time; the open one goes on
            QVERIFY(OutputCatcher::lines().isEmpty());
        }
        insertNumbered(4);
        QVERIFY(serialExists(QStringLiteral("S04")));
        QCOMPARE(countSerials(SerialFilter()), 4);
        // Another connection sees nothing until the batch is committed.
        QCOMPARE(count(QStringLiteral("SerialNumbers")), 0);
        QVERIFY(commitBatch());
        QCOMPARE(count(QStringLiteral("SerialNumbers")), 4);
        QVERIFY(!commitBatch());
        QVERIFY(insertSerial(serial(QStringLiteral("1"), QStringLiteral("after"))));
        QCOMPARE(count(QStringLiteral("SerialNumbers")), 5);
    }

    // Another station's import batch that has stored the same value but not committed
    // yet: this one waits for it rather than storing the value a second time (here it
    // gives up after a short lock timeout), and after that commit finds it stored.
    void serverImportsTakeTurns()
    {
        if (!testsupport::onServer())
            QSKIP("the file's batch holds the one write lock: no second writer can be between");
        QSqlDatabase other = testsupport::serverCluster()->connection(QStringLiteral("import-other-station"));
        QVERIFY(other.transaction());
        QSqlQuery o(other);
        QVERIFY(o.exec(QStringLiteral("SELECT pg_advisory_xact_lock(7274462)"))); // what its batch holds
        QVERIFY(o.exec(QStringLiteral("INSERT INTO SerialNumbers(CustomerID, SerialNumber, IsUse, DeviceType, "
                                      "DeviceSerialNum, szIP) VALUES(1, 'BOTH', 0, '', '', '')")));
        QVERIFY(QSqlQuery(storeDatabase).exec(QStringLiteral("SET lock_timeout = '300ms'")));
        NewSerialsTally tally;
        QVERIFY(beginBatch());
        QVERIFY(!storeNewSerials({QStringLiteral("BOTH")}, 2, &tally));
        rollbackBatch();
        QVERIFY(other.commit());
        QVERIFY(beginBatch() && storeNewSerials({QStringLiteral("BOTH")}, 2, &tally) && commitBatch());
        QCOMPARE(tally.unused, qint64(1));
        QCOMPARE(count(QStringLiteral("SerialNumbers WHERE SerialNumber='BOTH'")), 1);
    }

    // What the import leaves out is named by the state the pool holds it in: chunks of the
    // first and the last hundreds hold such values, the one between is all new (the server
    // looks a chunk up again only when it stored fewer than it was given).
    void importNamesWhatThePoolHolds()
    {
        QStringList values;
        for (int i = 0; i < 1300; ++i)
            values << QStringLiteral("T%1").arg(i, 4, 10, QLatin1Char('0'));
        // Unused (the other customer's), used, pending; retired pending, used and unused; and
        // what an older build or a hand may have left: a retired value stored again as
        // unused, a value in two rows of different states, a state this build does not know.
        QVERIFY(testsupport::exec(QStringLiteral(
            "INSERT INTO SerialNumbers(CustomerID, SerialNumber, IsUse, DeviceType, DeviceSerialNum, szIP) VALUES "
            "(2, 'T0003', 0, '', '', ''), (1, 'T0010', 1, 'NVR', 'D10', ''), (1, 'T0011', 2, 'IPC', 'D11', ''), "
            "(1, 'T0012', 2, 'IPC', 'D12', ''), (2, 'T0013', 1, 'NVR', 'D13', ''), (1, 'T1100', 0, '', '', ''), "
            "(2, 'T1200', 1, 'DVR', 'D1200', ''), (1, 'T1201', 0, '', '', ''), (1, 'T1202', 0, '', '', ''), "
            "(2, 'T1202', 1, 'NVR', 'D1202', ''), (1, 'T1203', 7, '', '', '')")));
        for (const char *retired : {"T0012", "T0013", "T1100", "T1201"})
            QVERIFY(deleteSerial(QLatin1String(retired)));
        QVERIFY(insertSerial(serial(QStringLiteral("1"), QStringLiteral("T1201"))));
        const QStringList held = {"T0003", "T0010", "T0011", "T0012", "T0013",
                                  "T1100", "T1200", "T1201", "T1202", "T1203"};

        NewSerialsTally tally;
        QVERIFY(beginBatch());
        QVERIFY(storeNewSerials(values, 1, &tally));
        QVERIFY(commitBatch());
        QCOMPARE((QList<qint64>{tally.stored, tally.used, tally.pending, tally.retired, tally.unused}),
                 (QList<qint64>{1290, 4, 1, 4, 1}));
        QStringList fresh = values;
        for (const QString &v : held)
            fresh.removeOne(v);
        QCOMPARE(column(QStringLiteral("SELECT SerialNumber FROM SerialNumbers WHERE CustomerID=1 AND IsUse=0 "
                                       "AND SerialNumber NOT IN ('T1201', 'T1202') ORDER BY SNID")),
                 fresh);
        QCOMPARE(count(QStringLiteral("SerialNumbers WHERE SerialNumber IN ('T0012', 'T0013', 'T1100')")), 0);

        // The same list again, for the other customer: nothing stored, every value named.
        QVERIFY(beginBatch());
        QVERIFY(storeNewSerials(values, 2, &tally));
        QVERIFY(commitBatch());
        QCOMPARE((QList<qint64>{tally.stored, tally.used, tally.pending, tally.retired, tally.unused}),
                 (QList<qint64>{0, 4, 1, 4, 1291}));
        QCOMPARE(count(QStringLiteral("SerialNumbers WHERE CustomerID=2 AND SerialNumber LIKE 'T%'")), 3);
    }

    // --- retiring: Delete takes a value out of the pool, and it stays on record ---

    void retiredValueStaysOnRecordAndNeverReturns_data()
    {
        QTest::addColumn<int>("state");    // of the value when it is deleted
        QTest::addColumn<bool>("inBatch"); // deleted inside the caller's batch
        // A state's row and device move alike in or out of a batch: each state once.
        QTest::newRow("unused") << int(SerialUnused) << false;
        QTest::newRow("pending") << int(SerialPending) << false;
        QTest::newRow("used, in the caller's batch") << int(SerialUsed) << true;
    }

    void retiredValueStaysOnRecordAndNeverReturns()
    {
        QFETCH(int, state);
        QFETCH(bool, inBatch);
        // GONE is stored twice for customer 2 (as an older build could), among values of both.
        const QString gone = QStringLiteral("GONE"), device = QStringLiteral("DEV-G");
        insertNumbered(9);
        QVERIFY(insertSerial(serial(QStringLiteral("2"), gone)) && insertSerial(serial(QStringLiteral("2"), gone)));
        QVERIFY(insertSerial(serial(QStringLiteral("2"), QStringLiteral("S10"))));
        if (state != SerialUnused)
            QVERIFY(beginBatch() && claimSerial(gone, 2, device, QStringLiteral("NVR"), {}) == ClaimResult::Claimed
                    && (state == SerialPending || markSerialUsed(gone, device, QStringLiteral("NVR"), {}))
                    && commitBatch());
        QVERIFY(burn(QStringLiteral("S04"), 2, QStringLiteral("DEV-4"), QStringLiteral("IPC"), {}));
        const QString rowSql = QStringLiteral("SELECT CustomerID, SerialNumber, IsUse, DeviceType, DeviceSerialNum, "
                                              "szIP FROM %1 WHERE SerialNumber='GONE' ORDER BY %2");
        const QList<QVariantList> held = rows(rowSql.arg(QStringLiteral("SerialNumbers"), QStringLiteral("SNID")));
        QCOMPARE(held.size(), 2);
        QCOMPARE(held.first(), held.last()); // both copies moved
        QCOMPARE(held.first().at(2).toInt(), state);
        const QString before = QDateTime::currentDateTime().addSecs(-1).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        if (inBatch) {
            // The caller's batch carries it: rolled back, nothing moved.
            QVERIFY(beginBatch());
            QVERIFY(deleteSerial(gone));
            QVERIFY(batchIsOpen());
            rollbackBatch();
            QCOMPARE(rows(rowSql.arg(QStringLiteral("SerialNumbers"), QStringLiteral("SNID"))), held);
            QCOMPARE(count(QStringLiteral("RetiredSerials")), 0);
            QVERIFY(beginBatch());
            QVERIFY(deleteSerial(gone));
            QVERIFY(commitBatch());
        } else {
            QVERIFY(deleteSerial(gone));
            QVERIFY(!batchIsOpen());
        }

        // Every row moved with its state and device, stamped with the time and the station.
        QCOMPARE(rows(rowSql.arg(QStringLiteral("RetiredSerials"), QStringLiteral("RSID"))), held);
        QCOMPARE(count(QStringLiteral("SerialNumbers WHERE SerialNumber='GONE'")), 0);
        QCOMPARE(rows(QStringLiteral("SELECT DISTINCT RetiredStation, CASE WHEN RetiredDate >= '%1' THEN 1 ELSE 0 END "
                                     "FROM RetiredSerials")
                          .arg(before)),
                 (QList<QVariantList>{{stationName(), 1}}));
        expectDesignedCountsAndPages("after retiring");

        // Never offered, never claimed, by the identifier or as the next free one.
        QVERIFY(!unusedSerialNumbers(100, 2).contains(gone));
        QVERIFY(beginBatch());
        QCOMPARE(claimSerial(gone, 2, QStringLiteral("DEV-N"), QStringLiteral("NVR"), {}), ClaimResult::Taken);
        QString claimed;
        for (int d = 0;
             storeIsServer() && claimNextSerial(2, QString::number(d), {}, {}, &claimed) == ClaimResult::Claimed; ++d)
            QVERIFY(claimed != gone);
        rollbackBatch();

        // Never imported again, for either customer, alone or among new values.
        NewSerialsTally tally;
        for (int customer : {1, 2}) {
            QVERIFY(beginBatch());
            QVERIFY(storeNewSerials({QStringLiteral("NEW-%1").arg(customer), gone, QStringLiteral("S03")}, customer,
                                    &tally));
            QVERIFY(commitBatch());
            QCOMPARE((QList<qint64>{tally.stored, tally.retired, tally.unused, tally.used, tally.pending}),
                     (QList<qint64>{1, 1, 1, 0, 0}));
        }
        QCOMPARE(count(QStringLiteral("SerialNumbers WHERE SerialNumber='GONE'")), 0);
        // Deleting it again finds nothing to move.
        QVERIFY(deleteSerial(gone));
        QCOMPARE(count(QStringLiteral("RetiredSerials")), 2);
        expectDesignedCountsAndPages("after the imports");
    }

    // --- counts and pages of a large pool: kept counts and paging by key ---

    // Counts and every page of every filter the Serial page can build (type, usage,
    // customer), walked forward and back by key and reached by skipping, and the log's,
    // against the designed statements run on a connection of the test's own.
    static void expectDesignedCountsAndPages(const char *when)
    {
        const auto keys = [](const auto &list, auto member) {
            QList<qint64> out;
            for (const auto &r : list)
                out << qint64(r.*member);
            return out;
        };
        const auto designedKeys = [](const QString &sql) {
            QList<qint64> out;
            for (const QString &v : column(sql))
                out << v.toLongLong();
            return out;
        };
        const int size = 7;
        for (const QString &type : {QString(), QStringLiteral("NVR"), QStringLiteral("IPC")})
            for (int use = -1; use <= 2; ++use)
                for (int customer = 0; customer <= 2; ++customer) {
                    const SerialFilter filter{customer, use, type};
                    const QString text = oracle::filterText(filter);
                    const QString what = QStringLiteral("%1, filter \"%2\", page ").arg(QLatin1String(when), text);
                    const QList<qint64> designed = designedKeys(
                        QStringLiteral("SELECT s.SNID FROM SerialNumbers as s JOIN Customers as c ON "
                                       "c.CustomerID=s.CustomerID WHERE 1=1 %1 ORDER BY s.SNID DESC")
                            .arg(text));
                    const int total = designed.size();
                    QVERIFY2(countSerials(filter) == total, qPrintable(what));
                    const int pages = qMax(1, (total + size - 1) / size);
                    QList<SerialRow> page = pageSerialRows(0, size, filter);
                    for (int p = 0; p < pages; ++p) {
                        const QList<qint64> expected = designed.mid(p * size, size);
                        QVERIFY2(keys(page, &SerialRow::snid) == expected, qPrintable(what + QString::number(p)));
                        QVERIFY2(keys(seekSerialPage(p, size, filter, total), &SerialRow::snid) == expected,
                                 qPrintable(what + QString::number(p) + QStringLiteral(" skipped to")));
                        if (p + 1 < pages)
                            page = serialRowsBelow(page.last().snid, size, filter);
                    }
                    for (int p = pages - 2; p >= 0; --p) {
                        page = serialRowsAbove(page.first().snid, size, filter);
                        QVERIFY2(keys(page, &SerialRow::snid) == designed.mid(p * size, size),
                                 qPrintable(what + QString::number(p) + QStringLiteral(" back")));
                    }
                }
        const QList<qint64> logs = designedKeys(QStringLiteral("SELECT LogID FROM Logs ORDER BY LogID DESC"));
        QCOMPARE(countLogs(), logs.size());
        QList<LogRow> page = pageLogRows(0, 5);
        for (int p = 0; p * 5 < logs.size(); ++p) {
            const QString what = QStringLiteral("%1, log page %2").arg(QLatin1String(when)).arg(p);
            QVERIFY2(keys(page, &LogRow::id) == logs.mid(p * 5, 5), qPrintable(what));
            QVERIFY2(keys(pageLogRows(p, 5), &LogRow::id) == logs.mid(p * 5, 5), qPrintable(what));
            QVERIFY2(keys(seekLogPage(p, 5, logs.size()), &LogRow::id) == logs.mid(p * 5, 5), qPrintable(what));
            if (!page.isEmpty())
                page = logRowsBelow(page.last().id, 5);
        }
    }

    void countsAndPagesMatchTheDesignedStatements()
    {
        // Customers 1, 2 and a customer id without a customer row; three types, some rows
        // without a type; unused, used and pending.
        const char *types[] = {"NVR", "IPC", "DVR", "HNVR-16", ""};
        for (int i = 1; i <= 60; ++i) {
            const int customer = i % 7 == 0 ? 9 : 1 + i % 2;
            QVERIFY(testsupport::exec(
                QStringLiteral("INSERT INTO SerialNumbers(CustomerID, SerialNumber, IsUse, "
                               "DeviceType, DeviceSerialNum, szIP) VALUES(%1, 'P%2', 0, '%3', '', '')")
                    .arg(customer)
                    .arg(i)
                    .arg(QLatin1String(types[i % 5]))));
        }
        for (int i = 1; i <= 12; ++i)
            addLog(makeLogRecord(QStringLiteral("t"), QStringLiteral("entry %1").arg(i)));
        expectDesignedCountsAndPages("after inserts");

        // Burns through the store (claims and marks), a pending claim, deletes.
        for (int i = 2; i <= 20; i += 3)
            if (i % 7 != 0)
                QVERIFY(testsupport::burnInPool(QStringLiteral("P%1").arg(i), 1 + i % 2, QStringLiteral("D%1").arg(i),
                                                QStringLiteral("NVR"), QStringLiteral("10.0.0.%1").arg(i)));
        QVERIFY(beginBatch()
                && claimSerial(QStringLiteral("P31"), 2, QStringLiteral("D31"), {}, {}) == ClaimResult::Claimed
                && commitBatch());
        QVERIFY(deleteSerial(QStringLiteral("P40")) && deleteSerial(QStringLiteral("P41")));
        expectDesignedCountsAndPages("after burns and deletes");

        // Another program writes the pool and the log at the same time (its own connection).
        QVERIFY(testsupport::exec(
            QStringLiteral("UPDATE SerialNumbers SET IsUse=1, DeviceType='IPC' WHERE SerialNumber='P50'")));
        QVERIFY(testsupport::exec(QStringLiteral("DELETE FROM SerialNumbers WHERE SerialNumber IN ('P51', 'P52')")));
        QVERIFY(testsupport::exec(QStringLiteral("UPDATE SerialNumbers SET CustomerID=2 WHERE SerialNumber='P53'")));
        QVERIFY(testsupport::exec(
            QStringLiteral("INSERT INTO Logs(LogType, LogDescribe, LogDate) VALUES('x', 'other', 'd')")));
        expectDesignedCountsAndPages("after another program's writes");

        closeDatabase();
        openDatabase();
        expectDesignedCountsAndPages("after a reopen");

        // A file an older build wrote after these counts existed, without them (the tables
        // and triggers gone): the next open counts from scratch.
        if (!testsupport::onServer()) {
            closeDatabase();
            for (const char *sql :
                 {"DROP TRIGGER SerialCountsInsert", "DROP TRIGGER SerialCountsUpdate",
                  "DROP TRIGGER SerialCountsDelete", "DROP TRIGGER LogCountsInsert", "DROP TRIGGER LogCountsDelete",
                  "INSERT INTO SerialNumbers(CustomerID, SerialNumber, IsUse, DeviceType, DeviceSerialNum, "
                  "szIP) VALUES(1, 'OLD', 1, 'NVR', 'DX', '')",
                  "DELETE FROM SerialNumbers WHERE SerialNumber='P3'"})
                QVERIFY(testsupport::exec(QLatin1String(sql)));
            openDatabase();
            expectDesignedCountsAndPages("after an older build wrote the file");
        }

        {
            // A pool of the version that counted without blocks: its count tables are of
            // another shape (and here wrong); the next open makes them anew and counts.
            closeDatabase();
            for (const char *sql :
                 {"DROP TABLE SerialCounts", "DROP TABLE LogCounts",
                  "CREATE TABLE SerialCounts (CustomerID INTEGER NOT NULL, IsUse INTEGER NOT NULL, DeviceType "
                  "VARCHAR NOT NULL, Shard INTEGER NOT NULL, Total BIGINT NOT NULL, PRIMARY KEY (CustomerID, "
                  "IsUse, DeviceType, Shard))",
                  "CREATE TABLE LogCounts (Shard INTEGER NOT NULL PRIMARY KEY, Total BIGINT NOT NULL)",
                  "INSERT INTO SerialCounts VALUES(1, 0, 'NVR', 0, 5)", "INSERT INTO LogCounts VALUES(0, 3)"})
                QVERIFY(testsupport::exec(QLatin1String(sql)));
            openDatabase();
            expectDesignedCountsAndPages("after the version before wrote the file");
        }
    }

    // --- customers ---

    void customerQueries()
    {
        QVERIFY(!customerById(99));
        QCOMPARE(customerById(1)->port, 5800);
        // Only value, host and port change; the name and the checked flag stay. The value's
        // 16-byte field takes a value as wide as it whole and cuts a longer one.
        QVERIFY(testsupport::exec(QStringLiteral("UPDATE Customers SET CustomerSvrChecked=1 WHERE CustomerID=2")));
        const QString sixteen = QStringLiteral("0123456789ABCDEF");
        QVERIFY(
            updateCustomer(QStringLiteral("Brisvan"), sixteen + QLatin1Char('X'), QStringLiteral("b.example"), 7000));
        // No such name (names match exactly): nothing changed, and it says so.
        QVERIFY(!updateCustomer(QStringLiteral("umeye"), QStringLiteral("v"), QStringLiteral("h"), 1));
        const QList<CustomerRecord> all = allCustomers();
        QCOMPARE(all.size(), 2);
        QCOMPARE((QStringList{fixedfield::get(all[1].customerName), fixedfield::get(all[1].customerValue),
                              fixedfield::get(all[1].hostAddr), QString::number(all[1].port),
                              QString::number(all[1].svrChecked)}),
                 (QStringList{"Brisvan", sixteen, "b.example", "7000", "1"}));
        QCOMPARE(QByteArray(customerById(2)->customerValue, 16), sixteen.toLatin1());
    }

    // --- fixed-width fields ---

    void fixedFieldCutsOnCharacterBoundary_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("kept");
        // An 8-byte field.
        QTest::newRow("ascii fits") << QStringLiteral("abcdefgh") << 8;
        QTest::newRow("ascii cut") << QStringLiteral("abcdefghij") << 8;
        QTest::newRow("two-byte at edge") << QStringLiteral("abcdefg") + QChar(0xE9) << 7;
        QTest::newRow("three-byte at edge") << QStringLiteral("abcdef") + QChar(0x4E2D) << 6;
        QTest::newRow("three-byte fits") << QStringLiteral("abcde") + QChar(0x4E2D) << 8;
        QTest::newRow("four-byte at edge") << QStringLiteral("abcde") + QString::fromUcs4(U"\U0001F600") << 5;
        QTest::newRow("only multibyte") << QString(5, QChar(0x4E2D)) << 6;
    }

    void fixedFieldCutsOnCharacterBoundary()
    {
        QFETCH(QString, text);
        QFETCH(int, kept);
        struct {
            char field[8];
            char guard[4];
        } f;
        const QByteArray utf8 = text.toUtf8();
        std::memset(&f, 'Z', sizeof f);
        fixedfield::put(f.field, text);
        // A value exactly as wide as its field comes back whole, without a NUL.
        QCOMPARE(fixedfield::bytes(f.field), utf8.left(kept));
        QVERIFY(QString::fromUtf8(fixedfield::bytes(f.field)).toUtf8() == fixedfield::bytes(f.field)); // valid UTF-8
        for (int i = kept; i < 8; ++i)
            QCOMPARE(f.field[i], '\0');
        QCOMPARE(QByteArray(f.guard, 4), QByteArray("ZZZZ")); // nothing written past the field
        QCOMPARE(fixedfield::fitsWithNul(utf8, 8), utf8.size() < 8);
        QVERIFY(!fixedfield::fitsWithNul(utf8 + QByteArray("\0b", 2), 16));

        // The SDK's records keep their last byte for the NUL, by the same cutting rule.
        std::memset(&f, 'Z', sizeof f);
        fixedfield::putTerminated(f.field, sizeof f.field, utf8.constData(), std::size_t(utf8.size()));
        const QByteArray terminated(f.field); // up to its NUL, which is there
        QCOMPARE(f.field[7], '\0');
        QVERIFY(utf8.startsWith(terminated) && terminated.size() >= qMin(kept, 7) - 3);
        QVERIFY(QString::fromUtf8(terminated).toUtf8() == terminated);
        QCOMPARE(QByteArray(f.guard, 4), QByteArray("ZZZZ"));
    }

    // --- connections: per thread, durable, bounded, reopened ---

    // A worker thread works on a connection of its own: what it commits the UI thread's
    // connection sees, and its failures are its own.
    void workerThreadHasAConnectionOfItsOwn()
    {
        QVERIFY(insertSerial(serial(QStringLiteral("1"), QStringLiteral("W1"))));
        const int logsBefore = count(QStringLiteral("Logs"));
        const QString uiConnection = storeDatabase.connectionName();
        bool claimed = false, workerReadFailed = false;
        std::unique_ptr<QThread> worker(QThread::create([&] {
            claimed = openStoreForThisThread() && storeDatabase.connectionName() != uiConnection && beginBatch()
                && claimSerial(QStringLiteral("W1"), 1, QStringLiteral("DEV-W"), {}, {}) == ClaimResult::Claimed
                && addLog(makeLogRecord(QStringLiteral("Burning"), QStringLiteral("W1"))) && commitBatch();
            oracle::countSerials(QStringLiteral(" AND s.NoSuchColumn=1"));
            workerReadFailed = lastStoreCallFailed();
            closeStoreForThisThread();
        }));
        worker->start();
        QVERIFY(worker->wait(120000));
        QVERIFY2(claimed && workerReadFailed, qPrintable(storeError()));
        QVERIFY(!lastStoreCallFailed());
        QCOMPARE(holdingOfDevice(QStringLiteral("DEV-W")).serialNumber, QStringLiteral("W1"));
        QCOMPARE(count(QStringLiteral("Logs")), logsBefore + 1);
        // "Nothing found" that is true is no failure.
        QVERIFY(!serialExists(QStringLiteral("ABSENT")));
        QVERIFY(!lastStoreCallFailed());
    }

    // A commit says true only when the batch's writes are stored. The server spoils a
    // transaction at its first failed statement and answers COMMIT with a rollback.
    void commitTellsWhetherTheBatchIsStored()
    {
        QVERIFY(beginBatch());
        QVERIFY(insertSerial(serial(QStringLiteral("1"), QStringLiteral("SPOILT-1"))));
        oracle::countSerials(QStringLiteral(" AND s.NoSuchColumn=1"));
        QVERIFY(lastStoreCallFailed());
        insertSerial(serial(QStringLiteral("1"), QStringLiteral("SPOILT-2")));
        const bool committed = commitBatch();
        QVERIFY(!batchIsOpen());
        QCOMPARE(count(QStringLiteral("SerialNumbers WHERE SerialNumber='SPOILT-1'")), committed ? 1 : 0);
        if (testsupport::onServer())
            QVERIFY(!committed);
        QVERIFY(insertSerial(serial(QStringLiteral("1"), QStringLiteral("AFTER"))));
        QCOMPARE(count(QStringLiteral("SerialNumbers WHERE SerialNumber='AFTER'")), 1);
    }

    void durabilityIsAskedNotAssumed()
    {
        QString why;
        if (!testsupport::onServer()) {
            QVERIFY(storeIsDurable(&why));
            return;
        }
        // The suite's throwaway server runs with fsync and synchronous_commit off; the
        // session commits synchronously whatever the server's default.
        QVERIFY(!storeIsDurable(&why));
        QVERIFY2(why.contains(QLatin1String("fsync = off")), qPrintable(why));
        QVERIFY(!lastStoreCallFailed());
        QSqlQuery show(storeDatabase);
        QVERIFY(show.exec(QStringLiteral("SHOW synchronous_commit")) && show.next());
        QCOMPARE(show.value(0).toString(), QStringLiteral("on"));
        show.finish();
        // A server that cannot be asked is not taken as durable.
        closeDatabase();
        QVERIFY(!storeIsDurable(&why));
        QVERIFY2(why.startsWith(QLatin1String("could not ask")), qPrintable(why));
    }

    // A server that commits lazily by default (synchronous_commit = off) and is killed
    // right after the station's commits: every claim and mark the station was told about is
    // there after the restart, round after round.
    void acknowledgedClaimsSurviveAServerCrash()
    {
        if (!testsupport::onServer())
            QSKIP("the file commits through SQLite's journal");
        testsupport::PgCluster lazy;
        // WAL the server has not written by itself for ten seconds is lost in a crash.
        lazy.setServerSettings({QStringLiteral("synchronous_commit=off"), QStringLiteral("wal_writer_delay=10s")});
        QVERIFY2(lazy.start(), qPrintable(lazy.errorText()));
        closeDatabase();
        testsupport::pointAtServer(lazy, QStringLiteral("crash-station"));
        openDatabase();
        for (int round = 1; round <= 10; ++round) {
            // The first two are claimed and marked; the third stays pending.
            for (int i = 0; i < 3; ++i) {
                const QString uuid = QStringLiteral("R%1-%2").arg(round).arg(i);
                const QString device = QStringLiteral("DEV-") + uuid;
                QVERIFY2(insertSerial(serial(QStringLiteral("1"), uuid)) && beginBatch()
                             && claimSerial(uuid, 1, device, QStringLiteral("NVR"), {}) == ClaimResult::Claimed
                             && addLog(makeLogRecord(QStringLiteral("Burning"), uuid)) && commitBatch(),
                         qPrintable(storeError()));
                if (i < 2)
                    QVERIFY2(beginBatch() && markSerialUsed(uuid, device, QStringLiteral("NVR"), {}) && commitBatch(),
                             qPrintable(storeError()));
            }
            QVERIFY2(lazy.crash() && lazy.restart(), qPrintable(lazy.errorText()));
            // The station's connection died with the server: its next read says so, the one
            // after it connects again and finds everything it was told about.
            QVERIFY(!serialExists(QStringLiteral("R1-0")));
            QVERIFY(lastStoreCallFailed());
            for (int i = 0; i < 3; ++i) {
                const DeviceHolding h = holdingOfDevice(QStringLiteral("DEV-R%1-%2").arg(round).arg(i));
                QCOMPARE(h.serialNumber, QStringLiteral("R%1-%2").arg(round).arg(i));
                QCOMPARE(h.isUse, i < 2 ? int(SerialUsed) : int(SerialPending));
            }
            QCOMPARE(countLogs(), 3 * round);
            QVERIFY(!lastStoreCallFailed());
        }
        closeDatabase();
    }

    void lostConnectionIsAFailureThenReopened_data()
    {
        QTest::addColumn<bool>("freeze");
        QTest::addColumn<bool>("inBatch");
        QTest::newRow("backend terminated, read") << false << false;
        QTest::newRow("backend terminated, in a batch") << false << true;
        QTest::newRow("server stopped, read") << true << false;
        QTest::newRow("server stopped, in a batch") << true << true;
    }

    // A connection that dies (its backend terminated) or stops answering (the server's
    // processes stopped) fails the call within the bound and says so; a batch that
    // depended on it is gone with nothing of it stored; the next call once the server
    // answers connects again and reads the truth.
    void lostConnectionIsAFailureThenReopened()
    {
        if (!testsupport::onServer())
            QSKIP("the file's connection cannot be lost");
        QFETCH(bool, freeze);
        QFETCH(bool, inBatch);
        qputenv("TARNWELL_STORE_TIMEOUT_MS", "3000");
        closeDatabase();
        openDatabase();
        QVERIFY(insertSerial(serial(QStringLiteral("1"), QStringLiteral("KNOWN"))));
        QVERIFY(insertSerial(serial(QStringLiteral("1"), QStringLiteral("FREE"))));
        const int logsBefore = count(QStringLiteral("Logs"));
        const auto claimFree = [] {
            return claimSerial(QStringLiteral("FREE"), 1, QStringLiteral("DEV-F"), QStringLiteral("NVR"), {});
        };
        if (inBatch)
            QVERIFY(beginBatch() && addLog(makeLogRecord(QStringLiteral("Burning"), QStringLiteral("FREE"))));
        std::unique_ptr<Frozen> frozen;
        if (freeze)
            frozen = std::make_unique<Frozen>();
        else
            QVERIFY(testsupport::exec(QStringLiteral(
                "SELECT pg_terminate_backend(pid, 10000) FROM pg_stat_activity WHERE pid <> pg_backend_pid() "
                "AND datname = current_database() AND backend_type = 'client backend'")));

        QVERIFY(inBatch ? claimFree() == ClaimResult::Failed : !serialExists(QStringLiteral("KNOWN")));
        QVERIFY(lastStoreCallFailed());
        if (freeze)
            QVERIFY2(storeError().contains(QLatin1String("did not answer within 3 s")), qPrintable(storeError()));
        if (freeze && !inBatch) {
            // Still stopped: the next call's new connection gets no answer either.
            QVERIFY(!serialExists(QStringLiteral("KNOWN")));
            QVERIFY2(storeError().contains(QLatin1String("could not be made again")), qPrintable(storeError()));
        }
        if (inBatch) {
            // The batch is gone; what its owner goes on writing is not stored on its own.
            QVERIFY(!batchIsOpen());
            QVERIFY(!addLog(makeLogRecord(QStringLiteral("Burnt"), QStringLiteral("FREE"))));
            QVERIFY(!commitBatch());
        }
        frozen.reset();

        QVERIFY2(serialExists(QStringLiteral("KNOWN")), qPrintable(storeError()));
        QVERIFY(!lastStoreCallFailed());
        QCOMPARE(count(QStringLiteral("Logs")), logsBefore);
        QVERIFY(beginBatch());
        QCOMPARE(claimFree(), ClaimResult::Claimed);
        QVERIFY(commitBatch());
    }
};

TARNWELL_TEST_MAIN(TestStore)
#include "tst_store.moc"
