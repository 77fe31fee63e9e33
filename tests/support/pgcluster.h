// PgCluster: a throwaway PostgreSQL server for one test executable or benchmark, started
// with scripts/pg-cluster.sh in a temporary folder of its own.
//
//   testsupport::PgCluster pg;                    // e.g. a member of the test object
//   QVERIFY2(pg.start(), qPrintable(pg.errorText()));
//   QSqlDatabase db = pg.connection("a");         // open, driver QPSQL, as the test role
//   QVERIFY2(db.isOpen(), qPrintable(db.lastError().text()));
//   ... pg.host(), pg.port(), pg.user(), pg.password(), pg.databaseName() (or
//       pg.environment() for a child process) point the program at the server ...
//   pg.stop();                                    // the destructor stops it too
//
// The server listens on 127.0.0.1 only, on a free port, and asks for a password. It stops
// when the object is destroyed; if the owning process dies without that (a crash, an abort,
// a test killed on timeout), the script's watchdog stops the server and removes the folder.
#pragma once

#include <QHash>
#include <QList>
#include <QProcessEnvironment>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace testsupport {

class PgCluster
{
public:
    PgCluster() = default;
    PgCluster(const PgCluster &) = delete;
    PgCluster &operator=(const PgCluster &) = delete;
    ~PgCluster();

    // Server settings for the next start(), after the throwaway defaults: "name=value" each
    // (e.g. "synchronous_commit=off"); `durable` keeps fsync on.
    void setServerSettings(const QStringList &settings, bool durable = false)
    {
        serverSettings_ = settings;
        durable_ = durable;
    }
    // Creates and starts a cluster in a fresh temporary folder; waits until it accepts the
    // test role. `ownerPid` is the process whose end stops it (0: this process). False,
    // with errorText(), when the server, the QPSQL driver or the start fails.
    bool start(qint64 ownerPid = 0, int timeoutMs = 120000);
    // Closes this object's connections and stops the server; true when no server process
    // is left. Stopping a stopped cluster is harmless.
    bool stop(int timeoutMs = 60000);

    // Stops the server as a crash would (immediate: what it had not written is lost), and
    // starts the same cluster again on its port. False, with errorText(), when it fails.
    bool crash(int timeoutMs = 60000);
    bool restart(int timeoutMs = 120000);

    bool isRunning() const;
    QString errorText() const { return error_; }

    // Connection settings for the program (valid after start()).
    QString host() const { return settings_.value(QStringLiteral("PGHOST")); }
    int port() const { return settings_.value(QStringLiteral("PGPORT")).toInt(); }
    QString user() const { return settings_.value(QStringLiteral("PGUSER")); }
    QString password() const { return settings_.value(QStringLiteral("PGPASSWORD")); }
    QString databaseName() const { return settings_.value(QStringLiteral("PGDATABASE")); }
    // A libpq password file holding the password, for code that must not see it directly.
    QString passFile() const { return settings_.value(QStringLiteral("PGPASSFILE")); }
    QString socketDir() const { return settings_.value(QStringLiteral("TARNWELL_PG_SOCKETDIR")); }
    QString dataDir() const { return settings_.value(QStringLiteral("TARNWELL_PG_DATADIR")); }

    // `base` with PGHOST, PGPORT, PGUSER, PGPASSWORD and PGDATABASE set to this cluster.
    QProcessEnvironment environment(QProcessEnvironment base = QProcessEnvironment::systemEnvironment()) const;

    // An open QPSQL connection under `connectionName` (made or reopened), as the test role
    // over TCP. When it cannot open, the returned handle is closed and lastError() says why.
    QSqlDatabase connection(const QString &connectionName);

    // The same as the cluster's superuser "postgres", over the server's own socket (no
    // password): for what the test role may not do, such as making other roles.
    QSqlDatabase superuserConnection(const QString &connectionName);

    // The postmaster's process id, 0 when none is running.
    qint64 serverPid() const;
    // Every live process working in this cluster's data folder (the server and its
    // backends change into it): empty once the server has really gone.
    QList<qint64> serverProcesses() const;

    static QString script();

private:
    std::unique_ptr<QTemporaryDir> folder_;
    QString dataDirAtStart_;
    QHash<QString, QString> settings_;
    QStringList connections_;
    QString error_;
    QStringList serverSettings_;
    bool durable_ = false;
};

// True when `pid` names a live process (not gone, not a zombie waiting to be reaped).
bool processAlive(qint64 pid);

} // namespace testsupport
