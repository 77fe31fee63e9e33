// Office Open XML workbooks (.xlsx), read straight from the zip container.
// Parts are streamed, never held as a tree; every part is read through limits that
// refuse zip bombs and hostile XML before they cost memory or time.
#pragma once

#include "formats/workbook.h"

#include <QString>
#include <QVector>

#include <memory>

class QuaZip;

// Every shared string back to back in one buffer: a workbook of a million short strings
// costs their characters and one offset each, not a million string objects.
struct SharedStrings {
    QString chars;
    QVector<qint64> start{0}; // string i is chars[start[i], start[i + 1])

    int size() const { return start.size() - 1; }
    QString at(int i) const { return chars.mid(int(start.at(i)), int(start.at(i + 1) - start.at(i))); }
    void clear()
    {
        chars.clear();
        start = {0};
    }
};

class XlsxReader : public WorkbookReader
{
public:
    XlsxReader();
    ~XlsxReader() override;

    bool open(const QString &path) override;
    int sheetCount() const override { return sheets.size(); }
    bool usedRange(int sheet, UsedRange *range) override;
    bool readValues(int sheet, ValueSink &sink) override;

    // Limits on what one workbook may cost. A part inflating past kMaxPartBytes, or
    // to more than kMaxRatio times its compressed size once past kRatioFloor, or all
    // parts together past kMaxTotalBytes, is refused as a zip bomb.
    static constexpr qint64 kMaxPartBytes = qint64(512) << 20;
    static constexpr qint64 kMaxTotalBytes = qint64(2) << 30;
    static constexpr qint64 kMaxRatio = 1000;
    static constexpr qint64 kRatioFloor = qint64(1) << 20;
    // No real part has a text or tag anywhere near this long, nor nests this deep.
    static constexpr qint64 kMaxTokenBytes = qint64(16) << 20;
    static constexpr int kMaxDepth = 64;
    // Shared strings are the one thing kept in memory: at most kSharedPerFileByte bytes
    // for every byte of the file, plus kSharedAllowance, and never past the absolute caps.
    static constexpr int kMaxSharedStrings = 16 << 20;
    static constexpr qint64 kMaxSharedChars = qint64(64) << 20;
    static constexpr qint64 kSharedPerFileByte = 8;
    static constexpr qint64 kSharedAllowance = qint64(32) << 20;

private:
    struct Sheet {
        QString part;
        bool rangeKnown = false;
        UsedRange range;
    };

    bool readRelationships(const QString &part, QVector<QPair<QString, QString>> *typeAndTarget);
    bool readSharedStrings(const QString &part);
    bool findUsedRange(Sheet &sheet);

    std::unique_ptr<QuaZip> zip;
    QVector<Sheet> sheets;
    SharedStrings sharedStrings;
    qint64 fileSize = 0;
    qint64 inflatedTotal = 0;
};
