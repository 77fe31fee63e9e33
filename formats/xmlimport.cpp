#include "formats/xmlimport.h"
#include "formats/workbook.h"

#include "base/utf8.h"

#include <QFile>
#include <QXmlStreamReader>

namespace xmlimport {

namespace {

bool readAsUtf8(const QByteArray &contents, const QStringRef &declared)
{
    // A UTF-16 or UTF-32 byte order mark: the parser decodes that itself.
    if (contents.startsWith("\xFF\xFE") || contents.startsWith("\xFE\xFF"))
        return false;
    return declared.isEmpty() || declared.compare(QLatin1String("UTF-8"), Qt::CaseInsensitive) == 0
        || declared.compare(QLatin1String("UTF8"), Qt::CaseInsensitive) == 0;
}

} // namespace

Refusal screen(const QByteArray &contents, qint64 *errorLine, qint64 *errorColumn)
{
    if (contents.size() > kMaxFileBytes)
        return Refusal::TooLarge;
    QXmlStreamReader xml(contents);
    xml.setNamespaceProcessing(false);
    int depth = 0;
    qint64 nodes = 0;
    while (!xml.atEnd()) {
        switch (xml.readNext()) {
        case QXmlStreamReader::StartDocument: // comes first, with or without a declaration
            if (readAsUtf8(contents, xml.documentEncoding())) {
                if (!utf8::valid(contents.constData(), std::size_t(contents.size())))
                    return Refusal::NotUtf8;
            }
            break;
        case QXmlStreamReader::DTD:
            if (!xml.entityDeclarations().isEmpty() || xml.text().contains(QLatin1String("ENTITY")))
                return Refusal::DocumentType;
            break;
        case QXmlStreamReader::EntityReference:
            return Refusal::DocumentType;
        case QXmlStreamReader::StartElement: {
            if (++depth > kMaxDepth)
                return Refusal::TooDeep;
            if (++nodes > kMaxNodes)
                return Refusal::TooManyNodes;
            const QXmlStreamAttributes attributes = xml.attributes();
            for (const QXmlStreamAttribute &a : attributes)
                if (a.value().size() > kMaxTextChars)
                    return Refusal::TextTooLong;
            break;
        }
        case QXmlStreamReader::EndElement:
            --depth;
            break;
        case QXmlStreamReader::Characters:
        case QXmlStreamReader::Comment:
        case QXmlStreamReader::ProcessingInstruction:
            if (xml.text().size() > kMaxTextChars || xml.processingInstructionData().size() > kMaxTextChars)
                return Refusal::TextTooLong;
            if (++nodes > kMaxNodes)
                return Refusal::TooManyNodes;
            break;
        default:
            break;
        }
    }
    if (xml.hasError()) {
        if (errorLine)
            *errorLine = xml.lineNumber();
        if (errorColumn)
            *errorColumn = xml.columnNumber();
        return Refusal::Malformed;
    }
    return Refusal::None;
}

bool forEachValue(const QByteArray &contents, const std::function<bool(const QString &)> &sink)
{
    QXmlStreamReader xml(contents);
    xml.setNamespaceProcessing(false);
    // Depth 1 is the document element, 2 a record, 3 a value element.
    int depth = 0;
    QString value;
    bool inText = false; // the last node inside a record was text (parts of one text node)
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType t = xml.readNext();
        switch (t) {
        case QXmlStreamReader::StartElement:
            ++depth;
            inText = false;
            if (depth == 3)
                value.clear();
            break;
        case QXmlStreamReader::EndElement:
            if (depth == 3 && !sink(value))
                return false;
            --depth;
            inText = false;
            break;
        case QXmlStreamReader::Characters:
            if (depth >= 3) {
                // A text of blanks alone is no node, inside a value too: "<v>  </v>" is the
                // empty value (never an identifier of spaces), "<v>x<b/> </v>" is "x".
                if (!xml.isWhitespace())
                    value.append(xml.text());
            } else if (depth == 2 && !xml.isWhitespace()) {
                // A record's own text is one node however the parser hands it over.
                if (!inText && !sink(QString()))
                    return false;
                inText = true;
                break;
            }
            break;
        case QXmlStreamReader::Comment:
        case QXmlStreamReader::ProcessingInstruction:
            if (depth == 2) {
                inText = false;
                if (!sink(QString()))
                    return false;
            }
            break;
        default:
            break;
        }
    }
    return !xml.hasError();
}

bool XmlReader::open(const QString &path)
{
    // Opened as bytes: text mode would strip carriage-return bytes, which breaks a
    // UTF-16 file, and the parser normalises line ends itself.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        why = Refusal::CannotOpen;
        return fail(file.errorString());
    }
    if (file.size() > kMaxFileBytes) {
        why = Refusal::TooLarge;
        return fail(QStringLiteral("larger than %1 bytes").arg(kMaxFileBytes));
    }
    contents = file.readAll();
    why = screen(contents, &line, &column);
    if (why != Refusal::None) {
        contents.clear();
        return fail(QStringLiteral("refused"));
    }
    opened = true;
    return true;
}

bool XmlReader::usedRange(int, UsedRange *)
{
    return fail(QStringLiteral("an XML file has no used range"));
}

bool XmlReader::readValues(int sheet, ValueSink &sink)
{
    if (!opened || sheet != 0)
        return fail(QStringLiteral("no sheet %1").arg(sheet));
    return forEachValue(contents, [&sink](const QString &value) { return sink.value(value); });
}

} // namespace xmlimport
