#include "formats/tablewriter.h"

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipnewinfo.h>

#include "base/csvfield.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryFile>

#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// RFC 4180, UTF-8 with a byte order mark so that spreadsheet programs take it as UTF-8,
// CRLF line ends; no field is written so that a spreadsheet would run it (csvfield). QSaveFile writes a temporary file
// and renames it over the target.
class CsvWriter : public TableWriter
{
public:
    bool open(const QString &target) override
    {
        file.setFileName(target);
        if (!file.open(QIODevice::WriteOnly)) {
            error = file.errorString();
            return false;
        }
        buffer.reserve(kFlushBytes + 4096);
        buffer = "\xEF\xBB\xBF";
        return true;
    }

    bool row(const QList<QByteArray> &cells) override
    {
        for (int i = 0; i < cells.size(); ++i) {
            if (i > 0)
                buffer += ',';
            const QByteArray &field = cells.at(i);
            csvfield::append(buffer, field.constData(), std::size_t(field.size()));
        }
        buffer += "\r\n";
        return buffer.size() < kFlushBytes || flush();
    }

    bool commit() override
    {
        if (!flush())
            return false;
        if (!file.commit()) {
            error = file.errorString();
            return false;
        }
        return true;
    }

private:
    static const int kFlushBytes = 256 * 1024;

    bool flush()
    {
        if (file.write(buffer) != buffer.size()) {
            error = file.errorString();
            file.cancelWriting();
            return false;
        }
        buffer.clear();
        return true;
    }

    QSaveFile file;
    QByteArray buffer;
};

// Office Open XML, streamed: each worksheet is deflated into the zip container as its
// rows are written, so an export costs a row of memory whatever its size. Cells are
// inline strings (no shared-string table to hold). The package is made under a
// temporary name beside the target and renamed over it once complete.
class XlsxWriter : public TableWriter
{
public:
    ~XlsxWriter() override
    {
        part.reset();
        zip.reset();
        if (!temporary.isEmpty())
            QFile::remove(temporary);
    }

    bool open(const QString &path) override
    {
        target = path;
        const QFileInfo info(path);
        QTemporaryFile reserve(info.absolutePath() + QStringLiteral("/.") + info.fileName()
                               + QStringLiteral(".XXXXXX"));
        reserve.setAutoRemove(false);
        if (!reserve.open()) {
            error = reserve.errorString();
            return false;
        }
        temporary = reserve.fileName();
        reserve.close();
        zip = std::make_unique<QuaZip>(temporary);
        if (!zip->open(QuaZip::mdCreate))
            return zipFailed();
        return true;
    }

    bool row(const QList<QByteArray> &cells) override
    {
        if (!part || rowInSheet >= kRowsPerSheet + 1) {
            if (part && !endSheet())
                return false;
            if (!beginSheet())
                return false;
            if (!header.isEmpty() && !write(header))
                return false;
        }
        if (header.isEmpty())
            header = cells;
        return write(cells);
    }

    bool commit() override
    {
        if (!part && !beginSheet())
            return false;
        if (!endSheet())
            return false;
        QByteArray sheetList, rels, types;
        for (int i = 1; i <= sheets; ++i) {
            const QByteArray n = QByteArray::number(i);
            const QByteArray name = escaped(sheetName.toUtf8());
            sheetList += "<sheet name=\"" + (i == 1 ? name : name + ' ' + n) + "\" sheetId=\"" + n + "\" r:id=\"rId" + n
                + "\"/>";
            rels += "<Relationship Id=\"rId" + n
                + "\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/"
                  "relationships/worksheet\" Target=\"worksheets/sheet"
                + n + ".xml\"/>";
            types += "<Override PartName=\"/xl/worksheets/sheet" + n
                + ".xml\" ContentType=\"application/"
                  "vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/>";
        }
        const QByteArray head = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";
        const bool ok =
            entry(
                QStringLiteral("[Content_Types].xml"),
                head
                    + "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
                      "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
                      "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
                      "<Override PartName=\"/xl/workbook.xml\" ContentType=\"application/"
                      "vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>"
                    + types + "</Types>")
            && entry(QStringLiteral("_rels/.rels"),
                     head
                         + "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
                           "<Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/"
                           "relationships/officeDocument\" Target=\"xl/workbook.xml\"/></Relationships>")
            && entry(QStringLiteral("xl/workbook.xml"),
                     head
                         + "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
                           "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"><sheets>"
                         + sheetList + "</sheets></workbook>")
            && entry(QStringLiteral("xl/_rels/workbook.xml.rels"),
                     head + "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
                         + rels + "</Relationships>");
        if (!ok)
            return false;
        zip->close();
        if (zip->getZipError() != UNZ_OK)
            return zipFailed();
        zip.reset();
        // rename(2) replaces the target in one step.
        if (std::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(target).constData()) != 0) {
            error = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        temporary.clear();
        return true;
    }

private:
    bool zipFailed()
    {
        if (error.isEmpty())
            error = QStringLiteral("the workbook cannot be written (zip error %1)").arg(zip ? zip->getZipError() : 0);
        return false;
    }

    bool openPart(const QString &name)
    {
        part = std::make_unique<QuaZipFile>(zip.get());
        // Level 1: the export's time goes into deflating, and faster beats smaller here.
        if (!part->open(QIODevice::WriteOnly, QuaZipNewInfo(name), nullptr, 0, Z_DEFLATED, 1)) {
            part.reset();
            return zipFailed();
        }
        return true;
    }

    bool closePart()
    {
        part->close();
        const int e = part->getZipError();
        part.reset();
        if (e != ZIP_OK) {
            error = QStringLiteral("the workbook cannot be written (zip error %1)").arg(e);
            return false;
        }
        return true;
    }

    bool entry(const QString &name, const QByteArray &data) { return openPart(name) && put(data) && closePart(); }

    bool put(const QByteArray &data)
    {
        if (part->write(data) != data.size()) {
            error = part->errorString().isEmpty() ? QStringLiteral("the workbook cannot be written")
                                                  : part->errorString();
            return false;
        }
        return true;
    }

    bool beginSheet()
    {
        ++sheets;
        rowInSheet = 0;
        buffer = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
                 "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
                 "<cols><col min=\"1\" max=\"1\" width=\"40\" customWidth=\"1\"/>"
                 "<col min=\"2\" max=\"6\" width=\"16\" customWidth=\"1\"/></cols><sheetData>";
        return openPart(QStringLiteral("xl/worksheets/sheet%1.xml").arg(sheets));
    }

    bool endSheet()
    {
        buffer += "</sheetData></worksheet>";
        const bool ok = put(buffer);
        buffer.clear();
        return ok && closePart();
    }

    bool write(const QList<QByteArray> &cells)
    {
        const QByteArray r = QByteArray::number(++rowInSheet);
        buffer += "<row r=\"" + r + "\">";
        for (int c = 0; c < cells.size(); ++c) {
            if (cells.at(c).isEmpty())
                continue;
            buffer += "<c r=\"" + columnName(c) + r + "\" t=\"inlineStr\"><is><t xml:space=\"preserve\">"
                + escaped(cells.at(c)) + "</t></is></c>";
        }
        buffer += "</row>";
        if (buffer.size() < kFlushBytes)
            return true;
        const bool ok = put(buffer);
        buffer.clear();
        return ok;
    }

    // A, B, ... Z, AA, AB, ...: a report has a column per station or customer.
    static QByteArray columnName(int c)
    {
        QByteArray name;
        for (++c; c > 0; c = (c - 1) / 26)
            name.prepend(char('A' + (c - 1) % 26));
        return name;
    }

    // XML's escapes, and OOXML's _xHHHH_ for the control characters XML cannot carry
    // (and for an underscore that would read as the start of one). UTF-8 in and out:
    // every byte of a multi-byte character is above 0x7F and passes as it is.
    static QByteArray escaped(const QByteArray &text)
    {
        QByteArray out;
        out.reserve(text.size() + 8);
        for (int i = 0; i < text.size(); ++i) {
            const uchar u = uchar(text.at(i));
            if (u == '&')
                out += "&amp;";
            else if (u == '<')
                out += "&lt;";
            else if (u == '>')
                out += "&gt;";
            else if (u < 0x20 && u != '\t' && u != '\n' && u != '\r')
                out += "_x00" + QByteArray::number(u, 16).rightJustified(2, '0').toUpper() + '_';
            else if (u == '_' && i + 6 < text.size() && text.at(i + 1) == 'x' && text.at(i + 6) == '_')
                out += "_x005F_";
            else
                out += char(u);
        }
        return out;
    }

    static const int kFlushBytes = 256 * 1024;

    QString target;
    QString temporary;
    std::unique_ptr<QuaZip> zip;
    std::unique_ptr<QuaZipFile> part;
    QByteArray buffer;
    int sheets = 0;
    int rowInSheet = 0;
    QList<QByteArray> header;
};

} // namespace

std::unique_ptr<TableWriter> TableWriter::create(Format format)
{
    if (format == Format::Xlsx)
        return std::make_unique<XlsxWriter>();
    return std::make_unique<CsvWriter>();
}
