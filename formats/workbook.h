// Reading spreadsheet workbooks for the serial-number import.
//
// The import needs very little of a workbook: its sheets in workbook order, each
// sheet's used range, and the raw value of every cell of the used range below its
// first (header) row, as text, row by row and left to right. WorkbookReader gives
// exactly that, whatever the file format underneath.
#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <memory>

// The rectangle of a sheet that holds data, in 1-based sheet coordinates.
struct UsedRange {
    int firstRow = 1;
    int firstColumn = 1;
    int rowCount = 1;
    int columnCount = 1;

    // Values below the header row: (rowCount - 1) * columnCount.
    qint64 valueCount() const { return rowCount > 1 && columnCount > 0 ? qint64(rowCount - 1) * columnCount : 0; }
};

// Receives the values of one sheet in reading order.
class ValueSink
{
public:
    virtual ~ValueSink() = default;

    // One cell's value. Return false to stop reading.
    virtual bool value(const QString &text) = 0;

    // A cell whose value is an error (#DIV/0!, #N/A, ...): not a value that can be stored.
    // A sink that does not care gets it as an empty cell.
    virtual bool errorValue(const QString &code);

    // Called once per sheet before its first value, with the texts of the used range's
    // header row (its first cells, at most kHeaderCells). True asks for the range's first
    // column only: the other columns are then neither values nor empty cells.
    virtual bool firstColumnOnly(const QStringList &header);

    // Asked before firstColumnOnly, with the same header texts. A width n > 0 asks for whole
    // rows instead of values: every row below the header that holds a cell goes to row() as
    // the texts of the range's first n columns (an absent or error cell as an empty text);
    // value(), errorValue() and emptyValues() are then not called for the sheet.
    virtual int wholeRows(const QStringList &header);
    virtual bool row(const QStringList &cells);

    // `count` empty cells in a row of the reading order. Readers report gaps this way so
    // that a sparse sheet with a huge used range costs time per cell present, not per cell
    // of the range; a sink that does not care gets them one by one.
    virtual bool emptyValues(qint64 count);
};

class WorkbookReader
{
public:
    virtual ~WorkbookReader() = default;

    // Opens the workbook. False with errorText() set when it is not one or cannot be read.
    virtual bool open(const QString &path) = 0;

    // Worksheets in workbook order (chart sheets and the like are not counted).
    virtual int sheetCount() const = 0;

    // The used range of sheet `sheet` (0-based). A sheet with no cell reports A1 alone.
    virtual bool usedRange(int sheet, UsedRange *range) = 0;

    // Hands the values of sheet `sheet` to the sink: every cell of the used range after its
    // first row, rows top to bottom, columns left to right, empty cells included. False
    // when the sheet could not be read (errorText() says why) or the sink stopped.
    virtual bool readValues(int sheet, ValueSink &sink) = 0;

    QString errorText() const { return error; }

    // Picks the reader by the file's first bytes: a zip container is read as XLSX, a
    // compound document as XLS. Null when the file cannot be read or is neither;
    // `errorText` then says why.
    static std::unique_ptr<WorkbookReader> forFile(const QString &path, QString *errorText = nullptr);

protected:
    bool fail(const QString &text)
    {
        if (error.isEmpty())
            error = text;
        return false;
    }

    // Walks `range` in reading order; `next` gives the next present cell (row, column and
    // text) or returns false at the end. Cells outside the range are skipped, gaps become
    // emptyValues. Cells must come in reading order; a cell out of order is a corrupt sheet.
    template <typename NextCell>
    bool walkRange(const UsedRange &range, ValueSink &sink, NextCell next);

    QString error;
};

// The text of a numeric cell: the shortest decimal that reads back as the same double,
// written without exponent for whole numbers up to 2^53, so a serial typed as a number
// comes out as its digits.
QString numberText(double value);

// What a formula's text builds, for a cell whose cached result is a number. A workbook
// saved without recalculation caches a number (often 0) for a formula that makes text;
// Excel would recalculate it on opening, an import must not store the stale number.
enum class TextFormula {
    NotText,     // the formula builds no text: its cached number stands
    Evaluated,   // string constants joined by & or CONCATENATE: *text is their value
    Unevaluated, // it builds text from more than constants: no value can be trusted
};
// The formula as a cell's <f> writes it (`"GEN-"&"0002"`, `CONCATENATE("A","B")`).
TextFormula textFormula(const QString &formula, QString *text);
// The error code a cell is handed as when its cached result is stale.
extern const char kStaleFormulaResult[];

// Sheet limits of the file formats; coordinates past them mark a corrupt file.
constexpr int kMaxSheetRows = 1048576;
constexpr int kMaxSheetColumns = 16384;
// Header cells handed to ValueSink::firstColumnOnly.
constexpr int kHeaderCells = 8;

// What a cell source hands to walkRange for one present cell.
enum class CellKind {
    Value,
    Error
};

template <typename NextCell>
bool WorkbookReader::walkRange(const UsedRange &fullRange, ValueSink &sink, NextCell next)
{
    if (fullRange.valueCount() == 0)
        return true;
    UsedRange range = fullRange;
    const int top = range.firstRow + 1;
    const int bottom = range.firstRow + range.rowCount - 1;
    const int left = range.firstColumn;
    QStringList header;
    bool decided = false;
    int rowWidth = 0; // > 0: whole rows of that many cells go to sink.row()
    const auto decide = [&] {
        decided = true;
        rowWidth = sink.wholeRows(header);
        if (rowWidth > 0)
            range.columnCount = rowWidth;
        else if (sink.firstColumnOnly(header))
            range.columnCount = 1;
    };
    QStringList cells; // the row being gathered, whole-row mode
    int cellsRow = 0;  // its sheet row; 0 while none is gathered
    const auto rowDone = [&] {
        const bool go = cellsRow == 0 || sink.row(cells);
        cellsRow = 0;
        return go;
    };

    qint64 done = 0; // values handed to the sink so far
    int row = 0;
    int column = 0;
    QString text;
    CellKind kind = CellKind::Value;
    for (;;) {
        const int got = next(&row, &column, &text, &kind);
        if (got < 0)
            return false;
        if (got == 0)
            break;
        const int right = range.firstColumn + range.columnCount - 1;
        if (!decided && row == range.firstRow && column >= left && column < left + kHeaderCells && column <= right) {
            while (header.size() < column - left)
                header.append(QString());
            header.append(kind == CellKind::Value ? text : QString());
            continue;
        }
        if (row < top || row > bottom || column < left || column > right)
            continue;
        if (!decided) {
            decide();
            if (column > left + range.columnCount - 1)
                continue;
        }
        const qint64 at = qint64(row - top) * range.columnCount + (column - left);
        if (at < done)
            return fail(QStringLiteral("cells out of order at row %1, column %2").arg(row).arg(column));
        if (rowWidth > 0) {
            if (row != cellsRow) {
                if (!rowDone())
                    return false;
                cells = QStringList();
                for (int i = 0; i < rowWidth; ++i)
                    cells.append(QString());
                cellsRow = row;
            }
            if (kind == CellKind::Value)
                cells[column - left] = text;
            done = at + 1;
            continue;
        }
        if (at > done && !sink.emptyValues(at - done))
            return false;
        if (!(kind == CellKind::Error ? sink.errorValue(text) : sink.value(text)))
            return false;
        done = at + 1;
    }
    if (!decided)
        decide();
    if (rowWidth > 0)
        return rowDone();
    const qint64 total = range.valueCount();
    return done >= total || sink.emptyValues(total - done);
}
