// Export speed over a pool of any size, and what hostile files cost the import's readers.
//
// Part 1 fills a pool (60 % used, as bench_scale's), presses Export on the Serial page for
// CSV and XLSX (the 200 ms start delay of the busy dialog is taken off), and prints the
// times beside:
//  - forEachSerial alone: the store's streaming read the export is built on;
//  - the sqlite3 shell writing the same rows as CSV (.once): the floor of SQLite itself.
// Part 2 makes small hostile files and reads each with its reader, printing the wall time
// and the growth of the peak resident memory (VmHWM, reset before each case).
//
// With --labels every used row has a printed label, and one in a hundred a second copy
// waiting, so the export's Label column reads real rows.
//
//   bench_export [--rows N] [--labels]   (TARNWELL_BENCH_ROWS, default 1000000)
#include "bench/support/benchsupport.h"
#include "formats/csvimport.h"
#include "formats/xmlimport.h"
#include "serial/serial.h"
#include "store/datastore.h"
#include "store/storeconnection.h"
#include "tests/import/xlsxfile.h"
#include "widgets/messagebox.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdio>

#include <malloc.h>

namespace {

const int kBusyDelayMs = 200;

// The one place the benchmark starts an export: the page's Export button with the file
// name answered, until the result box appears; seconds without the busy dialog's delay.
double exportThroughPage(QWidget *page, const QString &path)
{
    FileDialog::setNextFileName(path);
    const int before = MessageBox::shown().size();
    QElapsedTimer t;
    t.start();
    bench::child<QPushButton>(page, "btnExport")->click();
    while (MessageBox::shown().size() == before)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    const double s = (t.elapsed() - kBusyDelayMs) / 1000.0;
    std::printf("  (%s)\n", qPrintable(MessageBox::last().text.section(QLatin1Char('\n'), 0, 0)));
    return s;
}

class Count : public ValueSink
{
public:
    bool value(const QString &) override
    {
        ++n;
        return true;
    }
    bool emptyValues(qint64 count) override
    {
        n += count;
        return true;
    }
    qint64 n = 0;
};

QString readWorkbook(const QString &path)
{
    std::unique_ptr<WorkbookReader> r = WorkbookReader::forFile(path);
    if (!r || !r->open(path))
        return QStringLiteral("refused: ") + (r ? r->errorText() : QStringLiteral("not a workbook"));
    Count c;
    for (int s = 0; s < r->sheetCount(); ++s)
        if (!r->readValues(s, c))
            return QStringLiteral("refused: ") + r->errorText();
    return QStringLiteral("%1 sheet(s), %2 values").arg(r->sheetCount()).arg(c.n);
}

void hostile(const char *what, const QString &path, const std::function<QString()> &read)
{
    // Freed memory goes back to the system first, so growth is this case's own.
    malloc_trim(0);
    const qint64 rssBefore = bench::residentKb();
    bench::resetPeak();
    QElapsedTimer t;
    t.start();
    const QString result = read();
    const double s = t.elapsed() / 1000.0;
    const qint64 grown = bench::peakResidentKb() - rssBefore;
    std::printf("| %s | %.1f MB | %.3f | %.1f | %s |\n", what, QFileInfo(path).size() / 1e6, s, grown / 1024.0,
                qPrintable(result));
}

QByteArray le16(int v)
{
    return QByteArray(1, char(v & 0xFF)) + char((v >> 8) & 0xFF);
}
QByteArray le32(quint32 v)
{
    return le16(int(v & 0xFFFF)) + le16(int(v >> 16));
}
QByteArray rec(int type, const QByteArray &body)
{
    return le16(type) + le16(body.size()) + body;
}

} // namespace

int main(int argc, char *argv[])
{
    bench::quietRuntimeDir();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    bench::quietPlatform();
    const qint64 rows = bench::sizeOption(app.arguments(), QStringLiteral("--rows"), "TARNWELL_BENCH_ROWS", 1000000);
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    MessageBox::setScripted(true);
    openDatabase();
    closeDatabase();
    {
        QSqlDatabase db = bench::openFile(dir.filePath(QStringLiteral("mydatabase.db")), QStringLiteral("bench-fill"));
        const bool labels = bench::hasFlag(app.arguments(), QStringLiteral("--labels"));
        if (!bench::exec(db, QStringLiteral("BEGIN")) || !bench::fillPool(db, bench::Engine::SQLite, rows)
            || (labels
                && (!bench::exec(db,
                                 QStringLiteral("INSERT INTO Labels (SerialNumber, DeviceSerialNum, LabelCopy, "
                                                "LabelState, DueDate, LabelStation, LabelPrinter, PrintedDate) "
                                                "SELECT SerialNumber, DeviceSerialNum, 1, 2, '2026-01-01 00:00:00', "
                                                "'bench', 'pdf:labels', '2026-01-01 00:00:01' FROM SerialNumbers "
                                                "WHERE IsUse=1"))
                    || !bench::exec(db,
                                    QStringLiteral("INSERT INTO Labels (SerialNumber, DeviceSerialNum, LabelCopy, "
                                                   "LabelState, LabelReason, DueDate, LabelStation) SELECT "
                                                   "SerialNumber, DeviceSerialNum, 2, 0, 'torn', "
                                                   "'2026-01-01 00:00:02', 'bench' FROM SerialNumbers WHERE "
                                                   "IsUse=1 AND SNID % 100 = 0"))))
            || !bench::exec(db, QStringLiteral("COMMIT")))
            return 1;
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-fill"));
    openDatabase();
    bench::say("Part 1: export of %lld rows%s; load average %.2f\n", rows,
               bench::hasFlag(app.arguments(), QStringLiteral("--labels")) ? " with labels" : "", bench::loadAverage());
    bench::PageWindow window([](QWidget *parent) { return new Serial(parent); });

    QElapsedTimer t;
    t.start();
    qint64 visited = 0;
    forEachSerial(SerialFilter(), [&visited](const SerialBytes &) { return ++visited > 0; });
    const double readOnly = t.elapsed() / 1000.0;

    double shell = -1;
    const QString sqlite3 = QStandardPaths::findExecutable(QStringLiteral("sqlite3"));
    if (!sqlite3.isEmpty()) {
        QProcess p;
        t.restart();
        p.start(sqlite3, {QStringLiteral("mydatabase.db")});
        p.write(
            ".mode csv\n.once shell.csv\nSELECT s.SerialNumber,c.CustomerName,s.IsUse,s.DeviceType,s.DeviceSerialNum,"
            "s.szIP FROM SerialNumbers s JOIN Customers c ON c.CustomerID=s.CustomerID ORDER BY s.SNID DESC;\n");
        p.closeWriteChannel();
        p.waitForFinished(-1);
        shell = t.elapsed() / 1000.0;
    }
    const double csv = exportThroughPage(window.page(), QDir::current().absoluteFilePath(QStringLiteral("pool.csv")));
    const double xlsx = exportThroughPage(window.page(), QDir::current().absoluteFilePath(QStringLiteral("pool.xlsx")));
    std::printf(
        "\n| what | rows | seconds | x forEachSerial | x sqlite3 .once csv | file MB |\n|---|---:|---:|---:|---:|---:|\n");
    const auto line = [&](const char *what, double s, const QString &file) {
        std::printf("| %s | %lld | %.3f | %.2f | %s | %s |\n", what, visited, s, s / readOnly,
                    shell > 0 ? qPrintable(QString::number(s / shell, 'f', 2)) : "-",
                    file.isEmpty() ? "-" : qPrintable(QString::number(QFileInfo(file).size() / 1e6, 'f', 1)));
    };
    line("Export to CSV (UTF-8 with BOM)", csv, QStringLiteral("pool.csv"));
    line("Export to XLSX (streamed, deflate level 1)", xlsx, QStringLiteral("pool.xlsx"));
    line("baseline: forEachSerial alone", readOnly, QString());
    if (shell > 0)
        line("baseline: sqlite3 shell .once CSV", shell, QStringLiteral("shell.csv"));

    std::printf(
        "\nPart 2: hostile files\n\n| file | size | seconds | peak memory growth MB | result |\n|---|---:|---:|---:|---|\n");
    {
        // 8 KB of BIFF8 claiming 2^31 shared strings and a whole sheet, one real cell.
        QByteArray sst = rec(0x00FC, le32(0x7FFFFFFF) + le32(0x7FFFFFFF) + le16(1) + char(0) + "x");
        QByteArray sheet = rec(0x0809, le16(0x0600) + le16(0x10) + QByteArray(12, 0))
            + rec(0x0200, le32(0) + le32(65536) + le16(0) + le16(256) + le16(0));
        for (int i = 0; sheet.size() < 7800; ++i)
            sheet += rec(0x00FD, le16(i) + le16(0) + le16(0) + le32(0));
        sheet += rec(0x000A, {});
        QByteArray globals = rec(0x0809, le16(0x0600) + le16(5) + QByteArray(12, 0)) + sst;
        const int offset = globals.size() + 12 + 4;
        globals += rec(0x0085, le32(quint32(offset)) + le16(0) + le16(0)) + rec(0x000A, {});
        QFile f(QStringLiteral("claims.xls"));
        f.open(QIODevice::WriteOnly);
        f.write(globals + sheet);
        f.close();
        hostile("XLS claiming 2^31 strings and 65536 x 256 cells", f.fileName(),
                [&] { return readWorkbook(f.fileName()); });
    }
    {
        xlsxfile::Entries entries = xlsxfile::package(
            {xlsxfile::worksheet(xlsxfile::textCell("A1", "h") + xlsxfile::textCell("A2", "ONCE"), "A1:A2")});
        for (xlsxfile::Entry &e : entries) {
            if (e.name != QLatin1String("xl/workbook.xml"))
                continue;
            QByteArray sheets;
            for (int i = 0; i < 200000; ++i)
                sheets += "<sheet name=\"S" + QByteArray::number(i) + "\" sheetId=\"" + QByteArray::number(i + 1)
                    + "\" r:id=\"rId1\"/>";
            e.data = "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
                     "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"><sheets>"
                + sheets + "</sheets></workbook>";
        }
        xlsxfile::writeZip(QStringLiteral("often.xlsx"), entries);
        hostile("XLSX listing one sheet 200,000 times", QStringLiteral("often.xlsx"),
                [] { return readWorkbook(QStringLiteral("often.xlsx")); });
    }
    {
        // Many small random shared strings: what a large file holds in memory at most.
        QList<QString> shared;
        QByteArray cells;
        const int n = 3000000;
        for (int i = 0; i < n; ++i)
            shared << QString::number(QRandomGenerator::global()->generate64(), 36).left(8);
        for (int i = 0; i < 1000; ++i)
            cells += "<c r=\"A" + QByteArray::number(i + 1) + "\" t=\"s\"><v>" + QByteArray::number(i) + "</v></c>";
        xlsxfile::writeZip(QStringLiteral("strings.xlsx"),
                           xlsxfile::package({xlsxfile::worksheet(cells)}, xlsxfile::sharedStrings(shared)));
        hostile("XLSX of 3,000,000 random shared strings", QStringLiteral("strings.xlsx"),
                [] { return readWorkbook(QStringLiteral("strings.xlsx")); });
    }
    {
        QFile f(QStringLiteral("big.xml"));
        f.open(QIODevice::WriteOnly);
        f.write("<serials>\n");
        QByteArray chunk;
        for (int i = 0; f.size() + chunk.size() < 63000000; ++i) {
            chunk += "  <record><uuid>" + QByteArray::number(i).rightJustified(10, '0') + "-XML</uuid></record>\n";
            if (chunk.size() > 1 << 20) {
                f.write(chunk);
                chunk.clear();
            }
        }
        f.write(chunk + "</serials>\n");
        f.close();
        hostile("XML of 63 MB", f.fileName(), [&] {
            QFile in(f.fileName());
            in.open(QIODevice::ReadOnly);
            const QByteArray contents = in.readAll();
            if (xmlimport::screen(contents) != xmlimport::Refusal::None)
                return QStringLiteral("refused");
            qint64 n = 0;
            xmlimport::forEachValue(contents, [&n](const QString &) { return ++n > 0; });
            return QStringLiteral("%1 values").arg(n);
        });
    }
    {
        // One line of 1 GB (a sparse file: no disk is used).
        QFile f(QStringLiteral("line.csv"));
        f.open(QIODevice::WriteOnly);
        f.write("A,B\n");
        f.resize(qint64(1) << 30);
        f.close();
        hostile("CSV of one 1 GB line", f.fileName(), [&] {
            const csvimport::Screening s = csvimport::screen(f.fileName());
            return s.refusal == csvimport::Refusal::None ? QStringLiteral("read")
                                                         : QStringLiteral("refused at line %1").arg(s.line);
        });
    }
    closeDatabase();
    return 0;
}
