// The pool's promise over the whole, against simulated lines: whatever happens (Match and
// Burn with rows ticked and unticked and the customer changed, devices that refuse writes
// or answer after the library gave up, a store that stops taking writes in mid-pass, a
// burning station killed in mid-pass, the program started again), no identifier is in two
// devices, no device ever gets a second identifier, every identifier a device holds is
// recorded for that device (used, or pending for it), nothing is recorded used that its
// device does not hold, and the counts the pages show equal COUNT(*).
// Before that, the Burning page's rule that a claimed identifier is written with its own
// customer's request.
//   TARNWELL_PROMISE_SEED (default 7) and TARNWELL_PROMISE_STEPS (default 12) explore.
#include "tests/support/linecheck.h"
#include "tests/support/testsupport.h"

#include "device/devicemng.h"
#include "platform/devicesim/simprocess.h"
#include "platform/netsdk/z7netsdk.h"
#include "store/datastore.h"
#include "store/oracle.h"
#include "store/storeconnection.h"
#include "widgets/messagebox.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QJsonArray>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSqlQuery>
#include <QTableWidget>

#include <dlfcn.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <memory>

namespace {

// Another program that takes the pool's write lock and keeps it (raw SQLite: it may be
// taken on the SDK call's thread).
class WriteLock
{
public:
    bool take(const QString &file)
    {
        if (sqlite3_open_v2(file.toUtf8().constData(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
            return false;
        return sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    void release()
    {
        if (db) {
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            sqlite3_close(db);
            db = nullptr;
        }
    }
    ~WriteLock() { release(); }

private:
    sqlite3 *db = nullptr;
};

// Set by a step: after this many device writes (taken or not) the store stops taking writes.
std::atomic<int> lockAfterWrites{-1};
std::atomic<bool> lockTaken{false};
WriteLock writeLock;
QString poolFile;

int afterWrite(int result)
{
    if (lockAfterWrites.load() > 0 && --lockAfterWrites == 0)
        lockTaken = writeLock.take(poolFile);
    return result;
}

} // namespace

template <typename Request>
int passOn(Request *request, const char *name)
{
    static const auto real = reinterpret_cast<int (*)(Request *)>(dlsym(RTLD_NEXT, name));
    return afterWrite(real(request));
}

extern "C" int Z7_NET_DVR_SetUMEyeUuid(UmeyeUuidRequest *request)
{
    return passOn(request, "Z7_NET_DVR_SetUMEyeUuid");
}
extern "C" int Z7_NET_DVR_SetLenovoUuid(LenovoUuidRequest *request)
{
    return passOn(request, "Z7_NET_DVR_SetLenovoUuid");
}

namespace {

using devicesim::SimProcess;
using testsupport::cellText;

using testsupport::child;

QTableWidget *table(QWidget *page)
{
    return child<QTableWidget>(page, "tableWidget");
}

int envInt(const char *name, int fallback)
{
    bool ok = false;
    const int v = qEnvironmentVariableIntValue(name, &ok);
    return ok ? v : fallback;
}

void setTargets(const QList<const SimProcess *> &lines)
{
    QStringList targets;
    for (const SimProcess *line : lines)
        targets << line->target();
    qputenv("Z7_NETSDK_TARGETS", targets.join(QLatin1Char(',')).toLatin1());
}

// Searches until every device of the lines is listed, then stops as an operator would.
void search(QWidget *page, int devices)
{
    testsupport::click(child(page, "btnSearch"));
    QTRY_COMPARE_WITH_TIMEOUT(table(page)->rowCount(), devices, 15000);
    QTRY_VERIFY_WITH_TIMEOUT(child(page, "btnStop")->isEnabled() || child(page, "btnSearch")->isEnabled(), 5000);
    if (child(page, "btnStop")->isEnabled())
        testsupport::click(child(page, "btnStop"));
}

// Ticks or unticks a row as the operator does; a row without a box stays as it is.
void setChecked(QWidget *page, int row, bool on)
{
    const QTableWidgetItem *item = table(page)->item(row, 0);
    if (item && item->data(Qt::CheckStateRole).isValid() && (item->checkState() == Qt::Checked) != on)
        testsupport::clickCheckBox(table(page), row);
}

bool claimFor(const QString &uuid, int customer, const QString &device)
{
    return beginBatch()
        && claimSerial(uuid, customer, device, QStringLiteral("IPC"), QStringLiteral("127.0.0.9"))
        == ClaimResult::Claimed
        && commitBatch();
}

// What the lines hold against what the pool says; `firstHeld` remembers each device's first
// identifier across calls. Empty when the promise holds.
QStringList broken(const QList<const SimProcess *> &lines, QHash<QString, QString> *firstHeld)
{
    QStringList out = testsupport::disagreements(lines, false);
    for (const SimProcess *line : lines)
        for (const QJsonValue &v : line->devices()) {
            const QString serial = v.toObject().value(QStringLiteral("serial")).toString();
            const QString uuid = v.toObject().value(QStringLiteral("uuid")).toString();
            if (uuid.isEmpty())
                continue;
            if (firstHeld->value(serial, uuid) != uuid)
                out << QStringLiteral("device %1 held %2, now %3").arg(serial, firstHeld->value(serial), uuid);
            firstHeld->insert(serial, firstHeld->value(serial, uuid));
        }
    for (const QVariantList &r : testsupport::rows(
             QStringLiteral("SELECT DeviceSerialNum, COUNT(DISTINCT SerialNumber) FROM SerialNumbers WHERE IsUse<>0 "
                            "GROUP BY DeviceSerialNum HAVING COUNT(DISTINCT SerialNumber) > 1")))
        out << QStringLiteral("device %1 has %2 identifiers recorded").arg(r.at(0).toString(), r.at(1).toString());
    // The counts the pages show, against COUNT(*).
    for (const SerialFilter &filter : {SerialFilter(), SerialFilter{0, 0, {}}, SerialFilter{0, 1, {}},
                                       SerialFilter{0, 2, {}}, SerialFilter{1, -1, {}}, SerialFilter{2, 0, {}}}) {
        const int counted = testsupport::value(QStringLiteral("SELECT COUNT(*) FROM SerialNumbers as s JOIN "
                                                              "Customers as c ON c.CustomerID=s.CustomerID WHERE 1=1 ")
                                               + oracle::filterText(filter))
                                .toInt();
        if (countSerials(filter) != counted)
            out << QStringLiteral("countSerials(\"%1\") %2, COUNT(*) %3")
                       .arg(oracle::filterText(filter))
                       .arg(countSerials(filter))
                       .arg(counted);
    }
    if (countLogs() != testsupport::count(QStringLiteral("Logs")))
        out << QStringLiteral("countLogs() %1, COUNT(*) %2")
                   .arg(countLogs())
                   .arg(testsupport::count(QStringLiteral("Logs")));
    return out;
}

int requestsOn(const QList<const SimProcess *> &lines)
{
    int n = 0;
    for (const SimProcess *line : lines)
        for (const QJsonValue &v : line->devices())
            n += v.toObject().value(QStringLiteral("requests")).toInt();
    return n;
}

} // namespace

class TestPromise : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QCOMPARE(Z7_NET_DVR_Init(), 1); }

    void init()
    {
        QDir::setCurrent(testsupport::workingDirectory());
        testsupport::freshDatabase();
        poolFile = QDir::current().absoluteFilePath(QStringLiteral("mydatabase.db"));
        MessageBox::clear();
    }

    void cleanup()
    {
        lockAfterWrites = -1;
        writeLock.release();
    }

    void cleanupTestCase() { Z7_NET_DVR_Cleanup(); }

    void pendingIdentifierKeepsItsOwnCustomersRequest()
    {
        // UMEYE's identifier pending for the first device, Brisvan chosen now (the other way
        // round takes the same path).
        SimProcess line;
        QVERIFY2(line.start({QStringLiteral("--devices"), QStringLiteral("3")}), qPrintable(line.errorText()));
        setTargets({&line});
        QVERIFY(testsupport::exec(QStringLiteral(
            "UPDATE Customers SET CustomerHostAddr='uuid.line.example', CustomerPort=4321 WHERE CustomerID=1")));
        QVERIFY(testsupport::fillPool(QStringLiteral("U-"), 5, 1));
        QVERIFY(testsupport::fillPool(QStringLiteral("B-"), 5, 2));
        const QString device = line.serials().at(0);
        QVERIFY(claimFor(QStringLiteral("U-0001"), 1, device));

        DeviceMng page;
        page.show();
        search(&page, 3);
        child<QComboBox>(&page, "cbxCustomer")->setCurrentIndex(1);
        for (int r = 0; r < 3; ++r)
            setChecked(&page, r, true);
        testsupport::click(child(&page, "btnMatch"));
        testsupport::click(child(&page, "btnBurn"));

        // The simulator records the request each device received.
        const auto expectForm = [&line](const QString &serial, int customer, const QString &uuid) {
            const QJsonObject d = line.device(serial);
            QCOMPARE(d.value(QStringLiteral("uuid")).toString(), uuid);
            QCOMPARE(d.value(QStringLiteral("form")).toString(),
                     customer == 1 ? QStringLiteral("umeye") : QStringLiteral("lenovo"));
            QCOMPARE(d.value(QStringLiteral("uuidKind")).toString(),
                     customer == 1 ? QStringLiteral("DeviceID") : QStringLiteral("GoolinkGID"));
            if (customer == 1) {
                QCOMPARE(d.value(QStringLiteral("hostAddr")).toString(), QStringLiteral("uuid.line.example"));
                QCOMPARE(d.value(QStringLiteral("port")).toInt(), 4321);
            }
        };
        expectForm(device, 1, QStringLiteral("U-0001"));
        for (const QString &other : line.serials().mid(1)) {
            const QString uuid = line.device(other).value(QStringLiteral("uuid")).toString();
            QVERIFY2(uuid.startsWith(QLatin1String("B-")), qPrintable(uuid));
            expectForm(other, 2, uuid);
        }
        QCOMPARE(testsupport::count(QStringLiteral("SerialNumbers WHERE IsUse=1")), 3);
    }

    void promiseHoldsOverRandomRuns()
    {
        const quint32 seed = quint32(envInt("TARNWELL_PROMISE_SEED", 7));
        const int steps = envInt("TARNWELL_PROMISE_STEPS", 12);
        QRandomGenerator random(seed);
        // A line whose first device refuses every write and whose answers come twice at
        // times, and a device that answers only after the library has given up (the write
        // took, the program cannot know).
        SimProcess line, late;
        QVERIFY2(line.start(QStringLiteral("--devices 6 --refuse 1 --duplicates 0.3 --seed %1").arg(seed).split(' ')),
                 qPrintable(line.errorText()));
        QVERIFY2(late.start(QStringLiteral("--devices 1 --delay 1900 --seed %1").arg(seed + 1000).split(' ')),
                 qPrintable(late.errorText()));
        const QList<const SimProcess *> lines{&line, &late};
        const int devices = 7;
        setTargets(lines);
        QVERIFY(testsupport::fillPool(QStringLiteral("U-"), 25, 1));
        QVERIFY(testsupport::fillPool(QStringLiteral("B-"), 25, 2));
        QSqlQuery(storeDatabase).exec(QStringLiteral("PRAGMA busy_timeout=300"));

        QHash<QString, QString> firstHeld;
        QString story = QStringLiteral("seed %1:").arg(seed);
        auto page = std::make_unique<DeviceMng>();
        page->show();
        search(page.get(), devices);
        // Every kind of step in every run, in an order and with details the seed picks.
        enum Kind {
            Burn,
            BurnStoreFails,
            Kill,
            Restart
        };
        QList<Kind> kinds;
        for (int step = 0; step < steps; ++step)
            kinds << Kind(step % 4);
        std::shuffle(kinds.begin(), kinds.end(), random);
        // Each run fails the store before a pass and after one and two writes, and kills a
        // station right at its pass and after one and two device requests.
        int storeFailures = 0, kills = 0;
        for (const Kind what : qAsConst(kinds)) {
            if (what == Burn || what == BurnStoreFails) {
                // Match and Burn: some rows ticked, a customer chosen; at times the store
                // stops taking writes before or during the pass.
                const int customer = 1 + random.bounded(2);
                child<QComboBox>(page.get(), "cbxCustomer")->setCurrentIndex(customer - 1);
                for (int row = 0; row < devices; ++row)
                    setChecked(page.get(), row, random.bounded(4) != 0);
                // The store stops taking writes before the pass (0) or after that many device writes.
                const int lockAt = what == BurnStoreFails ? storeFailures++ % 3 : -1;
                story += QStringLiteral(" burn(customer %1").arg(customer)
                    + (lockAt < 0 ? QStringLiteral(")") : QStringLiteral(", store fails after %1 writes)").arg(lockAt));
                lockTaken = false;
                if (lockAt == 0)
                    lockTaken = writeLock.take(poolFile);
                lockAfterWrites = lockAt;
                testsupport::click(child(page.get(), "btnMatch"));
                const bool ready =
                    testsupport::columnTexts(table(page.get()), 7).contains(QStringLiteral("Ready to burn"));
                const int boxes = MessageBox::shown().size();
                testsupport::click(child(page.get(), "btnBurn"));
                lockAfterWrites = -1;
                writeLock.release();
                // A store that takes no writes stops the pass with a box that says so (taken
                // later, it may meet no more writes in the pass).
                bool said = false;
                for (const MessageBox::Shown &box : MessageBox::shown().mid(boxes))
                    said = said || box.text.startsWith(QLatin1String("Burning stopped"));
                QVERIFY2(lockAt != 0 || !ready || said, qPrintable(story));
            } else if (what == Kill) {
                // A burning station of its own, killed in mid-pass: after a few device requests.
                const int after = kills++ % 3;
                story += QStringLiteral(" kill(after %1)").arg(after);
                QProcess station;
                station.setProcessChannelMode(QProcess::SeparateChannels);
                station.start(QStringLiteral(TARNWELL_BURNSTATION),
                              QStringLiteral("--devices %1 --customer %2 --rounds 1")
                                  .arg(devices)
                                  .arg(1 + random.bounded(2))
                                  .split(' '));
                QVERIFY(station.waitForStarted());
                QString out;
                QTRY_VERIFY_WITH_TIMEOUT(
                    (out += QString::fromUtf8(station.readAllStandardOutput())).contains(QLatin1String("burning"))
                        || station.state() == QProcess::NotRunning,
                    30000);
                const int before = requestsOn(lines);
                QTRY_VERIFY_WITH_TIMEOUT(requestsOn(lines) >= before + after || station.state() == QProcess::NotRunning,
                                         30000);
                station.kill();
                station.waitForFinished(10000);
                // The page's table is older than the pool now: search again.
                search(page.get(), devices);
            } else {
                // The program started again on the same pool.
                story += QStringLiteral(" restart");
                page.reset();
                closeDatabase();
                openDatabase();
                QSqlQuery(storeDatabase).exec(QStringLiteral("PRAGMA busy_timeout=300"));
                page = std::make_unique<DeviceMng>();
                page->show();
                search(page.get(), devices);
            }
            const QStringList wrong = broken(lines, &firstHeld);
            QVERIFY2(wrong.isEmpty(), qPrintable(story + QLatin1Char('\n') + wrong.join(QLatin1Char('\n'))));
        }
        // Not a run in which nothing happened.
        QVERIFY2(testsupport::count(QStringLiteral("SerialNumbers WHERE IsUse=1")) > 0, qPrintable(story));
        qInfo("%s", qPrintable(story));
    }
};

TARNWELL_TEST_MAIN(TestPromise)
#include "tst_promise.moc"
