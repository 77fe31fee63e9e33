#include "bench/support/benchsupport.h"

#include "store/datastore.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHBoxLayout>
#include <QMainWindow>
#include <QMenuBar>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStackedWidget>
#include <QVariant>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace bench {

double threadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

double loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().split(' ').value(0).toDouble() : -1;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto rank = std::size_t(std::ceil(p * double(values.size())));
    return values[std::min(values.size() - 1, rank > 0 ? rank - 1 : 0)];
}

Timing timeIt(const std::function<void()> &action, const std::function<void()> &prepare, int runs)
{
    std::vector<double> wall, cpu;
    for (int i = 0; i <= runs; ++i) {
        if (prepare) {
            prepare();
            QApplication::processEvents();
        }
        QElapsedTimer t;
        t.start();
        const double cpu0 = threadCpuMs();
        action();
        QApplication::processEvents();
        if (i > 0) { // the first run warms the caches
            wall.push_back(double(t.nsecsElapsed()) / 1e6);
            cpu.push_back(threadCpuMs() - cpu0);
        }
    }
    Timing timing;
    timing.wall = median(wall);
    timing.cpu = median(cpu);
    timing.worst = wall.empty() ? 0 : *std::max_element(wall.begin(), wall.end());
    timing.load = loadAverage();
    timing.valid = true;
    return timing;
}

qint64 sizeOption(const QStringList &args, const QString &flag, const char *env, qint64 fallback)
{
    const int at = args.indexOf(flag);
    if (at >= 0 && at + 1 < args.size())
        return args.at(at + 1).toLongLong();
    if (env && !qEnvironmentVariableIsEmpty(env))
        return qEnvironmentVariable(env).toLongLong();
    return fallback;
}

QString textOption(const QStringList &args, const QString &flag, const char *env, const QString &fallback)
{
    const int at = args.indexOf(flag);
    if (at >= 0 && at + 1 < args.size())
        return args.at(at + 1);
    if (env && !qEnvironmentVariableIsEmpty(env))
        return qEnvironmentVariable(env);
    return fallback;
}

bool hasFlag(const QStringList &args, const QString &flag)
{
    return args.contains(flag);
}

QString dataFolder()
{
    const QString folder = qEnvironmentVariableIsEmpty("TARNWELL_BENCH_DATA")
        ? QDir(QCoreApplication::applicationDirPath() + QStringLiteral("/../bench-data")).absolutePath()
        : QDir(qEnvironmentVariable("TARNWELL_BENCH_DATA")).absolutePath();
    QDir().mkpath(folder);
    return folder;
}

bool copyFile(const QString &from, const QString &to)
{
    QFile::remove(to);
    if (!QFile::copy(from, to))
        return false;
    QFile copy(to);
    return copy.open(QIODevice::ReadWrite) && ::fdatasync(copy.handle()) == 0;
}

bool dropCache(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fdatasync(fd) == 0 && ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
    ::close(fd);
    return ok;
}

bool exec(QSqlDatabase db, const QString &sql)
{
    QSqlQuery q(db);
    if (q.exec(sql))
        return true;
    std::fprintf(stderr, "statement failed: %s\n  %s\n", qPrintable(q.lastError().text()), qPrintable(sql.left(300)));
    return false;
}

qint64 scalar(QSqlDatabase db, const QString &sql)
{
    QSqlQuery q(db);
    if (q.exec(sql) && q.next())
        return q.value(0).toLongLong();
    std::fprintf(stderr, "query failed: %s\n  %s\n", qPrintable(q.lastError().text()), qPrintable(sql.left(300)));
    return -1;
}

QSqlDatabase openFile(const QString &path, const QString &name)
{
    QSqlDatabase db = QSqlDatabase::contains(name) ? QSqlDatabase::database(name, false)
                                                   : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    db.setDatabaseName(path);
    db.open();
    return db;
}

bool createPreviousSchema(QSqlDatabase db, Engine engine)
{
    const bool file = engine == Engine::SQLite;
    const QString key = file ? QStringLiteral("INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL UNIQUE")
                             : QStringLiteral("BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY");
    const QString seed = QStringLiteral("INSERT INTO Customers (CustomerName, CustomerValue, CustomerHostAddr, "
                                        "CustomerPort, CustomerSvrChecked) SELECT %1 WHERE NOT EXISTS (SELECT 1 FROM "
                                        "Customers WHERE CustomerName=%2)");
    const QStringList sql = {
        QStringLiteral("CREATE TABLE IF NOT EXISTS Users (UserID %1, UserName VARCHAR NOT NULL UNIQUE, UserPwd "
                       "VARCHAR NOT NULL)")
            .arg(key),
        QStringLiteral("CREATE TABLE IF NOT EXISTS Customers (CustomerID %1, CustomerName VARCHAR NOT NULL UNIQUE, "
                       "CustomerValue VARCHAR, CustomerHostAddr VARCHAR, CustomerPort INTEGER, CustomerSvrChecked "
                       "INTEGER NOT NULL DEFAULT 0)")
            .arg(key),
        QStringLiteral("CREATE TABLE IF NOT EXISTS Logs (LogID %1, LogType VARCHAR NOT NULL, LogDescribe VARCHAR NOT "
                       "NULL, LogDate VARCHAR NOT NULL)")
            .arg(key),
        QStringLiteral("CREATE TABLE IF NOT EXISTS SerialNumbers (SNID %1, CustomerID INTEGER NOT NULL%2, "
                       "SerialNumber VARCHAR NOT NULL, IsUse INTEGER NOT NULL DEFAULT 0, DeviceType VARCHAR, "
                       "DeviceSerialNum VARCHAR, szIP VARCHAR)")
            .arg(key, file ? QStringLiteral(" REFERENCES Customers (CustomerID)") : QString()),
        QStringLiteral("INSERT INTO Users (UserName, UserPwd) SELECT 'admin', 'qorvi' WHERE NOT EXISTS (SELECT 1 FROM "
                       "Users WHERE UserName='admin')"),
        seed.arg(QStringLiteral("'UMEYE', 'DeviceID', 'svr.umeye.example', 5800, 0"), QStringLiteral("'UMEYE'")),
        seed.arg(QStringLiteral("'Brisvan', 'GoolinkGID', '', 0, 0"), QStringLiteral("'Brisvan'")),
    };
    for (const QString &s : sql)
        if (!exec(db, s))
            return false;
    // Its station column, added where missing.
    return db.record(QStringLiteral("Logs")).indexOf(QStringLiteral("LogStation")) >= 0
        || db.record(QStringLiteral("logs")).indexOf(QStringLiteral("logstation")) >= 0
        || exec(db, QStringLiteral("ALTER TABLE Logs ADD COLUMN LogStation VARCHAR"));
}

bool createPreviousIndexes(QSqlDatabase db, Engine engine)
{
    {
        const QString bySnid = engine == Engine::PostgreSQL ? QStringLiteral(", SNID") : QString();
        for (const QString &s :
             {QStringLiteral("CREATE INDEX IF NOT EXISTS SerialNumbersBySerialNumber ON SerialNumbers (SerialNumber)"),
              QStringLiteral(
                  "CREATE INDEX IF NOT EXISTS SerialNumbersByDeviceSerialNum ON SerialNumbers (DeviceSerialNum)"),
              QStringLiteral(
                  "CREATE INDEX IF NOT EXISTS SerialNumbersByCustomerUse ON SerialNumbers (CustomerID, IsUse%1)")
                  .arg(bySnid),
              QStringLiteral("CREATE INDEX IF NOT EXISTS SerialNumbersByCustomer ON SerialNumbers (CustomerID%1)")
                  .arg(bySnid)})
            if (!exec(db, s))
                return false;
    }
    return true;
}

namespace {

// `sql` with {1}, {2}, ... replaced by the values: printf formats in the statements hold
// '%' signs that QString::arg would take for its own place markers.
QString subst(QString sql, const QStringList &values)
{
    for (int i = 0; i < values.size(); ++i)
        sql.replace(QStringLiteral("{%1}").arg(i + 1), values.at(i));
    return sql;
}

} // namespace

bool poolPending(qint64 i)
{
    return i % 499999 == 1;
}

bool poolUsed(qint64 i)
{
    return !poolPending(i) && (i * 7919) % 10 < 6;
}

int poolCustomer(qint64 i)
{
    return (i * 31) % 5 < 3 ? 1 : 2;
}

QString poolSerial(qint64 i)
{
    return QString::asprintf("%08llX-%08llX-%08llX", static_cast<unsigned long long>(i),
                             static_cast<unsigned long long>((i * 2654435761LL) % 4294967296LL),
                             static_cast<unsigned long long>((i * 40503LL) % 4294967296LL));
}

QString poolDevice(qint64 i)
{
    return QString::asprintf("DEV%012lld", i);
}

bool fillPool(QSqlDatabase db, Engine engine, qint64 rows, qint64 firstId)
{
    const qint64 last = firstId + rows - 1;
    if (engine == Engine::SQLite)
        return exec(
            db,
            subst(
                QStringLiteral(
                    "WITH RECURSIVE k(i) AS (SELECT {1} UNION ALL SELECT i + 1 FROM k WHERE i < {2}), "
                    "r(i, u) AS (SELECT i, CASE WHEN i % 499999 = 1 THEN 2 WHEN (i * 7919) % 10 < 6 THEN 1 ELSE 0 END FROM k) "
                    "INSERT INTO SerialNumbers(SNID, CustomerID, SerialNumber, IsUse, DeviceType, DeviceSerialNum, szIP) "
                    "SELECT i, CASE WHEN (i * 31) % 5 < 3 THEN 1 ELSE 2 END, "
                    "printf('%08X-%08X-%08X', i, (i * 2654435761) % 4294967296, (i * 40503) % 4294967296), u, "
                    "CASE WHEN u > 0 THEN CASE i % 4 WHEN 0 THEN 'DVR' WHEN 1 THEN 'NVR' WHEN 2 THEN 'IPC' ELSE 'NVR-4K' END "
                    "ELSE '' END, "
                    "CASE WHEN u > 0 THEN printf('DEV%012d', i) ELSE '' END, "
                    "CASE WHEN u > 0 THEN printf('10.%d.%d.%d', i / 65536 % 256, i / 256 % 256, i % 256) ELSE '' END "
                    "FROM r"),
                {QString::number(firstId), QString::number(last)}));
    const auto hex = [](const QString &x) { return QStringLiteral("lpad(upper(to_hex(%1)), 8, '0')").arg(x); };
    return exec(db,
                QStringLiteral(
                    "INSERT INTO SerialNumbers(SNID, CustomerID, SerialNumber, IsUse, DeviceType, DeviceSerialNum, "
                    "szIP) SELECT i, CASE WHEN (i * 31) % 5 < 3 THEN 1 ELSE 2 END, "
                    "%3 || '-' || %4 || '-' || %5, u, "
                    "CASE WHEN u > 0 THEN CASE i % 4 WHEN 0 THEN 'DVR' WHEN 1 THEN 'NVR' WHEN 2 THEN 'IPC' ELSE "
                    "'NVR-4K' END ELSE '' END, "
                    "CASE WHEN u > 0 THEN 'DEV' || lpad(i::text, 12, '0') ELSE '' END, "
                    "CASE WHEN u > 0 THEN format('10.%s.%s.%s', i / 65536 % 256, i / 256 % 256, i % 256) ELSE '' END "
                    "FROM (SELECT i, CASE WHEN i % 499999 = 1 THEN 2 WHEN (i * 7919) % 10 < 6 THEN 1 ELSE 0 END u "
                    "FROM generate_series(%1::bigint, %2::bigint) i) r ORDER BY i")
                    .arg(firstId)
                    .arg(last)
                    .arg(hex(QStringLiteral("i")), hex(QStringLiteral("(i * 2654435761) % 4294967296")),
                         hex(QStringLiteral("(i * 40503) % 4294967296"))))
        && exec(db,
                QStringLiteral("SELECT setval(pg_get_serial_sequence('serialnumbers', 'snid'), "
                               "(SELECT MAX(SNID) FROM SerialNumbers))"));
}

bool fillLogs(QSqlDatabase db, Engine engine, qint64 rows)
{
    if (engine == Engine::SQLite)
        return exec(
            db,
            QStringLiteral(
                "WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM k WHERE i < {1}) "
                "INSERT INTO Logs(LogID, LogType, LogDescribe, LogDate, LogStation) "
                "SELECT i, CASE WHEN i % 50 = 0 THEN 'Login' WHEN i % 997 = 0 THEN 'Import serail number' "
                "WHEN i % 1009 = 0 THEN 'Delete serail number' ELSE 'Burning uuid' END, "
                "CASE WHEN i % 50 = 0 THEN 'Login' WHEN i % 997 = 0 THEN 'Import serail number' "
                "WHEN i % 1009 = 0 THEN printf('Delete serail number %08X-%08X-%08X', i, (i * 2654435761) % 4294967296, "
                "(i * 40503) % 4294967296) "
                "ELSE printf('Burning uuid [DEV%012d] [%08X-%08X-%08X]', i, i, (i * 2654435761) % 4294967296, "
                "(i * 40503) % 4294967296) END, "
                "strftime('%Y-%m-%d %H:%M:%S', 1700000000 + i * 3, 'unixepoch'), 'line1-station' || (i % 8 + 1) FROM k")
                .replace(QStringLiteral("{1}"), QString::number(rows)));
    const QString uuid = QStringLiteral(
        "lpad(upper(to_hex(i)), 8, '0') || '-' || lpad(upper(to_hex((i * 2654435761) % "
        "4294967296)), 8, '0') || '-' || lpad(upper(to_hex((i * 40503) % 4294967296)), 8, '0')");
    return exec(db,
                QStringLiteral(
                    "INSERT INTO Logs(LogID, LogType, LogDescribe, LogDate, LogStation) "
                    "SELECT i, CASE WHEN i % 50 = 0 THEN 'Login' WHEN i % 997 = 0 THEN 'Import serail number' "
                    "WHEN i % 1009 = 0 THEN 'Delete serail number' ELSE 'Burning uuid' END, "
                    "CASE WHEN i % 50 = 0 THEN 'Login' WHEN i % 997 = 0 THEN 'Import serail number' "
                    "WHEN i % 1009 = 0 THEN 'Delete serail number ' || %2 "
                    "ELSE 'Burning uuid [DEV' || lpad(i::text, 12, '0') || '] [' || %2 || ']' END, "
                    "to_char(to_timestamp(1700000000 + i * 3) AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS'), "
                    "'line1-station' || (i % 8 + 1) FROM generate_series(1::bigint, %1::bigint) i ORDER BY i")
                    .arg(rows)
                    .arg(uuid))
        && exec(db,
                QStringLiteral(
                    "SELECT setval(pg_get_serial_sequence('logs', 'logid'), (SELECT MAX(LogID) FROM Logs))"));
}

// ---- server --------------------------------------------------------------------------

void pointAt(const testsupport::PgCluster &server, const QString &folder, const QString &station)
{
    QFile ini(QDir(folder).filePath(QStringLiteral("tarnwell.ini")));
    if (ini.open(QIODevice::WriteOnly | QIODevice::Truncate))
        ini.write(QStringLiteral("[store]\ndriver=postgresql\nhost=%1\nport=%2\ndatabase=%3\nuser=%4\nstation=%5\n")
                      .arg(server.host())
                      .arg(server.port())
                      .arg(server.databaseName(), server.user(), station)
                      .toUtf8());
    qputenv("TARNWELL_DB_PASSWORD", server.password().toUtf8());
    // The store's "already exists, skipping" notices at every start are not figures.
    qputenv("PGOPTIONS", "-c client_min_messages=warning");
}

// ---- child processes -----------------------------------------------------------------

ChildResult runChild(const QString &folder, const QStringList &args)
{
    QProcess p;
    p.setWorkingDirectory(folder);
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QCoreApplication::applicationFilePath(), args);
    if (!p.waitForFinished(3600 * 1000)) {
        p.kill();
        p.waitForFinished();
        return {};
    }
    return readChild(p);
}

ChildResult readChild(QProcess &process)
{
    ChildResult result;
    const QStringList lines = QString::fromLocal8Bit(process.readAllStandardOutput()).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq > 0)
            result.values.insert(line.left(eq), line.mid(eq + 1));
    }
    result.ok = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return result;
}

// ---- pages ---------------------------------------------------------------------------

PageWindow::PageWindow(const std::function<QWidget *(QWidget *)> &makePage)
    : window_(new QMainWindow)
{
    Person admin;
    admin.id = 1;
    admin.name = QStringLiteral("admin");
    admin.role = Role::Administrator;
    setSignedInPerson(admin);
    auto *central = new QWidget(window_);
    auto *layout = new QHBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto *stack = new QStackedWidget(central);
    layout->addWidget(stack);
    window_->setCentralWidget(central);
    for (const char *entry : {"Serail Number", "Burning", "Customer", "Password", "Users", "Log", "Exit"})
        window_->menuBar()->addAction(new QAction(QString::fromLatin1(entry), window_));
    window_->resize(1104, 679);
    window_->setFixedSize(window_->size());
    page_ = makePage(window_);
    stack->addWidget(page_);
    window_->show();
    QApplication::processEvents();
}

PageWindow::~PageWindow()
{
    delete window_;
}

namespace {

void quietHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtWarningMsg || !message.startsWith(QLatin1String("This plugin does not support")))
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

qint64 statusKb(const char *key)
{
    QFile file(QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines)
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key))).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

} // namespace

void quietPlatform()
{
    qInstallMessageHandler(quietHandler);
}

void quietRuntimeDir()
{
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        return;
    const QString dir = QDir::tempPath() + QStringLiteral("/tarnwell-bench-runtime-%1").arg(::getuid());
    QDir().mkpath(dir);
    QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir));
}

qint64 residentKb()
{
    return statusKb("VmRSS:");
}

qint64 peakResidentKb()
{
    return statusKb("VmHWM:");
}

bool resetPeak()
{
    QFile file(QStringLiteral("/proc/self/clear_refs"));
    return file.open(QIODevice::WriteOnly) && file.write("5") == 1;
}

// ---- output --------------------------------------------------------------------------

void say(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

QString ms(double v)
{
    if (v < 0)
        return QStringLiteral("-");
    return v < 10 ? QString::number(v, 'f', 2) : QString::number(v, 'f', 1);
}

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace bench
