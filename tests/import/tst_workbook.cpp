// The workbook readers on their own: what they yield from real workbooks made by a
// spreadsheet application, odd but valid packages, and files that must be refused.
#include "tests/support/testsupport.h"

#include "formats/csvimport.h"
#include "formats/workbook.h"
#include "formats/xlsreader.h"
#include "formats/xlsxreader.h"
#include "formats/xmlimport.h"
#include "tests/import/xlsxfile.h"

#include <QDir>
#include <QFile>
#include <QSet>

#include <cstring>

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
    bool errorValue(const QString &code) override
    {
        values.append(QStringLiteral("error:") + code);
        return true;
    }
    bool emptyValues(qint64 count) override
    {
        empties += count;
        if (count > 100000)
            return true;
        return ValueSink::emptyValues(count);
    }
    // The pool's own export (a UUID header) read by its first column, as a CSV of it is.
    bool firstColumnOnly(const QStringList &header) override
    {
        return uuidColumn && header.value(0) == QLatin1String("UUID");
    }
    bool uuidColumn = false;
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
    // XML and CSV by their suffix (they have no used range), workbooks by their content.
    const bool xml = path.endsWith(QLatin1String(".xml")), csv = path.endsWith(QLatin1String(".csv"));
    std::unique_ptr<WorkbookReader> reader = xml ? std::make_unique<xmlimport::XmlReader>()
        : csv                                    ? std::make_unique<csvimport::CsvReader>()
                                                 : WorkbookReader::forFile(path, &why);
    bool ok = reader && reader->open(path);
    for (int s = 0; ok && s < reader->sheetCount(); ++s) {
        SheetResult sheet;
        Collect sink;
        sink.uuidColumn = csv;
        ok = (xml || csv || reader->usedRange(s, &sheet.range)) && reader->readValues(s, sink);
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

// A bare BIFF8 stream, as the XLS reader also accepts one: records written by hand.
namespace biff {

QByteArray le16(int v)
{
    return QByteArray(1, char(v & 0xFF)) + char((v >> 8) & 0xFF);
}
QByteArray le32(quint32 v)
{
    return le16(int(v & 0xFFFF)) + le16(int(v >> 16));
}
QByteArray f64(double v)
{
    QByteArray b(8, 0);
    std::memcpy(b.data(), &v, 8); // little-endian hosts only, as the build is
    return b;
}
QByteArray rec(int type, const QByteArray &body)
{
    return le16(type) + le16(body.size()) + body;
}
QByteArray bof(int kind)
{
    return rec(0x0809, le16(0x0600) + le16(kind) + QByteArray(12, 0));
}
QByteArray eof()
{
    return rec(0x000A, {});
}
QByteArray cell(int row, int column)
{
    return le16(row) + le16(column) + le16(0);
}
// XLUnicodeString: 16-bit length, flags, characters (compressed when all are Latin-1).
QByteArray text(const QString &t)
{
    bool wide = false;
    for (QChar c : t)
        wide = wide || c.unicode() > 0xFF;
    QByteArray chars;
    for (QChar c : t)
        chars += wide ? le16(c.unicode()) : QByteArray(1, char(c.unicode()));
    return le16(t.size()) + char(wide ? 1 : 0) + chars;
}
QByteArray dimensions(int r1, int r2, int c1, int c2)
{
    return rec(0x0200, le32(r1) + le32(r2) + le16(c1) + le16(c2) + le16(0));
}
QByteArray formula(int row, int column, const QByteArray &value)
{
    return rec(0x0006, cell(row, column) + value + QByteArray(8, 0));
}
// A formula with its parsed tokens after the cached result.
QByteArray formulaOf(int row, int column, const QByteArray &value, const QByteArray &tokens)
{
    return rec(0x0006, cell(row, column) + value + QByteArray(6, 0) + le16(tokens.size()) + tokens);
}
QByteArray numberResult(double v)
{
    QByteArray b(8, 0);
    std::memcpy(b.data(), &v, 8);
    return b;
}
QByteArray special(int type, int byte)
{
    return char(type) + QByteArray(1, 0) + char(byte) + QByteArray(3, 0) + "\xFF\xFF";
}

// Globals (an optional SST, one BOUNDSHEET per listed sheet), then the sheets. Each entry
// of `listing` names the sheet (by index) a BOUNDSHEET points to, with its kind.
QByteArray workbook(const QList<QByteArray> &sheetRecords, const QByteArray &sst = {},
                    const QList<QPair<int, int>> &listing = {})
{
    QList<QPair<int, int>> list = listing;
    if (list.isEmpty())
        for (int i = 0; i < sheetRecords.size(); ++i)
            list.append({i, 0});
    const int globalsSize = bof(5).size() + sst.size() + list.size() * (4 + 8) + eof().size();
    QList<int> offsets;
    int at = globalsSize;
    for (const QByteArray &sheet : sheetRecords) {
        offsets.append(at);
        at += bof(0x10).size() + sheet.size() + eof().size();
    }
    QByteArray out = bof(5) + sst;
    for (const auto &entry : list)
        out += rec(0x0085, le32(quint32(offsets.at(entry.first))) + char(0) + char(entry.second) + le16(0));
    out += eof();
    for (const QByteArray &sheet : sheetRecords)
        out += bof(0x10) + sheet + eof();
    return out;
}

} // namespace biff

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
            QCOMPARE(text.toDouble(), value); // reads back as the same number
    }

    // Fixtures made by LibreOffice from tests/data/workbook.fods: the same workbook as
    // .xls and .xlsx gives the same values in the same order, formula results included.
    // One exception is LibreOffice's, not the reader's: its .xls filter (7.4) stores a
    // formula's text result as the number 0 without the STRING record that should carry
    // the text, so those cells read 0 from the .xls (xlsRecords reads a real STRING).
    void spreadsheetFixtures()
    {
        QList<SheetResult> xlsx, xls;
        QVERIFY(readOk(dataFile(QStringLiteral("workbook.xlsx")), &xlsx));
        QVERIFY(readOk(dataFile(QStringLiteral("workbook.xls")), &xls));
        QCOMPARE(xlsx.size(), 5);
        QCOMPARE(xls.size(), xlsx.size());
        // LibreOffice caches 0 in the .xls for its text formulas (never recalculated): those
        // of constants are evaluated, one that joins a cell's text cannot be and is refused;
        // the stale 0 is never a value.
        for (int s = 0; s < xlsx.size(); ++s) {
            QStringList expected = xlsx[s].values;
            for (QString &v : expected)
                if (v == QLatin1String("AAA-0002-F"))
                    v = QStringLiteral("error:#STALE!");
            QCOMPARE(xls[s].values, expected);
            QVERIFY(sameRange(xls[s].range, xlsx[s].range.firstRow, xlsx[s].range.firstColumn, xlsx[s].range.rowCount,
                              xlsx[s].range.columnCount));
        }

        QVERIFY(sameRange(xlsx[0].range, 1, 1, 5, 3));
        QCOMPARE(xlsx[0].values,
                 (QStringList{"AAA-0001", "1234567890123", "true", "AAA-0002", "", "AAA-0002-F",
                              QStringLiteral("设备-Ω-0003"), "0.1", "5", "AAA-0001", "-5", "false"}));
        // Below and right of A1: read from its own first column, header row skipped.
        QVERIFY(sameRange(xlsx[1].range, 4, 3, 3, 2));
        QCOMPARE(xlsx[1].values, (QStringList{"OFF-1", "3", "OFF-2", "1e+20"}));
        // A single row is all header.
        QVERIFY(sameRange(xlsx[2].range, 1, 1, 1, 2));
        QCOMPARE(xlsx[2].values, QStringList());
        // A date is its serial number, as stored.
        QVERIFY(sameRange(xlsx[3].range, 1, 1, 3, 2));
        QCOMPARE(xlsx[3].values, (QStringList{"OTHER-0001", "45306", "NEW-0001", ""}));
        // Formula results: text, number, a comparison (LibreOffice keeps it as a number
        // in both formats), an error, non-ASCII text, the empty text.
        QVERIFY(sameRange(xlsx[4].range, 2, 2, 5, 2));
        QCOMPARE(xlsx[4].values,
                 (QStringList{"FRM-0001", "42", "1", "error:#DIV/0!", QStringLiteral("设备-Ж-0002"), "", "0",
                              "12345678001"}));
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
            "<row r=\"6\"><c r=\"A6\" s=\"2\"/><c r=\"B6\"><v>1.2345678901230000E+12</v></c></row>"
            "<row r=\"7\"><c r=\"A7\"><f>\"G\"\"-\"&amp;CONCATENATE(\"00\"; (\"02\"))</f><v>0</v></c>"
            "<c r=\"B7\"><f>A1&amp;\"-X\"</f><v>0</v></c></row>";
        const QByteArray noDimension =
            "<row r=\"3\"><c r=\"C3\" t=\"inlineStr\"><is><t>head</t></is></c></row>"
            "<row r=\"5\"><c r=\"B5\"><v>1</v></c></row>"
            "<row><c t=\"inlineStr\"><is><t>implied-A6</t></is></c><c><v>2</v></c><c><v>3</v></c></row>";
        const QByteArray sparse = "<row r=\"1\">" + textCell("A1", "h") + "</row><row r=\"1048576\">"
            + textCell("XFD1048576", "corner") + "</row>";
        const QString path = writeSheets(QStringLiteral("sheets.xlsx"),
                                         {xlsxfile::worksheet(kinds, "A1:B7"), xlsxfile::worksheet(noDimension),
                                          xlsxfile::worksheet(sparse, "A1:XFD1048576")},
                                         shared);
        QList<SheetResult> sheets;
        QVERIFY(readOk(path, &sheets));
        QCOMPARE(sheets.size(), 3);
        QCOMPARE(sheets[0].values,
                 (QStringList{"rich", "a\rb_x0041_", "true", "error:#N/A", "cached", "0.3333333333333333", "", "inline",
                              "", "1234567890123", "G\"-0002", "error:#STALE!"}));
        QVERIFY(sameRange(sheets[1].range, 3, 1, 4, 3));
        QCOMPARE(sheets[1].values, (QStringList{"", "", "", "", "1", "", "implied-A6", "2", "3"}));
        QCOMPARE(sheets[2].values, QStringList{"corner"});
        QCOMPARE(sheets[2].empties, qint64(1048575) * 16384 - 1);
    }

    // Worksheets come in the workbook's order, whatever the parts are called; chart
    // sheets are not worksheets; a hidden sheet still is one; a part listed twice is read
    // once; an empty sheet is A1 alone.
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
                         "<sheet name=\"A2\" sheetId=\"4\" r:id=\"rId1\"/>"
                         "<sheet name=\"E\" sheetId=\"3\" r:id=\"rId3\"/></sheets></workbook>";
            } else if (e.name == QLatin1String("xl/_rels/workbook.xml.rels")) {
                e.data.replace(
                    "</Relationships>",
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

    // BIFF records written by hand: every kind of cell the reader takes, a shared
    // string split over a CONTINUE record (compressed, then 16-bit), a formula's text in
    // the STRING record after a SHRFMLA, an embedded chart skipped, a sheet listed twice
    // read once, a chart sheet not counted, a cell right of the DIMENSIONS record's
    // claim still part of the sheet.
    void xlsRecords()
    {
        using namespace biff;
        QByteArray sst = rec(0x00FC, le32(3) + le32(3) + text(QStringLiteral("plain")) + le16(6) + char(0) + "spl");
        sst += rec(0x003C, char(1) + le16(0x8BBE) + le16(0x5907) + le16('!') + text(QStringLiteral("设备")));
        const QByteArray cells = dimensions(0, 5, 0, 3) + rec(0x00FD, cell(0, 0) + le32(0))
            + rec(0x00FD, cell(0, 1) + le32(0)) + rec(0x00FD, cell(0, 2) + le32(0)) + rec(0x00FD, cell(1, 0) + le32(1))
            + rec(0x0203, cell(1, 1) + f64(1234567890123.0)) + rec(0x027E, cell(1, 2) + le32(quint32(-5) << 2 | 2))
            + rec(0x00BD,
                  le16(2) + le16(0) + le16(0) + le32(12345 << 2 | 3) + le16(0) + le32(quint32(7) << 2 | 2) + le16(1))
            + rec(0x0205, cell(2, 2) + char(1) + char(0)) + formula(3, 0, special(0, 0))
            + rec(0x04BC, QByteArray(10, 0)) + rec(0x0207, text(QStringLiteral("FRM-Ω"))) + formula(3, 1, f64(42))
            + formula(3, 2, special(1, 0)) + bof(0x20) + rec(0x0203, cell(3, 0) + f64(999)) + eof()
            + formula(4, 0, special(2, 0x07)) + formula(4, 1, special(3, 0))
            + rec(0x0204, cell(4, 2) + text(QStringLiteral("设备-L"))) + rec(0x0205, cell(4, 3) + char(0x2A) + char(1));
        const QString path = writeFile(QStringLiteral("records.xls"), workbook({cells}, sst, {{0, 0}, {0, 2}, {0, 0}}));
        QList<SheetResult> sheets;
        QVERIFY(readOk(path, &sheets));
        QCOMPARE(sheets.size(), 1);
        QVERIFY(sameRange(sheets[0].range, 1, 1, 5, 4));
        QCOMPARE(sheets[0].values,
                 (QStringList{QStringLiteral("spl设备!"), "1234567890123", "-5", "", "123.45", "7", "true", "",
                              QStringLiteral("FRM-Ω"), "42", "false", "", "error:#DIV/0!", "", QStringLiteral("设备-L"),
                              "error:#N/A"}));
    }

    // A sheet's used range is the rectangle of the cells it holds, formatted empty cells
    // included, whatever its DIMENSIONS record claims: the empty cells inside it count,
    // none outside it (a claimed 65536 x 256 with one value is not 16.7 million empties).
    void xlsUsedRange_data()
    {
        QTest::addColumn<QByteArray>("cells");
        QTest::addColumn<QList<int>>("range"); // first row, first column, rows, columns
        QTest::addColumn<QStringList>("values");
        QTest::addColumn<qint64>("empties");
        using namespace biff;
        const auto label = [](int row, int column, const char *t) {
            return rec(0x0204, cell(row, column) + text(QString::fromLatin1(t)));
        };
        const QByteArray header = label(0, 0, "h");
        const QByteArray whole = dimensions(0, 65536, 0, 256);
        QTest::newRow("whole sheet claimed, one value") << whole + header + rec(0x0203, cell(1, 0) + f64(1))
                                                        << QList<int>{1, 1, 2, 1} << QStringList{"1"} << qint64(0);
        QTest::newRow("whole sheet claimed, gaps inside the cells")
            << whole + header + label(1, 0, "A2") + label(3, 2, "C4") << QList<int>{1, 1, 4, 3}
            << QStringList{"A2", "", "", "", "", "", "", "", "C4"} << qint64(7);
        QTest::newRow("less claimed than held") << dimensions(0, 1, 0, 1) + header + label(2, 1, "B3")
                                                << QList<int>{1, 1, 3, 2} << QStringList{"", "", "", "B3"} << qint64(3);
        QTest::newRow("formatted empty cells count")
            << whole + header + label(1, 0, "A2")
                + rec(0x00BE, le16(2) + le16(0) + le16(0) + le16(0) + le16(0) + le16(2))
            << QList<int>{1, 1, 3, 3} << QStringList{"A2", "", "", "", "", ""} << qint64(2);
        QTest::newRow("no DIMENSIONS, away from A1")
            << label(2, 2, "head") + rec(0x0203, cell(4, 1) + f64(1)) << QList<int>{3, 2, 3, 2}
            << QStringList{"", "", "1", ""} << qint64(3);
    }
    void xlsUsedRange()
    {
        QFETCH(QByteArray, cells);
        QFETCH(QList<int>, range);
        QFETCH(QStringList, values);
        QFETCH(qint64, empties);
        QList<SheetResult> sheets;
        QVERIFY(readOk(writeFile(QStringLiteral("range.xls"), biff::workbook({cells})), &sheets));
        QCOMPARE(sheets.size(), 1);
        const UsedRange &r = sheets[0].range;
        QCOMPARE((QList<int>{r.firstRow, r.firstColumn, r.rowCount, r.columnCount}), range);
        QCOMPARE(sheets[0].values, values);
        QCOMPARE(sheets[0].empties, empties);
    }

    // A formula cell gives its cached result: a number, a boolean, an error, the empty
    // text, or a text in the STRING record that follows, after any ARRAY, SHRFMLA or
    // TABLE record and across a CONTINUE. The cell after it is read as itself.
    void xlsFormulaResults_data()
    {
        QTest::addColumn<QByteArray>("records");
        QTest::addColumn<QString>("value");
        using namespace biff;
        const QByteArray text0 = formula(1, 0, special(0, 0));
        const QByteArray string = rec(0x0207, text(QStringLiteral("FRM-设备")));
        QTest::newRow("boolean true") << formula(1, 0, special(1, 1)) << "true";
        QTest::newRow("error #N/A") << formula(1, 0, special(2, 0x2A)) << "error:#N/A";
        QTest::newRow("text after ARRAY")
            << text0 + rec(0x0221, QByteArray(14, 0)) + string << QStringLiteral("FRM-设备");
        QTest::newRow("text after TABLE")
            << text0 + rec(0x0236, QByteArray(16, 0)) + string << QStringLiteral("FRM-设备");
        // A number cached for a text formula (saved without recalculation): constants joined
        // by tConcat or CONCATENATE give their text, a cell's text joined cannot be trusted,
        // a number's formula keeps its number.
        const QByteArray gen = QByteArray("\x17\x04\x00GEN-", 7);
        const QByteArray wide = QByteArray("\x17\x01\x01", 3) + le16(0x8BBE);
        QTest::newRow("stale: constants joined")
            << formulaOf(1, 0, numberResult(0), gen + wide + char(0x08)) << QStringLiteral("GEN-设");
        QTest::newRow("stale: CONCATENATE")
            << formulaOf(1, 0, numberResult(0), gen + gen + QByteArray("\x42\x02\x50\x01", 4)) << "GEN-GEN-";
        QTest::newRow("stale: a cell joined")
            << formulaOf(1, 0, numberResult(0), QByteArray("\x44\x00\x00\x00\xC0", 5) + gen + char(0x08))
            << "error:#STALE!";
        QTest::newRow("number formula") << formulaOf(1, 0, numberResult(5),
                                                     QByteArray("\x1E\x02\x00\x1E\x03\x00\x03", 7))
                                        << "5";
        QTest::newRow("text over a CONTINUE") << text0 + rec(0x0207, le16(7) + char(0) + "TXT")
                + rec(0x003C, char(1) + le16('-') + le16(0x8BBE) + le16('1')) + rec(0x003C, char(0) + QByteArray("2"))
                                              << QStringLiteral("TXT-设12");
    }
    void xlsFormulaResults()
    {
        QFETCH(QByteArray, records);
        QFETCH(QString, value);
        using namespace biff;
        const QByteArray cells = rec(0x0204, cell(0, 0) + text(QStringLiteral("h"))) + records
            + rec(0x0204, cell(2, 0) + text(QStringLiteral("NEXT")));
        QList<SheetResult> sheets;
        QVERIFY(readOk(writeFile(QStringLiteral("formula.xls"), workbook({cells})), &sheets));
        QCOMPARE(sheets.size(), 1);
        QCOMPARE(sheets[0].values, (QStringList{value, "NEXT"}));
    }

    // Broken or hostile XLS streams: refused with a reason; claims (string counts,
    // dimensions) cost nothing until cells back them.
    void xlsRefused_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QString>("reason"); // empty: reads, and the values below
        QTest::addColumn<QStringList>("values");
        using namespace biff;
        const QByteArray header = rec(0x00FD, cell(0, 0) + le32(0));
        const QByteArray sst1 = rec(0x00FC, le32(0x7FFFFFFF) + le32(0x7FFFFFFF) + text(QStringLiteral("only")));
        QTest::newRow("string count claimed, one present")
            << workbook({dimensions(0, 2, 0, 1) + header + rec(0x00FD, cell(1, 0) + le32(0))}, sst1) << ""
            << QStringList{"only"};
        QTest::newRow("shared string index equal to the count")
            << workbook({dimensions(0, 2, 0, 1) + header + rec(0x00FD, cell(1, 0) + le32(1))}, sst1)
            << "shared string 1 does not exist" << QStringList();
        // The sheet's last record, its EOF, claims one byte more than the stream holds.
        QTest::newRow("record past the end")
            << workbook({header}, sst1).chopped(4) + le16(0x000A) + le16(1) << "past the end" << QStringList();
        // The shared strings go on in a CONTINUE record that claims more than the stream holds.
        QTest::newRow("shared strings continued past the end")
            << bof(5) + sst1 + le16(0x003C) + le16(100) + QByteArray(10, 'x') << "have no end" << QStringList();
        QTest::newRow("formula text missing")
            << workbook({dimensions(0, 2, 0, 1) + header + formula(1, 0, special(0, 0))}, sst1) << "missing"
            << QStringList();
        QTest::newRow("password") << bof(5) + rec(0x002F, QByteArray(6, 0)) + eof() << "password" << QStringList();
        QTest::newRow("BIFF4") << rec(0x0809, le16(0x0400) + le16(5)) + eof() << "version" << QStringList();
        QTest::newRow("sheet offset outside the stream")
            << bof(5) + rec(0x0085, le32(1u << 30) + le16(0) + le16(0)) + eof() << "no sheet starts" << QStringList();
    }
    void xlsRefused()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QString, reason);
        QFETCH(QStringList, values);
        QList<SheetResult> sheets;
        QString error;
        const bool ok = readAll(writeFile(QStringLiteral("hostile.xls"), stream), &sheets, &error);
        QVERIFY2(ok == reason.isEmpty(), qPrintable(error));
        QVERIFY2(error.contains(reason), qPrintable(error));
        if (ok)
            QCOMPARE(sheets.value(0).values, values);
    }

    // The streamed formats through the readers' one interface. CSV: RFC 4180 quoting,
    // encodings, line ends; empty fields and blank lines are no values; the pool's own
    // export is read by its UUID column. XML: the text of each value element, whole; a text
    // of blanks alone is no node, in a value as between elements (so "<v>  </v>" is empty,
    // never an identifier of spaces); CDATA and entities are text; a record's own text or
    // comment is one empty value.
    void streamValues_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("values");
        QTest::addColumn<QString>("suffix");
        QTest::newRow("quoting, CRLF, blank lines")
            << QByteArray("a,\"b,c\",\"d\"\"e\"\r\n\r\n\"multi\r\nline\",,f\r\n,,\r\n")
            << QStringList{"a", "b,c", "d\"e", "multi\r\nline", "f"} << ".csv";
        QTest::newRow("UTF-8 BOM, LF, no final line end")
            << QByteArray("\xEF\xBB\xBF\xE8\xAE\xBE\xE5\xA4\x87-1\n  spaced  ,x")
            << QStringList{QStringLiteral("设备-1"), "  spaced  ", "x"} << ".csv";
        QTest::newRow("CR line ends") << QByteArray("a\rb,\"\"\rc") << QStringList{"a", "b", "c"} << ".csv";
        QTest::newRow("UTF-16LE") << QByteArray("\xFF\xFE"
                                                "a\0,\0\xBE\x8B\r\0\n\0\"\0q\0\"\0",
                                                18)
                                  << QStringList{"a", QStringLiteral("设"), "q"} << ".csv";
        QTest::newRow("UTF-16BE") << QByteArray("\xFE\xFF\0a\0,\x8B\xBE", 8) << QStringList{"a", QStringLiteral("设")}
                                  << ".csv";
        QTest::newRow("export layout") << QByteArray("UUID,Customer,Is used,Type,SN.,IP\r\nX-1,UMEYE,NO,,,\r\n"
                                                     "X-2,UMEYE,YES,IPC,DEV-2,10.0.0.2\r\n")
                                       << QStringList{"X-1", "X-2"} << ".csv";
        QTest::newRow("lone CR inside quotes")
            << QByteArray("\"a\rb\",c\r\"d\r\"\n\"\re\"") << QStringList{"a\rb", "c", "d\r", "\re"} << ".csv";
        QTest::newRow("NUL is a character")
            << QByteArray("a\0b,c", 5) << QStringList{QString::fromLatin1("a\0b", 3), "c"} << ".csv";
        QTest::newRow("blanks") << QByteArray("<r>\n <a>\n  <v>  </v>\n  <v>x<b/> </v>\n  <v> y </v>\n </a>\n</r>")
                                << QStringList{"", "x", " y "} << ".xml";
        QTest::newRow("CDATA and entities")
            << QByteArray("<r><a><v><![CDATA[  ]]></v><v> &amp; </v><v>&#65;<b>B</b>&lt;</v></a></r>")
            << QStringList{"  ", " & ",
                           "A"
                           "B<"}
            << ".xml";
        QTest::newRow("record text and comment")
            << QByteArray("<r><a>own text</a><a><!-- note --><v>1</v></a></r>") << QStringList{"", "", "1"} << ".xml";
    }
    void streamValues()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, values);
        QFETCH(QString, suffix);
        QList<SheetResult> sheets;
        QVERIFY(readOk(writeFile(QStringLiteral("values") + suffix, bytes), &sheets));
        QCOMPARE(sheets.size(), 1);
        QCOMPARE(sheets[0].values, values);
    }

    // A character split between two of the reader's blocks, at every byte it can be split
    // at and at more than one boundary, reads whole (and the file is not refused).
    void csvBlockBoundaries_data()
    {
        QTest::addColumn<QString>("encoding");
        QTest::addColumn<QString>("character");
        QTest::addColumn<int>("split"); // bytes of the character before the boundary
        const QString two = QStringLiteral("Ж"), three = QStringLiteral("设"), four = QStringLiteral("\U0001F600");
        QTest::newRow("UTF-8 2-byte, 1 before") << "UTF-8" << two << 1;
        for (int k = 1; k < 3; ++k) {
            QTest::addRow("UTF-8 3-byte, %d before", k) << "UTF-8" << three << k;
            QTest::addRow("UTF-8 with BOM 3-byte, %d before", k) << "UTF-8 BOM" << three << k;
        }
        for (int k = 1; k < 4; ++k)
            QTest::addRow("UTF-8 4-byte, %d before", k) << "UTF-8" << four << k;
        // Units are 2 bytes and blocks even, so only a surrogate pair can be split.
        QTest::newRow("UTF-16LE surrogate pair") << "UTF-16LE" << four << 2;
        QTest::newRow("UTF-16BE surrogate pair") << "UTF-16BE" << four << 2;
    }
    void csvBlockBoundaries()
    {
        QFETCH(QString, encoding);
        QFETCH(QString, character);
        QFETCH(int, split);
        const auto encode = [&encoding](const QString &t) {
            if (encoding.startsWith(QLatin1String("UTF-8")))
                return t.toUtf8();
            QByteArray out;
            for (const QChar c : t) {
                const ushort u = c.unicode();
                const char lo = char(u & 0xFF), hi = char(u >> 8);
                out.append(encoding == QLatin1String("UTF-16LE") ? lo : hi)
                    .append(encoding == QLatin1String("UTF-16LE") ? hi : lo);
            }
            return out;
        };
        QByteArray bytes = encoding == QLatin1String("UTF-8 BOM") ? QByteArray("\xEF\xBB\xBF")
            : encoding == QLatin1String("UTF-8")                  ? QByteArray()
            : encoding == QLatin1String("UTF-16LE")               ? QByteArray("\xFF\xFE")
                                                                  : QByteArray("\xFE\xFF");
        const int unit = encode(QStringLiteral("p")).size();
        QStringList expected;
        for (int block = 1; block <= 3; ++block) {
            // A line of padding, then a value whose character starts `split` bytes before the boundary.
            const qint64 boundary = block * csvimport::kBlockBytes;
            const qint64 padBytes = boundary - split - bytes.size() - encode(QStringLiteral("V")).size();
            const QString pad = QString(int(padBytes / unit) - 1, QLatin1Char('p'));
            QCOMPARE(encode(pad + QLatin1Char('\n')).size(), padBytes);
            const QString value = QStringLiteral("V") + character + QStringLiteral("W%1").arg(block);
            bytes.append(encode(pad + QLatin1Char('\n') + value + QLatin1Char('\n')));
            QCOMPARE(bytes.mid(int(boundary - split), encode(character).size()), encode(character));
            expected << pad << value;
        }
        const QString path = writeFile(QStringLiteral("blocks.csv"), bytes);
        QCOMPARE(int(csvimport::screen(path).refusal), int(csvimport::Refusal::None));
        QStringList got;
        QVERIFY(csvimport::forEachValue(
            path, [](const QStringList &) { return false; },
            [&got](const QString &v) {
            got << v;
            return true;
            }));
        QCOMPARE(got, expected);
    }

    void csvRefused_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("refusal");
        QTest::addColumn<int>("line"); // 0: not said (an encoding is judged block by block)
        using R = csvimport::Refusal;
        QTest::newRow("unterminated quote") << QByteArray("a\n\"b,c\nd\n") << int(R::UnterminatedQuote) << 2;
        QTest::newRow("quote inside unquoted field") << QByteArray("ok\nab\"c\n") << int(R::StrayQuote) << 2;
        QTest::newRow("text after closing quote") << QByteArray("\"ab\"c\n") << int(R::StrayQuote) << 1;
        QTest::newRow("invalid UTF-8") << QByteArray("ok\ncaf\xE9\n") << int(R::Encoding) << 0;
        QTest::newRow("UTF-8 cut mid-character") << QByteArray("ok\xE8\xAE") << int(R::Encoding) << 0;
        QTest::newRow("UTF-16 lone surrogate") << QByteArray("\xFF\xFE\x00\xDC", 4) << int(R::Encoding) << 0;
        QTest::newRow("UTF-16 odd length") << QByteArray("\xFF\xFE"
                                                         "a\0b",
                                                         5)
                                           << int(R::Encoding) << 0;
        QTest::newRow("UTF-32") << QByteArray("\xFF\xFE\0\0a\0\0\0", 8) << int(R::Encoding) << 0;
        QTest::newRow("one line of 8 MiB") << "a,b\n" + QByteArray(8 << 20, 'x') << int(R::RecordTooLong) << 2;
    }
    void csvRefused()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, refusal);
        QFETCH(int, line);
        const csvimport::Screening s = csvimport::screen(writeFile(QStringLiteral("bad.csv"), bytes));
        QCOMPARE(int(s.refusal), refusal);
        if (line > 0)
            QCOMPARE(s.line, qint64(line));
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
        QTest::addColumn<int>("sheetsRead"); // including the one that failed
        const auto row = [](const char *name, const char *kind, const char *reason, int sheetsRead) {
            QTest::newRow(name) << QString::fromUtf8(kind) << QString::fromUtf8(reason) << sheetsRead;
        };
        row("missing file", "missing", "cannot open", 0);
        row("text file", "text", "not a workbook", 0);
        row("truncated zip", "truncated", "zip", 0);
        row("corrupt deflate data", "corrupt", "", 2);
        row("no package relationships", "norels", "missing part", 0);
        row("sheet part missing", "nosheet", "missing part", 3);
        row("shared string index equal to the count", "sharedcount", "shared string 1 ", 2);
        row("zip bomb", "bomb", "inflates more than", 2);
        row("gigantic text", "bigtext", "over", 2);
        row("deep nesting", "deep", "nested deeper", 2);
        row("entity declarations", "dtd", "document type", 0);
        row("non-UTF-8 bytes", "latin1", "not UTF-8", 2);
        row("garbage after xls magic", "xlsgarbage", "XLS", 0);
    }
    void refusedFiles()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        QFETCH(int, sheetsRead);

        const QByteArray good = xlsxfile::worksheet(textCell("A1", "h") + textCell("A2", "kept"), "A1:A2");
        const QString name = kind + QStringLiteral(".xlsx");
        QString path = QDir::current().absoluteFilePath(name); // "missing" is never written
        QByteArray second;                                     // a second sheet after a good one
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
                entries.removeAt(1); // _rels/.rels, after [Content_Types].xml
            else
                entries.removeLast(); // the third sheet's part
            path = write(name, entries);
        } else if (kind == QLatin1String("sharedcount")) {
            // One past the last string: the table has strings 0 and nothing after.
            second = xlsxfile::worksheet("<c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"A2\" t=\"s\"><v>1</v></c>");
            shared = xlsxfile::sharedStrings({"only"});
        } else if (kind == QLatin1String("bomb")) {
            // 32 MiB of one repeated empty element compresses beyond 1000:1.
            second = xlsxfile::worksheet(QByteArray());
            second.insert(second.indexOf("<sheetData>"), QByteArray("<a/>").repeated(8 << 20));
        } else if (kind == QLatin1String("bigtext")) {
            xlsxfile::Entries entries = xlsxfile::package(
                {good, xlsxfile::worksheet("<c r=\"A1\"><v>" + QByteArray(17 << 20, '7') + "</v></c>")});
            for (xlsxfile::Entry &e : entries)
                e.stored = true; // no compression, so no ratio to trip over
            path = write(name, entries);
        } else if (kind == QLatin1String("deep")) {
            second = xlsxfile::worksheet(QByteArray("<x>").repeated(100) + QByteArray("</x>").repeated(100));
        } else if (kind == QLatin1String("dtd")) {
            shared =
                "<?xml version=\"1.0\"?><!DOCTYPE sst [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]>"
                "<sst><si><t>&b;</t></si></sst>";
        } else if (kind == QLatin1String("latin1")) {
            second = xlsxfile::worksheet(textCell("A1", "h")
                                         + "<c r=\"A2\" t=\"inlineStr\"><is><t>caf\xE9</t></is></c>");
        } else if (kind == QLatin1String("xlsgarbage")) {
            path = writeFile(QStringLiteral("garbage.xls"),
                             QByteArray::fromHex("d0cf11e0a1b11ae1") + QByteArray(4096, '\x5a'));
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
