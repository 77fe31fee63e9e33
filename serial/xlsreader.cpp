#include "serial/xlsreader.h"

#include <freexl.h>

#include <QDate>
#include <QFile>
#include <QTime>

XlsReader::~XlsReader()
{
    if (handle)
        freexl_close(handle);
}

bool XlsReader::open(const QString &path)
{
    error.clear();
    if (handle) {
        freexl_close(handle);
        handle = nullptr;
    }
    const int rc = freexl_open(QFile::encodeName(path).constData(), &handle);
    if (rc != FREEXL_OK) {
        if (handle)
            freexl_close(handle);   // FreeXL leaves a half-built workbook behind on some errors
        handle = nullptr;
        return fail(QStringLiteral("%1 is not a readable XLS workbook (FreeXL error %2)").arg(path).arg(rc));
    }
    unsigned int info = 0;
    if (freexl_get_info(handle, FREEXL_BIFF_PASSWORD, &info) == FREEXL_OK && info == FREEXL_BIFF_OBFUSCATED)
        return fail(QStringLiteral("%1 is protected by a password").arg(path));
    if (freexl_get_info(handle, FREEXL_BIFF_SHEET_COUNT, &info) != FREEXL_OK)
        return fail(QStringLiteral("%1 has no sheet list").arg(path));
    sheets = int(qMin(info, 65535u));
    unsigned int mode = 0;
    dates1904 = freexl_get_info(handle, FREEXL_BIFF_DATEMODE, &mode) == FREEXL_OK && mode == FREEXL_BIFF_DATEMODE_1904;
    ranges = QVector<UsedRange>(sheets);
    rangeKnown = QVector<bool>(sheets, false);
    selected = -1;
    return true;
}

bool XlsReader::select(int sheet)
{
    if (!handle || sheet < 0 || sheet >= sheets)
        return fail(QStringLiteral("no sheet %1").arg(sheet + 1));
    if (selected == sheet)
        return true;
    selected = -1;
    int rc = freexl_select_active_worksheet(handle, static_cast<unsigned short>(sheet));
    if (rc == FREEXL_OK)
        rc = freexl_worksheet_dimensions(handle, &rows, &columns);
    if (rc != FREEXL_OK)
        return fail(QStringLiteral("sheet %1 cannot be read (FreeXL error %2)").arg(sheet + 1).arg(rc));
    selected = sheet;
    return true;
}

// A date or time cell as the serial number it was stored as: FreeXL hands these out
// already formatted, the import wants the raw value.
static double serialOf(const char *text, int type, bool dates1904)
{
    const QString s = QString::fromLatin1(text);
    double days = 0;
    QString timePart;
    if (type == FREEXL_CELL_TIME) {
        timePart = s;
    } else {
        const QDate date = QDate::fromString(s.left(10), QStringLiteral("yyyy-MM-dd"));
        if (dates1904)
            days = QDate(1904, 1, 1).daysTo(date);
        else if (date < QDate(1900, 3, 1))
            days = QDate(1899, 12, 31).daysTo(date);   // before the fictitious 1900-02-29
        else
            days = QDate(1899, 12, 30).daysTo(date);
        if (type == FREEXL_CELL_DATETIME)
            timePart = s.mid(11);
    }
    if (!timePart.isEmpty())
        days += QTime(0, 0).secsTo(QTime::fromString(timePart, QStringLiteral("HH:mm:ss"))) / 86400.0;
    return days;
}

QString XlsReader::cellText(unsigned int row, unsigned short column, bool *ok)
{
    FreeXL_CellValue cell;
    const int rc = freexl_get_cell_value(handle, row, column, &cell);
    if (rc != FREEXL_OK) {
        *ok = fail(QStringLiteral("cell %1,%2 cannot be read (FreeXL error %3)").arg(row + 1).arg(column + 1).arg(rc));
        return QString();
    }
    *ok = true;
    switch (cell.type) {
    case FREEXL_CELL_INT:
        return QString::number(cell.value.int_value);
    case FREEXL_CELL_DOUBLE:
        return numberText(cell.value.double_value);
    case FREEXL_CELL_TEXT:
    case FREEXL_CELL_SST_TEXT:
        return QString::fromUtf8(cell.value.text_value);
    case FREEXL_CELL_DATE:
    case FREEXL_CELL_DATETIME:
    case FREEXL_CELL_TIME:
        return numberText(serialOf(cell.value.text_value, cell.type, dates1904));
    default:
        return QString();
    }
}

bool XlsReader::usedRange(int sheet, UsedRange *range)
{
    if (!select(sheet))
        return false;
    if (!rangeKnown.at(sheet)) {
        // The bounding rectangle of the cells that hold something; FreeXL's own dimensions
        // start at A1 and may include empty rows and columns.
        unsigned int top = rows, bottom = 0;
        unsigned short left = columns, right = 0;
        bool any = false;
        for (unsigned int r = 0; r < rows; ++r) {
            for (unsigned short c = 0; c < columns; ++c) {
                FreeXL_CellValue cell;
                if (freexl_get_cell_value(handle, r, c, &cell) != FREEXL_OK)
                    return fail(QStringLiteral("cell %1,%2 cannot be read").arg(r + 1).arg(c + 1));
                const bool empty = cell.type == FREEXL_CELL_NULL
                    || ((cell.type == FREEXL_CELL_TEXT || cell.type == FREEXL_CELL_SST_TEXT)
                        && (!cell.value.text_value || !*cell.value.text_value));
                if (empty)
                    continue;
                any = true;
                top = qMin(top, r);
                bottom = qMax(bottom, r);
                left = qMin(left, c);
                right = qMax(right, c);
            }
        }
        ranges[sheet] = any ? UsedRange{int(top) + 1, left + 1, int(bottom - top) + 1, right - left + 1} : UsedRange();
        rangeKnown[sheet] = true;
    }
    *range = ranges.at(sheet);
    return true;
}

bool XlsReader::readValues(int sheet, ValueSink &sink)
{
    UsedRange range;
    if (!usedRange(sheet, &range))
        return false;
    // Every cell of the range is inside FreeXL's dimensions, so all can be asked for.
    unsigned int row = unsigned(range.firstRow);   // 0-based index of the row after the header
    const unsigned int end = unsigned(range.firstRow + range.rowCount - 1);
    unsigned short column = 0;
    const unsigned short left = static_cast<unsigned short>(range.firstColumn - 1);
    const unsigned short right = static_cast<unsigned short>(range.firstColumn - 1 + range.columnCount);
    bool started = false;
    return walkRange(range, sink, [&](int *r, int *c, QString *text) {
        if (!started) {
            started = true;
            column = left;
        } else if (++column == right) {
            column = left;
            ++row;
        }
        if (row >= end)
            return 0;
        bool ok = false;
        *text = cellText(row, column, &ok);
        *r = int(row) + 1;
        *c = column + 1;
        return ok ? 1 : -1;
    });
}
