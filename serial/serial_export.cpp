// The export of the pool: every row of the current search to a CSV or XLSX file.
#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipnewinfo.h>

#include "serial/serial.h"

#include "base/csvfield.h"
#include "serial/exportformat.h"
#include "store/datastore.h"
#include "store/fixedfield.h"
#include "widgets/loading.h"
#include "widgets/messagebox.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryFile>
#include <QTimer>

#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

const int kBusyDelayMs = 200;
const int kProgressIntervalMs = 100;
// A worksheet holds 1,048,576 rows; each sheet of an export has its header row.
const int kRowsPerSheet = 1048575;

bool exportRunning = false;

// One exported row as the table shows it, as UTF-8 (the fields already are).
QList<QByteArray> rowOf(const SerialBytes &r, const QByteArray &yes, const QByteArray &no, const QByteArray &pending)
{
    return {r.serialNumber, r.customerName,    r.isUse == SerialUsed ? yes : r.isUse == SerialPending ? pending : no,
            r.deviceType,   r.deviceSerialNum, r.deviceIp};
}

QList<QByteArray> utf8(const QStringList &texts)
{
    QList<QByteArray> out;
    for (const QString &t : texts)
        out << t.toUtf8();
    return out;
}

class Writer
{
public:
    virtual ~Writer() = default;
    // Opens the temporary file beside `target`.
    virtual bool open(const QString &target) = 0;
    virtual bool row(const QList<QByteArray> &cells) = 0;
    // Completes the file and puts it under the target's name; false leaves no trace.
    virtual bool commit() = 0;
    QString error;
};

// RFC 4180, UTF-8 with a byte order mark so that spreadsheet programs take it as UTF-8,
// CRLF line ends; no field is written so that a spreadsheet would run it (csvfield). QSaveFile writes a temporary file
// and renames it over the target.
class CsvWriter : public Writer
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
class XlsxWriter : public Writer
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
            sheetList += "<sheet name=\"" + (i == 1 ? QByteArray("Serial") : "Serial " + n) + "\" sheetId=\"" + n
                + "\" r:id=\"rId" + n + "\"/>";
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
        for (int c = 0; c < cells.size() && c < 26; ++c) {
            if (cells.at(c).isEmpty())
                continue;
            buffer += "<c r=\"" + QByteArray(1, char('A' + c)) + r + "\" t=\"inlineStr\"><is><t xml:space=\"preserve\">"
                + escaped(cells.at(c)) + "</t></is></c>";
        }
        buffer += "</row>";
        if (buffer.size() < kFlushBytes)
            return true;
        const bool ok = put(buffer);
        buffer.clear();
        return ok;
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

void Serial::on_btnExport_clicked()
{
    if (exportRunning)
        return;
    QString selected;
    const QString csvFilter = tr("CSV files") + QStringLiteral(" (*.csv)");
    const QString xlsxFilter = tr("Excel workbooks") + QStringLiteral(" (*.xlsx)");
    QString path = FileDialog::getSaveFileName(this, tr("Export"), QStringLiteral("."),
                                               csvFilter + QStringLiteral(";;") + xlsxFilter, &selected);
    if (path.isEmpty())
        return;
    bool xlsx = path.endsWith(QLatin1String(".xlsx"), Qt::CaseInsensitive);
    if (!xlsx && !path.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive)) {
        xlsx = selected == xlsxFilter;
        path += xlsx ? QStringLiteral(".xlsx") : QStringLiteral(".csv");
    }
    exportRunning = true;
    if (loading)
        loading->start();
    // Lets the event loop show the busy dialog before the export blocks it.
    QTimer::singleShot(kBusyDelayMs, this, [this, path, xlsx] { exportTo(path, xlsx); });
}

void Serial::exportTo(const QString &path, bool xlsx)
{
    const QString name = QFileInfo(path).fileName();
    const int total = countSerials(filter);
    const QByteArray yes = exportformat::stateText(SerialUsed).toUtf8();
    const QByteArray no = exportformat::stateText(SerialUnused).toUtf8();
    const QByteArray pending = exportformat::stateText(SerialPending).toUtf8();

    std::unique_ptr<Writer> writer;
    if (xlsx)
        writer = std::make_unique<XlsxWriter>();
    else
        writer = std::make_unique<CsvWriter>();
    qint64 written = 0;
    bool ok = writer->open(path) && writer->row(utf8(exportformat::header()));
    QString why;
    if (ok) {
        QElapsedTimer sinceEvents;
        sinceEvents.start();
        const bool read = forEachSerial(filter, [&](const SerialBytes &r) {
            if (!writer->row(rowOf(r, yes, no, pending)))
                return false;
            ++written;
            if (sinceEvents.elapsed() >= kProgressIntervalMs) {
                if (loading)
                    loading->setProgress(tr("%1 of %2 rows written").arg(written).arg(total));
                QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
                sinceEvents.restart();
            }
            return true;
        });
        if (!read)
            why = storeError();
        ok = read && writer->error.isEmpty() && writer->commit();
    }
    if (!ok && why.isEmpty())
        why = writer->error;
    writer.reset(); // removes what a failed export left behind

    const bool logged = addLog(makeLogRecord(tr("Export serial number"),
                                             ok ? tr("Export %1 serial numbers to %2").arg(written).arg(name)
                                                : tr("Export to %1 failed: %2").arg(name, why)));
    const QString logNote = logged ? QString()
                                   : QStringLiteral("\n") + tr("The export could not be logged: %1").arg(storeError());
    if (loading)
        loading->stop();
    if (ok)
        MessageBox::information(nullptr, tr("Information"),
                                tr("%1 serial numbers were exported to %2.").arg(written).arg(path) + logNote,
                                QMessageBox::Ok);
    else
        MessageBox::critical(nullptr, tr("Error"),
                             tr("The export to %1 failed: %2\nNothing was written under that name.").arg(path, why)
                                 + logNote,
                             QMessageBox::Ok);
    exportRunning = false;
}
