// Stations as real processes on one pool: two stations burning their own lines at the same
// moment, and a station killed (SIGKILL) at random moments during its Burn passes and
// started again until its line is burnt. Afterwards the line and the pool must agree: no
// identifier in two devices, no device written twice, every device's identifier used for
// exactly that device, and nothing pending or used that no device holds.
//   TARNWELL_CRASH_DEVICES / TARNWELL_CRASH_KILLS size the crash case (CI: 30 / 6;
//   scripts/crash-harness.sh runs 200 / 50).
#include "tests/support/linecheck.h"
#include "tests/support/testsupport.h"

#include "platform/devicesim/simprocess.h"

#include <QDir>
#include <QJsonArray>
#include <QProcess>
#include <QRandomGenerator>
#include <QThread>

#include <memory>

namespace {

using devicesim::SimProcess;
using testsupport::disagreements;

int envInt(const char *name, int fallback)
{
    bool ok = false;
    const int v = qEnvironmentVariableIntValue(name, &ok);
    return ok && v > 0 ? v : fallback;
}

// A burnstation process on one simulated line. On the file it works in the test's folder
// (the pool); on a server each station has a folder of its own with its settings.
std::unique_ptr<QProcess> station(const SimProcess &line, int devices, const QString &name = QString(),
                                  const QStringList &more = {})
{
    auto p = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("Z7_NETSDK_TARGETS"), line.target());
    if (testsupport::onServer()) {
        const QString folder =
            QDir(testsupport::workingDirectory()).absoluteFilePath(name.isEmpty() ? QStringLiteral("station") : name);
        QDir().mkpath(folder);
        const QString here = QDir::currentPath();
        QDir::setCurrent(folder);
        testsupport::pointAtServer(*testsupport::serverCluster(), name.isEmpty() ? QStringLiteral("station") : name);
        QDir::setCurrent(here);
        p->setWorkingDirectory(folder);
    }
    p->setProcessEnvironment(env);
    p->setProcessChannelMode(QProcess::SeparateChannels);
    p->start(QStringLiteral(TARNWELL_BURNSTATION),
             QStringList{QStringLiteral("--devices"), QString::number(devices)} + more);
    return p;
}

// Reads the station's output until a line starting with `prefix` arrives, or it ends.
bool waitForLine(QProcess &p, const QString &prefix, int timeoutMs, QString *log)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        while (p.canReadLine()) {
            const QString line = QString::fromUtf8(p.readLine()).trimmed();
            *log += line + QLatin1Char('\n');
            if (line.startsWith(prefix))
                return true;
        }
        if (p.state() == QProcess::NotRunning)
            return false;
        p.waitForReadyRead(100);
    }
    return false;
}

// tarnwell-admin verify-log on the pool the test shares with the stations: what it printed,
// or why it failed.
QString logChainsCheck(bool *clean)
{
    QProcess p;
    p.start(QStringLiteral(TARNWELL_ADMIN), {QStringLiteral("verify-log")});
    const bool ended = p.waitForFinished(300000) && p.exitStatus() == QProcess::NormalExit;
    *clean = ended && p.exitCode() == 0;
    return QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
}

} // namespace

class TestStations : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        testsupport::freshDatabase();
        QVERIFY(testsupport::fillPool(QStringLiteral("ID-"), 300, 1));
    }

    void eightStationsOnOneServerPool()
    {
        if (!testsupport::onServer())
            QSKIP("stations share a pool on a server");
        // A factory-sized pool, eight stations with a line of 250 devices each, all at once.
        QVERIFY(testsupport::fillPool(QStringLiteral("BIG-"), envInt("TARNWELL_STATIONS_POOL", 1000000), 1));
        const int perLine = envInt("TARNWELL_STATIONS_DEVICES", 250);
        std::vector<std::unique_ptr<SimProcess>> lines;
        QList<const SimProcess *> all;
        for (int i = 0; i < 8; ++i) {
            lines.push_back(std::make_unique<SimProcess>());
            QVERIFY2(lines.back()->start({QStringLiteral("--devices"), QString::number(perLine),
                                          QStringLiteral("--seed"), QString::number(100 + i)}),
                     qPrintable(lines.back()->errorText()));
            all << lines.back().get();
        }
        std::vector<std::unique_ptr<QProcess>> stations;
        for (int i = 0; i < 8; ++i)
            stations.push_back(station(*lines.at(i), perLine, QStringLiteral("station-%1").arg(i + 1)));
        for (auto &p : stations) {
            QVERIFY(p->waitForFinished(600000));
            QVERIFY2(p->exitCode() == 0, qPrintable(QString::fromUtf8(p->readAllStandardOutput()).right(300)));
        }
        const QStringList wrong = disagreements(all, true);
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.mid(0, 20).join(QLatin1Char('\n'))));
        QCOMPARE(testsupport::count(QStringLiteral("SerialNumbers WHERE IsUse=1")), 8 * perLine);
        // Every log row says which station wrote it.
        QCOMPARE(testsupport::count(QStringLiteral("Logs WHERE LogStation IS NULL OR LogStation=''")), 0);
        QCOMPARE(testsupport::value(QStringLiteral("SELECT COUNT(DISTINCT LogStation) FROM Logs")).toInt(), 8);
        QCOMPARE(testsupport::count(QStringLiteral("Logs WHERE LogUser <> 'operator at ' || LogStation")), 0);
        // Eight chains written at once, none forked, none waiting on another.
        bool clean = false;
        const QString checked = logChainsCheck(&clean);
        QVERIFY2(clean && checked.count(QStringLiteral("Chain of station \"station-")) == 8
                     && checked.contains(QStringLiteral(", 0 unchained")),
                 qPrintable(checked));
    }

    // Eight stations burn for one work order of 100 with 200 devices on their lines: the
    // order's quantity is claimed in the claims' own transactions, so exactly 100 devices get
    // an identifier of the order, none over, and nothing else is burnt.
    void eightStationsRaceOnAnOrder()
    {
        if (!testsupport::onServer())
            QSKIP("stations share a pool on a server");
        testsupport::signInAs(Role::Administrator);
        const qint64 order = createWorkOrder(1, QString(), 100, QStringLiteral("race"));
        QVERIFY2(order > 0, qPrintable(storeError()));
        std::vector<std::unique_ptr<SimProcess>> lines;
        std::vector<std::unique_ptr<QProcess>> stations;
        for (int i = 0; i < 8; ++i) {
            lines.push_back(std::make_unique<SimProcess>());
            QVERIFY2(lines.back()->start({QStringLiteral("--devices"), QStringLiteral("25"), QStringLiteral("--seed"),
                                          QString::number(200 + i)}),
                     qPrintable(lines.back()->errorText()));
        }
        for (int i = 0; i < 8; ++i)
            stations.push_back(station(*lines.at(i), 25, QStringLiteral("order-%1").arg(i + 1),
                                       {QStringLiteral("--order"), QString::number(order)}));
        for (auto &p : stations) {
            QVERIFY(p->waitForFinished(600000));
            QVERIFY2(p->exitCode() == 0, qPrintable(QString::fromUtf8(p->readAllStandardOutput()).right(300)));
        }
        QCOMPARE(testsupport::count(QStringLiteral("SerialNumbers WHERE OrderID=%1 AND IsUse=1").arg(order)), 100);
        QCOMPARE(testsupport::count(QStringLiteral("SerialNumbers WHERE IsUse<>0")), 100);
        QList<WorkOrder> orders;
        QVERIFY(workOrders(&orders));
        QCOMPARE((QList<qint64>{orders.first().used, orders.first().pending}), (QList<qint64>{100, 0}));
    }

    void twoStationsBurnFromOnePool()
    {
        SimProcess lineA, lineB;
        QVERIFY2(lineA.start({QStringLiteral("--devices"), QStringLiteral("30"), QStringLiteral("--seed"),
                              QStringLiteral("1")}),
                 qPrintable(lineA.errorText()));
        QVERIFY2(lineB.start({QStringLiteral("--devices"), QStringLiteral("30"), QStringLiteral("--seed"),
                              QStringLiteral("2")}),
                 qPrintable(lineB.errorText()));
        // Both start at once and Match the same newest identifiers; the claims decide.
        auto a = station(lineA, 30);
        auto b = station(lineB, 30);
        QVERIFY(a->waitForFinished(180000));
        QVERIFY(b->waitForFinished(180000));
        const QString out = QString::fromUtf8(a->readAllStandardOutput() + b->readAllStandardOutput());
        QVERIFY2(a->exitCode() == 0 && b->exitCode() == 0, qPrintable(out));
        const QStringList wrong = disagreements({&lineA, &lineB}, true);
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(QLatin1Char('\n'))));
        QCOMPARE(testsupport::count(QStringLiteral("SerialNumbers WHERE IsUse=1")), 60);
        QCOMPARE(testsupport::count(QStringLiteral("SerialNumbers WHERE IsUse=2")), 0);
        // On the file both are one station by mistake (one name): still one chain.
        bool clean = false;
        const QString checked = logChainsCheck(&clean);
        QVERIFY2(clean, qPrintable(checked));
    }

    void stationKilledDuringPasses()
    {
        const int devices = envInt("TARNWELL_CRASH_DEVICES", 30);
        const int kills = envInt("TARNWELL_CRASH_KILLS", 6);
        SimProcess line;
        // Slow answers and lost datagrams both ways: writes take retries, so kills land
        // between claim, write, read-back and record. Devices also lose or change some writes
        // they acknowledge, which only the read-back catches.
        QVERIFY2(line.start({QStringLiteral("--devices"), QString::number(devices), QStringLiteral("--loss"),
                             QStringLiteral("0.2"), QStringLiteral("--delay"), QStringLiteral("15"),
                             QStringLiteral("--forget"), QStringLiteral("20"), QStringLiteral("--corrupt"),
                             QStringLiteral("10"), QStringLiteral("--seed"), QStringLiteral("3")}),
                 qPrintable(line.errorText()));
        QVERIFY(testsupport::fillPool(QStringLiteral("MORE-"), devices * 2, 1));
        // The pool as one import batch: whatever the kills leave must still add up to what it stored.
        QVERIFY(testsupport::exec(QStringLiteral(
            "INSERT INTO ImportBatches (FileName, FileHash, CustomerID, BatchDate, Stored) VALUES ('pool.xml', 'h', 1, "
            "'2026-12-08 00:00:00', (SELECT COUNT(*) FROM SerialNumbers))")));
        QVERIFY(testsupport::exec(
            QStringLiteral("UPDATE SerialNumbers SET BatchID = (SELECT MAX(BatchID) FROM ImportBatches)")));

        QString log;
        int killed = 0;
        for (int round = 0; round < kills * 4 && killed < kills; ++round) {
            auto p = station(line, devices);
            if (!waitForLine(*p, QStringLiteral("burning"), 60000, &log)) {
                p->waitForFinished(60000);
                if (p->exitCode() == 0)
                    break; // the whole line is burnt already
                continue;
            }
            // Somewhere inside the pass: each device costs a claim, a write with retries and a
            // mark. Spread so that the kills asked for all land before the line is done.
            QThread::msleep(QRandomGenerator::global()->bounded(20, 60 + 2 * devices * 20 / qMax(1, kills)));
            p->kill();
            p->waitForFinished(10000);
            ++killed;
            const QStringList midway = disagreements({&line}, false);
            QVERIFY2(midway.isEmpty(), qPrintable(midway.join(QLatin1Char('\n')) + QLatin1Char('\n') + log));
        }
        // Then it runs undisturbed until every device holds its identifier.
        auto last = station(line, devices);
        QVERIFY(last->waitForFinished(300000));
        log += QString::fromUtf8(last->readAllStandardOutput());
        QVERIFY2(last->exitCode() == 0, qPrintable(log));
        const QStringList wrong = disagreements({&line}, true);
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(QLatin1Char('\n'))));
        // A station killed inside a transaction leaves no half of a chained row.
        bool clean = false;
        const QString checked = logChainsCheck(&clean);
        QVERIFY2(clean, qPrintable(checked));
        QList<BatchReport> batches;
        QVERIFY(importBatches(&batches));
        QCOMPARE(batches.size(), 1);
        QVERIFY2(batches.first().reconciles(), qPrintable(QString::number(batches.first().accounted())));
        QCOMPARE(batches.first().used, qint64(devices));
        int faults = 0;
        for (const QJsonValue &v : line.devices())
            faults += v.toObject().value(QStringLiteral("forgotten")).toInt()
                + v.toObject().value(QStringLiteral("corrupted")).toInt();
        QVERIFY(faults > 0);
        qInfo("crash harness: %d kills, %d devices, %d lost or changed writes, 0 identifiers in two devices, 0 lost, "
              "%d pending left",
              killed, devices, faults, testsupport::count(QStringLiteral("SerialNumbers WHERE IsUse=2")));
    }
};

TARNWELL_TEST_MAIN(TestStations)
#include "tst_stations.moc"
