// What the benchmark programs share: timing (wall and CPU medians), the machine's load,
// sizes from flags or the environment, the folder kept for big pools between runs, pools
// and logs of any size filled with one statement (on the file or on a server), the
// program's settings for a throwaway PostgreSQL server (testsupport::PgCluster), child
// runs, the pages inside a window shaped like the main one, and the process's memory.
#pragma once

#include "tests/support/pgcluster.h"

#include <QList>
#include <QMap>
#include <QProcessEnvironment>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

#include <QWidget>

class QMainWindow;
class QProcess;

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
// The identifier of row i, and the device of a used row i.
QString poolSerial(qint64 i);
QString poolDevice(qint64 i);

// A connection of its own to the SQLite file (name is the connection's name).
QSqlDatabase openFile(const QString &path, const QString &name);
// Runs one statement; prints the error and returns false when it fails.
bool exec(QSqlDatabase db, const QString &sql);
qint64 scalar(QSqlDatabase db, const QString &sql);

// ---- a server ------------------------------------------------------------------------

// Writes tarnwell.ini in `folder` for the cluster and this station name, and puts the
// password into this process's environment (children inherit it).
void pointAt(const testsupport::PgCluster &server, const QString &folder, const QString &station);

// ---- child processes -----------------------------------------------------------------

// What a child run of this program printed as key=value lines.
struct ChildResult {
    QMap<QString, QString> values;
    bool ok = false;
    double value(const char *key) const { return values.value(QLatin1String(key), QStringLiteral("-1")).toDouble(); }
};
// Runs this program again in `folder` with `args` and reads its key=value lines.
ChildResult runChild(const QString &folder, const QStringList &args);
// The key=value lines and the exit of a finished child.
ChildResult readChild(QProcess &process);

// ---- pages ---------------------------------------------------------------------------

// A window of the main window's size with a menu bar over a page stack, holding `page`,
// made for the seeded administrator (signed in first), who is offered every action.
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

// ---- output --------------------------------------------------------------------------

// printf to stdout, flushed at once (a long run shows its progress).
void say(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Milliseconds for a table: "-" when negative, two decimals below 10.
QString ms(double v);
// CPU time of this process (user + system), in seconds.
double processCpuSeconds();

// The widget of a page by its object name; a missing one ends the program.
template <typename T>
T *child(QWidget *page, const char *name)
{
    T *w = page->findChild<T *>(QLatin1String(name));
    if (!w)
        qFatal("no widget %s", name);
    return w;
}

} // namespace bench
