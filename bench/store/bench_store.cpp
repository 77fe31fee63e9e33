// Store operations on factory-sized pools, with and without the pool's indexes.
//
// For each size it builds a pool in a temporary folder (the store always works on
// mydatabase.db in the working directory): customers 1 and 2 alternate, the newest
// half is used. A copy of the same file with the indexes dropped is the baseline,
// measured in the same run through the same store functions.
//
//   bench_store [--sizes 10000,100000,1000000]
#include "store/datastore.h"
#include "store/fixedfield.h"
#include "store/storeconnection.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <vector>

namespace {

const char *const kIndexNames[] = {"SerialNumbersBySerialNumber", "SerialNumbersByDeviceSerialNum",
                                   "SerialNumbersByCustomerUse", "SerialNumbersByCustomer"};

// Same formula as the bulk fill: the serial numbers arrive in no particular order,
// as they do from customers' files.
QString serialOf(qint64 i)
{
    return QString::asprintf("UID%08llX%07lld", static_cast<unsigned long long>((i * 2654435761LL) % 4294967296LL), i);
}

QString deviceOf(qint64 i)
{
    return QString::asprintf("DEV%010lld", i);
}

bool fill(int rows)
{
    const int half = rows / 2;
    const QString sql =
        QStringLiteral(
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<%1) "
            "INSERT INTO SerialNumbers(SNID, CustomerID, SerialNumber, IsUse, DeviceType, DeviceSerialNum, szIP) "
            "SELECT null, 1 + i % 2, printf('UID%08X%07d', (i * 2654435761) % 4294967296, i), i > %2, "
            "CASE WHEN i > %2 THEN (CASE i % 3 WHEN 0 THEN 'DVR' WHEN 1 THEN 'NVR' ELSE 'IPC' END) ELSE '' END, "
            "CASE WHEN i > %2 THEN printf('DEV%010d', i) ELSE '' END, "
            "CASE WHEN i > %2 THEN '10.' || (i / 65536 % 256) || '.' || (i / 256 % 256) || '.' || (i % 256) ELSE '' END "
            "FROM n")
            .arg(rows)
            .arg(half);
    if (!beginBatch())
        return false;
    QSqlQuery q(storeDatabase);
    const bool ok = q.exec(sql);
    return commitBatch() && ok;
}

// CPU time of this thread in milliseconds: what a call costs whatever else the
// machine is doing at the time.
double cpuMs()
{
#ifdef CLOCK_THREAD_CPUTIME_ID
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
#else
    return std::clock() * 1e3 / CLOCKS_PER_SEC;
#endif
}

double lastCpuMs = 0; // CPU time per call of the batch timeCall reported last

// Time of one call in milliseconds. After a warm-up call, calls run in batches of
// about 5 ms until budgetMs have passed (at least 3 batches, at most maxCalls calls);
// the figure is the fastest batch's mean, which other load on the machine disturbs least.
double timeCall(const std::function<void(int)> &call, double budgetMs = 400, int maxCalls = 20000)
{
    QElapsedTimer t;
    t.start();
    call(0);
    const double first = std::max(t.nsecsElapsed() / 1e6, 1e-4);
    const int batch = std::max(1, std::min(maxCalls / 3, int(5.0 / first)));
    double best = 1e300;
    int calls = 0, batches = 0;
    t.restart();
    while (batches < 3 || (calls + batch <= maxCalls && t.nsecsElapsed() / 1e6 < budgetMs)) {
        QElapsedTimer b;
        const double cpu = cpuMs();
        b.start();
        for (int i = 0; i < batch; ++i)
            call(++calls);
        const double wall = b.nsecsElapsed() / 1e6 / batch;
        if (wall < best) {
            best = wall;
            lastCpuMs = (cpuMs() - cpu) / batch;
        }
        ++batches;
    }
    return best;
}

// Takes the rows the insert figures added out again, so that the next pass measures
// the same pool (new unused rows would sit right where unusedSerials starts looking).
void dropAddedRows(int size)
{
    QSqlQuery q(storeDatabase);
    q.exec(QStringLiteral("DELETE FROM SerialNumbers WHERE SNID > %1").arg(size));
}

struct Row {
    QString name;
    QString target; // the figure this must stay under at a million rows, if any
    std::function<double()> measure;
    double indexed = 0;
    double indexedCpu = 0;
    double plain = 0;
};

QString ms(double v)
{
    if (v < 0)
        return QStringLiteral("-");
    if (v < 0.1)
        return QString::asprintf("%.1f us", v * 1000);
    if (v < 10)
        return QString::asprintf("%.2f ms", v);
    return QString::asprintf("%.0f ms", v);
}

QString plan(const QString &sql)
{
    QString s = sql;
    s.replace(QLatin1Char('?'), QStringLiteral("'x'"));
    QSqlQuery q(storeDatabase);
    QStringList steps;
    if (q.exec(QStringLiteral("EXPLAIN QUERY PLAN ") + s))
        while (q.next())
            steps << q.value(3).toString();
    return steps.join(QLatin1String("; "));
}

void runSize(const QString &root, int size, bool printPlans)
{
    const QString indexedDir = root + QStringLiteral("/%1-indexed").arg(size);
    const QString plainDir = root + QStringLiteral("/%1-plain").arg(size);
    QDir().mkpath(indexedDir);
    QDir().mkpath(plainDir);

    // The pool is filled without indexes (as a file written before them would be)
    // in one transaction. A copy of it gains the indexes when the store opens it,
    // so both pools hold the same rows in the same table pages.
    QDir::setCurrent(plainDir);
    openDatabase();
    for (const char *name : kIndexNames)
        storeDatabase.exec(QStringLiteral("DROP INDEX %1").arg(QLatin1String(name)));
    QElapsedTimer t;
    t.start();
    if (!fill(size)) {
        std::printf("filling the pool failed\n");
        closeDatabase();
        return;
    }
    const double fillMs = t.nsecsElapsed() / 1e6;
    const double plainBytes = QFileInfo(QStringLiteral("mydatabase.db")).size();
    // No transaction is open, so the file is complete; it stays open (reopening
    // through the store would add the indexes back).
    QFile::copy(plainDir + QStringLiteral("/mydatabase.db"), indexedDir + QStringLiteral("/mydatabase.db"));

    const int half = size / 2;
    const int lastPage = (size + 19) / 20 - 1;
    std::vector<QString> presentSerials, presentDevices;
    for (int k = 0; k < 64; ++k) {
        presentSerials.push_back(serialOf(1 + qint64(k) * (size - 1) / 63));
        presentDevices.push_back(deviceOf(half + 1 + qint64(k) * (size - half - 1) / 63));
    }
    const SerialFilter kType{0, -1, QStringLiteral("NVR")};
    const SerialFilter kUnused{0, 0, {}};
    const SerialFilter kUsed{0, 1, {}};
    const SerialFilter kCustomer{2, -1, {}};
    const SerialFilter kAll{2, 1, QStringLiteral("NVR")};

    std::vector<Row> rows;
    auto add = [&rows](const QString &name, const QString &target, std::function<double()> m) {
        rows.push_back({name, target, std::move(m)});
    };
    auto count = [](const SerialFilter &filter) {
        return [filter] { return timeCall([&](int) { countSerials(filter); }); };
    };
    auto search = [](const SerialFilter &filter) {
        return [filter] {
            return timeCall([&](int) {
                countSerials(filter);
                pageSerials(0, 20, filter);
            });
        };
    };
    add(QStringLiteral("countSerials, no filter"), QString(), count(SerialFilter()));
    add(QStringLiteral("countSerials, type"), QString(), count(kType));
    add(QStringLiteral("countSerials, not used"), QString(), count(kUnused));
    add(QStringLiteral("countSerials, used"), QString(), count(kUsed));
    add(QStringLiteral("countSerials, customer"), QString(), count(kCustomer));
    add(QStringLiteral("countSerials, type+used+customer"), QString(), count(kAll));
    add(QStringLiteral("pageSerials first page (20)"), QStringLiteral("5 ms"),
        [] { return timeCall([](int) { pageSerials(0, 20, SerialFilter()); }); });
    add(QStringLiteral("pageSerials last page (20)"), QString(),
        [lastPage] { return timeCall([lastPage](int) { pageSerials(lastPage, 20, SerialFilter()); }); });
    add(QStringLiteral("count + first page, no filter"), QStringLiteral("150 ms"), search(SerialFilter()));
    add(QStringLiteral("count + first page, type"), QStringLiteral("150 ms"), search(kType));
    add(QStringLiteral("count + first page, not used"), QStringLiteral("150 ms"), search(kUnused));
    add(QStringLiteral("count + first page, customer"), QStringLiteral("150 ms"), search(kCustomer));
    add(QStringLiteral("count + first page, type+used+customer"), QStringLiteral("150 ms"), search(kAll));
    add(QStringLiteral("serialExists, present"), QStringLiteral("1 ms"), [&presentSerials] {
        return timeCall([&](int i) { serialExists(presentSerials[std::size_t(i) % presentSerials.size()]); });
    });
    add(QStringLiteral("serialExists, absent"), QStringLiteral("1 ms"),
        [] { return timeCall([](int i) { serialExists(QStringLiteral("ABSENT-%1").arg(i)); }); });
    add(QStringLiteral("serialOfDevice, present"), QStringLiteral("1 ms"), [&presentDevices] {
        return timeCall([&](int i) { serialOfDevice(presentDevices[std::size_t(i) % presentDevices.size()]); });
    });
    add(QStringLiteral("serialOfDevice, absent"), QStringLiteral("1 ms"),
        [] { return timeCall([](int i) { serialOfDevice(QStringLiteral("NODEV-%1").arg(i)); }); });
    add(QStringLiteral("unusedSerials(50, 1)"), QStringLiteral("1 ms"),
        [] { return timeCall([](int) { unusedSerials(50, 1); }); });
    // Last, as they grow the pool: a batch of inserts, then the import's own step
    // (look the serial up, store it when new). Figures are per row.
    add(QStringLiteral("insertSerial in one batch, per row"), QString(), [size] {
        static int next = 0;
        beginBatch();
        const double perRow = timeCall(
            [size](int) {
            SerialRecord r{};
            fixedfield::put(r.customerName, QStringLiteral("1"));
            fixedfield::put(r.serialNumber, serialOf(qint64(size) + 1 + next++));
            insertSerial(r);
            },
            300, 20000);
        commitBatch();
        dropAddedRows(size);
        return perRow;
    });
    add(QStringLiteral("import row (serialExists + insertSerial)"), QString(), [size] {
        static int next = 0;
        beginBatch();
        const double perRow = timeCall(
            [size](int) {
            SerialRecord r{};
            fixedfield::put(r.customerName, QStringLiteral("2"));
            const QString sn = serialOf(qint64(size) + 500000 + next++);
            fixedfield::put(r.serialNumber, sn);
            if (!serialExists(sn))
                insertSerial(r);
            },
            300, 20000);
        commitBatch();
        dropAddedRows(size);
        return perRow;
    });

    // Two passes each, keeping the better figure: the first pass can meet the system
    // still writing the freshly built file back to disk.
    for (int pass = 0; pass < 2; ++pass)
        for (Row &r : rows) {
            const double v = r.measure();
            r.plain = pass == 0 ? v : std::min(r.plain, v);
        }
    closeDatabase();

    QDir::setCurrent(indexedDir);
    t.restart();
    openDatabase();
    const double migrateMs = t.nsecsElapsed() / 1e6;
    const double indexedBytes = QFileInfo(QStringLiteral("mydatabase.db")).size();
    for (int pass = 0; pass < 2; ++pass)
        for (Row &r : rows) {
            const double v = r.measure();
            if (pass == 0 || v < r.indexed) {
                r.indexed = v;
                r.indexedCpu = lastCpuMs;
            }
        }
    if (printPlans) {
        std::printf("\nQuery plans with the indexes (the same at every size):\n");
        const struct {
            const char *name;
            std::function<void()> call;
        } plans[] = {
            {"countSerials, no filter", [] { countSerials(SerialFilter()); }},
            {"countSerials, type", [&] { countSerials(kType); }},
            {"countSerials, not used", [&] { countSerials(kUnused); }},
            {"countSerials, customer", [&] { countSerials(kCustomer); }},
            {"pageSerials, no filter", [] { pageSerials(0, 20, SerialFilter()); }},
            {"pageSerials, not used", [&] { pageSerials(0, 20, kUnused); }},
            {"pageSerials, customer", [&] { pageSerials(0, 20, kCustomer); }},
            {"serialExists", [] { serialExists(QStringLiteral("x")); }},
            {"serialOfDevice", [] { serialOfDevice(QStringLiteral("x")); }},
            {"unusedSerials", [] { unusedSerials(50, 1); }},
        };
        for (const auto &p : plans) {
            p.call();
            std::printf("  %-24s %s\n", p.name, qPrintable(plan(storeQuery.lastQuery())));
        }
    }
    closeDatabase();

    std::printf("\nPool of %d serial numbers (newest half used): filled in %.2f s, %.0f MB; "
                "the first open adds the indexes in %.2f s, %.0f MB with them\n",
                size, fillMs / 1000, plainBytes / 1048576.0, migrateMs / 1000, indexedBytes / 1048576.0);
    std::printf("%-42s %10s %10s %10s %9s  %s\n", "operation", "indexed", "(its CPU)", "no index", "speed-up",
                "target at 1M");
    for (const Row &r : rows) {
        QString verdict = r.target;
        if (!r.target.isEmpty() && size >= 1000000) {
            const double limit = r.target.section(QLatin1Char(' '), 0, 0).toDouble();
            verdict = QStringLiteral("< %1 %2").arg(r.target,
                                                    r.indexed < limit ? QStringLiteral("met")
                                                                      : QStringLiteral("MISSED"));
        } else if (!r.target.isEmpty()) {
            verdict = QStringLiteral("< ") + r.target;
        }
        std::printf("%-42s %10s %10s %10s %8.1fx  %s\n", qPrintable(r.name), qPrintable(ms(r.indexed)),
                    qPrintable(ms(r.indexedCpu)), qPrintable(ms(r.plain)), r.plain / r.indexed, qPrintable(verdict));
    }
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QList<int> sizes = {10000, 100000, 1000000};
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--sizes") && i + 1 < args.size()) {
            sizes.clear();
            for (const QString &s : args[++i].split(QLatin1Char(','), Qt::SkipEmptyParts))
                if (s.toInt() > 0)
                    sizes << s.toInt();
        } else {
            std::printf("usage: bench_store [--sizes 10000,100000,1000000]\n");
            return 2;
        }
    }
    if (sizes.isEmpty())
        return 2;

    QTemporaryDir root(QDir::tempPath() + QStringLiteral("/bench-store-XXXXXX"));
    if (!root.isValid())
        return 1;
    const QString start = QDir::currentPath();
    bool first = true;
    for (int size : sizes) {
        runSize(root.path(), size, first);
        first = false;
    }
    QDir::setCurrent(start);
    return 0;
}
