// A customer's stock against its low-pool warning: one "Low pool" log row per crossing for
// the whole line, whichever station finds it first; armed again once the stock is back;
// stations that find it at the same moment write one row between them.
#include "tests/support/testsupport.h"

#include "jobs/importjob.h"
#include "jobs/stockwatch.h"
#include "store/datastore.h"
#include "store/storesettings.h"

#include <QThread>
#include <memory>
#include <vector>

namespace {

void addUnused(int from, int n)
{
    for (int i = from; i < from + n; ++i)
        QVERIFY(testsupport::exec(
            QStringLiteral("INSERT INTO SerialNumbers (CustomerID, SerialNumber, IsUse) VALUES (2, 'S%1', 0)").arg(i)));
}

void claim(int from, int n)
{
    QVERIFY(beginBatch());
    for (int i = from; i < from + n; ++i)
        QCOMPARE(claimSerial(QStringLiteral("S%1").arg(i), 2, QStringLiteral("D%1").arg(i), QStringLiteral("IPC"), {}),
                 ClaimResult::Claimed);
    QVERIFY(commitBatch());
}

QStringList lowPoolRows()
{
    return testsupport::column(
        QStringLiteral("SELECT LogStation || ' ' || LogDescribe FROM Logs WHERE LogType='Low pool' ORDER BY LogID"));
}

void actAs(const QString &station)
{
    StoreSettings settings = StoreSettings::load();
    settings.station = station;
    closeDatabase();
    openDatabase(settings);
    QVERIFY2(storeSchemaProblem() == SchemaProblem::None, qPrintable(storeError()));
}

} // namespace

class TestStock : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        testsupport::freshDatabase();
        addUnused(1, 6);
        CustomerRules rules;
        rules.warnBelow = 4;
        QVERIFY(setCustomerRules(2, rules));
    }

    void oneRowPerCrossing()
    {
        PoolStock stock;
        QVERIFY(poolStock(2, &stock));
        QCOMPARE((QList<qint64>{stock.unused, stock.pending, stock.warnBelow}), (QList<qint64>{6, 0, 4}));
        QCOMPARE(jobs::StockWatch::note(2), LowPoolNote::Fine);
        claim(1, 2); // 4 left: at the warning, not below
        QCOMPARE(jobs::StockWatch::note(2), LowPoolNote::Fine);
        claim(3, 1);
        const QString first = stationName();
        QCOMPARE(jobs::StockWatch::note(2), LowPoolNote::NewlyLow);
        QCOMPARE(jobs::StockWatch::note(2), LowPoolNote::Low);
        actAs(QStringLiteral("station-B"));
        QCOMPARE(jobs::StockWatch::note(2), LowPoolNote::Low);
        QCOMPARE(lowPoolRows(), QStringList{first + QStringLiteral(" Low pool: Brisvan 3 unused")});
        QVERIFY(poolStock(2, &stock) && stock.low() && stock.pending == 3);

        // An import brings the stock back above (6 unused) and arms the warning again.
        struct : jobs::ImportListener {
        } listener;
        const QString file = testsupport::writeFile(QStringLiteral("more.xml"),
                                                    "<r><x><v>S7</v><v>S8</v><v>S9</v></x></r>");
        testsupport::signInAs(Role::Administrator);
        QCOMPARE(jobs::ImportJob(file, 2, jobs::ImportJob::Kind::Xml).run(listener).succeeded, 3);
        claim(7, 3);
        QCOMPARE(jobs::StockWatch::note(2), LowPoolNote::NewlyLow);
        QCOMPARE(lowPoolRows().size(), 2);
        QVERIFY(lowPoolRows().last().endsWith(QLatin1String("Low pool: Brisvan 3 unused")));
    }

    // Four stations' connections find the shortage together: one writes the row.
    void racingStationsWriteOneRow()
    {
        claim(1, 3);
        constexpr int kStations = 4;
        std::vector<LowPoolNote> notes(kStations, LowPoolNote::Failed);
        std::vector<std::unique_ptr<QThread>> threads;
        for (int i = 0; i < kStations; ++i)
            threads.emplace_back(QThread::create([&notes, i] {
                if (!openStoreForThisThread())
                    return;
                for (int tries = 0; tries < 50 && notes[i] == LowPoolNote::Failed; ++tries)
                    notes[i] = jobs::StockWatch::note(2); // the file's writers may find it locked
                closeStoreForThisThread();
            }));
        for (auto &t : threads)
            t->start();
        for (auto &t : threads)
            QVERIFY(t->wait(60000));
        QCOMPARE(std::count(notes.begin(), notes.end(), LowPoolNote::NewlyLow), 1L);
        QCOMPARE(std::count(notes.begin(), notes.end(), LowPoolNote::Low), long(kStations - 1));
        QCOMPARE(lowPoolRows().size(), 1);
    }
};

TARNWELL_TEST_MAIN(TestStock)
#include "tst_stock.moc"
