// The export of the pool: every row of the current search to a CSV or XLSX file.
#include <xlsxwriter.h>

#include "serial/serial.h"

#include "store/datastore.h"
#include "store/fixedfield.h"
#include "widgets/loading.h"
#include "widgets/messagebox.h"
#include "serial/exportformat.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryFile>
#include <QTimer>

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

// One exported row as the table shows it.
QStringList rowOf(const SerialRecord &r, const QString &yes, const QString &no)
{
    return {fixedfield::get(r.serialNumber), fixedfield::get(r.customerName), r.isUse == 1 ? yes : no,
            fixedfield::get(r.deviceType), fixedfield::get(r.deviceSerialNum), fixedfield::get(r.deviceIp)};
}

class Writer
{
public:
    virtual ~Writer() = default;
    // Opens the temporary file beside `target`.
    virtual bool open(const QString &target) = 0;
    virtual bool row(const QStringList &cells) = 0;
    // Completes the file and puts it under the target's name; false leaves no trace.
    virtual bool commit() = 0;
    QString error;
};

// RFC 4180, UTF-8 with a byte order mark so that spreadsheet programs take it as UTF-8,
// CRLF line ends. QSaveFile writes a temporary file and renames it over the target.
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

    bool row(const QStringList &cells) override
    {
        for (int i = 0; i < cells.size(); ++i) {
            if (i > 0)
                buffer += ',';
            const QByteArray field = cells.at(i).toUtf8();
            if (field.contains(',') || field.contains('"') || field.contains('\r') || field.contains('\n')) {
                buffer += '"';
                buffer += QByteArray(field).replace('"', "\"\"");
                buffer += '"';
            } else {
                buffer += field;
            }
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

// Office Open XML through libxlsxwriter, in its constant-memory mode (each row goes to
// disk as it is written). The workbook is made under a temporary name beside the
// target and renamed over it once complete.
class XlsxWriter : public Writer
{
public:
    ~XlsxWriter() override
    {
        if (workbook) {
            workbook_close(workbook);
            workbook = nullptr;
        }
        if (!temporary.isEmpty())
            QFile::remove(temporary);
    }

    bool open(const QString &path) override
    {
        target = path;
        const QFileInfo info(path);
        QTemporaryFile reserve(info.absolutePath() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".XXXXXX"));
        reserve.setAutoRemove(false);
        if (!reserve.open()) {
            error = reserve.errorString();
            return false;
        }
        temporary = reserve.fileName();
        reserve.close();
        tmpdir = QFile::encodeName(info.absolutePath());
        lxw_workbook_options options{};
        options.constant_memory = LXW_TRUE;
        options.tmpdir = tmpdir.data();
        workbook = workbook_new_opt(QFile::encodeName(temporary).constData(), &options);
        if (!workbook) {
            error = QStringLiteral("the workbook cannot be created");
            return false;
        }
        return true;
    }

    bool row(const QStringList &cells) override
    {
        if (!sheet || rowInSheet > kRowsPerSheet) {
            sheet = workbook_add_worksheet(workbook, sheets == 0 ? "Serial"
                                                                 : QByteArray("Serial " + QByteArray::number(sheets + 1)).constData());
            ++sheets;
            if (!sheet) {
                error = QStringLiteral("a worksheet cannot be added");
                return false;
            }
            worksheet_set_column(sheet, 0, 0, 40, nullptr);
            worksheet_set_column(sheet, 1, 5, 16, nullptr);
            rowInSheet = 0;
            if (!header.isEmpty() && !write(header))
                return false;
        }
        if (header.isEmpty())
            header = cells;
        return write(cells);
    }

    bool commit() override
    {
        const lxw_error closed = workbook_close(workbook);
        workbook = nullptr;
        if (closed != LXW_NO_ERROR) {
            error = QString::fromUtf8(lxw_strerror(closed));
            return false;
        }
        // rename(2) replaces the target in one step.
        if (std::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(target).constData()) != 0) {
            error = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        temporary.clear();
        return true;
    }

private:
    bool write(const QStringList &cells)
    {
        for (int c = 0; c < cells.size(); ++c) {
            const QByteArray text = cells.at(c).toUtf8();
            const lxw_error e = text.isEmpty()
                ? LXW_NO_ERROR
                : worksheet_write_string(sheet, lxw_row_t(rowInSheet), lxw_col_t(c), text.constData(), nullptr);
            if (e != LXW_NO_ERROR) {
                error = QString::fromUtf8(lxw_strerror(e));
                return false;
            }
        }
        ++rowInSheet;
        return true;
    }

    QString target;
    QString temporary;
    QByteArray tmpdir;
    lxw_workbook *workbook = nullptr;
    lxw_worksheet *sheet = nullptr;
    int sheets = 0;
    int rowInSheet = 0;
    QStringList header;
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
    const QString yes = tr("YES");
    const QString no = tr("NO");

    std::unique_ptr<Writer> writer;
    if (xlsx)
        writer = std::make_unique<XlsxWriter>();
    else
        writer = std::make_unique<CsvWriter>();
    qint64 written = 0;
    bool ok = writer->open(path) && writer->row(exportformat::header());
    QString why;
    if (ok) {
        QElapsedTimer sinceEvents;
        sinceEvents.start();
        const bool read = forEachSerial(filter, [&](const SerialRecord &r) {
            if (!writer->row(rowOf(r, yes, no)))
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
    writer.reset();   // removes what a failed export left behind

    const bool logged = addLog(makeLogRecord(
        tr("Export serial number"), ok ? tr("Export %1 serial numbers to %2").arg(written).arg(name)
                                       : tr("Export to %1 failed: %2").arg(name, why)));
    const QString logNote = logged ? QString() : QStringLiteral("\n") + tr("The export could not be logged: %1").arg(storeError());
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
