#include "formats/xlsxreader.h"

#include "base/utf8.h"

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QIODevice>
#include <QSet>
#include <QXmlStreamReader>

#include <cstring>

namespace {

// One zip entry as a sequential device that refuses to grow past the limits, checks
// that the bytes are UTF-8 and that no run of bytes without a '<' (a text or a tag) gets
// longer than kMaxTokenBytes, which bounds what the XML parser can be made to buffer.
class PartDevice : public QIODevice
{
public:
    PartDevice(QuaZip *zip, qint64 *inflatedTotal)
        : file(zip)
        , total(inflatedTotal)
    {
    }

    bool openPart(const QString &name)
    {
        if (!file.getZip()->setCurrentFile(name, QuaZip::csInsensitive)) {
            failure = QStringLiteral("missing part %1").arg(name);
            return false;
        }
        if (!file.open(QIODevice::ReadOnly)) {
            failure = QStringLiteral("cannot open part %1 (zip error %2)").arg(name).arg(file.getZipError());
            return false;
        }
        compressed = qMax<qint64>(file.csize(), 1);
        partName = name;
        // Unbuffered: the XML reader asks for large blocks itself.
        return QIODevice::open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }

    bool isSequential() const override { return true; }

    // Closes the entry; a bad checksum or a truncated stream shows up here.
    bool finish()
    {
        if (!file.isOpen())
            return failure.isEmpty();
        file.close();
        if (failure.isEmpty() && file.getZipError() != UNZ_OK)
            failure = QStringLiteral("part %1 is corrupt (zip error %2)").arg(partName).arg(file.getZipError());
        if (failure.isEmpty() && !textCheck.complete())
            failure = QStringLiteral("part %1 is not UTF-8").arg(partName);
        return failure.isEmpty();
    }

    QString failure;

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        if (!failure.isEmpty())
            return -1;
        const qint64 n = file.read(data, maxSize);
        if (n < 0) {
            failure = QStringLiteral("part %1 is corrupt (zip error %2)").arg(partName).arg(file.getZipError());
            return -1;
        }
        if (n == 0)
            return 0;
        if (inflated == 0 && n >= 2
            && ((uchar(data[0]) == 0xFF && uchar(data[1]) == 0xFE)
                || (uchar(data[0]) == 0xFE && uchar(data[1]) == 0xFF)))
            checkUtf8 = false; // a UTF-16 part; the XML parser checks that encoding itself
        inflated += n;
        *total += n;
        if (inflated > XlsxReader::kMaxPartBytes) {
            failure = QStringLiteral("part %1 inflates past %2 bytes").arg(partName).arg(XlsxReader::kMaxPartBytes);
        } else if (inflated > XlsxReader::kRatioFloor && inflated / compressed > XlsxReader::kMaxRatio) {
            failure = QStringLiteral("part %1 inflates more than %2 times").arg(partName).arg(XlsxReader::kMaxRatio);
        } else if (*total > XlsxReader::kMaxTotalBytes) {
            failure = QStringLiteral("workbook inflates past %1 bytes").arg(XlsxReader::kMaxTotalBytes);
        } else {
            if (checkUtf8) {
                textCheck.feed(data, std::size_t(n));
                if (!textCheck.ok())
                    failure = QStringLiteral("part %1 is not UTF-8").arg(partName);
            }
            const void *lastOpen = memrchr(data, '<', size_t(n));
            run = lastOpen ? n - 1 - (static_cast<const char *>(lastOpen) - data) : run + n;
            if (run > XlsxReader::kMaxTokenBytes)
                failure = QStringLiteral("part %1 holds a text or tag over %2 bytes")
                              .arg(partName)
                              .arg(XlsxReader::kMaxTokenBytes);
        }
        return failure.isEmpty() ? n : -1;
    }

    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QuaZipFile file;
    qint64 *total;
    qint64 compressed = 1;
    qint64 inflated = 0;
    qint64 run = 0;
    bool checkUtf8 = true;
    utf8::Check textCheck;
    QString partName;
};

// A part as a stream of XML tokens, with the rules every part must keep: no document
// type (so no entity can be declared, let alone expanded), bounded nesting.
class PartStream
{
public:
    PartStream(QuaZip *zip, qint64 *total)
        : device(zip, total)
    {
    }

    bool open(const QString &name)
    {
        if (!device.openPart(name))
            return false;
        xml.setDevice(&device);
        return true;
    }

    // The next token; Invalid on failure (error() says why). EndDocument at the end.
    QXmlStreamReader::TokenType next()
    {
        const QXmlStreamReader::TokenType t = xml.readNext();
        switch (t) {
        case QXmlStreamReader::StartElement:
            if (++depth > XlsxReader::kMaxDepth) {
                failure = QStringLiteral("elements nested deeper than %1").arg(XlsxReader::kMaxDepth);
                return QXmlStreamReader::Invalid;
            }
            break;
        case QXmlStreamReader::EndElement:
            --depth;
            break;
        case QXmlStreamReader::DTD:
        case QXmlStreamReader::EntityReference:
            failure = QStringLiteral("document type declarations are not accepted");
            return QXmlStreamReader::Invalid;
        case QXmlStreamReader::Invalid:
            if (failure.isEmpty())
                failure = xml.errorString();
            return QXmlStreamReader::Invalid;
        case QXmlStreamReader::EndDocument:
            if (!device.finish())
                return QXmlStreamReader::Invalid;
            break;
        default:
            break;
        }
        return t;
    }

    // Skips to the end of the element just started.
    bool skipElement()
    {
        const int until = depth - 1;
        while (depth > until) {
            if (next() == QXmlStreamReader::Invalid)
                return false;
        }
        return true;
    }

    // The character data inside the element just started, its children's included.
    bool elementText(QString *text, bool skipPhonetic = false)
    {
        text->clear();
        const int until = depth - 1;
        while (depth > until) {
            const QXmlStreamReader::TokenType t = next();
            if (t == QXmlStreamReader::Invalid)
                return false;
            if (t == QXmlStreamReader::Characters)
                text->append(xml.text());
            else if (t == QXmlStreamReader::StartElement && skipPhonetic && xml.name() == QLatin1String("rPh")
                     && !skipElement())
                return false;
        }
        return true;
    }

    QString error() const { return device.failure.isEmpty() ? failure : device.failure; }

    QXmlStreamReader xml;
    int depth = 0;

private:
    PartDevice device;
    QString failure;
};

QString folderOf(const QString &part)
{
    const int slash = part.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : part.left(slash + 1);
}

QString relsOf(const QString &part)
{
    const int slash = part.lastIndexOf(QLatin1Char('/'));
    return folderOf(part) + QStringLiteral("_rels/") + part.mid(slash + 1) + QStringLiteral(".rels");
}

// A relationship target, relative to its source part's folder unless it starts at the root.
QString resolveTarget(const QString &sourcePart, const QString &target)
{
    const QString joined = target.startsWith(QLatin1Char('/')) ? target.mid(1) : folderOf(sourcePart) + target;
    QString clean = QDir::cleanPath(joined);
    while (clean.startsWith(QLatin1String("../")))
        clean = clean.mid(3);
    return clean;
}

// Reverses the _xHHHH_ escapes that OOXML text uses for characters XML cannot carry.
QString decodeEscapes(const QString &text)
{
    if (!text.contains(QLatin1String("_x")))
        return text;
    QString out;
    out.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i) == QLatin1Char('_') && i + 6 < text.size() && text.at(i + 1) == QLatin1Char('x')
            && text.at(i + 6) == QLatin1Char('_')) {
            bool ok = false;
            const ushort code = text.midRef(i + 2, 4).toUShort(&ok, 16);
            if (ok) {
                out.append(QChar(code));
                i += 6;
                continue;
            }
        }
        out.append(text.at(i));
    }
    return out;
}

// "BC12" to column 55, row 12. False for anything else or past the sheet's limits.
bool parseCellRef(QStringView ref, int *row, int *column)
{
    int i = 0;
    int c = 0;
    while (i < ref.size() && ref.at(i) >= QLatin1Char('A') && ref.at(i) <= QLatin1Char('Z') && i < 3)
        c = c * 26 + (ref.at(i++).unicode() - 'A' + 1);
    int r = 0;
    const int digits = i;
    while (i < ref.size() && ref.at(i) >= QLatin1Char('0') && ref.at(i) <= QLatin1Char('9') && i - digits < 8)
        r = r * 10 + (ref.at(i++).unicode() - '0');
    if (i != ref.size() || digits == 0 || i == digits || c > kMaxSheetColumns || r < 1 || r > kMaxSheetRows)
        return false;
    *row = r;
    *column = c;
    return true;
}

bool parseDimension(QStringView ref, UsedRange *range)
{
    const int colon = ref.indexOf(QLatin1Char(':'));
    int r1, c1, r2, c2;
    if (colon < 0) {
        if (!parseCellRef(ref, &r1, &c1))
            return false;
        r2 = r1;
        c2 = c1;
    } else if (!parseCellRef(ref.left(colon), &r1, &c1) || !parseCellRef(ref.mid(colon + 1), &r2, &c2)) {
        return false;
    }
    range->firstRow = qMin(r1, r2);
    range->firstColumn = qMin(c1, c2);
    range->rowCount = qAbs(r2 - r1) + 1;
    range->columnCount = qAbs(c2 - c1) + 1;
    return true;
}

// The cells of a worksheet part, one by one, as the reading order needs them.
class CellStream
{
public:
    CellStream(PartStream &sheetPart, const SharedStrings &sharedStrings)
        : part(sheetPart)
        , shared(sharedStrings)
    {
    }

    // Moves to <sheetData>, noting the <dimension> on the way. False on failure.
    bool toSheetData(bool *hasDimension, UsedRange *dimension)
    {
        *hasDimension = false;
        for (;;) {
            const QXmlStreamReader::TokenType t = part.next();
            if (t == QXmlStreamReader::Invalid)
                return false;
            if (t == QXmlStreamReader::EndDocument)
                return true; // no sheetData at all: an empty sheet
            if (t != QXmlStreamReader::StartElement)
                continue;
            const QStringRef name = part.xml.name();
            if (name == QLatin1String("dimension")) {
                *hasDimension = parseDimension(part.xml.attributes().value(QLatin1String("ref")), dimension);
            } else if (name == QLatin1String("sheetData")) {
                inSheetData = true;
                dataDepth = part.depth;
                return true;
            }
        }
    }

    // 1 with the next cell, 0 at the end of the cells, -1 on failure (`error` set).
    int next(int *row, int *column, QString *text, CellKind *kind = nullptr)
    {
        while (inSheetData) {
            const QXmlStreamReader::TokenType t = part.next();
            if (t == QXmlStreamReader::Invalid)
                return -1;
            if (t == QXmlStreamReader::EndDocument || (t == QXmlStreamReader::EndElement && part.depth < dataDepth)) {
                inSheetData = false;
                break;
            }
            if (t != QXmlStreamReader::StartElement)
                continue;
            const QStringRef name = part.xml.name();
            if (name == QLatin1String("row")) {
                const QStringRef r = part.xml.attributes().value(QLatin1String("r"));
                if (r.isEmpty()) {
                    if (++currentRow > kMaxSheetRows)
                        return corrupt(QStringLiteral("bad row number"));
                } else {
                    bool ok = false;
                    currentRow = r.toInt(&ok);
                    if (!ok || currentRow < 1 || currentRow > kMaxSheetRows)
                        return corrupt(QStringLiteral("bad row number"));
                }
                currentColumn = 0;
            } else if (name == QLatin1String("c")) {
                const QXmlStreamAttributes attributes = part.xml.attributes();
                const QStringRef ref = attributes.value(QLatin1String("r"));
                if (ref.isEmpty()) {
                    if (++currentColumn > kMaxSheetColumns || currentRow < 1)
                        return corrupt(QStringLiteral("cell without position"));
                } else {
                    int r = 0;
                    if (!parseCellRef(ref, &r, &currentColumn))
                        return corrupt(QStringLiteral("bad cell reference"));
                    currentRow = r;
                }
                bool isError = false;
                if (!cellValue(attributes.value(QLatin1String("t")).toString(), text, &isError))
                    return -1;
                if (kind)
                    *kind = isError ? CellKind::Error : CellKind::Value;
                *row = currentRow;
                *column = currentColumn;
                return 1;
            } else if (part.depth > dataDepth + 1 && !part.skipElement()) {
                return -1;
            }
        }
        return 0;
    }

    QString error;

private:
    int corrupt(const QString &why)
    {
        error = why;
        return -1;
    }

    // Reads the cell element just started to its end and forms its value's text.
    bool cellValue(const QString &type, QString *text, bool *isError)
    {
        QString raw;
        QString formula;
        bool haveValue = false;
        bool inlineText = false;
        const int until = part.depth - 1;
        while (part.depth > until) {
            const QXmlStreamReader::TokenType t = part.next();
            if (t == QXmlStreamReader::Invalid)
                return false;
            if (t != QXmlStreamReader::StartElement)
                continue;
            const QStringRef name = part.xml.name();
            if (name == QLatin1String("v")) {
                if (!part.elementText(&raw))
                    return false;
                haveValue = true;
            } else if (name == QLatin1String("is")) {
                if (!part.elementText(&raw, true))
                    return false;
                haveValue = true;
                inlineText = true;
            } else if (name == QLatin1String("f")) {
                if (!part.elementText(&formula))
                    return false;
            } else if (!part.skipElement()) { // <extLst>
                return false;
            }
        }
        text->clear();
        if (!haveValue)
            return true;
        if (inlineText || type == QLatin1String("inlineStr") || type == QLatin1String("str")) {
            *text = decodeEscapes(raw);
        } else if (type == QLatin1String("s")) {
            bool ok = false;
            const int index = raw.trimmed().toInt(&ok);
            if (!ok || index < 0 || index >= shared.size()) {
                error = QStringLiteral("shared string %1 does not exist").arg(raw);
                return false;
            }
            *text = shared.at(index);
        } else if (type == QLatin1String("b")) {
            *text = raw.trimmed() == QLatin1String("0") ? QStringLiteral("false") : QStringLiteral("true");
        } else if ((type.isEmpty() || type == QLatin1String("n")) && !formula.isEmpty()
                   && textFormula(formula, text) != TextFormula::NotText) {
            // A number cached for a formula that makes text: stale. Its value when the
            // formula is constants alone, else no value at all.
            if (textFormula(formula, text) == TextFormula::Unevaluated) {
                *isError = true;
                *text = QLatin1String(kStaleFormulaResult);
            }
        } else if (type.isEmpty() || type == QLatin1String("n")) {
            bool ok = false;
            const double v = raw.trimmed().toDouble(&ok);
            *text = ok ? numberText(v) : raw;
        } else {
            *isError = type == QLatin1String("e"); // #N/A, #DIV/0!: no value to store
            *text = raw;                           // and "d" (ISO dates) as written
        }
        return true;
    }

    PartStream &part;
    const SharedStrings &shared;
    bool inSheetData = false;
    int dataDepth = 0;
    int currentRow = 0;
    int currentColumn = 0;
};

bool endsWithType(const QString &type, const char *last)
{
    return type.endsWith(QLatin1Char('/') + QLatin1String(last));
}

} // namespace

XlsxReader::XlsxReader() = default;
XlsxReader::~XlsxReader() = default;

bool XlsxReader::readRelationships(const QString &part, QVector<QPair<QString, QString>> *typeAndTarget)
{
    // Keyed by Id in the order read; the caller looks them up by Id or by type.
    PartStream stream(zip.get(), &inflatedTotal);
    if (!stream.open(relsOf(part)))
        return fail(stream.error());
    for (;;) {
        const QXmlStreamReader::TokenType t = stream.next();
        if (t == QXmlStreamReader::Invalid)
            return fail(stream.error());
        if (t == QXmlStreamReader::EndDocument)
            return true;
        if (t == QXmlStreamReader::StartElement && stream.xml.name() == QLatin1String("Relationship")) {
            const QXmlStreamAttributes a = stream.xml.attributes();
            if (a.value(QLatin1String("TargetMode")) == QLatin1String("External"))
                continue;
            typeAndTarget->append(
                {a.value(QLatin1String("Id")).toString() + QLatin1Char(' ') + a.value(QLatin1String("Type")).toString(),
                 resolveTarget(part, a.value(QLatin1String("Target")).toString())});
        }
    }
}

bool XlsxReader::open(const QString &path)
{
    error.clear();
    sheets.clear();
    sharedStrings.clear();
    inflatedTotal = 0;
    fileSize = QFileInfo(path).size();
    zip = std::make_unique<QuaZip>(path);
    if (!zip->open(QuaZip::mdUnzip))
        return fail(QStringLiteral("%1 is not a readable zip file (zip error %2)").arg(path).arg(zip->getZipError()));

    // The package's relationships name the workbook part.
    QVector<QPair<QString, QString>> rootRels;
    if (!readRelationships(QString(), &rootRels))
        return false;
    QString workbookPart;
    for (const auto &rel : qAsConst(rootRels))
        if (endsWithType(rel.first, "officeDocument"))
            workbookPart = rel.second;
    if (workbookPart.isEmpty())
        return fail(QStringLiteral("the package names no workbook"));

    QVector<QPair<QString, QString>> rels;
    if (!readRelationships(workbookPart, &rels))
        return false;
    // By Id, so that a workbook listing thousands of sheets costs one look-up each.
    QHash<QString, QString> worksheetById;
    QSet<QString> knownIds;
    for (const auto &rel : qAsConst(rels)) {
        const QString id = rel.first.left(rel.first.indexOf(QLatin1Char(' ')));
        knownIds.insert(id);
        if (endsWithType(rel.first, "worksheet") && !worksheetById.contains(id))
            worksheetById.insert(id, rel.second);
    }
    // A part listed again is the same sheet, read once.
    QSet<QString> listedParts;

    // Sheets in the workbook's order; only worksheets count, as a spreadsheet
    // application's worksheet collection has them.
    PartStream stream(zip.get(), &inflatedTotal);
    if (!stream.open(workbookPart))
        return fail(stream.error());
    for (;;) {
        const QXmlStreamReader::TokenType t = stream.next();
        if (t == QXmlStreamReader::Invalid)
            return fail(stream.error());
        if (t == QXmlStreamReader::EndDocument)
            break;
        if (t != QXmlStreamReader::StartElement || stream.xml.name() != QLatin1String("sheet"))
            continue;
        QString id;
        const QXmlStreamAttributes attributes = stream.xml.attributes();
        for (const QXmlStreamAttribute &a : attributes)
            if (a.name() == QLatin1String("id") && a.namespaceUri().endsWith(QLatin1String("relationships")))
                id = a.value().toString();
        if (!knownIds.contains(id))
            return fail(QStringLiteral("sheet relationship %1 is missing").arg(id));
        const auto part = worksheetById.constFind(id);
        if (part != worksheetById.constEnd() && !listedParts.contains(part.value())) {
            listedParts.insert(part.value());
            sheets.append(Sheet{part.value(), false, UsedRange()});
        }
    }

    for (const auto &rel : qAsConst(rels))
        if (endsWithType(rel.first, "sharedStrings"))
            return readSharedStrings(rel.second);
    return true;
}

bool XlsxReader::readSharedStrings(const QString &part)
{
    PartStream stream(zip.get(), &inflatedTotal);
    if (!stream.open(part))
        return fail(stream.error());
    const qint64 budget = fileSize * kSharedPerFileByte + kSharedAllowance;
    QString text;
    for (;;) {
        const QXmlStreamReader::TokenType t = stream.next();
        if (t == QXmlStreamReader::Invalid)
            return fail(stream.error());
        if (t == QXmlStreamReader::EndDocument)
            return true;
        if (t != QXmlStreamReader::StartElement || stream.xml.name() != QLatin1String("si"))
            continue;
        if (!stream.elementText(&text, true))
            return fail(stream.error());
        sharedStrings.chars.append(decodeEscapes(text));
        sharedStrings.start.append(sharedStrings.chars.size());
        const qint64 chars = sharedStrings.chars.size();
        if (sharedStrings.size() > kMaxSharedStrings || chars > kMaxSharedChars
            || chars * 2 + qint64(sharedStrings.size()) * 8 > budget)
            return fail(QStringLiteral("too many shared strings for a file of this size"));
    }
}

bool XlsxReader::findUsedRange(Sheet &sheet)
{
    if (sheet.rangeKnown)
        return true;
    PartStream stream(zip.get(), &inflatedTotal);
    if (!stream.open(sheet.part))
        return fail(stream.error());
    CellStream cells(stream, sharedStrings);
    bool hasDimension = false;
    UsedRange range;
    if (!cells.toSheetData(&hasDimension, &range))
        return fail(stream.error());
    if (!hasDimension) {
        // No dimension: the bounding rectangle of the cells present.
        int top = kMaxSheetRows + 1, bottom = 0, left = kMaxSheetColumns + 1, right = 0;
        int row = 0, column = 0;
        QString text;
        int got;
        while ((got = cells.next(&row, &column, &text)) > 0) {
            top = qMin(top, row);
            bottom = qMax(bottom, row);
            left = qMin(left, column);
            right = qMax(right, column);
        }
        if (got < 0)
            return fail(cells.error.isEmpty() ? stream.error() : cells.error);
        range = bottom == 0 ? UsedRange() : UsedRange{top, left, bottom - top + 1, right - left + 1};
    }
    sheet.range = range;
    sheet.rangeKnown = true;
    return true;
}

bool XlsxReader::usedRange(int sheet, UsedRange *range)
{
    if (sheet < 0 || sheet >= sheets.size())
        return fail(QStringLiteral("no sheet %1").arg(sheet + 1));
    if (!findUsedRange(sheets[sheet]))
        return false;
    *range = sheets.at(sheet).range;
    return true;
}

bool XlsxReader::readValues(int sheet, ValueSink &sink)
{
    UsedRange range;
    if (!usedRange(sheet, &range))
        return false;
    if (range.valueCount() == 0)
        return true;
    PartStream stream(zip.get(), &inflatedTotal);
    if (!stream.open(sheets.at(sheet).part))
        return fail(stream.error());
    CellStream cells(stream, sharedStrings);
    bool hasDimension = false;
    UsedRange ignored;
    if (!cells.toSheetData(&hasDimension, &ignored))
        return fail(stream.error());
    const bool ok = walkRange(range, sink, [&](int *row, int *column, QString *text, CellKind *kind) {
        return cells.next(row, column, text, kind);
    });
    if (!ok && error.isEmpty() && (!cells.error.isEmpty() || !stream.error().isEmpty()))
        return fail(cells.error.isEmpty() ? stream.error() : cells.error);
    return ok;
}
