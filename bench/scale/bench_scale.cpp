// A pool and a log of any size (ten million rows each by default): the store's lookups with
// and without the pool's indexes, the Serial and Log pages driven through their widgets for
// every filter the Serial page can build, the history of a value beside a search of the
// log's texts, and the start of the program on a file the
// previous version made. Every figure stands beside the designed statements, the bare
// store calls or the previous version's work on the same pool, in the same run.
//
//   bench_scale [--rows N] [--engine sqlite|postgresql|both] [--only open,store,serial,log,history,batches,report]
//               [--runs R] [--filters all|main] [--server-folder DIR]
//   N: TARNWELL_BENCH_ROWS (default 10000000); the pool and the log each get N rows.
//   The SQLite files are kept in TARNWELL_BENCH_DATA (default build/bench-data): the
//   previous version's file (prev-v1-N.db) and the same after this version's first
//   open (sqlite-N/mydatabase.db). Made once (10 M: a few minutes); delete them to
//   refill. The server pool is filled in every run on a throwaway cluster with fsync on;
//   --server-folder DIR runs the pages against a pool already on a server instead (DIR
//   holds the program's tarnwell.ini for it, the password in TARNWELL_DB_PASSWORD).
//   --only report (not among the defaults): a pool of its own whose events number N, over 60
//   days of eight stations; the report's reads for a day and a month beside counting the
//   events, and (SQLite) what the hour counts cost an import and a Burn's store steps.
#include "bench/support/benchsupport.h"
#include "jobs/report.h"
#include "log/log.h"
#include "serial/serial.h"
#include "shell/login.h"
#include "shell/tarnwell.h"
#include "store/datastore.h"
#include "store/storeconnection.h"
#include "widgets/messagebox.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTableWidget>
#include <QVariant>

#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <map>

using bench::child;
using bench::Engine;
using bench::ms;
using bench::runChild;
using bench::say;
using bench::Timing;

namespace {

QStringList arguments;
int runs = 3;
int baseRuns = 2;
Engine engine = Engine::SQLite;

// Targets on the file; the server may take 1.5 times as long.
double target(double fileMs)
{
    return engine == Engine::PostgreSQL ? fileMs * 1.5 : fileMs;
}

const char *engineName()
{
    return engine == Engine::PostgreSQL ? "PostgreSQL" : "SQLite";
}

// A designed statement in the engine's words (the store's dialect for LIMIT a, b).
QString designed(const QString &sql)
{
    if (engine == Engine::SQLite)
        return sql;
    QString s = sql;
    const int at = s.lastIndexOf(QLatin1String("LIMIT "));
    if (at >= 0) {
        const QStringList parts = s.mid(at + 6).split(QStringLiteral(", "));
        if (parts.size() == 2)
            s = s.left(at) + QStringLiteral("LIMIT %1 OFFSET %2").arg(parts.at(1), parts.at(0));
    }
    return s;
}

// Runs a designed statement on the store's connection and reads every row it returns.
qint64 runDesigned(const QString &sql)
{
    QSqlQuery q(storeDatabase);
    q.setForwardOnly(true);
    if (!q.exec(designed(sql))) {
        std::fprintf(stderr, "designed statement failed: %s\n  %s\n", qPrintable(q.lastError().text()),
                     qPrintable(sql));
        return -1;
    }
    qint64 rows = 0;
    qint64 first = 0;
    while (q.next()) {
        if (rows == 0)
            first = q.value(0).toLongLong();
        ++rows;
    }
    return first;
}

Timing timeDesigned(const QString &sql)
{
    return bench::timeIt([&] { runDesigned(sql); }, {}, baseRuns);
}

// ---- the store's own calls -----------------------------------------------------------

// Milliseconds of one call, below 0.1 ms in microseconds.
QString fine(double v)
{
    return v >= 0 && v < 0.1 ? QString::asprintf("%.1f us", v * 1000) : ms(v) + QStringLiteral(" ms");
}

// One call in ms: after a warm-up call, batches of about 5 ms until `budgetMs` have passed
// (at least 3 batches); the fastest batch's mean, which other load disturbs least. `cpu`
// gets that batch's CPU time per call.
double timeCall(const std::function<void(int)> &call, double *cpu, double budgetMs = 400, int maxCalls = 20000)
{
    QElapsedTimer t;
    t.start();
    call(0);
    const double first = std::max(double(t.nsecsElapsed()) / 1e6, 1e-4);
    const int batch = std::max(1, std::min(maxCalls / 3, int(5.0 / first)));
    double best = 1e300;
    int calls = 0;
    t.restart();
    for (int batches = 0; batches < 3 || (calls + batch <= maxCalls && double(t.nsecsElapsed()) / 1e6 < budgetMs);
         ++batches) {
        QElapsedTimer b;
        const double cpu0 = bench::threadCpuMs();
        b.start();
        for (int i = 0; i < batch; ++i)
            call(++calls);
        const double wall = double(b.nsecsElapsed()) / 1e6 / batch;
        if (wall < best) {
            best = wall;
            *cpu = (bench::threadCpuMs() - cpu0) / batch;
        }
    }
    return best;
}

// The lookups of the import and the Burn pass and the page's count and first page, on the
// pool as it is, and again with the pool's four indexes dropped in a transaction that is
// rolled back afterwards: the baseline, same rows, same run.
void storeSection(qint64 rows)
{
    std::vector<QString> serials, devices;
    for (qint64 k = 0; k < 64; ++k) {
        qint64 i = 1 + k * (rows - 1) / 63;
        serials.push_back(bench::poolSerial(i));
        while (i < rows && !bench::poolUsed(i))
            ++i;
        devices.push_back(bench::poolDevice(i));
    }
    auto search = [](const SerialFilter &filter) {
        return [filter](int) {
            countSerials(filter);
            pageSerials(0, 20, filter);
        };
    };
    struct Call {
        const char *what;
        double target;
        std::function<void(int)> call;
        double indexed = -1, cpu = -1, plain = -1;
    };
    std::vector<Call> calls = {
        {"serialExists, present", 1, [&](int i) { serialExists(serials[std::size_t(i) % serials.size()]); }},
        {"serialExists, absent", 1, [](int i) { serialExists(QStringLiteral("ABSENT-%1").arg(i)); }},
        {"serialOfDevice, present", 1, [&](int i) { serialOfDevice(devices[std::size_t(i) % devices.size()]); }},
        {"serialOfDevice, absent", 1, [](int i) { serialOfDevice(QStringLiteral("NODEV-%1").arg(i)); }},
        {"unusedSerials(50, 1), newest half used", 1, [](int) { unusedSerials(50, 1); }},
        {"pageSerials, first page (20)", 5, [](int) { pageSerials(0, 20, SerialFilter()); }},
        {"count + first page, no filter", 150, search(SerialFilter())},
        {"count + first page, not used", 150, search(SerialFilter{0, 0, QString()})},
        {"count + first page, customer 2", 150, search(SerialFilter{2, -1, QString()})},
        {"count + first page, NVR + used + customer 2", 150, search(SerialFilter{2, 1, QStringLiteral("NVR")})},
    };
    // Without the indexes in a transaction rolled back afterwards; unusedSerials in one of
    // its own, on the pool with the newest half used, as on a line that burns from the
    // newest end: the first unused identifier lies half the pool away.
    const auto dropIndexes = [] {
        for (const char *index : {"SerialNumbersBySerialNumber", "SerialNumbersByDeviceSerialNum",
                                  "SerialNumbersByCustomerUse", "SerialNumbersByCustomer"})
            bench::exec(storeDatabase, QStringLiteral("DROP INDEX IF EXISTS %1").arg(QLatin1String(index)));
    };
    Call &unused = calls[4];
    double cpu = 0;
    for (Call &c : calls)
        if (&c != &unused)
            c.indexed = timeCall(c.call, &c.cpu);
    if (!beginBatch())
        return;
    dropIndexes();
    for (Call &c : calls)
        if (&c != &unused)
            c.plain = timeCall(c.call, &cpu, 400, 200);
    rollbackBatch();
    if (!beginBatch())
        return;
    bench::exec(storeDatabase,
                QStringLiteral("UPDATE SerialNumbers SET IsUse=1 WHERE IsUse=0 AND SNID > %1").arg(rows / 2));
    unused.indexed = timeCall(unused.call, &unused.cpu);
    dropIndexes();
    unused.plain = timeCall(unused.call, &cpu, 400, 200);
    rollbackBatch();

    say("\n## Store calls, %s, %lld identifiers: the fastest batch's mean per call; baseline: the same calls with the "
        "pool's four indexes dropped (in a transaction rolled back afterwards)\n\n"
        "| call | indexed | its CPU | no index | x faster | target | load |\n|---|---:|---:|---:|---:|---|---:|\n",
        engineName(), rows);
    for (const Call &c : calls)
        say("| %s | %s | %s | %s | %.0f | < %.0f ms: %s | %.1f |\n", c.what, qPrintable(fine(c.indexed)),
            qPrintable(fine(c.cpu)), qPrintable(fine(c.plain)), c.plain / c.indexed, target(c.target),
            c.indexed < target(c.target) ? "met" : "MISSED", bench::loadAverage());
}

// ---- the Serial page -----------------------------------------------------------------

struct Combo {
    int type = 0;        // cbxType: All, DVR, NVR, IPC
    int use = 0;         // cbxUse: All, Not used, Has been used, Pending
    int customer = 0;    // cbxCustomer: All, UMEYE, Brisvan
    QString filter;      // the designed statements' SQL text
    SerialFilter choice; // the same choice as the store takes it
    QString name;
};

QList<Combo> combos(bool all)
{
    const char *types[] = {"all types", "DVR", "NVR", "IPC"};
    const char *uses[] = {"all", "not used", "used", "pending"};
    const char *customers[] = {"all", "UMEYE", "Brisvan"};
    QList<Combo> list;
    for (int t = 0; t < 4; ++t)
        for (int u = 0; u < 4; ++u)
            for (int k = 0; k < 3; ++k) {
                // The short list: each filter alone, and each pair and the triple once.
                if (!all) {
                    const int set = (t > 0) + (u > 0) + (k > 0);
                    const bool main = set <= 1 || (t == 2 && u == 2 && k == 2) || (t == 0 && u == 1 && k == 2)
                        || (t == 2 && u == 2 && k == 0) || (t == 3 && u == 0 && k == 1) || (t == 2 && u == 1 && k == 0)
                        || (t == 0 && u == 3 && k == 1);
                    if (!main)
                        continue;
                }
                Combo c{t, u, k, QString(), SerialFilter(), QString()};
                // As the page builds it: type, then usage, then customer.
                if (t > 0)
                    c.filter +=
                        QStringLiteral(" AND s.DeviceType LIKE '%%1%' ESCAPE '\\'").arg(QLatin1String(types[t]));
                if (u > 0)
                    c.filter += QStringLiteral(" AND s.IsUse=%1").arg(u - 1);
                if (k > 0)
                    c.filter += QStringLiteral(" AND c.CustomerID=%1").arg(k);
                if (t > 0)
                    c.choice.deviceType = QLatin1String(types[t]);
                c.choice.isUse = u - 1;
                c.choice.customerId = k;
                c.name = QStringLiteral("%1 / %2 / %3")
                             .arg(QLatin1String(types[t]), QLatin1String(uses[u]), QLatin1String(customers[k]));
                list << c;
            }
    return list;
}

struct Worst {
    double wall = -1;
    double base = -1;
    double load = 0;
    double limit = 0;
    QString combo;
};

// One identifier burnt and given back again and again: the burn the page's reload follows.
class Burner
{
public:
    Burner()
    {
        QSqlQuery q(storeDatabase);
        // A run stopped part-way may have left the bench device holding its identifier.
        q.exec(QStringLiteral("UPDATE SerialNumbers SET IsUse=0, DeviceType='', DeviceSerialNum='', szIP='' "
                              "WHERE DeviceSerialNum='BENCHDEV000001'"));
        q.exec(
            QStringLiteral("SELECT SerialNumber FROM SerialNumbers WHERE CustomerID=1 AND IsUse=0 ORDER BY SNID DESC "
                           "LIMIT 1 OFFSET 3"));
        if (q.next())
            serial = q.value(0).toString();
    }

    void burn()
    {
        giveBack();
        if (!beginBatch()
            || claimSerial(serial, 1, QStringLiteral("BENCHDEV000001"), QStringLiteral("NVR"),
                           QStringLiteral("10.9.9.9"))
                != ClaimResult::Claimed
            || !addLog(makeLogRecord(QStringLiteral("Burning uuid"), QStringLiteral("bench burn"))) || !commitBatch()
            || !beginBatch()
            || !markSerialUsed(serial, QStringLiteral("BENCHDEV000001"), QStringLiteral("NVR"),
                               QStringLiteral("10.9.9.9"))
            || !commitBatch()) {
            rollbackBatch();
            std::fprintf(stderr, "burn failed: %s\n", qPrintable(storeError()));
        }
        burnt = true;
    }

    void giveBack()
    {
        if (!burnt)
            return;
        QSqlQuery q(storeDatabase);
        q.prepare(QStringLiteral("UPDATE SerialNumbers SET IsUse=0, DeviceType='', DeviceSerialNum='', szIP='' "
                                 "WHERE SerialNumber=?"));
        q.addBindValue(serial);
        q.exec();
        burnt = false;
    }

    ~Burner() { giveBack(); }

private:
    QString serial;
    bool burnt = false;
};

// One action of the Serial page: what the operator does, what comes before it (untimed),
// and the designed statements that did the same work.
struct Action {
    const char *name;
    std::function<void()> act, before;
    QStringList base;
    bool paged; // only when the filter has two pages or more
};

void serialSection(bool allCombos)
{
    MessageBox::setScripted(true);
    bench::PageWindow window([](QWidget *parent) { return new Serial(parent); });
    auto *serial = static_cast<Serial *>(window.page());
    auto *table = child<QTableWidget>(serial, "tableWidget");
    auto *cbxPage = child<QComboBox>(serial, "cbxPage");
    auto *cbxType = child<QComboBox>(serial, "cbxType");
    auto click = [serial](const char *name) { return [=] { child<QPushButton>(serial, name)->click(); }; };
    const int pageSize = table->rowCount();
    Burner burner;
    int deleted = 0;
    Combo combo;
    int pages = 0;
    const auto setFilter = [&] {
        cbxType->setCurrentIndex(combo.type);
        child<QComboBox>(serial, "cbxUse")->setCurrentIndex(combo.use);
        child<QComboBox>(serial, "cbxCustomer")->setCurrentIndex(combo.customer);
    };
    const auto search = [&] {
        setFilter();
        click("btnSearch")();
    };
    const auto fromLast = [&] {
        search();
        click("btnSerialLast")();
    };
    // A row of the filter, newest of all, checked for the Delete button.
    const auto newestChecked = [&] {
        burner.giveBack();
        const int use = combo.use > 0 ? combo.use - 1 : 0;
        QSqlQuery q(storeDatabase);
        q.prepare(QStringLiteral("INSERT INTO SerialNumbers(CustomerID, SerialNumber, IsUse, DeviceType, "
                                 "DeviceSerialNum, szIP) VALUES(?, ?, ?, ?, ?, '')"));
        q.addBindValue(combo.customer > 0 ? combo.customer : 1);
        q.addBindValue(QStringLiteral("BENCH-DELETE-%1").arg(++deleted));
        q.addBindValue(use);
        q.addBindValue(combo.type > 0 ? cbxType->itemText(combo.type) : (use > 0 ? QStringLiteral("NVR") : QString()));
        q.addBindValue(use > 0 ? QStringLiteral("BENCHDEL%1").arg(deleted) : QString());
        q.exec();
        search();
        QApplication::processEvents();
        if (QTableWidgetItem *item = table->item(0, 0))
            item->setCheckState(Qt::Checked);
    };
    const QStringList countAndFirst = {QStringLiteral("count"), QStringLiteral("page 1")};
    const std::vector<Action> actions =
        {
            {"Search", search, setFilter, countAndFirst, false},
            {"Next", click("btnSerialNext"), search, {QStringLiteral("page 2")}, true},
            {"Prev", click("btnSerialPrev"), fromLast, {QStringLiteral("last-1")}, true},
            {"Last", click("btnSerialLast"), search, {QStringLiteral("last")}, true},
            {"First", click("btnSerialFirst"), fromLast, countAndFirst, true},
            {"sel. first", [&] { cbxPage->setCurrentIndex(0); }, fromLast, countAndFirst, true},
            {"sel. middle", [&] { cbxPage->setCurrentIndex(pages / 2); }, search, {QStringLiteral("middle")}, true},
            {"sel. last", [&] { cbxPage->setCurrentIndex(pages - 1); }, search, {QStringLiteral("last")}, true},
            {"burn p1", [&] { serial->onSerial(); },
             [&] {
        search();
        burner.burn();
             },
             countAndFirst, false},
            {"burn middle",
             [&] { serial->onSerial(); },
             [&] {
        search();
        cbxPage->setCurrentIndex(pages / 2);
        burner.burn();
             },
             {QStringLiteral("count"), QStringLiteral("middle")},
             true},
                              {"recount", [&] { serial->refreshPaging(); }, search, {QStringLiteral("count")}, false},
                              {"Delete", click("btnDelete"), newestChecked, countAndFirst, false},
                              };
    // The designed statements, and "store": the page's own store calls for count and page 1, bare.
    const QStringList baselines = {QStringLiteral("count"),  QStringLiteral("page 1"), QStringLiteral("page 2"),
                                   QStringLiteral("middle"), QStringLiteral("last"),   QStringLiteral("last-1"),
                                   QStringLiteral("store")};

    say("\n## Serial page, %s, %d rows per page; medians of %d runs after a warm-up (ms of UI time: the slot "
        "and the repaint it causes); designed statements: %d runs\n\n",
        engineName(), pageSize, runs, baseRuns);
    say("Actions: Search = count + first page; Next from page 1; Prev and First from the last page; Last from page 1; "
        "sel. = a jump through the page selector (first page from the last, middle and last page from page 1); "
        "burn p1 / burn middle = the reload after a burn (onSerial) on page 1 / the middle page; recount = "
        "refreshPaging after a Search; Delete = deleting the newest row of the filter through the Delete button (its "
        "two questions answered Yes), which recounts.\n\n");

    std::map<QString, Worst> worst;
    QString pageRows, baseRows;
    for (const Combo &c : combos(allCombos)) {
        combo = c;
        search();
        QApplication::processEvents();
        pages = cbxPage->count();
        const QString where = QStringLiteral("FROM SerialNumbers as s JOIN Customers as c ON c.CustomerID=s.CustomerID "
                                             "WHERE 1=1 ")
            + combo.filter;
        const int total = int(bench::scalar(storeDatabase, QStringLiteral("SELECT COUNT(*) ") + where));
        const QString label = child<QLabel>(serial, "label_5")->text();
        if (!label.contains(QStringLiteral(" %1 ").arg(total)))
            std::fprintf(stderr, "page shows \"%s\", the designed count is %d (%s)\n", qPrintable(label), total,
                         qPrintable(combo.name));

        std::map<QString, Timing> t, b;
        for (const Action &a : actions)
            if (!a.paged || pages >= 2)
                t[QLatin1String(a.name)] = bench::timeIt(a.act, a.before, runs);
        burner.giveBack();

        const QString pageSql = QStringLiteral("SELECT s.SNID,s.SerialNumber,c.CustomerName,s.IsUse,s.DeviceType,"
                                               "s.DeviceSerialNum,s.szIP ")
            + where + QStringLiteral(" ORDER BY s.SNID DESC LIMIT %1, %2");
        auto designedPage = [&](qint64 index) { return timeDesigned(pageSql.arg(index * pageSize).arg(pageSize)); };
        b[QStringLiteral("count")] = timeDesigned(QStringLiteral("SELECT COUNT(*) ") + where);
        b[QStringLiteral("page 1")] = designedPage(0);
        if (pages >= 2) {
            b[QStringLiteral("page 2")] = designedPage(1);
            b[QStringLiteral("middle")] = designedPage(pages / 2);
            b[QStringLiteral("last")] = designedPage(pages - 1);
            b[QStringLiteral("last-1")] = designedPage(pages - 2);
        }
        b[QStringLiteral("store")] = bench::timeIt(
            [&] {
            countSerials(combo.choice);
            pageSerials(0, pageSize, combo.choice);
            },
            {}, baseRuns);

        pageRows += QStringLiteral("| %1 | %2 |").arg(combo.name).arg(total);
        for (const Action &a : actions) {
            const auto it = t.find(QLatin1String(a.name));
            const double limit = target(QLatin1String(a.name).startsWith(QLatin1String("sel.")) ? 500 : 200);
            if (it == t.end()) {
                pageRows += QStringLiteral(" - |");
                continue;
            }
            const double wall = it->second.wall;
            pageRows += QStringLiteral(" %1%2 |").arg(ms(wall), wall > limit ? QStringLiteral(" **over**") : QString());
            double base = 0;
            for (const QString &name : a.base)
                base += b.count(name) ? b[name].wall : 0;
            Worst &w = worst[QLatin1String(a.name)];
            if (wall > w.wall)
                w = {wall, base, it->second.load, limit, combo.name};
        }
        pageRows += QStringLiteral(" %1 |\n").arg(bench::loadAverage(), 0, 'f', 1);
        baseRows += QStringLiteral("| %1 | %2 |").arg(combo.name).arg(total);
        for (const QString &name : baselines)
            baseRows += QStringLiteral(" %1 |").arg(b.count(name) ? ms(b[name].wall) : QStringLiteral("-"));
        baseRows += QLatin1Char('\n');
        say("  %-36s %8d rows: Search %s ms (designed count + page 1: %s ms; store calls: %s ms), load %.1f\n",
            qPrintable(combo.name), total, qPrintable(ms(t[QStringLiteral("Search")].wall)),
            qPrintable(ms(b[QStringLiteral("count")].wall + b[QStringLiteral("page 1")].wall)),
            qPrintable(ms(b[QStringLiteral("store")].wall)), bench::loadAverage());
    }

    say("\n### Serial page actions, %s (ms, median)\n\n| filter (type / usage / customer) | rows |", engineName());
    QString rule = QStringLiteral("|---|---:|");
    for (const Action &a : actions) {
        say(" %s |", a.name);
        rule += QStringLiteral("---:|");
    }
    say(" load |\n%s---:|\n%s", qPrintable(rule), qPrintable(pageRows));
    say("\n### Designed statements on the same pool, %s (ms, median)\n\n| filter | rows |", engineName());
    for (const QString &name : baselines)
        say(" %s |", qPrintable(name));
    say("\n%s\n%s", qPrintable(rule.left(10 + 5 * baselines.size())), qPrintable(baseRows));
    say("\n### Slowest filter per action, %s\n\n| action | slowest | filter | designed statements, same filter | x "
        "faster | target | load |\n|---|---:|---|---:|---:|---|---:|\n",
        engineName());
    for (const Action &a : actions) {
        const Worst &w = worst[QLatin1String(a.name)];
        if (w.wall >= 0)
            say("| %s | %s ms | %s | %s ms | %.1f | < %.0f ms: %s | %.1f |\n", a.name, qPrintable(ms(w.wall)),
                qPrintable(w.combo), qPrintable(ms(w.base)), w.base / w.wall, w.limit,
                w.wall < w.limit ? "met" : "MISSED", w.load);
    }
}

// ---- the Log page --------------------------------------------------------------------

void logSection()
{
    bench::PageWindow window([](QWidget *parent) { return new Log(parent); });
    auto *log = static_cast<Log *>(window.page());
    auto *cbxPage = child<QComboBox>(log, "cbxPage");
    auto click = [log](const char *name) { return [=] { child<QPushButton>(log, name)->click(); }; };
    const int pageSize = child<QTableWidget>(log, "tableWidget")->rowCount();
    const auto refresh = [&] { log->refreshPaging(); };
    const auto fromLast = [&] {
        refresh();
        click("btnLast")();
    };
    refresh();
    const int pages = cbxPage->count();
    const qint64 total = bench::scalar(storeDatabase, QStringLiteral("SELECT COUNT(*) FROM Logs"));
    const QString pageSql = QStringLiteral(
        "SELECT LogType, LogDescribe, LogDate FROM Logs ORDER BY LogID DESC LIMIT %1, %2");
    auto designedPage = [&](qint64 index) { return timeDesigned(pageSql.arg(index * pageSize).arg(pageSize)); };
    const Timing first = designedPage(0);
    Timing countAndFirst = timeDesigned(QStringLiteral("SELECT COUNT(*) FROM Logs"));
    countAndFirst.wall += first.wall;
    const struct {
        const char *what;
        std::function<void()> act, before;
        Timing base;
    } steps[] = {
        {"refresh (the Log menu)", refresh, {}, countAndFirst},
        {"Next (page 1 -> 2)", click("btnNext"), refresh, designedPage(1)},
        {"Last (from page 1)", click("btnLast"), refresh, designedPage(pages - 1)},
        {"Prev (from the last page)", click("btnPrev"), fromLast, designedPage(pages - 2)},
        {"First (from the last page)", click("btnFirst"), fromLast, first},
        {"selector, first page (from the last)", [&] { cbxPage->setCurrentIndex(0); }, fromLast, first},
        {"selector, middle page", [&] { cbxPage->setCurrentIndex(pages / 2); }, refresh, designedPage(pages / 2)},
        {"selector, last page", [&] { cbxPage->setCurrentIndex(pages - 1); }, refresh, designedPage(pages - 1)},
    };
    say("\n## Log page, %s: %lld rows, %d per page, %d pages; medians of %d runs (designed statements: %d)\n\n"
        "| step | page (ms) | cpu (ms) | worst (ms) | designed statements (ms) | x faster | target | load |\n"
        "|---|---:|---:|---:|---:|---:|---|---:|\n",
        engineName(), total, pageSize, pages, runs, baseRuns);
    for (const auto &s : steps) {
        const Timing page = bench::timeIt(s.act, s.before, runs);
        say("| %s | %s | %s | %s | %s | %.1f | < %.0f ms: %s | %.1f |\n", s.what, qPrintable(ms(page.wall)),
            qPrintable(ms(page.cpu)), qPrintable(ms(page.worst)), qPrintable(ms(s.base.wall)), s.base.wall / page.wall,
            target(200), page.wall < target(200) ? "met" : "MISSED", page.load);
    }
}

// ---- the history of a value ---------------------------------------------------------

// serialHistory of identifiers (with and without an import batch), of devices and of a value
// nobody knows, beside the statement that finds a value in the log's texts (LIKE over every
// row), on the same pool in the same run. The events are made once per pool: one per
// identifier (its device's, when it has one) and one import batch named by every hundredth.
void historySection(qint64 rows)
{
    if (bench::scalar(storeDatabase, QStringLiteral("SELECT COUNT(*) FROM ImportBatches")) == 0) {
        say("\nfilling %lld events and an import batch ...\n", rows);
        QElapsedTimer t;
        t.start();
        // One transaction; on the server without the store's statement bound, which a fill of
        // millions of rows outlasts.
        const QStringList fill{
            QStringLiteral("BEGIN"),
            engine == Engine::PostgreSQL ? QStringLiteral("SET LOCAL statement_timeout = 0")
                                         : QStringLiteral("SELECT 1"),
            QStringLiteral(
                "INSERT INTO ImportBatches (BatchID, FileName, FileHash, CustomerID, BatchDate, BatchStation, "
                "BatchUser, Stored, Refused) VALUES (1, 'bench-batch.xlsx', '', 1, '2026-01-01 08:00:00', "
                "'bench', 'bench', %1, 0)")
                .arg(rows),
            QStringLiteral("UPDATE SerialNumbers SET BatchID = 1 WHERE SNID % 100 = 0"),
            QStringLiteral("INSERT INTO SerialEvents (SerialNumber, DeviceSerialNum, EventKind, EventDetail, "
                           "RelatedSerial, EventDate, EventStation, EventUser) SELECT SerialNumber, DeviceSerialNum, "
                           "CASE IsUse WHEN 0 THEN 12 WHEN 2 THEN 2 ELSE 5 END, '', '', '2026-01-02 09:00:00', "
                           "'bench', 'bench' FROM SerialNumbers ORDER BY SNID"),
            QStringLiteral("COMMIT")};
        bool ok = true;
        for (const QString &sql : fill)
            ok = ok && bench::exec(storeDatabase, sql);
        if (engine == Engine::PostgreSQL)
            bench::exec(storeDatabase, QStringLiteral("ANALYZE SerialEvents"));
        say("  in %.0f s%s\n", double(t.elapsed()) / 1000, ok ? "" : " (FAILED)");
        if (!ok)
            return;
    }
    const qint64 events = bench::scalar(storeDatabase, QStringLiteral("SELECT COUNT(*) FROM SerialEvents"));
    std::vector<QString> batched, plain, devices;
    for (qint64 k = 0; k < 64; ++k) {
        const qint64 i = std::max<qint64>(100, (1 + k * (rows - 1) / 63) / 100 * 100);
        batched.push_back(bench::poolSerial(i));
        plain.push_back(bench::poolSerial(i + 1));
        qint64 d = i + 1;
        while (d < rows && !bench::poolUsed(d))
            ++d;
        devices.push_back(bench::poolDevice(d));
    }
    const auto history = [](const std::vector<QString> &values) {
        return [&values](int i) {
            QList<HistoryEntry> entries;
            serialHistory(values[std::size_t(i) % values.size()], &entries);
        };
    };
    struct Call {
        const char *what;
        std::function<void(int)> call;
        QString needle; // what the log scan looks for
    };
    const Call calls[] =
        {
            {"identifier with its import batch", history(batched), batched.front()},
            {"identifier of no batch", history(plain), plain.front()},
            {"device serial number", history(devices), devices.front()},
            {"a value nobody knows",
             [](int i) {
        QList<HistoryEntry> entries;
        serialHistory(QStringLiteral("ABSENT-%1").arg(i), &entries);
             },
             QStringLiteral("ABSENT-1")},
    };
    say("\n## History of a value, %s, %lld identifiers, %lld events, %lld log rows: serialHistory, the fastest "
        "batch's mean per call; baseline: the log's texts searched with LIKE (median of %d)\n\n"
        "| value | serialHistory | its CPU | log LIKE scan | x faster | target | load |\n"
        "|---|---:|---:|---:|---:|---|---:|\n",
        engineName(), rows, events, bench::scalar(storeDatabase, QStringLiteral("SELECT COUNT(*) FROM Logs")),
        baseRuns);
    for (const Call &c : calls) {
        double cpu = 0;
        const double indexed = timeCall(c.call, &cpu);
        const Timing scan = timeDesigned(QStringLiteral("SELECT LogID, LogType, LogDescribe, LogDate, LogStation FROM "
                                                        "Logs WHERE LogDescribe LIKE '%%1%' ORDER BY LogID")
                                             .arg(c.needle));
        say("| %s | %s | %s | %s | %.0f | < %.0f ms: %s | %.1f |\n", c.what, qPrintable(fine(indexed)),
            qPrintable(fine(cpu)), qPrintable(ms(scan.wall) + QStringLiteral(" ms")), scan.wall / indexed, 200.0,
            indexed < 200 ? "met" : "MISSED", bench::loadAverage());
    }
}

// ---- stock and import batches ---------------------------------------------------------

// The Burning page's stock of a customer and the reconciliation of every import batch, from
// the counts kept per customer and per batch, beside the statements that count the pool's
// rows for the same figures, on the same pool in the same run. The pool is split into 100
// batches once per pool (the triggers count them as the rows change).
void batchSection(qint64 rows)
{
    if (bench::scalar(storeDatabase, QStringLiteral("SELECT COUNT(*) FROM ImportBatches WHERE BatchID > 1")) == 0) {
        say("\nsplitting %lld identifiers into 100 import batches ...\n", rows);
        QElapsedTimer t;
        t.start();
        QStringList fill{QStringLiteral("BEGIN"),
                         engine == Engine::PostgreSQL ? QStringLiteral("SET LOCAL statement_timeout = 0")
                                                      : QStringLiteral("SELECT 1")};
        for (int b = 2; b <= 101; ++b)
            fill << QStringLiteral("INSERT INTO ImportBatches (BatchID, FileName, FileHash, CustomerID, BatchDate, "
                                   "BatchStation, BatchUser, Stored, Refused) VALUES (%1, 'bench-%1.xlsx', 'h%1', 1, "
                                   "'2026-01-01 08:00:00', 'bench', 'bench', 0, 0)")
                        .arg(b);
        fill << QStringLiteral("UPDATE SerialNumbers SET BatchID = 2 + SNID % 100")
             << QStringLiteral("UPDATE ImportBatches SET Stored = (SELECT COUNT(*) FROM SerialNumbers s WHERE "
                               "s.BatchID = ImportBatches.BatchID)")
             << QStringLiteral("COMMIT");
        bool ok = true;
        for (const QString &sql : fill)
            ok = ok && bench::exec(storeDatabase, sql);
        say("  in %.0f s%s\n", double(t.elapsed()) / 1000, ok ? "" : " (FAILED)");
        if (!ok)
            return;
    }
    struct Call {
        const char *what;
        std::function<void(int)> call;
        QString plain; // the same figures counted from the pool's rows
    };
    const Call calls[] =
        {
            {"stock of a customer (poolStock)",
             [](int) {
        PoolStock stock;
        poolStock(1, &stock);
             },
             QStringLiteral("SELECT IsUse, COUNT(*) FROM SerialNumbers WHERE CustomerID = 1 GROUP BY IsUse")},
            {"every batch reconciled (importBatches)",
             [](int) {
        QList<BatchReport> batches;
        importBatches(&batches);
             },
             QStringLiteral("SELECT BatchID, IsUse, COUNT(*) FROM SerialNumbers GROUP BY BatchID, IsUse")},
               };
    say("\n## Stock and import batches, %s, %lld identifiers in %lld batches: the store call, the fastest batch's "
        "mean per call; baseline: the pool's rows counted (median of %d)\n\n"
        "| figure | store call | its CPU | rows counted | x faster | target | load |\n"
        "|---|---:|---:|---:|---:|---|---:|\n",
        engineName(), rows, bench::scalar(storeDatabase, QStringLiteral("SELECT COUNT(*) FROM ImportBatches")),
        baseRuns);
    for (const Call &c : calls) {
        double cpu = 0;
        const double kept = timeCall(c.call, &cpu);
        const Timing counted = timeDesigned(c.plain);
        say("| %s | %s | %s | %s | %.0f | < %.0f ms: %s | %.1f |\n", c.what, qPrintable(fine(kept)),
            qPrintable(fine(cpu)), qPrintable(ms(counted.wall) + QStringLiteral(" ms")), counted.wall / kept, 200.0,
            kept < 200 ? "met" : "MISSED", bench::loadAverage());
    }
}

// ---- the report -----------------------------------------------------------------------

// What a line's pool holds after 60 days of eight stations, three shifts each (a person per
// station and shift): `rows` events, five per device: claimed, written, confirmed, a label
// and the export for most; one device in 20 refused once and written again, one in 20 lost
// its write and was written again, one in 40 skipped first (taken). Each device's
// identifier is in the pool, used, beside a quarter as many unused. Every row goes in
// through the insert triggers, as the Burn's own events do.
QStringList reportFill(qint64 rows)
{
    const qint64 devices = std::max<qint64>(1, rows / 5);
    const qint64 span = 60LL * 86400;
    const bool pg = engine == Engine::PostgreSQL;
    // i counts from 0; d the device, k its event, s its second from the start.
    const QString series = pg ? QStringLiteral("FROM generate_series(0::bigint, %1) AS i").arg(rows - 1)
                              : QStringLiteral("FROM k");
    const QString with = pg
        ? QString()
        : QStringLiteral("WITH RECURSIVE k(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM k WHERE i < %1) ").arg(rows - 1);
    const QString d = QStringLiteral("(i / 5)");
    const QString c = QStringLiteral("((i / 5) % 20)");
    const QString k = QStringLiteral("(i % 5)");
    const QString s = QStringLiteral("((i / 5) * %1 / %2 + (i % 5) * 7)").arg(span).arg(devices);
    const QString date = pg ? QStringLiteral("to_char(timestamp '2026-10-01 00:00:00' + make_interval(secs => %1), "
                                             "'YYYY-MM-DD HH24:MI:SS')")
                                  .arg(s)
                            : QStringLiteral("datetime('2026-10-01 00:00:00', '+' || %1 || ' seconds')").arg(s);
    const QString kind = QStringLiteral(
                             "CASE WHEN %1 = 0 THEN (CASE %2 WHEN 0 THEN 2 WHEN 1 THEN 4 WHEN 2 THEN 3 WHEN 3 "
                             "THEN 5 ELSE 12 END) WHEN %1 = 1 THEN (CASE %2 WHEN 0 THEN 2 WHEN 1 THEN 3 WHEN 2 "
                             "THEN 6 WHEN 3 THEN 3 ELSE 5 END) WHEN %3 % 40 = 2 THEN (CASE %2 WHEN 0 THEN 16 "
                             "WHEN 1 THEN 2 WHEN 2 THEN 3 WHEN 3 THEN 5 ELSE 12 END) ELSE (CASE %2 WHEN 0 THEN 2 "
                             "WHEN 1 THEN 3 WHEN 2 THEN 5 WHEN 3 THEN 12 ELSE 11 END) END")
                             .arg(c, k, d);
    const QString station = QStringLiteral("'station-' || (%1 % 8)").arg(d);
    const QString person = QStringLiteral("'person-' || (%1 % 8) || '-' || ((%2 / 3600) % 24 / 8)").arg(d, s);
    return {
        QStringLiteral("BEGIN"), pg ? QStringLiteral("SET LOCAL statement_timeout = 0") : QStringLiteral("SELECT 1"),
        (pg ? QString()
            : QStringLiteral("WITH RECURSIVE k(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM k WHERE i < %1) ")
                  .arg(devices + devices / 4 - 1))
            + QStringLiteral("INSERT INTO SerialNumbers (CustomerID, SerialNumber, IsUse, DeviceType, "
                             "DeviceSerialNum, szIP) SELECT 1 + i % 2, 'RP' || i, CASE WHEN i < %1 THEN 1 ELSE 0 END, "
                             "'IPC', CASE WHEN i < %1 THEN 'RD' || i ELSE '' END, '10.0.0.1' %2")
                  .arg(QString::number(devices),
                       pg ? QStringLiteral("FROM generate_series(0, %1) AS i").arg(devices + devices / 4 - 1)
                          : QStringLiteral("FROM k")),
        with
            + QStringLiteral("INSERT INTO SerialEvents (SerialNumber, DeviceSerialNum, EventKind, EventDetail, "
                             "RelatedSerial, EventDate, EventStation, EventUser) SELECT 'RP' || %1, 'RD' || %1, %2, "
                             "CASE %2 WHEN 4 THEN '-3' WHEN 16 THEN 'taken' WHEN 12 THEN 'copy 1 on zpl' WHEN 11 THEN "
                             "'export.csv' ELSE '' END, '', %3, %4, %5 %6 ORDER BY i")
                  .arg(d, kind, date, station, person, series),
        QStringLiteral("COMMIT")};
}

// The hour rows of [from, to) counted from the events themselves: what a report would
// read without the kept counts.
QString rawHours(const QString &from, const QString &to)
{
    return QStringLiteral("SELECT substr(EventDate, 1, 13), EventStation, EventUser, EventKind, COUNT(*) FROM "
                          "SerialEvents WHERE EventDate >= '%1' AND EventDate < '%2' AND EventKind IN (3, 4, 5, 6, 13, "
                          "16, 17) GROUP BY substr(EventDate, 1, 13), EventStation, EventUser, EventKind")
        .arg(from, to);
}

void reportSection(qint64 rows)
{
    if (bench::scalar(storeDatabase, QStringLiteral("SELECT COUNT(*) FROM SerialEvents")) < rows) {
        say("\nfilling %lld events of 60 days through the triggers ...\n", rows);
        QElapsedTimer t;
        t.start();
        bool ok = true;
        for (const QString &sql : reportFill(rows))
            ok = ok && bench::exec(storeDatabase, sql);
        if (engine == Engine::PostgreSQL)
            bench::exec(storeDatabase, QStringLiteral("VACUUM ANALYZE SerialEvents, SerialNumbers"));
        say("  in %.0f s%s\n", double(t.elapsed()) / 1000, ok ? "" : " (FAILED)");
        if (!ok)
            return;
    }
    struct Range {
        const char *what;
        QString from, to; // hours
        double target;
    };
    const Range ranges[] = {
        {"one day", QStringLiteral("2026-10-31 00"), QStringLiteral("2026-11-01 00"), 500},
        {"30 days", QStringLiteral("2026-10-16 00"), QStringLiteral("2026-11-15 00"), 2000},
    };
    say("\n## Report, %s, %lld events over 60 days, 8 stations, 24 people: the report's store reads (eventHours, "
        "stockHours, customerStocks)%s, median of %d; baseline: the same hours counted from the events (GROUP BY "
        "hour, station, person, kind; median of %d)\n\n"
        "| range | hour rows | store reads | report load | events counted | x faster | target | load |\n"
        "|---|---:|---:|---:|---:|---:|---|---:|\n",
        engineName(), bench::scalar(storeDatabase, QStringLiteral("SELECT COUNT(*) FROM SerialEvents")),
        " and Report::load", runs, baseRuns);
    for (const Range &r : ranges) {
        int hourRows = 0;
        const Timing reads = bench::timeIt(
            [&] {
            QList<EventHour> hours;
            QList<StockHour> stock;
            QList<CustomerStockNow> now;
            eventHours(r.from, r.to, &hours);
            stockHours(r.from, &stock);
            customerStocks(&now);
            hourRows = hours.size();
            },
            {}, runs);
        double load = -1;
        const QDateTime from = QDateTime::fromString(r.from, QStringLiteral("yyyy-MM-dd HH"));
        const QDateTime to = QDateTime::fromString(r.to, QStringLiteral("yyyy-MM-dd HH"));
        load = bench::timeIt(
                   [&] {
            jobs::Report report;
            report.load(from, to);
                   },
                   {}, runs)
            .wall;
        const Timing raw = timeDesigned(rawHours(r.from, r.to));
        const double slowest = std::max(reads.wall, load);
        say("| %s | %d | %s ms | %s | %s ms | %.0f | < %.0f ms: %s | %.1f |\n", r.what, hourRows,
            qPrintable(ms(reads.wall)), load < 0 ? "-" : qPrintable(ms(load) + QStringLiteral(" ms")),
            qPrintable(ms(raw.wall)), raw.wall / slowest, r.target, slowest < r.target ? "met" : "MISSED",
            bench::loadAverage());
    }
}

// What the hour counts cost the writers: an import of `values` new identifiers (one batch,
// through storeNewSerials) and the store steps of a Burn of `devices` devices (claims with
// their events in one commit, then written and confirmed with theirs, 50 a commit), on a
// fresh pool file, with the triggers that keep the hour counts and with them dropped.
void triggerCost(qint64 values, int devices)
{
    struct Cost {
        double import = 0, burn = 0;
    };
    const auto measure = [&](bool counted, const QString &folder) {
        Cost c;
        QDir(folder).removeRecursively();
        QDir().mkpath(folder);
        QDir::setCurrent(folder);
        openDatabase();
        if (!counted) {
            const QString find = QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'trigger' AND (sql LIKE "
                                                "'%EventHours%' OR sql LIKE '%StockHours%')");
            QSqlQuery q(storeDatabase);
            QStringList drops;
            if (q.exec(find))
                while (q.next())
                    drops << QStringLiteral("DROP TRIGGER ") + q.value(0).toString();
            for (const QString &sql : drops)
                bench::exec(storeDatabase, sql);
            if (drops.isEmpty())
                say("  no triggers of the hour counts to drop\n");
        }
        QStringList list;
        for (qint64 i = 0; i < values; ++i)
            list << QStringLiteral("TC-%1").arg(i, 8, 10, QLatin1Char('0'));
        QElapsedTimer t;
        t.start();
        NewSerialsTally tally;
        const bool imported = beginBatch() && storeNewSerials(list, 1, &tally) && commitBatch();
        c.import = double(t.nsecsElapsed()) / 1e6;
        if (!imported || tally.stored != values)
            say("  import FAILED: %s\n", qPrintable(storeError()));
        t.restart();
        for (int first = 0; first < devices; first += 50) {
            const int last = std::min(devices, first + 50);
            const auto event = [](SerialEventKind kind, int i) {
                SerialEvent e;
                e.kind = kind;
                e.serialNumber = QStringLiteral("TC-%1").arg(i, 8, 10, QLatin1Char('0'));
                e.deviceSerialNum = QStringLiteral("TCD-%1").arg(i);
                return recordSerialEvent(e);
            };
            bool ok = beginBatch();
            for (int i = first; i < last && ok; ++i)
                ok = claimSerial(QStringLiteral("TC-%1").arg(i, 8, 10, QLatin1Char('0')), 1,
                                 QStringLiteral("TCD-%1").arg(i), QStringLiteral("IPC"), QStringLiteral("10.0.0.1"))
                        == ClaimResult::Claimed
                    && event(SerialEventKind::Claimed, i);
            ok = ok && commitBatch() && beginBatch();
            for (int i = first; i < last && ok; ++i)
                ok = event(SerialEventKind::Written, i)
                    && markSerialUsed(QStringLiteral("TC-%1").arg(i, 8, 10, QLatin1Char('0')),
                                      QStringLiteral("TCD-%1").arg(i), QStringLiteral("IPC"),
                                      QStringLiteral("10.0.0.1"))
                    && event(SerialEventKind::Confirmed, i);
            if (!(ok && commitBatch())) {
                rollbackBatch();
                say("  burn FAILED: %s\n", qPrintable(storeError()));
                break;
            }
        }
        c.burn = double(t.nsecsElapsed()) / 1e6;
        closeDatabase();
        return c;
    };
    const QString base = bench::dataFolder() + QStringLiteral("/trigger-cost");
    // Alternated, the faster of two each, so neither side gets the warmer cache alone.
    Cost off{1e300, 1e300}, on{1e300, 1e300};
    for (int round = 0; round < 2; ++round)
        for (const bool counted : {false, true}) {
            const Cost c = measure(counted, base + (counted ? QStringLiteral("/on") : QStringLiteral("/off")));
            Cost &best = counted ? on : off;
            best.import = std::min(best.import, c.import);
            best.burn = std::min(best.burn, c.burn);
        }
    QDir(base + QStringLiteral("/off")).removeRecursively();
    QDir(base + QStringLiteral("/on")).removeRecursively();
    say("\n## What the hour counts cost the writers, %s, a fresh pool (the faster of two runs each)\n\n"
        "| work | with the hour counts | triggers dropped | ratio | load |\n|---|---:|---:|---:|---:|\n"
        "| import of %lld new identifiers | %s ms | %s ms | %.2f | %.1f |\n"
        "| a Burn's store steps for %d devices (claim, written, confirmed, with events) | %s ms | %s ms | %.2f | %.1f |\n",
        engineName(), values, qPrintable(ms(on.import)), qPrintable(ms(off.import)), on.import / off.import,
        bench::loadAverage(), devices, qPrintable(ms(on.burn)), qPrintable(ms(off.burn)), on.burn / off.burn,
        bench::loadAverage());
}

// ---- child processes: the start ------------------------------------------------------

// In a child: the start as the program makes it, to the login dialog on the screen.
// "first": only openDatabase (what the first start adds); "later": the application, the
// login dialog (which opens the store) shown; "previous": the previous version's open
// statements on the same file, for the baseline.
QElapsedTimer sinceStart; // from the top of main()

int openChild(QApplication &app, const QString &mode)
{
    std::printf("rss-start-kb=%lld\n", bench::residentKb());
    if (mode == QLatin1String("first") || mode == QLatin1String("open")) {
        QElapsedTimer t;
        t.start();
        openDatabase();
        std::printf("open-ms=%.1f\nopen-ok=%d\n", double(t.nsecsElapsed()) / 1e6, storeDatabase.isOpen() ? 1 : 0);
        closeDatabase();
        return 0;
    }
    if (mode == QLatin1String("previous")) {
        // What the previous version ran at every start: the tables, the seed rows where
        // missing, the station column check and the four indexes, each where missing.
        QElapsedTimer t;
        t.start();
        QSqlDatabase db = bench::openFile(QStringLiteral("mydatabase.db"), QStringLiteral("previous"));
        const bool ok = bench::createPreviousSchema(db, Engine::SQLite)
            && bench::createPreviousIndexes(db, Engine::SQLite);
        std::printf("open-ms=%.1f\nopen-ok=%d\n", double(t.nsecsElapsed()) / 1e6, ok ? 1 : 0);
        return 0;
    }
    QElapsedTimer t;
    t.start();
    Login login;
    const double constructed = double(t.nsecsElapsed()) / 1e6;
    login.show();
    while (!login.isVisible())
        app.processEvents();
    app.processEvents();
    std::printf("login-ms=%.1f\nlogin-construct-ms=%.1f\nsince-main-ms=%.1f\nopen-ok=%d\n",
                double(t.nsecsElapsed()) / 1e6, constructed, double(sinceStart.nsecsElapsed()) / 1e6,
                storeDatabase.isOpen() ? 1 : 0);
    login.hide();
    // After the login: the main window made (the Serial page counts and loads page 1)
    // and shown, laid out and painted once.
    t.restart();
    Tarnwell window;
    window.show();
    while (!window.isVisible())
        app.processEvents();
    app.processEvents();
    std::printf("main-window-ms=%.1f\n", double(t.nsecsElapsed()) / 1e6);
    return 0;
}

// ---- the start ------------------------------------------------------------------------

struct OpenRow {
    QString what;
    double ms;
    QString baseline;
    QString target;
    double load;
};

void printOpenRows(const QList<OpenRow> &rows)
{
    say("| start | ms | baseline, same run | target | load |\n|---|---:|---|---|---:|\n");
    for (const OpenRow &r : rows)
        say("| %s | %s | %s | %s | %.1f |\n", qPrintable(r.what), qPrintable(ms(r.ms)), qPrintable(r.baseline),
            qPrintable(r.target), r.load);
}

double medianOf(const QString &folder, const QString &mode, const char *key, int times = 3)
{
    std::vector<double> values;
    for (int i = 0; i < times; ++i)
        values.push_back(runChild(folder, {QStringLiteral("--open-child"), mode}).value(key));
    return bench::median(values);
}

QString verdict(double v, double limit)
{
    return QStringLiteral("< %1 ms: %2").arg(limit).arg(v < limit ? QStringLiteral("met") : QStringLiteral("MISSED"));
}

// Later starts: openDatabase() alone, and main() to the login dialog on the screen (the
// median of three), warm and, when `file` is given, with its pages dropped from the cache.
void laterStarts(const QString &folder, const QString &file, const QString &what, double previousWarm,
                 double previousCold, QList<OpenRow> *rows)
{
    const double limit = target(1000);
    const double open = medianOf(folder, QStringLiteral("open"), "open-ms");
    rows->append({what + QStringLiteral(": openDatabase() (warm cache)"), open,
                  previousWarm >= 0 ? QStringLiteral("previous version's start statements: %1 ms").arg(ms(previousWarm))
                                    : QString(),
                  QString(), bench::loadAverage()});
    const double login = medianOf(folder, QStringLiteral("later"), "since-main-ms");
    rows->append({what + QStringLiteral(": main() to the login dialog shown (warm cache)"), login, QString(),
                  verdict(login, limit), bench::loadAverage()});
    const double mainWindow = medianOf(folder, QStringLiteral("later"), "main-window-ms");
    rows->append({what
                      + QStringLiteral(": after the login, the main window made and shown with the Serial page "
                                       "(warm cache)"),
                  mainWindow, QString(), verdict(mainWindow, target(200)), bench::loadAverage()});
    if (file.isEmpty())
        return;
    bench::dropCache(file);
    const double cold =
        runChild(folder, {QStringLiteral("--open-child"), QStringLiteral("later")}).value("since-main-ms");
    rows->append({what
                      + QStringLiteral(": main() to the login dialog shown, the pool's pages dropped from the cache "
                                       "first (as after a restart)"),
                  cold,
                  previousCold >= 0
                      ? QStringLiteral("previous version's start statements, cold: %1 ms").arg(ms(previousCold))
                      : QString(),
                  verdict(cold, limit), bench::loadAverage()});
}

} // namespace

// ---- main -----------------------------------------------------------------------------

namespace {

struct Plan {
    qint64 rows;
    bool allCombos;
    QStringList sections;
};

bool wants(const Plan &plan, const char *section)
{
    return plan.sections.contains(QLatin1String(section));
}

// The store, Serial and Log page sections on the store the working folder names; false when it
// cannot be opened.
bool pageSections(const Plan &plan)
{
    if (!wants(plan, "store") && !wants(plan, "serial") && !wants(plan, "log") && !wants(plan, "history")
        && !wants(plan, "batches"))
        return true;
    openDatabase();
    if (!storeDatabase.isOpen())
        return false;
    if (wants(plan, "store"))
        storeSection(plan.rows);
    if (wants(plan, "serial"))
        serialSection(plan.allCombos);
    if (wants(plan, "log"))
        logSection();
    if (wants(plan, "history"))
        historySection(plan.rows);
    if (wants(plan, "batches"))
        batchSection(plan.rows);
    closeDatabase();
    return true;
}

int runSqlite(const Plan &plan)
{
    engine = Engine::SQLite;
    const QString data = bench::dataFolder();
    const QString prev = data + QStringLiteral("/prev-v1-%1.db").arg(plan.rows);
    const QString current = data + QStringLiteral("/sqlite-%1").arg(plan.rows);
    say("# bench_scale, SQLite, %lld identifiers and %lld log rows (kept in %s)\n\n", plan.rows, plan.rows,
        qPrintable(data));

    if (!QFile::exists(prev)) {
        say("filling the previous version's file %s ...\n", qPrintable(prev));
        const QString part = prev + QStringLiteral(".part");
        QFile::remove(part);
        QElapsedTimer t;
        t.start();
        {
            QSqlDatabase db = bench::openFile(part, QStringLiteral("bench-fill"));
            bench::exec(db, QStringLiteral("PRAGMA journal_mode=OFF"));
            bench::exec(db, QStringLiteral("PRAGMA synchronous=OFF"));
            bench::exec(db, QStringLiteral("PRAGMA cache_size=-262144"));
            const bool ok = bench::createPreviousSchema(db, Engine::SQLite) && bench::exec(db, QStringLiteral("BEGIN"))
                && bench::fillPool(db, Engine::SQLite, plan.rows) && bench::fillLogs(db, Engine::SQLite, plan.rows)
                && bench::exec(db, QStringLiteral("COMMIT"));
            say("  rows in %.0f s\n", double(t.elapsed()) / 1000);
            // The indexes the previous version made on its first open, made after the rows.
            const bool indexed = ok && bench::createPreviousIndexes(db, Engine::SQLite);
            db.close();
            if (!indexed)
                return 1;
        }
        QSqlDatabase::removeDatabase(QStringLiteral("bench-fill"));
        QFile::rename(part, prev);
        QFile(prev).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        say("  filled in %.0f s\n", double(t.elapsed()) / 1000);
    }

    QList<OpenRow> openRows;
    if (!QFile::exists(current + QStringLiteral("/complete"))) {
        // This version's pool: the previous version's file after this version's first open.
        QDir().mkpath(current);
        bench::copyFile(prev, current + QStringLiteral("/mydatabase.db"));
        const bench::ChildResult r = runChild(current, {QStringLiteral("--open-child"), QStringLiteral("first")});
        say("this version's pool made by its first open of the previous version's file: %.0f ms\n", r.value("open-ms"));
        QFile marker(current + QStringLiteral("/complete"));
        marker.open(QIODevice::WriteOnly);
    }

    if (wants(plan, "open")) {
        const QString work = data + QStringLiteral("/open-work");
        QDir(work).removeRecursively();
        QDir().mkpath(work);
        const QString file = work + QStringLiteral("/mydatabase.db");
        say("\n## Start on a file the previous version made (%lld identifiers, %lld log rows)\n\n", plan.rows,
            plan.rows);
        // Baseline: the statements the previous version ran at every start, on its own file.
        bench::copyFile(prev, file);
        const double previousWarm = medianOf(work, QStringLiteral("previous"), "open-ms");
        bench::dropCache(file);
        const double previousCold =
            runChild(work, {QStringLiteral("--open-child"), QStringLiteral("previous")}).value("open-ms");
        const bench::ChildResult first = runChild(work, {QStringLiteral("--open-child"), QStringLiteral("first")});
        openRows.append({QStringLiteral("first start of this version on the previous version's file (old indexes): "
                                        "openDatabase() makes the count tables and counts"),
                         first.value("open-ms"), QString(), QStringLiteral("once, say how long"),
                         bench::loadAverage()});
        laterStarts(work, file, QStringLiteral("later start"), previousWarm, previousCold, &openRows);

        // An even older file: no indexes either.
        bench::copyFile(prev, file);
        {
            QSqlDatabase db = bench::openFile(file, QStringLiteral("bench-noindex"));
            for (const char *index : {"SerialNumbersBySerialNumber", "SerialNumbersByDeviceSerialNum",
                                      "SerialNumbersByCustomerUse", "SerialNumbersByCustomer"})
                bench::exec(db, QStringLiteral("DROP INDEX %1").arg(QLatin1String(index)));
            bench::exec(db, QStringLiteral("VACUUM"));
            db.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("bench-noindex"));
        bench::dropCache(file);
        const bench::ChildResult bare = runChild(work, {QStringLiteral("--open-child"), QStringLiteral("first")});
        openRows.append({QStringLiteral("first start on a file without indexes: the four indexes and the counts"),
                         bare.value("open-ms"), QString(), QStringLiteral("once, say how long"), bench::loadAverage()});
        laterStarts(work, QString(), QStringLiteral("later start after that"), -1, -1, &openRows);
        QDir(work).removeRecursively();
        printOpenRows(openRows);
    }

    QDir::setCurrent(current);
    if (!pageSections(plan))
        return 1;

    return 0;
}

// The Serial and Log pages against a pool already on a server: `folder` holds the
// program's tarnwell.ini for it (the password in TARNWELL_DB_PASSWORD). Nothing is filled
// and nothing is started; for looking into one pool without filling it again each run.
int runExistingServer(const Plan &plan, const QString &folder)
{
    engine = Engine::PostgreSQL;
    say("\n# bench_scale, PostgreSQL, the pool the settings in %s name\n\n", qPrintable(folder));
    QDir::setCurrent(folder);
    return pageSections(plan) ? 0 : 1;
}

int runServer(const Plan &plan)
{
    engine = Engine::PostgreSQL;
    say("\n# bench_scale, PostgreSQL (throwaway cluster, fsync on), %lld identifiers and %lld log rows\n\n", plan.rows,
        plan.rows);
    testsupport::PgCluster server;
    server.setServerSettings({}, true);
    if (!server.start()) {
        say("no PostgreSQL server: %s\n", qPrintable(server.errorText()));
        return 1;
    }
    QTemporaryDir folder;
    bench::pointAt(server, folder.path(), QStringLiteral("bench-station"));
    {
        QElapsedTimer t;
        t.start();
        QSqlDatabase db = server.connection(QStringLiteral("fill"));
        const bool ok = bench::createPreviousSchema(db, Engine::PostgreSQL)
            && bench::fillPool(db, Engine::PostgreSQL, plan.rows) && bench::fillLogs(db, Engine::PostgreSQL, plan.rows)
            && bench::createPreviousIndexes(db, Engine::PostgreSQL)
            && bench::exec(db, QStringLiteral("VACUUM ANALYZE SerialNumbers"))
            && bench::exec(db, QStringLiteral("VACUUM ANALYZE Logs"));
        say("filled the previous version's tables on the server in %.0f s\n", double(t.elapsed()) / 1000);
        if (!ok)
            return 1;
    }
    QList<OpenRow> openRows;
    const bench::ChildResult first = runChild(folder.path(), {QStringLiteral("--open-child"), QStringLiteral("first")});
    openRows.append({QStringLiteral("first start of this version on the previous version's tables: openDatabase() "
                                    "builds the count tables"),
                     first.value("open-ms"), QString(), QStringLiteral("once, say how long"), bench::loadAverage()});
    bench::exec(server.connection(QStringLiteral("fill")), QStringLiteral("VACUUM ANALYZE SerialCounts"));
    if (wants(plan, "open")) {
        say("\n## Start on the server pool the previous version made\n\n");
        laterStarts(folder.path(), QString(), QStringLiteral("later start"), -1, -1, &openRows);
        printOpenRows(openRows);
    } else {
        say("first open on the previous version's tables: %.0f ms\n", first.value("open-ms"));
    }

    QDir::setCurrent(folder.path());
    if (!pageSections(plan))
        return 1;
    QDir::setCurrent(QDir::tempPath());
    return 0;
}

// The report on a pool of its own (kept for SQLite in TARNWELL_BENCH_DATA/report-N, on a
// throwaway server filled in every run): its events are not the history section's.
int runReport(const Plan &plan)
{
    if (engine == Engine::SQLite) {
        const QString folder = bench::dataFolder() + QStringLiteral("/report-%1").arg(plan.rows);
        QDir().mkpath(folder);
        QDir::setCurrent(folder);
        say("\n# bench_scale --only report, SQLite (kept in %s)\n", qPrintable(folder));
        openDatabase();
        if (!storeDatabase.isOpen())
            return 1;
        reportSection(plan.rows);
        closeDatabase();
        triggerCost(std::min<qint64>(1000000, std::max<qint64>(1000, plan.rows / 10)), 1000);
        return 0;
    }
    say("\n# bench_scale --only report, PostgreSQL (throwaway cluster, fsync on)\n");
    testsupport::PgCluster server;
    server.setServerSettings({}, true);
    if (!server.start()) {
        say("no PostgreSQL server: %s\n", qPrintable(server.errorText()));
        return 1;
    }
    QTemporaryDir folder;
    bench::pointAt(server, folder.path(), QStringLiteral("bench-station"));
    QDir::setCurrent(folder.path());
    openDatabase();
    if (!storeDatabase.isOpen())
        return 1;
    reportSection(plan.rows);
    closeDatabase();
    QDir::setCurrent(QDir::tempPath());
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    sinceStart.start();
    bench::quietRuntimeDir();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    bench::quietPlatform();
    arguments = app.arguments();
    if (bench::hasFlag(arguments, QStringLiteral("--open-child")))
        return openChild(app, bench::textOption(arguments, QStringLiteral("--open-child"), nullptr, QString()));

    Plan plan;
    plan.rows = bench::sizeOption(arguments, QStringLiteral("--rows"), "TARNWELL_BENCH_ROWS", 10000000);
    plan.allCombos = bench::textOption(arguments, QStringLiteral("--filters"), "TARNWELL_BENCH_FILTERS",
                                       QStringLiteral("all"))
        == QLatin1String("all");
    plan.sections = bench::textOption(arguments, QStringLiteral("--only"), "TARNWELL_BENCH_SECTIONS",
                                      QStringLiteral("open,store,serial,log,history,batches"))
                        .split(QLatin1Char(','));
    runs = int(bench::sizeOption(arguments, QStringLiteral("--runs"), "TARNWELL_BENCH_RUNS", 3));
    baseRuns = int(bench::sizeOption(arguments, QStringLiteral("--base-runs"), "TARNWELL_BENCH_BASE_RUNS", 2));
    const QString engines = bench::textOption(arguments, QStringLiteral("--engine"), "TARNWELL_BENCH_ENGINE",
                                              QStringLiteral("both"));
    say("load average %.2f at the start; %d cores\n", bench::loadAverage(), QThread::idealThreadCount());
    int code = 0;
    // The report has a pool of its own; the other sections share the big one.
    const bool report = plan.sections.removeAll(QStringLiteral("report")) > 0;
    const bool others = !plan.sections.isEmpty();
    if (engines == QLatin1String("sqlite") || engines == QLatin1String("both")) {
        if (others)
            code |= runSqlite(plan);
        engine = Engine::SQLite;
        if (report)
            code |= runReport(plan);
    }
    const QString serverFolder = bench::textOption(arguments, QStringLiteral("--server-folder"), nullptr, QString());
    if (!serverFolder.isEmpty()) {
        code |= runExistingServer(plan, serverFolder);
    } else if (engines == QLatin1String("postgresql") || engines == QLatin1String("both")) {
        if (others)
            code |= runServer(plan);
        engine = Engine::PostgreSQL;
        if (report)
            code |= runReport(plan);
    }
    say("\nload average %.2f at the end\n", bench::loadAverage());
    return code;
}
