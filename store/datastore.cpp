#include "store/datastore.h"
#include "store/fixedfield.h"
#include "store/lockkeys.h"

#include "store/storesettings.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlRecord>
#include <QSqlResult>
#include <QSysInfo>
#include <QVariant>

#include <QMutex>
#include <QMutexLocker>

#include <libpq-fe.h>
#include <sqlite3.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <initializer_list>
#include <limits>
#include <map>
#include <mutex>
#include <thread>

thread_local QSqlDatabase storeDatabase;
// Made without a database: a query made with none would look up the default connection,
// which belongs to the UI thread, and warn on any other.
thread_local QSqlQuery storeQuery{static_cast<QSqlResult *>(nullptr)};

namespace {

const char kDatabaseName[] = "mydatabase.db";

// The engine behind the connection. The statements are written once, in SQLite's words;
// dialect() turns them into PostgreSQL's where the two differ. Set by openDatabase()
// before any worker thread opens its connection.
StoreSettings::Engine engine = StoreSettings::SQLite;
QString station;

// The settings openDatabase() used, for the worker threads' connections and reconnects.
QMutex settingsLock;
StoreSettings openedSettings;

// How long one statement may go unanswered on the server before the call fails.
std::atomic<int> timeoutMs{15000};

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

// Everything below is the calling thread's own: each thread has its connection.

// Text of the statement currently prepared on storeQuery; empty when none is.
// The import and the device search run the same statement many times in a row,
// so an unchanged statement is executed again without being prepared again.
thread_local QString preparedSql;

// The driver's text of the last statement that failed, for the operator's box.
thread_local QString failureText;

// The import's chunk statements, each prepared once per connection: parsing a statement
// of hundreds of values costs more than running it, and the import alternates between
// two of them, which storeQuery's single slot would prepare anew every time.
thread_local QHash<QString, QSqlQuery> bulkQueries;

// True while a batch (BEGIN IMMEDIATE .. COMMIT) is open on the connection.
thread_local bool batchOpen = false;
// True when the connection was lost inside a batch its owner has not ended yet.
thread_local bool batchLost = false;

// True once this thread's connection was opened, until it is closed on purpose: a
// connection lost meanwhile is opened again by the next call.
thread_local bool connectionWanted = false;

// The current store call: nesting depth, whether a statement of it failed, and whether it
// ran storeQuery.
thread_local int callDepth = 0;
thread_local bool callFailed = false;
thread_local bool callUsedStoreQuery = false;

// Set by the watchdog when it cut this thread's connection.
thread_local std::atomic<bool> deadlineMissed{false};

void fail(const QString &why)
{
    failureText = why;
    callFailed = true;
}

// A statement with no connection to run on. A connection that could not be made again
// keeps that reason for the call.
void notOpen()
{
    fail(callFailed ? failureText : QStringLiteral("the database is not open"));
}

QString notAnswered()
{
    return QStringLiteral("the server did not answer within %1 s").arg((timeoutMs.load() + 999) / 1000);
}

PGconn *serverHandle()
{
    if (engine != StoreSettings::PostgreSQL || !storeDatabase.isValid() || !storeDatabase.driver())
        return nullptr;
    const QVariant handle = storeDatabase.driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "PGconn*") != 0)
        return nullptr;
    return *static_cast<PGconn *const *>(handle.constData());
}

// Cuts a server connection whose statement has gone unanswered too long. A server whose
// processes are stopped still has its kernel acknowledge every packet, so neither TCP
// keepalives nor the server's own timeouts end the wait: shutting the socket down makes
// the blocked call return with a connection error. A COMMIT cut this way may still have
// committed on the server; the caller takes it as failed, which is safe because no device
// is written without an acknowledged claim (the claim is then left pending or unused,
// never given to a second device).
class Watchdog
{
public:
    static Watchdog &instance()
    {
        // Never destroyed: its thread runs until the process ends.
        static Watchdog *dog = new Watchdog;
        return *dog;
    }

    void arm(int fd, int ms)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        watches_[&deadlineMissed] = {fd, std::chrono::steady_clock::now() + std::chrono::milliseconds(ms)};
        wake_.notify_one();
    }

    void disarm()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        watches_.erase(&deadlineMissed);
    }

private:
    struct Watch {
        int fd;
        std::chrono::steady_clock::time_point deadline;
    };

    Watchdog()
    {
        std::thread([this] { watch(); }).detach();
    }

    void watch()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (watches_.empty()) {
                wake_.wait(lock);
                continue;
            }
            auto first = watches_.begin();
            for (auto it = watches_.begin(); it != watches_.end(); ++it)
                if (it->second.deadline < first->second.deadline)
                    first = it;
            // A copy: the watch may be disarmed (erased) while this thread waits, and the
            // wait reads its deadline again each time it wakes.
            const std::chrono::steady_clock::time_point deadline = first->second.deadline;
            if (std::chrono::steady_clock::now() < deadline) {
                wake_.wait_until(lock, deadline);
                continue;
            }
            // Still registered, so the owning thread is inside its call and the socket open.
            first->first->store(true);
            ::shutdown(first->second.fd, SHUT_RDWR);
            watches_.erase(first);
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<std::atomic<bool> *, Watch> watches_;
};

// Starts (or starts again) the clock for the statement about to run on this thread's
// server connection; it runs until the next statement or the end of the call.
void armDeadline()
{
    PGconn *conn = serverHandle();
    if (!conn || PQsocket(conn) < 0) {
        // No socket (a connection libpq has dropped): nothing to wait on, and a number kept
        // from before may be another file's by now.
        Watchdog::instance().disarm();
        return;
    }
    Watchdog::instance().arm(PQsocket(conn), timeoutMs.load());
}

bool serverConnectionLost()
{
    if (engine != StoreSettings::PostgreSQL)
        return false;
    if (!storeDatabase.isOpen())
        return true;
    PGconn *conn = serverHandle();
    return !conn || PQstatus(conn) == CONNECTION_BAD;
}

// After a statement failed: the reason, and when the connection went with it, the batch
// it held is gone.
void statementFailed(const QString &driverText)
{
    fail(deadlineMissed.load() ? notAnswered() : driverText);
    if (serverConnectionLost() && batchOpen) {
        batchOpen = false;
        batchLost = true;
    }
}

QString connectOptions()
{
    // Keepalives notice a server machine that is gone; tcp_user_timeout one that stops
    // acknowledging what was sent. connect_timeout bounds a connect that gets no answer.
    const int ms = timeoutMs.load();
    return QStringLiteral("connect_timeout=%1;keepalives=1;keepalives_idle=5;keepalives_interval=2;"
                          "keepalives_count=3;tcp_user_timeout=%2")
        .arg(qMax(2, (ms + 999) / 1000))
        .arg(ms);
}

// Every session: commits wait for the server's disk whatever its default says (a claim
// acknowledged and then lost in a server crash would let its identifier go to a second
// device), and the server itself ends a statement or a lock wait before the station's
// bound cuts the connection. `schemaWork`: no statement limit yet (building indexes or
// counts on a large pool may take longer).
bool applySessionSettings(bool schemaWork)
{
    const int ms = timeoutMs.load();
    for (const QString &sql : {QStringLiteral("SET synchronous_commit = on"),
                               QStringLiteral("SET statement_timeout = %1").arg(schemaWork ? 0 : ms * 4 / 5),
                               QStringLiteral("SET lock_timeout = %1").arg(schemaWork ? 10000 : ms * 2 / 3)}) {
        QSqlQuery q(storeDatabase);
        if (!q.exec(sql)) {
            statementFailed(q.lastError().text());
            return false;
        }
    }
    return true;
}

void clearStatementCaches()
{
    preparedSql.clear();
    bulkQueries.clear();
    storeQuery = QSqlQuery(static_cast<QSqlResult *>(nullptr));
}

bool openServer(const StoreSettings &settings, const QString &name);

// Drops this thread's server connection without a round trip: the driver goes first, so
// its statements are not freed one by one on the server (the session's end frees them; on
// a lost or stopped server each would warn or wait).
void releaseServerConnection()
{
    const QString name = storeDatabase.connectionName();
    const QSqlQuery oldQuery = storeQuery;
    QHash<QString, QSqlQuery> oldBulk;
    oldBulk.swap(bulkQueries);
    storeQuery = QSqlQuery(static_cast<QSqlResult *>(nullptr));
    preparedSql.clear();
    storeDatabase = QSqlDatabase();
    if (!name.isEmpty())
        QSqlDatabase::removeDatabase(name);
}

// Opens this thread's server connection again after it was lost (outside a batch).
void reconnect()
{
    const QString name = storeDatabase.connectionName();
    releaseServerConnection();
    StoreSettings settings;
    {
        QMutexLocker lock(&settingsLock);
        settings = openedSettings;
    }
    if (!openServer(settings, name)) {
        fail(QStringLiteral("the connection to the server was lost and could not be made again: %1")
                 .arg(storeDatabase.lastError().text()));
        return;
    }
    storeQuery = QSqlQuery(storeDatabase);
    // Within the call's bound: a server that accepted the connection and then stopped.
    armDeadline();
    applySessionSettings(false);
}

// The start of a store call: clears the failure flag, and reconnects a lost connection
// unless a batch depended on it.
void beginCall()
{
    callFailed = false;
    callUsedStoreQuery = false;
    deadlineMissed.store(false);
    if (batchLost) {
        fail(QStringLiteral("the connection to the server was lost; the batch was rolled back"));
        return;
    }
    if (connectionWanted && serverConnectionLost())
        reconnect();
}

// Marks one store call (outermost only): every public function starts with one.
class StoreCall
{
public:
    StoreCall()
    {
        if (callDepth++ == 0)
            beginCall();
    }
    ~StoreCall()
    {
        if (--callDepth != 0)
            return;
        Watchdog::instance().disarm();
        // The server's rows arrive one by one: a connection lost among them ends a read
        // loop as its last row would, and only the query's error tells the two apart.
        if (callUsedStoreQuery && !callFailed && storeQuery.lastError().isValid())
            statementFailed(storeQuery.lastError().text());
    }
    StoreCall(const StoreCall &) = delete;
    StoreCall &operator=(const StoreCall &) = delete;
};

// Runs `exec` (one statement) under the deadline. A store function without its StoreCall
// still gets a call of its own per statement, so nothing runs unbounded or unreconnected.
template <typename Exec>
bool bounded(Exec exec)
{
    if (callDepth == 0) {
        StoreCall call;
        if (batchLost)
            return false;
        armDeadline();
        return exec();
    }
    if (batchLost)
        return false;
    armDeadline();
    return exec();
}

// A null text would be bound as SQL NULL; the statements compare and store texts,
// so an empty value must reach the database as the empty text.
QVariant text(const QString &value)
{
    return value.isNull() ? QVariant(QStringLiteral("")) : QVariant(value);
}

// Prepares `sql` on storeQuery (unless it already is), binds the values as
// parameters and runs it. A statement that cannot run counts as one that returned
// no row. Nothing is attempted without an open database, so no warning is printed.
bool run(const QString &sql, std::initializer_list<QVariant> values = {})
{
    return bounded([&] {
        if (!storeDatabase.isOpen()) {
            notOpen();
            return false;
        }
        // lastQuery() tells whether storeQuery itself still holds that statement.
        if (sql != preparedSql || storeQuery.lastQuery() != dialect(sql)) {
            preparedSql.clear();
            storeQuery.setForwardOnly(true);
            if (!storeQuery.prepare(dialect(sql))) {
                statementFailed(storeQuery.lastError().text());
                return false;
            }
            preparedSql = sql;
        }
        for (const QVariant &v : values)
            storeQuery.addBindValue(v.type() == QVariant::String ? text(v.toString()) : v);
        callUsedStoreQuery = true;
        if (!storeQuery.exec()) {
            statementFailed(storeQuery.lastError().text());
            // The statement may be gone with its connection; prepare it afresh next time.
            preparedSql.clear();
            return false;
        }
        return true;
    });
}

// Runs a write keyed by one identifier; true only when exactly one row changed.
bool runOne(const QString &sql, std::initializer_list<QVariant> values)
{
    if (!run(sql, values))
        return false;
    const int changed = storeQuery.numRowsAffected();
    if (changed != 1) {
        failureText = QStringLiteral("%1 rows changed where one was expected").arg(changed);
        return false;
    }
    return true;
}

// A statement outside storeQuery's prepared cache (transaction control).
bool control(const QString &sql)
{
    return bounded([&] {
        if (!storeDatabase.isOpen()) {
            notOpen();
            return false;
        }
        QSqlQuery q(storeDatabase);
        if (!q.exec(dialect(sql))) {
            statementFailed(q.lastError().text());
            return false;
        }
        return true;
    });
}

// Reads the first row's column 0 as an integer; the statement is then reset so
// that no read stays open on the file between operations.
int firstInt(const QString &sql, std::initializer_list<QVariant> values, int none)
{
    const int result = run(sql, values) && storeQuery.next() ? storeQuery.value(0).toInt() : none;
    storeQuery.finish();
    return result;
}

template <std::size_t N>
void putColumn(char (&field)[N], int column)
{
    fixedfield::put(field, storeQuery.value(column).toString());
}

SerialRecord readSerialRow()
{
    SerialRecord r{};
    putColumn(r.serialNumber, 1);
    putColumn(r.customerName, 2);
    r.isUse = storeQuery.value(3).toInt();
    putColumn(r.deviceType, 4);
    putColumn(r.deviceSerialNum, 5);
    putColumn(r.deviceIp, 6);
    return r;
}

CustomerRecord readCustomerRow()
{
    CustomerRecord r{};
    putColumn(r.customerName, 0);
    putColumn(r.customerValue, 1);
    putColumn(r.hostAddr, 2);
    r.port = storeQuery.value(3).toInt();
    r.svrChecked = storeQuery.value(4).toInt();
    return r;
}

QList<SerialRecord> serialRows(const QString &sql)
{
    QList<SerialRecord> rows;
    if (run(sql))
        while (storeQuery.next())
            rows.append(readSerialRow());
    return rows;
}

SerialRow serialRowOf(const QSqlQuery &q)
{
    return {q.value(0).toLongLong(), q.value(1).toString(), q.value(2).toString(), q.value(3).toInt(),
            q.value(4).toString(),   q.value(5).toString(), q.value(6).toString()};
}

const QString kSerialSelect = QStringLiteral(
    "SELECT s.SNID,s.SerialNumber,c.CustomerName,s.IsUse,s.DeviceType,s.DeviceSerialNum,s.szIP "
    "FROM SerialNumbers as s JOIN Customers as c ON c.CustomerID=s.CustomerID ");

const QString kCustomerSelect = QStringLiteral(
    "SELECT CustomerName, CustomerValue, CustomerHostAddr, CustomerPort, CustomerSvrChecked From Customers");

// A negative row count would mean "no limit" to SQLite; a list never holds more
// rows than asked for, so it counts as zero.
int rowLimit(int n)
{
    return n < 0 ? 0 : n;
}

} // namespace

namespace {

// Every import looks its values up here as well as in the pool.
const QString kRetiredIndex = QStringLiteral(
    "CREATE INDEX IF NOT EXISTS RetiredSerialsBySerialNumber ON RetiredSerials (SerialNumber)");

// The four tables as declared, in each engine's words, and the identifiers taken out of the
// pool (a value the pool has held is never stored as unused again, so what Delete takes out
// stays on record with its state and device). On the server the ids are numbered by the
// server, and the customer reference stays declarative as it is in the file. Each is made
// when missing, so a file or server of an earlier version gains the retired table on open.
QStringList schema()
{
    if (engine == StoreSettings::SQLite)
        return {
            QStringLiteral(
                "CREATE TABLE IF NOT EXISTS Users (UserID INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL UNIQUE, "
                "UserName VARCHAR NOT NULL UNIQUE, UserPwd VARCHAR NOT NULL)"),
            QStringLiteral(
                "CREATE TABLE IF NOT EXISTS Customers (CustomerID INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL "
                "UNIQUE, CustomerName VARCHAR NOT NULL UNIQUE, CustomerValue VARCHAR, CustomerHostAddr VARCHAR, "
                "CustomerPort INTEGER, CustomerSvrChecked INTEGER NOT NULL DEFAULT 0)"),
            QStringLiteral("CREATE TABLE IF NOT EXISTS Logs (LogID INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL UNIQUE, "
                           "LogType VARCHAR NOT NULL, LogDescribe VARCHAR NOT NULL, LogDate VARCHAR NOT NULL)"),
            QStringLiteral(
                "CREATE TABLE IF NOT EXISTS SerialNumbers (SNID INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL "
                "UNIQUE, CustomerID INTEGER NOT NULL REFERENCES Customers (CustomerID), SerialNumber VARCHAR "
                "NOT NULL, IsUse INTEGER NOT NULL DEFAULT 0, DeviceType VARCHAR, DeviceSerialNum VARCHAR, "
                "szIP VARCHAR)"),
            QStringLiteral(
                "CREATE TABLE IF NOT EXISTS RetiredSerials (RSID INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL UNIQUE, "
                "CustomerID INTEGER NOT NULL, SerialNumber VARCHAR NOT NULL, IsUse INTEGER NOT NULL, "
                "DeviceType VARCHAR, DeviceSerialNum VARCHAR, szIP VARCHAR, RetiredDate VARCHAR NOT NULL, "
                "RetiredStation VARCHAR)"),
            kRetiredIndex,
        };
    return {
        QStringLiteral("CREATE TABLE IF NOT EXISTS Users (UserID BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY, "
                       "UserName VARCHAR NOT NULL UNIQUE, UserPwd VARCHAR NOT NULL)"),
        QStringLiteral(
            "CREATE TABLE IF NOT EXISTS Customers (CustomerID BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY "
            "KEY, CustomerName VARCHAR NOT NULL UNIQUE, CustomerValue VARCHAR, CustomerHostAddr VARCHAR, "
            "CustomerPort INTEGER, CustomerSvrChecked INTEGER NOT NULL DEFAULT 0)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS Logs (LogID BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY, "
                       "LogType VARCHAR NOT NULL, LogDescribe VARCHAR NOT NULL, LogDate VARCHAR NOT NULL, "
                       "LogStation VARCHAR)"),
        QStringLiteral(
            "CREATE TABLE IF NOT EXISTS SerialNumbers (SNID BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY "
            "KEY, CustomerID INTEGER NOT NULL, SerialNumber VARCHAR NOT NULL, IsUse INTEGER NOT NULL DEFAULT 0, "
            "DeviceType VARCHAR, DeviceSerialNum VARCHAR, szIP VARCHAR)"),
        QStringLiteral(
            "CREATE TABLE IF NOT EXISTS RetiredSerials (RSID BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY, "
            "CustomerID INTEGER NOT NULL, SerialNumber VARCHAR NOT NULL, IsUse INTEGER NOT NULL, "
            "DeviceType VARCHAR, DeviceSerialNum VARCHAR, szIP VARCHAR, RetiredDate VARCHAR NOT NULL, "
            "RetiredStation VARCHAR)"),
        kRetiredIndex,
    };
}

// The seed rows, each only where its name is not taken yet: the designed inserts fail on
// the UNIQUE names after the first start, and on the server a failed insert would still
// use up an id.
void seed()
{
    const struct {
        const char *sql;
        QString name;
    } rows[] = {
        {"INSERT INTO Users (UserName, UserPwd) SELECT ?, 'qorvi' WHERE NOT EXISTS (SELECT 1 FROM Users WHERE UserName=?)",
         QStringLiteral("admin")},
        {"INSERT INTO Customers (CustomerName, CustomerValue, CustomerHostAddr, CustomerPort, CustomerSvrChecked) "
         "SELECT ?, 'DeviceID', 'svr.umeye.example', 5800, 0 WHERE NOT EXISTS (SELECT 1 FROM Customers WHERE CustomerName=?)",
         QStringLiteral("UMEYE")},
        // The second customer's name is translatable, so it is bound rather than spliced.
        {"INSERT INTO Customers (CustomerName, CustomerValue, CustomerHostAddr, CustomerPort, CustomerSvrChecked) "
         "SELECT ?, 'GoolinkGID', '', 0, 0 WHERE NOT EXISTS (SELECT 1 FROM Customers WHERE CustomerName=?)",
         QCoreApplication::translate("QObject", "Brisvan")},
    };
    for (const auto &row : rows) {
        QSqlQuery q(storeDatabase);
        q.prepare(QLatin1String(row.sql));
        q.addBindValue(row.name);
        q.addBindValue(row.name);
        q.exec();
    }
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
void prepareCounts()
{
    const bool server = engine == StoreSettings::PostgreSQL;
    const bool fresh = !storeDatabase.tables().contains(QStringLiteral("SerialCounts"), Qt::CaseInsensitive);
    if (!fresh && (server ? countsHaveBlocks() : countsKept()))
        return;
    if (!control(QStringLiteral("BEGIN IMMEDIATE")))
        return;
    // Tables and triggers are made anew: those of an earlier version have another shape.
    QStringList sql;
    if (!server)
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
    bool ok = true;
    for (const QString &one : sql)
        ok = ok && QSqlQuery(storeDatabase).exec(one);
    control(ok ? QStringLiteral("COMMIT") : QStringLiteral("ROLLBACK"));
}

// Makes `name` this thread's connection with `driver`, replacing one of another driver.
void useConnection(const QString &name, const QString &driver)
{
    storeDatabase = QSqlDatabase::contains(name) ? QSqlDatabase::database(name, false)
                                                 : QSqlDatabase::addDatabase(driver, name);
    if (storeDatabase.driverName() != driver) {
        storeDatabase = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
        storeDatabase = QSqlDatabase::addDatabase(driver, name);
    }
}

bool openServer(const StoreSettings &settings, const QString &name)
{
    useConnection(name, QStringLiteral("QPSQL"));
    storeDatabase.setHostName(settings.host);
    storeDatabase.setPort(settings.port);
    storeDatabase.setDatabaseName(settings.database);
    storeDatabase.setUserName(settings.user);
    storeDatabase.setPassword(settings.password);
    storeDatabase.setConnectOptions(connectOptions());
    return storeDatabase.open();
}

bool openFile(const QString &name)
{
    useConnection(name, QStringLiteral("QSQLITE"));
    storeDatabase.setDatabaseName(QLatin1String(kDatabaseName));
    // The file holds the administrator's password: readable by its owner only. Made here
    // so SQLite never creates it with the process's default mode.
    if (!QFile::exists(QLatin1String(kDatabaseName))) {
        QFile file{QString::fromLatin1(kDatabaseName)};
        if (file.open(QIODevice::WriteOnly))
            file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
    return storeDatabase.open();
}

// Whether a pool file was closed cleanly: "open" from openDatabase() until closeDatabase()
// says "closed", each committed on its own. A copy of a file that says "open" was taken from
// a running or crashed station and may lack the transaction its journal still held;
// tarnwell-merge refuses it.
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

void markFileState(const char *state)
{
    if (engine != StoreSettings::SQLite || !storeDatabase.isOpen())
        return;
    storeDatabase.exec(
        QStringLiteral("CREATE TABLE IF NOT EXISTS StationState (StateID INTEGER PRIMARY KEY CHECK (StateID = 1), "
                       "StateValue VARCHAR NOT NULL)"));
    QSqlQuery q(storeDatabase);
    q.prepare(QStringLiteral("INSERT OR REPLACE INTO StationState (StateID, StateValue) VALUES (1, ?)"));
    q.addBindValue(QString::fromLatin1(state));
    q.exec();
}

} // namespace

void openDatabase()
{
    QString settingsError;
    const StoreSettings settings = StoreSettings::load(&settingsError);
    if (!settingsError.isEmpty())
        qDebug() << settingsError;
    engine = settings.engine;
    station = settings.station.isEmpty() ? QSysInfo::machineHostName() : settings.station;
    {
        QMutexLocker lock(&settingsLock);
        openedSettings = settings;
    }
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue("TARNWELL_STORE_TIMEOUT_MS", &ok);
    timeoutMs = ok && ms >= 500 ? ms : 15000;
    clearStatementCaches();
    batchOpen = false;
    batchLost = false;
    connectionWanted = false;
    const QString name = QLatin1String(QSqlDatabase::defaultConnection);
    if (!(engine == StoreSettings::PostgreSQL ? openServer(settings, name) : openFile(name))) {
        qDebug() << storeDatabase.lastError().text();
        return;
    }
    storeQuery = QSqlQuery(storeDatabase);

    // The first station of a line makes the tables; others may start at the same moment.
    if (engine == StoreSettings::PostgreSQL) {
        applySessionSettings(true);
        QSqlQuery(storeDatabase).exec(QStringLiteral("SELECT pg_advisory_lock(%1)").arg(lockkeys::kSchema));
    }
    for (const QString &sql : schema())
        if (!indexExists(sql))
            storeDatabase.exec(sql);
    seed();
    // Which station wrote a log row. A file of an earlier version gains the column on its
    // first open; rows it wrote before have none.
    if (!hasColumn(QStringLiteral("Logs"), QStringLiteral("LogStation")))
        storeDatabase.exec(QStringLiteral("ALTER TABLE Logs ADD COLUMN LogStation VARCHAR"));

    // A factory pool holds about a million serial numbers; without these every
    // lookup by serial or device number scans the whole table. Created on old files
    // too (once, on their first open with this version).
    //  - SerialNumber: serialExists, deleteSerial, markSerialUsed, claims.
    //  - DeviceSerialNum: serialOfDevice, holdingOfDevice.
    //  - (CustomerID, IsUse): unusedSerials and the usage filter; within equal keys
    //    the entries run in SNID order, so "newest first" needs no sort.
    //  - (CustomerID): the customer filter alone, also in SNID order; the pair index
    //    would order that customer's rows by IsUse first and force a sort of all of them.
    //  SQLite's index entries end in the row id (SNID); the server's need it spelled out.
    const QString bySnid = engine == StoreSettings::PostgreSQL ? QStringLiteral(", SNID") : QString();
    const QStringList indexes = {
        QStringLiteral("CREATE INDEX IF NOT EXISTS SerialNumbersBySerialNumber ON SerialNumbers (SerialNumber)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS SerialNumbersByDeviceSerialNum ON SerialNumbers (DeviceSerialNum)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS SerialNumbersByCustomerUse ON SerialNumbers (CustomerID, IsUse%1)")
            .arg(bySnid),
        QStringLiteral("CREATE INDEX IF NOT EXISTS SerialNumbersByCustomer ON SerialNumbers (CustomerID%1)")
            .arg(bySnid),
    };
    for (const QString &sql : indexes)
        if (!indexExists(sql))
            storeDatabase.exec(sql);
    prepareCounts();
    if (engine == StoreSettings::PostgreSQL) {
        QSqlQuery(storeDatabase).exec(QStringLiteral("SELECT pg_advisory_unlock(%1)").arg(lockkeys::kSchema));
        applySessionSettings(false);
    }
    markFileState("open");
    connectionWanted = true;
}

bool openStoreForThisThread()
{
    StoreSettings settings;
    {
        QMutexLocker lock(&settingsLock);
        settings = openedSettings;
    }
    static std::atomic<int> opened{0};
    const QString name = QStringLiteral("tarnwell-store-thread-%1").arg(++opened);
    clearStatementCaches();
    batchOpen = false;
    batchLost = false;
    connectionWanted = false;
    callFailed = false;
    if (!(engine == StoreSettings::PostgreSQL ? openServer(settings, name) : openFile(name))) {
        fail(storeDatabase.lastError().text());
        return false;
    }
    storeQuery = QSqlQuery(storeDatabase);
    if (engine == StoreSettings::PostgreSQL) {
        armDeadline();
        const bool applied = applySessionSettings(false);
        Watchdog::instance().disarm();
        if (!applied) {
            const QString why = failureText;
            closeStoreForThisThread();
            fail(why);
            return false;
        }
    }
    connectionWanted = true;
    return true;
}

void closeStoreForThisThread()
{
    rollbackBatch();
    connectionWanted = false;
    if (engine == StoreSettings::PostgreSQL) {
        releaseServerConnection();
        return;
    }
    clearStatementCaches();
    const QString name = storeDatabase.connectionName();
    storeDatabase.close();
    storeDatabase = QSqlDatabase();
    if (!name.isEmpty())
        QSqlDatabase::removeDatabase(name);
}

int storeTimeoutMs()
{
    return timeoutMs.load();
}

bool lastStoreCallFailed()
{
    return callFailed;
}

bool storeIsDurable(QString *why)
{
    const StoreCall call;
    if (engine != StoreSettings::PostgreSQL)
        return true;
    const auto setting = [](const QString &name, QString *value) {
        const bool read = run(QStringLiteral("SELECT current_setting(?)"), {name}) && storeQuery.next();
        if (read)
            *value = storeQuery.value(0).toString();
        storeQuery.finish();
        return read;
    };
    QString synchronousCommit;
    QString fsync;
    QString reason;
    if (!setting(QStringLiteral("synchronous_commit"), &synchronousCommit) || !setting(QStringLiteral("fsync"), &fsync))
        reason = QStringLiteral("could not ask the server whether its commits reach the disk: %1").arg(failureText);
    else if (fsync != QLatin1String("on"))
        reason = QStringLiteral("the server runs with fsync = %1: a crash of the server machine can lose claims it "
                                "has acknowledged; set fsync = on in the server's postgresql.conf")
                     .arg(fsync);
    else if (synchronousCommit != QLatin1String("on"))
        reason = QStringLiteral("this station's session has synchronous_commit = %1: the server may acknowledge a "
                                "claim before it is on disk")
                     .arg(synchronousCommit);
    if (why)
        *why = reason;
    return reason.isEmpty();
}

bool storeIsServer()
{
    return engine == StoreSettings::PostgreSQL;
}

QString stationName()
{
    return station;
}

void closeDatabase()
{
    rollbackBatch();
    markFileState("closed");
    connectionWanted = false;
    if (engine == StoreSettings::PostgreSQL) {
        releaseServerConnection();
        return;
    }
    clearStatementCaches();
    storeDatabase.close();
}

bool beginBatch()
{
    const StoreCall call;
    if (batchOpen) {
        failureText = QStringLiteral("a batch is already open");
        return false;
    }
    storeQuery.finish();
    // IMMEDIATE takes the write lock now, so a batch never fails half-way on the lock
    // upgrade a deferred BEGIN makes at its first write (SQLite answers that with BUSY
    // at once, without waiting, when another connection is writing too).
    batchOpen = control(QStringLiteral("BEGIN IMMEDIATE"));
    return batchOpen;
}

bool commitBatch()
{
    if (batchLost) {
        batchLost = false;
        const StoreCall call;
        fail(QStringLiteral("the connection to the server was lost; the batch was rolled back"));
        return false;
    }
    const StoreCall call;
    if (!batchOpen) {
        failureText = QStringLiteral("no batch is open");
        return false;
    }
    storeQuery.finish();
    // The server answers COMMIT of a transaction a failed statement has spoilt with a
    // rollback, not an error: that is no commit.
    if (PGconn *conn = serverHandle(); conn && PQtransactionStatus(conn) == PQTRANS_INERROR) {
        const QString why = failureText;
        rollbackBatch();
        fail(QStringLiteral("a statement of the batch failed; the batch was rolled back (%1)").arg(why));
        return false;
    }
    batchOpen = false;
    if (control(QStringLiteral("COMMIT")))
        return true;
    // A COMMIT that fails (a reader holding the file, a full disk) leaves SQLite's
    // transaction open; every later statement would join it and be lost with it.
    const QString why = failureText;
    control(QStringLiteral("ROLLBACK"));
    failureText = why;
    return false;
}

void rollbackBatch()
{
    // A batch whose connection was lost is already rolled back by the server.
    batchLost = false;
    if (!batchOpen)
        return;
    const StoreCall call;
    storeQuery.finish();
    batchOpen = false;
    const QString why = failureText;
    control(QStringLiteral("ROLLBACK"));
    failureText = why;
}

bool batchIsOpen()
{
    return batchOpen;
}

QString storeError()
{
    return failureText;
}

int checkLogin(const QString &loginName, const QString &password)
{
    const StoreCall call;
    return firstInt(QStringLiteral("SELECT UserID FROM Users WHERE UserName=? AND UserPwd=?"), {loginName, password},
                    -1);
}

bool addLog(const LogRecord &record)
{
    const StoreCall call;
    return run(QStringLiteral(
                   "INSERT INTO Logs(LogID, LogType, LogDescribe, LogDate, LogStation) VALUES(null, ?, ?, ?, ?)"),
               {fixedfield::get(record.logType), fixedfield::get(record.logDescribe),
                QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), station});
}

bool checkAdminPassword(const QString &password)
{
    const StoreCall call;
    const bool found = run(QStringLiteral("SELECT * FROM Users WHERE UserName='admin' AND UserPwd = ?"), {password})
        && storeQuery.next();
    storeQuery.finish();
    return found;
}

bool setAdminPassword(const QString &password)
{
    const StoreCall call;
    return runOne(QStringLiteral("UPDATE Users SET UserPwd=? WHERE UserName='admin'"), {password});
}

LogRecord makeLogRecord(const QString &type, const QString &describe)
{
    LogRecord r{};
    fixedfield::put(r.logType, type);
    fixedfield::put(r.logDescribe, describe);
    return r;
}

namespace {

// The page's filters name only the customer, the usage and the device type, which the
// count table carries under the same names: the sum over it is the count of the rows.
// Any other filter counts the rows themselves.
bool countable(const QString &filter)
{
    return !filter.contains(QLatin1String("s.SNID")) && !filter.contains(QLatin1String("s.Serial"))
        && !filter.contains(QLatin1String("s.DeviceSerialNum")) && !filter.contains(QLatin1String("s.szIP"));
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

QList<QPair<qint64, qint64>> blocksOf(const QString &sql)
{
    QList<QPair<qint64, qint64>> blocks;
    if (run(sql))
        while (storeQuery.next())
            blocks.append({storeQuery.value(0).toLongLong(), storeQuery.value(1).toLongLong()});
    storeQuery.finish();
    return blocks;
}

} // namespace

int countSerials(const QString &filter)
{
    const StoreCall call;
    if (countable(filter)) {
        if (run(QStringLiteral("SELECT SUM(s.Total) FROM SerialCounts as s JOIN Customers as c "
                               "ON c.CustomerID=s.CustomerID WHERE 1=1 ")
                + filter)) {
            const int counted = storeQuery.next() ? storeQuery.value(0).toInt() : 0;
            storeQuery.finish();
            return counted;
        }
    }
    return firstInt(QStringLiteral("SELECT COUNT(*) FROM SerialNumbers as s JOIN Customers as c "
                                   "ON c.CustomerID=s.CustomerID WHERE 1=1 ")
                        + filter,
                    {}, 0);
}

bool insertSerial(const SerialRecord &record)
{
    const StoreCall call;
    const int customerId = fixedfield::bytes(record.customerName).toInt();
    return run(QStringLiteral("INSERT INTO SerialNumbers(SNID, CustomerID, SerialNumber, IsUse, DeviceType, "
                              "DeviceSerialNum, szIP) VALUES(null, %1, ?, 0, ?, ?, ?)")
                   .arg(customerId),
               {fixedfield::get(record.serialNumber), fixedfield::get(record.deviceType),
                fixedfield::get(record.deviceSerialNum), fixedfield::get(record.deviceIp)});
}

namespace {

// Identifiers go to and from the store in chunks of this many: one statement each, so a
// pool on a server costs one round trip per chunk rather than one per identifier.
const int kChunk = 500;

QString placeholders(int count, const QString &one)
{
    QStringList list;
    list.reserve(count);
    for (int i = 0; i < count; ++i)
        list << one;
    return list.join(QLatin1Char(','));
}

// `sql` prepared on a query of its own, kept until the connection closes; null when it
// cannot be prepared. A query that failed is dropped, so the next use prepares afresh.
QSqlQuery *bulkQuery(const QString &sql)
{
    if (!storeDatabase.isOpen()) {
        notOpen();
        return nullptr;
    }
    auto it = bulkQueries.find(sql);
    if (it == bulkQueries.end()) {
        QSqlQuery query(storeDatabase);
        query.setForwardOnly(true);
        if (!query.prepare(dialect(sql))) {
            statementFailed(query.lastError().text());
            return nullptr;
        }
        it = bulkQueries.insert(sql, query);
    }
    return &it.value();
}

bool runBulk(QSqlQuery *query, const QString &sql)
{
    if (query->exec())
        return true;
    statementFailed(query->lastError().text());
    bulkQueries.remove(sql);
    return false;
}

// Runs `sql` with values [from, from + n) bound in order; the query that ran, or null.
QSqlQuery *execChunk(const QString &sql, const QStringList &values, int from, int n)
{
    QSqlQuery *ran = nullptr;
    bounded([&] {
        QSqlQuery *query = bulkQuery(sql);
        if (!query)
            return false;
        for (int i = 0; i < n; ++i)
            query->addBindValue(text(values.at(from + i)));
        if (runBulk(query, sql))
            ran = query;
        return ran != nullptr;
    });
    return ran;
}

// Runs the write `sql` with values [from, from + n) bound in order: the rows it changed,
// or -1 when it could not run.
int runChunk(const QString &sql, const QStringList &values, int from, int n)
{
    QSqlQuery *query = execChunk(sql, values, from, n);
    if (!query)
        return -1;
    const int changed = query->numRowsAffected();
    query->finish();
    if (changed < 0)
        failureText = QStringLiteral("the store did not say how many identifiers it stored");
    return changed;
}

// What the pool holds of a value, ranked: a value held in several states is named by the
// one furthest along (used, pending, retired, unused).
enum class Held {
    Unused = 1,
    Retired = 2,
    Pending = 3,
    Used = 4,
};

Held heldAs(int isUse)
{
    // A state this build does not know is not unused: it counts with the used ones.
    return isUse == SerialUnused ? Held::Unused : isUse == SerialPending ? Held::Pending : Held::Used;
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

bool insertSerials(const QStringList &values, int customerId)
{
    for (int from = 0; from < values.size(); from += kChunk) {
        const int n = qMin(kChunk, values.size() - from);
        const QString sql = QStringLiteral("INSERT INTO SerialNumbers(CustomerID, SerialNumber, IsUse, DeviceType, "
                                           "DeviceSerialNum, szIP) VALUES %1")
                                .arg(placeholders(n, QStringLiteral("(%1, ?, 0, '', '', '')").arg(customerId)));
        const int stored = runChunk(sql, values, from, n);
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
bool insertNewSerialsOnServer(const QStringList &values, int customerId, NewSerialsTally *tally)
{
    if (!takeImportTurn())
        return false;
    for (int from = 0; from < values.size(); from += kChunk) {
        const int n = qMin(kChunk, values.size() - from);
        QStringList rows;
        rows.reserve(n);
        for (int i = 0; i < n; ++i)
            rows << QStringLiteral("(?, %1)").arg(i);
        const QString sql = QStringLiteral("INSERT INTO SerialNumbers(CustomerID, SerialNumber, IsUse, DeviceType, "
                                           "DeviceSerialNum, szIP) SELECT %1, v.x, 0, '', '', '' FROM (VALUES %2) "
                                           "AS v(x, n) WHERE NOT EXISTS (SELECT 1 FROM SerialNumbers s WHERE "
                                           "s.SerialNumber = v.x) AND NOT EXISTS (SELECT 1 FROM RetiredSerials r "
                                           "WHERE r.SerialNumber = v.x) ORDER BY v.n")
                                .arg(customerId)
                                .arg(rows.join(QLatin1Char(',')));
        const int added = runChunk(sql, values, from, n);
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

} // namespace

bool storeNewSerials(const QStringList &values, int customerId, NewSerialsTally *tally)
{
    const StoreCall call;
    *tally = NewSerialsTally();
    if (engine == StoreSettings::PostgreSQL)
        return insertNewSerialsOnServer(values, customerId, tally);
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
    if (!insertSerials(fresh, customerId))
        return false;
    tally->stored = fresh.size();
    tallyHeld(held, tally);
    return true;
}

bool serialExists(const QString &serialNumber)
{
    const StoreCall call;
    const bool found = run(QStringLiteral("SELECT SNID FROM SerialNumbers WHERE SerialNumber=?"), {serialNumber})
        && storeQuery.next();
    storeQuery.finish();
    return found;
}

bool deleteSerial(const QString &serialNumber)
{
    const StoreCall call;
    const QString now = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    // The server moves the rows in one statement: the copy holds exactly the rows removed,
    // in the state they had when removed, whatever another station does meanwhile.
    if (storeIsServer())
        return run(QStringLiteral("WITH gone AS (DELETE FROM SerialNumbers WHERE SerialNumber=? RETURNING "
                                  "CustomerID, SerialNumber, IsUse, DeviceType, DeviceSerialNum, szIP) "
                                  "INSERT INTO RetiredSerials (CustomerID, SerialNumber, IsUse, DeviceType, "
                                  "DeviceSerialNum, szIP, RetiredDate, RetiredStation) SELECT CustomerID, "
                                  "SerialNumber, IsUse, DeviceType, DeviceSerialNum, szIP, ?, ? FROM gone"),
                   {serialNumber, now, station});
    // The file: copy, then remove, under the batch's write lock, so no writer comes between.
    const bool own = !batchIsOpen();
    if (own && !beginBatch())
        return false;
    const bool moved =
        run(QStringLiteral("INSERT INTO RetiredSerials (CustomerID, SerialNumber, IsUse, DeviceType, DeviceSerialNum, "
                           "szIP, RetiredDate, RetiredStation) SELECT CustomerID, SerialNumber, IsUse, DeviceType, "
                           "DeviceSerialNum, szIP, ?, ? FROM SerialNumbers WHERE SerialNumber=?"),
            {now, station, serialNumber})
        && run(QStringLiteral("DELETE FROM SerialNumbers WHERE SerialNumber=?"), {serialNumber});
    if (!own)
        return moved;
    if (!moved) {
        rollbackBatch();
        return false;
    }
    return commitBatch();
}

QString serialOfDevice(const QString &deviceSerialNum)
{
    const StoreCall call;
    QString serial;
    if (run(QStringLiteral("SELECT SerialNumber FROM SerialNumbers WHERE DeviceSerialNum=?"), {deviceSerialNum})
        && storeQuery.next())
        serial = storeQuery.value(0).toString();
    storeQuery.finish();
    return serial;
}

bool markSerialUsed(const QString &serialNumber, const QString &deviceSerialNum, const QString &deviceType,
                    const QString &deviceIp)
{
    const StoreCall call;
    // Only an identifier claimed for this very device becomes used by it; a write that
    // changes nothing (deleted meanwhile, claimed for another device) is a failure.
    if (!run(QStringLiteral("UPDATE SerialNumbers SET IsUse=1, DeviceType=?, DeviceSerialNum=?, szIP=? "
                            "WHERE SerialNumber=? AND IsUse=2 AND DeviceSerialNum=?"),
             {deviceType, deviceSerialNum, deviceIp, serialNumber, deviceSerialNum}))
        return false;
    if (storeQuery.numRowsAffected() < 1) {
        failureText = QStringLiteral("%1 is not pending for device %2").arg(serialNumber, deviceSerialNum);
        return false;
    }
    return true;
}

namespace {

// On the server, claims for one device wait for each other (in the claiming transaction),
// so two stations burning the same device cannot both claim for it.
bool lockDevice(const QString &deviceSerialNum)
{
    if (!storeIsServer())
        return true;
    const bool locked = run(QStringLiteral("SELECT pg_advisory_xact_lock(hashtext(?))"), {deviceSerialNum});
    storeQuery.finish();
    return locked;
}

} // namespace

ClaimResult claimSerial(const QString &serialNumber, int customerId, const QString &deviceSerialNum,
                        const QString &deviceType, const QString &deviceIp)
{
    const StoreCall call;
    if (!lockDevice(deviceSerialNum))
        return ClaimResult::Failed;
    // (The unary + keeps SQLite on the SerialNumber index: by (CustomerID, IsUse) it would
    // walk all of a customer's unused identifiers.)
    // One statement, so the check and the change cannot be split by another writer: the
    // identifier must be the customer's, still unused in every row that holds it (a value
    // stored twice moves as a whole, as markSerialUsed marks it whole), and the device must
    // hold no identifier yet.
    if (!run(QStringLiteral(
                 "UPDATE SerialNumbers SET IsUse=2, DeviceType=?, DeviceSerialNum=?, szIP=? "
                 "WHERE SerialNumber=? AND IsUse=0 "
                 "AND EXISTS (SELECT 1 FROM SerialNumbers WHERE SerialNumber=? AND +CustomerID=? AND +IsUse=0) "
                 "AND NOT EXISTS (SELECT 1 FROM SerialNumbers WHERE SerialNumber=? AND IsUse<>0) "
                 "AND NOT EXISTS (SELECT 1 FROM SerialNumbers WHERE DeviceSerialNum=? AND IsUse<>0)"),
             {deviceType, deviceSerialNum, deviceIp, serialNumber, serialNumber, customerId, serialNumber,
              deviceSerialNum}))
        return ClaimResult::Failed;
    if (storeQuery.numRowsAffected() >= 1)
        return ClaimResult::Claimed;
    const DeviceHolding held = holdingOfDevice(deviceSerialNum);
    if (held.isUse != 0)
        return ClaimResult::DeviceHolds;
    return ClaimResult::Taken;
}

ClaimResult claimNextSerial(int customerId, const QString &deviceSerialNum, const QString &deviceType,
                            const QString &deviceIp, QString *claimed)
{
    const StoreCall call;
    if (!storeIsServer())
        return ClaimResult::Taken;
    if (!lockDevice(deviceSerialNum))
        return ClaimResult::Failed;
    // The newest unused identifier of the customer that no other station holds locked at
    // this moment (no waiting on them), that no row records as used or pending, and that
    // fits the device request with its NUL.
    if (!run(QStringLiteral("UPDATE SerialNumbers SET IsUse=2, DeviceType=?, DeviceSerialNum=?, szIP=? "
                            "WHERE SNID=(SELECT s.SNID FROM SerialNumbers s WHERE s.CustomerID=? AND s.IsUse=0 "
                            "AND octet_length(s.SerialNumber) < 48 "
                            "AND NOT EXISTS (SELECT 1 FROM SerialNumbers d WHERE d.SerialNumber=s.SerialNumber "
                            "AND d.IsUse<>0) ORDER BY s.SNID DESC LIMIT 1 FOR UPDATE SKIP LOCKED) AND IsUse=0 "
                            "AND NOT EXISTS (SELECT 1 FROM SerialNumbers WHERE DeviceSerialNum=? AND IsUse<>0) "
                            "RETURNING SerialNumber"),
             {deviceType, deviceSerialNum, deviceIp, customerId, deviceSerialNum}))
        return ClaimResult::Failed;
    const bool got = storeQuery.next();
    if (got && claimed)
        *claimed = storeQuery.value(0).toString();
    storeQuery.finish();
    if (got)
        return ClaimResult::Claimed;
    return holdingOfDevice(deviceSerialNum).isUse != SerialUnused ? ClaimResult::DeviceHolds : ClaimResult::Taken;
}

DeviceHolding holdingOfDevice(const QString &deviceSerialNum)
{
    const StoreCall call;
    // A burnt identifier outranks a pending one; a device should never hold both.
    DeviceHolding held;
    if (run(QStringLiteral("SELECT SerialNumber, IsUse, CustomerID FROM SerialNumbers "
                           "WHERE DeviceSerialNum=? AND IsUse<>0 ORDER BY IsUse=1 DESC, SNID DESC LIMIT 1"),
            {deviceSerialNum})
        && storeQuery.next()) {
        held.serialNumber = storeQuery.value(0).toString();
        held.isUse = storeQuery.value(1).toInt();
        held.customerId = storeQuery.value(2).toInt();
    }
    storeQuery.finish();
    return held;
}

QStringList unusedSerialNumbers(int count, int customerId)
{
    const StoreCall call;
    QStringList values;
    if (run(QStringLiteral("SELECT s.SNID,s.SerialNumber FROM SerialNumbers as s JOIN Customers as c "
                           "ON c.CustomerID=s.CustomerID WHERE s.IsUse=0 AND s.CustomerID=%1 "
                           "ORDER BY s.SNID DESC LIMIT 0, %2")
                .arg(customerId)
                .arg(rowLimit(count))))
        while (storeQuery.next())
            values.append(storeQuery.value(1).toString());
    return values;
}

QList<SerialRecord> pageSerials(int pageIndex, int pageSize, const QString &filter)
{
    const StoreCall call;
    pageSize = rowLimit(pageSize);
    // The filter goes in verbatim; without one, the blanks around it are one blank.
    const QString order =
        QStringLiteral("ORDER BY s.SNID DESC LIMIT %1, %2").arg(qint64(pageIndex) * pageSize).arg(pageSize);
    return serialRows(kSerialSelect + QStringLiteral("WHERE 1=1 ")
                      + (filter.isEmpty() ? order : filter + QLatin1Char(' ') + order));
}

QList<SerialRow> pageSerialRows(int pageIndex, int pageSize, const QString &filter)
{
    const StoreCall call;
    pageSize = rowLimit(pageSize);
    const QString order =
        QStringLiteral("ORDER BY s.SNID DESC LIMIT %1, %2").arg(qint64(pageIndex) * pageSize).arg(pageSize);
    QList<SerialRow> rows;
    if (run(kSerialSelect + QStringLiteral("WHERE 1=1 ")
            + (filter.isEmpty() ? order : filter + QLatin1Char(' ') + order)))
        while (storeQuery.next())
            rows.append(serialRowOf(storeQuery));
    storeQuery.finish();
    return rows;
}

namespace {

// Rows of the filter in the given order after the given condition, at most `count`,
// returned newest first.
// A usage filter over every customer that matches few rows (the pending ones among
// millions): naming the customers lets the (customer, usage) index find those rows and
// sort a handful, where SNID order would read the pool until a page is full. The rows are
// the same: the join already keeps only rows whose customer exists. The ids are listed
// as numbers where there are few: the server plans a list by the pool's own statistics,
// but a subquery by a guess at the customers table's size (hundreds of rows, when it has
// never been analysed), and then reads the whole pool instead.
QString narrowed(const QString &filter)
{
    const int kFewRows = 10000;
    const int kListedCustomers = 64;
    if (!filter.contains(QLatin1String("s.IsUse=")) || filter.contains(QLatin1String("c.CustomerID="))
        || countSerials(filter) > kFewRows)
        return filter;
    QStringList ids;
    if (run(QStringLiteral("SELECT CustomerID FROM Customers ORDER BY CustomerID LIMIT %1").arg(kListedCustomers + 1)))
        while (storeQuery.next())
            ids << QString::number(storeQuery.value(0).toLongLong());
    storeQuery.finish();
    if (ids.isEmpty() || ids.size() > kListedCustomers)
        return filter + QStringLiteral(" AND s.CustomerID IN (SELECT CustomerID FROM Customers)");
    return filter + QStringLiteral(" AND s.CustomerID IN (%1)").arg(ids.join(QLatin1Char(',')));
}

QList<SerialRow> serialRowsWhere(const QString &given, const QString &condition, bool ascending, qint64 offset,
                                 int count, std::initializer_list<QVariant> values = {})
{
    const QString filter = narrowed(given);
    // Narrowed rows are sorted by an expression of the key, which no index gives in order:
    // otherwise the server may still walk the pool in key order, when its sample of the
    // table happened to catch a few such rows and made them look common.
    const QString key = filter.size() == given.size() ? QStringLiteral("s.SNID") : QStringLiteral("s.SNID + 0");
    QList<SerialRow> rows;
    const QString order = QStringLiteral("ORDER BY %1 %2 LIMIT %3, %4")
                              .arg(key, ascending ? QStringLiteral("ASC") : QStringLiteral("DESC"))
                              .arg(offset)
                              .arg(rowLimit(count));
    if (run(kSerialSelect + QStringLiteral("WHERE 1=1 ") + filter + condition + QLatin1Char(' ') + order, values))
        while (storeQuery.next())
            rows.append(serialRowOf(storeQuery));
    storeQuery.finish();
    if (ascending)
        std::reverse(rows.begin(), rows.end());
    return rows;
}

} // namespace

QList<SerialRow> serialRowsBelow(qint64 snid, int count, const QString &filter)
{
    const StoreCall call;
    return serialRowsWhere(filter, QStringLiteral(" AND s.SNID < ?"), false, 0, count, {snid});
}

QList<SerialRow> serialRowsAbove(qint64 snid, int count, const QString &filter)
{
    const StoreCall call;
    return serialRowsWhere(filter, QStringLiteral(" AND s.SNID > ?"), true, 0, count, {snid});
}

QList<SerialRow> seekSerialPage(int pageIndex, int pageSize, const QString &filter, int total)
{
    const StoreCall call;
    const qint64 from = qint64(pageIndex) * pageSize; // position of the page's first row, newest first
    // Nothing counted, nothing to show: a filter that matches no row would otherwise read
    // every row of the pool to find that out.
    if (pageIndex < 0 || pageSize < 1 || total <= 0)
        return QList<SerialRow>();
    if (from >= total)
        return pageSerialRows(pageIndex, pageSize, filter);
    // The counts per block say which block holds the page: skip only inside it.
    qint64 below = 0, above = 0;
    bool bounded = false;
    if (countable(filter)
        && findBlock(blocksOf(QStringLiteral("SELECT s.FirstKey, SUM(s.Total) FROM SerialCounts as s JOIN Customers "
                                             "as c ON c.CustomerID=s.CustomerID WHERE 1=1 ")
                              + filter
                              + QStringLiteral(" GROUP BY s.FirstKey HAVING SUM(s.Total) <> 0 "
                                               "ORDER BY s.FirstKey DESC")),
                     from, &below, &above, &bounded))
        return bounded
            ? serialRowsWhere(filter, QStringLiteral(" AND s.SNID < ?"), false, from - above, pageSize, {below})
            : serialRowsWhere(filter, QString(), false, from, pageSize);
    if (from <= total / 2)
        return serialRowsWhere(filter, QString(), false, from, pageSize);
    // Nearer the oldest end: skip from there instead, oldest first.
    const qint64 end = qMin<qint64>(total, from + pageSize); // one past the page's last row
    return serialRowsWhere(filter, QString(), true, total - end, int(end - from));
}

QList<SerialRecord> unusedSerials(int count, int customerId)
{
    const StoreCall call;
    // The condition's trailing blank and the ORDER BY's leading one are one blank.
    return serialRows(kSerialSelect + QStringLiteral("WHERE s.IsUse=0 AND s.CustomerID=%1 ").arg(customerId)
                      + QStringLiteral("ORDER BY s.SNID DESC LIMIT 0, %1").arg(rowLimit(count)));
}

std::unique_ptr<CustomerRecord> customerById(int customerId)
{
    const StoreCall call;
    std::unique_ptr<CustomerRecord> record;
    if (run(kCustomerSelect + QStringLiteral(" WHERE CustomerID=%1").arg(customerId)) && storeQuery.next())
        record = std::make_unique<CustomerRecord>(readCustomerRow());
    storeQuery.finish();
    return record;
}

bool updateCustomer(const QString &customerName, const QString &customerValue, const QString &hostAddr, int port)
{
    const StoreCall call;
    return runOne(QStringLiteral("UPDATE Customers SET CustomerValue=?, CustomerHostAddr=?, CustomerPort=%1 "
                                 "WHERE CustomerName=?")
                      .arg(port),
                  {customerValue, hostAddr, customerName});
}

QList<CustomerRecord> allCustomers()
{
    const StoreCall call;
    QList<CustomerRecord> rows;
    // The file returns its rows in id order; the server returns them as they lie, which an
    // update changes. The customer editor takes its first row for the first customer.
    if (run(storeIsServer() ? kCustomerSelect + QStringLiteral(" ORDER BY CustomerID") : kCustomerSelect))
        while (storeQuery.next())
            rows.append(readCustomerRow());
    return rows;
}

int countLogs()
{
    const StoreCall call;
    if (run(QStringLiteral("SELECT SUM(Total) FROM LogCounts"))) {
        const int counted = storeQuery.next() ? storeQuery.value(0).toInt() : 0;
        storeQuery.finish();
        return counted;
    }
    return firstInt(QStringLiteral("SELECT COUNT(*) FROM Logs"), {}, 0);
}

namespace {

QList<LogRow> logRowsWhere(const QString &condition, bool ascending, qint64 offset, int count,
                           std::initializer_list<QVariant> values = {})
{
    QList<LogRow> rows;
    if (run(QStringLiteral("SELECT LogType, LogDescribe, LogDate, LogStation, LogID FROM Logs %1 "
                           "ORDER BY LogID %2 LIMIT %3, %4")
                .arg(condition, ascending ? QStringLiteral("ASC") : QStringLiteral("DESC"))
                .arg(offset)
                .arg(rowLimit(count)),
            values))
        while (storeQuery.next())
            rows.append({storeQuery.value(0).toString(), storeQuery.value(1).toString(), storeQuery.value(2).toString(),
                         storeQuery.value(3).toString(), storeQuery.value(4).toLongLong()});
    storeQuery.finish();
    if (ascending)
        std::reverse(rows.begin(), rows.end());
    return rows;
}

} // namespace

QList<LogRow> pageLogRows(int pageIndex, int pageSize)
{
    const StoreCall call;
    return logRowsWhere(QString(), false, qint64(pageIndex) * rowLimit(pageSize), pageSize);
}

QList<LogRow> logRowsBelow(qint64 logId, int count)
{
    const StoreCall call;
    return logRowsWhere(QStringLiteral("WHERE LogID < ?"), false, 0, count, {logId});
}

QList<LogRow> logRowsAbove(qint64 logId, int count)
{
    const StoreCall call;
    return logRowsWhere(QStringLiteral("WHERE LogID > ?"), true, 0, count, {logId});
}

QList<LogRow> seekLogPage(int pageIndex, int pageSize, int total)
{
    const StoreCall call;
    const qint64 from = qint64(pageIndex) * pageSize;
    if (pageIndex < 0 || pageSize < 1)
        return {};
    if (from >= total || from < pageSize)
        return pageLogRows(pageIndex, pageSize);
    qint64 below = 0, above = 0;
    bool bounded = false;
    if (findBlock(blocksOf(QStringLiteral("SELECT FirstKey, SUM(Total) FROM LogCounts GROUP BY FirstKey "
                                          "HAVING SUM(Total) <> 0 ORDER BY FirstKey DESC")),
                  from, &below, &above, &bounded))
        return bounded ? logRowsWhere(QStringLiteral("WHERE LogID < ?"), false, from - above, pageSize, {below})
                       : pageLogRows(pageIndex, pageSize);
    if (from <= total / 2)
        return pageLogRows(pageIndex, pageSize);
    const qint64 end = qMin<qint64>(total, from + pageSize);
    return logRowsWhere(QString(), true, total - end, int(end - from));
}

QList<LogRecord> pageLogs(int pageIndex, int pageSize)
{
    const StoreCall call;
    pageSize = rowLimit(pageSize);
    QList<LogRecord> rows;
    if (run(QStringLiteral("SELECT LogType, LogDescribe, LogDate FROM Logs ORDER BY LogID DESC LIMIT %1, %2")
                .arg(qint64(pageIndex) * pageSize)
                .arg(pageSize))) {
        while (storeQuery.next()) {
            LogRecord r{};
            putColumn(r.logType, 0);
            putColumn(r.logDescribe, 1);
            putColumn(r.logDate, 2);
            rows.append(r);
        }
    }
    return rows;
}

namespace {

// The file's rows straight from SQLite, without a QVariant per value: the export of a
// million rows is mostly this loop.
bool forEachSerialInFile(sqlite3 *db, const QString &sql, int chunk,
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
    sqlite3_int64 below = std::numeric_limits<sqlite3_int64>::max();
    bool ok = true;
    for (bool more = true; more && ok;) {
        sqlite3_bind_int64(statement, 1, below);
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

bool forEachSerial(const QString &filter, const std::function<bool(const SerialBytes &)> &visit)
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
    const QString sql = kSerialSelect + QStringLiteral("WHERE 1=1 ") + filter
        + QStringLiteral(" AND s.SNID < ? ORDER BY s.SNID DESC LIMIT %1").arg(chunk);
    const QVariant handle = storeDatabase.driver()->handle();
    if (!storeIsServer() && handle.isValid() && qstrcmp(handle.typeName(), "sqlite3*") == 0) {
        if (sqlite3 *db = *static_cast<sqlite3 *const *>(handle.constData()))
            return forEachSerialInFile(db, sql, chunk, visit);
    }
    QSqlQuery q(storeDatabase);
    q.setForwardOnly(true);
    if (!q.prepare(dialect(sql))) {
        statementFailed(q.lastError().text());
        return false;
    }
    qint64 below = std::numeric_limits<qint64>::max();
    for (;;) {
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

namespace {

// What the pool holds of one identifier, as storeStatedSerials sees it.
struct Holding {
    bool present = false;
    int isUse = SerialUnused; // a used or pending row outranks unused ones
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

bool storeStatedSerials(const QList<StatedSerial> &rows, QVector<StatedOutcome> *outcomes)
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
                                       "WHERE DeviceSerialNum IN (%1) AND IsUse<>0"),
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
        } else if (!r.deviceSerialNum.isEmpty() && deviceHolds.contains(r.deviceSerialNum)) {
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
                                       "DeviceSerialNum, szIP) VALUES(?, ?, ?, ?, ?, ?)"),
                        {customer.value(), r.serialNumber, r.isUse, r.deviceType, r.deviceSerialNum, r.deviceIp}))
                return false;
            storeQuery.finish();
            outcome = StatedOutcome::Stored;
        }
        if (outcome == StatedOutcome::Stored || outcome == StatedOutcome::Learned) {
            h.present = true;
            h.isUse = r.isUse;
            h.deviceSerialNum = r.deviceSerialNum;
            if (!r.deviceSerialNum.isEmpty())
                deviceHolds.insert(r.deviceSerialNum, r.serialNumber);
        }
        outcomes->append(outcome);
    }
    return true;
}
