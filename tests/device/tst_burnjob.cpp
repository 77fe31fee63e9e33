// The Burn pass as a job, with no widget: rows straight from a simulated line, every outcome
// reported to a listener, checked against what the devices and the pool hold.
#include "jobs/burnjob.h"
#include "platform/devicesim/simprocess.h"
#include "platform/netsdk/z7netsdk.h"
#include "store/datastore.h"
#include "store/fixedfield.h"
#include "tests/support/linecheck.h"
#include "tests/support/testsupport.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QMutex>
#include <QThread>
#include <QThreadPool>
#include <QTranslator>

#include <dlfcn.h>

#include <atomic>
#include <functional>

namespace {

// Every identifier write, and whether its claim's log row was committed when it left. The
// first one runs `duringFirstWrite` (on the SDK call's thread) before it goes to the device.
// When `countAtWrites`, the pool's pending identifiers are counted as a pass's first write
// leaves, and its used ones as its 101st leaves.
QStringList writes;
std::function<void()> duringFirstWrite;
// (Off, a write's claim log row is not looked up: each lookup off the main thread costs a
// connection of its own.)
bool countAtWrites = false;
int writesInPass = 0, pendingAtFirstWrite = -1, usedAtWrite101 = -1;

template <typename Request>
int seen(Request *request, const char *name)
{
    static const auto real = reinterpret_cast<int (*)(Request *)>(dlsym(RTLD_NEXT, name));
    const QString serial = fixedfield::get(request->serialNumber), uuid = fixedfield::get(request->uuid);
    const int logged = countAtWrites
        ? 1
        : testsupport::count(QStringLiteral("Logs WHERE LogDescribe='Burning uuid [%1] [%2]'").arg(serial, uuid));
    writes << (logged > 0 ? uuid : QStringLiteral("UNCLAIMED ") + uuid);
    ++writesInPass;
    if (countAtWrites && writesInPass == 1)
        pendingAtFirstWrite = testsupport::count(QStringLiteral("SerialNumbers WHERE IsUse=2"));
    if (countAtWrites && writesInPass == 101)
        usedAtWrite101 = testsupport::count(QStringLiteral("SerialNumbers WHERE IsUse=1"));
    if (writes.size() == 1 && duringFirstWrite)
        duringFirstWrite();
    return real(request);
}

} // namespace

extern "C" int Z7_NET_DVR_SetUMEyeUuid(UmeyeUuidRequest *request)
{
    return seen(request, "Z7_NET_DVR_SetUMEyeUuid");
}
extern "C" int Z7_NET_DVR_SetLenovoUuid(LenovoUuidRequest *request)
{
    return seen(request, "Z7_NET_DVR_SetLenovoUuid");
}

namespace {

using devicesim::SimProcess;
using jobs::BurnRow;

// What the listener heard, one line per event: "claimed D U", "written D", ...
class Heard : public jobs::BurnListener
{
public:
    QStringList events;
    void claimed(const BurnRow &r) override { events << QStringLiteral("claimed %1 %2").arg(r.key).arg(r.uuid); }
    void written(const BurnRow &r) override { events << QStringLiteral("written %1").arg(r.key); }
    void writeFailed(const BurnRow &r, int) override { events << QStringLiteral("failed %1").arg(r.key); }
    void recorded(const BurnRow &r) override { events << QStringLiteral("recorded %1").arg(r.key); }
    void notConfirmed(const BurnRow &r, const QString &reported) override
    {
        events << QStringLiteral("not confirmed %1 [%2]").arg(r.key).arg(reported);
    }
    void skipped(const BurnRow &r, const jobs::BurnSkip &why) override
    {
        events << QStringLiteral("skipped %1 %2").arg(r.key).arg(jobs::BurnJob::skipText(why));
    }
    void stopped(const jobs::BurnStop &stop) override { events << QStringLiteral("stopped %1").arg(stop.cause); }
};

struct Found {
    QMutex mutex;
    QList<BurnRow> rows;
};

void Z7_NETSDK_CALL discovered(const DiscoveryRecord *record, void *user)
{
    auto *found = static_cast<Found *>(user);
    QMutexLocker lock(&found->mutex);
    BurnRow r;
    r.serial = fixedfield::get(record->serialNumber);
    r.type = fixedfield::get(record->deviceType);
    r.ip = fixedfield::get(record->deviceIp);
    r.user = fixedfield::get(record->userName);
    r.password = fixedfield::get(record->password);
    found->rows << r;
}

// Searches the line until every device answered (the SDK writes only to devices it found),
// and gives the rows in the line's order the identifiers `uuids`, for `customer`.
QList<BurnRow> rowsOf(const SimProcess &line, const QStringList &uuids, int customer = 1)
{
    Found found;
    Z7_NET_DVR_SetDiscoveryCallBack(discovered, &found);
    Z7_NET_DVR_StartDiscoveryIPC();
    const int devices = line.devices().size();
    QDeadlineTimer deadline(15000);
    for (;;) {
        QMutexLocker lock(&found.mutex);
        if (found.rows.size() >= devices || deadline.hasExpired())
            break;
        lock.unlock();
        QThread::msleep(10);
    }
    Z7_NET_DVR_StopDiscoveryIPC();
    Z7_NET_DVR_SetDiscoveryCallBack(nullptr, nullptr);
    QList<BurnRow> rows;
    for (int i = 0; i < devices && i < uuids.size(); ++i) {
        const QString serial = line.devices().at(i).toObject().value(QStringLiteral("serial")).toString();
        for (BurnRow r : qAsConst(found.rows))
            if (r.serial == serial) {
                r.key = i;
                r.uuid = uuids.at(i);
                r.customerId = customer;
                rows << r;
                break;
            }
    }
    return rows;
}

void pool(int customerId, const QString &serial)
{
    QVERIFY(testsupport::exec(QStringLiteral("INSERT INTO SerialNumbers(CustomerID, SerialNumber, IsUse) "
                                             "VALUES(%1, '%2', 0)")
                                  .arg(customerId)
                                  .arg(serial)));
}

int isUse(const QString &serial)
{
    return testsupport::value(QStringLiteral("SELECT IsUse FROM SerialNumbers WHERE SerialNumber='%1'").arg(serial))
        .toInt();
}

class LongLogText : public QTranslator
{
public:
    bool isEmpty() const override { return false; }
    QString translate(const char *context, const char *source, const char *, int) const override
    {
        if (qstrcmp(context, "jobs::BurnJob") == 0 && qstrcmp(source, "Burning uuid [%1] [%2]") == 0)
            return QString(240, QLatin1Char('x')) + QStringLiteral(" [%1] [%2]");
        return QString();
    }
};

} // namespace

class TestBurnJob : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        testsupport::freshDatabase();
        writes.clear();
        qputenv("Z7_NETSDK_TARGETS", ""); // no device answers unless a test starts a line
        QCOMPARE(Z7_NET_DVR_Init(), 1);
    }
    void cleanupTestCase() { Z7_NET_DVR_Cleanup(); }
    void skipsWhatMustNotBeWritten_data();
    void skipsWhatMustNotBeWritten();
    void passReportsEveryOutcome();
    void twoStationsFinishOnePendingDevice();
    void failedSkipLogStopsThePass();
    void readBackDecidesWhatIsUsed_data();
    void readBackDecidesWhatIsUsed();
    void faultyLineEndsWithEveryDeviceConfirmed();
};

void TestBurnJob::skipsWhatMustNotBeWritten_data()
{
    QTest::addColumn<int>("customer");
    QTest::addColumn<QString>("uuid");
    QTest::addColumn<QString>("reason");
    const auto row = [](const char *name, int customer, const QString &uuid, const char *reason) {
        QTest::newRow(name) << customer << uuid << QString::fromLatin1(reason);
    };
    row("uuid of 48 bytes", 1, QString(48, QLatin1Char('U')), "uuid too long");
    // The pool also holds the 47-byte value the long one would be cut to: it is never written.
    row("uuid of 49 bytes beside its cut form", 1, QString(47, QLatin1Char('U')) + QChar(0xE9), "uuid too long");
    row("device serial of 48 bytes", 1, "U-1", "device serial number too long");
    row("user name of 32 bytes", 2, "B-1", "user name too long");
    row("password of 16 bytes", 1, "U-1", "password too long");
    row("host of 128 bytes", 1, "U-1", "host address too long");
    row("port of 17 bits", 1, "U-1", "port 65536 out of range");
    row("kind of 16 bytes", 2, "B-1", "uuid kind too long");
    row("no customer row", 2, "B-1", "no customer 2");
    row("log text over 255 bytes", 1, "U-1", "log text too long");
    row("address that is none", 1, "U-1", "device IP is not an address");
    row("device already burnt", 1, "U-1", "device already burnt or tried in this pass");
    row("uuid off its customer's pattern, set after the import", 1, "U-1",
        "uuid does not match the customer's UUID pattern");
}

void TestBurnJob::skipsWhatMustNotBeWritten()
{
    QFETCH(int, customer);
    QFETCH(QString, uuid);
    QFETCH(QString, reason);
    SimProcess line;
    QVERIFY2(line.start({QStringLiteral("--devices"), QStringLiteral("1")}), qPrintable(line.errorText()));
    line.exportTarget();
    const QByteArray stateBefore = QJsonDocument(line.state()).toJson();
    const QString tag = QString::fromLatin1(QTest::currentDataTag());
    if (tag.contains(QLatin1String("cut form")))
        pool(customer, uuid.left(47));
    pool(customer, uuid);
    if (tag.startsWith(QLatin1String("host")))
        QVERIFY(
            updateCustomer(QStringLiteral("UMEYE"), QStringLiteral("DeviceID"), QString(128, QLatin1Char('h')), 5800));
    if (tag.startsWith(QLatin1String("port")))
        QVERIFY(testsupport::exec(QStringLiteral("UPDATE Customers SET CustomerPort=65536 WHERE CustomerID=1")));
    if (tag.startsWith(QLatin1String("kind")))
        QVERIFY(updateCustomer(QStringLiteral("Brisvan"), QString(16, QLatin1Char('k')), QString(), 0));
    if (tag.startsWith(QLatin1String("uuid off"))) {
        CustomerRules rules;
        rules.serialPattern = QStringLiteral("U-1.+|GEN-.*");
        QVERIFY(setCustomerRules(1, rules));
    }
    if (tag.startsWith(QLatin1String("no customer")))
        QVERIFY(testsupport::exec(QStringLiteral("DELETE FROM Customers WHERE CustomerID=2")));
    QList<BurnRow> rows = rowsOf(line, {uuid}, customer);
    QCOMPARE(rows.size(), 1);
    BurnRow &row = rows.first();
    if (tag.startsWith(QLatin1String("device serial")))
        row.serial = QString(48, QLatin1Char('S'));
    if (tag.startsWith(QLatin1String("user")))
        row.user = QString(32, QLatin1Char('u'));
    if (tag.startsWith(QLatin1String("password")))
        row.password = QString(16, QLatin1Char('p'));
    if (tag.startsWith(QLatin1String("address")))
        row.ip = QStringLiteral("10.0.0");
    QSet<QString> burnt;
    if (tag.startsWith(QLatin1String("device already")))
        burnt << row.serial;

    LongLogText translator;
    if (tag.startsWith(QLatin1String("log text")))
        QCoreApplication::installTranslator(&translator);
    Heard heard;
    jobs::BurnJob job;
    const jobs::BurnSummary done = job.run(rows, burnt, &heard);
    QCoreApplication::removeTranslator(&translator);

    QCOMPARE(heard.events, QStringList{QStringLiteral("skipped 0 ") + reason});
    QCOMPARE(done.burnt + done.failed, 0);
    QCOMPARE(done.skipped.size(), 1);
    QCOMPARE(done.skipped.first().second, 1);
    QVERIFY(writes.isEmpty());
    QCOMPARE(QJsonDocument(line.state()).toJson(), stateBefore);
    QCOMPARE(testsupport::count(QStringLiteral("SerialNumbers WHERE IsUse<>0")), 0);
    // A value over 48 bytes is quoted shortened and marked, so the entry fits its record.
    const auto quoted = [](const QString &v) {
        return v.toUtf8().size() > 48 ? v.left(47) + QStringLiteral("...") : v;
    };
    QCOMPARE(testsupport::column(QStringLiteral("SELECT LogType || '|' || LogDescribe FROM Logs")),
             QStringList{QStringLiteral("User operation|Burning uuid [%1] [%2] skipped: %3")
                             .arg(quoted(row.serial), quoted(uuid), reason)});
    // Its event carries the reason's code, which a report groups by.
    QCOMPARE(testsupport::column(QStringLiteral("SELECT EventKind || '|' || EventDetail FROM SerialEvents")),
             QStringList{QStringLiteral("16|") + burnSkipCode(int(done.skipped.first().first.reason))});
}

void TestBurnJob::passReportsEveryOutcome()
{
    // One pass meets every outcome: a device that refuses the write, an identifier deleted
    // since Match, one taken by another program, a device listed twice, one that takes its
    // identifier; the next pass sends the refused device its same identifier again.
    SimProcess line;
    QVERIFY2(line.start(
                 {QStringLiteral("--devices"), QStringLiteral("4"), QStringLiteral("--refuse"), QStringLiteral("1")}),
             qPrintable(line.errorText()));
    line.exportTarget();
    for (int i = 0; i < 5; ++i)
        pool(1, QStringLiteral("U-%1").arg(i));
    QList<BurnRow> rows = rowsOf(line,
                                 {QStringLiteral("U-0"), QStringLiteral("U-1"), QStringLiteral("U-2"),
                                  QStringLiteral("U-3")});
    QCOMPARE(rows.size(), 4);
    QVERIFY(testsupport::exec(QStringLiteral("DELETE FROM SerialNumbers WHERE SerialNumber='U-1'")));
    QVERIFY(testsupport::exec(
        QStringLiteral("UPDATE SerialNumbers SET IsUse=1, DeviceSerialNum='ELSEWHERE' WHERE SerialNumber='U-2'")));
    BurnRow twice = rows.at(3);
    twice.key = 4;
    twice.uuid = QStringLiteral("U-4");
    rows << twice;
    const QString refusing = rows.at(0).serial;

    Heard heard;
    jobs::BurnJob job;
    jobs::BurnSummary done = job.run(rows, {}, &heard);
    // Stations sharing a server take the customer's next free identifier in place of a taken one.
    const bool server = testsupport::onServer();
    // Every claim first (one commit), then the writes, then their records.
    const QStringList claims{"claimed 0 U-0", "skipped 1 uuid not found in the pool",
                             server ? "claimed 2 U-4" : "skipped 2 uuid taken by another program", "claimed 3 U-3",
                             "skipped 4 device already burnt or tried in this pass"};
    const QStringList outcomes = server ? QStringList{"failed 0", "written 2", "written 3", "recorded 2", "recorded 3"}
                                        : QStringList{"failed 0", "written 3", "recorded 3"};
    QCOMPARE(heard.events, claims + outcomes);
    QCOMPARE(done.burnt, server ? 2 : 1);
    QCOMPARE(done.failed, 1);
    QCOMPARE(done.stop.cause, jobs::BurnStop::None);
    QCOMPARE(done.skipped.size(), server ? 2 : 3);
    // Each write left after its claim's commit.
    QCOMPARE(writes, (server ? QStringList{"U-0", "U-4", "U-3"} : QStringList{"U-0", "U-3"}));
    QCOMPARE(isUse(QStringLiteral("U-0")), 2);
    QCOMPARE(isUse(QStringLiteral("U-3")), 1);
    QCOMPARE(isUse(QStringLiteral("U-4")), server ? 1 : 0);
    QCOMPARE(holdingOfDevice(refusing).serialNumber, QStringLiteral("U-0"));
    QCOMPARE(holdingOfDevice(rows.at(3).serial).serialNumber, QStringLiteral("U-3"));
    QCOMPARE(testsupport::count(
                 QStringLiteral("Logs WHERE LogDescribe='Burning uuid [%1] [U-0] write failed: the SDK answered 0'")
                     .arg(refusing)),
             1);

    // Pending for its device: sent again, the same one, and nothing else is.
    BurnRow again = rows.at(0);
    again.pending = true;
    writes.clear();
    heard.events.clear();
    done = job.run({again}, {}, &heard);
    QCOMPARE(heard.events, (QStringList{"claimed 0 U-0", "failed 0"}));
    QCOMPARE(writes, QStringList{"U-0"});
    QCOMPARE(isUse(QStringLiteral("U-0")), 2);

    // A pending row whose identifier was deleted meanwhile, its device given another one (by
    // another station), is not written the old one.
    QVERIFY(deleteSerial(QStringLiteral("U-0")));
    pool(1, QStringLiteral("U-5"));
    QVERIFY(beginBatch());
    QCOMPARE(claimSerial(QStringLiteral("U-5"), 1, refusing, again.type, again.ip), ClaimResult::Claimed);
    QVERIFY(commitBatch());
    writes.clear();
    heard.events.clear();
    done = job.run({again}, {}, &heard);
    QCOMPARE(heard.events, QStringList{"skipped 0 uuid taken by another program"});
    QVERIFY(writes.isEmpty());
}

void TestBurnJob::twoStationsFinishOnePendingDevice()
{
    // A device holds an identifier pending (a pass did not finish). Two stations burn it; the
    // second finishes it completely while the first is writing it. The first then finds it
    // already used for this device: it says burnt, not pending, and stops nothing.
    SimProcess line;
    QVERIFY2(line.start({QStringLiteral("--devices"), QStringLiteral("1")}), qPrintable(line.errorText()));
    line.exportTarget();
    QList<BurnRow> rows = rowsOf(line, {QStringLiteral("PENDING-1")});
    QCOMPARE(rows.size(), 1);
    rows.first().pending = true;
    QVERIFY(testsupport::exec(QStringLiteral("INSERT INTO SerialNumbers(CustomerID, SerialNumber, IsUse, "
                                             "DeviceSerialNum, DeviceType, szIP) VALUES(1, 'PENDING-1', 2, '%1', "
                                             "'IPC', '127.0.0.1')")
                                  .arg(rows.first().serial)));
    // The first station's write waits on a pool thread while the second one writes.
    QThreadPool::globalInstance()->setMaxThreadCount(qMax(4, QThreadPool::globalInstance()->maxThreadCount()));
    jobs::BurnJob first, second;
    Heard heardFirst, heardSecond;
    std::atomic<bool> secondDone{false};
    duringFirstWrite = [&] {
        QMetaObject::invokeMethod(
            qApp,
            [&] {
            second.run(rows, {}, &heardSecond);
            secondDone = true;
            },
            Qt::QueuedConnection);
        QDeadlineTimer deadline(60000);
        while (!secondDone && !deadline.hasExpired())
            QThread::msleep(5);
    };
    const jobs::BurnSummary done = first.run(rows, {}, &heardFirst);
    duringFirstWrite = nullptr;
    QVERIFY(secondDone);
    QCOMPARE(writes.size(), 2);
    for (const Heard *heard : {&heardFirst, &heardSecond})
        QCOMPARE(heard->events, (QStringList{"claimed 0 PENDING-1", "written 0", "recorded 0"}));
    QCOMPARE(done.burnt, 1);
    QCOMPARE(done.stop.cause, jobs::BurnStop::None);
    QCOMPARE(line.device(rows.first().serial).value(QStringLiteral("uuid")).toString(), QStringLiteral("PENDING-1"));
    QCOMPARE(isUse(QStringLiteral("PENDING-1")), 1);
}

void TestBurnJob::failedSkipLogStopsThePass()
{
    // The pool refuses the log row of a skipped device: the pass stops there, and the next
    // device is neither claimed nor written.
    const QStringList refuse = testsupport::onServer()
        ? QStringList{QStringLiteral("CREATE OR REPLACE FUNCTION refuse_skip_log() RETURNS trigger LANGUAGE plpgsql "
                                     "AS $$ BEGIN IF NEW.LogDescribe LIKE '%skipped%' THEN RAISE EXCEPTION 'log "
                                     "refused'; END IF; RETURN NEW; END $$"),
                      QStringLiteral("CREATE TRIGGER RefuseSkipLog BEFORE INSERT ON Logs FOR EACH ROW EXECUTE "
                                     "FUNCTION refuse_skip_log()")}
        : QStringList{QStringLiteral("CREATE TRIGGER RefuseSkipLog BEFORE INSERT ON Logs WHEN NEW.LogDescribe LIKE "
                                     "'%skipped%' BEGIN SELECT RAISE(ABORT, 'log refused'); END")};
    for (const QString &sql : refuse)
        QVERIFY2(testsupport::exec(sql), qPrintable(sql));
    SimProcess line;
    QVERIFY2(line.start({QStringLiteral("--devices"), QStringLiteral("2")}), qPrintable(line.errorText()));
    line.exportTarget();
    pool(1, QStringLiteral("U-0"));
    pool(1, QStringLiteral("U-1"));
    const QList<BurnRow> rows = rowsOf(line, {QStringLiteral("U-0"), QStringLiteral("U-1")});
    QCOMPARE(rows.size(), 2);

    Heard heard;
    jobs::BurnJob job;
    const jobs::BurnSummary done = job.run(rows, {rows.first().serial}, &heard);
    QCOMPARE(done.stop.cause, jobs::BurnStop::LogFailed);
    QCOMPARE(heard.events,
             (QStringList{"skipped 0 device already burnt or tried in this pass",
                          QStringLiteral("stopped %1").arg(jobs::BurnStop::LogFailed)}));
    QVERIFY(writes.isEmpty());
    QCOMPARE(testsupport::count(QStringLiteral("SerialNumbers WHERE IsUse<>0")), 0);
    // The skip's event went with its refused log row; the stop has one of its own.
    QCOMPARE(testsupport::column(QStringLiteral("SELECT EventKind || '|' || EventDetail || '|' || DeviceSerialNum "
                                                "|| '|' || SerialNumber FROM SerialEvents")),
             QStringList{QStringLiteral("17|log-failed|%1|U-0").arg(rows.first().serial)});
}

void TestBurnJob::readBackDecidesWhatIsUsed_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("device keeps the write") << QString();
    QTest::newRow("device forgets the write") << QStringLiteral("--forget");
    QTest::newRow("device changes the write") << QStringLiteral("--corrupt");
}

void TestBurnJob::readBackDecidesWhatIsUsed()
{
    // Only a device that reports back exactly what it was written makes the identifier used;
    // the log and the events say what happened, and what the device reports instead.
    QFETCH(QString, fault);
    SimProcess line;
    QStringList args{QStringLiteral("--devices"), QStringLiteral("1")};
    if (!fault.isEmpty())
        args << fault << QStringLiteral("100");
    QVERIFY2(line.start(args), qPrintable(line.errorText()));
    line.exportTarget();
    pool(1, QStringLiteral("U-0"));
    const QList<BurnRow> rows = rowsOf(line, {QStringLiteral("U-0")});
    QCOMPARE(rows.size(), 1);
    const QString device = rows.first().serial;

    Heard heard;
    jobs::BurnJob job;
    const jobs::BurnSummary done = job.run(rows, {}, &heard);
    const QString held = line.device(device).value(QStringLiteral("uuid")).toString();
    const bool kept = fault.isEmpty();
    QCOMPARE(held.isEmpty(), fault == QLatin1String("--forget"));
    QCOMPARE(held == QLatin1String("U-0"), kept);
    QCOMPARE(heard.events,
             (QStringList{"claimed 0 U-0", "written 0",
                          kept ? QStringLiteral("recorded 0") : QStringLiteral("not confirmed 0 [%1]").arg(held)}));
    QCOMPARE(done.burnt, kept ? 1 : 0);
    QCOMPARE(done.notConfirmed, kept ? 0 : 1);
    QCOMPARE(done.stop.cause, jobs::BurnStop::None);
    QVERIFY(done.verified);
    QCOMPARE(isUse(QStringLiteral("U-0")), kept ? 1 : 2);
    const QString head = QStringLiteral("Burning uuid [%1] [U-0]").arg(device);
    QCOMPARE(testsupport::column(QStringLiteral("SELECT LogDescribe FROM Logs ORDER BY LogID")),
             (QStringList{head, head + QStringLiteral(" written"),
                          kept ? head + QStringLiteral(" confirmed")
                               : head + QStringLiteral(" written, not confirmed: the device reports [%1]").arg(held)}));
    QCOMPARE(testsupport::column(QStringLiteral("SELECT EventKind || ' ' || DeviceSerialNum || ' ' || EventDetail "
                                                "FROM SerialEvents WHERE SerialNumber='U-0' ORDER BY EventID")),
             (QStringList{QStringLiteral("2 %1 ").arg(device), QStringLiteral("3 %1 ").arg(device),
                          kept ? QStringLiteral("5 %1 ").arg(device) : QStringLiteral("6 %1 %2").arg(device, held)}));

    // The next pass writes the same identifier again and reads it again.
    if (kept)
        return;
    BurnRow again = rows.first();
    again.pending = true;
    writes.clear();
    heard.events.clear();
    job.run({again}, {}, &heard);
    QCOMPARE(writes, QStringList{"U-0"});
    QCOMPARE(heard.events.size(), 3);
    QVERIFY2(heard.events.last().startsWith(QLatin1String("not confirmed 0")), qPrintable(heard.events.last()));
    QCOMPARE(isUse(QStringLiteral("U-0")), 2);
}

void TestBurnJob::faultyLineEndsWithEveryDeviceConfirmed()
{
    // A line whose devices acknowledge writes they then lose (30 %) or keep changed (10 %).
    // Passes are repeated as an operator would (the unburnt devices again, with their pending
    // identifiers) until every device is burnt: each holds exactly its identifier, recorded
    // used for it, every lost or changed write was caught, and none was ever recorded used.
    const int devices = 200;
    SimProcess line;
    QVERIFY2(line.start({QStringLiteral("--devices"), QString::number(devices), QStringLiteral("--forget"),
                         QStringLiteral("30"), QStringLiteral("--corrupt"), QStringLiteral("10"),
                         QStringLiteral("--seed"), QStringLiteral("5")}),
             qPrintable(line.errorText()));
    line.exportTarget();
    QVERIFY(testsupport::fillPool(QStringLiteral("R-"), devices, 1));
    QList<BurnRow> rows = rowsOf(line, unusedSerialNumbers(devices, 1));
    QCOMPARE(rows.size(), devices);

    QHash<int, QString> serialOf;
    for (const BurnRow &r : qAsConst(rows))
        serialOf.insert(r.key, r.serial);
    jobs::BurnJob job;
    int notConfirmed = 0, passes = 0;
    countAtWrites = true;
    for (; !rows.isEmpty() && passes < 20; ++passes) {
        writesInPass = 0;
        Heard heard;
        const jobs::BurnSummary done = job.run(rows, {}, &heard);
        QCOMPARE(done.stop.cause, jobs::BurnStop::None);
        QCOMPARE(done.burnt + done.notConfirmed, rows.size());
        notConfirmed += done.notConfirmed;
        // Every claim of the pass was committed before its first write; a long pass recorded
        // outcomes before its end.
        QCOMPARE(pendingAtFirstWrite, rows.size());
        if (rows.size() > 100)
            QVERIFY(usedAtWrite101 > 0);
        // What the listener heard a device report is what it holds.
        for (const QString &e : qAsConst(heard.events))
            if (e.startsWith(QLatin1String("not confirmed ")))
                QCOMPARE(
                    e.section(QLatin1Char('['), 1).chopped(1),
                    line.device(serialOf.value(e.section(' ', 2, 2).toInt())).value(QStringLiteral("uuid")).toString());
        // Nothing is recorded used that its device does not hold.
        QHash<QString, QString> held;
        for (const QJsonValue &v : line.devices())
            held.insert(v.toObject().value(QStringLiteral("serial")).toString(),
                        v.toObject().value(QStringLiteral("uuid")).toString());
        for (const QVariantList &used :
             testsupport::rows(QStringLiteral("SELECT SerialNumber, DeviceSerialNum FROM SerialNumbers WHERE IsUse=1")))
            QCOMPARE(held.value(used.at(1).toString()), used.at(0).toString());
        QList<BurnRow> next;
        for (BurnRow r : qAsConst(rows))
            if (holdingOfDevice(r.serial).isUse != SerialUsed) {
                r.pending = true;
                next << r;
            }
        rows = next;
    }
    countAtWrites = false;
    QVERIFY(rows.isEmpty());
    int faults = 0;
    for (const QJsonValue &v : line.devices())
        faults += v.toObject().value(QStringLiteral("forgotten")).toInt()
            + v.toObject().value(QStringLiteral("corrupted")).toInt();
    QVERIFY2(faults > devices / 4, qPrintable(QString::number(faults)));
    // A write the line applied again from a resent request (its answer came late) may have
    // mended its own fault before the answer: every fault the program was not told of so is caught.
    int applied = 0;
    for (const QJsonValue &v : line.devices())
        applied += v.toObject().value(QStringLiteral("applied")).toInt();
    QCOMPARE(notConfirmed, faults - (applied - writes.size()));
    const QStringList wrong = testsupport::disagreements({&line}, true);
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(QLatin1Char('\n'))));
    QCOMPARE(testsupport::count(QStringLiteral("SerialNumbers WHERE IsUse=1")), devices);
    QCOMPARE(testsupport::count(QStringLiteral("SerialEvents WHERE EventKind=5")), devices);
    QCOMPARE(testsupport::count(QStringLiteral("SerialEvents WHERE EventKind=6")), notConfirmed);
    qInfo("%d devices, %d passes, %d lost or changed writes caught", devices, passes, faults);
}

TARNWELL_TEST_MAIN(TestBurnJob)
#include "tst_burnjob.moc"
