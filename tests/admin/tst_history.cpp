// The history of an identifier and of a device: an import's batch (its file, hash and
// counts) named by every identifier it stored and kept through Delete, events from two
// stations in the order recorded, the pool row of an identifier no event tells of, and
// the same history through tarnwell-admin history and the Serial page's History dialog.
#include "tests/support/testsupport.h"

#include "jobs/importjob.h"
#include "serial/batchesdlg.h"
#include "serial/historydlg.h"
#include "serial/serial.h"
#include "store/datastore.h"
#include "store/storesettings.h"
#include "widgets/messagebox.h"

#include <QCryptographicHash>
#include <QDir>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>

namespace {

using testsupport::click;
using testsupport::value;

// The store reopened as another station, with another person signed in.
void actAs(const QString &station, const QString &person)
{
    StoreSettings settings = StoreSettings::load();
    settings.station = station;
    closeDatabase();
    openDatabase(settings);
    QVERIFY2(storeSchemaProblem() == SchemaProblem::None, qPrintable(storeError()));
    testsupport::signInAs(Role::Supervisor, 7, person);
}

void record(SerialEventKind kind, const QString &serial, const QString &device, const QString &detail = {},
            const QString &related = {})
{
    QVERIFY2(recordSerialEvent({kind, serial, device, detail, related}), qPrintable(storeError()));
}

QList<HistoryEntry> historyOf(const QString &value)
{
    QList<HistoryEntry> entries;
    const bool read = serialHistory(value, &entries);
    if (read)
        return entries;
    HistoryEntry failed;
    failed.detail = QStringLiteral("read failed: ") + storeError();
    return {failed};
}

// kind|station|person|identifier|device|detail of each entry.
QStringList lines(const QList<HistoryEntry> &entries)
{
    QStringList out;
    for (const HistoryEntry &e : entries)
        out << QStringLiteral("%1|%2|%3|%4|%5|%6")
                   .arg(int(e.kind))
                   .arg(e.station, e.person, e.serialNumber, e.deviceSerialNum, e.detail + e.related);
    return out;
}

struct Ran {
    int exitCode = -1;
    QStringList out;
    QString err;
};

Ran admin(const QStringList &args, const QString &folder = QString())
{
    QProcess p;
    if (!folder.isEmpty())
        p.setWorkingDirectory(folder);
    p.start(QStringLiteral(TARNWELL_ADMIN), args);
    const bool ended = p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit;
    return {ended ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts),
            QString::fromUtf8(p.readAllStandardError())};
}

const char kFile[] = "<r><x><v>U1</v><v>U2</v><v>U1</v><v>U3</v></x></r>";

} // namespace

class TestHistory : public QObject
{
    Q_OBJECT

    QString importStation;
    qint64 batchId = 0;

private slots:
    // Every case starts from one import of U1, U2, U3 (U1 twice) as the station's administrator.
    void init()
    {
        testsupport::freshDatabase();
        importStation = stationName();
        const QString path = testsupport::writeFile(QStringLiteral("batch-7.xml"), kFile);
        struct : jobs::ImportListener {
        } listener;
        const jobs::ImportResult result = jobs::ImportJob(path, 2, jobs::ImportJob::Kind::Xml).run(listener);
        QCOMPARE(result.outcome, jobs::ImportResult::Outcome::Completed);
        QCOMPARE(result.succeeded, 3);
        batchId = value(QStringLiteral("SELECT MAX(BatchID) FROM ImportBatches")).toLongLong();
        QVERIFY(batchId > 0);
    }
    void cleanup() { testsupport::signInAs(Role::Administrator); }

    void importRecordsItsBatch()
    {
        const QString hash = QString::fromLatin1(QCryptographicHash::hash(kFile, QCryptographicHash::Sha256).toHex());
        QCOMPARE(testsupport::rows(QStringLiteral("SELECT FileName, FileHash, CustomerID, BatchStation, BatchUser, "
                                                  "Stored, Refused FROM ImportBatches")),
                 (QList<QVariantList>{
                     {QStringLiteral("batch-7.xml"), hash, 2, importStation, QStringLiteral("admin"), 3, 1}}));
        QCOMPARE(testsupport::count(QStringLiteral("SerialNumbers WHERE BatchID = %1").arg(batchId)), 3);
    }

    // What became of a batch's identifiers adds up to what it stored, through claims, marks
    // and deletes, from the counts kept per batch; a row that names the batch without the
    // import having stored it breaks the sum, and tarnwell-admin batches says so. The same
    // file imported again is found by its hash.
    void batchesReconcile()
    {
        QVERIFY(beginBatch());
        QCOMPARE(claimSerial(QStringLiteral("U1"), 2, QStringLiteral("DEV-1"), QStringLiteral("IPC"), {}),
                 ClaimResult::Claimed);
        QCOMPARE(claimSerial(QStringLiteral("U2"), 2, QStringLiteral("DEV-2"), QStringLiteral("IPC"), {}),
                 ClaimResult::Claimed);
        QVERIFY(markSerialUsed(QStringLiteral("U1"), QStringLiteral("DEV-1"), QStringLiteral("IPC"), {}));
        QVERIFY(commitBatch());
        QVERIFY(deleteSerial(QStringLiteral("U3")));
        QList<BatchReport> found;
        QVERIFY(importBatches(&found));
        QCOMPARE(found.size(), 1);
        const BatchReport b = found.first();
        QCOMPARE((QList<qint64>{b.stored, b.refused, b.unused, b.pending, b.used, b.deleted}),
                 (QList<qint64>{3, 1, 0, 1, 1, 1}));
        QVERIFY(b.reconciles());
        const QString folder = QDir::currentPath();
        closeDatabase();
        Ran r = admin({QStringLiteral("batches")}, folder);
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out.size(), 2);
        QVERIFY2(r.out.at(1).contains(QLatin1String(" yes ")) && r.out.at(1).contains(QLatin1String("batch-7.xml")),
                 qPrintable(r.out.join('\n')));

        openDatabase();
        QVERIFY(testsupport::exec(
            QStringLiteral(
                "INSERT INTO SerialNumbers (CustomerID, SerialNumber, IsUse, BatchID) VALUES (2, 'X1', 0, %1)")
                .arg(batchId)));
        closeDatabase();
        r = admin({QStringLiteral("batches")}, folder);
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.out.value(1).contains(QLatin1String("NO (4 accounted)")), qPrintable(r.out.join('\n')));

        openDatabase();
        const QString path = testsupport::writeFile(QStringLiteral("again.xml"), kFile);
        struct : jobs::ImportListener {
        } listener;
        QCOMPARE(jobs::ImportJob(path, 2, jobs::ImportJob::Kind::Xml).run(listener).succeeded, 0);
        QVERIFY(importBatches(&found, b.fileHash));
        QCOMPARE(found.size(), 2);
        QCOMPARE(found.first().fileName, QStringLiteral("again.xml"));
    }

    // An export's used rows come in with their device, named by the batch of their file.
    void statedRowsNameTheirBatch()
    {
        const QString path = testsupport::writeFile(
            QStringLiteral("pool.csv"), "UUID,Customer,Is used,Type,SN.,IP\r\nT-1,UMEYE,YES,NVR,D-1,10.0.0.1\r\n");
        struct : jobs::ImportListener {
        } listener;
        QCOMPARE(jobs::ImportJob(path, 1, jobs::ImportJob::Kind::Csv).run(listener).succeeded, 1);
        QCOMPARE(lines(historyOf(QStringLiteral("D-1"))), QStringList{"0|||T-1|D-1|"});
        QCOMPARE(lines(historyOf(QStringLiteral("T-1"))),
                 (QStringList{QStringLiteral("1|%1|admin|T-1||pool.csv").arg(importStation), "0|||T-1|D-1|"}));
    }

    // Claimed on A and never confirmed there, burnt again on B, then replaced: the history of
    // the identifier and of its device, every event with its station and person, in order.
    void identifierClaimedReburntAndReplaced()
    {
        actAs(QStringLiteral("station-A"), QStringLiteral("alice"));
        QVERIFY(beginBatch());
        QCOMPARE(claimSerial(QStringLiteral("U1"), 2, QStringLiteral("DEV-1"), QStringLiteral("IPC"),
                             QStringLiteral("10.0.0.1")),
                 ClaimResult::Claimed);
        record(SerialEventKind::Claimed, QStringLiteral("U1"), QStringLiteral("DEV-1"));
        QVERIFY(commitBatch());
        record(SerialEventKind::NotConfirmed, QStringLiteral("U1"), QStringLiteral("DEV-1"), QStringLiteral("none"));
        actAs(QStringLiteral("station-B"), QStringLiteral("bob"));
        record(SerialEventKind::Written, QStringLiteral("U1"), QStringLiteral("DEV-1"));
        record(SerialEventKind::Confirmed, QStringLiteral("U1"), QStringLiteral("DEV-1"));
        record(SerialEventKind::Voided, QStringLiteral("U1"), QStringLiteral("DEV-1"), QStringLiteral("label torn"),
               QStringLiteral("U2"));
        record(SerialEventKind::Replacement, QStringLiteral("U2"), QStringLiteral("DEV-1"), QString(),
               QStringLiteral("U1"));
        // Another identifier's events stay out of U1's history.
        record(SerialEventKind::Claimed, QStringLiteral("U3"), QStringLiteral("DEV-3"));

        const QString imported = QStringLiteral("1|%1|admin|U1||batch-7.xml").arg(importStation);
        const QStringList ofDevice{
            "2|station-A|alice|U1|DEV-1|", "6|station-A|alice|U1|DEV-1|none",       "3|station-B|bob|U1|DEV-1|",
            "5|station-B|bob|U1|DEV-1|",   "8|station-B|bob|U1|DEV-1|label tornU2", "14|station-B|bob|U2|DEV-1|U1"};
        QCOMPARE(lines(historyOf(QStringLiteral("U1"))), QStringList{imported} + ofDevice.mid(0, 5));
        QCOMPARE(lines(historyOf(QStringLiteral("DEV-1"))), ofDevice);

        const Ran ran = admin({QStringLiteral("history"), QStringLiteral("U1")});
        QCOMPARE(ran.exitCode, 0);
        QCOMPARE(ran.out.size(), 7); // the header and six entries
        const QStringList words{"imported", "claimed", "not confirmed", "written", "confirmed", "voided"};
        for (int i = 0; i < words.size(); ++i)
            QVERIFY2(ran.out.at(i + 1).contains(QStringLiteral("  %1  ").arg(words.at(i))),
                     qPrintable(ran.out.at(i + 1)));
        QVERIFY(ran.out.at(2).contains(QRegularExpression(QStringLiteral("station-A +alice "))));
        QVERIFY(ran.out.at(6).contains(QStringLiteral("replaced by U2: label torn")));
        // Aligned: every line's event column starts at the same place.
        const int at = ran.out.at(0).indexOf(QStringLiteral("EVENT"));
        for (int i = 0; i < words.size(); ++i)
            QCOMPARE(ran.out.at(i + 1).indexOf(words.at(i)), at);
    }

    // Deleting retires with the batch and tells of it once; the file stays known.
    void deleteKeepsTheBatch()
    {
        actAs(QStringLiteral("station-A"), QStringLiteral("alice"));
        QVERIFY(deleteSerial(QStringLiteral("U3")));
        QVERIFY(deleteSerial(QStringLiteral("U3"))); // already retired: nothing more happens
        QCOMPARE(value(QStringLiteral("SELECT BatchID FROM RetiredSerials WHERE SerialNumber = 'U3'")).toLongLong(),
                 batchId);
        QCOMPARE(lines(historyOf(QStringLiteral("U3"))),
                 (QStringList{QStringLiteral("1|%1|admin|U3||batch-7.xml").arg(importStation),
                              "10|station-A|alice|U3||"}));
    }

    // Rows from before events were kept show their state; what the pool never held is unknown.
    void poolRowWithoutEvents()
    {
        QVERIFY(testsupport::fillPool(QStringLiteral("OLD"), 1, 1, true, QStringLiteral("NVR")));
        const QList<HistoryEntry> ofSerial = historyOf(QStringLiteral("OLD0001"));
        QCOMPARE(lines(ofSerial), QStringList{"0|||OLD0001|DEVOLD0001|"});
        QCOMPARE(ofSerial.at(0).isUse, int(SerialUsed));
        QCOMPARE(lines(historyOf(QStringLiteral("DEVOLD0001"))), lines(ofSerial));
        QVERIFY(historyOf(QStringLiteral("NEVER")).isEmpty());
        QCOMPARE(lines(historyOf(QStringLiteral("U2"))),
                 (QStringList{QStringLiteral("1|%1|admin|U2||batch-7.xml").arg(importStation), "0|||U2||"}));
    }

    void adminExitCodes()
    {
        QCOMPARE(admin({QStringLiteral("history"), QStringLiteral("U2")}).exitCode, 0);
        const Ran unknown = admin({QStringLiteral("history"), QStringLiteral("NEVER")});
        QCOMPARE(unknown.exitCode, 1);
        QVERIFY(unknown.out.isEmpty());
        QVERIFY(unknown.err.contains(QStringLiteral("nothing is known of NEVER")));
        // A file that is no pool: the history cannot be read.
        const QString broken = QDir(testsupport::workingDirectory()).absoluteFilePath(QStringLiteral("broken"));
        QVERIFY(!testsupport::writeFile(QStringLiteral("broken/mydatabase.db"), QByteArray(4096, 'x')).isEmpty());
        const Ran failed = admin({QStringLiteral("history"), QStringLiteral("U2")}, broken);
        QCOMPARE(failed.exitCode, 2);
        QVERIFY2(failed.err.startsWith(QStringLiteral("tarnwell-admin: ")), qPrintable(failed.err));
        QCOMPARE(admin({QStringLiteral("history")}).exitCode, 2);
    }

    void serialPageOpensTheHistory()
    {
        record(SerialEventKind::Claimed, QStringLiteral("U2"), QStringLiteral("DEV-2"));
        Serial page;
        page.resize(1104, 656);
        page.show();
        auto *table = testsupport::child<QTableWidget>(&page, "tableWidget");
        QTRY_COMPARE(testsupport::cellText(table, 1, 1), QStringLiteral("U2"));
        auto *button = testsupport::child(&page, "btnHistory");
        MessageBox::clear();
        click(button);
        QCOMPARE(MessageBox::shown().size(), 1); // nothing selected: told so, nothing opened
        QVERIFY(!page.findChild<HistoryDlg *>());

        table->setCurrentCell(1, 1);
        click(button);
        auto *dialog = page.findChild<HistoryDlg *>();
        QVERIFY(dialog && dialog->isVisible() && dialog->loaded());
        auto *history = testsupport::child<QTableWidget>(dialog, "tableHistory");
        QCOMPARE(history->horizontalHeaderItem(3)->text(), QStringLiteral("Event"));
        QCOMPARE(testsupport::columnTexts(history, 3), (QStringList{"imported", "claimed"}));
        QCOMPARE(testsupport::columnTexts(history, 5), (QStringList{"", "DEV-2"}));
        QCOMPARE(testsupport::cellText(history, 0, 6), QStringLiteral("batch-7.xml"));

        // The batch's figures as tarnwell-admin batches gives them, in the page's dialog.
        click(testsupport::child(&page, "btnBatches"));
        auto *batches = page.findChild<BatchesDlg *>();
        QVERIFY(batches && batches->isVisible() && batches->loaded());
        auto *rows = testsupport::child<QTableWidget>(batches, "tableBatches");
        QCOMPARE(rows->rowCount(), 1);
        QStringList cells;
        for (int col = 5; col <= 15; col += 1)
            cells << testsupport::cellText(rows, 0, col);
        QCOMPARE(cells.mid(0, 10), (QStringList{"3", "1", "3", "0", "0", "0", "0", "0", "yes", "batch-7.xml"}));
    }
};

TARNWELL_TEST_MAIN(TestHistory)
#include "tst_history.moc"
