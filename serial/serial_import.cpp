// The serial-number import: choosing a file and reading it into the pool.
#include "serial/serial.h"
#include "ui_serial.h"

#include "store/datastore.h"
#include "store/fixedfield.h"
#include "widgets/loading.h"
#include "widgets/messagebox.h"
#include "serial/workbook.h"
#include "serial/xmlimport.h"

#include <QCoreApplication>
#include <QDomDocument>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QTimer>

namespace {

// Values between two commits: large enough that a commit's disk sync is spread over
// thousands of inserts, small enough that a failure keeps nearly everything read.
const int kBatchValues = 5000;
// How often a long import lets the busy dialog animate and show its count.
const int kProgressIntervalMs = 100;
const int kBusyDelayMs = 200;

// True while an import runs. The busy dialog keeps the operator out, but the event
// processing that keeps it alive also runs timers, and a second run must not start
// inside the first.
bool importRunning = false;

// One run's counting and the per-value step.
//
// Values are taken in batches: first every value of the batch is looked up, then the
// new ones are inserted in file order, then the batch is committed. Running the same
// statement back to back lets the store reuse it instead of preparing the lookup and
// the insert in turn for every value, which costs more than both statements together.
// A value is counted exactly as if looked up just before its own insert: present in
// the pool, or stored earlier in this run, means failed.
class ImportRun : public ValueSink
{
public:
    ImportRun(int importCustomerId, Loading *busy)
        : customerId(importCustomerId)
        , loading(busy)
    {
        pending.reserve(kBatchValues);
        sinceEvents.start();
    }

    bool value(const QString &text) override
    {
        ++read;
        // Stored only when it can be burned as it is: not empty (an empty identifier),
        // not longer than the device request's field leaves room for, no NUL and no
        // broken UTF-16 (either would be stored mangled).
        if (text.isEmpty() || !text.isValidUtf16()
            || !fixedfield::fitsWithNul(text.toUtf8(), sizeof(SerialRecord::serialNumber))) {
            ++failed;
        } else {
            pending.append(text);
            if (pending.size() >= kBatchValues)
                flush();
        }
        keepAlive();
        return true;
    }

    // Empty cells are never stored; a sparse sheet counts them all at once.
    bool emptyValues(qint64 count) override
    {
        failed += count;
        read += count;
        keepAlive();
        return true;
    }

    // Stores what is pending and commits, so that everything read so far is in the pool.
    void flush()
    {
        QVector<bool> present(pending.size());
        for (int i = 0; i < pending.size(); ++i)
            present[i] = serialExists(pending.at(i));
        QSet<QString> stored;
        for (int i = 0; i < pending.size(); ++i) {
            const QString &value = pending.at(i);
            if (present.at(i) || stored.contains(value)) {
                ++failed;
                continue;
            }
            SerialRecord record{};
            fixedfield::put(record.customerName, QStringLiteral("%1").arg(customerId));
            fixedfield::put(record.serialNumber, value);
            if (insertSerial(record)) {
                ++succeeded;
                stored.insert(value);
            } else {
                ++failed;
            }
        }
        pending.clear();
        commitBatch();
        beginBatch();
    }

    void showCount()
    {
        if (loading)
            loading->setProgress(Serial::tr("%1 values read").arg(read));
    }

    qint64 succeeded = 0;
    qint64 failed = 0;

private:
    void keepAlive()
    {
        if (sinceEvents.elapsed() < kProgressIntervalMs)
            return;
        showCount();
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        sinceEvents.restart();
    }

    const int customerId;
    Loading *const loading;
    qint64 read = 0;
    QStringList pending;
    QElapsedTimer sinceEvents;
};

QString refusalText(xmlimport::Refusal refusal)
{
    switch (refusal) {
    case xmlimport::Refusal::TooLarge:
        return Serial::tr("The file is larger than %1 MiB and was not imported.").arg(xmlimport::kMaxFileBytes >> 20);
    case xmlimport::Refusal::DocumentType:
        return Serial::tr("The file declares entities and was not imported.");
    case xmlimport::Refusal::TooDeep:
        return Serial::tr("The file nests elements deeper than %1 levels and was not imported.")
            .arg(xmlimport::kMaxDepth);
    case xmlimport::Refusal::TextTooLong:
        return Serial::tr("The file holds a text longer than %1 characters and was not imported.")
            .arg(xmlimport::kMaxTextChars);
    case xmlimport::Refusal::TooManyNodes:
        return Serial::tr("The file holds more than %1 elements and texts and was not imported.")
            .arg(xmlimport::kMaxNodes);
    case xmlimport::Refusal::NotUtf8:
        return Serial::tr("The file is not valid UTF-8 and was not imported.");
    case xmlimport::Refusal::None:
        break;
    }
    return QString();
}

// The XML reader. False when the run ends here with a box already shown.
bool importXml(const QString &path, ImportRun &run)
{
    // Opened as bytes: text mode would strip carriage-return bytes, which breaks a
    // UTF-16 file, and the parser normalises line ends itself.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        MessageBox::information(nullptr, Serial::tr("title"), Serial::tr("open error!"), QMessageBox::Ok);
        return false;
    }
    QByteArray contents;
    xmlimport::Refusal refusal = xmlimport::Refusal::TooLarge;
    if (file.size() <= xmlimport::kMaxFileBytes) {
        contents = file.readAll();
        refusal = xmlimport::screen(contents);
    }
    file.close();
    if (refusal != xmlimport::Refusal::None) {
        MessageBox::warning(nullptr, Serial::tr("Warning"), refusalText(refusal), QMessageBox::Ok);
        return false;
    }

    QDomDocument document;
    int line = 0;
    int column = 0;
    if (!document.setContent(contents, false, nullptr, &line, &column)) {
        MessageBox::information(nullptr, QStringLiteral("title"),
                                QStringLiteral("parse file failed at line row and column") + QString::number(line)
                                    + QLatin1Char(',') + QString::number(column),
                                QMessageBox::Ok);
        return false;
    }
    contents.clear();
    if (document.isNull()) {
        MessageBox::information(nullptr, Serial::tr("title"), Serial::tr("document is null!"), QMessageBox::Ok);
        return false;
    }

    beginBatch();
    xmlimport::forEachValue(document, [&run](const QString &value) { return run.value(value); });
    run.flush();
    commitBatch();
    return true;
}

// The spreadsheet reader. False when the run ends here with a box already shown.
bool importWorkbook(const QString &path, ImportRun &run, QWidget *page)
{
    std::unique_ptr<WorkbookReader> reader = WorkbookReader::forFile(path);
    bool ok = reader && reader->open(path);
    if (ok) {
        beginBatch();
        for (int sheet = 0; ok && sheet < reader->sheetCount(); ++sheet)
            ok = reader->readValues(sheet, run);
        // Whatever was read before a failure is stored and stays stored.
        run.flush();
        commitBatch();
    }
    if (!ok) {
        MessageBox::critical(page, Serial::tr("Error"), Serial::tr("EXCEL lose"), QMessageBox::Ok);
        return false;
    }
    return true;
}

} // namespace

void Serial::on_btnChoose_clicked()
{
    ui->lineEditPath->setText(FileDialog::getOpenFileName(this, tr("Open"), QStringLiteral("."),
                                                          tr("Files") + QStringLiteral("(*.xls *.xlsx *.xml)")));
}

void Serial::on_btnImport_clicked()
{
    if (importRunning)
        return;
    if (loading)
        loading->start();
    // Lets the event loop show the busy dialog before the import blocks it.
    QTimer::singleShot(kBusyDelayMs, this, &Serial::onImportUuid);
}

void Serial::onImportUuid()
{
    if (importRunning)
        return;
    importRunning = true;

    const int importCustomerId = ui->rbBrisvan->isChecked() ? 2 : 1;
    ImportRun run(importCustomerId, loading);
    const QString path = ui->lineEditPath->text();

    bool completed = false;
    if (path.trimmed().isEmpty()) {
        MessageBox::warning(nullptr, tr("Warning"), tr("Please enter a query path!"), QMessageBox::Yes);
    } else {
        // XML is tested first; both tests are case-sensitive and match anywhere in the
        // path, and ".xls" also covers ".xlsx".
        if (path.lastIndexOf(QLatin1String(".xml")) > 0)
            completed = importXml(path, run);
        else if (path.lastIndexOf(QLatin1String(".xls")) > 0)
            completed = importWorkbook(path, run, this);
        else
            completed = true;   // nothing to read: an empty run
    }

    if (completed) {
        run.showCount();
        addLog(makeLogRecord(tr("Import serail number"), tr("Import serail number")));
        if (run.succeeded > 0)
            refreshPaging();
        MessageBox::information(nullptr, tr("title"),
                                tr("Import completed, import successful ") + QString::number(run.succeeded)
                                    + tr(", failed ") + QString::number(run.failed),
                                QMessageBox::Ok);
    }
    if (loading)
        loading->stop();
    importRunning = false;
}
