#include "serial/xmlimport.h"
#include "serial/workbook.h"

#include "base/utf8.h"

#include <QDomDocument>
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

Refusal screen(const QByteArray &contents)
{
    if (contents.size() > kMaxFileBytes)
        return Refusal::TooLarge;
    QXmlStreamReader xml(contents);
    xml.setNamespaceProcessing(false);
    int depth = 0;
    qint64 nodes = 0;
    while (!xml.atEnd()) {
        switch (xml.readNext()) {
        case QXmlStreamReader::StartDocument:   // comes first, with or without a declaration
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
    return Refusal::None;
}

bool forEachValue(const QDomDocument &document, const std::function<bool(const QString &)> &sink)
{
    const QDomElement root = document.documentElement();
    for (QDomNode record = root.firstChild(); !record.isNull(); record = record.nextSibling()) {
        if (!record.isElement())
            continue;
        for (QDomNode value = record.firstChild(); !value.isNull(); value = value.nextSibling())
            if (!sink(value.isElement() ? value.toElement().text() : QString()))
                return false;
    }
    return true;
}

} // namespace xmlimport
