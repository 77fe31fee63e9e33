// bench_device: the burning page against a factory-sized pool and line.
//
// A pool (1,000,000 identifiers), a simulated line (1,000 devices) on loopback. The
// program searches, checks 100 devices, matches and burns them through the page's own
// buttons, and prints:
//   - the UI thread's time spent handling the 1,000 discovery reports (filter, store
//     lookup, row), against the bare store lookups for the same devices;
//   - the wall time of the Burn pass over 100 devices (claims, writes, read-backs, records),
//     against bare SDK writes and read-backs of 100 other devices of the same line;
//   - the commits alone of the earlier shape (one claim commit per device) against the
//     pass's one claim commit, on the same pool;
//   - labels on a ZPL printer on loopback (a listener on a thread of its own): the time from
//     a device's confirmation (its commit, as the pass reports it recorded) to its label
//     arriving, median and max over 50 one-device passes, and a Burn pass of 100 devices
//     with labels off and on (each on devices of its own), with the time until its last
//     label arrived.
//
//   bench_device [--rows N] [--devices D] [--burn B]
#include "bench/support/benchsupport.h"
#include "device/devicemng.h"
#include "jobs/burnjob.h"
#include "jobs/labelqueue.h"
#include "platform/devicesim/simprocess.h"
#include "platform/netsdk/z7netsdk.h"
#include "store/datastore.h"
#include "store/fixedfield.h"
#include "store/storeconnection.h"
#include "tests/support/testsupport.h"
#include "tests/support/zplsink.h"
#include "widgets/messagebox.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QPushButton>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <atomic>

#include <cstdio>

namespace {

qint64 poolRows = 1000000;
int lineDevices = 1000;
int burnDevices = 100;
const int kBurntBefore = 50; // devices of the line the pool already records as burnt

QTextStream out(stdout);

// Times every queued call delivered to one object: the page's discovery reports.
class TimingApp : public QApplication
{
public:
    using QApplication::QApplication;
    QObject *watched = nullptr;
    qint64 nsecs = 0;
    int calls = 0;

    bool notify(QObject *receiver, QEvent *event) override
    {
        if (receiver != watched || event->type() != QEvent::MetaCall)
            return QApplication::notify(receiver, event);
        QElapsedTimer timer;
        timer.start();
        const bool result = QApplication::notify(receiver, event);
        nsecs += timer.nsecsElapsed();
        ++calls;
        return result;
    }
};

[[noreturn]] void fail(const QString &message)
{
    out << "bench_device: " << message << Qt::endl;
    std::exit(1);
}

void fillPool(const QJsonArray &line)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench-fill"));
    db.setDatabaseName(QDir::current().absoluteFilePath(QStringLiteral("mydatabase.db")));
    if (!db.open())
        fail(db.lastError().text());
    {
        QSqlQuery q(db);
        // Three of four identifiers belong to customer 1, the rest to customer 2.
        const bool ok = q.exec(
            QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %1) "
                           "INSERT INTO SerialNumbers(CustomerID, SerialNumber, IsUse) "
                           "SELECT CASE WHEN i % 4 = 0 THEN 2 ELSE 1 END, printf('TW%08d', i), 0 FROM n")
                .arg(poolRows));
        if (!ok)
            fail(q.lastError().text());
        db.transaction();
        q.prepare(QStringLiteral("UPDATE SerialNumbers SET IsUse=1, DeviceSerialNum=?, DeviceType=? WHERE SNID=?"));
        for (int i = 0; i < kBurntBefore; ++i) {
            const QJsonObject d = line.at(i * (lineDevices / kBurntBefore)).toObject();
            q.addBindValue(d.value(QStringLiteral("serial")).toString());
            q.addBindValue(d.value(QStringLiteral("type")).toString());
            q.addBindValue(i + 1);
            q.exec();
        }
        db.commit();
    }
    db.close();
}

// The one place the benchmark starts a Burn pass: Match for the first customer, then the
// Burning button; returns when the pass is over (the page burns before the click returns).
qint64 burnThroughPage(QWidget *page)
{
    bench::child<QComboBox>(page, "cbxCustomer")->setCurrentIndex(0);
    bench::child<QPushButton>(page, "btnMatch")->click();
    QElapsedTimer timer;
    timer.start();
    bench::child<QPushButton>(page, "btnBurn")->click();
    return timer.nsecsElapsed();
}

bool hasBox(QTableWidget *t, int row)
{
    return t->item(row, 0)->data(Qt::CheckStateRole).isValid();
}

double ms(qint64 nsecs)
{
    return double(nsecs) / 1e6;
}

// Stamps each device's confirmation: recorded() comes right after the commit that made it used.
class Confirmations : public jobs::BurnListener
{
public:
    QHash<QString, qint64> at;
    void recorded(const jobs::BurnRow &r) override { at.insert(r.uuid, testsupport::steadyNsecs()); }
};

// The ZPL printer on a thread of its own, so its work is not counted in the pass.
class SinkThread
{
public:
    SinkThread()
    {
        thread.start();
        home.moveToThread(&thread);
        QMetaObject::invokeMethod(
            &home,
            [this] {
            sink = new testsupport::ZplSink;
            sink->open();
            sink->arrived = [this](const testsupport::ZplSink::Job &) { ++arrived; };
            },
            Qt::BlockingQueuedConnection);
    }
    ~SinkThread()
    {
        QMetaObject::invokeMethod(
            &home, [this] { delete sink; }, Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
    }
    QList<testsupport::ZplSink::Job> jobs()
    {
        QList<testsupport::ZplSink::Job> copy;
        QMetaObject::invokeMethod(
            &home, [this, &copy] { copy = sink->jobs; }, Qt::BlockingQueuedConnection);
        return copy;
    }
    // Until `n` labels arrived; fails after 30 s with why the queue says they wait.
    void waitFor(int n, const jobs::LabelQueue &queue)
    {
        QElapsedTimer t;
        t.start();
        while (arrived < n) {
            if (t.elapsed() > 30000)
                fail(QStringLiteral("labels did not arrive: ") + queue.lastError());
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
    }
    testsupport::ZplSink *sink = nullptr;
    std::atomic<int> arrived{0};

private:
    QThread thread;
    QObject home;
};

// Rows for the Burn job: devices of the line that hold nothing, each with an unused identifier.
QList<jobs::BurnRow> freshRows(const devicesim::SimProcess &sim, int n, QSet<QString> *taken)
{
    QList<jobs::BurnRow> rows;
    const QStringList uuids = unusedSerialNumbers(n, 1);
    for (const QJsonValue &v : sim.devices()) {
        const QJsonObject d = v.toObject();
        const QString serial = d.value(QStringLiteral("serial")).toString();
        if (rows.size() == uuids.size() || d.contains(QStringLiteral("uuid")) || taken->contains(serial)
            || !serialOfDevice(serial).isEmpty())
            continue;
        jobs::BurnRow r;
        r.key = rows.size();
        r.serial = serial;
        r.type = d.value(QStringLiteral("type")).toString();
        r.ip = d.value(QStringLiteral("ip")).toString();
        r.user = d.value(QStringLiteral("user")).toString();
        r.password = d.value(QStringLiteral("password")).toString();
        r.uuid = uuids.at(rows.size());
        r.customerId = 1;
        taken->insert(serial);
        rows.append(r);
    }
    return rows;
}

void benchLabels(const devicesim::SimProcess &sim)
{
    QSet<QString> taken;
    // Labels off: tarnwell.ini has no [labels].
    qint64 offNs = 0;
    int offBurnt = 0;
    {
        jobs::BurnJob job;
        const QList<jobs::BurnRow> rows = freshRows(sim, burnDevices, &taken);
        QElapsedTimer t;
        t.start();
        offBurnt = job.run(rows, {}, nullptr).burnt;
        offNs = t.nsecsElapsed();
    }

    SinkThread printer;
    QFile ini(QStringLiteral("tarnwell.ini"));
    if (!ini.open(QIODevice::WriteOnly | QIODevice::Truncate))
        fail(ini.errorString());
    ini.write(QStringLiteral("[labels]\nprinter=zpl://127.0.0.1:%1\ntemplate=%2\n")
                  .arg(printer.sink->port())
                  .arg(QStringLiteral(TARNWELL_RUN_DIR "/Resources/label-template.txt"))
                  .toUtf8());
    ini.close();
    closeDatabase();
    openDatabase();
    if (!labelsEnabled())
        fail(QStringLiteral("labels are not on"));
    jobs::LabelQueue queue;
    queue.start();

    // One device a pass: the time a label takes to reach the printer, no backlog.
    Confirmations single;
    {
        jobs::BurnJob job;
        for (int i = 0; i < 50; ++i) {
            job.run(freshRows(sim, 1, &taken), {}, &single);
            printer.waitFor(single.at.size(), queue);
        }
    }
    QList<qint64> latencies;
    for (const testsupport::ZplSink::Job &j : printer.jobs())
        if (single.at.contains(j.qr))
            latencies << j.arrivedNs - single.at.value(j.qr);
    std::sort(latencies.begin(), latencies.end());
    if (latencies.isEmpty())
        fail(QStringLiteral("no label arrived"));
    out << "labels: confirmation to ZPL job arriving over " << latencies.size() << " one-device passes: median "
        << ms(latencies.at(latencies.size() / 2)) << " ms, max " << ms(latencies.last()) << " ms" << Qt::endl;

    // A pass of 100 with labels on: the pass itself, and the last label's arrival.
    const int before = printer.arrived;
    Confirmations many;
    jobs::BurnJob job;
    const QList<jobs::BurnRow> rows = freshRows(sim, burnDevices, &taken);
    QElapsedTimer t;
    t.start();
    const int onBurnt = job.run(rows, {}, &many).burnt;
    const qint64 onNs = t.nsecsElapsed();
    printer.waitFor(before + onBurnt, queue);
    const qint64 allLabelsNs = t.nsecsElapsed();
    out << "labels: Burn pass of " << burnDevices << " devices, labels off " << ms(offNs) << " ms (" << offBurnt
        << " burnt), on " << ms(onNs) << " ms (" << onBurnt << " burnt); ratio on/off "
        << double(onNs) / double(qMax<qint64>(1, offNs)) << "; last of its " << printer.arrived - before
        << " labels arrived after " << ms(allLabelsNs) << " ms" << Qt::endl;
}

} // namespace

int main(int argc, char *argv[])
{
    bench::quietRuntimeDir();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    TimingApp app(argc, argv);
    bench::quietPlatform();
    const QStringList args = app.arguments();
    poolRows = bench::sizeOption(args, QStringLiteral("--rows"), "TARNWELL_BENCH_ROWS", poolRows);
    lineDevices = int(bench::sizeOption(args, QStringLiteral("--devices"), nullptr, lineDevices));
    burnDevices = int(bench::sizeOption(args, QStringLiteral("--burn"), nullptr, burnDevices));
    MessageBox::setScripted(true); // each pass ends with its summary box; nobody is there to close it
    QTemporaryDir work(QDir::tempPath() + QStringLiteral("/bench-device-XXXXXX"));
    QDir::setCurrent(work.path());

    devicesim::SimProcess sim;
    if (!sim.start({QStringLiteral("--devices"), QString::number(lineDevices)}))
        fail(sim.errorText());
    sim.exportTarget();
    const QJsonArray line = sim.devices();

    openDatabase();
    QElapsedTimer timer;
    timer.start();
    fillPool(line);
    out << "pool: " << poolRows << " identifiers, " << kBurntBefore << " of them burnt into devices of the line"
        << " (filled in " << timer.elapsed() << " ms)" << Qt::endl;

    Z7_NET_DVR_Init();
    int listed = 0;
    {
        DeviceMng page;
        page.resize(894, 673);
        page.show();
        app.watched = &page;
        auto *table = page.findChild<QTableWidget *>(QStringLiteral("tableWidget"));
        auto *search = page.findChild<QPushButton *>(QStringLiteral("btnSearch"));
        auto *stop = page.findChild<QPushButton *>(QStringLiteral("btnStop"));

        // Search as the operator does, stopping once the whole line is listed.
        timer.restart();
        search->click();
        QElapsedTimer deadline;
        deadline.start();
        while (table->rowCount() < lineDevices && deadline.elapsed() < 15000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        const qint64 searchMs = timer.elapsed();
        while (!stop->isEnabled() && deadline.elapsed() < 20000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        stop->click();
        QCoreApplication::processEvents();
        listed = table->rowCount();
        const qint64 handled = app.nsecs;
        const int reports = app.calls;
        app.watched = nullptr;

        // The page reads every listed device back in the background; let those reads end
        // before anything is timed against the line.
        QElapsedTimer settle;
        settle.start();
        while (settle.elapsed() < 1500)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);

        // Baseline: the bare store lookups for the same devices, no page.
        QElapsedTimer bare;
        bare.start();
        int found = 0;
        for (const QJsonValue &v : line)
            found += !serialOfDevice(v.toObject().value(QStringLiteral("serial")).toString()).isEmpty();
        const qint64 bareNs = bare.nsecsElapsed();

        out << "search: " << listed << " of " << lineDevices << " devices listed, " << reports << " reports, " << found
            << " shown as burnt; all in " << searchMs << " ms" << Qt::endl;
        out << "reports: UI thread busy " << ms(handled) << " ms for " << reports << " reports ("
            << ms(handled) * 1000.0 / qMax(1, reports) << " us each); bare serialOfDevice x" << line.size() << ": "
            << ms(bareNs) << " ms; ratio " << double(handled) / double(qMax<qint64>(1, bareNs)) << Qt::endl;

        // Baseline for the burn: bare SDK writes into the last 100 devices of the line, each
        // read back.
        QElapsedTimer writes;
        writes.start();
        int written = 0, readBack = 0;
        for (int i = lineDevices - burnDevices; i < lineDevices; ++i) {
            const QJsonObject d = line.at(i).toObject();
            UmeyeUuidRequest r{};
            fixedfield::put(r.serialNumber, d.value(QStringLiteral("serial")).toString());
            fixedfield::put(r.userName, d.value(QStringLiteral("user")).toString());
            fixedfield::put(r.password, d.value(QStringLiteral("password")).toString());
            fixedfield::put(r.hostAddr, QStringLiteral("svr.umeye.example"));
            fixedfield::put(r.uuidKind, QStringLiteral("DeviceID"));
            fixedfield::put(r.uuid, QStringLiteral("BASE%1").arg(i));
            r.port[0] = 5800 & 0xFF;
            r.port[1] = 5800 >> 8;
            written += Z7_NET_DVR_SetUMEyeUuid(&r);
            UuidReadRequest read{};
            fixedfield::put(read.serialNumber, d.value(QStringLiteral("serial")).toString());
            fixedfield::put(read.userName, d.value(QStringLiteral("user")).toString());
            fixedfield::put(read.password, d.value(QStringLiteral("password")).toString());
            readBack += Z7_NET_DVR_GetUuid(&read) && fixedfield::get(read.uuid) == QStringLiteral("BASE%1").arg(i);
        }
        const qint64 bareWritesNs = writes.nsecsElapsed();

        // Check the first 100 unburnt rows that the baseline left alone, Match for
        // customer 1, Burn.
        QSet<QString> holding;
        for (const QJsonValue &v : sim.devices())
            if (v.toObject().contains(QStringLiteral("uuid")))
                holding.insert(v.toObject().value(QStringLiteral("serial")).toString());
        QStringList checkedSerials;
        for (int row = 0; row < table->rowCount() && checkedSerials.size() < burnDevices; ++row) {
            const QString serial = table->item(row, 2)->text();
            if (!hasBox(table, row) || holding.contains(serial))
                continue;
            testsupport::clickCheckBox(table, row);
            checkedSerials << serial;
        }
        const qint64 burnNs = burnThroughPage(&page);

        int burnt = 0;
        for (int row = 0; row < table->rowCount(); ++row)
            burnt += table->item(row, 7) && table->item(row, 7)->text() == QLatin1String("Has been burning")
                && checkedSerials.contains(table->item(row, 2)->text());
        int held = 0;
        for (const QJsonValue &v : sim.devices())
            held += checkedSerials.contains(v.toObject().value(QStringLiteral("serial")).toString())
                && v.toObject().value(QStringLiteral("uuid")).toString().startsWith(QLatin1String("TW"));
        QSqlQuery q(storeDatabase);
        q.exec(QStringLiteral("SELECT COUNT(*) FROM SerialNumbers WHERE IsUse=1"));
        q.next();
        const int used = q.value(0).toInt() - kBurntBefore;

        out << "burn: " << checkedSerials.size() << " devices in " << ms(burnNs) << " ms (" << burnt << " rows burnt, "
            << used << " identifiers used, " << held << " held by the simulator); bare SDK writes x" << burnDevices
            << " (" << written << " applied, " << readBack << " read back): " << ms(bareWritesNs) << " ms; ratio "
            << double(burnNs) / double(qMax<qint64>(1, bareWritesNs)) << Qt::endl;

        // The claims' commits alone, as the earlier shape made them (one per device) and as a
        // pass makes them now (one), for identifiers and devices the line does not have.
        const auto claimCommits = [](int first, int perCommit) {
            const QStringList uuids = unusedSerialNumbers(burnDevices, 1);
            QElapsedTimer t;
            t.start();
            for (int i = 0; i < uuids.size(); i += perCommit) {
                beginBatch();
                for (int k = i; k < qMin(int(uuids.size()), i + perCommit); ++k) {
                    const QString device = QStringLiteral("BENCH-%1").arg(first + k);
                    claimSerial(uuids.at(k), 1, device, QStringLiteral("IPC"), QStringLiteral("127.0.0.1"));
                    addLog(makeLogRecord(QStringLiteral("User operation"),
                                         QStringLiteral("Burning uuid [%1] [%2]").arg(device, uuids.at(k))));
                }
                commitBatch();
            }
            return t.nsecsElapsed();
        };
        const qint64 perDeviceNs = claimCommits(0, 1);
        const qint64 perPassNs = claimCommits(burnDevices, burnDevices);
        out << "claim commits for " << burnDevices << " devices: one per device " << ms(perDeviceNs)
            << " ms; one per pass " << ms(perPassNs) << " ms; ratio "
            << double(perDeviceNs) / double(qMax<qint64>(1, perPassNs)) << Qt::endl;
    }
    benchLabels(sim);
    Z7_NET_DVR_Cleanup();
    closeDatabase();
    sim.stop();
    return listed == lineDevices ? 0 : 1;
}
