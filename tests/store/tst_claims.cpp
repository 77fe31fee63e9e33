// The claim protocol, condition by condition: which identifier a device may take (claim),
// when a claim becomes used (mark), two stations claiming for one device at the same moment
// (a second process), the server's next-free claim with its skips and the request's length
// limit, and the usage filter of the Serial page's few-row pages at its customer limit.
// Each case reads the pool back on the test's own connection.
#include "tests/support/testsupport.h"

#include "tests/support/pgcluster.h"

#include "store/datastore.h"
#include "store/oracle.h"
#include "store/storeconnection.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <limits>
#include <memory>

Q_DECLARE_METATYPE(ClaimResult)

namespace {

using testsupport::column;
using testsupport::rows;

// One pool row for a case: "value|customer|IsUse|device" (device may be empty).
void put(const QString &row)
{
    const QStringList f = row.split(QLatin1Char('|'));
    QVERIFY(testsupport::exec(
        QStringLiteral("INSERT INTO SerialNumbers(CustomerID, SerialNumber, IsUse, DeviceType, DeviceSerialNum, szIP) "
                       "VALUES(%1, '%2', %3, '%4', '%5', '%6')")
            .arg(f.at(1), f.at(0), f.at(2), f.at(3).isEmpty() ? QString() : QStringLiteral("NVR"), f.at(3),
                 f.at(3).isEmpty() ? QString() : QStringLiteral("10.0.0.9"))));
}

QList<QVariantList> pool()
{
    return rows(QStringLiteral("SELECT SNID, SerialNumber, CustomerID, IsUse, DeviceType, DeviceSerialNum, szIP "
                               "FROM SerialNumbers ORDER BY SNID"));
}

ClaimResult claimInBatch(const QString &value, int customer, const QString &device)
{
    if (!beginBatch())
        return ClaimResult::Failed;
    const ClaimResult r = claimSerial(value, customer, device, QStringLiteral("IPC"), QStringLiteral("10.0.0.1"));
    if (!commitBatch())
        return ClaimResult::Failed;
    return r;
}

QString childProgram()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/tst_claims_child");
}

} // namespace

class TestClaims : public QObject
{
    Q_OBJECT

private slots:
    void init() { testsupport::freshDatabase(); }

    void claimTakesOnlyAFreeIdentifierForAFreeDevice_data()
    {
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<int>("customer");
        QTest::addColumn<ClaimResult>("expected");
        // Every case claims V for device D1.
        QTest::newRow("unused, the customer's own") << QStringList{"V|1|0|"} << 1 << ClaimResult::Claimed;
        QTest::newRow("unused, stored twice: moves whole")
            << QStringList{"V|1|0|", "V|1|0|"} << 1 << ClaimResult::Claimed;
        QTest::newRow("another customer's") << QStringList{"V|2|0|"} << 1 << ClaimResult::Taken;
        QTest::newRow("not in the pool") << QStringList{"W|1|0|"} << 1 << ClaimResult::Taken;
        QTest::newRow("used by another device") << QStringList{"V|1|1|D0"} << 1 << ClaimResult::Taken;
        QTest::newRow("pending for another device") << QStringList{"V|1|2|D0"} << 1 << ClaimResult::Taken;
        QTest::newRow("a copy used by another device") << QStringList{"V|1|1|D0", "V|1|0|"} << 1 << ClaimResult::Taken;
        QTest::newRow("a copy pending for another device")
            << QStringList{"V|1|0|", "V|1|2|D0"} << 1 << ClaimResult::Taken;
        QTest::newRow("device holds a used identifier")
            << QStringList{"W|1|1|D1", "V|1|0|"} << 1 << ClaimResult::DeviceHolds;
        QTest::newRow("device holds a pending identifier")
            << QStringList{"W|2|2|D1", "V|1|0|"} << 1 << ClaimResult::DeviceHolds;
        QTest::newRow("already pending for this device") << QStringList{"V|1|2|D1"} << 1 << ClaimResult::DeviceHolds;
    }

    void claimTakesOnlyAFreeIdentifierForAFreeDevice()
    {
        QFETCH(QStringList, before);
        QFETCH(int, customer);
        QFETCH(ClaimResult, expected);
        for (const QString &row : before)
            put(row);
        const QList<QVariantList> was = pool();
        QCOMPARE(claimInBatch(QStringLiteral("V"), customer, QStringLiteral("D1")), expected);
        if (expected != ClaimResult::Claimed) {
            QCOMPARE(pool(), was);
            return;
        }
        // Every copy of V is pending for D1 with the device's fields; nothing else moved.
        QCOMPARE(rows(QStringLiteral("SELECT DISTINCT IsUse, DeviceType, DeviceSerialNum, szIP FROM SerialNumbers "
                                     "WHERE SerialNumber='V'")),
                 (QList<QVariantList>{
                     {SerialPending, QStringLiteral("IPC"), QStringLiteral("D1"), QStringLiteral("10.0.0.1")}}));
        QCOMPARE(testsupport::count(QStringLiteral("SerialNumbers WHERE SerialNumber<>'V' AND IsUse=2")), 0);
        QCOMPARE(holdingOfDevice(QStringLiteral("D1")).serialNumber, QStringLiteral("V"));
        // ...and the device takes no second one.
        put(QStringLiteral("X|1|0|"));
        QCOMPARE(claimInBatch(QStringLiteral("X"), 1, QStringLiteral("D1")), ClaimResult::DeviceHolds);
    }

    void markMakesUsedOnlyWhatIsPendingForThatDevice_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<bool>("marked");
        // Every case marks V used by device D1.
        QTest::newRow("pending for this device") << "V|1|2|D1" << true;
        QTest::newRow("pending for another device") << "V|1|2|D0" << false;
        QTest::newRow("unused") << "V|1|0|" << false;
        QTest::newRow("unused, naming the device") << "V|1|0|D1" << false;
        QTest::newRow("already used by this device") << "V|1|1|D1" << false;
        QTest::newRow("not in the pool") << "W|1|2|D1" << false;
    }

    void markMakesUsedOnlyWhatIsPendingForThatDevice()
    {
        QFETCH(QString, before);
        QFETCH(bool, marked);
        put(before);
        const QList<QVariantList> was = pool();
        QVERIFY(beginBatch());
        const bool got = markSerialUsed(QStringLiteral("V"), QStringLiteral("D1"), QStringLiteral("DVR"),
                                        QStringLiteral("10.0.0.7"));
        const QString why = storeError();
        QVERIFY(commitBatch());
        // A mark that changed nothing must not say it did: the pass would show the device burnt.
        QCOMPARE(got, marked);
        if (!marked) {
            QVERIFY(!why.isEmpty());
            QCOMPARE(pool(), was);
            return;
        }
        QCOMPARE(rows(QStringLiteral("SELECT IsUse, DeviceType, DeviceSerialNum, szIP FROM SerialNumbers")),
                 (QList<QVariantList>{
                     {SerialUsed, QStringLiteral("DVR"), QStringLiteral("D1"), QStringLiteral("10.0.0.7")}}));
    }

    void twoStationsClaimingForOneDeviceOneWins()
    {
        if (!testsupport::onServer())
            QSKIP("on the file the write lock of a batch already puts claims in a row");
        put(QStringLiteral("A|1|0|"));
        put(QStringLiteral("B|1|0|"));
        // Another station, its store open (opening waits for the tables a claim holds) ...
        QProcess other;
        other.start(childProgram(),
                    {testsupport::workingDirectory(), QStringLiteral("B"), QStringLiteral("1"), QStringLiteral("D1")});
        QVERIFY2(other.waitForStarted(), qPrintable(other.errorString()));
        QTRY_VERIFY_WITH_TIMEOUT(other.canReadLine() || other.state() == QProcess::NotRunning, 60000);
        QCOMPARE(other.readLine().trimmed(), QByteArray("open"));
        // ... while this station claims A for D1 and holds its transaction open, claims B for
        // the same device. It must wait for this one (its claim would otherwise see no holding
        // yet and take a second identifier).
        QVERIFY(beginBatch());
        QCOMPARE(claimSerial(QStringLiteral("A"), 1, QStringLiteral("D1"), QStringLiteral("IPC"),
                             QStringLiteral("10.0.0.1")),
                 ClaimResult::Claimed);
        other.write("claim\n");
        const auto waiting = [] {
            return testsupport::count(QStringLiteral("pg_locks WHERE locktype='advisory' AND NOT granted")) > 0;
        };
        QTRY_VERIFY_WITH_TIMEOUT(waiting() || other.state() == QProcess::NotRunning, 60000);
        QVERIFY(commitBatch());
        QVERIFY(other.waitForFinished(60000));
        QCOMPARE(QString::fromUtf8(other.readAllStandardOutput()).trimmed(), QStringLiteral("DeviceHolds"));
        QCOMPARE(column(QStringLiteral("SELECT SerialNumber FROM SerialNumbers WHERE IsUse<>0")),
                 QStringList{QStringLiteral("A")});
    }

    void nextFreeClaimSkipsWhatIsNotFree()
    {
        if (!testsupport::onServer()) {
            // One station alone on its file: nothing to take instead.
            put(QStringLiteral("A|1|0|"));
            QString got;
            QCOMPARE(claimNextSerial(1, QStringLiteral("D1"), {}, {}, &got), ClaimResult::Taken);
            return;
        }
        const QString fits(47, QLatin1Char('F'));
        const QString tooLong(48, QLatin1Char('L'));
        // Oldest first; the newest is locked by another station's claim at this moment.
        for (const QString &row :
             QStringList{QStringLiteral("OLD|1|0|"), fits + QStringLiteral("|1|0|"), QStringLiteral("DUP|1|1|D0"),
                         tooLong + QStringLiteral("|1|0|"), QStringLiteral("DUP|1|0|"), QStringLiteral("OTHER|2|0|"),
                         QStringLiteral("LOCKED|1|0|")})
            put(row);
        QSqlDatabase other = testsupport::serverCluster()->connection(QStringLiteral("claims-other-station"));
        QVERIFY(other.open());
        QVERIFY(other.transaction());
        // Released however the test ends: a row left locked would stall every later test.
        struct Release {
            QSqlDatabase db;
            ~Release() { db.rollback(); }
        } release{other};
        QVERIFY(QSqlQuery(other).exec(
            QStringLiteral("SELECT SNID FROM SerialNumbers WHERE SerialNumber='LOCKED' FOR UPDATE")));
        // A claim that waited for the locked row would wait for that station's whole pass.
        QVERIFY(QSqlQuery(storeDatabase).exec(QStringLiteral("SET lock_timeout = '10s'")));

        const auto next = [](const QString &device, QString *got) {
            got->clear();
            if (!beginBatch())
                return ClaimResult::Failed;
            const ClaimResult r = claimNextSerial(1, device, QStringLiteral("IPC"), QStringLiteral("10.0.0.1"), got);
            return commitBatch() ? r : ClaimResult::Failed;
        };
        QString got;
        // Not the locked one, another customer's, a value used elsewhere, nor one the request
        // cannot carry (48 bytes): the 47-byte one.
        QCOMPARE(next(QStringLiteral("D1"), &got), ClaimResult::Claimed);
        QCOMPARE(got, fits);
        QCOMPARE(next(QStringLiteral("D1"), &got), ClaimResult::DeviceHolds);
        QCOMPARE(next(QStringLiteral("D2"), &got), ClaimResult::Claimed);
        QCOMPARE(got, QStringLiteral("OLD"));
        QCOMPARE(next(QStringLiteral("D3"), &got), ClaimResult::Taken);
        QVERIFY(other.rollback());
        QCOMPARE(next(QStringLiteral("D3"), &got), ClaimResult::Claimed);
        QCOMPARE(got, QStringLiteral("LOCKED"));

        QCOMPARE(column(QStringLiteral("SELECT SerialNumber || ' ' || IsUse || ' ' || DeviceSerialNum FROM "
                                       "SerialNumbers WHERE IsUse<>0 ORDER BY SNID")),
                 (QStringList{QStringLiteral("OLD 2 D2"), fits + QStringLiteral(" 2 D1"), QStringLiteral("DUP 1 D0"),
                              QStringLiteral("LOCKED 2 D3")}));
    }

    void fewRowPagesAtTheCustomerLimit_data()
    {
        QTest::addColumn<int>("customers");
        QTest::newRow("63 customers") << 63;
        QTest::newRow("64 customers, each listed") << 64;
        QTest::newRow("65 customers, one too many to list") << 65;
    }

    static QStringList keys(const QList<SerialRow> &list)
    {
        QStringList out;
        for (const SerialRow &r : list)
            out << QString::number(r.snid);
        return out;
    }

    void fewRowPagesAtTheCustomerLimit()
    {
        QFETCH(int, customers);
        QStringList names;
        for (int n = testsupport::count(QStringLiteral("Customers")); n < customers; ++n)
            names << QStringLiteral("('C%1', 0)").arg(n);
        QVERIFY(testsupport::exec(QStringLiteral("INSERT INTO Customers(CustomerName, CustomerPort) VALUES ")
                                  + names.join(QLatin1Char(','))));
        QCOMPARE(testsupport::count(QStringLiteral("Customers")), customers);
        // One row of each customer in each state, the last customers' rows newest; on the
        // file also rows of a customer id without a customer row (never shown).
        const QStringList ids = column(QStringLiteral("SELECT CustomerID FROM Customers ORDER BY CustomerID"));
        QStringList values;
        for (int use = 0; use <= 2; ++use)
            for (const QString &id : ids)
                values << QStringLiteral("(%1, 'V%1-%2', %2, 'D%3')").arg(id).arg(use).arg(use ? id : QString());
        if (!testsupport::onServer())
            values << QStringLiteral("(999, 'ORPHAN', 2, 'DX')");
        QVERIFY(testsupport::exec(
            QStringLiteral("INSERT INTO SerialNumbers(CustomerID, SerialNumber, IsUse, DeviceSerialNum) VALUES ")
            + values.join(QLatin1Char(','))));

        for (int use = 0; use <= 2; ++use) {
            const SerialFilter filter{0, use, {}};
            const QStringList designed = column(
                QStringLiteral("SELECT s.SNID FROM SerialNumbers as s JOIN Customers as c ON "
                               "c.CustomerID=s.CustomerID WHERE 1=1 %1 ORDER BY s.SNID DESC")
                    .arg(oracle::filterText(filter)));
            QCOMPARE(designed.size(), customers);
            QCOMPARE(keys(serialRowsBelow(std::numeric_limits<qint64>::max(), 1000, filter)), designed);
            QCOMPARE(keys(serialRowsAbove(0, 1000, filter)), designed);
            QCOMPARE(keys(serialRowsBelow(designed.at(9).toLongLong(), 5, filter)), designed.mid(10, 5));
        }
    }
};

TARNWELL_TEST_MAIN(TestClaims)
#include "tst_claims.moc"
