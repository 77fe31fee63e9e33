// The serial-number import: the import job run with no widget (each format, refusals,
// tallies, store failures), and the Serial page driven as an operator would for what
// only the page does (the file dialog, the busy dialog, the boxes, the table).
#include "tests/support/testsupport.h"

#include "jobs/importjob.h"
#include "serial/serial.h"
#include "store/datastore.h"
#include "tests/import/xlsxfile.h"
#include "widgets/messagebox.h"

#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTimer>

#include <functional>
#include <memory>

using testsupport::child;
using testsupport::click;
using testsupport::dataFile;
using testsupport::writeFile;
using xlsxfile::textCell;
using Outcome = jobs::ImportResult::Outcome;

namespace {

// Runs the import job on `path` for a customer (2 Brisvan, 1 UMEYE); `progress` sees every
// report of values read.
jobs::ImportResult importFile(const QString &path, int customer = 2,
                              const std::function<void(qint64)> &progress = nullptr)
{
    struct Listener : jobs::ImportListener {
        std::function<void(qint64)> seen;
        void progress(qint64 done, qint64) override
        {
            if (seen)
                seen(done);
        }
    } listener;
    listener.seen = progress;
    return jobs::ImportJob(path, customer, jobs::ImportJob::kindOf(path)).run(listener);
}

// "outcome stored/failed", to compare a run in one line.
QString tally(const jobs::ImportResult &r)
{
    return QStringLiteral("%1 %2/%3").arg(int(r.outcome)).arg(r.succeeded).arg(r.failed);
}
QString tally(Outcome outcome, int stored, int failed)
{
    return QStringLiteral("%1 %2/%3").arg(int(outcome)).arg(stored).arg(failed);
}

const QSize kPageSize(1104, 656); // the main window's page area

// An XML file of the expected shape: one record per value.
QByteArray xmlOf(const QStringList &values)
{
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<serials>\n";
    // Plain appends grow the array geometrically; a built `+=` reserves exactly and so
    // copies the whole document on every value (minutes in the sanitizer build).
    for (const QString &v : values)
        xml.append("  <record><uuid>").append(v.toHtmlEscaped().toUtf8()).append("</uuid></record>\n");
    return xml + "</serials>\n";
}

QString resultText(int stored, int failed)
{
    return QStringLiteral("Import completed, import successful %1, failed %2").arg(stored).arg(failed);
}

int importLogs()
{
    return testsupport::count(QStringLiteral("Logs WHERE LogType='Import serail number' "
                                             "AND LogDescribe='Import serail number'"));
}

// The rows that mark an import as begun, oldest first.
QStringList startLogs()
{
    return testsupport::column(QStringLiteral("SELECT LogDescribe FROM Logs WHERE LogType='Import serail number' "
                                              "AND LogDescribe LIKE 'Import started: %' ORDER BY LogID"));
}

QString childProgram()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/tst_import_child");
}

int poolSize()
{
    return testsupport::count(QStringLiteral("SerialNumbers"));
}

// The pool as "customer:serial" lines, oldest first.
QStringList pool()
{
    return testsupport::column(
        QStringLiteral("SELECT CustomerID || ':' || SerialNumber FROM SerialNumbers ORDER BY SNID"));
}

} // namespace

class TestImport : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<Serial> page;

    QDialog *busy() const { return child<QDialog>(page.get(), "Loading"); }

    // Chooses `path` in the file dialog, picks the customer and presses Import; returns
    // once the import has shown its box (the box the operator dismisses last).
    void runImport(const QString &path, bool umeye = false, int timeoutMs = 10000)
    {
        FileDialog::setNextFileName(path);
        click(child<QPushButton>(page.get(), "btnChoose"));
        QCOMPARE(child<QLineEdit>(page.get(), "lineEditPath")->text(), path);
        click(child<QRadioButton>(page.get(), umeye ? "rbUMEYE" : "rbBrisvan"));
        const int before = MessageBox::shown().size();
        click(child<QPushButton>(page.get(), "btnImport"));
        QVERIFY(busy()->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(MessageBox::shown().size() > before, timeoutMs);
        QCOMPARE(MessageBox::shown().size(), before + 1);
        QVERIFY(!busy()->isVisible());
    }

    void expectResult(int stored, int failed) { expectText(resultText(stored, failed)); }

    void expectText(const QString &text)
    {
        const MessageBox::Shown box = MessageBox::last();
        QCOMPARE(box.kind, MessageBox::Information);
        QCOMPARE(box.title, QStringLiteral("title"));
        QCOMPARE(box.text, text);
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    }

private slots:
    void init()
    {
        testsupport::freshDatabase();
        MessageBox::clear();
        FileDialog::clear();
        page = std::make_unique<Serial>();
        page->resize(kPageSize);
        page->show();
        QVERIFY(QTest::qWaitForWindowExposed(page.get()));
    }

    void cleanup() { page.reset(); }

    // Each reader through the job, run twice (the second time for UMEYE): records, value
    // elements, nested text, comments and stray text of XML; a declared encoding; the reader
    // chosen by the path's text (case-sensitive, anywhere in it, XML first); the workbook
    // fixtures (every sheet, header rows skipped, empty cells and errors failed, the .xls's
    // stale formula results evaluated or failed, never stored as 0, see tst_workbook); CSV in UTF-8
    // and UTF-16; values the pool must not hold (empty, over 47 bytes of UTF-8, a NUL,
    // broken UTF-16), never cut. A value in another customer's pool stays where it is.
    // The same bytes imported again (under another name) are told before anything is read
    // or stored: No leaves pool and log as they were, Yes imports (its values already held).
    void sameFileAgainIsTold()
    {
        const QByteArray xml = xmlOf({"AGAIN-1", "AGAIN-2"});
        runImport(writeFile(QStringLiteral("first.xml"), xml));
        expectResult(2, 0);
        const QString again = writeFile(QStringLiteral("renamed.xml"), xml);
        for (const QMessageBox::StandardButton answer : {QMessageBox::No, QMessageBox::Yes}) {
            FileDialog::setNextFileName(again);
            click(child<QPushButton>(page.get(), "btnChoose"));
            MessageBox::setNextAnswer(answer);
            const int before = MessageBox::shown().size();
            click(child<QPushButton>(page.get(), "btnImport"));
            const int boxes = answer == QMessageBox::Yes ? 2 : 1;
            QTRY_COMPARE(MessageBox::shown().size(), before + boxes);
            const MessageBox::Shown asked = MessageBox::shown().at(before);
            QCOMPARE(asked.kind, MessageBox::Question);
            QVERIFY2(asked.text.startsWith(QLatin1String("This file was already imported on "))
                         && asked.text.contains(QLatin1String("(2 stored, 0 refused)")),
                     qPrintable(asked.text));
            QCOMPARE(poolSize(), 2);
            QCOMPARE(startLogs().size(), answer == QMessageBox::Yes ? 2 : 1);
        }
    }

    // The customer's pattern: values that do not match it whole are counted failed, said in
    // the box, and listed with the other refused values in the report the box offers to save.
    void patternRefusalsReported()
    {
        CustomerRules rules;
        rules.serialPattern = QStringLiteral("GEN-[0-9]{4}");
        QVERIFY(setCustomerRules(2, rules));
        MessageBox::setNextAnswer(QMessageBox::Save);
        // The file dialog answers in turn: the file to import, then where the list goes.
        FileDialog::setNextFileName(
            writeFile(QStringLiteral("p.xml"), xmlOf({"GEN-0001", "GEN-00012", "x GEN-0002", "", "GEN-0003"})));
        FileDialog::setNextFileName(QDir::current().absoluteFilePath(QStringLiteral("refused.csv")));
        click(child<QPushButton>(page.get(), "btnChoose"));
        click(child<QPushButton>(page.get(), "btnImport"));
        QTRY_VERIFY(QFile::exists(QStringLiteral("refused.csv")));
        const MessageBox::Shown box = MessageBox::last();
        QVERIFY2(box.text.startsWith(resultText(2, 3))
                     && box.text.contains(QLatin1String("2 value(s) did not match the customer's UUID pattern.")),
                 qPrintable(box.text));
        QCOMPARE(box.buttons, QMessageBox::Ok | QMessageBox::Save);
        QCOMPARE(::pool().mid(0, 2), (QStringList{"2:GEN-0001", "2:GEN-0003"}));
        QCOMPARE(testsupport::readFile(QStringLiteral("refused.csv")),
                 QByteArray("\xEF\xBB\xBFValue,Reason\r\nGEN-00012,does not match the customer's UUID pattern\r\n"
                            "x GEN-0002,does not match the customer's UUID pattern\r\n"
                            ",\"empty, too long or unreadable\"\r\n"));
    }

    void formats_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("stored");
        QTest::addColumn<int>("failed");
        QTest::addColumn<QStringList>("pool"); // its first rows after the first run, after 2:OTHER-0001
        const QByteArray xml = xmlOf({"CHOICE-1"});
        QTest::newRow("xml")
            << writeFile(QStringLiteral("in dir/serials.xml"),
                         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<anything>\n"
                         "  <record><uuid>XML-0001</uuid><other>XML-0002</other></record>\n"
                         "  <record><uuid>XML-0001</uuid></record>\n"
                         "  stray text on the record level\n"
                         "  <record>text without value elements</record>\n"
                         "  <record><uuid></uuid><!-- a note --><uuid>XML-<b>00</b>03</uuid></record>\n"
                         "  <record><uuid>设备-0004</uuid></record>\n</anything>\n")
            << 4 << 4 << QStringList{"2:XML-0001", "2:XML-0002", "2:XML-0003", QStringLiteral("2:设备-0004")};
        QTest::newRow("declared encoding")
            << writeFile(QStringLiteral("latin.xml"),
                         "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r><record><v>caf\xE9</v></record></r>")
            << 1 << 0 << QStringList{QStringLiteral("2:café")};
        QTest::newRow("upper.XML") << writeFile(QStringLiteral("upper.XML"), xml) << 0 << 0 << QStringList();
        QTest::newRow("serials.txt") << writeFile(QStringLiteral("serials.txt"), xml) << 0 << 0 << QStringList();
        QTest::newRow("folder x.xml") << writeFile(QStringLiteral("x.xml/serials.xlsx"), xml) << 1 << 0
                                      << QStringList{"2:CHOICE-1"};
        const QStringList csv{"2:CSV-0001",
                              "2:CSV-0002",
                              "2:CSV,0003",
                              "2:CSV \"0004\"",
                              "2:CSV-0005",
                              "2:CSV-0006\r\nline",
                              QStringLiteral("2:设备-0007")};
        QTest::newRow("csv UTF-8") << dataFile(QStringLiteral("serials.csv")) << 7 << 1 << csv;
        QTest::newRow("csv UTF-16LE") << dataFile(QStringLiteral("serials-utf16.csv")) << 7 << 1 << csv;
        // The workbooks' values are tst_workbook's; here the job's part: header rows skipped,
        // empty cells and errors failed.
        const QStringList head{"1:AAA-0001", "1:1234567890123", "1:true", "1:AAA-0002"};
        QTest::newRow("xlsx") << dataFile(QStringLiteral("workbook.xlsx")) << 22 << 6
                              << head + QStringList{"1:AAA-0002-F"};
        QTest::newRow("xls") << dataFile(QStringLiteral("workbook.xls")) << 21 << 7
                             << head + QStringList{QStringLiteral("1:设备-Ω-0003")};
        const QString ascii47 = QString(QLatin1Char('A')).repeated(47);
        const QString wide47 = QStringLiteral("设").repeated(15) + QStringLiteral("ab"); // 47 bytes
        const QByteArray cells = "<row r=\"1\">" + textCell("A1", "UUID") + "</row><row r=\"2\">"
            + textCell("A2", ascii47) + textCell("B2", QString(QLatin1Char('B')).repeated(48))
            + textCell("C2", QStringLiteral("设").repeated(16)) + textCell("D2", wide47) + "</row><row r=\"3\">"
            + textCell("A3", "nul_x0000_inside") + textCell("B3", "lone_xD800_half")
            + "<c r=\"C3\" t=\"inlineStr\"><is><t></t></is></c>" + textCell("F3", "fine") + "</row>";
        const QString values = QDir::current().absoluteFilePath(QStringLiteral("values.xlsx"));
        QVERIFY(xlsxfile::writeZip(values, xlsxfile::package({xlsxfile::worksheet(cells, "A1:F3")})));
        QTest::newRow("unusable values") << values << 3 << 9 << QStringList{"2:" + ascii47, "2:" + wide47, "2:fine"};
    }
    void formats()
    {
        QFETCH(QString, path);
        QFETCH(int, stored);
        QFETCH(int, failed);
        QFETCH(QStringList, pool);
        QVERIFY(testsupport::exec(
            QStringLiteral("INSERT INTO SerialNumbers(CustomerID, SerialNumber, IsUse) VALUES(2, 'OTHER-0001', 0)")));
        const int customer = pool.value(0).startsWith(QLatin1String("1:")) ? 1 : 2;
        const bool read = jobs::ImportJob::kindOf(path) != jobs::ImportJob::Kind::None;

        jobs::ImportResult r = importFile(path, customer);
        QCOMPARE(tally(r), tally(Outcome::Completed, stored, failed));
        QVERIFY(r.logged);
        QCOMPARE(::pool().mid(0, pool.size() + 1), QStringList{"2:OTHER-0001"} + pool);
        QCOMPARE(poolSize(), stored + 1);
        QCOMPARE(importLogs(), 1);
        QCOMPARE(startLogs(),
                 read ? QStringList{QStringLiteral("Import started: ") + QFileInfo(path).fileName()} : QStringList());

        r = importFile(path, 3 - customer);
        QCOMPARE(tally(r), tally(Outcome::Completed, 0, stored + failed));
        QCOMPARE(poolSize(), stored + 1);
        QCOMPARE(importLogs(), 2);
    }

    // The store cannot write part-way (another connection holds the write lock past the
    // busy timeout, or a reader holds the file over the COMMIT): the import stops at once
    // with the driver's text, and the pool holds exactly the committed batches. The lock
    // is taken while the import runs.
    void storeFailures_data()
    {
        QTest::addColumn<QString>("hold");
        QTest::newRow("write lock") << "BEGIN IMMEDIATE";
        QTest::newRow("reader over the commit") << "BEGIN";
    }
    void storeFailures()
    {
        QFETCH(QString, hold);
        QStringList values;
        for (int i = 0; i < 40000; ++i)
            values << QStringLiteral("LOCK-%1").arg(i, 6, 10, QLatin1Char('0'));
        bool held = false;
        const jobs::ImportResult r = importFile(writeFile(QStringLiteral("locked.xml"), xmlOf(values)), 2, [&](qint64) {
            // Once a batch is committed.
            if (held || poolSize() < 5000)
                return;
            held = testsupport::exec(hold);
            // A read transaction holds its lock from its first read on.
            testsupport::value(QStringLiteral("SELECT COUNT(*) FROM SerialNumbers"));
        });
        testsupport::exec(QStringLiteral("ROLLBACK"));
        QVERIFY(held);
        QCOMPARE(r.outcome, Outcome::StoreFailed);
        QVERIFY2(r.storeFailure.contains(QLatin1String("locked")), qPrintable(r.storeFailure));
        QVERIFY(r.succeeded >= 5000 && r.succeeded < values.size());
        QCOMPARE(r.succeeded % 5000, 0);
        QCOMPARE(poolSize(), r.succeeded);
        QCOMPARE(pool().value(int(r.succeeded) - 1), QStringLiteral("2:") + values.value(int(r.succeeded) - 1));
        // The import began (logged before reading) but could not log its end.
        QVERIFY(!r.logged && !r.logFailure.isEmpty());
        QCOMPARE(startLogs(), QStringList{QStringLiteral("Import started: locked.xml")});
        QCOMPARE(importLogs(), 0);
    }

    // Nothing is read: a box says why, and neither the pool nor the log changes. Files that
    // would cost unbounded memory or be read wrongly are refused before parsing.
    void nothingRead_data()
    {
        QTest::addColumn<QString>("name"); // written in the working folder unless contents is null
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("text"); // a pattern
        const int warning = MessageBox::Warning, information = MessageBox::Information;
        QTest::newRow("nothing chosen") << "" << QByteArray() << warning << "^Please enter a query path!$";
        QTest::newRow("cannot open") << "missing.xml" << QByteArray() << information << "^open error!$";
        QTest::newRow("not well-formed") << "bad.xml" << QByteArray("<r>\n<record><v>A</v></r>\n") << information
                                         << "^parse file failed at line row and column2,\\d+$";
        QTest::newRow("empty file") << "empty.xml" << QByteArray("") << information
                                    << "^parse file failed at line row and column\\d+,\\d+$";
        QByteArray laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE lolz [\n<!ENTITY lol \"lol\">\n";
        laughs += "<!ENTITY lol1 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">\n";
        for (int i = 2; i <= 9; ++i)
            laughs += "<!ENTITY lol" + QByteArray::number(i) + " \""
                + QByteArray("&lol" + QByteArray::number(i - 1) + ";").repeated(10) + "\">\n";
        laughs += "]>\n<lolz><r><v>&lol9;</v></r></lolz>\n";
        QTest::newRow("entity expansion")
            << "hostile.xml" << laughs << warning << "declares entities.*was not imported";
        // A document type that mentions entities without declaring one (here an attribute
        // of the ENTITY type) is refused as well: the parser lists no declaration for it.
        QTest::newRow("DTD mentioning ENTITY")
            << "hostile.xml"
            << QByteArray("<?xml version=\"1.0\"?>\n<!DOCTYPE r [<!ATTLIST r a ENTITY #IMPLIED>]>\n"
                          "<r><record><v>A</v></record></r>\n")
            << warning << "declares entities.*was not imported";
        QTest::newRow("deep nesting") << "hostile.xml"
                                      << QByteArray("<a>").repeated(100000) + QByteArray("</a>").repeated(100000)
                                      << warning << "deeper than.*was not imported";
        QTest::newRow("gigantic text") << "hostile.xml"
                                       << "<r><record><v>" + QByteArray(3 << 20, 'x') + "</v></record></r>" << warning
                                       << "longer than.*was not imported";
        QTest::newRow("Latin-1 bytes read as UTF-8")
            << "hostile.xml" << QByteArray("<r><record><v>caf\xE9</v></record></r>") << warning
            << "not valid UTF-8.*was not imported";
        QTest::newRow("declared UTF-8, broken bytes")
            << "hostile.xml"
            << QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?><r><record><v>\xC3\x28</v></record></r>")
            << warning << "not valid UTF-8.*was not imported";
        QTest::newRow("CSV unterminated quote") << "hostile.csv" << QByteArray("OK-1\n\"OPEN-2\n") << warning
                                                << "line 2 is never closed; the file was not imported";
        QTest::newRow("CSV invalid encoding")
            << "hostile.csv" << QByteArray("OK-1\ncaf\xE9\n") << warning << "neither UTF-8 nor UTF-16.*not imported";
        QTest::newRow("CSV one line of 2 MiB")
            << "hostile.csv"
            << "OK-1\n" + QByteArray(2 << 20, 'x') << warning
            << "^Line 2 is longer than 1048576 characters; the file was not imported.$";
    }
    void nothingRead()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, contents);
        QFETCH(int, kind);
        QFETCH(QString, text);
        const bool blank = name.trimmed().isEmpty();
        runImport(!contents.isNull() ? writeFile(name, contents)
                      : blank        ? name
                                     : QDir::current().absoluteFilePath(name));
        const MessageBox::Shown box = MessageBox::last();
        QCOMPARE(int(box.kind), kind);
        QCOMPARE(box.title, kind == MessageBox::Warning ? QStringLiteral("Warning") : QStringLiteral("title"));
        QVERIFY2(box.text.contains(QRegularExpression(text)), qPrintable(box.text));
        if (blank)
            QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Yes));
        QCOMPARE(importLogs(), 0);
        QCOMPARE(poolSize(), 0);
    }

    // A workbook that cannot be opened ends with "EXCEL lose" and nothing else. One that
    // breaks part-way keeps what was stored before, logs, refreshes the table, and says
    // how many values were stored.
    void workbookFailures_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QStringList>("kept");
        QTest::addColumn<QString>("text");
        QTest::newRow("missing file") << "missing" << QStringList() << "EXCEL lose";
        QTest::newRow("second sheet broken") << "broken" << QStringList{"2:KEPT-1", "2:KEPT-2", "2:BEFORE-BREAK"}
                                             << "EXCEL lose\n3 values were stored before the error.";
        QTest::newRow("truncated xls") << "xls" << QStringList() << "EXCEL lose";
    }
    void workbookFailures()
    {
        QFETCH(QString, kind);
        QFETCH(QStringList, kept);
        QFETCH(QString, text);
        const QByteArray good = xlsxfile::worksheet(textCell("A1", "UUID") + textCell("A2", "KEPT-1")
                                                        + textCell("A3", "KEPT-2"),
                                                    "A1:A3");
        QString path = QDir::current().absoluteFilePath(kind + QStringLiteral(".xlsx"));
        if (kind == QLatin1String("broken")) {
            // Broken after its first value: that one is stored, nothing after it is read.
            QByteArray bad = xlsxfile::worksheet(textCell("A1", "UUID") + textCell("A2", "BEFORE-BREAK")
                                                     + textCell("A3", "NEVER") + textCell("A4", "NEVER-2"),
                                                 "A1:A4");
            bad.replace("NEVER</t>", "NEVER</x>");
            QVERIFY(xlsxfile::writeZip(path, xlsxfile::package({good, bad})));
        } else if (kind == QLatin1String("xls")) {
            path = writeFile(QStringLiteral("cut.xls"),
                             testsupport::readFile(dataFile(QStringLiteral("workbook.xls"))).left(2500));
        }
        runImport(path, false, 60000);
        const MessageBox::Shown box = MessageBox::last();
        QCOMPARE(box.kind, MessageBox::Critical);
        QCOMPARE(box.title, QStringLiteral("Error"));
        QCOMPARE(box.text, text);
        QCOMPARE(pool(), kept);
        QCOMPARE(importLogs(), kept.isEmpty() ? 0 : 1);
        QCOMPARE(startLogs().size(), kept.isEmpty() ? 0 : 1);
        if (!kept.isEmpty())
            QCOMPARE(child<QTableWidget>(page.get(), "tableWidget")->item(0, 1)->text(),
                     QStringLiteral("BEFORE-BREAK"));
    }

    // Two programs import disjoint files of 200,000 values into one pool at once: the
    // one that waits for the write lock waits while the other commits, and every value
    // is stored.
    void concurrentImports()
    {
        QStringList a, b;
        for (int i = 0; i < 200000; ++i) {
            a << QStringLiteral("A-%1").arg(i, 7, 10, QLatin1Char('0'));
            b << QStringLiteral("B-%1").arg(i, 7, 10, QLatin1Char('0'));
        }
        const QStringList files{writeFile(QStringLiteral("a.xml"), xmlOf(a)),
                                writeFile(QStringLiteral("b.xml"), xmlOf(b))};
        QList<QProcess *> children;
        for (const QString &file : files) {
            auto *child = new QProcess(this);
            child->start(childProgram(), {QDir::currentPath(), file, QStringLiteral("2")});
            children << child;
        }
        for (QProcess *child : children) {
            QVERIFY(child->waitForFinished(240000));
            const QString out = QString::fromUtf8(child->readAllStandardOutput()).trimmed();
            QVERIFY2(child->exitCode() == 0, qPrintable(out + QString::fromUtf8(child->readAllStandardError())));
            QCOMPARE(out, resultText(200000, 0));
            delete child;
        }
        QCOMPARE(poolSize(), 400000);
        QCOMPARE(importLogs(), 2);
    }

    // A program killed part-way leaves the row that says the import began, and whole
    // batches only.
    void killedImport()
    {
        QStringList values;
        for (int i = 0; i < 400000; ++i)
            values << QStringLiteral("K-%1").arg(i, 7, 10, QLatin1Char('0'));
        const QString file = writeFile(QStringLiteral("killed.xml"), xmlOf(values));
        QProcess child;
        child.start(childProgram(), {QDir::currentPath(), file, QStringLiteral("2")});
        QTRY_VERIFY_WITH_TIMEOUT(poolSize() >= 10000, 120000);
        child.kill();
        QVERIFY(child.waitForFinished(30000));
        const int stored = poolSize();
        QVERIFY(stored < values.size());
        QCOMPARE(stored % 5000, 0);
        QCOMPARE(pool().value(stored - 1), QStringLiteral("2:") + values.value(stored - 1));
        QCOMPARE(startLogs(), QStringList{QStringLiteral("Import started: killed.xml")});
        QCOMPARE(importLogs(), 0);
    }

    // A value the pool holds as used or pending, or has retired (deleted, in any state), is
    // never stored again; the box names them by state. Values held unused only count failed.
    void heldValuesAreNamedAndNotStoredAgain()
    {
        QVERIFY(testsupport::fillPool(QStringLiteral("H"), 6, 2)); // H0001..H0006, Brisvan's
        const auto claim = [](const QString &value, const QString &device) {
            return beginBatch()
                && claimSerial(value, 2, device, QStringLiteral("NVR"), QStringLiteral("10.0.0.1"))
                == ClaimResult::Claimed
                && commitBatch();
        };
        QVERIFY(testsupport::burnInPool(QStringLiteral("H0001"), 2, QStringLiteral("D1"), QStringLiteral("NVR"),
                                        QStringLiteral("10.0.0.1")));
        QVERIFY(testsupport::burnInPool(QStringLiteral("H0002"), 2, QStringLiteral("D2"), QStringLiteral("NVR"),
                                        QStringLiteral("10.0.0.2")));
        QVERIFY(claim(QStringLiteral("H0003"), QStringLiteral("D3")));
        QVERIFY(deleteSerial(QStringLiteral("H0004")));
        QVERIFY(claim(QStringLiteral("H0005"), QStringLiteral("D5")) && deleteSerial(QStringLiteral("H0005")));
        const QString path = writeFile(QStringLiteral("again.xml"),
                                       xmlOf({"H0001", "H0002", "H0003", "H0004", "H0005", "H0006", "NEW-1"}));

        runImport(path, true);
        expectText(
            resultText(1, 6)
            + QStringLiteral("\nAlready in the pool, not stored again: 2 used, 1 pending, 2 retired, 1 unused."));
        QCOMPARE(testsupport::count(QStringLiteral("SerialNumbers WHERE SerialNumber IN ('H0004', 'H0005')")), 0);
        QCOMPARE(testsupport::count(QStringLiteral("SerialNumbers WHERE IsUse=0 AND CustomerID=1")), 1);
    }

    // A long import keeps the busy dialog alive and counting, and a second start while
    // it runs (the timers still fire) does nothing.
    void longImportStaysAlive()
    {
        QStringList values;
        for (int i = 0; i < 30000; ++i)
            values << QStringLiteral("LONG-%1").arg(i, 6, 10, QLatin1Char('0'));
        const QString path = writeFile(QStringLiteral("long.xml"), xmlOf(values));

        QStringList progress;
        bool poked = false;
        QTimer probe;
        probe.setInterval(20);
        connect(&probe, &QTimer::timeout, this, [&] {
            if (!busy()->isVisible())
                return;
            const QString text = busy()->findChild<QLabel *>(QStringLiteral("lblProgress"))->text();
            if (!text.isEmpty() && (progress.isEmpty() || progress.last() != text))
                progress << text;
            if (!progress.isEmpty() && !poked) {
                poked = true;
                child<QPushButton>(page.get(), "btnImport")->click();
                QMetaObject::invokeMethod(page.get(), "onImportUuid");
            }
        });
        probe.start();
        runImport(path, false, 120000);
        probe.stop();
        expectResult(30000, 0);
        QVERIFY(poked);
        QVERIFY2(progress.first().endsWith(QLatin1String(" values read")), qPrintable(progress.first()));
        QCOMPARE(importLogs(), 1);
        QCOMPARE(poolSize(), 30000);
        // The second start's timer has nothing left to do either.
        QTest::qWait(300);
        QCOMPARE(MessageBox::shown().size(), 1);
        QVERIFY(!busy()->isVisible());
    }
};

TARNWELL_TEST_MAIN(TestImport)
#include "tst_import.moc"
