// Writing a table (a header row, then rows of UTF-8 cells) to a CSV or XLSX file: the
// export's two formats. Either writes under a temporary name and puts the file under its
// own name only when it is complete; a writer destroyed before commit() leaves no trace.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

// A worksheet holds 1,048,576 rows; each sheet of a workbook export has its header row.
constexpr int kRowsPerSheet = 1048575;

class TableWriter
{
public:
    enum class Format {
        Csv,  // RFC 4180, UTF-8 with a byte order mark, CRLF; fields guarded by base/csvfield.h
        Xlsx, // inline strings, a new sheet (the header repeated) every kRowsPerSheet rows
    };
    static std::unique_ptr<TableWriter> create(Format format);

    virtual ~TableWriter() = default;
    // Opens the temporary file beside `target`.
    virtual bool open(const QString &target) = 0;
    // The first row written is the header (XLSX repeats it atop each further sheet). Rows
    // may differ in width.
    virtual bool row(const QList<QByteArray> &cells) = 0;
    // Completes the file and puts it under the target's name; false leaves no trace.
    virtual bool commit() = 0;
    // Why the last call failed.
    QString error;
    // XLSX: the first sheet's name (letters and spaces), the next ones numbered after it.
    QString sheetName = QStringLiteral("Serial");
};
