#include "jobs/burnjob.h"
#include "jobs/labelqueue.h"

#include "jobs/devicecalls.h"
#include "jobs/stockwatch.h"

#include "platform/netsdk/z7netsdk.h"
#include "store/fixedfield.h"

#include <arpa/inet.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFutureWatcher>
#include <QMap>
#include <QRegularExpression>
#include <QThreadPool>
#include <QtConcurrent>

namespace jobs {

void BurnListener::claimed(const BurnRow &) { }
void BurnListener::written(const BurnRow &) { }
void BurnListener::writeFailed(const BurnRow &, int) { }
void BurnListener::notConfirmed(const BurnRow &, const QString &) { }
void BurnListener::recorded(const BurnRow &) { }
void BurnListener::skipped(const BurnRow &, const BurnSkip &) { }
void BurnListener::stopped(const BurnStop &) { }

namespace {

using devicecalls::kUmeyeCustomerId;

// Both request forms share the widths of the fields they have in common.
static_assert(sizeof(UmeyeUuidRequest::serialNumber) == sizeof(LenovoUuidRequest::serialNumber), "widths");
static_assert(sizeof(UmeyeUuidRequest::userName) == sizeof(LenovoUuidRequest::userName), "widths");
static_assert(sizeof(UmeyeUuidRequest::password) == sizeof(LenovoUuidRequest::password), "widths");
static_assert(sizeof(UmeyeUuidRequest::uuidKind) == sizeof(LenovoUuidRequest::uuidKind), "widths");
static_assert(sizeof(UmeyeUuidRequest::uuid) == sizeof(LenovoUuidRequest::uuid), "widths");

// A device's address as it reports it must be an IPv4 or IPv6 address before it is stored
// as the address of the device that holds an identifier.
bool isAddress(const QString &ip)
{
    const QByteArray bytes = ip.toLatin1();
    if (ip.isEmpty() || ip.size() != bytes.size())
        return false;
    unsigned char buffer[16];
    return inet_pton(AF_INET, bytes.constData(), buffer) == 1 || inet_pton(AF_INET6, bytes.constData(), buffer) == 1;
}

// A value quoted in a log text, kept within maxBytes of UTF-8; a longer one is shortened
// on a character boundary and visibly marked, so the entry still fits its record.
QString quoted(const QString &value, int maxBytes)
{
    const QByteArray utf8 = value.toUtf8();
    if (utf8.size() <= maxBytes)
        return value;
    return QString::fromUtf8(utf8.left(fixedfield::cutLength(utf8, std::size_t(maxBytes)))) + QStringLiteral("...");
}

// Runs `call` on `pool` (the global pool when null) and waits for its answer while the
// caller's thread keeps handling events; no user input is taken meanwhile.
template <typename F>
auto waitOffThread(QThreadPool *pool, F call) -> decltype(call())
{
    using T = decltype(call());
    QFutureWatcher<T> watcher;
    QEventLoop loop;
    QObject::connect(&watcher, &QFutureWatcher<T>::finished, &loop, &QEventLoop::quit);
    watcher.setFuture(pool ? QtConcurrent::run(pool, call) : QtConcurrent::run(call));
    if (!watcher.isFinished())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    return watcher.result();
}

// A success's "used" mark: recorded now, already recorded by another station finishing the
// same pending device, or not recorded (the pass stops and says what the pool holds).
enum class Mark {
    Recorded,
    AlreadyUsed,
    Failed
};

// What the store thread answers for a step of a pass; a stop cause other than None ends it.
struct StoreAnswer {
    BurnStop stop;
    bool failed() const { return stop.cause != BurnStop::None; }
};

// One row as the claim batch left it: skipped (with why), or claimed for its device (with
// the identifier that went in, which on a server may be another one than shown).
struct RowClaim {
    BurnRow row;
    bool skipped = false;
    BurnSkip why;
};
struct ClaimsAnswer : StoreAnswer {
    bool committed = false; // every claim of the pass is in; nothing is written otherwise
    QList<RowClaim> rows;   // in the pass's order, as far as the batch got
    QMap<int, std::shared_ptr<CustomerRecord>> customers;
};

// What became of one device's write, waiting to be recorded.
struct Outcome {
    enum Kind {
        Confirmed,    // read back as written: used
        Unverified,   // written by an SDK that cannot read back: used
        NotConfirmed, // written, read back otherwise: stays pending
        WriteFailed   // not taken: stays pending
    };
    Kind kind = WriteFailed;
    BurnRow row;
    int answer = 0;
    bool answered = false; // the read-back got an answer (`reported` is what the device holds)
    QString reported;
    bool used() const { return kind == Confirmed || kind == Unverified; }
};
struct RecordAnswer : StoreAnswer {
    QList<BurnRow> burnt; // recorded used, in order
};

// Records a pass's outcomes in one commit every this many devices, and at the latest this
// long after the last one: a commit costs about one disk flush, against ~5 ms per healthy
// device and up to ~2 s per unplugged one, and a crash before it only leaves those
// devices pending (the next Burn writes and reads them again).
const int kRecordEveryDevices = 50;
const int kRecordEveryMs = 2000;

BurnStop stopFor(BurnStop::Cause cause, const BurnRow &row = BurnRow(), const QString &why = QString())
{
    BurnStop s;
    s.cause = cause;
    s.row = row;
    s.why = why;
    return s;
}

} // namespace

QString BurnJob::skipText(const BurnSkip &why)
{
    switch (why.reason) {
    case BurnSkip::NoCustomer:
        return tr("no customer %1").arg(why.number);
    case BurnSkip::UuidTooLong:
        return tr("uuid too long");
    case BurnSkip::SerialTooLong:
        return tr("device serial number too long");
    case BurnSkip::UserTooLong:
        return tr("user name too long");
    case BurnSkip::PasswordTooLong:
        return tr("password too long");
    case BurnSkip::HostTooLong:
        return tr("host address too long");
    case BurnSkip::KindTooLong:
        return tr("uuid kind too long");
    case BurnSkip::PortOutOfRange:
        return tr("port %1 out of range").arg(why.number);
    case BurnSkip::LogTextTooLong:
        return tr("log text too long");
    case BurnSkip::NotAnAddress:
        return tr("device IP is not an address");
    case BurnSkip::AlreadyTried:
        return tr("device already burnt or tried in this pass");
    case BurnSkip::NotInPool:
        return tr("uuid not found in the pool");
    case BurnSkip::Taken:
        return tr("uuid taken by another program");
    case BurnSkip::DeviceHolds:
        return tr("device already holds a uuid");
    case BurnSkip::OffPattern:
        return tr("uuid does not match the customer's UUID pattern");
    case BurnSkip::OrderFull:
        return tr("work order %1 is complete").arg(why.number);
    case BurnSkip::NotOfOrder:
        return tr("device not of work order %1's customer and type").arg(why.number);
    }
    return QString();
}

// The state of one running pass and its steps. The `*InStore` steps run on the job's store
// thread; they touch nothing but the store and their arguments.
struct BurnJob::Pass {
    BurnJob &job;
    BurnListener *listener;
    BurnSummary summary;

    static QString logType()
    {
        // The record's type field is 32 bytes; a translation that does not fit falls back to
        // the source text rather than being cut.
        const QString type = BurnJob::tr("User operation");
        return fixedfield::fitsWithNul(type.toUtf8(), sizeof(LogRecord::logType)) ? type
                                                                                  : QStringLiteral("User operation");
    }

    // A log text about one device and identifier: `translated` (%1 and %2 for them, %3 for
    // `detail`), or its `source` when the translation does not fit. The values may be what
    // made the row unwritable, so they may be long: each is quoted within 48 bytes (marked
    // when shortened), which keeps the entry inside its record.
    static QString outcomeText(const QString &translated, const char *source, const BurnRow &r, const QString &detail)
    {
        const QString serialText = quoted(r.serial, 48);
        const QString uuidText = quoted(r.uuid, 48);
        // (A text without %3 takes two values: a third one would make arg() complain.)
        const bool hasDetail = QByteArray(source).contains("%3");
        const QString describe = hasDetail ? translated.arg(serialText, uuidText, detail)
                                           : translated.arg(serialText, uuidText);
        if (fixedfield::fitsWithNul(describe.toUtf8(), sizeof(LogRecord::logDescribe)))
            return describe;
        const QString fallback = QString::fromLatin1(source);
        return hasDetail ? fallback.arg(serialText, uuidText, quoted(detail, 100)) : fallback.arg(serialText, uuidText);
    }

    static bool logOutcome(const char *source, const BurnRow &r, const QString &detail = QString())
    {
        return addLog(
            makeLogRecord(logType(),
                          outcomeText(QCoreApplication::translate("jobs::BurnJob", source), source, r, detail)));
    }

    // The skip's log row and its event, in the caller's batch: a report counts skips by the
    // event's code, whatever the language of the log text.
    static bool logSkipped(const BurnRow &r, const BurnSkip &why)
    {
        return logOutcome(QT_TRANSLATE_NOOP("jobs::BurnJob", "Burning uuid [%1] [%2] skipped: %3"), r, skipText(why))
            && event(SerialEventKind::Skipped, r, burnSkipCode(int(why.reason)));
    }

    static bool event(SerialEventKind kind, const BurnRow &r, const QString &detail = QString())
    {
        SerialEvent e;
        e.kind = kind;
        e.serialNumber = r.uuid;
        e.deviceSerialNum = r.serial;
        e.detail = detail;
        return recordSerialEvent(e);
    }

    // Why a row must not be written in this pass; false when it may be.
    static bool skipReason(const BurnRow &r, const CustomerRecord *customer, const QSet<QString> &written,
                           BurnSkip *why)
    {
        // Every text must fit its request field with its NUL; nothing is ever cut.
        const UmeyeUuidRequest umeye{};
        const bool umeyeForm = r.customerId == kUmeyeCustomerId;
        const QString kind = customer ? fixedfield::get(customer->customerValue) : QString();
        const QString host = customer ? fixedfield::get(customer->hostAddr) : QString();
        const QString describe = BurnJob::tr("Burning uuid [%1] [%2]").arg(r.serial, r.uuid);
        why->number = 0;
        if (!customer) {
            why->number = r.customerId;
            why->reason = BurnSkip::NoCustomer;
        } else if (!fixedfield::fits(umeye.uuid, r.uuid)) {
            why->reason = BurnSkip::UuidTooLong;
        } else if (!fixedfield::fits(umeye.serialNumber, r.serial)) {
            why->reason = BurnSkip::SerialTooLong;
        } else if (!fixedfield::fits(umeye.userName, r.user)) {
            why->reason = BurnSkip::UserTooLong;
        } else if (!fixedfield::fits(umeye.password, r.password)) {
            why->reason = BurnSkip::PasswordTooLong;
        } else if (umeyeForm && !fixedfield::fits(umeye.hostAddr, host)) {
            why->reason = BurnSkip::HostTooLong;
        } else if (!fixedfield::fits(umeye.uuidKind, kind)) {
            why->reason = BurnSkip::KindTooLong;
        } else if (umeyeForm && (customer->port < 0 || customer->port > 0xFFFF)) {
            why->number = customer->port;
            why->reason = BurnSkip::PortOutOfRange;
        } else if (!fixedfield::fitsWithNul(describe.toUtf8(), sizeof(LogRecord::logDescribe))) {
            why->reason = BurnSkip::LogTextTooLong;
        } else if (!isAddress(r.ip)) {
            why->reason = BurnSkip::NotAnAddress;
        } else if (written.contains(r.serial)) {
            why->reason = BurnSkip::AlreadyTried;
        } else {
            return false;
        }
        return true;
    }

    // Writes the row's identifier and, when the device took it, asks the device what it holds
    // now. Both calls run off the caller's thread, so a window keeps painting while an
    // unplugged device costs its timeouts.
    static Outcome writeAndRead(const BurnRow &r, const CustomerRecord &customer)
    {
        return waitOffThread(nullptr, [&r, &customer] {
            Outcome o;
            o.row = r;
            o.answer = devicecalls::write(r, customer);
            if (o.answer == 0)
                return o;
            const devicecalls::ReadBack back = devicecalls::readBack(r.serial, r.user, r.password);
            o.answered = back.result == devicecalls::ReadBack::Reported;
            o.reported = back.uuid;
            if (back.result == devicecalls::ReadBack::Unsupported)
                o.kind = Outcome::Unverified;
            else if (o.answered && back.uuid == r.uuid)
                o.kind = Outcome::Confirmed;
            else
                o.kind = Outcome::NotConfirmed;
            return o;
        });
    }

    // Pending -> used for a device that took its identifier, inside the open batch. When
    // nothing changed, the pool is asked what it holds for the device: another station
    // finishing the same pending device may have recorded it first, and then it is burnt.
    static Mark markInStore(const BurnRow &r, BurnStop *stop)
    {
        if (markSerialUsed(r.uuid, r.serial, r.type, r.ip))
            return Mark::Recorded;
        stop->why = storeError();
        const DeviceHolding held = holdingOfDevice(r.serial);
        if (lastStoreCallFailed()) {
            stop->cause = BurnStop::RecordFailed;
            stop->row = r;
            return Mark::Failed;
        }
        if (held.serialNumber == r.uuid && held.isUse == SerialUsed)
            return Mark::AlreadyUsed;
        stop->cause = held.serialNumber == r.uuid && held.isUse == SerialPending ? BurnStop::RecordFailed
                                                                                 : BurnStop::NotPending;
        stop->row = r;
        return Mark::Failed;
    }

    // Checks every row and claims each writable one for its device (unused -> pending, with
    // its "Burning uuid" log row and event), all in one commit made before anything is
    // written: a claim that did not commit is never written. A row another program got to
    // first is skipped inside the batch, which goes on.
    ClaimsAnswer claimAllInStore(const QList<BurnRow> &rows, QSet<QString> written)
    {
        ClaimsAnswer a;
        const auto fail = [&](BurnStop::Cause cause, const BurnRow &r) {
            a.stop = stopFor(cause, r, storeError());
            rollbackBatch(); // also ends a batch whose connection was lost
            return a;
        };
        if (!job.openStore() || !beginBatch())
            return fail(BurnStop::ClaimFailed, rows.first());
        // Each customer's identifier pattern, checked again before anything is written (the
        // pattern may have come after the import).
        QHash<int, QRegularExpression> patterns;
        for (BurnRow r : rows) {
            if (!a.customers.contains(r.customerId)) {
                std::shared_ptr<CustomerRecord> customer(customerById(r.customerId));
                if (lastStoreCallFailed())
                    return fail(BurnStop::ReadFailed, BurnRow());
                a.customers.insert(r.customerId, customer);
                CustomerRules rules;
                if (customer && !customerRules(r.customerId, &rules))
                    return fail(BurnStop::ReadFailed, BurnRow());
                if (!rules.serialPattern.isEmpty())
                    patterns.insert(r.customerId,
                                    QRegularExpression(QRegularExpression::anchoredPattern(rules.serialPattern)));
            }
            const auto offPattern = [&patterns](const BurnRow &row, const QString &uuid) {
                const auto p = patterns.constFind(row.customerId);
                return p != patterns.constEnd() && !p->match(uuid).hasMatch();
            };
            RowClaim c;
            c.skipped = skipReason(r, a.customers.value(r.customerId).get(), written, &c.why);
            ClaimResult claimed = ClaimResult::Claimed;
            QString instead;
            if (c.skipped) {
                // decided above
            } else if (r.pending) {
                // Claimed by an earlier pass: it must still be pending for this very device (the
                // operator may have deleted it from the pool since).
                const DeviceHolding held = holdingOfDevice(r.serial);
                if (lastStoreCallFailed())
                    return fail(BurnStop::ClaimFailed, r);
                if (held.isUse != SerialPending || held.serialNumber != r.uuid)
                    claimed = ClaimResult::Taken;
            } else {
                // Deleted since Match, or longer than a record could carry it.
                const bool exists = serialExists(r.uuid);
                if (lastStoreCallFailed())
                    return fail(BurnStop::ReadFailed, BurnRow());
                if (!exists) {
                    c.skipped = true;
                    c.why.reason = BurnSkip::NotInPool;
                } else if (offPattern(r, r.uuid)) {
                    c.skipped = true;
                    c.why.reason = BurnSkip::OffPattern;
                } else if (const OrderRoom room = job.workOrder > 0 ? takeOrderRoom(job.workOrder, r.customerId, r.type)
                                                                    : OrderRoom::Room;
                           room != OrderRoom::Room) {
                    if (room == OrderRoom::Failed)
                        return fail(BurnStop::ClaimFailed, r);
                    c.skipped = true;
                    c.why.reason = room == OrderRoom::Full ? BurnSkip::OrderFull : BurnSkip::NotOfOrder;
                    c.why.number = int(job.workOrder);
                } else {
                    claimed = claimSerial(r.uuid, r.customerId, r.serial, r.type, r.ip);
                    // Stations sharing a pool on a server take the customer's next free identifier
                    // when another station took the one shown; the row then says what goes in.
                    // With a pattern the row waits for the next Match instead: the next free
                    // identifier is claimed before it can be checked.
                    if (claimed == ClaimResult::Taken && storeIsServer() && !patterns.contains(r.customerId))
                        claimed = claimNextSerial(r.customerId, r.serial, r.type, r.ip, &instead);
                }
            }
            if (claimed == ClaimResult::Failed)
                return fail(BurnStop::ClaimFailed, r);
            if (!c.skipped && claimed != ClaimResult::Claimed) {
                // Another program got there first: the device is left for the next Match.
                c.skipped = true;
                c.why.reason = claimed == ClaimResult::Taken ? BurnSkip::Taken : BurnSkip::DeviceHolds;
            }
            if (c.skipped) {
                c.row = r;
                a.rows << c;
                if (!logSkipped(r, c.why))
                    return fail(BurnStop::LogFailed, r);
                continue;
            }
            const bool fresh = !r.pending;
            if (!instead.isEmpty())
                r.uuid = instead;
            r.pending = true;
            c.row = r;
            a.rows << c;
            if (!addLog(makeLogRecord(logType(), BurnJob::tr("Burning uuid [%1] [%2]").arg(r.serial, r.uuid)))
                || (fresh && !event(SerialEventKind::Claimed, r))
                || (fresh && job.workOrder > 0 && !countClaimForOrder(job.workOrder, r.uuid, r.serial)))
                return fail(BurnStop::ClaimFailed, r);
            written.insert(r.serial);
        }
        if (!commitBatch()) {
            // The first claim of the pass names what was not written; a pass of skips alone
            // lost only its log rows.
            for (const RowClaim &c : qAsConst(a.rows))
                if (!c.skipped)
                    return fail(BurnStop::ClaimFailed, c.row);
            return fail(BurnStop::LogFailed, rows.first());
        }
        a.committed = true;
        return a;
    }

    // Records what became of the written devices in one commit: each write and failed write
    // with its log row and event, used for each device that read back its identifier (or
    // cannot be read), and the not-confirmed ones still pending with what their device reports.
    RecordAnswer recordInStore(const QList<Outcome> &outcomes)
    {
        RecordAnswer a;
        BurnStop notPending;
        const auto fail = [&](const BurnStop &stop) {
            a.stop = stop;
            if (a.stop.why.isEmpty())
                a.stop.why = storeError();
            rollbackBatch();
            a.burnt.clear();
            // A device that took its identifier is the one to name: it holds it, still pending.
            for (const Outcome &o : outcomes)
                if (o.used()) {
                    a.stop.cause = BurnStop::RecordFailed;
                    a.stop.row = o.row;
                    break;
                }
            return a;
        };
        if (!job.openStore() || !beginBatch())
            return fail(stopFor(BurnStop::LogFailed, outcomes.first().row));
        for (const Outcome &o : outcomes) {
            const BurnRow &r = o.row;
            bool logged = true;
            if (o.kind == Outcome::WriteFailed) {
                // The SDK's answer is all it says about a write that did not take: not written, or no answer.
                logged = logOutcome(QT_TRANSLATE_NOOP("jobs::BurnJob",
                                                      "Burning uuid [%1] [%2] write failed: the SDK answered %3"),
                                    r, QString::number(o.answer))
                    && event(SerialEventKind::WriteFailed, r, QString::number(o.answer));
                if (!logged)
                    return fail(stopFor(BurnStop::LogFailed, r));
                continue;
            }
            logged = logOutcome(QT_TRANSLATE_NOOP("jobs::BurnJob", "Burning uuid [%1] [%2] written"), r)
                && event(SerialEventKind::Written, r);
            if (logged && o.kind == Outcome::NotConfirmed) {
                logged = (o.answered ? logOutcome(QT_TRANSLATE_NOOP("jobs::BurnJob",
                                                                    "Burning uuid [%1] [%2] written, not confirmed: "
                                                                    "the device reports [%3]"),
                                                  r, quoted(o.reported, 48))
                                     : logOutcome(QT_TRANSLATE_NOOP("jobs::BurnJob",
                                                                    "Burning uuid [%1] [%2] written, not confirmed: "
                                                                    "the device did not answer the read"),
                                                  r))
                    && event(SerialEventKind::NotConfirmed, r, o.reported);
            }
            if (!logged)
                return fail(stopFor(BurnStop::LogFailed, r));
            if (!o.used())
                continue;
            BurnStop stop;
            const Mark mark = markInStore(r, &stop);
            if (mark == Mark::Failed && stop.cause == BurnStop::NotPending) {
                // Deleted or taken meanwhile: the others are still recorded, and the pass stops.
                if (notPending.cause == BurnStop::None)
                    notPending = stop;
                continue;
            }
            if (mark == Mark::Failed)
                return fail(stop);
            const bool confirmed = o.kind == Outcome::Confirmed;
            if ((confirmed && !logOutcome(QT_TRANSLATE_NOOP("jobs::BurnJob", "Burning uuid [%1] [%2] confirmed"), r))
                || !event(confirmed ? SerialEventKind::Confirmed : SerialEventKind::Recorded, r))
                return fail(stopFor(BurnStop::RecordFailed, r));
            a.burnt << r;
        }
        if (!commitBatch())
            return fail(stopFor(BurnStop::LogFailed, outcomes.first().row));
        a.stop = notPending;
        return a;
    }

    template <typename F>
    auto onStore(F call) -> decltype(call())
    {
        return waitOffThread(job.storeThread, call);
    }

    // Records the outcomes waiting and empties the list; the devices recorded used are burnt.
    void record(QList<Outcome> *waiting)
    {
        if (waiting->isEmpty())
            return;
        const QList<Outcome> outcomes = *waiting;
        waiting->clear();
        const RecordAnswer recorded = onStore([this, &outcomes] { return recordInStore(outcomes); });
        // Their labels were made due in that commit; the queue prints them on its own thread.
        if (!recorded.burnt.isEmpty())
            LabelQueue::wakeRunning();
        for (const BurnRow &r : recorded.burnt) {
            ++summary.burnt;
            if (listener)
                listener->recorded(r);
        }
        stopPass(recorded.stop);
    }

    void skip(const BurnRow &r, const BurnSkip &why)
    {
        bool found = false;
        for (QPair<BurnSkip, int> &seen : summary.skipped)
            if (seen.first == why) {
                ++seen.second;
                found = true;
            }
        if (!found)
            summary.skipped.append({why, 1});
        if (listener)
            listener->skipped(r, why);
    }

    // Keeps the first failure of the pass.
    void stopPass(const BurnStop &stop)
    {
        if (stop.cause == BurnStop::None || summary.stop.cause != BurnStop::None)
            return;
        summary.stop = stop;
    }

    bool running() const { return summary.stop.cause == BurnStop::None; }
};

BurnJob::BurnJob()
    : storeThread(new QThreadPool)
{
    storeThread->setMaxThreadCount(1);
    storeThread->setExpiryTimeout(-1);
}

BurnJob::~BurnJob()
{
    // No event loop here: a caller being destroyed must not get its queued events now.
    // (Not QFuture::waitForFinished: it may run a task not yet started on this thread, and
    // close this thread's connection instead of the store thread's.)
    if (storeOpened)
        storeThread->start([] { closeStoreForThisThread(); });
    storeThread->waitForDone();
    delete storeThread;
}

// On the store thread: its own connection, opened on first use. A failed open is tried again
// at the next step.
bool BurnJob::openStore()
{
    if (!storeOpened)
        storeOpened = openStoreForThisThread();
    return storeOpened;
}

BurnSummary BurnJob::run(const QList<BurnRow> &rows, QSet<QString> written, BurnListener *listener)
{
    Pass pass{*this, listener, BurnSummary()};
    if (rows.isEmpty())
        return pass.summary;
    // A server that may lose a commit in a crash could forget a claim whose identifier a
    // device already holds, and offer it again: nothing is burnt on it.
    const QString refusal = pass.onStore([this] {
        QString why;
        if (!openStore())
            why = storeError();
        else if (!storeIsDurable(&why) && why.isEmpty())
            why = storeError();
        return why;
    });
    if (!refusal.isEmpty()) {
        pass.summary.refused = true;
        pass.summary.refusal = refusal;
        return pass.summary;
    }
    pass.summary.verified = devicecalls::readBackSupported();
    if (listener) {
        if (listener->cancelRequested())
            return pass.summary;
        listener->progress(0, rows.size());
    }

    // Every claim of the pass, committed before the first write.
    const ClaimsAnswer claims = pass.onStore([&pass, &rows, &written] { return pass.claimAllInStore(rows, written); });
    for (const RowClaim &c : claims.rows) {
        if (c.skipped)
            pass.skip(c.row, c.why);
        else if (claims.committed && listener)
            listener->claimed(c.row);
    }
    pass.stopPass(claims.stop);
    // The claims lowered the customers' stock: the line hears once when it falls below the
    // warning. A note that cannot be written costs only that row; the pass goes on.
    if (claims.committed)
        pass.onStore([&claims] {
            for (auto it = claims.customers.cbegin(); it != claims.customers.cend(); ++it)
                if (it.value())
                    StockWatch::note(it.key());
            return true;
        });

    // Then each device is written and read back; what became of them is recorded in batches.
    QList<Outcome> waiting;
    QElapsedTimer sinceRecord;
    sinceRecord.start();
    for (int k = 0; k < claims.rows.size() && claims.committed && pass.running(); ++k) {
        const RowClaim &c = claims.rows.at(k);
        if (c.skipped)
            continue;
        if (listener) {
            // A claimed device left unwritten stays pending for it: the next Burn writes it.
            if (listener->cancelRequested())
                break;
            listener->progress(k, rows.size());
        }
        const Outcome o = Pass::writeAndRead(c.row, *claims.customers.value(c.row.customerId));
        if (o.kind == Outcome::WriteFailed) {
            // Pending for this device still: the next Burn sends the same identifier again.
            ++pass.summary.failed;
            if (listener)
                listener->writeFailed(o.row, o.answer);
        } else if (listener) {
            listener->written(o.row);
        }
        if (o.kind == Outcome::NotConfirmed) {
            // Pending still: the next Burn writes and reads it again.
            ++pass.summary.notConfirmed;
            if (listener)
                listener->notConfirmed(o.row, o.reported);
        }
        waiting << o;
        if (waiting.size() >= kRecordEveryDevices || sinceRecord.elapsed() >= kRecordEveryMs) {
            pass.record(&waiting);
            sinceRecord.restart();
        }
    }
    pass.record(&waiting);
    if (!pass.running()) {
        // The stop's own event, after the failure and in a transaction of its own: the store
        // that stopped the pass may still refuse it, and then there is none (the log and the
        // summary already say why).
        const BurnStop stop = pass.summary.stop;
        pass.onStore([this, &stop] {
            return openStore() && Pass::event(SerialEventKind::PassStopped, stop.row, burnStopCode(int(stop.cause)));
        });
        if (listener)
            listener->stopped(stop);
    }
    return pass.summary;
}

} // namespace jobs
