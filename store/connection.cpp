// Opening and closing the calling thread's connection, reconnecting a lost one, the
// session settings of the server, and the batch (one transaction) calls.
#include "store/datastore.h"
#include "store/storecore.h"

#include "base/poolfile.h"

#include <QDir>
#include <QFile>
#include <QMutexLocker>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlResult>
#include <QTimeZone>

#include <libpq-fe.h>

#include <atomic>

namespace storecore {

// A value as libpq's connection string takes it: quoted, its quotes and backslashes escaped.
static QString quotedOption(QString value)
{
    value.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('\''), QLatin1String("\\'"));
    return QLatin1Char('\'') + value + QLatin1Char('\'');
}

QString connectOptions(const StoreSettings &settings)
{
    // Keepalives notice a server machine that is gone; tcp_user_timeout one that stops
    // acknowledging what was sent. connect_timeout bounds a connect that gets no answer.
    const int ms = timeoutMs.load();
    QString options = QStringLiteral("connect_timeout=%1;keepalives=1;keepalives_idle=5;keepalives_interval=2;"
                                     "keepalives_count=3;tcp_user_timeout=%2")
                          .arg(qMax(2, (ms + 999) / 1000))
                          .arg(ms);
    // The server's notices ("table ... does not exist, skipping") are no news to an operator.
    options += QStringLiteral(";options='-c client_min_messages=warning'");
    // Encryption and the server's identity, as tarnwell.ini asks (verify-full: the server's
    // certificate must be signed by sslrootcert's authority and name the host).
    if (!settings.sslMode.isEmpty())
        options += QStringLiteral(";sslmode=") + quotedOption(settings.sslMode);
    if (!settings.sslRootCert.isEmpty())
        options += QStringLiteral(";sslrootcert=") + quotedOption(settings.sslRootCert);
    return options;
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
    // The server stamps the hour of a stock change with its session's clock: the station's
    // own zone, so it lines up with the hours of the events the station stamps. A zone the
    // server does not know leaves the server's own.
    const QByteArray zone = QTimeZone::systemTimeZoneId();
    if (!zone.isEmpty()) {
        QSqlQuery q(storeDatabase);
        if (q.prepare(QStringLiteral("SELECT set_config('TimeZone', ?, false)"))) {
            q.addBindValue(QString::fromUtf8(zone));
            q.exec();
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
    storeDatabase.setConnectOptions(connectOptions(settings));
    return storeDatabase.open();
}

bool openFile(const QString &name)
{
    useConnection(name, QStringLiteral("QSQLITE"));
    storeDatabase.setDatabaseName(QLatin1String(kDatabaseName));
    // The file holds every login's password hash: its owner's alone, or the station's
    // operators' in a station folder. Made here so SQLite never creates it with the
    // process's default mode; SQLite gives its journal the file's mode. A file of an
    // earlier version, or a journal it left, that others may read is narrowed.
    const poolfile::Folder folder = poolfile::folderAt(QFile::encodeName(QDir::currentPath()).toStdString());
    for (const char *suffix : {"", "-journal", "-wal", "-shm"}) {
        const std::string path = std::string(kDatabaseName) + suffix;
        const std::string why = poolfile::fit(folder, path, !*suffix);
        if (!why.empty())
            qWarning("%s", why.c_str());
    }
    return storeDatabase.open();
}

} // namespace storecore

using namespace storecore;

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
        disarmDeadline();
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
