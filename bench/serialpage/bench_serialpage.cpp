// Times the serial page against a pool of a million serial numbers: Search with each
// filter, page switches and a recount, as the operator sees them (slot plus the
// repaint that follows). Baseline: the bare store calls for one unfiltered page.
//
//   bench_serialpage [pool size]        (default 1000000)
#include "serial/serial.h"
#include "store/datastore.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStackedWidget>
#include <QTableWidget>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <vector>

namespace {

const int kRuns = 7;
const double kTargetMs = 200.0;

// One statement in one transaction on a connection of its own: a realistic mix of
// customers, usage and device types, used and unused rows interleaved.
bool fillPool(int count)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench-fill"));
    db.setDatabaseName(QDir::current().absoluteFilePath(QStringLiteral("mydatabase.db")));
    if (!db.open())
        return false;
    bool ok;
    {
        QSqlQuery q(db);
        db.transaction();
        ok = q.exec(
            QStringLiteral(
                "WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM k WHERE i < %1), "
                "r(i, used) AS (SELECT i, (i * 7919) % 10 < 6 FROM k) "
                "INSERT INTO SerialNumbers(CustomerID, SerialNumber, IsUse, DeviceType, DeviceSerialNum, szIP) "
                "SELECT CASE WHEN (i * 31) % 5 < 3 THEN 1 ELSE 2 END, "
                "printf('%08X-%08X-%08X', i, (i * 2654435761) % 4294967296, (i * 40503) % 4294967296), used, "
                "CASE WHEN used THEN CASE i % 4 WHEN 0 THEN 'DVR' WHEN 1 THEN 'NVR' WHEN 2 THEN 'IPC' ELSE 'NVR-4K' END ELSE '' END, "
                "CASE WHEN used THEN printf('DEV%012d', i) ELSE '' END, "
                "CASE WHEN used THEN printf('10.%d.%d.%d', i / 65536 % 256, i / 256 % 256, i % 256) ELSE '' END "
                "FROM r")
                .arg(count));
        if (!ok)
            std::fprintf(stderr, "fill failed: %s\n", qPrintable(q.lastError().text()));
        db.commit();
    }
    db.close();
    return ok;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double cpuMs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

struct Timing {
    double wall; // what the operator waits
    double cpu;  // the UI thread's own work; steadier on a busy machine
};

// Medians of `prepare` (untimed) then `action` plus the event processing (layout,
// repaint) it causes.
Timing timeIt(const std::function<void()> &action, const std::function<void()> &prepare = {})
{
    std::vector<double> wall, cpu;
    for (int i = 0; i <= kRuns; ++i) {
        if (prepare) {
            prepare();
            QApplication::processEvents();
        }
        QElapsedTimer t;
        t.start();
        const double cpu0 = cpuMs();
        action();
        QApplication::processEvents();
        if (i > 0) { // the first run warms the caches
            wall.push_back(t.nsecsElapsed() / 1e6);
            cpu.push_back(cpuMs() - cpu0);
        }
    }
    return {median(wall), median(cpu)};
}

// The offscreen platform warns about every popup it cannot raise or grab for.
void quietPlatform(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtWarningMsg || !message.startsWith(QLatin1String("This plugin does not support")))
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    qInstallMessageHandler(quietPlatform);
    const int poolSize = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 1000000;

    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    openDatabase();
    closeDatabase(); // the pool is written on another connection; reopen afterwards

    QElapsedTimer fillTimer;
    fillTimer.start();
    if (!fillPool(poolSize))
        return 1;
    const double fillMs = fillTimer.elapsed();
    openDatabase(); // the store's own indexes (if any) are built here on the full pool
    const double openMs = fillTimer.elapsed() - fillMs;

    // The page inside a window shaped like the main one: menu bar over a page stack.
    QMainWindow window;
    auto *central = new QWidget(&window);
    auto *layout = new QHBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto *stack = new QStackedWidget(central);
    layout->addWidget(stack);
    window.setCentralWidget(central);
    for (const char *entry : {"Serail Number", "Burning", "Customer", "Password", "Log", "Exit"})
        window.menuBar()->addAction(new QAction(QString::fromLatin1(entry), &window));
    window.resize(1104, 679);
    window.setFixedSize(window.size());
    auto *page = new Serial(&window);
    stack->addWidget(page);

    QElapsedTimer showTimer;
    showTimer.start();
    window.show();
    QApplication::processEvents();
    const double showMs = showTimer.nsecsElapsed() / 1e6;

    auto *table = page->findChild<QTableWidget *>(QStringLiteral("tableWidget"));
    auto *cbxPage = page->findChild<QComboBox *>(QStringLiteral("cbxPage"));
    auto *cbxUse = page->findChild<QComboBox *>(QStringLiteral("cbxUse"));
    auto *cbxType = page->findChild<QComboBox *>(QStringLiteral("cbxType"));
    auto *cbxCustomer = page->findChild<QComboBox *>(QStringLiteral("cbxCustomer"));
    auto button = [page](const char *name) { return page->findChild<QPushButton *>(QLatin1String(name)); };
    const int pageSize = table->rowCount();

    const Timing baseline = timeIt([pageSize] {
        countSerials(SerialFilter());
        pageSerials(0, pageSize, SerialFilter());
    });

    std::printf("pool %d serial numbers (filled in %.0f ms, store opened in %.0f ms)\n", poolSize, fillMs, openMs);
    std::printf("page %dx%d, %d rows per page, %d pages; first show %.1f ms\n", page->width(), page->height(), pageSize,
                cbxPage->count(), showMs);
    std::printf("baseline: countSerials + pageSerials, no filter: %.1f ms wall, %.1f ms cpu\n", baseline.wall,
                baseline.cpu);
    std::printf("medians of %d runs; 'store' is the same store work done bare, so page - store is what the "
                "page adds\n\n",
                kRuns);
    std::printf("%-38s %8s %7s %8s %7s %10s %10s  %s\n", "operation", "wall ms", "/ base", "cpu ms", "/ base",
                "store wall", "store cpu", "target: 200 ms wall");

    auto report = [baseline](const char *name, Timing onPage, const Timing *store = nullptr) {
        std::printf("%-38s %8.1f %7.2f %8.1f %7.2f ", name, onPage.wall, onPage.wall / baseline.wall, onPage.cpu,
                    onPage.cpu / baseline.cpu);
        if (store)
            std::printf("%10.1f %10.1f ", store->wall, store->cpu);
        else
            std::printf("%10s %10s ", "-", "-");
        std::printf(" %s\n", onPage.wall < kTargetMs ? "ok" : "OVER");
    };
    auto filtered = [&](int use, int type, int customer) {
        return [=] {
            cbxUse->setCurrentIndex(use);
            cbxType->setCurrentIndex(type);
            cbxCustomer->setCurrentIndex(customer);
            button("btnSearch")->click();
        };
    };
    auto bare = [pageSize](const SerialFilter &filter) {
        return timeIt([=] {
            countSerials(filter);
            pageSerials(0, pageSize, filter);
        });
    };
    auto search = [&](const char *name, int use, int type, int customer, const SerialFilter &filter) {
        const Timing store = bare(filter);
        report(name, timeIt(filtered(use, type, customer)), &store);
    };
    const QString nvr = QStringLiteral("NVR");

    search("Search, all", 0, 0, 0, SerialFilter());
    search("Search, usage \"Not used\"", 1, 0, 0, SerialFilter{0, 0, {}});
    search("Search, usage \"Has been used\"", 2, 0, 0, SerialFilter{0, 1, {}});
    search("Search, type \"NVR\"", 0, 2, 0, SerialFilter{0, -1, nvr});
    search("Search, customer \"Brisvan\"", 0, 0, 2, SerialFilter{2, -1, {}});
    search("Search, used + NVR + Brisvan", 2, 2, 2, SerialFilter{2, 1, nvr});

    // Page switches on the unfiltered pool.
    filtered(0, 0, 0)();
    QApplication::processEvents();
    const int pages = cbxPage->count();
    auto switchTo =
        [&](const char *name, int storePage, const std::function<void()> &action, const std::function<void()> &from) {
        const Timing store = timeIt([&] { pageSerials(storePage, pageSize, SerialFilter()); });
        report(name, timeIt(action, from), &store);
    };
    auto first = [&] { button("btnSerialFirst")->click(); };
    auto last = [&] { button("btnSerialLast")->click(); };
    switchTo(
        "Next (page 1 -> 2)", 1, [&] { button("btnSerialNext")->click(); }, first);
    switchTo("Last", pages - 1, last, first);
    switchTo(
        "Prev (from the last page)", pages - 2, [&] { button("btnSerialPrev")->click(); }, last);
    switchTo(
        "selector, middle page", pages / 2, [&] { cbxPage->setCurrentIndex(pages / 2); }, first);
    switchTo("First (from the last page)", 0, first, last);
    report("selector popup open + close", timeIt([&] {
               cbxPage->showPopup();
               QApplication::processEvents();
               cbxPage->hidePopup();
           }));
    report("recount (refreshPaging), no filter", timeIt([&] { page->refreshPaging(); }), &baseline);
    report("reload after a burn (onSerial)", timeIt([&] { page->onSerial(); }));
    return 0;
}
