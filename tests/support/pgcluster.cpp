#include "tests/support/pgcluster.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlError>

namespace testsupport {

namespace {

QString runScript(const QStringList &args, int timeoutMs, bool *ok)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("bash"), QStringList{PgCluster::script()} + args);
    const bool finished = p.waitForStarted(timeoutMs) && p.waitForFinished(timeoutMs);
    const QString out = QString::fromLocal8Bit(p.readAll()).trimmed();
    if (!finished) {
        p.kill();
        p.waitForFinished(5000);
        *ok = false;
        return QStringLiteral("pg-cluster.sh %1 did not finish within %2 s: %3")
            .arg(args.value(0))
            .arg(timeoutMs / 1000)
            .arg(out);
    }
    *ok = p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    return out;
}

} // namespace

bool processAlive(qint64 pid)
{
    if (pid <= 0)
        return false;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    // "pid (name) S ...": the state follows the last ')' (a name may hold parentheses).
    const QByteArray line = stat.readAll();
    const int close = line.lastIndexOf(')');
    return close >= 0 && close + 2 < line.size() && line.at(close + 2) != 'Z' && line.at(close + 2) != 'X';
}

PgCluster::~PgCluster()
{
    stop();
    for (const QString &name : qAsConst(connections_))
        QSqlDatabase::removeDatabase(name);
}

QString PgCluster::script()
{
    return QStringLiteral(TARNWELL_SOURCE_DIR "/scripts/pg-cluster.sh");
}

bool PgCluster::start(qint64 ownerPid, int timeoutMs)
{
    stop();
    error_.clear();
    settings_.clear();
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL"))) {
        error_ = QStringLiteral("Qt's PostgreSQL driver QPSQL is missing (Debian libqt5sql5-psql)");
        return false;
    }
    // Short and under the temporary folder: the server's socket lives in it, and as root
    // the folder is handed to the postgres user, who must be able to reach it.
    folder_ = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/tarnwell-pg-XXXXXX"));
    if (!folder_->isValid()) {
        error_ = QStringLiteral("no temporary folder: ") + folder_->errorString();
        folder_.reset();
        return false;
    }
    if (ownerPid <= 0)
        ownerPid = QCoreApplication::applicationPid();
    bool ok = false;
    QStringList args{QStringLiteral("start"), folder_->path(), QStringLiteral("--owner"), QString::number(ownerPid)};
    if (durable_)
        args << QStringLiteral("--durable");
    for (const QString &setting : qAsConst(serverSettings_))
        args << QStringLiteral("--set") << setting;
    const QString out = runScript(args, timeoutMs, &ok);
    if (!ok) {
        error_ = QStringLiteral("could not start a PostgreSQL cluster: ") + out;
        stop();
        return false;
    }
    QFile env(folder_->filePath(QStringLiteral("env")));
    if (!env.open(QIODevice::ReadOnly)) {
        error_ = QStringLiteral("the cluster wrote no settings: ") + env.errorString();
        stop();
        return false;
    }
    const QList<QByteArray> lines = env.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const int eq = line.indexOf('=');
        if (eq > 0)
            settings_.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(line.mid(eq + 1)));
    }
    dataDirAtStart_ = dataDir();
    if (port() <= 0 || user().isEmpty() || databaseName().isEmpty()) {
        error_ = QStringLiteral("incomplete cluster settings in ") + env.fileName();
        stop();
        return false;
    }
    return true;
}

bool PgCluster::stop(int timeoutMs)
{
    for (const QString &name : qAsConst(connections_)) {
        QSqlDatabase db = QSqlDatabase::database(name, false);
        if (db.isValid())
            db.close();
    }
    if (!folder_)
        return true;
    bool ok = false;
    const QString out = runScript({QStringLiteral("stop"), folder_->path()}, timeoutMs, &ok);
    if (!ok) {
        error_ = QStringLiteral("could not stop the PostgreSQL cluster: ") + out;
        // Removing the folder under a live server would strand it; the watchdog stops it
        // and removes the folder when this process ends.
        folder_->setAutoRemove(false);
    }
    folder_.reset();
    return ok && serverProcesses().isEmpty();
}

bool PgCluster::crash(int timeoutMs)
{
    if (!folder_)
        return false;
    bool ok = false;
    const QString out = runScript({QStringLiteral("crash"), folder_->path()}, timeoutMs, &ok);
    if (!ok)
        error_ = QStringLiteral("could not crash the PostgreSQL cluster: ") + out;
    return ok;
}

bool PgCluster::restart(int timeoutMs)
{
    if (!folder_)
        return false;
    bool ok = false;
    const QString out = runScript({QStringLiteral("restart"), folder_->path()}, timeoutMs, &ok);
    if (!ok)
        error_ = QStringLiteral("could not start the PostgreSQL cluster again: ") + out;
    return ok;
}

bool PgCluster::isRunning() const
{
    return processAlive(serverPid());
}

qint64 PgCluster::serverPid() const
{
    if (dataDirAtStart_.isEmpty())
        return 0;
    QFile pidFile(dataDirAtStart_ + QStringLiteral("/postmaster.pid"));
    if (!pidFile.open(QIODevice::ReadOnly))
        return 0;
    return pidFile.readLine().trimmed().toLongLong();
}

QList<qint64> PgCluster::serverProcesses() const
{
    QList<qint64> found;
    if (dataDirAtStart_.isEmpty())
        return found;
    const QString target = QFileInfo(dataDirAtStart_).absoluteFilePath();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid)
            continue;
        // A process that has gone leaves no link; our own user's (or, as root, any) is readable.
        const QString cwd = QFile::symLinkTarget(QStringLiteral("/proc/%1/cwd").arg(pid));
        if (!cwd.isEmpty() && (cwd == target || cwd.startsWith(target + QLatin1Char('/'))) && processAlive(pid))
            found << pid;
    }
    return found;
}

QProcessEnvironment PgCluster::environment(QProcessEnvironment base) const
{
    for (const char *key : {"PGHOST", "PGPORT", "PGUSER", "PGPASSWORD", "PGDATABASE"}) {
        const QString k = QString::fromLatin1(key);
        base.insert(k, settings_.value(k));
    }
    return base;
}

QSqlDatabase PgCluster::connection(const QString &connectionName)
{
    QSqlDatabase db = QSqlDatabase::contains(connectionName)
        ? QSqlDatabase::database(connectionName, false)
        : QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connectionName);
    if (!connections_.contains(connectionName))
        connections_ << connectionName;
    db.close();
    db.setHostName(host());
    db.setPort(port());
    db.setUserName(user());
    db.setPassword(password());
    db.setDatabaseName(databaseName());
    db.open();
    return db;
}

QSqlDatabase PgCluster::superuserConnection(const QString &connectionName)
{
    QSqlDatabase db = connection(connectionName);
    db.close();
    db.setHostName(socketDir());
    db.setUserName(QStringLiteral("postgres"));
    db.setPassword(QString());
    db.open();
    return db;
}

} // namespace testsupport
