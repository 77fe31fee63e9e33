// The serial-number import: choosing a file and reading it into the pool.
#include "serial/serial.h"
#include "ui_serial.h"

#include "serial/csvimport.h"
#include "serial/exportformat.h"
#include "serial/workbook.h"
#include "serial/xmlimport.h"
#include "store/datastore.h"
#include "store/fixedfield.h"
#include "store/storeconnection.h"
#include "widgets/loading.h"
#include "widgets/messagebox.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTimer>
#include <QVariant>

namespace {

// Values between two commits: large enough that a commit's disk sync is spread over
// thousands of inserts, small enough that another program's import gets the write
// lock between two batches and a failure keeps nearly everything read.
const int kBatchValues = 5000;
// How often a long import lets the busy dialog animate and show its count.
const int kProgressIntervalMs = 100;
const int kBusyDelayMs = 200;
// Waiting for the write lock goes on while another connection keeps committing (a
// long import elsewhere frees the lock between its batches), but never longer than this.
const qint64 kMaxLockWaitMs = 10 * 60 * 1000;

// True while an import runs. The busy dialog keeps the operator out, but the event
// processing that keeps it alive also runs timers, and a second run must not start
// inside the first.
bool importRunning = false;

// A read-only connection of its own that tells whether any other connection committed
// (PRAGMA data_version changes then). A write lock held by a program that commits is
// worth waiting for; one held by a program that does not is not.
class CommitWatch
{
public:
    CommitWatch()
    {
        // Only the file has one write lock for all; a server's writers do not wait on it.
        if (storeIsServer())
            return;
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name());
        db.setDatabaseName(storeDatabase.databaseName());
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        db.open();
    }

    ~CommitWatch() { QSqlDatabase::removeDatabase(name()); }

    // -1 when it cannot be read.
    qint64 version() const
    {
        QSqlDatabase db = QSqlDatabase::database(name(), false);
        if (!db.isOpen())
            return -1;
        QSqlQuery q(db);
        const qint64 v = q.exec(QStringLiteral("PRAGMA data_version")) && q.next() ? q.value(0).toLongLong() : -1;
        q.finish();
        return v;
    }

private:
    static QString name() { return QStringLiteral("tarnwell-import-commit-watch"); }
};

// Opens a batch; when the write lock is busy past the store's busy timeout, tries again
// as long as another connection committed in the meantime.
bool beginWaiting(const CommitWatch &watch)
{
    QElapsedTimer waited;
    waited.start();
    qint64 seen = watch.version();
    for (;;) {
        if (beginBatch())
            return true;
        if (storeIsServer())
            return false; // a server does not hand out a write lock: its BEGIN failed for good
        const qint64 now = watch.version();
        if ((now == seen && now >= 0) || waited.elapsed() > kMaxLockWaitMs)
            return false;
        seen = now;
    }
}

// One run's counting and the per-value step.
//
// Values are taken in batches of kBatchValues. Each batch is one transaction that takes
// the write lock first (on a server, the import lock): the store keeps the values the
// pool has never held, in file order, then the batch commits. A value counts failed
// only when it is already in the pool or retired from it (or stored earlier in this run,
// or earlier in its batch), empty, too long or unreadable; a value is counted stored only once its
// batch is committed. When the store cannot write, the run stops: the failed batch's
// values are neither stored nor counted.
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
        if (!acceptable(text)) {
            ++failed;
        } else {
            pending.append(text);
            if (pending.size() >= kBatchValues && !flush())
                return false;
        }
        keepAlive();
        return true;
    }

    bool errorValue(const QString &) override
    {
        ++read;
        ++failed;
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

    // The pool's own export comes row by row: its states stay what they are.
    int wholeRows(const QStringList &header) override
    {
        return exportformat::isHeader(header) ? exportformat::header().size() : 0;
    }

    // One row of an export: UUID, Customer, Is used, Type, SN., IP. Unused rows are values
    // like any other; used and pending ones keep their state and device.
    bool row(const QStringList &cells) override
    {
        ++read;
        const QString &value = cells.at(0);
        const int isUse = exportformat::stateOf(cells.at(2));
        if (!acceptable(value)) {
            ++failed;
        } else if (isUse < 0) {
            ++failed;
            ++statedTally.unknownState;
        } else if (isUse == SerialUnused) {
            pending.append(value);
        } else if (!fits(cells.at(3), sizeof(SerialRecord::deviceType))
                   || !fits(cells.at(4), sizeof(SerialRecord::deviceSerialNum))
                   || !fits(cells.at(5), sizeof(SerialRecord::deviceIp))) {
            ++failed; // a device field the records cannot carry whole
        } else {
            stated.append({value, cells.at(1), isUse, cells.at(3), cells.at(4), cells.at(5)});
        }
        if (pending.size() + stated.size() >= kBatchValues && !flush())
            return false;
        keepAlive();
        return true;
    }

    // Stores what is pending in one transaction. False when the store could not write.
    bool flush()
    {
        if ((pending.isEmpty() && stated.isEmpty()) || storeFailed)
            return !storeFailed;
        if (!beginWaiting(watch))
            return storeFailure();
        // Stated rows first: a value both stated and unused in one batch keeps its state.
        StatedTally batchTally;
        if (!storeStated(&batchTally)) {
            const QString why = storeError();
            rollbackBatch();
            return storeFailure(why);
        }
        // A value twice in the batch is stored once; the store drops those already in the pool.
        QStringList distinct;
        distinct.reserve(pending.size());
        QSet<QString> seen;
        seen.reserve(pending.size());
        for (const QString &value : qAsConst(pending)) {
            if (seen.contains(value))
                continue;
            seen.insert(value);
            distinct.append(value);
        }
        NewSerialsTally tally;
        if (!storeNewSerials(distinct, customerId, &tally)) {
            const QString why = storeError();
            rollbackBatch();
            return storeFailure(why);
        }
        if (!commitBatch())
            return storeFailure();
        succeeded += tally.stored;
        failed += pending.size() - tally.stored;
        inPool.unused += tally.unused;
        inPool.used += tally.used;
        inPool.pending += tally.pending;
        inPool.retired += tally.retired;
        pending.clear();
        succeeded += batchTally.cameIn;
        failed += batchTally.notStored();
        statedTally.add(batchTally);
        return true;
    }

    // The values not stored because the pool holds them as used, pending or retired (the
    // failed count alone would hide an identifier that is in a device), or an empty text
    // when there were none.
    QString heldNote() const
    {
        if (inPool.used + inPool.pending + inPool.retired == 0)
            return QString();
        return QStringLiteral("\n")
            + Serial::tr("Already in the pool, not stored again: %1 used, %2 pending, %3 retired, %4 unused.")
                  .arg(inPool.used)
                  .arg(inPool.pending)
                  .arg(inPool.retired)
                  .arg(inPool.unused);
    }

    // Writes one log row in a transaction of its own, waiting for the lock like a batch.
    bool log(const QString &type, const QString &describe)
    {
        if (!beginWaiting(watch)) {
            logFailure = storeError();
            return false;
        }
        if (!addLog(makeLogRecord(type, describe))) {
            logFailure = storeError();
            rollbackBatch();
            return false;
        }
        if (!commitBatch()) {
            logFailure = storeError();
            return false;
        }
        return true;
    }

    void showCount()
    {
        if (loading)
            loading->setProgress(Serial::tr("%1 values read").arg(read));
    }

    // The rows of an export that came in or not, by cause.
    struct StatedTally {
        qint64 cameIn = 0;       // stored or learned as used / pending, with the device
        qint64 present = 0;      // already used or pending here for the same device
        qint64 noCustomer = 0;   // this pool has no customer of the row's name
        qint64 otherDevice = 0;  // used or pending here for another device
        qint64 retired = 0;      // retired here
        qint64 deviceHolds = 0;  // the device holds another identifier here
        qint64 unknownState = 0; // a text of the Is-used column that is no state

        qint64 notStored() const { return present + noCustomer + otherDevice + retired + deviceHolds; }
        void add(const StatedTally &t)
        {
            cameIn += t.cameIn;
            present += t.present;
            noCustomer += t.noCustomer;
            otherDevice += t.otherDevice;
            retired += t.retired;
            deviceHolds += t.deviceHolds;
        }
    };

    qint64 succeeded = 0;
    qint64 failed = 0;
    StatedTally statedTally;
    // Of the failed: values committed batches found in the pool, by state.
    NewSerialsTally inPool;
    bool storeFailed = false;
    QString storeFailureText;
    QString logFailure;

private:
    bool storeFailure(const QString &why = storeError())
    {
        storeFailed = true;
        storeFailureText = why;
        pending.clear();
        stated.clear();
        return false;
    }

    // Stored only when it can be burned as it is: not empty (an empty identifier), not
    // longer than the device request's field leaves room for, no NUL and no broken UTF-16
    // (either would be stored mangled).
    static bool acceptable(const QString &text)
    {
        return !text.isEmpty() && fits(text, sizeof(SerialRecord::serialNumber));
    }

    static bool fits(const QString &text, std::size_t width)
    {
        return text.isValidUtf16() && fixedfield::fitsWithNul(text.toUtf8(), width);
    }

    // The stated rows of the batch, inside its transaction.
    bool storeStated(StatedTally *tally)
    {
        if (stated.isEmpty())
            return true;
        QVector<StatedOutcome> outcomes;
        if (!storeStatedSerials(stated, &outcomes))
            return false;
        for (const StatedOutcome outcome : qAsConst(outcomes)) {
            switch (outcome) {
            case StatedOutcome::Stored:
            case StatedOutcome::Learned:
                ++tally->cameIn;
                break;
            case StatedOutcome::Present:
                ++tally->present;
                break;
            case StatedOutcome::UnknownCustomer:
                ++tally->noCustomer;
                break;
            case StatedOutcome::OtherDevice:
                ++tally->otherDevice;
                break;
            case StatedOutcome::Retired:
                ++tally->retired;
                break;
            case StatedOutcome::DeviceHolds:
                ++tally->deviceHolds;
                break;
            }
        }
        stated.clear();
        return true;
    }

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
    CommitWatch watch;
    qint64 read = 0;
    QStringList pending;
    QList<StatedSerial> stated;
    QElapsedTimer sinceEvents;
};

// The lines of the result box about an export's used and pending rows; empty for any
// other file.
QString statedSummary(const ImportRun::StatedTally &t)
{
    const struct {
        qint64 count;
        const char *text;
    } lines[] = {
        {t.cameIn, QT_TRANSLATE_N_NOOP("Serial", "%n came in as used or pending, with their devices.")},
        {t.present, QT_TRANSLATE_N_NOOP("Serial", "%n were already in the pool for the same device.")},
        {t.noCustomer, QT_TRANSLATE_N_NOOP("Serial", "%n refused: this pool has no customer of the name given.")},
        {t.otherDevice, QT_TRANSLATE_N_NOOP("Serial", "%n refused: used or pending here for another device.")},
        {t.retired, QT_TRANSLATE_N_NOOP("Serial", "%n refused: retired here.")},
        {t.deviceHolds, QT_TRANSLATE_N_NOOP("Serial", "%n refused: the device already holds another identifier here.")},
        {t.unknownState, QT_TRANSLATE_N_NOOP("Serial", "%n refused: the Is used text is not a state.")},
    };
    QString out;
    for (const auto &line : lines)
        if (line.count > 0)
            out += QStringLiteral("\n") + Serial::tr(line.text, nullptr, int(line.count));
    return out;
}

// How a reader's run ended.
enum class Outcome {
    Refused,     // nothing read, a box already shown, nothing logged
    Completed,   // every value read
    ReadFailed,  // the file broke part-way
    StoreFailed, // the store could not write
};

// The log row that marks an import as begun, written before the first value is read,
// so that an import killed part-way still leaves a trace beside what it committed.
Outcome begin(ImportRun &run, const QString &path)
{
    // "serail" is the program's own spelling, kept.
    if (!run.log(Serial::tr("Import serail number"),
                 Serial::tr("Import started: %1").arg(QFileInfo(path).fileName()))) {
        run.storeFailed = true;
        run.storeFailureText = run.logFailure;
        run.logFailure.clear();
        return Outcome::StoreFailed;
    }
    return Outcome::Completed;
}

// After the reader: the rest of the batch, and which way it ended.
Outcome finish(ImportRun &run, bool readOk)
{
    if (run.storeFailed)
        return Outcome::StoreFailed;
    // Whatever was read before a failure is stored and stays stored.
    if (!run.flush())
        return Outcome::StoreFailed;
    return readOk ? Outcome::Completed : Outcome::ReadFailed;
}

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
    case xmlimport::Refusal::Malformed:
    case xmlimport::Refusal::None:
        break;
    }
    return QString();
}

// The XML reader.
Outcome importXml(const QString &path, ImportRun &run)
{
    // Opened as bytes: text mode would strip carriage-return bytes, which breaks a
    // UTF-16 file, and the parser normalises line ends itself.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        MessageBox::information(nullptr, Serial::tr("title"), Serial::tr("open error!"), QMessageBox::Ok);
        return Outcome::Refused;
    }
    QByteArray contents;
    xmlimport::Refusal refusal = xmlimport::Refusal::TooLarge;
    qint64 line = 0;
    qint64 column = 0;
    if (file.size() <= xmlimport::kMaxFileBytes) {
        contents = file.readAll();
        refusal = xmlimport::screen(contents, &line, &column);
    }
    file.close();
    if (refusal == xmlimport::Refusal::Malformed) {
        // "parse file failed at line row and column" is the program's own untranslated wording, kept.
        MessageBox::information(nullptr, QStringLiteral("title"),
                                QStringLiteral("parse file failed at line row and column") + QString::number(line)
                                    + QLatin1Char(',') + QString::number(column),
                                QMessageBox::Ok);
        return Outcome::Refused;
    }
    if (refusal != xmlimport::Refusal::None) {
        MessageBox::warning(nullptr, Serial::tr("Warning"), refusalText(refusal), QMessageBox::Ok);
        return Outcome::Refused;
    }

    if (begin(run, path) != Outcome::Completed)
        return Outcome::StoreFailed;
    const bool ok = xmlimport::forEachValue(contents, [&run](const QString &value) { return run.value(value); });
    return finish(run, ok);
}

// The CSV reader: screened whole first, so a file refused stores nothing.
Outcome importCsv(const QString &path, ImportRun &run)
{
    const csvimport::Screening screening = csvimport::screen(path);
    QString why;
    switch (screening.refusal) {
    case csvimport::Refusal::None:
        break;
    case csvimport::Refusal::CannotOpen:
        MessageBox::information(nullptr, Serial::tr("title"), Serial::tr("open error!"), QMessageBox::Ok);
        return Outcome::Refused;
    case csvimport::Refusal::Encoding:
        why = Serial::tr("The file is neither UTF-8 nor UTF-16 text with a byte order mark and was not imported.");
        break;
    case csvimport::Refusal::UnterminatedQuote:
        why = Serial::tr("The quoted field that begins on line %1 is never closed; the file was not imported.")
                  .arg(screening.line);
        break;
    case csvimport::Refusal::StrayQuote:
        why =
            Serial::tr("Line %1 holds a quote outside a quoted field; the file was not imported.").arg(screening.line);
        break;
    case csvimport::Refusal::RecordTooLong:
        why = Serial::tr("Line %1 is longer than %2 characters; the file was not imported.")
                  .arg(screening.line)
                  .arg(csvimport::kMaxRecordChars);
        break;
    }
    if (!why.isEmpty()) {
        MessageBox::warning(nullptr, Serial::tr("Warning"), why, QMessageBox::Ok);
        return Outcome::Refused;
    }

    if (begin(run, path) != Outcome::Completed)
        return Outcome::StoreFailed;
    // An export's fields come back as they were before the writer guarded them.
    const bool ok = csvimport::forEachValue(
        path, [&run](const QStringList &header) { return run.wholeRows(header); },
        [&run](const QStringList &cells) {
        QStringList fields;
        for (const QString &cell : cells)
            fields << exportformat::unguarded(cell);
        return run.row(fields);
        },
        [&run](const QStringList &header) { return run.firstColumnOnly(header); },
        [&run](const QString &value) { return run.value(value); });
    return finish(run, ok);
}

// The spreadsheet reader.
Outcome importWorkbook(const QString &path, ImportRun &run, QWidget *page)
{
    std::unique_ptr<WorkbookReader> reader = WorkbookReader::forFile(path);
    if (!reader || !reader->open(path)) {
        // "EXCEL lose" is the program's own wording, kept.
        MessageBox::critical(page, Serial::tr("Error"), Serial::tr("EXCEL lose"), QMessageBox::Ok);
        return Outcome::Refused;
    }
    if (begin(run, path) != Outcome::Completed)
        return Outcome::StoreFailed;
    bool ok = true;
    for (int sheet = 0; ok && sheet < reader->sheetCount(); ++sheet)
        ok = reader->readValues(sheet, run);
    return finish(run, ok);
}

} // namespace

void Serial::on_btnChoose_clicked()
{
    ui->lineEditPath->setText(FileDialog::getOpenFileName(this, tr("Open"), QStringLiteral("."),
                                                          tr("Files") + QStringLiteral("(*.xls *.xlsx *.xml *.csv)")));
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

    Outcome outcome = Outcome::Refused;
    if (path.trimmed().isEmpty()) {
        MessageBox::warning(nullptr, tr("Warning"), tr("Please enter a query path!"), QMessageBox::Yes);
    } else {
        // XML is tested first; the tests are case-sensitive and match anywhere in the
        // path, and ".xls" also covers ".xlsx".
        if (path.lastIndexOf(QLatin1String(".xml")) > 0)
            outcome = importXml(path, run);
        else if (path.lastIndexOf(QLatin1String(".xls")) > 0)
            outcome = importWorkbook(path, run, this);
        else if (path.lastIndexOf(QLatin1String(".csv")) > 0)
            outcome = importCsv(path, run);
        else
            outcome = Outcome::Completed; // nothing to read: an empty run
    }

    if (outcome != Outcome::Refused) {
        run.showCount();
        // "serail" is the program's own spelling, kept.
        const bool logged = run.log(tr("Import serail number"), tr("Import serail number"));
        if (run.succeeded > 0)
            refreshPaging();
        const QString storedBefore = tr("%1 values were stored before the error.").arg(run.succeeded);
        const QString logNote = run.heldNote()
            + (logged ? QString()
                      : QStringLiteral("\n") + tr("The import could not be logged: %1").arg(run.logFailure));
        if (outcome == Outcome::Completed) {
            MessageBox::information(nullptr, tr("title"),
                                    tr("Import completed, import successful ") + QString::number(run.succeeded)
                                        + tr(", failed ") + QString::number(run.failed) + statedSummary(run.statedTally)
                                        + logNote,
                                    QMessageBox::Ok);
        } else if (outcome == Outcome::ReadFailed) {
            // "EXCEL lose" is the program's own wording, kept.
            MessageBox::critical(this, tr("Error"), tr("EXCEL lose") + QStringLiteral("\n") + storedBefore + logNote,
                                 QMessageBox::Ok);
        } else {
            MessageBox::critical(nullptr, tr("Error"),
                                 tr("The store could not write: %1").arg(run.storeFailureText) + QStringLiteral("\n")
                                     + storedBefore + logNote,
                                 QMessageBox::Ok);
        }
    }
    if (loading)
        loading->stop();
    importRunning = false;
}
