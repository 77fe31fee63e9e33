#include "formats/csvimport.h"
#include "formats/workbook.h"

#include "base/utf8.h"

#include <QFile>
#include <QTextCodec>
#include <QTextDecoder>

#include <memory>

namespace csvimport {

namespace {

// Bytes to characters, in blocks, checking the encoding as it goes.
class Decoder
{
public:
    enum Kind {
        Utf8,
        Utf16Le,
        Utf16Be
    };

    // Looks at the file's first bytes; returns how many belong to a byte order mark,
    // or -1 for an encoding that is not read (UTF-32).
    int start(const QByteArray &head)
    {
        if (head.startsWith(QByteArray("\xFF\xFE\x00\x00", 4)) || head.startsWith(QByteArray("\x00\x00\xFE\xFF", 4)))
            return -1;
        if (head.startsWith("\xEF\xBB\xBF")) {
            begin(Utf8);
            return 3;
        }
        if (head.startsWith("\xFF\xFE")) {
            begin(Utf16Le);
            return 2;
        }
        if (head.startsWith("\xFE\xFF")) {
            begin(Utf16Be);
            return 2;
        }
        begin(Utf8);
        return 0;
    }

    // Appends the characters of `bytes` to `out`; false on an encoding error.
    bool feed(const char *bytes, int size, QString *out)
    {
        if (kind == Utf8) {
            check.feed(bytes, std::size_t(size));
            if (!check.ok())
                return false;
            out->append(decoder->toUnicode(bytes, size));
            return true;
        }
        for (int i = 0; i < size; ++i) {
            if (!haveByte) {
                firstByte = uchar(bytes[i]);
                haveByte = true;
                continue;
            }
            haveByte = false;
            const ushort unit = kind == Utf16Le ? ushort(firstByte | uchar(bytes[i]) << 8)
                                                : ushort(firstByte << 8 | uchar(bytes[i]));
            const bool high = QChar::isHighSurrogate(unit);
            const bool low = QChar::isLowSurrogate(unit);
            if (low != openHigh)
                return false; // a lone half of a surrogate pair
            openHigh = high;
            out->append(QChar(unit));
        }
        return true;
    }

    // At the end of the file: nothing may be left half-read.
    bool finish() const { return kind == Utf8 ? check.complete() : !haveByte && !openHigh; }

private:
    void begin(Kind k)
    {
        kind = k;
        if (k == Utf8)
            decoder.reset(QTextCodec::codecForMib(106)->makeDecoder(QTextCodec::IgnoreHeader));
    }

    Kind kind = Utf8;
    utf8::Check check;
    std::unique_ptr<QTextDecoder> decoder;
    bool haveByte = false;
    uchar firstByte = 0;
    bool openHigh = false;
};

// The RFC 4180 state machine. Fields go to onField, record ends to onRecord.
class Parser
{
public:
    std::function<bool(const QString &field)> onField;
    std::function<bool()> onRecord;

    // Runs over the whole file. False when it stopped: `result` says why, or nothing
    // when a callback stopped it.
    bool run(const QString &path, Screening *result)
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return refuse(result, Refusal::CannotOpen);
        Decoder decoder;
        QByteArray block = file.read(kBlockBytes);
        const int bom = decoder.start(block);
        if (bom < 0)
            return refuse(result, Refusal::Encoding);
        block.remove(0, bom);
        QString text;
        while (!block.isEmpty()) {
            text.clear();
            if (!decoder.feed(block.constData(), block.size(), &text))
                return refuse(result, Refusal::Encoding);
            for (const QChar c : qAsConst(text))
                if (!take(c, result))
                    return false;
            block = file.read(kBlockBytes);
        }
        if (!decoder.finish())
            return refuse(result, Refusal::Encoding);
        if (state == Quoted)
            return refuse(result, Refusal::UnterminatedQuote, quoteLine);
        if (state == AfterCr)
            state = FieldStart;
        return endRecord(result);
    }

private:
    enum State {
        FieldStart,
        Unquoted,
        Quoted,
        QuoteInQuoted,
        AfterCr
    };

    bool refuse(Screening *result, Refusal why, qint64 where = 0)
    {
        result->refusal = why;
        result->line = where ? where : line;
        return false;
    }

    bool endField()
    {
        const bool go = !onField || onField(field);
        field.clear();
        ++fieldsInRecord;
        return go;
    }

    bool endRecord(Screening *)
    {
        // A blank line holds no field at all.
        if (state != FieldStart || fieldsInRecord > 0) {
            if (!endField())
                return false;
            if (onRecord && !onRecord())
                return false;
        }
        state = FieldStart;
        fieldsInRecord = 0;
        recordChars = 0;
        return true;
    }

    bool take(QChar c, Screening *result)
    {
        if (++recordChars > kMaxRecordChars)
            return refuse(result, Refusal::RecordTooLong);
        const ushort u = c.unicode();
        if (state == AfterCr) {
            state = FieldStart;
            if (u == '\n')
                return true; // the LF of a CRLF
        }
        switch (state) {
        case FieldStart:
            if (u == '"') {
                state = Quoted;
                quoteLine = line;
                return true;
            }
            state = Unquoted;
            Q_FALLTHROUGH();
        case Unquoted:
            if (u == ',') {
                state = FieldStart;
                return endField();
            }
            if (u == '\r' || u == '\n')
                return lineEnd(u, result);
            if (u == '"')
                return refuse(result, Refusal::StrayQuote);
            field.append(c);
            return true;
        case Quoted:
            if (u == '"') {
                state = QuoteInQuoted;
                return true;
            }
            if (u == '\n')
                ++line;
            field.append(c);
            return true;
        case QuoteInQuoted:
            if (u == '"') { // a doubled quote stands for one
                field.append(c);
                state = Quoted;
                return true;
            }
            if (u == ',') {
                state = FieldStart;
                return endField();
            }
            if (u == '\r' || u == '\n')
                return lineEnd(u, result);
            return refuse(result, Refusal::StrayQuote);
        case AfterCr:
            break;
        }
        return true;
    }

    bool lineEnd(ushort u, Screening *result)
    {
        // A record that ended on a separator still has its last (empty) field.
        if (state == FieldStart)
            state = Unquoted;
        if (!endRecord(result))
            return false;
        ++line;
        state = u == '\r' ? AfterCr : FieldStart;
        return true;
    }

    State state = FieldStart;
    QString field;
    int fieldsInRecord = 0;
    qint64 recordChars = 0;
    qint64 line = 1;
    qint64 quoteLine = 1;
};

} // namespace

Screening screen(const QString &path)
{
    Screening result;
    Parser parser;
    parser.run(path, &result);
    return result;
}

bool forEachValue(const QString &path, const std::function<bool(const QStringList &)> &firstColumnOnly,
                  const std::function<bool(const QString &)> &sink)
{
    return forEachValue(path, nullptr, nullptr, firstColumnOnly, sink);
}

bool forEachValue(const QString &path, const std::function<int(const QStringList &)> &wholeRows,
                  const std::function<bool(const QStringList &)> &row,
                  const std::function<bool(const QStringList &)> &firstColumnOnly,
                  const std::function<bool(const QString &)> &sink)
{
    // The first record is held until its end decides whether it is a header.
    bool firstRecord = true;
    bool onlyFirst = false;
    int rowWidth = 0;
    QStringList first;
    QStringList cells;
    int fieldIndex = 0;
    Parser parser;
    parser.onField = [&](const QString &field) {
        const int index = fieldIndex++;
        if (firstRecord) {
            first.append(field);
            return true;
        }
        if (rowWidth > 0) {
            if (index < rowWidth)
                cells[index] = field;
            return true;
        }
        if (field.isEmpty() || (onlyFirst && index > 0))
            return true;
        return sink(field);
    };
    const auto clearCells = [&] {
        cells = QStringList();
        for (int i = 0; i < rowWidth; ++i)
            cells.append(QString());
    };
    parser.onRecord = [&] {
        fieldIndex = 0;
        if (!firstRecord) {
            if (rowWidth <= 0)
                return true;
            const bool go = row(cells);
            clearCells();
            return go;
        }
        firstRecord = false;
        const QStringList header = first.mid(0, kHeaderCells);
        rowWidth = wholeRows ? wholeRows(header) : 0;
        if (rowWidth > 0) {
            clearCells();
            first.clear();
            return true;
        }
        onlyFirst = firstColumnOnly(header);
        if (!onlyFirst)
            for (const QString &field : qAsConst(first))
                if (!field.isEmpty() && !sink(field))
                    return false;
        first.clear();
        return true;
    };
    Screening result;
    return parser.run(path, &result);
}

bool CsvReader::open(const QString &path)
{
    screening = screen(path);
    if (screening.refusal != Refusal::None)
        return fail(QStringLiteral("refused at line %1").arg(screening.line));
    file = path;
    return true;
}

bool CsvReader::usedRange(int, UsedRange *)
{
    return fail(QStringLiteral("a CSV file has no used range"));
}

bool CsvReader::readValues(int sheet, ValueSink &sink)
{
    if (sheet != 0 || sheetCount() == 0)
        return fail(QStringLiteral("no sheet %1").arg(sheet));
    return forEachValue(
        file, [&sink](const QStringList &header) { return sink.wholeRows(header); },
        [&sink](const QStringList &cells) { return sink.row(cells); },
        [&sink](const QStringList &header) { return sink.firstColumnOnly(header); },
        [&sink](const QString &value) { return sink.value(value); });
}

} // namespace csvimport
