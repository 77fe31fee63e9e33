// Binary Excel workbooks (.xls: BIFF8, and BIFF5/7 as Excel 95 wrote them). The
// compound file is opened with libgsf; the BIFF records are read here, so that formula
// results (the FORMULA record and the STRING record after it), booleans and error
// values come out as the spreadsheet application holds them.
//
// Costs follow the file, never its claims: the workbook stream is read once into
// memory (it is never larger than the file), shared strings are kept in one buffer, and
// no count or dimension a record states is used to size anything. A sheet's used range
// is the rectangle of the cells it holds; its DIMENSIONS record is not read.
#pragma once

#include "formats/workbook.h"

#include <QByteArray>
#include <QString>
#include <QVector>

class QTextCodec;

class XlsReader : public WorkbookReader
{
public:
    XlsReader() = default;
    ~XlsReader() override;

    bool open(const QString &path) override;
    int sheetCount() const override { return sheets.size(); }
    bool usedRange(int sheet, UsedRange *range) override;
    bool readValues(int sheet, ValueSink &sink) override;

    // A workbook stream larger than this is refused (Excel itself stays far below).
    static constexpr qint64 kMaxStreamBytes = qint64(512) << 20;

private:
    struct Sheet {
        qint64 offset = 0; // of its BOF record in the stream
        bool rangeKnown = false;
        UsedRange range;
    };

    bool readGlobals();
    bool readSharedStrings(qint64 at);
    QString sharedString(quint32 index, bool *ok) const;

    QByteArray stream; // the whole workbook stream
    bool biff8 = true;
    QTextCodec *codec = nullptr; // 8-bit strings of BIFF5
    QVector<Sheet> sheets;
    QString sstChars;         // every shared string, back to back
    QVector<qint64> sstStart; // start of string i in sstChars; one more entry at the end
};
