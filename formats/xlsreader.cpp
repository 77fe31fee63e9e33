// libgsf pulls in GLib, whose headers use names Qt's keyword macros take over; they
// come first, before any Qt header.
#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-stdio.h>
#include <gsf/gsf-utils.h>

#include "formats/xlsreader.h"

#include <QFile>
#include <QSet>
#include <QTextCodec>

#include <cstring>

namespace {

// Record types, as BIFF5 and BIFF8 number them.
enum : quint16 {
    kFormula = 0x0006,
    kEof = 0x000A,
    kFilePass = 0x002F,
    kContinue = 0x003C,
    kCodePage = 0x0042,
    kBoundSheet = 0x0085,
    kMulRk = 0x00BD,
    kMulBlank = 0x00BE,
    kRString = 0x00D6,
    kSst = 0x00FC,
    kLabelSst = 0x00FD,
    kBlank = 0x0201,
    kNumber = 0x0203,
    kLabel = 0x0204,
    kBoolErr = 0x0205,
    kString = 0x0207,
    kArray = 0x0221,
    kTable = 0x0236,
    kRk = 0x027E,
    kShrFmla = 0x04BC,
    kBof = 0x0809,
};

quint16 u16(const uchar *p)
{
    return quint16(p[0] | p[1] << 8);
}
quint32 u32(const uchar *p)
{
    return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
}

double f64(const uchar *p)
{
    quint64 bits = 0;
    for (int i = 7; i >= 0; --i)
        bits = bits << 8 | p[i];
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// An RK number: a 30-bit integer or the top 30 bits of a double, optionally / 100.
double rkValue(quint32 rk)
{
    double v;
    if (rk & 2) {
        v = double(qint32(rk) >> 2);
    } else {
        const quint64 bits = quint64(rk & 0xFFFFFFFCu) << 32;
        std::memcpy(&v, &bits, sizeof v);
    }
    return rk & 1 ? v / 100 : v;
}

QString errorText(uchar code)
{
    switch (code) {
    case 0x00:
        return QStringLiteral("#NULL!");
    case 0x07:
        return QStringLiteral("#DIV/0!");
    case 0x0F:
        return QStringLiteral("#VALUE!");
    case 0x17:
        return QStringLiteral("#REF!");
    case 0x1D:
        return QStringLiteral("#NAME?");
    case 0x24:
        return QStringLiteral("#NUM!");
    case 0x2A:
        return QStringLiteral("#N/A");
    default:
        return QStringLiteral("#ERR%1").arg(code);
    }
}

struct Record {
    quint16 type = 0;
    qint64 at = 0;
    const uchar *body = nullptr;
    int size = 0;
};

// The records of the stream from one position on.
class Records
{
public:
    Records(const QByteArray &stream, qint64 from)
        : data(reinterpret_cast<const uchar *>(stream.constData()))
        , end(stream.size())
        , pos(from)
    {
    }

    // 1 with the next record, 0 at the end of the stream, -1 when a record runs past it.
    int next(Record *r)
    {
        if (pos == end)
            return 0;
        if (pos < 0 || pos + 4 > end)
            return -1;
        const int size = u16(data + pos + 2);
        if (pos + 4 + size > end)
            return -1;
        r->type = u16(data + pos);
        r->at = pos;
        r->body = data + pos + 4;
        r->size = size;
        pos += 4 + size;
        return 1;
    }

    // The type of the next record, 0 when there is none or it runs past the stream (a loop
    // over records of one type then ends, and next() reports the broken one).
    quint16 peekType() const
    {
        return pos >= 0 && pos + 4 <= end && pos + 4 + u16(data + pos + 2) <= end ? u16(data + pos) : 0;
    }

private:
    const uchar *data;
    qint64 end;
    qint64 pos;
};

// A record's body and the CONTINUE records after it, read as one run of bytes. Inside
// the characters of a string, each new record starts with the string's flag byte again.
class Segments
{
public:
    void add(const uchar *body, int size) { parts.append({body, size}); }

    bool atEnd()
    {
        while (part < parts.size() && offset == parts.at(part).second) {
            ++part;
            offset = 0;
        }
        return part >= parts.size();
    }

    bool bytes(int n, uchar *out)
    {
        for (int i = 0; i < n; ++i) {
            if (atEnd())
                return false;
            out[i] = parts.at(part).first[offset++];
        }
        return true;
    }

    bool skip(qint64 n)
    {
        while (n > 0) {
            if (atEnd())
                return false;
            const qint64 step = qMin<qint64>(n, parts.at(part).second - offset);
            offset += int(step);
            n -= step;
        }
        return true;
    }

    // `count` characters, 16-bit when highByte is set, else the low bytes of UTF-16.
    bool chars(int count, bool highByte, QString *out)
    {
        while (count > 0) {
            if (offset == parts.at(part).second) {
                // The string goes on in the next record, which repeats the flag byte.
                if (++part >= parts.size())
                    return false;
                offset = 0;
                if (parts.at(part).second == 0)
                    return false;
                highByte = parts.at(part).first[offset++] & 1;
            }
            const uchar *p = parts.at(part).first + offset;
            const int available = parts.at(part).second - offset;
            if (highByte) {
                const int n = qMin(count, available / 2);
                if (n == 0)
                    return false; // half a character before the record ends
                for (int i = 0; i < n; ++i)
                    out->append(QChar(u16(p + 2 * i)));
                offset += 2 * n;
                count -= n;
            } else {
                const int n = qMin(count, available);
                out->append(QLatin1String(reinterpret_cast<const char *>(p), n));
                offset += n;
                count -= n;
            }
        }
        return true;
    }

private:
    QVector<QPair<const uchar *, int>> parts;
    int part = 0;
    int offset = 0;
};

// A BIFF8 string with a 16-bit length: flags, optional rich-text and phonetic parts.
bool unicodeString(Segments &in, QString *out)
{
    uchar head[3];
    if (!in.bytes(3, head))
        return false;
    const int count = u16(head);
    const uchar flags = head[2];
    quint32 runs = 0;
    quint32 extra = 0;
    uchar b[4];
    if (flags & 0x08) {
        if (!in.bytes(2, b))
            return false;
        runs = u16(b);
    }
    if (flags & 0x04) {
        if (!in.bytes(4, b))
            return false;
        extra = u32(b);
    }
    if (count > 0 && in.atEnd())
        return false;
    return in.chars(count, flags & 1, out) && in.skip(qint64(runs) * 4) && in.skip(extra);
}

void initGsf()
{
    static const bool done = [] {
        gsf_init();
        return true;
    }();
    (void)done;
}

// The workbook stream of a compound document, whole. False with `why` set.
bool readCompoundStream(const QString &path, qint64 fileSize, QByteArray *out, QString *why)
{
    initGsf();
    GError *error = nullptr;
    GsfInput *input = gsf_input_stdio_new(QFile::encodeName(path).constData(), &error);
    GsfInfile *ole = input ? gsf_infile_msole_new(input, &error) : nullptr;
    GsfInput *book = nullptr;
    if (ole) {
        book = gsf_infile_child_by_name(ole, "Workbook");
        if (!book)
            book = gsf_infile_child_by_name(ole, "Book"); // Excel 5 and 95
    }
    bool ok = false;
    if (!ole) {
        *why = QStringLiteral("%1 is not a readable XLS workbook (%2)")
                   .arg(path, error ? QString::fromUtf8(error->message) : QStringLiteral("no compound file"));
    } else if (!book) {
        *why = QStringLiteral("%1 holds no workbook stream").arg(path);
    } else {
        const gsf_off_t size = gsf_input_size(book);
        // A stream is made of the file's own sectors; one claiming more is broken.
        if (size < 0 || size > fileSize || size > XlsReader::kMaxStreamBytes) {
            *why = QStringLiteral("%1: the workbook stream is larger than the file").arg(path);
        } else {
            out->resize(int(size));
            ok = size == 0 || gsf_input_read(book, size_t(size), reinterpret_cast<guint8 *>(out->data())) != nullptr;
            if (!ok)
                *why = QStringLiteral("%1: the workbook stream cannot be read").arg(path);
        }
    }
    if (error)
        g_error_free(error);
    if (book)
        g_object_unref(book);
    if (ole)
        g_object_unref(ole);
    if (input)
        g_object_unref(input);
    return ok;
}

QTextCodec *codecOf(int codePage)
{
    QTextCodec *c = nullptr;
    if (codePage == 10000)
        c = QTextCodec::codecForName("macintosh");
    else if (codePage == 367)
        c = QTextCodec::codecForName("US-ASCII");
    else if (codePage > 0)
        c = QTextCodec::codecForName("windows-" + QByteArray::number(codePage));
    if (!c && codePage > 0)
        c = QTextCodec::codecForName("CP" + QByteArray::number(codePage));
    return c ? c : QTextCodec::codecForName("windows-1252");
}

} // namespace

namespace {

// The cells of one worksheet substream, in record order.
class SheetCells
{
public:
    SheetCells(const QByteArray &stream, qint64 at, bool isBiff8, QTextCodec *textCodec, const XlsReader *owner,
               QString (XlsReader::*shared)(quint32, bool *) const)
        : records(stream, at)
        , biff8(isBiff8)
        , codec(textCodec)
        , reader(owner)
        , sharedString(shared)
    {
    }

    // Checks the substream's BOF: false when it is not a worksheet.
    bool start()
    {
        Record r;
        if (records.next(&r) != 1 || r.type != kBof || r.size < 4)
            return corrupt(QStringLiteral("no sheet starts there"));
        return u16(r.body + 2) == 0x0010 || corrupt(QStringLiteral("not a worksheet"));
    }

    // 1 with the next cell, 0 at the sheet's end, -1 on failure (`error` set).
    int next(int *row, int *column, QString *text, CellKind *kind)
    {
        if (queued < queue.size()) {
            const Queued &q = queue.at(queued++);
            *row = q.row;
            *column = q.column;
            *text = q.text;
            *kind = CellKind::Value;
            return 1;
        }
        queue.clear();
        queued = 0;
        Record r;
        for (;;) {
            const int got = records.next(&r);
            if (got == 0)
                return corrupt(QStringLiteral("the sheet has no end"));
            if (got < 0)
                return corrupt(QStringLiteral("a record runs past the end of the workbook"));
            if (r.type == kBof) { // an embedded chart: skipped to its own EOF
                ++nested;
                continue;
            }
            if (r.type == kEof) {
                if (nested == 0)
                    return 0;
                --nested;
                continue;
            }
            if (nested > 0)
                continue;
            const int cell = cellOf(r, row, column, text, kind);
            if (cell != 2)
                return cell;
        }
    }

    QString error;

private:
    struct Queued {
        int row;
        int column;
        QString text;
    };

    bool corrupt(const QString &why)
    {
        if (error.isEmpty())
            error = why;
        return false;
    }

    int broken(const Record &r)
    {
        corrupt(QStringLiteral("record 0x%1 at %2 is too short").arg(r.type, 4, 16, QLatin1Char('0')).arg(r.at));
        return -1;
    }

    bool position(const Record &r, int *row, int *column)
    {
        *row = u16(r.body) + 1;
        *column = u16(r.body + 2) + 1;
        return *column <= kMaxSheetColumns;
    }

    // 1 with a cell, 2 for a record that is none, -1 on failure.
    int cellOf(const Record &r, int *row, int *column, QString *text, CellKind *kind)
    {
        *kind = CellKind::Value;
        text->clear();
        switch (r.type) {
        case kNumber:
            if (r.size < 14)
                return broken(r);
            *text = numberText(f64(r.body + 6));
            break;
        case kRk:
            if (r.size < 10)
                return broken(r);
            *text = numberText(rkValue(u32(r.body + 6)));
            break;
        case kBoolErr:
            if (r.size < 8)
                return broken(r);
            if (r.body[7]) {
                *kind = CellKind::Error;
                *text = errorText(r.body[6]);
            } else {
                *text = r.body[6] ? QStringLiteral("true") : QStringLiteral("false");
            }
            break;
        case kLabelSst: {
            if (r.size < 10)
                return broken(r);
            bool ok = false;
            *text = (reader->*sharedString)(u32(r.body + 6), &ok);
            if (!ok) {
                corrupt(QStringLiteral("shared string %1 does not exist").arg(u32(r.body + 6)));
                return -1;
            }
            break;
        }
        case kLabel:
        case kRString:
            if (r.size < 8 || !stringAt(r, 6, text))
                return broken(r);
            break;
        case kBlank:
            if (r.size < 6)
                return broken(r);
            break;
        case kMulRk:
        case kMulBlank: {
            const int each = r.type == kMulRk ? 6 : 2;
            if (r.size < 6 + each || (r.size - 6) % each != 0)
                return broken(r);
            const int first = u16(r.body + 2);
            const int n = (r.size - 6) / each;
            if (first + n > kMaxSheetColumns)
                return broken(r);
            for (int i = 0; i < n; ++i) {
                const QString t = r.type == kMulRk ? numberText(rkValue(u32(r.body + 4 + i * 6 + 2))) : QString();
                queue.append({u16(r.body) + 1, first + i + 1, t});
            }
            queued = 1;
            *row = queue.first().row;
            *column = queue.first().column;
            *text = queue.first().text;
            return 1;
        }
        case kFormula:
            if (r.size < 20)
                return broken(r);
            if (!formulaResult(r, text, kind))
                return -1;
            break;
        default:
            return 2;
        }
        return position(r, row, column) ? 1 : broken(r);
    }

    // What the formula's parsed tokens build: string constants joined by tConcat or
    // CONCATENATE are evaluated; other text-building formulas cannot be.
    TextFormula formulaTokens(const Record &r, QString *text) const
    {
        if (r.size < 22)
            return TextFormula::NotText;
        const int cce = u16(r.body + 20);
        const uchar *p = r.body + 22;
        const uchar *end = p + qMin(cce, r.size - 22);
        QStringList stack;
        bool buildsText = false;
        bool simple = true;
        while (p < end) {
            const uchar t = *p++;
            const auto need = [&](int n) { return end - p >= n; };
            if (t == 0x17) { // tStr: a string constant
                buildsText = true;
                if (!need(biff8 ? 2 : 1))
                    return TextFormula::NotText;
                const int n = *p++;
                QString s;
                if (biff8) {
                    const bool wide = *p++ & 1;
                    if (!need(wide ? 2 * n : n))
                        return buildsText ? TextFormula::Unevaluated : TextFormula::NotText;
                    for (int i = 0; i < n; ++i)
                        s.append(wide ? QChar(u16(p + 2 * i)) : QChar(p[i]));
                    p += wide ? 2 * n : n;
                } else {
                    if (!need(n))
                        return TextFormula::Unevaluated;
                    s = codec->toUnicode(reinterpret_cast<const char *>(p), n);
                    p += n;
                }
                stack.append(s);
            } else if (t == 0x08) { // tConcat
                buildsText = true;
                if (stack.size() < 2) {
                    simple = false;
                    continue;
                }
                const QString right = stack.takeLast();
                stack.last() += right;
            } else if (t == 0x22 || t == 0x42 || t == 0x62) { // tFuncVar
                if (!need(3))
                    break;
                const int argc = p[0] & 0x7F;
                const int function = u16(p + 1) & 0x7FFF;
                p += 3;
                if (function != 336) { // CONCATENATE
                    simple = false;
                    continue;
                }
                buildsText = true;
                if (stack.size() < argc) {
                    simple = false;
                    continue;
                }
                QString joined;
                for (int i = stack.size() - argc; i < stack.size(); ++i)
                    joined += stack.at(i);
                stack.erase(stack.end() - argc, stack.end());
                stack.append(joined);
            } else if (t == 0x15) {                                              // tParen
            } else if (t == 0x19 && need(3) && (p[0] == 0x40 || p[0] == 0x01)) { // tAttr space, semi
                p += 3;
            } else {
                // Any other token: the value depends on more than constants. Skip the
                // operands whose sizes are known to see whether text comes later.
                simple = false;
                // Operand tokens come in three classes (0x20, 0x40, 0x60): one size each.
                const int base = t >= 0x20 ? ((t & 0x1F) | 0x20) : t;
                int size = -1;
                if (t >= 0x03 && t <= 0x16)
                    size = 0; // operators, tParen, tMissArg
                else if (t == 0x1C || t == 0x1D)
                    size = 1;
                else if (t == 0x1E)
                    size = 2;
                else if (t == 0x1F)
                    size = 8;
                else if (base == 0x21) // tFunc
                    size = biff8 ? 2 : 1;
                else if (base == 0x24 || base == 0x2C) // tRef, tRefN
                    size = biff8 ? 4 : 3;
                else if (base == 0x25 || base == 0x2D) // tArea, tAreaN
                    size = biff8 ? 8 : 6;
                else if (base == 0x23) // tName
                    size = biff8 ? 4 : 14;
                else if (base == 0x3A) // tRef3d
                    size = biff8 ? 6 : 17;
                else if (base == 0x3B) // tArea3d
                    size = biff8 ? 10 : 20;
                if (size < 0 || !need(size))
                    break;
                p += size;
            }
        }
        if (!buildsText)
            return TextFormula::NotText;
        if (!simple || p != end || stack.size() != 1)
            return TextFormula::Unevaluated;
        *text = stack.first();
        return TextFormula::Evaluated;
    }

    // The cached result of a FORMULA record.
    bool formulaResult(const Record &r, QString *text, CellKind *kind)
    {
        const uchar *v = r.body + 6;
        if (v[6] != 0xFF || v[7] != 0xFF) {
            // A number cached for a formula that makes text is stale (saved without
            // recalculation): the constants' value, or no value at all.
            switch (formulaTokens(r, text)) {
            case TextFormula::Evaluated:
                return true;
            case TextFormula::Unevaluated:
                *kind = CellKind::Error;
                *text = QLatin1String(kStaleFormulaResult);
                return true;
            case TextFormula::NotText:
                break;
            }
            *text = numberText(f64(v));
            return true;
        }
        switch (v[0]) {
        case 0: { // a text: in the STRING record that follows
            Record s;
            quint16 t;
            while ((t = records.peekType()) == kShrFmla || t == kArray || t == kTable)
                records.next(&s);
            if (records.peekType() != kString)
                return corrupt(QStringLiteral("the text of the formula at record %1 is missing").arg(r.at));
            records.next(&s);
            if (!biff8) {
                if (s.size < 2 || 2 + u16(s.body) > s.size)
                    return corrupt(QStringLiteral("a formula's text is cut short"));
                *text = codec->toUnicode(reinterpret_cast<const char *>(s.body + 2), u16(s.body));
                return true;
            }
            Segments in;
            in.add(s.body, s.size);
            while (records.peekType() == kContinue) {
                records.next(&s);
                in.add(s.body, s.size);
            }
            return unicodeString(in, text) || corrupt(QStringLiteral("a formula's text is cut short"));
        }
        case 1:
            *text = v[2] ? QStringLiteral("true") : QStringLiteral("false");
            return true;
        case 2:
            *kind = CellKind::Error;
            *text = errorText(v[2]);
            return true;
        case 3:
            return true; // the empty text
        default:
            return corrupt(QStringLiteral("unknown formula result at record %1").arg(r.at));
        }
    }

    // A LABEL's text from `offset` of its record on.
    bool stringAt(const Record &r, int offset, QString *text)
    {
        if (!biff8) {
            const int n = u16(r.body + offset);
            if (offset + 2 + n > r.size)
                return false;
            *text = codec->toUnicode(reinterpret_cast<const char *>(r.body + offset + 2), n);
            return true;
        }
        Segments in;
        in.add(r.body + offset, r.size - offset);
        return unicodeString(in, text);
    }

    Records records;
    const bool biff8;
    QTextCodec *const codec;
    const XlsReader *const reader;
    QString (XlsReader::*const sharedString)(quint32, bool *) const;
    int nested = 0;
    QVector<Queued> queue;
    int queued = 0;
};

} // namespace

XlsReader::~XlsReader() = default;

bool XlsReader::open(const QString &path)
{
    error.clear();
    sheets.clear();
    sstChars.clear();
    sstStart.clear();
    stream.clear();

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot open %1: %2").arg(path, file.errorString()));
    const QByteArray head = file.read(8);
    if (head == QByteArray::fromHex("d0cf11e0a1b11ae1")) {
        QString why;
        if (!readCompoundStream(path, file.size(), &stream, &why))
            return fail(why);
    } else {
        // A bare BIFF5/8 stream, as some programs write .xls files.
        if (file.size() > kMaxStreamBytes)
            return fail(QStringLiteral("%1 is too large").arg(path));
        file.seek(0);
        stream = file.readAll();
    }
    return readGlobals();
}

bool XlsReader::readGlobals()
{
    Records records(stream, 0);
    Record r;
    if (records.next(&r) != 1 || r.type != kBof || r.size < 4)
        return fail(QStringLiteral("not a BIFF5 or BIFF8 workbook"));
    const quint16 version = u16(r.body);
    if (version != 0x0600 && version != 0x0500)
        return fail(QStringLiteral("BIFF version 0x%1 is not read (Excel 5 or later only)").arg(version, 0, 16));
    if (u16(r.body + 2) != 0x0005)
        return fail(QStringLiteral("the workbook stream does not start with the workbook globals"));
    biff8 = version == 0x0600;
    codec = codecOf(1252);

    QSet<qint64> seen;
    for (;;) {
        const int got = records.next(&r);
        if (got <= 0)
            return fail(QStringLiteral("the workbook globals have no end"));
        switch (r.type) {
        case kEof:
            return true;
        case kFilePass:
            return fail(QStringLiteral("the workbook is protected by a password"));
        case kCodePage:
            if (r.size >= 2 && !biff8)
                codec = codecOf(u16(r.body));
            break;
        case kBoundSheet:
            if (r.size < 6)
                return fail(QStringLiteral("a sheet entry is too short"));
            // Worksheets only (0), not macro sheets, charts or modules. A sheet listed
            // twice is one sheet, read once.
            if (r.body[5] == 0 && !seen.contains(u32(r.body))) {
                seen.insert(u32(r.body));
                Sheet sheet;
                sheet.offset = u32(r.body);
                sheets.append(sheet);
            }
            break;
        case kSst:
            if (!readSharedStrings(r.at))
                return false;
            break;
        default:
            break;
        }
    }
}

bool XlsReader::readSharedStrings(qint64 at)
{
    if (!sstStart.isEmpty())
        return fail(QStringLiteral("the workbook has two shared-string tables"));
    Records records(stream, at);
    Record r;
    records.next(&r);
    Segments in;
    in.add(r.body, r.size);
    while (records.peekType() == kContinue) {
        records.next(&r);
        in.add(r.body, r.size);
    }
    uchar head[8];
    if (!in.bytes(8, head))
        return fail(QStringLiteral("the shared-string table is too short"));
    // The stated count only bounds the loop; the strings present decide what is kept.
    const quint32 unique = u32(head + 4);
    sstStart.append(0);
    for (quint32 i = 0; i < unique && !in.atEnd(); ++i) {
        if (!unicodeString(in, &sstChars))
            return fail(QStringLiteral("shared string %1 is cut short").arg(i));
        sstStart.append(sstChars.size());
    }
    return true;
}

QString XlsReader::sharedString(quint32 index, bool *ok) const
{
    *ok = qint64(index) + 1 < sstStart.size();
    if (!*ok)
        return QString();
    const qint64 from = sstStart.at(int(index));
    return sstChars.mid(int(from), int(sstStart.at(int(index) + 1) - from));
}

bool XlsReader::usedRange(int sheet, UsedRange *range)
{
    if (sheet < 0 || sheet >= sheets.size())
        return fail(QStringLiteral("no sheet %1").arg(sheet + 1));
    Sheet &s = sheets[sheet];
    if (!s.rangeKnown) {
        SheetCells cells(stream, s.offset, biff8, codec, this, &XlsReader::sharedString);
        if (!cells.start())
            return fail(QStringLiteral("sheet %1: %2").arg(sheet + 1).arg(cells.error));
        // The rectangle of the cells the sheet holds (formatted empty cells included),
        // not the DIMENSIONS record: writers put anything there, up to the whole sheet,
        // and a claimed 65536 x 256 would count as millions of empty cells.
        int top = kMaxSheetRows + 1, bottom = 0, left = kMaxSheetColumns + 1, right = 0;
        int row = 0, column = 0;
        QString text;
        CellKind kind;
        while (cells.next(&row, &column, &text, &kind) > 0) {
            top = qMin(top, row);
            bottom = qMax(bottom, row);
            left = qMin(left, column);
            right = qMax(right, column);
        }
        if (!cells.error.isEmpty())
            return fail(QStringLiteral("sheet %1: %2").arg(sheet + 1).arg(cells.error));
        s.range = bottom == 0 ? UsedRange() : UsedRange{top, left, bottom - top + 1, right - left + 1};
        s.rangeKnown = true;
    }
    *range = s.range;
    return true;
}

bool XlsReader::readValues(int sheet, ValueSink &sink)
{
    UsedRange range;
    if (!usedRange(sheet, &range))
        return false;
    if (range.valueCount() == 0)
        return true;
    SheetCells cells(stream, sheets.at(sheet).offset, biff8, codec, this, &XlsReader::sharedString);
    if (!cells.start())
        return fail(QStringLiteral("sheet %1: %2").arg(sheet + 1).arg(cells.error));
    const bool ok = walkRange(range, sink, [&](int *row, int *column, QString *text, CellKind *kind) {
        return cells.next(row, column, text, kind);
    });
    if (!ok && !cells.error.isEmpty())
        return fail(QStringLiteral("sheet %1: %2").arg(sheet + 1).arg(cells.error));
    return ok;
}
