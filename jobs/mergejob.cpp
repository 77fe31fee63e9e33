#include "jobs/mergejob.h"

#include "base/csvfield.h"
#include "store/datastore.h"
#include "store/stationfile.h"
#include "store/stationmerge.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QVariant>

#include <cstring>
#include <unordered_map>
#include <utility>

namespace jobs {

void MergeListener::started() { }

void MergeListener::stopped(Stop, const QString &) { }

namespace {

using Stop = MergeListener::Stop;

// The store keeps texts, never NULL, in the columns it compares.
QString text(const QVariant &v)
{
    const QString s = v.toString();
    return s.isNull() ? QStringLiteral("") : s;
}

// Log rows are matched on their four texts. The digest of those keeps the memory per row
// small whatever their length; a collision of two different rows is out of reach.
struct LogKey {
    quint64 a = 0;
    quint64 b = 0;
    bool operator==(const LogKey &o) const { return a == o.a && b == o.b; }
};
struct LogKeyHash {
    std::size_t operator()(const LogKey &k) const { return std::size_t(k.a ^ (k.b * 0x9E3779B97F4A7C15ULL)); }
};

LogKey logKey(const QString &type, const QString &describe, const QString &date, const QString &station)
{
    QCryptographicHash h(QCryptographicHash::Md5);
    // Each text with its length ahead, so no split of the texts can read as another.
    for (const QString *s : {&type, &describe, &date, &station}) {
        const QByteArray bytes = s->toUtf8();
        const quint32 n = quint32(bytes.size());
        h.addData(reinterpret_cast<const char *>(&n), sizeof n);
        h.addData(bytes);
    }
    const QByteArray d = h.result();
    LogKey k;
    std::memcpy(&k.a, d.constData(), 8);
    std::memcpy(&k.b, d.constData() + 8, 8);
    return k;
}

} // namespace

MergeJob::MergeJob(MergeOptions options)
    : options_(std::move(options))
{
}

MergeJob::~MergeJob() = default;

bool MergeJob::fail(Stop reason, const QString &message)
{
    error_ = message;
    if (listener_)
        listener_->stopped(reason, message);
    return false;
}

QString MergeJob::fallbackStation() const
{
    return options_.station.isEmpty() ? QFileInfo(options_.stationFile).completeBaseName() : options_.station;
}

bool MergeJob::openStationFile(MergeListener *listener)
{
    static MergeListener quiet;
    listener_ = listener ? listener : &quiet;
    file_ = std::make_unique<StationFile>(options_.stationFile);
    if (file_->open() && file_->checkLogChain())
        return true;
    const QString why = file_->error();
    file_.reset();
    return fail(Stop::StationFile, why);
}

bool MergeJob::run(MergeListener *listener)
{
    static MergeListener quiet;
    listener_ = listener ? listener : &quiet;
    if (!file_)
        return fail(Stop::StationFile, QStringLiteral("%1 was not opened").arg(options_.stationFile));
    pool_ = std::make_unique<StationMerge>();
    const bool ok = merge();
    // The server's merge lock is given back with it.
    pool_.reset();
    return ok;
}

bool MergeJob::merge()
{
    if (!pool_->isOpen())
        return fail(Stop::Target, QStringLiteral("the target pool is not open"));
    switch (pool_->takeLock()) {
    case StationMerge::Lock::Failed:
        return fail(Stop::Target, QStringLiteral("cannot use %1: %2").arg(options_.targetName, pool_->error()));
    case StationMerge::Lock::Busy:
        return fail(Stop::Busy, QStringLiteral("another tarnwell-merge is running on %1").arg(options_.targetName));
    case StationMerge::Lock::Taken:
        break;
    }
    listener_->started();
    if (options_.batchSize <= 0)
        options_.batchSize = storeIsServer() ? MergeOptions::kServerBatch : MergeOptions::kFileBatch;
    if (!pool_->checkTarget())
        return fail(Stop::Target,
                    QStringLiteral("the target pool cannot be used (its tables could not be made or read): %1")
                        .arg(pool_->error()));
    if (!mergeCustomers())
        return false;
    if (!pool_->prepare())
        return fail(Stop::Target, QStringLiteral("cannot prepare the target's statements: %1").arg(pool_->error()));
    return mergeRetired() && mergeSerials() && mergeLogs() && writeReport();
}

bool MergeJob::mergeCustomers()
{
    QVector<StationFile::Customer> file;
    if (!file_->readCustomers(&file))
        return fail(Stop::StationFile, file_->error());
    const QString cannot = QStringLiteral("cannot write the target's customers (nothing was merged): %1");
    if (!pool_->begin())
        return fail(Stop::Write, cannot.arg(pool_->error()));
    auto abandon = [&](const QString &what) {
        pool_->rollback();
        return fail(Stop::Write, cannot.arg(what));
    };
    QHash<QString, qint64> byName;
    if (!pool_->lockTable(QStringLiteral("Customers")) || !pool_->readCustomers(&byName, &targetCustomerNames_))
        return abandon(pool_->error());
    qint64 added = 0;
    for (const StationFile::Customer &c : file) {
        if (byName.contains(c.name))
            continue;
        if (!pool_->addCustomer(c.name, text(c.value), text(c.host), c.port.toInt(), c.checked.toInt()))
            return abandon(QStringLiteral("customer \"%1\": %2").arg(c.name, pool_->error()));
        byName.insert(c.name, 0);
        ++added;
    }
    if (added > 0) {
        byName.clear();
        if (!pool_->readCustomers(&byName, &targetCustomerNames_))
            return abandon(pool_->error());
    }
    if (!pool_->commit())
        return fail(Stop::Write, cannot.arg(pool_->error()));
    counts_.customersAdded = added;
    for (const StationFile::Customer &c : file)
        customers_.insert(c.id, {c.name, byName.value(c.name)});
    return true;
}

// The station's retired identifiers join the target's (those it has no record of retiring),
// before any identifier is merged: a value the station took out of its pool is then not
// brought in as usable. One the target still holds unused while the station had it used or
// pending when it retired it may be in a device: the target retires it too (the pool learns
// the burn, as for the identifiers below). One the station retired unused is a conflict for
// someone to check, and the target keeps it as it is.
bool MergeJob::mergeRetired()
{
    QVector<StationFile::Retired> file;
    if (!file_->readRetired(&file))
        return fail(Stop::StationFile, file_->error());
    const QString fallback = fallbackStation();
    QVector<StationMerge::Retired> rows;
    for (const StationFile::Retired &r : file) {
        if (!r.refused.isEmpty()) {
            conflicts_.append(
                {StationFile::shown(r.bytes), QString(), r.deviceSerialNum, QStringLiteral("retired"), QString(),
                 QString(),
                 QStringLiteral("refused: %1 (retired row %2 of the station file)").arg(r.refused).arg(r.fileRow)});
            ++counts_.refused;
            continue;
        }
        const auto c = customers_.constFind(r.customerId);
        rows.append({c != customers_.constEnd() ? c->targetId : 0, r.serialNumber, r.isUse, r.deviceType,
                     r.deviceSerialNum, r.deviceIp, r.date, r.station.isEmpty() ? fallback : r.station});
    }

    for (int from = 0; from < rows.size(); from += options_.batchSize) {
        const int n = qMin(options_.batchSize, rows.size() - from);
        QStringList values;
        for (int i = 0; i < n; ++i)
            values << rows.at(from + i).serialNumber;
        QSet<QString> inTarget, unusedInTarget;
        // SerialNumbers too: no station claims an unused value between the lookup and its retiring.
        bool ok = pool_->begin() && pool_->lockTable(QStringLiteral("RetiredSerials"))
            && pool_->lockTable(QStringLiteral("SerialNumbers")) && pool_->retiredOf(values, &inTarget)
            && pool_->unusedOf(values, &unusedInTarget);
        qint64 copied = 0;
        qint64 takenOut = 0;
        QVector<MergeConflict> found;
        for (int i = 0; ok && i < n; ++i) {
            const StationMerge::Retired &r = rows.at(from + i);
            if (unusedInTarget.contains(r.serialNumber)) {
                unusedInTarget.remove(r.serialNumber);
                if (r.isUse != SerialUsed && r.isUse != SerialPending) {
                    found.append({r.serialNumber, targetCustomerNames_.value(r.customerId), r.deviceSerialNum,
                                  QStringLiteral("retired"), QString(), StationFile::stateName(SerialUnused),
                                  QStringLiteral("retired unused in the station file, unused in the target: left as "
                                                 "it is")});
                    continue;
                }
                if (!pool_->takeOutUnused(r.serialNumber)) {
                    ok = false;
                    break;
                }
                ++takenOut;
            }
            if (inTarget.contains(r.serialNumber))
                continue;
            ok = pool_->addRetired(r);
            inTarget.insert(r.serialNumber);
            ++copied;
        }
        ok = ok && pool_->commit();
        if (!ok) {
            const QString why = pool_->error();
            pool_->rollback();
            return fail(Stop::Write,
                        QStringLiteral("cannot write retired identifiers into the target: %1. None of the "
                                       "last %2 was stored; run the same command again to finish.")
                            .arg(why)
                            .arg(n));
        }
        counts_.retiredCopied += copied;
        counts_.retiredInTarget += takenOut;
        counts_.conflicts += found.size();
        conflicts_ += found;
    }
    return true;
}

namespace {

// One identifier row of the station file, and the row the pool would get from it (its
// customer the pool's).
struct Row {
    StationFile::Serial file;
    StationMerge::Serial pool;
    bool customerKnown = false; // the file has a customer row for its CustomerID
    QString customerName;

    QString customer() const { return customerKnown ? customerName : QString::number(file.customerId); }
};

} // namespace

bool MergeJob::mergeSerials()
{
    if (!file_->startSerials())
        return fail(Stop::StationFile, file_->error());

    qint64 merged = 0; // file rows in committed batches
    MergeCounts batchCounts;
    QVector<MergeConflict> batchConflicts;

    // Inserts waiting in this batch; written before any update so the writes keep the order
    // in which they were decided (an identifier twice in the file: copied, then updated).
    QVector<const StationMerge::Serial *> inserts;
    auto flushInserts = [&]() {
        const bool ok = pool_->addSerials(inserts);
        inserts.clear();
        return ok;
    };

    auto mergeBatch = [&](const QVector<Row> &rows) {
        batchCounts = MergeCounts();
        batchConflicts.clear();
        inserts.clear();
        if (!pool_->begin() || !pool_->lockTable(QStringLiteral("SerialNumbers")))
            return false;

        QStringList serials;
        QStringList devices;
        {
            QSet<QString> seenSerials, seenDevices;
            for (const Row &r : rows) {
                if (!r.file.refused.isEmpty())
                    continue;
                if (!seenSerials.contains(r.pool.serialNumber)) {
                    seenSerials.insert(r.pool.serialNumber);
                    serials.append(r.pool.serialNumber);
                }
                if (r.pool.isUse != SerialUnused && !r.pool.deviceSerialNum.isEmpty()
                    && !seenDevices.contains(r.pool.deviceSerialNum)) {
                    seenDevices.insert(r.pool.deviceSerialNum);
                    devices.append(r.pool.deviceSerialNum);
                }
            }
        }
        QHash<QString, StationMerge::Held> target;
        QHash<QString, StationMerge::Holding> holdings;
        QSet<QString> retired;
        if (!pool_->retiredOf(serials, &retired) || !pool_->serialsOf(serials, &target)
            || !pool_->holdingsOf(devices, &holdings))
            return false;

        for (const Row &row : rows) {
            const StationMerge::Serial &r = row.pool;
            if (!row.file.refused.isEmpty()) {
                batchConflicts.append({StationFile::shown(row.file.bytes), row.customer(), r.deviceSerialNum,
                                       row.file.state, QString(), QString(),
                                       QStringLiteral("refused: %1 (row %2 of the station file)")
                                           .arg(row.file.refused)
                                           .arg(row.file.fileRow)});
                ++batchCounts.refused;
                continue;
            }
            StationMerge::Held &t = target[r.serialNumber];
            auto conflict = [&](const QString &reason) {
                batchConflicts.append({r.serialNumber, row.customer(), r.deviceSerialNum,
                                       StationFile::stateName(r.isUse), t.present ? t.deviceSerialNum : QString(),
                                       t.present ? StationFile::stateName(t.isUse) : QStringLiteral("absent"), reason});
                ++batchCounts.conflicts;
            };
            const auto held = holdings.constFind(r.deviceSerialNum);
            const bool deviceHoldsOther = r.isUse != SerialUnused && !r.deviceSerialNum.isEmpty()
                && held != holdings.constEnd() && held->serialNumber != r.serialNumber;
            const QString heldText = deviceHoldsOther
                ? QStringLiteral("device %1 holds %2 (%3) in the target")
                      .arg(r.deviceSerialNum, held->serialNumber, StationFile::stateName(held->isUse))
                : QString();

            if (!row.customerKnown) {
                conflict(QStringLiteral("customer %1 is not in the station file").arg(row.file.customerId));
            } else if (!t.present && retired.contains(r.serialNumber)) {
                // Used is forever: a value the pool took out never comes back through a file.
                batchConflicts.append({r.serialNumber, row.customerName, r.deviceSerialNum,
                                       StationFile::stateName(r.isUse), QString(), QStringLiteral("retired"),
                                       QStringLiteral("retired in the target: never stored again")});
                ++batchCounts.retired;
            } else if (!t.present) {
                if (deviceHoldsOther) {
                    conflict(heldText);
                } else {
                    inserts.append(&r);
                    t = {true, r.customerId, r.isUse, r.deviceSerialNum};
                    if (r.isUse != SerialUnused && !r.deviceSerialNum.isEmpty())
                        holdings.insert(r.deviceSerialNum, {r.serialNumber, r.isUse});
                    ++batchCounts.copied;
                }
            } else if (t.customerId != r.customerId) {
                conflict(QStringLiteral("it belongs to customer %1 in the target")
                             .arg(targetCustomerNames_.value(t.customerId, QString::number(t.customerId))));
            } else if (r.isUse == SerialUnused) {
                ++batchCounts.present; // the target knows as much or more
            } else if (t.isUse == SerialUnused) {
                // The target must learn the burn, unless its device holds another identifier.
                if (deviceHoldsOther) {
                    conflict(heldText);
                } else {
                    if (!flushInserts() || !pool_->learnState(r))
                        return false;
                    t.isUse = r.isUse;
                    t.deviceSerialNum = r.deviceSerialNum;
                    if (!r.deviceSerialNum.isEmpty())
                        holdings.insert(r.deviceSerialNum, {r.serialNumber, r.isUse});
                    ++batchCounts.updated;
                }
            } else if (t.deviceSerialNum != r.deviceSerialNum) {
                conflict(
                    QStringLiteral("it is %1 for another device in the target").arg(StationFile::stateName(t.isUse)));
            } else if (r.isUse == SerialUsed && t.isUse == SerialPending) {
                // Claimed for this device in the target; the station saw the write confirmed.
                if (!flushInserts() || !pool_->confirmPending(r))
                    return false;
                t.isUse = SerialUsed;
                holdings.insert(r.deviceSerialNum, {r.serialNumber, SerialUsed});
                ++batchCounts.updated;
            } else {
                ++batchCounts.present;
            }
        }
        return flushInserts() && pool_->commit();
    };

    QVector<Row> rows;
    rows.reserve(options_.batchSize);
    pool_->refreshStatistics();
    const qint64 kRowsBetweenStatistics = 100000;
    qint64 writtenSinceStatistics = 0;
    StationFile::Serial next;
    bool more = file_->nextSerial(&next);
    while (more) {
        if (listener_->cancelRequested())
            return fail(Stop::Cancelled,
                        QStringLiteral("stopped on request after identifier %1 of the station file "
                                       "(those before it are merged); run the same command again "
                                       "to finish.")
                            .arg(merged));
        rows.clear();
        while (more && rows.size() < options_.batchSize) {
            Row r;
            r.file = next;
            r.pool = {0, next.serialNumber, next.isUse, next.deviceType, next.deviceSerialNum, next.deviceIp};
            const auto c = customers_.constFind(next.customerId);
            if (c != customers_.constEnd()) {
                r.customerKnown = true;
                r.customerName = c->name;
                r.pool.customerId = c->targetId;
            }
            rows.append(r);
            more = file_->nextSerial(&next);
        }
        if (file_->readFailed())
            return fail(Stop::StationFile, file_->error());
        if (!mergeBatch(rows)) {
            const QString why = pool_->error();
            pool_->rollback();
            return fail(Stop::Write,
                        QStringLiteral("cannot write identifiers %1 to %2 of the station file into the target: %3. "
                                       "Nothing of them was stored (the %4 before them are merged); "
                                       "run the same command again to finish.")
                            .arg(merged + 1)
                            .arg(merged + rows.size())
                            .arg(why)
                            .arg(merged));
        }
        merged += rows.size();
        counts_.copied += batchCounts.copied;
        counts_.present += batchCounts.present;
        counts_.updated += batchCounts.updated;
        counts_.conflicts += batchCounts.conflicts;
        counts_.refused += batchCounts.refused;
        counts_.retired += batchCounts.retired;
        conflicts_ += batchConflicts;
        listener_->progress(merged, 0);
        writtenSinceStatistics += batchCounts.copied;
        if (writtenSinceStatistics >= kRowsBetweenStatistics) {
            pool_->refreshStatistics();
            writtenSinceStatistics = 0;
        }
    }
    if (file_->readFailed())
        return fail(Stop::StationFile, file_->error());
    if (writtenSinceStatistics > 0)
        pool_->refreshStatistics();
    return true;
}

bool MergeJob::mergeLogs()
{
    const QString fallback = fallbackStation();
    // The stations the file's rows will carry; only the target's rows of those can match.
    QStringList named;
    if (!file_->readLogStations(&named))
        return fail(Stop::StationFile, file_->error());
    QSet<QString> seen;
    for (const QString &s : qAsConst(named))
        seen.insert(s.isEmpty() ? fallback : s);
    const QStringList stations = seen.values();
    if (stations.isEmpty())
        return true;

    // How often each row is in the target, then in the file: a row the file holds n times
    // is copied until the target holds it n times, so a second run copies nothing and two
    // identical events of one second both arrive.
    struct Seen {
        qint64 target = 0;
        qint64 file = 0;
    };
    std::unordered_map<LogKey, Seen, LogKeyHash> keys;
    if (!pool_->readLogs(stations,
                         [&keys](const QString &type, const QString &describe, const QString &date,
                                 const QString &station) { ++keys[logKey(type, describe, date, station)].target; }))
        return fail(Stop::Target, QStringLiteral("cannot read the target's log: %1").arg(pool_->error()));

    if (!file_->startLogs())
        return fail(Stop::StationFile, file_->error());
    QVector<StationMerge::LogRow> pending;
    auto writePending = [&]() {
        if (pending.isEmpty())
            return true;
        if (!pool_->begin() || !pool_->addLogs(pending) || !pool_->commit()) {
            const QString why = pool_->error();
            pool_->rollback();
            return fail(Stop::Write,
                        QStringLiteral("cannot write log rows into the target: %1. None of the last %2 "
                                       "was stored (%3 log rows are merged); run the same command "
                                       "again to finish.")
                            .arg(why)
                            .arg(pending.size())
                            .arg(counts_.logsCopied));
        }
        counts_.logsCopied += pending.size();
        pending.clear();
        return true;
    };
    StationFile::LogRow r;
    while (file_->nextLog(&r)) {
        if (r.station.isEmpty())
            r.station = fallback;
        Seen &s = keys[logKey(r.type, r.describe, r.date, r.station)];
        if (++s.file <= s.target) {
            ++counts_.logsPresent;
            continue;
        }
        pending.append({r.type, r.describe, r.date, r.station, r.user});
        if (pending.size() >= options_.batchSize) {
            if (listener_->cancelRequested())
                return fail(Stop::Cancelled,
                            QStringLiteral("stopped on request (%1 log rows are merged); run the "
                                           "same command again to finish.")
                                .arg(counts_.logsCopied));
            if (!writePending())
                return false;
        }
    }
    if (file_->readFailed())
        return fail(Stop::StationFile, file_->error());
    return writePending();
}

bool MergeJob::writeReport()
{
    QSaveFile file(options_.reportPath);
    if (!file.open(QIODevice::WriteOnly))
        return fail(MergeListener::Stop::Report,
                    QStringLiteral("cannot write the report %1: %2").arg(options_.reportPath, file.errorString()));
    // RFC 4180 with a byte order mark (spreadsheet programs then read it as UTF-8), CRLF,
    // through the export's writer: no field a spreadsheet would run.
    QByteArray out = "\xEF\xBB\xBF";
    auto row = [&out](const QStringList &cells) {
        for (int i = 0; i < cells.size(); ++i) {
            if (i > 0)
                out += ',';
            const QByteArray field = cells.at(i).toUtf8();
            csvfield::append(out, field.constData(), std::size_t(field.size()));
        }
        out += "\r\n";
    };
    row({QStringLiteral("Identifier"), QStringLiteral("Customer"), QStringLiteral("File device"),
         QStringLiteral("File state"), QStringLiteral("Target device"), QStringLiteral("Target state"),
         QStringLiteral("Reason")});
    for (const MergeConflict &c : conflicts_)
        row({c.serialNumber, c.customer, c.fileDevice, c.fileState, c.targetDevice, c.targetState, c.reason});
    if (file.write(out) != out.size() || !file.commit())
        return fail(MergeListener::Stop::Report,
                    QStringLiteral("cannot write the report %1: %2").arg(options_.reportPath, file.errorString()));
    return true;
}

} // namespace jobs
