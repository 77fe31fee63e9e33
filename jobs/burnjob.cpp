#include "jobs/burnjob.h"

#include "jobs/devicecalls.h"

#include "platform/netsdk/z7netsdk.h"
#include "store/fixedfield.h"

#include <arpa/inet.h>

#include <QEventLoop>
#include <QFutureWatcher>
#include <QMap>
#include <QThreadPool>
#include <QtConcurrent>

#include <optional>

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
struct ClaimAnswer : StoreAnswer {
    ClaimResult claimed = ClaimResult::Failed;
    bool committed = false;     // the claim's batch (and the previous device's mark) is in
    bool previousBurnt = false; // the previous success is recorded used
    QString instead;            // claimed in place of the identifier shown (server)
    BurnSkip skipped;           // why the row was not claimed, when it was not
};
struct CustomerAnswer : StoreAnswer {
    std::shared_ptr<CustomerRecord> customer;
};
struct ExistsAnswer : StoreAnswer {
    bool exists = false;
};
struct RecordAnswer : StoreAnswer {
    bool burnt = false;
};

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
    }
    return QString();
}

// The state of one running pass and its steps. The `*InStore` steps run on the job's store
// thread; they touch nothing but the store and their arguments.
struct BurnJob::Pass {
    BurnJob &job;
    BurnListener *listener;
    BurnSummary summary;
    // A success whose "used" mark is committed with the next device's claim (one commit per
    // device); written out at the latest when the pass ends.
    std::optional<BurnRow> unrecorded;

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
        const QString describe = translated.arg(serialText, uuidText, detail);
        if (fixedfield::fitsWithNul(describe.toUtf8(), sizeof(LogRecord::logDescribe)))
            return describe;
        return QString::fromLatin1(source).arg(serialText, uuidText, quoted(detail, 100));
    }

    static bool logSkipped(const BurnRow &r, const BurnSkip &why)
    {
        const char *source = QT_TRANSLATE_NOOP("jobs::BurnJob", "Burning uuid [%1] [%2] skipped: %3");
        return addLog(makeLogRecord(logType(), outcomeText(BurnJob::tr(source), source, r, skipText(why))));
    }

    // The SDK's answer is all it says about a write that did not take: not written, or no answer.
    static bool logWriteFailed(const BurnRow &r, int answer)
    {
        const char *source = QT_TRANSLATE_NOOP("jobs::BurnJob",
                                               "Burning uuid [%1] [%2] write failed: the SDK answered %3");
        return addLog(makeLogRecord(logType(), outcomeText(BurnJob::tr(source), source, r, QString::number(answer))));
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

    // The SDK's answer: non-zero when the identifier was written. The call is made off the
    // caller's thread so a window keeps painting while an unplugged device costs its timeout.
    static int write(const BurnRow &r, const CustomerRecord &customer)
    {
        return waitOffThread(nullptr, [&r, &customer] { return devicecalls::write(r, customer); });
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

    // Records, in one commit, that the row's identifier goes to the row's device (unused ->
    // pending) together with the "Burning uuid" log row; the previous success's "used" mark
    // shares the commit. Nothing is written to a device unless this committed.
    ClaimAnswer claimInStore(const BurnRow &r, const std::optional<BurnRow> &previous)
    {
        ClaimAnswer a;
        // When the batch fails, the previous device's mark fails with it: that device holds
        // its identifier, pending, which is the more important thing to say.
        const auto fail = [&](BurnStop::Cause cause) {
            if (a.stop.why.isEmpty())
                a.stop.why = storeError();
            rollbackBatch(); // also ends a batch whose connection was lost
            if (!a.failed()) {
                const bool previousLost = previous && !a.previousBurnt;
                a.stop.cause = previousLost ? BurnStop::RecordFailed : cause;
                a.stop.row = previousLost ? *previous : r;
            }
            return a;
        };
        if (!job.openStore() || !beginBatch())
            return fail(BurnStop::ClaimFailed);
        if (previous) {
            const Mark mark = markInStore(*previous, &a.stop);
            if (mark == Mark::Failed)
                return fail(a.stop.cause);
            // Another station's commit made it used; it stays so whatever becomes of this batch.
            a.previousBurnt = mark == Mark::AlreadyUsed;
        }
        a.claimed = ClaimResult::Claimed;
        if (r.pending) {
            // Claimed by an earlier pass: it must still be pending for this very device (the
            // operator may have deleted it from the pool since).
            const DeviceHolding held = holdingOfDevice(r.serial);
            if (lastStoreCallFailed())
                a.claimed = ClaimResult::Failed;
            else if (held.isUse != SerialPending || held.serialNumber != r.uuid)
                a.claimed = ClaimResult::Taken;
        } else {
            a.claimed = claimSerial(r.uuid, r.customerId, r.serial, r.type, r.ip);
            // Stations sharing a pool on a server take the customer's next free identifier
            // when another station took the one shown; the row then says what goes in.
            if (a.claimed == ClaimResult::Taken && storeIsServer())
                a.claimed = claimNextSerial(r.customerId, r.serial, r.type, r.ip, &a.instead);
        }
        if (a.claimed == ClaimResult::Failed)
            return fail(BurnStop::ClaimFailed);
        if (a.claimed != ClaimResult::Claimed) {
            // Another program got there first: the previous mark still goes in, and the
            // device is left for the next Match.
            if (!commitBatch())
                return fail(BurnStop::ClaimFailed);
            a.committed = true;
            a.previousBurnt = previous.has_value();
            a.skipped.reason = a.claimed == ClaimResult::Taken ? BurnSkip::Taken : BurnSkip::DeviceHolds;
            if (!logSkipped(r, a.skipped))
                a.stop = stopFor(BurnStop::LogFailed, r, storeError());
            return a;
        }
        const QString uuid = a.instead.isEmpty() ? r.uuid : a.instead;
        if (!addLog(makeLogRecord(logType(), BurnJob::tr("Burning uuid [%1] [%2]").arg(r.serial, uuid)))
            || !commitBatch())
            return fail(BurnStop::ClaimFailed);
        a.committed = true;
        a.previousBurnt = previous.has_value();
        return a;
    }

    // The last success's mark, in a batch of its own.
    RecordAnswer recordInStore(const BurnRow &r)
    {
        RecordAnswer a;
        if (!job.openStore() || !beginBatch()) {
            a.stop = stopFor(BurnStop::RecordFailed, r, storeError());
            return a;
        }
        const Mark mark = markInStore(r, &a.stop);
        if (mark != Mark::Failed && commitBatch()) {
            a.burnt = true;
            return a;
        }
        if (a.stop.why.isEmpty())
            a.stop.why = storeError();
        rollbackBatch();
        a.burnt = mark == Mark::AlreadyUsed;
        if (a.burnt) {
            a.stop = BurnStop();
        } else if (!a.failed()) {
            a.stop.cause = BurnStop::RecordFailed;
            a.stop.row = r;
        }
        return a;
    }

    // A store step that only logs: a failed log stops the pass.
    template <typename F>
    StoreAnswer logInStore(const BurnRow &r, F log)
    {
        StoreAnswer a;
        if (!job.openStore() || !log())
            a.stop = stopFor(BurnStop::LogFailed, r, storeError());
        return a;
    }

    template <typename F>
    auto onStore(F call) -> decltype(call())
    {
        return waitOffThread(job.storeThread, call);
    }

    void showBurnt(const BurnRow &r)
    {
        ++summary.burnt;
        if (listener)
            listener->recorded(r);
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
        // A device took its identifier and the pass stops before its mark: that it stays
        // pending is the more important thing to say.
        if (unrecorded) {
            summary.stop.cause = BurnStop::RecordFailed;
            summary.stop.row = *unrecorded;
        }
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
    Pass pass{*this, listener, BurnSummary(), std::nullopt};
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

    QMap<int, std::shared_ptr<CustomerRecord>> customers;
    for (int k = 0; k < rows.size() && pass.running(); ++k) {
        if (listener) {
            if (listener->cancelRequested())
                break;
            listener->progress(k, rows.size());
        }
        BurnRow r = rows.at(k);
        if (!customers.contains(r.customerId)) {
            const CustomerAnswer fetched = pass.onStore([this, id = r.customerId] {
                CustomerAnswer a;
                if (openStore())
                    a.customer = std::shared_ptr<CustomerRecord>(customerById(id));
                if (!storeOpened || lastStoreCallFailed()) {
                    a.customer.reset();
                    a.stop = stopFor(BurnStop::ReadFailed, BurnRow(), storeError());
                }
                return a;
            });
            if (fetched.failed()) {
                pass.stopPass(fetched.stop);
                break;
            }
            customers.insert(r.customerId, fetched.customer);
        }
        const CustomerRecord *customer = customers.value(r.customerId).get();

        BurnSkip why;
        bool skipped = Pass::skipReason(r, customer, written, &why);
        // Deleted since Match, or longer than a record could carry it. (A pending one is
        // checked against its device when it is claimed again.)
        if (!skipped && !r.pending) {
            const ExistsAnswer found = pass.onStore([this, uuid = r.uuid] {
                ExistsAnswer a;
                a.exists = openStore() && serialExists(uuid);
                if (!storeOpened || lastStoreCallFailed())
                    a.stop = stopFor(BurnStop::ReadFailed, BurnRow(), storeError());
                return a;
            });
            if (found.failed()) {
                pass.stopPass(found.stop);
                break;
            }
            if (!found.exists) {
                skipped = true;
                why.reason = BurnSkip::NotInPool;
            }
        }
        if (skipped) {
            pass.skip(r, why);
            pass.stopPass(pass.onStore(
                                  [&pass, r, why] {
                return pass.logInStore(r, [&] { return Pass::logSkipped(r, why); });
            }).stop);
            continue;
        }

        const std::optional<BurnRow> previous = pass.unrecorded;
        pass.unrecorded.reset();
        const ClaimAnswer claimed = pass.onStore([&pass, r, previous] { return pass.claimInStore(r, previous); });
        if (claimed.previousBurnt)
            pass.showBurnt(*previous);
        pass.stopPass(claimed.stop);
        if (!claimed.committed)
            break;
        if (claimed.claimed != ClaimResult::Claimed) {
            pass.skip(r, claimed.skipped);
            continue;
        }
        if (!claimed.instead.isEmpty())
            r.uuid = claimed.instead;
        r.pending = true;
        if (listener)
            listener->claimed(r);

        written.insert(r.serial);
        const int answer = Pass::write(r, *customer);
        if (answer != 0) {
            pass.unrecorded = r; // marked used with the next claim, or below
            if (listener)
                listener->written(r);
            continue;
        }
        // Pending for this device still: the next Burn sends the same identifier again.
        ++pass.summary.failed;
        if (listener)
            listener->writeFailed(r, answer);
        pass.stopPass(pass.onStore(
                              [&pass, r, answer] {
            return pass.logInStore(r, [&] { return Pass::logWriteFailed(r, answer); });
        }).stop);
    }
    if (pass.running() && pass.unrecorded) {
        const BurnRow last = *pass.unrecorded;
        pass.unrecorded.reset();
        const RecordAnswer recorded = pass.onStore([&pass, last] { return pass.recordInStore(last); });
        if (recorded.burnt)
            pass.showBurnt(last);
        pass.stopPass(recorded.stop);
    }
    if (listener && !pass.running())
        listener->stopped(pass.summary.stop);
    return pass.summary;
}

} // namespace jobs
