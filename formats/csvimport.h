// CSV files of serial numbers (RFC 4180): records in order, fields in order, quoted
// fields may hold commas, quotes and line breaks. UTF-8 with or without a byte order
// mark, or UTF-16 with one; CRLF, LF or CR line ends.
//
// A file is read twice, in blocks: first to screen it (encoding, quoting, record
// length), so that a broken or hostile file is refused before anything is stored, then
// to hand its values over. Memory stays at one record, whatever the file's size.
#pragma once

#include "formats/workbook.h"

#include <QString>
#include <QStringList>

#include <functional>

namespace csvimport {

// No list of serial numbers has a record anywhere near this long; a longer one (a file
// of one gigantic line) is refused before it costs memory.
constexpr qint64 kMaxRecordChars = qint64(1) << 20;

// The file is read this many bytes at a time; a character may be split between two reads.
constexpr qint64 kBlockBytes = 64 * 1024;

enum class Refusal {
    None,
    CannotOpen,
    Encoding,          // bytes that are not UTF-8 / UTF-16 as the file's start says, or UTF-32
    UnterminatedQuote, // a quoted field still open at the end of the file
    StrayQuote,        // a quote inside an unquoted field, or text after a closing quote
    RecordTooLong,     // a record over kMaxRecordChars characters
};

struct Screening {
    Refusal refusal = Refusal::None;
    qint64 line = 0; // 1-based line where the problem is
};

Screening screen(const QString &path);

// Hands every non-empty field of a screened file to `sink`, records and fields in
// order; empty fields and blank lines are no values. `firstColumnOnly` sees the first
// record's first fields once: when it returns true that record is a header, skipped,
// and only the first field of every later record is a value. Stops when the sink
// returns false; returns whether every value was handed over.
bool forEachValue(const QString &path, const std::function<bool(const QStringList &)> &firstColumnOnly,
                  const std::function<bool(const QString &)> &sink);

// As above, but `wholeRows` sees the first record's first fields before `firstColumnOnly`:
// when it returns a width n > 0, that record is a header, skipped, and every later record
// that is not a blank line goes to `row` as its first n fields (missing ones empty);
// `sink` then gets nothing.
bool forEachValue(const QString &path, const std::function<int(const QStringList &)> &wholeRows,
                  const std::function<bool(const QStringList &)> &row,
                  const std::function<bool(const QStringList &)> &firstColumnOnly,
                  const std::function<bool(const QString &)> &sink);

// A CSV file behind the readers' one interface: one sheet whose first record goes to the
// sink's wholeRows and firstColumnOnly as the header. open() screens the whole file.
class CsvReader : public WorkbookReader
{
public:
    bool open(const QString &path) override;
    int sheetCount() const override { return screening.refusal == Refusal::None && !file.isEmpty() ? 1 : 0; }
    bool usedRange(int sheet, UsedRange *range) override;
    bool readValues(int sheet, ValueSink &sink) override;

    // Why open() refused the file, and on which line.
    Screening screened() const { return screening; }

private:
    QString file;
    Screening screening;
};

} // namespace csvimport
