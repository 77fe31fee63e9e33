// New values from XML, XLSX and XLS into a pool of any size, through the Import button of
// the Serial page in a child process (for its time, CPU and peak memory), on the SQLite
// file and on a throwaway PostgreSQL server (fsync on). Baselines in the same run, on the
// same pool: one INSERT .. SELECT of as many generated values in one transaction (what
// the engine itself needs, through the same indexes and count triggers), the per-value
// statements each in its own transaction (a sample), and on the file the sqlite3 shell's
// .import of the same values as CSV into a copy (no existence checks).
//
//   bench_import [--rows N] [--values V] [--engine sqlite|postgresql|both]
//   N: the pool, TARNWELL_BENCH_ROWS (1000000); V: new values per file,
//   TARNWELL_BENCH_IMPORT (100000). The files are kept in TARNWELL_BENCH_DATA (default
//   build/bench-data); the XLS is written through LibreOffice when it is installed.
#include "bench/support/benchsupport.h"
#include "serial/serial.h"
#include "store/datastore.h"
#include "store/fixedfield.h"
#include "tests/import/xlsxfile.h"
#include "widgets/messagebox.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QTimer>
#include <QXmlStreamWriter>

#include <cstdio>

using bench::child;
using bench::Engine;
using bench::say;

namespace {

const int kSample = 1000; // per-value statements: a sample, each costs a commit

// The one place the benchmark starts an import: the page's Choose and Import buttons for
// customer UMEYE, as the operator does; returns when the result box appears.
QString importThroughPage(QWidget *page, const QString &path)
{
    FileDialog::setNextFileName(path);
    child<QPushButton>(page, "btnChoose")->click();
    child<QRadioButton>(page, "rbUMEYE")->click();
    QCoreApplication::processEvents();
    const int boxes = MessageBox::shown().size();
    child<QPushButton>(page, "btnImport")->click();
    while (MessageBox::shown().size() == boxes)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return MessageBox::last().text.simplified();
}

// In a child: one import on the store of the working folder; its time, CPU, peak memory
// and what the busy dialog showed meanwhile.
int importChild(const QString &path)
{
    MessageBox::setScripted(true);
    openDatabase();
    bench::PageWindow window([](QWidget *parent) { return new Serial(parent); });
    auto *progress = child<QLabel>(window.page(), "lblProgress");
    QStringList shown;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        if (progress->isVisible() && (shown.isEmpty() || shown.last() != progress->text()))
            shown << progress->text();
    });
    sampler.start(20);
    const qint64 rssBefore = bench::residentKb();
    bench::resetPeak();
    const double cpu0 = bench::processCpuSeconds();
    QElapsedTimer timer;
    timer.start();
    const QString result = importThroughPage(window.page(), path);
    std::printf("seconds=%.3f\ncpu-seconds=%.3f\nrss-before-kb=%lld\npeak-kb=%lld\nprogress-updates=%d\nresult=%s\n",
                double(timer.nsecsElapsed()) / 1e9, bench::processCpuSeconds() - cpu0, rssBefore,
                bench::peakResidentKb(), int(shown.size()), qPrintable(result));
    closeDatabase();
    return 0;
}

QStringList makeValues(const QString &prefix, qint64 count)
{
    QStringList values;
    values.reserve(int(count));
    for (qint64 i = 0; i < count; ++i)
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

QByteArray columnName(int column)
{
    QByteArray name;
    for (int c = column; c > 0; c = (c - 1) / 26)
        name.prepend(char('A' + (c - 1) % 26));
    return name;
}

// Shared strings, as spreadsheet applications write them; `columns` wide, one header row.
bool writeXlsx(const QString &path, const QStringList &values, int columns)
{
    QByteArray data;
    data.reserve(values.size() * 40 + 64);
    QList<QString> shared;
    shared.reserve(values.size() + columns);
    const int rows = (int(values.size()) + columns - 1) / columns;
    data.append("<row r=\"1\">");
    for (int c = 1; c <= columns; ++c) {
        data.append("<c r=\"").append(columnName(c)).append("1\" t=\"s\"><v>");
        data.append(QByteArray::number(shared.size())).append("</v></c>");
        shared << QStringLiteral("UUID %1").arg(c);
    }
    data.append("</row>");
    for (int r = 0; r < rows; ++r) {
        const QByteArray row = QByteArray::number(r + 2);
        data.append("<row r=\"").append(row).append("\">");
        for (int c = 0; c < columns && r * columns + c < values.size(); ++c) {
            data.append("<c r=\"").append(columnName(c + 1)).append(row).append("\" t=\"s\"><v>");
            data.append(QByteArray::number(shared.size())).append("</v></c>");
            shared << values.at(r * columns + c);
        }
        data.append("</row>");
    }
    const QByteArray dimension = "A1:" + columnName(columns) + QByteArray::number(rows + 1);
    return xlsxfile::writeZip(path,
                              xlsxfile::package({xlsxfile::worksheet(data, dimension)},
                                                xlsxfile::sharedStrings(shared)));
}

// XLS needs a real spreadsheet application to write it; a sheet holds 65,536 rows, so
// the values go into as many columns as they need.
bool writeXls(const QString &path, const QStringList &values)
{
    const QString office = QStandardPaths::findExecutable(QStringLiteral("libreoffice"));
    const QFileInfo target(path);
    const QString source = target.path() + QLatin1Char('/') + target.completeBaseName() + QStringLiteral(".xlsx");
    if (office.isEmpty() || !writeXlsx(source, values, int(values.size() / 65000 + 1)))
        return false;
    QProcess lo;
    lo.start(office,
             {QStringLiteral("--headless"),
              QStringLiteral("-env:UserInstallation=file://") + target.path() + QStringLiteral("/lo-profile"),
              QStringLiteral("--convert-to"), QStringLiteral("xls"), QStringLiteral("--outdir"), target.path(),
              source});
    const bool ok = lo.waitForFinished(600000) && QFile::exists(path);
    QFile::remove(source);
    return ok;
}

struct Files {
    QString xml, xlsx, xls; // xls empty without LibreOffice
};

// The three files of `count` values, kept between runs (the XLS takes LibreOffice minutes).
Files makeFiles(qint64 count)
{
    const QString folder = bench::dataFolder() + QStringLiteral("/import-%1").arg(count);
    QDir().mkpath(folder);
    Files f{folder + QStringLiteral("/values.xml"), folder + QStringLiteral("/values.xlsx"),
            folder + QStringLiteral("/values-bin.xls")};
    const auto make = [](const QString &path, const std::function<bool(const QString &)> &write) {
        if (QFile::exists(path))
            return true;
        const QString part = QFileInfo(path).path() + QStringLiteral("/part-") + QFileInfo(path).fileName();
        return write(part) && QFile::rename(part, path);
    };
    say("files of %lld values in %s\n", count, qPrintable(folder));
    make(f.xml, [&](const QString &p) { return writeXml(p, makeValues(QStringLiteral("XMLV"), count)); });
    make(f.xlsx, [&](const QString &p) { return writeXlsx(p, makeValues(QStringLiteral("XLSX"), count), 1); });
    if (!make(f.xls, [&](const QString &p) { return writeXls(p, makeValues(QStringLiteral("XLSV"), count)); })) {
        say("no XLS: LibreOffice is not installed or could not convert (apt-get install libreoffice-calc-nogui)\n");
        f.xls.clear();
    }
    return f;
}

// The per-value statements of a sample, each its own transaction: values per second.
double perValueRate(const QString &folder)
{
    QDir::setCurrent(folder);
    openDatabase();
    QElapsedTimer timer;
    timer.start();
    for (const QString &v : makeValues(QStringLiteral("SAMPLE"), kSample)) {
        if (serialExists(v))
            continue;
        SerialRecord record{};
        fixedfield::put(record.customerName, QStringLiteral("1"));
        fixedfield::put(record.serialNumber, v);
        insertSerial(record);
    }
    const double rate = kSample / (double(timer.nsecsElapsed()) / 1e9);
    closeDatabase();
    return rate;
}

// sqlite3's .import of `count` values as CSV into a copy of the pool file: seconds, or -1.
double shellImport(const QString &folder, qint64 count, qint64 firstId)
{
    const QString sqlite3 = QStandardPaths::findExecutable(QStringLiteral("sqlite3"));
    if (sqlite3.isEmpty())
        return -1;
    const QString copy = folder + QStringLiteral("/copy.db");
    bench::copyFile(folder + QStringLiteral("/mydatabase.db"), copy);
    QFile csv(folder + QStringLiteral("/values.csv"));
    if (!csv.open(QIODevice::WriteOnly))
        return -1;
    {
        QTextStream out(&csv);
        for (qint64 i = 0; i < count; ++i)
            out << (firstId + i) << ",1,CSVV-" << i << ",0,,,\n";
    }
    csv.close();
    QElapsedTimer timer;
    timer.start();
    QProcess shell;
    shell.start(sqlite3, {copy, QStringLiteral(".import --csv ") + csv.fileName() + QStringLiteral(" SerialNumbers")});
    shell.waitForFinished(600000);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    QFile::remove(copy);
    return shell.exitCode() == 0 ? seconds : -1;
}

// The pool of `rows` in `folder` (this version's tables), on the file or on `server`.
bool makePool(Engine engine, const QString &folder, qint64 rows, testsupport::PgCluster *server)
{
    QDir::setCurrent(folder);
    openDatabase(); // this version's tables, counts and triggers
    closeDatabase();
    QSqlDatabase db = engine == Engine::SQLite
        ? bench::openFile(folder + QStringLiteral("/mydatabase.db"), QStringLiteral("bench-file"))
        : server->connection(QStringLiteral("bench-server"));
    const bool ok = engine == Engine::SQLite
        ? bench::exec(db, QStringLiteral("BEGIN")) && bench::fillPool(db, engine, rows)
            && bench::exec(db, QStringLiteral("COMMIT"))
        : bench::fillPool(db, engine, rows) && bench::exec(db, QStringLiteral("VACUUM ANALYZE SerialNumbers"));
    return ok;
}

int runEngine(Engine engine, qint64 rows, qint64 count, const Files &files)
{
    const char *name = engine == Engine::SQLite ? "SQLite" : "PostgreSQL";
    testsupport::PgCluster server;
    QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/bench-import-XXXXXX"));
    if (engine == Engine::PostgreSQL) {
        server.setServerSettings({}, true);
        if (!server.start()) {
            say("no PostgreSQL server: %s\n", qPrintable(server.errorText()));
            return 1;
        }
        bench::pointAt(server, folder.path(), QStringLiteral("bench-import"));
    }
    QElapsedTimer t;
    t.start();
    if (!makePool(engine, folder.path(), rows, &server))
        return 1;
    say("\n## Import, %s: %lld new values per file into a pool of %lld (filled in %.1f s)\n\n", name, count, rows,
        double(t.elapsed()) / 1000);
    const auto connection = [&] {
        return engine == Engine::SQLite
            ? bench::openFile(folder.filePath(QStringLiteral("mydatabase.db")), QStringLiteral("bench-file"))
            : server.connection(QStringLiteral("bench-server"));
    };
    const auto reset = [&] {
        QSqlDatabase db = connection();
        bench::exec(db, QStringLiteral("DELETE FROM SerialNumbers WHERE SNID > %1").arg(rows));
        if (engine == Engine::PostgreSQL)
            bench::exec(db, QStringLiteral("VACUUM ANALYZE SerialNumbers"));
    };

    t.restart();
    {
        QSqlDatabase db = connection();
        if (engine == Engine::SQLite)
            bench::exec(db, QStringLiteral("BEGIN IMMEDIATE"))
                && bench::exec(db,
                               QStringLiteral("WITH RECURSIVE k(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM k "
                                              "WHERE i < %1) INSERT INTO SerialNumbers(CustomerID, SerialNumber, "
                                              "IsUse, DeviceType, DeviceSerialNum, szIP) SELECT 1, 'FLOOR-' || "
                                              "substr('0000000' || i, -8), 0, '', '', '' FROM k")
                                   .arg(count - 1))
                && bench::exec(db, QStringLiteral("COMMIT"));
        else
            bench::exec(db,
                        QStringLiteral("INSERT INTO SerialNumbers(CustomerID, SerialNumber, IsUse, DeviceType, "
                                       "DeviceSerialNum, szIP) SELECT 1, 'FLOOR-' || lpad(i::text, 8, '0'), 0, "
                                       "'', '', '' FROM generate_series(0, %1) i")
                            .arg(count - 1));
    }
    const double floorSeconds = double(t.nsecsElapsed()) / 1e9;
    reset();
    if (engine == Engine::SQLite)
        QSqlDatabase::database(QStringLiteral("bench-file"), false).close();
    const double sampleRate = perValueRate(folder.path());
    reset();
    const double shell = engine == Engine::SQLite ? shellImport(folder.path(), count, rows + 1) : -1;

    say("| file | values | seconds | CPU s | values/s | x per-value statements | x one INSERT..SELECT | x sqlite3 "
        ".import | peak RSS growth | peak RSS | busy dialog updates | result | load |\n"
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---:|\n");
    const struct {
        const char *what;
        QString path;
    } runs[] = {{"XML", files.xml}, {"XLSX", files.xlsx}, {"XLS", files.xls}};
    for (const auto &run : runs) {
        if (run.path.isEmpty())
            continue;
        if (engine == Engine::SQLite)
            QSqlDatabase::database(QStringLiteral("bench-file"), false).close(); // the import takes the write lock
        const bench::ChildResult r = bench::runChild(folder.path(), {QStringLiteral("--import-child"), run.path});
        const double seconds = r.value("seconds");
        const double rate = double(count) / seconds;
        say("| %s | %lld | %.2f | %.2f | %.0f | %.0f | %.2f | %s | %.0f MB | %.0f MB | %s | %s | %.1f |\n", run.what,
            count, seconds, r.value("cpu-seconds"), rate, rate / sampleRate, seconds / floorSeconds,
            shell > 0 ? qPrintable(QString::number(seconds / shell, 'f', 2)) : "-",
            (r.value("peak-kb") - r.value("rss-before-kb")) / 1024, r.value("peak-kb") / 1024,
            qPrintable(r.values.value(QStringLiteral("progress-updates"))),
            qPrintable(r.values.value(QStringLiteral("result"))), bench::loadAverage());
        reset();
    }
    say("\nBaselines, same pool: one INSERT .. SELECT of %lld generated values in one transaction %.2f s; per-value "
        "statements, each its own transaction, %d values: %.0f values/s",
        count, floorSeconds, kSample, sampleRate);
    if (shell > 0)
        say("; sqlite3 .import of %lld values as CSV into a copy: %.2f s", count, shell);
    say("\n");
    QSqlDatabase::database(QStringLiteral("bench-file"), false).close();
    QDir::setCurrent(QDir::tempPath());
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    bench::quietRuntimeDir();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    bench::quietPlatform();
    const QStringList args = app.arguments();
    if (bench::hasFlag(args, QStringLiteral("--import-child")))
        return importChild(bench::textOption(args, QStringLiteral("--import-child"), nullptr, QString()));

    const qint64 rows = bench::sizeOption(args, QStringLiteral("--rows"), "TARNWELL_BENCH_ROWS", 1000000);
    const qint64 count = bench::sizeOption(args, QStringLiteral("--values"), "TARNWELL_BENCH_IMPORT", 100000);
    const QString engines = bench::textOption(args, QStringLiteral("--engine"), "TARNWELL_BENCH_ENGINE",
                                              QStringLiteral("both"));
    say("load average %.2f at the start; %d cores\n", bench::loadAverage(), QThread::idealThreadCount());
    const Files files = makeFiles(count);
    int code = 0;
    if (engines != QLatin1String("postgresql"))
        code |= runEngine(Engine::SQLite, rows, count, files);
    if (engines != QLatin1String("sqlite"))
        code |= runEngine(Engine::PostgreSQL, rows, count, files);
    return code;
}
