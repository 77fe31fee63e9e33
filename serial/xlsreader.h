// Binary Excel workbooks (.xls, BIFF), read with FreeXL.
#pragma once

#include "serial/workbook.h"

#include <QVector>

class XlsReader : public WorkbookReader
{
public:
    XlsReader() = default;
    ~XlsReader() override;

    bool open(const QString &path) override;
    int sheetCount() const override { return sheets; }
    bool usedRange(int sheet, UsedRange *range) override;
    bool readValues(int sheet, ValueSink &sink) override;

private:
    bool select(int sheet);
    QString cellText(unsigned int row, unsigned short column, bool *ok);

    const void *handle = nullptr;
    int sheets = 0;
    int selected = -1;
    unsigned int rows = 0;        // of the selected sheet, as FreeXL holds it
    unsigned short columns = 0;
    bool dates1904 = false;
    QVector<UsedRange> ranges;
    QVector<bool> rangeKnown;
};
