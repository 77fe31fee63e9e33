#include "tests/import/xlsxfile.h"

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipnewinfo.h>

#include <zlib.h>

namespace xlsxfile {

namespace {

QByteArray escaped(const QString &text)
{
    return text.toHtmlEscaped().toUtf8();
}

const QByteArray kMain = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
const QByteArray kRel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
const QByteArray kPackageRel = "http://schemas.openxmlformats.org/package/2006/relationships";

} // namespace

bool writeZip(const QString &path, const Entries &entries)
{
    QuaZip zip(path);
    if (!zip.open(QuaZip::mdCreate))
        return false;
    for (const Entry &e : entries) {
        QuaZipFile out(&zip);
        if (!out.open(QIODevice::WriteOnly, QuaZipNewInfo(e.name), nullptr, 0, e.stored ? 0 : Z_DEFLATED,
                      e.stored ? 0 : Z_BEST_COMPRESSION))
            return false;
        if (out.write(e.data) != e.data.size())
            return false;
        out.close();
        if (out.getZipError() != UNZ_OK)
            return false;
    }
    zip.close();
    return zip.getZipError() == UNZ_OK;
}

QByteArray worksheet(const QByteArray &sheetData, const QByteArray &dimension)
{
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<worksheet xmlns=\"" + kMain
        + "\" xmlns:r=\"" + kRel + "\">";
    if (!dimension.isEmpty())
        xml += "<dimension ref=\"" + dimension + "\"/>";
    return xml + "<sheetData>" + sheetData + "</sheetData></worksheet>";
}

QByteArray sharedStrings(const QList<QString> &texts)
{
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<sst xmlns=\"" + kMain
        + "\" count=\"" + QByteArray::number(texts.size()) + "\" uniqueCount=\"" + QByteArray::number(texts.size())
        + "\">";
    // Plain appends (a built `+=` reserves exactly and copies everything per text).
    for (const QString &t : texts)
        xml.append("<si><t xml:space=\"preserve\">").append(escaped(t)).append("</t></si>");
    return xml + "</sst>";
}

Entries package(const QList<QByteArray> &worksheets, const QByteArray &sharedStringsPart)
{
    Entries entries;
    QByteArray types =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
        "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
        "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
        "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
        "<Override PartName=\"/xl/workbook.xml\" "
        "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>";
    QByteArray sheets;
    QByteArray rels = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<Relationships xmlns=\""
        + kPackageRel + "\">";
    for (int i = 0; i < worksheets.size(); ++i) {
        const QByteArray n = QByteArray::number(i + 1);
        types += "<Override PartName=\"/xl/worksheets/sheet" + n
            + ".xml\" "
              "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/>";
        sheets += "<sheet name=\"Sheet" + n + "\" sheetId=\"" + n + "\" r:id=\"rId" + n + "\"/>";
        rels += "<Relationship Id=\"rId" + n + "\" Type=\"" + kRel + "/worksheet\" Target=\"worksheets/sheet" + n
            + ".xml\"/>";
        entries.append({QStringLiteral("xl/worksheets/sheet%1.xml").arg(i + 1), worksheets.at(i)});
    }
    if (!sharedStringsPart.isEmpty()) {
        rels += "<Relationship Id=\"rIdS\" Type=\"" + kRel + "/sharedStrings\" Target=\"sharedStrings.xml\"/>";
        entries.append({QStringLiteral("xl/sharedStrings.xml"), sharedStringsPart});
    }
    rels += "</Relationships>";
    types += "</Types>";
    entries.prepend({QStringLiteral("xl/_rels/workbook.xml.rels"), rels});
    entries.prepend({QStringLiteral("xl/workbook.xml"),
                     "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<workbook xmlns=\"" + kMain
                         + "\" xmlns:r=\"" + kRel + "\"><sheets>" + sheets + "</sheets></workbook>"});
    entries.prepend({QStringLiteral("_rels/.rels"),
                     "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<Relationships xmlns=\""
                         + kPackageRel + "\"><Relationship Id=\"rId1\" Type=\"" + kRel
                         + "/officeDocument\" Target=\"xl/workbook.xml\"/></Relationships>"});
    entries.prepend({QStringLiteral("[Content_Types].xml"), types});
    return entries;
}

QByteArray textCell(const QString &ref, const QString &text)
{
    return "<c r=\"" + ref.toLatin1() + "\" t=\"inlineStr\"><is><t>" + escaped(text) + "</t></is></c>";
}

} // namespace xlsxfile
