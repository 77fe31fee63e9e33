#include "jobs/importjob.h"
#include "jobs/stockwatch.h"

#include "formats/exportformat.h"
#include "formats/workbook.h"
#include "store/fixedfield.h"
#include "store/storeconnection.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>

#include <functional>
#include <memory>

namespace jobs {

namespace {

// Values between two commits: large enough that a commit's disk sync is spread over
// thousands of inserts, small enough that another program's import gets the write
// lock between two batches and a failure keeps nearly everything read.
const int kBatchValues = 5000;
// How often a long import tells its listener how far it is.
const int kProgressIntervalMs = 100;
// Waiting for the write lock goes on while another connection keeps committing (a
// long import elsewhere frees the lock between its batches), but never longer than this.
const qint64 kMaxLockWaitMs = 10 * 60 * 1000;

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
    ImportRun(int importCustomerId, ImportListener &importListener)
        : customerId(importCustomerId)
        , listener(importListener)
    {
        pending.reserve(kBatchValues);
        sinceEvents.start();
    }

    bool value(const QString &text) override
    {
        ++read;
        if (!acceptable(text)) {
            refuse(text, ImportRefusal::Unusable);
        } else if (!matchesPattern(text)) {
            refuse(text, ImportRefusal::Pattern);
        } else {
            pending.append(text);
            if (pending.size() >= kBatchValues && !flush())
                return false;
        }
        keepAlive();
        return true;
    }

    bool errorValue(const QString &code) override
    {
        ++read;
        refuse(code, ImportRefusal::ErrorCell);
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
        if (unguard) {
            // An export's CSV fields come back as they were before the writer guarded them.
            QStringList fields;
            for (const QString &cell : cells)
                fields << exportformat::unguarded(cell);
            return stateRow(fields);
        }
        return stateRow(cells);
    }

    bool stateRow(const QStringList &cells)
    {
        const QString &value = cells.at(0);
        const int isUse = exportformat::stateOf(cells.at(2));
        if (!acceptable(value)) {
            refuse(value, ImportRefusal::Unusable);
        } else if (isUse == SerialUnused && !matchesPattern(value)) {
            refuse(value, ImportRefusal::Pattern);
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
        // The batch row's counts go with the values: a run cut short still says what it stored.
        if (!storeNewSerials(distinct, customerId, &tally, batchId)
            || (batchId > 0
                && !countImportBatch(batchId, succeeded + tally.stored + batchTally.cameIn,
                                     failed + (pending.size() - tally.stored) + batchTally.notStored()))) {
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

    // Writes one log row in a transaction of its own, waiting for the lock like a batch;
    // `with` writes what goes with the row in that transaction.
    bool log(const QString &type, const QString &describe, const std::function<bool()> &with = {})
    {
        if (!beginWaiting(watch)) {
            logFailure = storeError();
            return false;
        }
        if ((with && !with()) || !addLog(makeLogRecord(type, describe))) {
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

    void showCount() { listener.progress(read, 0); }

    // The customer's pattern: a value must match it whole (none: any value).
    void setPattern(const QString &text)
    {
        if (!text.isEmpty())
            pattern = QRegularExpression(QRegularExpression::anchoredPattern(text));
    }
    // A pattern the program cannot read (the pool edited by hand) matches nothing: no value
    // enters unchecked.
    bool matchesPattern(const QString &text) const
    {
        return pattern.pattern().isEmpty() || pattern.match(text).hasMatch();
    }

    // A value counted failed, listed for the report (the first kMaxListedRefusals).
    void refuse(const QString &text, ImportRefusal why)
    {
        ++failed;
        if (why == ImportRefusal::Pattern)
            ++patternRefused;
        if (refusals.size() < kMaxListedRefusals)
            refusals.append({text, why});
        else
            ++refusalsNotListed;
    }

    qint64 patternRefused = 0;
    QList<RefusedValue> refusals;
    qint64 refusalsNotListed = 0;
    QRegularExpression pattern;

    qint64 succeeded = 0;
    qint64 failed = 0;
    StatedTally statedTally;
    // Of the failed: values committed batches found in the pool, by state.
    NewSerialsTally inPool;
    // The run's ImportBatches row, which every identifier it stores names (0: none yet).
    qint64 batchId = 0;
    bool storeFailed = false;
    QString storeFailureText;
    QString logFailure;
    // Rows of a CSV export: their fields lose the apostrophe the writer put in front.
    bool unguard = false;

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
        if (!storeStatedSerials(stated, &outcomes, batchId))
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
        sinceEvents.restart();
    }

    const int customerId;
    ImportListener &listener;
    CommitWatch watch;
    qint64 read = 0;
    QStringList pending;
    QList<StatedSerial> stated;
    QElapsedTimer sinceEvents;
};

using Outcome = ImportResult::Outcome;

// The file's SHA-256 as hex: which file a batch came from, whatever it was named.
QString fileHash(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QString();
    return QString::fromLatin1(hash.result().toHex());
}

// The log row that marks an import as begun, written before the first value is read,
// so that an import killed part-way still leaves a trace beside what it committed; its
// import batch row commits with it.
bool begin(ImportRun &run, const QString &path, int customerId)
{
    const QString name = QFileInfo(path).fileName();
    const QString hash = fileHash(path);
    const auto batch = [&] { return (run.batchId = recordImportBatch(name, hash, customerId)) > 0; };
    // "serail" is the program's own spelling, kept.
    if (!run.log(ImportJob::tr("Import serail number"), ImportJob::tr("Import started: %1").arg(name), batch)) {
        run.batchId = 0;
        run.storeFailed = true;
        run.storeFailureText = run.logFailure;
        run.logFailure.clear();
        return false;
    }
    return true;
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

// The reader for the file, opened (and so screened); null with the refusal in `result`.
std::unique_ptr<WorkbookReader> openReader(const QString &path, ImportJob::Kind kind, ImportResult *result)
{
    using Refusal = ImportResult::Refusal;
    switch (kind) {
    case ImportJob::Kind::None:
        break;
    case ImportJob::Kind::Xml: {
        auto reader = std::make_unique<xmlimport::XmlReader>();
        if (reader->open(path))
            return reader;
        result->refusal = reader->refusal() == xmlimport::Refusal::CannotOpen ? Refusal::CannotOpen : Refusal::Xml;
        result->xml = reader->refusal();
        result->line = reader->errorLine();
        result->column = reader->errorColumn();
        break;
    }
    case ImportJob::Kind::Csv: {
        auto reader = std::make_unique<csvimport::CsvReader>();
        if (reader->open(path))
            return reader;
        const csvimport::Screening screening = reader->screened();
        result->refusal = screening.refusal == csvimport::Refusal::CannotOpen ? Refusal::CannotOpen : Refusal::Csv;
        result->csv = screening.refusal;
        result->line = screening.line;
        break;
    }
    case ImportJob::Kind::Workbook: {
        std::unique_ptr<WorkbookReader> reader = WorkbookReader::forFile(path);
        if (reader && reader->open(path))
            return reader;
        result->refusal = Refusal::NotWorkbook;
        break;
    }
    }
    return nullptr;
}

} // namespace

void StatedTally::add(const StatedTally &t)
{
    cameIn += t.cameIn;
    present += t.present;
    noCustomer += t.noCustomer;
    otherDevice += t.otherDevice;
    retired += t.retired;
    deviceHolds += t.deviceHolds;
}

ImportJob::Kind ImportJob::kindOf(const QString &path)
{
    if (path.lastIndexOf(QLatin1String(".xml")) > 0)
        return Kind::Xml;
    if (path.lastIndexOf(QLatin1String(".xls")) > 0)
        return Kind::Workbook;
    if (path.lastIndexOf(QLatin1String(".csv")) > 0)
        return Kind::Csv;
    return Kind::None;
}

bool ImportJob::earlierImports(const QString &path, QList<BatchReport> *batches)
{
    batches->clear();
    const QString hash = fileHash(path);
    return hash.isEmpty() || importBatches(batches, hash);
}

ImportJob::ImportJob(const QString &filePath, int importCustomerId, Kind fileKind)
    : path(filePath)
    , customerId(importCustomerId)
    , kind(fileKind)
{
}

ImportResult ImportJob::run(ImportListener &listener)
{
    ImportResult result;
    // Only an administrator brings identifiers into the pool, whoever calls.
    if (!signedInMay(Role::Administrator)) {
        result.refusal = ImportResult::Refusal::NotPermitted;
        return result;
    }
    ImportRun run(customerId, listener);
    CustomerRules rules;
    if (!customerRules(customerId, &rules)) {
        result.outcome = Outcome::StoreFailed;
        result.storeFailure = storeError();
        return result;
    }
    run.setPattern(rules.serialPattern);
    const std::unique_ptr<WorkbookReader> reader = openReader(path, kind, &result);
    if (result.refusal != ImportResult::Refusal::None)
        return result;

    result.outcome = Outcome::Completed; // no reader: nothing to read, an empty run
    if (reader) {
        if (!begin(run, path, customerId)) {
            result.outcome = Outcome::StoreFailed;
        } else {
            run.unguard = kind == Kind::Csv;
            bool ok = true;
            for (int sheet = 0; ok && sheet < reader->sheetCount(); ++sheet)
                ok = reader->readValues(sheet, run);
            result.outcome = finish(run, ok);
        }
    }

    run.showCount();
    // "serail" is the program's own spelling, kept.
    // The batch's final counts (refusals after the last stored value too) go with the closing row.
    const auto counts = [&run] { return run.batchId <= 0 || countImportBatch(run.batchId, run.succeeded, run.failed); };
    result.logged = run.log(tr("Import serail number"), tr("Import serail number"), counts);
    result.logFailure = run.logFailure;
    result.succeeded = run.succeeded;
    result.failed = run.failed;
    result.stated = run.statedTally;
    result.inPool = run.inPool;
    result.storeFailure = run.storeFailureText;
    result.patternRefused = run.patternRefused;
    result.refusals = run.refusals;
    result.refusalsNotListed = run.refusalsNotListed;
    // New stock arms the customer's low-pool warning again for the next crossing.
    if (run.succeeded > 0)
        StockWatch::note(customerId);
    return result;
}

} // namespace jobs
