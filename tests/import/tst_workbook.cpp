// The workbook readers on their own: what they yield from real workbooks made by a
// spreadsheet application, odd but valid packages, and files that must be refused.
#include "tests/support/testsupport.h"

#include "serial/workbook.h"
#include "tests/import/xlsxfile.h"
#include "serial/xlsxreader.h"

#include <QDir>
#include <QFile>

namespace {

using testsupport::dataFile;
using testsupport::readFile;
using testsupport::writeFile;
using xlsxfile::textCell;

// Collects what a reader hands over; empty runs are expanded unless huge.
class Collect : public ValueSink
{
public:
    bool value(const QString &text) override
    {
        values.append(text);
        return true;
    }
    bool emptyValues(qint64 count) override
    {
        empties += count;
        if (count > 100000)
            return true;
        return ValueSink::emptyValues(count);
    }
    QStringList values;
    qint64 empties = 0;
};

struct SheetResult {
    UsedRange range;
    QStringList values;
    qint64 empties = 0;
};

// Opens `path`, reads every sheet; `error` gets the reader's text on failure.
bool readAll(const QString &path, QList<SheetResult> *sheets, QString *error = nullptr,
             std::unique_ptr<WorkbookReader> *keep = nullptr)
{
    QString why;
    std::unique_ptr<WorkbookReader> reader = WorkbookReader::forFile(path, &why);
    bool ok = reader && reader->open(path);
    for (int s = 0; ok && s < reader->sheetCount(); ++s) {
        SheetResult sheet;
        Collect sink;
        ok = reader->usedRange(s, &sheet.range) && reader->readValues(s, sink);
        sheet.values = sink.values;
        sheet.empties = sink.empties;
        sheets->append(sheet);
    }
    if (error)
        *error = reader ? reader->errorText() : why;
    if (keep)
        *keep = std::move(reader);
    return ok;
}

// readAll that must succeed; the reader's text goes to the test log when it does not.
bool readOk(const QString &path, QList<SheetResult> *sheets)
{
    QString error;
    const bool ok = readAll(path, sheets, &error);
    if (!ok)
        qWarning("%s", qPrintable(error));
    return ok;
}

bool sameRange(const UsedRange &r, int row, int column, int rows, int columns)
{
    return r.firstRow == row && r.firstColumn == column && r.rowCount == rows && r.columnCount == columns;
}

QString write(const QString &name, const xlsxfile::Entries &entries)
{
    const QString path = QDir::current().absoluteFilePath(name);
    QFile::remove(path);
    return xlsxfile::writeZip(path, entries) ? path : QString();
}

QString writeSheets(const QString &name, const QList<QByteArray> &sheets, const QByteArray &shared = {})
{
    return write(name, xlsxfile::package(sheets, shared));
}

} // namespace

class TestWorkbook : public QObject
{
    Q_OBJECT

private slots:
    void numberText_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("13-digit serial") << 1234567890123.0 << "1234567890123";
        QTest::newRow("0.1") << 0.1 << "0.1";
        QTest::newRow("1e20") << 1e20 << "1e+20";
        QTest::newRow("-5") << -5.0 << "-5";
        QTest::newRow("3.0") << 3.0 << "3";
        QTest::newRow("2^53") << 9007199254740992.0 << "9007199254740992";
        QTest::newRow("0.1+0.2") << 0.1 + 0.2 << "0.30000000000000004";
        QTest::newRow("-0") << -0.0 << "0";
        QTest::newRow("1e-7") << 1e-7 << "1e-07";
    }
    void numberText()
    {
        QFETCH(double, value);
        QFETCH(QString, text);
        QCOMPARE(::numberText(value), text);
        if (value != 0)
            QCOMPARE(text.toDouble(), value);   // reads back as the same number
    }

    // Fixtures made by LibreOffice from tests/data/workbook.fods.
    void spreadsheetFixtures_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QStringList>("first");
        QTest::newRow("xlsx") << "workbook.xlsx"
                              << QStringList{"AAA-0001", "1234567890123", "true", "AAA-0002", "", "AAA-0002-F",
                                             QStringLiteral("设备-Ω-0003"), "0.1", "5", "AAA-0001", "-5", "false"};
        // FreeXL reports booleans as the integers they are stored as and does not read the
        // cached results of formula cells, which come out empty.
        QTest::newRow("xls") << "workbook.xls"
                             << QStringList{"AAA-0001", "1234567890123", "1", "AAA-0002", "", "",
                                            QStringLiteral("设备-Ω-0003"), "0.1", "", "AAA-0001", "-5", "0"};
    }
    void spreadsheetFixtures()
    {
        QFETCH(QString, file);
        QFETCH(QStringList, first);
        QList<SheetResult> sheets;
        QVERIFY(readOk(dataFile(file), &sheets));
        QCOMPARE(sheets.size(), 4);

        QVERIFY(sameRange(sheets[0].range, 1, 1, 5, 3));
        QCOMPARE(sheets[0].values, first);
        // Below and right of A1: read from its own first column, header row skipped.
        QVERIFY(sameRange(sheets[1].range, 4, 3, 3, 2));
        QCOMPARE(sheets[1].values, (QStringList{"OFF-1", "3", "OFF-2", "1e+20"}));
        // A single row is all header.
        QVERIFY(sameRange(sheets[2].range, 1, 1, 1, 2));
        QCOMPARE(sheets[2].values, QStringList());
        // A date is its serial number, as stored.
        QVERIFY(sameRange(sheets[3].range, 1, 1, 3, 2));
        QCOMPARE(sheets[3].values, (QStringList{"OTHER-0001", "45306", "NEW-0001", ""}));
    }

    // Cell kinds (shared, rich, escaped, boolean, error, formula results, inline, styled
    // empty, number); a sheet without <dimension> is the rectangle of the cells present,
    // positions may be implied; a huge used range with a single value costs time per
    // cell present (the gap comes in runs too long to expand, not cell by cell).
    void xlsxSheets()
    {
        const QByteArray shared =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
            "<si><t>plain</t></si>"
            "<si><r><t>ri</t></r><r><rPr><b/></rPr><t>ch</t></r><rPh sb=\"0\" eb=\"1\"><t>PHONETIC</t></rPh></si>"
            "<si><t>a_x000D_b_x005F_x0041_</t></si></sst>";
        const QByteArray kinds =
            "<row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\" t=\"s\"><v>0</v></c></row>"
            "<row r=\"2\"><c r=\"A2\" t=\"s\"><v>1</v></c><c r=\"B2\" t=\"s\"><v>2</v></c></row>"
            "<row r=\"3\"><c r=\"A3\" t=\"b\"><v>1</v></c><c r=\"B3\" t=\"e\"><v>#N/A</v></c></row>"
            "<row r=\"4\"><c r=\"A4\" t=\"str\"><f>A1</f><v>cached</v></c><c r=\"B4\"><f>1/3</f><v>0.33333333333333331</v></c></row>"
            "<row r=\"5\"><c r=\"A5\"><f>NOW()</f></c><c r=\"B5\" t=\"inlineStr\"><is><t>in</t><t>line</t></is></c></row>"
            "<row r=\"6\"><c r=\"A6\" s=\"2\"/><c r=\"B6\"><v>1.2345678901230000E+12</v></c></row>";
        const QByteArray noDimension =
            "<row r=\"3\"><c r=\"C3\" t=\"inlineStr\"><is><t>head</t></is></c></row>"
            "<row r=\"5\"><c r=\"B5\"><v>1</v></c></row>"
            "<row><c t=\"inlineStr\"><is><t>implied-A6</t></is></c><c><v>2</v></c><c><v>3</v></c></row>";
        const QByteArray sparse = "<row r=\"1\">" + textCell("A1", "h") + "</row><row r=\"1048576\">"
            + textCell("XFD1048576", "corner") + "</row>";
        const QString path = writeSheets(QStringLiteral("sheets.xlsx"),
                                         {xlsxfile::worksheet(kinds, "A1:B6"), xlsxfile::worksheet(noDimension),
                                          xlsxfile::worksheet(sparse, "A1:XFD1048576")},
                                         shared);
        QList<SheetResult> sheets;
        QVERIFY(readOk(path, &sheets));
        QCOMPARE(sheets.size(), 3);
        QCOMPARE(sheets[0].values, (QStringList{"rich", "a\rb_x0041_", "true", "#N/A", "cached", "0.3333333333333333",
                                                "", "inline", "", "1234567890123"}));
        QVERIFY(sameRange(sheets[1].range, 3, 1, 4, 3));
        QCOMPARE(sheets[1].values, (QStringList{"", "", "", "", "1", "", "implied-A6", "2", "3"}));
        QCOMPARE(sheets[2].values, QStringList{"corner"});
        QCOMPARE(sheets[2].empties, qint64(1048575) * 16384 - 1);
    }

    // Worksheets come in the workbook's order, whatever the parts are called; chart
    // sheets are not worksheets; a hidden sheet still is one; an empty sheet is A1 alone.
    void xlsxSheetOrder()
    {
        xlsxfile::Entries entries = xlsxfile::package(
            {xlsxfile::worksheet(textCell("A1", "h") + textCell("A2", "from-part-1"), "A1:A2"),
             xlsxfile::worksheet(textCell("A1", "h") + textCell("A2", "from-part-2"), "A1:A2"),
             xlsxfile::worksheet(QByteArray())});
        for (xlsxfile::Entry &e : entries) {
            if (e.name == QLatin1String("xl/workbook.xml")) {
                e.data = "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
                         "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"><sheets>"
                         "<sheet name=\"B\" sheetId=\"2\" r:id=\"rId2\" state=\"hidden\"/>"
                         "<sheet name=\"Chart\" sheetId=\"9\" r:id=\"rIdC\"/>"
                         "<sheet name=\"A\" sheetId=\"1\" r:id=\"rId1\"/>"
                         "<sheet name=\"E\" sheetId=\"3\" r:id=\"rId3\"/></sheets></workbook>";
            } else if (e.name == QLatin1String("xl/_rels/workbook.xml.rels")) {
                e.data.replace("</Relationships>",
                               "<Relationship Id=\"rIdC\" Type=\"http://schemas.openxmlformats.org/officeDocument/"
                               "2006/relationships/chartsheet\" Target=\"/xl/chartsheets/sheet1.xml\"/></Relationships>");
            }
        }
        const QString path = write(QStringLiteral("order.xlsx"), entries);
        QList<SheetResult> sheets;
        QVERIFY(readOk(path, &sheets));
        QCOMPARE(sheets.size(), 3);
        QCOMPARE(sheets[0].values, QStringList{"from-part-2"});
        QCOMPARE(sheets[1].values, QStringList{"from-part-1"});
        QVERIFY(sameRange(sheets[2].range, 1, 1, 1, 1));
    }

    // Cells must come in reading order; one going back is a corrupt sheet.
    void xlsxCellsOutOfOrder()
    {
        const QString path = writeSheets(
            QStringLiteral("disorder.xlsx"),
            {xlsxfile::worksheet("<row r=\"1\">" + textCell("A1", "h") + "</row><row r=\"3\">" + textCell("A3", "x")
                                     + "</row><row r=\"2\">" + textCell("A2", "y") + "</row>",
                                 "A1:A3")});
        QList<SheetResult> sheets;
        QString error;
        QVERIFY(!readAll(path, &sheets, &error));
        QVERIFY2(error.contains(QLatin1String("order")), qPrintable(error));
        QCOMPARE(sheets[0].values, (QStringList{"", "x"}));
    }

    // Files that are not workbooks, or broken ones: refused with a reason, no crash,
    // and nothing read past the failure.
    void refusedFiles_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<int>("sheetsRead");   // including the one that failed
        QTest::newRow("missing file") << "missing" << "cannot open" << 0;
        QTest::newRow("text file") << "text" << "not a workbook" << 0;
        QTest::newRow("truncated zip") << "truncated" << "zip" << 0;
        QTest::newRow("corrupt deflate data") << "corrupt" << "" << 2;
        QTest::newRow("no package relationships") << "norels" << "missing part" << 0;
        QTest::newRow("sheet part missing") << "nosheet" << "missing part" << 3;
        QTest::newRow("second sheet broken mid-way") << "broken" << "" << 2;
        QTest::newRow("shared string index out of range") << "badshared" << "shared string" << 2;
        QTest::newRow("zip bomb") << "bomb" << "inflates more than" << 2;
        QTest::newRow("gigantic text") << "bigtext" << "over" << 2;
        QTest::newRow("deep nesting") << "deep" << "nested deeper" << 2;
        QTest::newRow("entity declarations") << "dtd" << "document type" << 0;
        QTest::newRow("non-UTF-8 bytes") << "latin1" << "not UTF-8" << 2;
        QTest::newRow("garbage after xls magic") << "xlsgarbage" << "XLS" << 0;
    }
    void refusedFiles()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        QFETCH(int, sheetsRead);

        const QByteArray good = xlsxfile::worksheet(textCell("A1", "h") + textCell("A2", "kept"), "A1:A2");
        const QString name = kind + QStringLiteral(".xlsx");
        QString path = QDir::current().absoluteFilePath(name);   // "missing" is never written
        QByteArray second;   // a second sheet after a good one
        QByteArray shared;
        if (kind == QLatin1String("text")) {
            path = writeFile(name, "UUID\nAAA\n");
        } else if (kind == QLatin1String("truncated")) {
            path = writeFile(name, readFile(writeSheets(name, {good, good})).chopped(30)); // into the central directory
        } else if (kind == QLatin1String("corrupt")) {
            // Flip bytes inside the second sheet's compressed data, which follows its
            // local header (30 bytes, the name, the extra field).
            QByteArray bytes = readFile(writeSheets(name, {good, good}));
            const int header = bytes.indexOf("xl/worksheets/sheet2.xml") - 30;
            QVERIFY(header >= 0 && bytes.mid(header, 4) == "PK\x03\x04");
            const int at = header + 30 + (uchar(bytes[header + 26]) | uchar(bytes[header + 27]) << 8)
                + (uchar(bytes[header + 28]) | uchar(bytes[header + 29]) << 8) + 10;
            for (int i = 0; i < 8; ++i)
                bytes[at + i] = char(~bytes[at + i]);
            path = writeFile(name, bytes);
        } else if (kind == QLatin1String("norels") || kind == QLatin1String("nosheet")) {
            xlsxfile::Entries entries = xlsxfile::package({good, good, good});
            if (kind == QLatin1String("norels"))
                entries.removeAt(1);   // _rels/.rels, after [Content_Types].xml
            else
                entries.removeLast();  // the third sheet's part
            path = write(name, entries);
        } else if (kind == QLatin1String("broken")) {
            second = xlsxfile::worksheet(textCell("A1", "h") + textCell("A2", "before")).chopped(20);
        } else if (kind == QLatin1String("badshared")) {
            second = xlsxfile::worksheet("<c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"A2\" t=\"s\"><v>7</v></c>");
            shared = xlsxfile::sharedStrings({"only"});
        } else if (kind == QLatin1String("bomb")) {
            // 32 MiB of one repeated empty element compresses beyond 1000:1.
            second = xlsxfile::worksheet(QByteArray());
            second.insert(second.indexOf("<sheetData>"), QByteArray("<a/>").repeated(8 << 20));
        } else if (kind == QLatin1String("bigtext")) {
            xlsxfile::Entries entries = xlsxfile::package(
                {good, xlsxfile::worksheet("<c r=\"A1\"><v>" + QByteArray(17 << 20, '7') + "</v></c>")});
            for (xlsxfile::Entry &e : entries)
                e.stored = true;   // no compression, so no ratio to trip over
            path = write(name, entries);
        } else if (kind == QLatin1String("deep")) {
            second = xlsxfile::worksheet(QByteArray("<x>").repeated(100) + QByteArray("</x>").repeated(100));
        } else if (kind == QLatin1String("dtd")) {
            shared = "<?xml version=\"1.0\"?><!DOCTYPE sst [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]>"
                     "<sst><si><t>&b;</t></si></sst>";
        } else if (kind == QLatin1String("latin1")) {
            second = xlsxfile::worksheet(textCell("A1", "h") + "<c r=\"A2\" t=\"inlineStr\"><is><t>caf\xE9</t></is></c>");
        } else if (kind == QLatin1String("xlsgarbage")) {
            path = writeFile(QStringLiteral("garbage.xls"), QByteArray::fromHex("d0cf11e0a1b11ae1") + QByteArray(4096, '\x5a'));
        }
        if (!second.isEmpty())
            path = writeSheets(name, {good, second}, shared);
        else if (!shared.isEmpty())
            path = writeSheets(name, {good}, shared);
        QVERIFY(!path.isEmpty());

        QList<SheetResult> sheets;
        QString error;
        QVERIFY(!readAll(path, &sheets, &error));
        QVERIFY2(error.contains(reason), qPrintable(error));
        QCOMPARE(sheets.size(), sheetsRead);
        // Sheets before the failing one were read whole.
        for (int s = 0; s + 1 < sheets.size(); ++s)
            QCOMPARE(sheets[s].values, QStringList{"kept"});
    }
};

TARNWELL_TEST_MAIN(TestWorkbook)
#include "tst_workbook.moc"
