// The serial-number import on the Serial page, driven as an operator would: choose a
// file, pick the customer, press Import, read the box, check the pool and the log.
#include "tests/support/testsupport.h"

#include "store/datastore.h"
#include "widgets/messagebox.h"
#include "serial/serial.h"
#include "tests/import/xlsxfile.h"

#include <QDialog>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTimer>

#include <memory>

using testsupport::click;
using testsupport::dataFile;
using testsupport::writeFile;
using xlsxfile::textCell;

namespace {

const QSize kPageSize(1104, 656);   // the main window's page area

// An XML file of the expected shape: one record per value.
QByteArray xmlOf(const QStringList &values)
{
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<serials>\n";
    for (const QString &v : values)
        xml += "  <record><uuid>" + v.toHtmlEscaped().toUtf8() + "</uuid></record>\n";
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

    template <typename T>
    T *child(const char *name) const
    {
        return page->findChild<T *>(QLatin1String(name));
    }
    QDialog *busy() const { return child<QDialog>("Loading"); }

    // Chooses `path` in the file dialog, picks the customer and presses Import; returns
    // once the import has shown its box (the box the operator dismisses last).
    void runImport(const QString &path, bool umeye = false, int timeoutMs = 10000)
    {
        FileDialog::setNextFileName(path);
        click(child<QPushButton>("btnChoose"));
        QCOMPARE(child<QLineEdit>("lineEditPath")->text(), path);
        click(child<QRadioButton>(umeye ? "rbUMEYE" : "rbBrisvan"));
        const int before = MessageBox::shown().size();
        click(child<QPushButton>("btnImport"));
        QVERIFY(busy()->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(MessageBox::shown().size() > before, timeoutMs);
        QCOMPARE(MessageBox::shown().size(), before + 1);
        QVERIFY(!busy()->isVisible());
    }

    void expectResult(int stored, int failed)
    {
        const MessageBox::Shown box = MessageBox::last();
        QCOMPARE(box.kind, MessageBox::Information);
        QCOMPARE(box.title, QStringLiteral("title"));
        QCOMPARE(box.text, resultText(stored, failed));
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

    // The dialog offers the three kinds; cancelling it clears the field.
    void chooseFile()
    {
        FileDialog::setNextFileName(QStringLiteral("/tmp/a b/serials.xlsx"));
        click(child<QPushButton>("btnChoose"));
        QCOMPARE(FileDialog::calls().last().filter, QStringLiteral("Files(*.xls *.xlsx *.xml)"));
        QCOMPARE(child<QLineEdit>("lineEditPath")->text(), QStringLiteral("/tmp/a b/serials.xlsx"));
        click(child<QPushButton>("btnChoose"));
        QCOMPARE(child<QLineEdit>("lineEditPath")->text(), QString());
    }

    // Records, value elements, nested text, comments and stray text as the format reads
    // them; a second run of the same file stores nothing.
    void xmlFile()
    {
        const QString path = writeFile(QStringLiteral("in dir/serials.xml"),
                                       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                       "<anything>\n"
                                       "  <record><uuid>XML-0001</uuid><other>XML-0002</other></record>\n"
                                       "  <record><uuid>XML-0001</uuid></record>\n"
                                       "  stray text on the record level\n"
                                       "  <record>text without value elements</record>\n"
                                       "  <record><uuid></uuid><!-- a note --><uuid>XML-<b>00</b>03</uuid></record>\n"
                                       "  <record><uuid>设备-0004</uuid></record>\n"
                                       "</anything>\n");
        runImport(path);
        // Stored: 0001, 0002, 0003, 0004. Failed: the repeated 0001, the record's own text,
        // the empty element, the comment.
        expectResult(4, 4);
        QCOMPARE(pool(), (QStringList{"2:XML-0001", "2:XML-0002", "2:XML-0003", QStringLiteral("2:设备-0004")}));
        QCOMPARE(importLogs(), 1);

        runImport(path, true);
        expectResult(0, 8);
        QCOMPARE(poolSize(), 4);
        QCOMPARE(importLogs(), 2);
    }

    // Nothing is read: a box says why, and neither the pool nor the log changes. Files that
    // would cost unbounded memory or be read wrongly are refused before parsing.
    void nothingRead_data()
    {
        QTest::addColumn<QString>("name");   // written in the working folder unless contents is null
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("text");   // a pattern
        const int warning = MessageBox::Warning, information = MessageBox::Information;
        QTest::newRow("nothing chosen") << "" << QByteArray() << warning << "^Please enter a query path!$";
        QTest::newRow("spaces") << "   " << QByteArray() << warning << "^Please enter a query path!$";
        QTest::newRow("cannot open") << "missing.xml" << QByteArray() << information << "^open error!$";
        QTest::newRow("not well-formed") << "bad.xml" << QByteArray("<r>\n<record><v>A</v></r>\n") << information
                                         << "^parse file failed at line row and column2,\\d+$";
        QTest::newRow("empty file") << "empty.xml" << QByteArray("") << information
                                    << "^parse file failed at line row and column\\d+,\\d+$";
        QByteArray laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE lolz [\n<!ENTITY lol \"lol\">\n";
        laughs += "<!ENTITY lol1 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">\n";
        for (int i = 2; i <= 9; ++i)
            laughs += "<!ENTITY lol" + QByteArray::number(i) + " \"" + QByteArray("&lol" + QByteArray::number(i - 1) + ";").repeated(10) + "\">\n";
        laughs += "]>\n<lolz><r><v>&lol9;</v></r></lolz>\n";
        QTest::newRow("entity expansion") << "hostile.xml" << laughs << warning << "declares entities.*was not imported";
        QTest::newRow("deep nesting") << "hostile.xml" << QByteArray("<a>").repeated(100000) + QByteArray("</a>").repeated(100000)
                                      << warning << "deeper than.*was not imported";
        QTest::newRow("gigantic text") << "hostile.xml" << "<r><record><v>" + QByteArray(3 << 20, 'x') + "</v></record></r>"
                                       << warning << "longer than.*was not imported";
        QTest::newRow("Latin-1 bytes read as UTF-8") << "hostile.xml" << QByteArray("<r><record><v>caf\xE9</v></record></r>")
                                                     << warning << "not valid UTF-8.*was not imported";
        QTest::newRow("declared UTF-8, broken bytes") << "hostile.xml"
            << QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?><r><record><v>\xC3\x28</v></record></r>")
            << warning << "not valid UTF-8.*was not imported";
    }
    void nothingRead()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, contents);
        QFETCH(int, kind);
        QFETCH(QString, text);
        const bool blank = name.trimmed().isEmpty();
        runImport(!contents.isNull() ? writeFile(name, contents) : blank ? name : QDir::current().absoluteFilePath(name));
        const MessageBox::Shown box = MessageBox::last();
        QCOMPARE(int(box.kind), kind);
        QCOMPARE(box.title, kind == MessageBox::Warning ? QStringLiteral("Warning") : QStringLiteral("title"));
        QVERIFY2(box.text.contains(QRegularExpression(text)), qPrintable(box.text));
        if (blank)
            QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Yes));
        QCOMPARE(importLogs(), 0);
        QCOMPARE(poolSize(), 0);
    }

    // A file that says what it is encoded in is read in that encoding.
    void xmlDeclaredEncoding()
    {
        runImport(writeFile(QStringLiteral("latin.xml"),
                            "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r><record><v>caf\xE9</v></record></r>"));
        expectResult(1, 0);
        QCOMPARE(pool(), QStringList{QStringLiteral("2:café")});
    }

    // The reader follows the path's text: case-sensitive, anywhere in it, XML first.
    void readerChoice()
    {
        const QByteArray xml = xmlOf({"CHOICE-1"});
        runImport(writeFile(QStringLiteral("upper.XML"), xml));
        expectResult(0, 0);
        QCOMPARE(importLogs(), 1);
        runImport(writeFile(QStringLiteral("serials.txt"), xml));
        expectResult(0, 0);
        QCOMPARE(importLogs(), 2);
        QCOMPARE(poolSize(), 0);

        // A folder named x.xml makes even a ".xlsx" file an XML file.
        runImport(writeFile(QStringLiteral("x.xml/serials.xlsx"), xml));
        expectResult(1, 0);
        QCOMPARE(pool(), QStringList{"2:CHOICE-1"});
        QCOMPARE(importLogs(), 3);
    }

    // The workbook fixtures: every sheet, header rows skipped, empty cells and values
    // already in another customer's pool counted as failed and left where they are.
    void workbookFixtures_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("stored");
        QTest::addColumn<int>("failed");
        QTest::addColumn<QStringList>("firstSheet");
        // First sheet: 10 of 12 (an empty cell, a repeat); Offset: 4; OneRow: none;
        // Pool: the date and NEW-0001 (OTHER-0001 is taken, one empty cell).
        QTest::newRow("xlsx") << "workbook.xlsx" << 16 << 4
                              << QStringList{"AAA-0001", "1234567890123", "true", "AAA-0002", "AAA-0002-F",
                                             QStringLiteral("设备-Ω-0003"), "0.1", "5", "-5", "false"};
        // FreeXL leaves formula results empty: two more failed.
        QTest::newRow("xls") << "workbook.xls" << 14 << 6
                             << QStringList{"AAA-0001", "1234567890123", "1", "AAA-0002", QStringLiteral("设备-Ω-0003"),
                                            "0.1", "-5", "0"};
    }
    void workbookFixtures()
    {
        QFETCH(QString, file);
        QFETCH(int, stored);
        QFETCH(int, failed);
        QFETCH(QStringList, firstSheet);
        QVERIFY(testsupport::exec(QStringLiteral(
            "INSERT INTO SerialNumbers(CustomerID, SerialNumber, IsUse) VALUES(2, 'OTHER-0001', 0)")));

        runImport(dataFile(file), true);
        expectResult(stored, failed);
        QStringList expected{"2:OTHER-0001"};
        for (const QString &v : firstSheet)
            expected << QStringLiteral("1:") + v;
        expected << "1:OFF-1" << "1:3" << "1:OFF-2" << "1:1e+20" << "1:45306" << "1:NEW-0001";
        QCOMPARE(pool(), expected);
        QCOMPARE(importLogs(), 1);

        runImport(dataFile(file), true);
        expectResult(0, stored + failed);
        QCOMPARE(poolSize(), stored + 1);
    }

    // Any workbook that cannot be read ends with "EXCEL lose"; what was stored before
    // the failure stays, nothing after it is read, and no log row is written.
    void workbookFailures_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QStringList>("kept");
        QTest::newRow("missing file") << "missing" << QStringList();
        QTest::newRow("second sheet broken") << "broken" << QStringList{"2:KEPT-1", "2:KEPT-2", "2:BEFORE-BREAK"};
        QTest::newRow("truncated xls") << "xls" << QStringList();
    }
    void workbookFailures()
    {
        QFETCH(QString, kind);
        QFETCH(QStringList, kept);
        const QByteArray good = xlsxfile::worksheet(textCell("A1", "UUID") + textCell("A2", "KEPT-1")
                                                    + textCell("A3", "KEPT-2"), "A1:A3");
        QString path = QDir::current().absoluteFilePath(kind + QStringLiteral(".xlsx"));
        if (kind == QLatin1String("broken")) {
            // Broken after its first value: that one is stored, nothing after it is read.
            QByteArray bad = xlsxfile::worksheet(textCell("A1", "UUID") + textCell("A2", "BEFORE-BREAK")
                                                 + textCell("A3", "NEVER") + textCell("A4", "NEVER-2"), "A1:A4");
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
        QCOMPARE(box.text, QStringLiteral("EXCEL lose"));
        QCOMPARE(pool(), kept);
        QCOMPARE(importLogs(), 0);
    }

    // Values the pool must not hold: empty, too long for the device request (47 bytes of
    // UTF-8 and a NUL), holding a NUL, or broken UTF-16. Never cut, never stored.
    void unusableValues()
    {
        const QString ascii47 = QString(QLatin1Char('A')).repeated(47);
        const QString ascii48 = QString(QLatin1Char('B')).repeated(48);
        const QString wide48 = QStringLiteral("设").repeated(16);               // 48 bytes
        const QString wide47 = QStringLiteral("设").repeated(15) + QStringLiteral("ab");   // 47 bytes
        const QByteArray cells = "<row r=\"1\">" + textCell("A1", "UUID") + "</row><row r=\"2\">"
            + textCell("A2", ascii47) + textCell("B2", ascii48) + textCell("C2", wide48) + textCell("D2", wide47)
            + "</row><row r=\"3\">" + textCell("A3", "nul_x0000_inside") + textCell("B3", "lone_xD800_half")
            + "<c r=\"C3\" t=\"inlineStr\"><is><t></t></is></c>" + textCell("D3", "fine") + "</row>";
        const QString path = QDir::current().absoluteFilePath(QStringLiteral("values.xlsx"));
        QVERIFY(xlsxfile::writeZip(path, xlsxfile::package({xlsxfile::worksheet(cells, "A1:D3")})));
        runImport(path);
        expectResult(3, 5);
        QCOMPARE(pool(), (QStringList{"2:" + ascii47, "2:" + wide47, "2:fine"}));
    }

    // Nothing stored: the page and its label stay; something stored: page 1, new total.
    void pagingAfterImport()
    {
        QVERIFY(testsupport::fillPool(QStringLiteral("P-"), 200));
        click(child<QPushButton>("btnSearch"));
        click(child<QPushButton>("btnSerialNext"));
        QLabel *label = child<QLabel>("label_5");
        const QString onPage2 = label->text();
        QVERIFY2(onPage2.endsWith(QLatin1String("current 2 page")), qPrintable(onPage2));

        runImport(writeFile(QStringLiteral("dups.xml"), xmlOf({"P-0001", "P-0002"})));
        expectResult(0, 2);
        QCOMPARE(label->text(), onPage2);

        runImport(writeFile(QStringLiteral("new.xml"), xmlOf({"P-NEW"})));
        expectResult(1, 0);
        QVERIFY2(label->text().startsWith(QLatin1String("A total of 201 serial number")), qPrintable(label->text()));
        QVERIFY2(label->text().endsWith(QLatin1String("current 1 page")), qPrintable(label->text()));
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
                child<QPushButton>("btnImport")->click();
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
