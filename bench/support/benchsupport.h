// What the benchmark programs share: timing (wall and CPU medians), the machine's load,
// sizes from flags or the environment, the folder kept for big pools between runs, pools
// and logs of any size filled with one statement (on the file or on a server), a
// throwaway PostgreSQL server with real commit costs, the pages inside a window shaped
// like the main one, and the process's memory.
#pragma once

#include <QList>
#include <QProcessEnvironment>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

class QMainWindow;
class QStackedWidget;
class QTemporaryDir;
class QWidget;

namespace bench {

// ---- time and load -------------------------------------------------------------------

// This thread's CPU time in milliseconds.
double threadCpuMs();
// The 1-minute load average of the machine.
double loadAverage();

struct Timing {
    double wall = 0;  // median, what the operator waits
    double cpu = 0;   // median of the UI thread's own CPU time; steadier on a busy machine
    double worst = 0; // slowest of the timed runs (wall)
    double load = 0;  // load average when the runs ended
    bool valid = false;
};

// `runs` timed runs after one warm-up: each runs `prepare` (untimed) and then `action`
// with the events it causes (layout, repaint).
Timing timeIt(const std::function<void()> &action, const std::function<void()> &prepare, int runs);

double median(std::vector<double> values);
// The value at fraction p (0..1) of the sorted values (nearest rank).
double percentile(std::vector<double> values, double p);

// ---- sizes and places ----------------------------------------------------------------

// `--name N` on the command line, else the environment variable, else `fallback`.
qint64 sizeOption(const QStringList &args, const QString &flag, const char *env, qint64 fallback);
QString textOption(const QStringList &args, const QString &flag, const char *env, const QString &fallback);
bool hasFlag(const QStringList &args, const QString &flag);

// Where large pools are kept between runs: TARNWELL_BENCH_DATA, else build/bench-data
// beside the build's run/ folder.
QString dataFolder();

// Copies a file (a pool of gigabytes) and writes it to disk before returning, so its
// write-back does not fall into a timed section.
bool copyFile(const QString &from, const QString &to);
// Writes a file's dirty pages and drops its cached pages: the next read comes from disk,
// as after a restart of the machine. Other files keep their cache.
bool dropCache(const QString &path);

// ---- pools ---------------------------------------------------------------------------

enum class Engine {
    SQLite,
    PostgreSQL
};

// The tables and seed rows as the version before the kept counts made them: no count
// tables, no triggers; and, made after the rows, the four indexes it added on its start.
bool createPreviousSchema(QSqlDatabase db, Engine engine);
bool createPreviousIndexes(QSqlDatabase db, Engine engine);

// `rows` identifiers in one statement. A factory's mix: customers 1 and 2 (3 : 2), 60 %
// used with types DVR, NVR, IPC and NVR-4K, the rest unused, interleaved; one row in
// 500,000 pending (a claim in flight), so a pending filter finds very few rows spread
// over the whole pool. Serial numbers are unique and in no particular order.
bool fillPool(QSqlDatabase db, Engine engine, qint64 rows, qint64 firstId = 1);
// `rows` log rows, as burning, logins, imports and deletes write them, from 8 stations.
bool fillLogs(QSqlDatabase db, Engine engine, qint64 rows);
// How the rows of fillPool divide, for choosing rows to act on.
bool poolUsed(qint64 i);
bool poolPending(qint64 i);
int poolCustomer(qint64 i);

// A connection of its own to the SQLite file (name is the connection's name).
QSqlDatabase openFile(const QString &path, const QString &name);
// Runs one statement; prints the error and returns false when it fails.
bool exec(QSqlDatabase db, const QString &sql);
qint64 scalar(QSqlDatabase db, const QString &sql);

// ---- a server ------------------------------------------------------------------------

// A throwaway PostgreSQL cluster (scripts/pg-cluster.sh) with fsync on, so commits cost
// what they cost on a line's server; stopped with this object or when the program dies.
class Server
{
public:
    Server() = default;
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;
    ~Server();
    bool start(bool durable = true);
    void stop();
    QString error() const { return error_; }
    QString value(const QString &key) const;
    // Writes tarnwell.ini in `folder` for this server and this station name, and puts the
    // password into this process's environment (children inherit it).
    void pointAt(const QString &folder, const QString &station) const;
    // An open connection of the benchmark's own.
    QSqlDatabase connection(const QString &name) const;

private:
    std::unique_ptr<QTemporaryDir> folder_;
    QStringList settings_;
    QString error_;
};

// ---- pages ---------------------------------------------------------------------------

// A window of the main window's size with a menu bar over a page stack, holding `page`.
class PageWindow
{
public:
    explicit PageWindow(const std::function<QWidget *(QWidget *parent)> &makePage);
    ~PageWindow();
    QWidget *page() const { return page_; }

private:
    QMainWindow *window_;
    QWidget *page_;
};

// The offscreen platform warns about every popup it cannot raise; those are left out.
void quietPlatform();
// Gives Qt a runtime folder of this user's own when the session has none (before the
// application object exists), instead of a warning from every child process.
void quietRuntimeDir();

// ---- memory --------------------------------------------------------------------------

// VmRSS and VmHWM of this process in kB.
qint64 residentKb();
qint64 peakResidentKb();
// Makes the peak equal to the current size (Linux: /proc/self/clear_refs), so a later
// peak is the peak of what runs after this; false when the kernel does not allow it.
bool resetPeak();

// ---- files to import -----------------------------------------------------------------

QStringList makeValues(const QString &prefix, qint64 count);
bool writeXml(const QString &path, const QStringList &values);
// Shared strings, one column, one header row, as spreadsheet applications write them.
bool writeXlsx(const QString &path, const QStringList &values);

} // namespace bench
