// The statement plumbing every store file shares: the calling thread's state, the
// watchdog that bounds a statement on the server, the store call, and the helpers every
// statement runs through (run, control, the chunk helpers).
#include "store/storecore.h"
#include "store/fixedfield.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QSqlResult>

#include <libpq-fe.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

thread_local QSqlDatabase storeDatabase;
// Made without a database: a query made with none would look up the default connection,
// which belongs to the UI thread, and warn on any other.
thread_local QSqlQuery storeQuery{static_cast<QSqlResult *>(nullptr)};

namespace storecore {

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

namespace {

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

} // namespace

// Starts (or starts again) the clock for the statement about to run on this thread's
// server connection; it runs until the next statement or the end of the call.
void disarmDeadline()
{
    Watchdog::instance().disarm();
}

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
StoreCall::StoreCall()
{
    if (callDepth++ == 0)
        beginCall();
}

StoreCall::~StoreCall()
{
    if (--callDepth != 0)
        return;
    Watchdog::instance().disarm();
    // The server's rows arrive one by one: a connection lost among them ends a read
    // loop as its last row would, and only the query's error tells the two apart.
    if (callUsedStoreQuery && !callFailed && storeQuery.lastError().isValid())
        statementFailed(storeQuery.lastError().text());
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
namespace {

template <typename Values>
bool runWith(const QString &sql, const Values &values)
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

} // namespace

bool run(const QString &sql, std::initializer_list<QVariant> values)
{
    return runWith(sql, values);
}

bool run(const QString &sql, const QVariantList &values)
{
    return runWith(sql, values);
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

bool lockDevice(const QString &deviceSerialNum)
{
    if (!storeIsServer())
        return true;
    const bool locked = run(QStringLiteral("SELECT pg_advisory_xact_lock(hashtext(?))"), {deviceSerialNum});
    storeQuery.finish();
    return locked;
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
int changedRows(const QString &sql, std::initializer_list<QVariant> values)
{
    if (!run(sql, values))
        return -1;
    const int n = storeQuery.numRowsAffected();
    storeQuery.finish();
    return n;
}

int firstInt(const QString &sql, std::initializer_list<QVariant> values, int none)
{
    const int result = run(sql, values) && storeQuery.next() ? storeQuery.value(0).toInt() : none;
    storeQuery.finish();
    return result;
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
QSqlQuery *execChunk(const QString &sql, const QStringList &values, int from, int n, const QVariant &each)
{
    QSqlQuery *ran = nullptr;
    const bool withEach = each.isValid();
    bounded([&] {
        QSqlQuery *query = bulkQuery(sql);
        if (!query)
            return false;
        for (int i = 0; i < n; ++i) {
            query->addBindValue(text(values.at(from + i)));
            if (withEach)
                query->addBindValue(each);
        }
        if (runBulk(query, sql))
            ran = query;
        return ran != nullptr;
    });
    return ran;
}

// Runs the write `sql` with values [from, from + n) bound in order: the rows it changed,
// or -1 when it could not run.
int runChunk(const QString &sql, const QStringList &values, int from, int n, const QVariant &each)
{
    QSqlQuery *query = execChunk(sql, values, from, n, each);
    if (!query)
        return -1;
    const int changed = query->numRowsAffected();
    query->finish();
    if (changed < 0)
        failureText = QStringLiteral("the store did not say how many identifiers it stored");
    return changed;
}

} // namespace storecore
