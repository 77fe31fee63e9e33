// The export: on the Serial page as an operator would (search, press Export, choose a
// file, read the box), and the export job with no widget; then the file itself,
// LibreOffice's reading of it, and the file imported back into a fresh pool.
#include "tests/support/testsupport.h"

#include "jobs/exportjob.h"
#include "jobs/importjob.h"
#include "serial/serial.h"
#include "store/datastore.h"
#include "store/storeconnection.h"
#include "widgets/messagebox.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <memory>

#include <csignal>
#include <sys/resource.h>

using testsupport::child;
using testsupport::click;

namespace {

const QSize kPageSize(1104, 656);

// The rows the Serial page lists for customer 2, in its order, as exported (none has a label).
QList<QStringList> expectedRows()
{
    QList<QStringList> out;
    for (
        const QVariantList &r : testsupport::rows(QStringLiteral(
            "SELECT s.SerialNumber, c.CustomerName, CASE s.IsUse WHEN 1 THEN 'YES' WHEN 2 THEN 'Pending' ELSE 'NO' END, "
            "ifnull(s.DeviceType,''), ifnull(s.DeviceSerialNum,''), ifnull(s.szIP,''), '' FROM SerialNumbers s "
            "JOIN Customers c ON c.CustomerID=s.CustomerID WHERE s.CustomerID=2 ORDER BY s.SNID DESC"))) {
        QStringList row;
        for (const QVariant &v : r)
            row << v.toString();
        out << row;
    }
    return out;
}

// Lines of plain CSV (no quoting needed by these rows) as cells.
QList<QStringList> csvRows(QByteArray bytes)
{
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3);
    QList<QStringList> out;
    for (const QByteArray &line : bytes.split('\n')) {
        QString text = QString::fromUtf8(line);
        if (text.endsWith(QLatin1Char('\r')))
            text.chop(1);
        if (!text.isEmpty())
            out << text.split(QLatin1Char(','));
    }
    return out;
}

const QStringList kHeader{"UUID", "Customer", "Is used", "Type", "SN.", "IP", "Label"};

} // namespace

class TestExport : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<Serial> page;

    void newPage()
    {
        page = std::make_unique<Serial>();
        page->resize(kPageSize);
        page->show();
        QVERIFY(QTest::qWaitForWindowExposed(page.get()));
    }

    // Presses Export, answers the save dialog with `path`, waits for the box.
    void runExport(const QString &path)
    {
        FileDialog::setNextFileName(path);
        const int before = MessageBox::shown().size();
        click(child<QPushButton>(page.get(), "btnExport"));
        QCOMPARE(FileDialog::calls().last().save, true);
        QCOMPARE(FileDialog::calls().last().filter, QStringLiteral("CSV files (*.csv);;Excel workbooks (*.xlsx)"));
        QTRY_VERIFY_WITH_TIMEOUT(MessageBox::shown().size() > before, 60000);
        QVERIFY(!child<QDialog>(page.get(), "Loading")->isVisible());
    }

    // `path` imported by the job into a fresh pool for customer 2 gives `sent` back,
    // `stated` of them used or pending with their devices.
    void importedBack(const QString &path, QList<QStringList> sent, qint64 stated)
    {
        page.reset();
        testsupport::freshDatabase();
        jobs::ImportListener importing;
        const jobs::ImportResult in = jobs::ImportJob(path, 2, jobs::ImportJob::kindOf(path)).run(importing);
        QCOMPARE(in.outcome, jobs::ImportResult::Outcome::Completed);
        QCOMPARE(in.succeeded, qint64(sent.size()));
        QCOMPARE(in.failed, qint64(0));
        QCOMPARE(in.stated.cameIn, stated);
        QList<QStringList> back = expectedRows();
        std::sort(back.begin(), back.end());
        std::sort(sent.begin(), sent.end());
        QCOMPARE(back, sent);
    }

private slots:
    void init()
    {
        testsupport::freshDatabase();
        MessageBox::clear();
        FileDialog::clear();
        newPage();
    }

    void cleanup() { page.reset(); }

    // Every row of the search, all pages (more rows than the store reads in one chunk),
    // in the page's order, with a header row; the XLSX as LibreOffice reads it; both
    // imported into a fresh pool give the same rows: unused ones unused, used and pending
    // ones with their devices.
    void roundTrip_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("csv") << "pool.csv";
        QTest::newRow("xlsx") << "pool.xlsx";
    }
    void roundTrip()
    {
        QFETCH(QString, name);
        QVERIFY(testsupport::fillPool(QStringLiteral("U-"), 300, 1));
        QVERIFY(testsupport::fillPool(QStringLiteral("B-"), 20700, 2));
        QVERIFY(testsupport::fillPool(QStringLiteral("C-"), 5300, 2, true, QStringLiteral("IPC")));
        QVERIFY(testsupport::exec(QStringLiteral("UPDATE SerialNumbers SET IsUse=2 WHERE SerialNumber LIKE 'C-1%'")));
        testsupport::chooseText(child<QComboBox>(page.get(), "cbxCustomer"), QStringLiteral("Brisvan"));
        click(child<QPushButton>(page.get(), "btnSearch"));
        const QList<QStringList> expected = expectedRows();
        QCOMPARE(expected.size(), 26000);

        const QString path = QDir::current().absoluteFilePath(name);
        runExport(path);
        const MessageBox::Shown box = MessageBox::last();
        QCOMPARE(box.kind, MessageBox::Information);
        QCOMPARE(box.text, QStringLiteral("26000 serial numbers were exported to %1.").arg(path));
        QCOMPARE(testsupport::count(QStringLiteral("Logs WHERE LogType='Export serial number' AND LogDescribe="
                                                   "'Export 26000 serial numbers to %1'")
                                        .arg(name)),
                 1);

        QList<QStringList> written;
        if (name.endsWith(QLatin1String(".csv"))) {
            const QByteArray bytes = testsupport::readFile(path);
            QVERIFY(bytes.startsWith("\xEF\xBB\xBF"
                                     "UUID,Customer,Is used,Type,SN.,IP,Label\r\n"));
            written = csvRows(bytes);
        } else {
            // LibreOffice reads the workbook and writes it out again as CSV.
            const QString office = QStandardPaths::findExecutable(QStringLiteral("libreoffice"));
            QVERIFY2(!office.isEmpty(), "LibreOffice (libreoffice-calc-nogui) is needed to read the XLSX back");
            QTemporaryDir profile;
            QProcess lo;
            lo.start(office,
                     {QStringLiteral("--headless"), QStringLiteral("-env:UserInstallation=file://") + profile.path(),
                      QStringLiteral("--convert-to"), QStringLiteral("csv"), QStringLiteral("--outdir"),
                      QDir::currentPath() + QStringLiteral("/lo"), path});
            QVERIFY(lo.waitForFinished(300000));
            written = csvRows(testsupport::readFile(QStringLiteral("lo/pool.csv")));
        }
        QCOMPARE(written.value(0), kHeader);
        QCOMPARE(written.mid(1), expected);

        importedBack(path, expected, 5300);
    }

    // Cells a spreadsheet would run (identifiers from customers' files, device fields from
    // the network) stay text when LibreOffice opens the CSV with formulas evaluated, and
    // our import of the export gives the same values back.
    void formulaCellsStayText()
    {
        const QStringList values{"=1+1",
                                 "+1",
                                 "-1",
                                 "@SUM(A1)",
                                 "=cmd|' /C calc'!A0",
                                 "\t=2+2",
                                 "\r=3+3",
                                 "'=4+4",
                                 "''=5+5",
                                 "a\rlone CR",
                                 "=HYPERLINK(\"http://127.0.0.1/\",\"x\")"};
        NewSerialsTally stored;
        QVERIFY(beginBatch());
        QVERIFY(storeNewSerials(values, 2, &stored));
        QVERIFY(commitBatch());
        QCOMPARE(stored.stored, qint64(values.size()));
        // One used row whose device fields are formulas too.
        QSqlQuery q(storeDatabase);
        QVERIFY(q.prepare(QStringLiteral(
            "UPDATE SerialNumbers SET IsUse=1, DeviceType=?, DeviceSerialNum=?, szIP=? WHERE SerialNumber=?")));
        q.addBindValue(QStringLiteral("=6+6"));
        q.addBindValue(QStringLiteral("+DEV-1"));
        q.addBindValue(QStringLiteral("@10.0.0.1"));
        q.addBindValue(QStringLiteral("=1+1"));
        QVERIFY(q.exec());
        q.finish();
        const QList<QStringList> before = expectedRows();

        // The export job, with no widget, of the whole pool.
        const QString path = QDir::current().absoluteFilePath(QStringLiteral("formulas.csv"));
        jobs::ExportListener quiet;
        const jobs::ExportResult out =
            jobs::ExportJob(path, TableWriter::Format::Csv, jobs::ExportJob::Filter()).run(quiet);
        QVERIFY2(out.ok && out.logged, qPrintable(out.failure));
        QCOMPARE(out.written, qint64(values.size()));

        // LibreOffice with formula evaluation on (CSV filter option 13), written out as flat ODS.
        const QString office = QStandardPaths::findExecutable(QStringLiteral("soffice"));
        QVERIFY2(!office.isEmpty(), "LibreOffice (libreoffice-calc-nogui) is needed to open the CSV");
        QTemporaryDir profile;
        QProcess lo;
        lo.start(office,
                 {QStringLiteral("--headless"), QStringLiteral("-env:UserInstallation=file://") + profile.path(),
                  QStringLiteral("--infilter=CSV:44,34,76,1,,0,false,true,false,false,false,-1,true"),
                  QStringLiteral("--convert-to"), QStringLiteral("fods"), QStringLiteral("--outdir"),
                  QDir::currentPath() + QStringLiteral("/lo"), path});
        QVERIFY(lo.waitForFinished(300000));
        const QByteArray sheet = testsupport::readFile(QStringLiteral("lo/formulas.fods"));
        QVERIFY2(sheet.contains("=1+1"), "LibreOffice wrote no sheet");
        QVERIFY2(!sheet.contains("table:formula="), sheet.mid(sheet.indexOf("table:formula="), 80).constData());

        importedBack(path, before, 1);
    }

    // A name without a known suffix takes the chosen type's; cancelling writes nothing.
    void suffixAndCancel()
    {
        QVERIFY(testsupport::fillPool(QStringLiteral("S-"), 3, 2));
        runExport(QDir::current().absoluteFilePath(QStringLiteral("plain")));
        QVERIFY(QFileInfo::exists(QStringLiteral("plain.csv")));
        click(child<QPushButton>(page.get(), "btnExport")); // no name queued: the dialog was cancelled
        QCOMPARE(MessageBox::shown().size(), 1);
    }

    // A failure to write says so and leaves nothing under the chosen name: a folder that
    // does not exist, a folder in the way, and a write that fails part-way (the file size
    // limit of the process stands in for a full disk).
    void failures_data()
    {
        QTest::addColumn<QString>("name");
        for (const char *name : {"missing/pool.csv", "inway.xlsx", "old.csv", "old.xlsx"})
            QTest::newRow(name) << name;
    }
    void failures()
    {
        QFETCH(QString, name);
        QVERIFY(testsupport::fillPool(QStringLiteral("F-"), 30000, 2, true, QStringLiteral("NVR")));
        const bool full = name.startsWith(QLatin1String("old"));
        if (name == QLatin1String("inway.xlsx"))
            QVERIFY(QDir().mkpath(QStringLiteral("inway.xlsx/inside")));
        if (full)
            QVERIFY(!testsupport::writeFile(name, "OLD").isEmpty());
        const QString path = QDir::current().absoluteFilePath(name);

        rlimit saved{};
        if (full) {
            // No file may grow past 256 KiB. The database is larger already, but the log
            // row goes into its first pages (the log table was made first), so only the
            // export runs into the limit.
            std::signal(SIGXFSZ, SIG_IGN);
            getrlimit(RLIMIT_FSIZE, &saved);
            rlimit small = saved;
            small.rlim_cur = 256 << 10;
            setrlimit(RLIMIT_FSIZE, &small);
        }
        runExport(path);
        if (full)
            setrlimit(RLIMIT_FSIZE, &saved);

        const MessageBox::Shown box = MessageBox::last();
        QCOMPARE(box.kind, MessageBox::Critical);
        QCOMPARE(box.title, QStringLiteral("Error"));
        QVERIFY2(box.text.startsWith(QStringLiteral("The export to %1 failed: ").arg(path))
                     && box.text.endsWith(QLatin1String("\nNothing was written under that name.")),
                 qPrintable(box.text));
        if (full)
            QCOMPARE(testsupport::readFile(path), QByteArray("OLD"));
        else if (name == QLatin1String("inway.xlsx"))
            QVERIFY(QFileInfo(path).isDir());
        else
            QVERIFY(!QFileInfo::exists(path));
        // No temporary file left beside it.
        const QStringList left = QDir(QFileInfo(path).absolutePath())
                                     .entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot)
                                     .filter(QFileInfo(path).fileName() + QLatin1Char('.'));
        QVERIFY2(left.isEmpty(), qPrintable(left.join(QLatin1Char(' '))));
        QCOMPARE(testsupport::count(QStringLiteral("Logs WHERE LogType='Export serial number' AND LogDescribe LIKE "
                                                   "'Export to %1 failed: %'")
                                        .arg(QFileInfo(path).fileName())),
                 1);
    }
};

TARNWELL_TEST_MAIN(TestExport)
#include "tst_export.moc"
