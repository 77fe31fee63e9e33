// Import speed over a factory-sized pool.
//
// Builds a pool of 1,000,000 serial numbers, writes 100,000 new ones as XML, XLSX and XLS
// (the XLS through LibreOffice when it is installed), imports each file through the
// Serial page exactly as the Import button does, and prints values per second beside:
//  - the per-value statements without a transaction (one disk sync per insert), on a
//    sample of 1,000 values;
//  - the sqlite3 command-line shell's .import of the same values as CSV into the same
//    table (no existence checks: the floor of what SQLite itself needs).
// Usage: bench_import [values]   (default 100000)
#include "serial/serial.h"
#include "store/datastore.h"
#include "store/fixedfield.h"
#include "store/storeconnection.h"
#include "tests/import/xlsxfile.h"
#include "widgets/messagebox.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QXmlStreamWriter>

#include <cstdio>

#include <sys/resource.h>

namespace {

const int kPool = 1000000;
const int kSample = 1000;

QStringList makeValues(const QString &prefix, int count)
{
    QStringList values;
    values.reserve(count);
    for (int i = 0; i < count; ++i)
        values << QStringLiteral("%1-%2").arg(prefix).arg(i, 8, 10, QLatin1Char('0'));
    return values;
}

bool writeXml(const QString &path, const QStringList &values)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QXmlStreamWriter xml(&file);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("serials"));
    for (const QString &v : values) {
        xml.writeStartElement(QStringLiteral("record"));
        xml.writeTextElement(QStringLiteral("uuid"), v);
        xml.writeEndElement();
    }
    xml.writeEndDocument();
    return true;
}

QString columnName(int column)
{
    QString name;
    for (int c = column; c > 0; c = (c - 1) / 26)
        name.prepend(QChar('A' + (c - 1) % 26));
    return name;
}

// Shared strings, as spreadsheet applications write them; `columns` wide, one header row.
bool writeXlsx(const QString &path, const QStringList &values, int columns)
{
    QByteArray data;
    data.reserve(values.size() * 40);
    QList<QString> shared;
    shared.reserve(values.size() + columns);
    const int rows = (values.size() + columns - 1) / columns;
    data += "<row r=\"1\">";
    for (int c = 1; c <= columns; ++c) {
        data += "<c r=\"" + columnName(c).toLatin1() + "1\" t=\"s\"><v>" + QByteArray::number(shared.size())
            + "</v></c>";
        shared << QStringLiteral("UUID %1").arg(c);
    }
    data += "</row>";
    for (int r = 0; r < rows; ++r) {
        const QByteArray row = QByteArray::number(r + 2);
        data += "<row r=\"" + row + "\">";
        for (int c = 0; c < columns && r * columns + c < values.size(); ++c) {
            data += "<c r=\"" + columnName(c + 1).toLatin1() + row + "\" t=\"s\"><v>"
                + QByteArray::number(shared.size()) + "</v></c>";
            shared << values.at(r * columns + c);
        }
        data += "</row>";
    }
    const QByteArray dimension = "A1:" + columnName(columns).toLatin1() + QByteArray::number(rows + 1);
    return xlsxfile::writeZip(path,
                              xlsxfile::package({xlsxfile::worksheet(data, dimension)},
                                                xlsxfile::sharedStrings(shared)));
}

// XLS needs a real spreadsheet application to write it.
bool writeXls(const QString &path, const QStringList &values, QString *why)
{
    const QString office = QStandardPaths::findExecutable(QStringLiteral("libreoffice"));
    if (office.isEmpty()) {
        *why = QStringLiteral("LibreOffice not installed (apt-get install libreoffice-calc-nogui)");
        return false;
    }
    const QFileInfo target(path);
    const QString source = target.path() + QLatin1Char('/') + target.completeBaseName() + QStringLiteral(".xlsx");
    // An XLS sheet holds 65,536 rows: two columns.
    if (!writeXlsx(source, values, 2)) {
        *why = QStringLiteral("cannot write %1").arg(source);
        return false;
    }
    QProcess lo;
    lo.start(office,
             {QStringLiteral("--headless"),
              QStringLiteral("-env:UserInstallation=file://") + target.path() + QStringLiteral("/lo-profile"),
              QStringLiteral("--convert-to"), QStringLiteral("xls"), QStringLiteral("--outdir"), target.path(),
              source});
    if (!lo.waitForFinished(600000) || !QFile::exists(path)) {
        *why = QStringLiteral("LibreOffice could not convert %1").arg(source);
        return false;
    }
    QFile::remove(source);
    return true;
}

struct Row {
    QString what;
    qint64 values;
    double seconds;
    QString note;
    double cpuSeconds = -1;
};

// CPU time of this process: on a shared machine the wall time also counts waiting for a core.
double cpuNow()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().split(' ').value(0).toDouble() : -1;
}

// The page's import, started the way its timer starts it; returns the seconds taken.
double importThroughPage(Serial &page, const QString &path, QString *result)
{
    FileDialog::setNextFileName(path);
    page.findChild<QPushButton *>(QStringLiteral("btnChoose"))->click();
    page.findChild<QRadioButton *>(QStringLiteral("rbUMEYE"))->click();
    QElapsedTimer timer;
    timer.start();
    QMetaObject::invokeMethod(&page, "onImportUuid");
    const double seconds = timer.nsecsElapsed() / 1e9;
    *result = MessageBox::last().text;
    return seconds;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int count = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 100000;
    MessageBox::setScripted(true);

    QTemporaryDir work(QDir::tempPath() + QStringLiteral("/bench-import-XXXXXX"));
    QDir::setCurrent(work.path());
    openDatabase();

    std::printf("Filling a pool of %d serial numbers...\n", kPool);
    std::fflush(stdout);
    {
        QSqlQuery q(storeDatabase);
        beginBatch();
        q.exec(QStringLiteral("WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM k WHERE i < %1) "
                              "INSERT INTO SerialNumbers(CustomerID, SerialNumber, IsUse) "
                              "SELECT 1 + (i % 2), printf('POOL-%08d', i), 0 FROM k")
                   .arg(kPool));
        commitBatch();
    }

    std::printf("Writing %d values as XML, XLSX and XLS...\n", count);
    std::fflush(stdout);
    const QStringList xmlValues = makeValues(QStringLiteral("XMLV"), count);
    const QStringList xlsxValues = makeValues(QStringLiteral("XLSX"), count);
    const QStringList xlsValues = makeValues(QStringLiteral("XLSV"), count);
    const QString xmlPath = work.filePath(QStringLiteral("values.xml"));
    const QString xlsxPath = work.filePath(QStringLiteral("values.xlsx"));
    const QString xlsPath = work.filePath(QStringLiteral("values-bin.xls"));
    QString xlsWhy;
    const bool haveXml = writeXml(xmlPath, xmlValues);
    const bool haveXlsx = writeXlsx(xlsxPath, xlsxValues, 1);
    const bool haveXls = writeXls(xlsPath, xlsValues, &xlsWhy);

    QList<Row> rows;
    {
        Serial page;
        page.resize(1104, 656);
        page.show();
        app.processEvents();
        const struct {
            const char *what;
            bool have;
            QString path;
        } runs[] = {{"XML (QDomDocument)", haveXml, xmlPath},
                    {"XLSX (QuaZip + QXmlStreamReader)", haveXlsx, xlsxPath},
                    {"XLS (FreeXL)", haveXls, xlsPath}};
        for (const auto &run : runs) {
            if (!run.have) {
                rows.append({QString::fromLatin1(run.what), 0, 0, xlsWhy});
                continue;
            }
            QString result;
            const double cpu = cpuNow();
            const double seconds = importThroughPage(page, run.path, &result);
            rows.append({QString::fromLatin1(run.what), count, seconds, result, cpuNow() - cpu});
        }
    }

    // Baseline 1: the per-value statements, each its own transaction.
    double perValueSeconds = 0;
    {
        const QStringList sample = makeValues(QStringLiteral("SAMPLE"), kSample);
        QElapsedTimer timer;
        timer.start();
        const double cpu = cpuNow();
        for (const QString &v : sample) {
            if (serialExists(v))
                continue;
            SerialRecord record{};
            fixedfield::put(record.customerName, QStringLiteral("1"));
            fixedfield::put(record.serialNumber, v);
            insertSerial(record);
        }
        perValueSeconds = timer.nsecsElapsed() / 1e9;
        rows.append({QStringLiteral("baseline: per-value statements, no transaction (sample of %1)").arg(kSample),
                     kSample, perValueSeconds, QString(), cpuNow() - cpu});
    }
    const double perValueRate = kSample / perValueSeconds;

    // Baseline 2: sqlite3's .import of the same values as CSV, on a copy of the database.
    const int pooled = [] {
        QSqlQuery q(storeDatabase);
        q.exec(QStringLiteral("SELECT MAX(SNID) FROM SerialNumbers"));
        return q.next() ? q.value(0).toInt() : 0;
    }();
    closeDatabase();
    const QString sqlite3 = QStandardPaths::findExecutable(QStringLiteral("sqlite3"));
    if (sqlite3.isEmpty()) {
        rows.append({QStringLiteral("baseline: sqlite3 .import"), 0, 0, QStringLiteral("sqlite3 not installed")});
    } else {
        QFile::copy(work.filePath(QStringLiteral("mydatabase.db")), work.filePath(QStringLiteral("copy.db")));
        QFile csv(work.filePath(QStringLiteral("values.csv")));
        csv.open(QIODevice::WriteOnly);
        {
            QTextStream out(&csv);
            for (int i = 0; i < count; ++i)
                out << (pooled + 1 + i) << ",1," << xmlValues.at(i) << ",0,,,\n";
        }
        csv.close();
        QElapsedTimer timer;
        timer.start();
        QProcess shell;
        shell.start(sqlite3,
                    {work.filePath(QStringLiteral("copy.db")),
                     QStringLiteral(".import --csv ") + csv.fileName() + QStringLiteral(" SerialNumbers")});
        shell.waitForFinished(600000);
        const double seconds = timer.nsecsElapsed() / 1e9;
        const QByteArray errors = shell.readAllStandardError().trimmed();
        rows.append({QStringLiteral("baseline: sqlite3 .import of the same values as CSV"), count, seconds,
                     errors.isEmpty() ? QString() : QString::fromLocal8Bit(errors.left(120))});
    }
    const double floorRate = rows.last().seconds > 0 ? rows.last().values / rows.last().seconds : 0;

    std::printf("\nPool: %d serial numbers before the first import; %d new values per file; "
                "load average %.2f on %d cores.\n\n",
                kPool, count, loadAverage(), QThread::idealThreadCount());
    std::printf(
        "| source | values | seconds | CPU seconds | values/s | x per-value statements | x sqlite3 .import |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
    for (const Row &r : qAsConst(rows)) {
        if (r.values == 0) {
            std::printf("| %s | - | - | - | - | - | - |  %s\n", qPrintable(r.what), qPrintable(r.note));
            continue;
        }
        const double rate = r.values / r.seconds;
        const QString cpu = r.cpuSeconds < 0 ? QStringLiteral("-") : QString::number(r.cpuSeconds, 'f', 3);
        std::printf("| %s | %lld | %.3f | %s | %.0f | %.1f | %.2f |%s%s\n", qPrintable(r.what), r.values, r.seconds,
                    qPrintable(cpu), rate, rate / perValueRate, floorRate > 0 ? rate / floorRate : 0.0,
                    r.note.isEmpty() ? "" : "  ", qPrintable(r.note));
    }
    return 0;
}
