// Several stations on one server pool: claims per second with 8 stations at once (each
// its own process and connection, as on a line), beside one station alone in the same
// run, on a throwaway PostgreSQL cluster with fsync on.
//
//   bench_stations [--stations S] [--claims C] [--match M] [--rows N]
//   S: TARNWELL_BENCH_STATIONS (8); C: claims per station, TARNWELL_BENCH_CLAIMS (2000);
//   M: devices per Match (50); N: the pool, TARNWELL_BENCH_ROWS (1000000).
//
// Each station does what the burning page does for its devices, without the device writes:
// Match (the customer's newest unused identifiers), then per device the check that the
// identifier is still in the pool, and one transaction holding the previous device's
// "used" mark, the claim (the identifier shown, or the customer's next free one when
// another station took it) and the "Burning uuid" log row; the last device's mark at the
// end. A claim's latency is that step's store time.
#include "bench/support/benchsupport.h"
#include "store/datastore.h"
#include "store/storeconnection.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QVariant>

#include <cstdio>
#include <iostream>
#include <memory>

#include <string>
#include <unistd.h>
#include <vector>

using bench::say;

namespace {

// CPU time of a process of this machine in ms (the station's server backend is one).
double processCpuMs(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    // utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
    return double(fields.value(11).toLongLong() + fields.value(12).toLongLong()) * 1000.0
        / double(sysconf(_SC_CLK_TCK));
}

qint64 nowUs()
{
    return QDateTime::currentMSecsSinceEpoch() * 1000;
}

// ---- one station (a child process) ----------------------------------------------------

int station(const QStringList &args)
{
    const int claims = int(bench::sizeOption(args, QStringLiteral("--claims"), nullptr, 2000));
    const int match = int(bench::sizeOption(args, QStringLiteral("--match"), nullptr, 50));
    const int customer = int(bench::sizeOption(args, QStringLiteral("--customer"), nullptr, 1));
    const QString name = bench::textOption(args, QStringLiteral("--name"), nullptr, QStringLiteral("station"));
    openDatabase();
    if (!storeDatabase.isOpen() || !storeIsServer()) {
        std::printf("error=the store did not open on the server\n");
        return 1;
    }
    qint64 backend = 0;
    {
        QSqlQuery q(storeDatabase);
        if (q.exec(QStringLiteral("SELECT pg_backend_pid()")) && q.next())
            backend = q.value(0).toLongLong();
    }
    std::printf("ready\n");
    std::fflush(stdout);
    std::string go;
    std::getline(std::cin, go);
    const double ownCpu0 = processCpuMs(QCoreApplication::applicationPid());
    const double backendCpu0 = processCpuMs(backend);

    std::vector<double> latencies;
    latencies.reserve(std::size_t(claims));
    int asShown = 0, instead = 0, lost = 0, failed = 0;
    QString previous, previousDevice;
    const qint64 start = nowUs();
    int device = 0;
    while (device < claims && failed == 0) {
        const QStringList shown = unusedSerialNumbers(qMin(match, claims - device), customer);
        if (shown.isEmpty())
            break;
        for (const QString &uuid : shown) {
            const QString serial = QStringLiteral("%1-DEV%2").arg(name).arg(device++, 7, 10, QLatin1Char('0'));
            QElapsedTimer t;
            t.start();
            bool ok = serialExists(uuid) && beginBatch();
            if (ok && !previous.isEmpty())
                ok = markSerialUsed(previous, previousDevice, QStringLiteral("IPC"), QStringLiteral("10.1.1.1"));
            QString claimed = uuid;
            ClaimResult result = ok
                ? claimSerial(uuid, customer, serial, QStringLiteral("IPC"), QStringLiteral("10.1.1.1"))
                : ClaimResult::Failed;
            bool wasInstead = false;
            if (result == ClaimResult::Taken) {
                result = claimNextSerial(customer, serial, QStringLiteral("IPC"), QStringLiteral("10.1.1.1"), &claimed);
                wasInstead = result == ClaimResult::Claimed;
            }
            if (result == ClaimResult::Claimed)
                ok = addLog(makeLogRecord(QStringLiteral("Burning uuid"),
                                          QStringLiteral("Burning uuid [%1] [%2]").arg(serial, claimed)))
                    && commitBatch();
            else
                ok = result != ClaimResult::Failed && commitBatch();
            latencies.push_back(double(t.nsecsElapsed()) / 1e3);
            if (!ok) {
                rollbackBatch();
                std::fprintf(stderr, "%s: claim failed: %s\n", qPrintable(name), qPrintable(storeError()));
                ++failed;
                break;
            }
            if (result == ClaimResult::Claimed) {
                previous = claimed;
                previousDevice = serial;
                (wasInstead ? instead : asShown)++;
            } else {
                ++lost;
            }
        }
    }
    if (!previous.isEmpty() && failed == 0) {
        if (!(beginBatch()
              && markSerialUsed(previous, previousDevice, QStringLiteral("IPC"), QStringLiteral("10.1.1.1"))
              && commitBatch())) {
            rollbackBatch();
            ++failed;
        }
    }
    const qint64 end = nowUs();
    std::printf("station-cpu-ms=%.0f\nbackend-cpu-ms=%.0f\n",
                processCpuMs(QCoreApplication::applicationPid()) - ownCpu0, processCpuMs(backend) - backendCpu0);
    std::printf("start-us=%lld\nend-us=%lld\nclaimed-as-shown=%d\nclaimed-instead=%d\nnot-claimed=%d\nfailed=%d\n",
                start, end, asShown, instead, lost, failed);
    std::printf("latencies-us=");
    for (std::size_t i = 0; i < latencies.size(); ++i)
        std::printf(i ? ",%.0f" : "%.0f", latencies[i]);
    std::printf("\n");
    closeDatabase();
    return failed == 0 ? 0 : 1;
}

// ---- the line: S stations at once -----------------------------------------------------

struct LineResult {
    int stations = 0;
    qint64 claimed = 0;
    qint64 instead = 0;
    qint64 notClaimed = 0;
    qint64 failed = 0;
    double seconds = 0;
    std::vector<double> latencies;
    double load = 0;
    double stationCpuMs = 0;
    double backendCpuMs = 0;
};

LineResult runLine(const testsupport::PgCluster &server, int stations, int claims, int match)
{
    LineResult line;
    line.stations = stations;
    std::vector<std::unique_ptr<QProcess>> processes;
    std::vector<std::unique_ptr<QTemporaryDir>> folders;
    for (int i = 0; i < stations; ++i) {
        folders.push_back(std::make_unique<QTemporaryDir>());
        const QString name = QStringLiteral("s%1x%2").arg(stations).arg(i + 1);
        bench::pointAt(server, folders.back()->path(), name);
        auto p = std::make_unique<QProcess>();
        p->setWorkingDirectory(folders.back()->path());
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // Customers alternate as on a line that burns for both.
        p->start(QCoreApplication::applicationFilePath(),
                 {QStringLiteral("--station"), QStringLiteral("--claims"), QString::number(claims),
                  QStringLiteral("--match"), QString::number(match), QStringLiteral("--customer"),
                  QString::number(1 + i % 2), QStringLiteral("--name"), name});
        processes.push_back(std::move(p));
    }
    for (auto &p : processes)
        while (!p->canReadLine() && p->state() == QProcess::Running)
            p->waitForReadyRead(1000);
    // All at once: QProcess writes only when asked to wait for it.
    for (auto &p : processes) {
        p->readLine();
        p->write("go\n");
    }
    for (auto &p : processes) {
        p->waitForBytesWritten(10000);
        p->closeWriteChannel();
    }
    qint64 first = 0, last = 0;
    for (auto &p : processes) {
        p->waitForFinished(3600 * 1000);
        const bench::ChildResult r = bench::readChild(*p);
        const auto number = [&](const char *key) { return qint64(std::max(0.0, r.value(key))); };
        first = first == 0 ? number("start-us") : qMin(first, number("start-us"));
        last = qMax(last, number("end-us"));
        line.claimed += number("claimed-as-shown") + number("claimed-instead");
        line.instead += number("claimed-instead");
        line.notClaimed += number("not-claimed");
        line.failed += number("failed") + (r.ok ? 0 : 1);
        line.stationCpuMs += r.value("station-cpu-ms");
        line.backendCpuMs += r.value("backend-cpu-ms");
        for (const QString &x :
             r.values.value(QStringLiteral("latencies-us")).split(QLatin1Char(','), Qt::SkipEmptyParts))
            line.latencies.push_back(x.toDouble() / 1000);
        if (r.values.contains(QStringLiteral("error")))
            std::fprintf(stderr, "station: %s\n", qPrintable(r.values.value(QStringLiteral("error"))));
    }
    line.seconds = double(last - first) / 1e6;
    line.load = bench::loadAverage();
    return line;
}

// Every identifier in at most one device, every claimed device holding exactly one.
QString checkPool(testsupport::PgCluster &server)
{
    QSqlDatabase db = server.connection(QStringLiteral("check"));
    const qint64 twice = bench::scalar(db,
                                       QStringLiteral("SELECT COUNT(*) FROM (SELECT SerialNumber FROM SerialNumbers "
                                                      "WHERE IsUse<>0 GROUP BY SerialNumber HAVING COUNT(*) > 1) d"));
    const qint64 devicesTwice = bench::scalar(db,
                                              QStringLiteral("SELECT COUNT(*) FROM (SELECT DeviceSerialNum FROM "
                                                             "SerialNumbers WHERE IsUse<>0 AND DeviceSerialNum LIKE "
                                                             "'s%' GROUP BY DeviceSerialNum HAVING COUNT(*) > 1) d"));
    const qint64 pending = bench::scalar(db,
                                         QStringLiteral("SELECT COUNT(*) FROM SerialNumbers WHERE IsUse=2 AND "
                                                        "DeviceSerialNum LIKE 's%'"));
    const qint64 counted = bench::scalar(db, QStringLiteral("SELECT SUM(Total) FROM SerialCounts"));
    const qint64 rows = bench::scalar(db, QStringLiteral("SELECT COUNT(*) FROM SerialNumbers"));
    return QStringLiteral("identifiers in two devices: %1; devices with two identifiers: %2; left pending: %3; "
                          "count table %4 = rows %5")
        .arg(twice)
        .arg(devicesTwice)
        .arg(pending)
        .arg(counted)
        .arg(rows);
}

void report(const LineResult &line, const LineResult *alone)
{
    const double rate = line.seconds > 0 ? double(line.claimed) / line.seconds : 0;
    const double aloneRate = alone && alone->seconds > 0 ? double(alone->claimed) / alone->seconds : 0;
    const double perClaim = line.claimed > 0 ? 1.0 / double(line.claimed) : 0;
    say("| %d | %lld | %lld | %lld | %.2f | %.0f | %s | %.2f | %.2f | %.2f | %.2f + %.2f | %lld | %s | %.1f |\n",
        line.stations, line.claimed, line.instead, line.notClaimed, line.seconds, rate,
        aloneRate > 0 ? qPrintable(QString::number(rate / aloneRate, 'f', 2)) : "1.00", bench::median(line.latencies),
        bench::percentile(line.latencies, 0.99),
        line.latencies.empty() ? 0.0 : *std::max_element(line.latencies.begin(), line.latencies.end()),
        line.stationCpuMs * perClaim, line.backendCpuMs * perClaim, line.failed,
        line.stations > 1 ? (rate >= 1000 ? "met" : "MISSED") : "", line.load);
}

} // namespace

int main(int argc, char *argv[])
{
    bench::quietRuntimeDir();
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (bench::hasFlag(args, QStringLiteral("--station")))
        return station(args);

    const int stations = int(bench::sizeOption(args, QStringLiteral("--stations"), "TARNWELL_BENCH_STATIONS", 8));
    const int claims = int(bench::sizeOption(args, QStringLiteral("--claims"), "TARNWELL_BENCH_CLAIMS", 2000));
    const int match = int(bench::sizeOption(args, QStringLiteral("--match"), nullptr, 50));
    const qint64 pool = bench::sizeOption(args, QStringLiteral("--rows"), "TARNWELL_BENCH_ROWS", 1000000);
    say("load average %.2f at the start; %d cores\n", bench::loadAverage(), QThread::idealThreadCount());

    {
        testsupport::PgCluster server;
        server.setServerSettings({}, true);
        if (!server.start()) {
            say("no PostgreSQL server: %s\n", qPrintable(server.errorText()));
            return 1;
        }
        QTemporaryDir folder;
        bench::pointAt(server, folder.path(), QStringLiteral("bench"));
        QDir::setCurrent(folder.path());
        openDatabase(); // this version's tables, counts and triggers
        closeDatabase();
        {
            QElapsedTimer t;
            t.start();
            QSqlDatabase db = server.connection(QStringLiteral("fill"));
            bench::exec(db, QStringLiteral("SET maintenance_work_mem = '256MB'"));
            if (!bench::fillPool(db, bench::Engine::PostgreSQL, pool)
                || !bench::exec(db, QStringLiteral("VACUUM ANALYZE SerialNumbers")))
                return 1;
            say("server pool of %lld identifiers filled in %.1f s\n", pool, double(t.elapsed()) / 1000);
        }

        say("\n## Claims on one server pool (%lld identifiers, fsync on): %d claims per station, Match of %d\n\n", pool,
            claims, match);
        say("| stations | claimed | of which the next free one | not claimed | seconds | claims/s | x one station | "
            "median ms | p99 ms | max ms | CPU ms per claim: station + server | failures | target 1,000/s | load |\n"
            "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---:|\n");
        const LineResult alone = runLine(server, 1, claims, match);
        report(alone, nullptr);
        const LineResult line = runLine(server, stations, claims, match);
        report(line, &alone);
        say("\nAfter both: %s\n", qPrintable(checkPool(server)));
        QDir::setCurrent(QDir::tempPath());
    }

    return 0;
}
