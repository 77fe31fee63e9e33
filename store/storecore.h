// Inside the store only (store/*.cpp): the calling thread's connection state, the store
// call every public function starts with, and the helpers every statement runs through.
// Each thread has its own connection and query; the engine and the station are the
// process's, set by openDatabase() before any worker thread opens its connection.
#pragma once

#include "store/datastore.h"
#include "store/fixedfield.h"
#include "store/storeconnection.h"
#include "store/storesettings.h"

#include <QHash>
#include <QList>
#include <QMutex>
#include <QPair>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <atomic>
#include <initializer_list>

typedef struct pg_conn PGconn;

namespace storecore {

constexpr char kDatabaseName[] = "mydatabase.db";

// Identifiers go to and from the store in chunks of this many: one statement each, so a
// pool on a server costs one round trip per chunk rather than one per identifier.
constexpr int kChunk = 500;

extern StoreSettings::Engine engine;
extern QString station;
extern QMutex settingsLock;
extern StoreSettings openedSettings;
extern std::atomic<int> timeoutMs;

extern thread_local QString preparedSql;
extern thread_local QString failureText;
extern thread_local QHash<QString, QSqlQuery> bulkQueries;
extern thread_local bool batchOpen;
extern thread_local bool batchLost;
extern thread_local bool connectionWanted;
extern thread_local int callDepth;
extern thread_local bool callFailed;
extern thread_local bool callUsedStoreQuery;
extern thread_local std::atomic<bool> deadlineMissed;

// Failure bookkeeping of the current call.
void fail(const QString &why);
void notOpen();
QString notAnswered();
void statementFailed(const QString &driverText);

// The server connection and its bound.
PGconn *serverHandle();
void armDeadline();
void disarmDeadline();
bool serverConnectionLost();
bool applySessionSettings(bool schemaWork);
void clearStatementCaches();
bool openServer(const StoreSettings &settings, const QString &name);
bool openFile(const QString &name);
void releaseServerConnection();
void reconnect();
void beginCall();

// Marks one store call (outermost only): every public function starts with one.
class StoreCall
{
public:
    StoreCall();
    ~StoreCall();
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

// The engine's words for a statement written in SQLite's.
QString dialect(const QString &sql);
bool hasColumn(const QString &table, const QString &column);
bool indexExists(const QString &sql);
// True when a table or index of that name is there.
bool objectExists(const QString &name);

// Statements.
QVariant text(const QString &value);
bool run(const QString &sql, std::initializer_list<QVariant> values = {});
bool run(const QString &sql, const QVariantList &values);
bool runOne(const QString &sql, std::initializer_list<QVariant> values);
bool control(const QString &sql);
// On the server, every change of what a device holds (claims, rework) takes the device's
// lock for the rest of the transaction, so two stations cannot give one device two
// identifiers. True on the file, where the write lock does that.
bool lockDevice(const QString &deviceSerialNum);
int firstInt(const QString &sql, std::initializer_list<QVariant> values, int none);
// Rows a guarded write changed; -1 when it failed.
int changedRows(const QString &sql, std::initializer_list<QVariant> values);
// Runs `write` inside the caller's batch, or in a transaction of its own that commits only
// when `write` did all of it.
template <typename Write>
bool writeInBatch(Write write)
{
    if (batchIsOpen())
        return write();
    if (!beginBatch())
        return false;
    if (!write()) {
        const QString why = storeError();
        rollbackBatch();
        fail(why);
        return false;
    }
    return commitBatch();
}

// Chunks of values bound in order; a valid `each` is bound again after every value (a
// column all rows of the chunk share).
QString placeholders(int count, const QString &one);
QSqlQuery *execChunk(const QString &sql, const QStringList &values, int from, int n, const QVariant &each = {});
int runChunk(const QString &sql, const QStringList &values, int from, int n, const QVariant &each = {});

// Rows read from storeQuery.
template <std::size_t N>
void putColumn(char (&field)[N], int column)
{
    fixedfield::put(field, storeQuery.value(column).toString());
}
SerialRecord readSerialRow();
CustomerRecord readCustomerRow();
QList<SerialRecord> serialRows(const QString &sql);
SerialRow serialRowOf(const QSqlQuery &q);
extern const QString kSerialSelect;
extern const QString kCustomerSelect;
int rowLimit(int n);

// A SerialFilter as conditions (each starting with " AND") on the pool aliased s joined
// with Customers aliased c (or the count table aliased s), and their values.
struct Where {
    QString sql;
    QVariantList values;
};
Where whereOf(const SerialFilter &filter);

// The count tables: the statements that make them (anew) and count the pool, the check
// that those of this version are there, and their repair when in doubt.
QStringList countStatements();
QStringList batchCountStatements();
QStringList reportCountStatements();
bool countsHaveBlocks();
void prepareCounts();
bool findBlock(const QList<QPair<qint64, qint64>> &blocks, qint64 from, qint64 *below, qint64 *above, bool *bounded);
QList<QPair<qint64, qint64>> blocksOf(const QString &sql, const QVariantList &values = {});

} // namespace storecore
