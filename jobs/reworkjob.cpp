#include "jobs/reworkjob.h"
#include "jobs/labelqueue.h"

#include "store/fixedfield.h"

#include <QEventLoop>
#include <QFutureWatcher>
#include <QtConcurrent>

namespace jobs {

namespace {

QString logType()
{
    // Falls back to the source text when the translation does not fit its field.
    const QString type = ReworkJob::tr("Rework");
    return fixedfield::fitsWithNul(type.toUtf8(), sizeof(LogRecord::logType)) ? type : QStringLiteral("Rework");
}

ReworkOutcome::Result resultOf(ReworkResult r)
{
    switch (r) {
    case ReworkResult::Done:
        return ReworkOutcome::Done;
    case ReworkResult::Unchanged:
        return ReworkOutcome::Unchanged;
    case ReworkResult::Refused:
        return ReworkOutcome::Refused;
    case ReworkResult::NotHeld:
        return ReworkOutcome::NothingHeld;
    case ReworkResult::NotReadBack:
        return ReworkOutcome::NoAnswer;
    case ReworkResult::StillReported:
        return ReworkOutcome::StillReported;
    case ReworkResult::NoneOffered:
        return ReworkOutcome::NoneOffered;
    case ReworkResult::Failed:
        break;
    }
    return ReworkOutcome::StoreFailed;
}

} // namespace

devicecalls::ReadBack ReworkJob::readBack(const ReworkDevice &device)
{
    // The SDK blocks until the device answers or its wait ends; the caller's events go on.
    QFutureWatcher<devicecalls::ReadBack> watcher;
    QEventLoop loop;
    QObject::connect(&watcher, &QFutureWatcher<devicecalls::ReadBack>::finished, &loop, &QEventLoop::quit);
    watcher.setFuture(
        QtConcurrent::run([device] { return devicecalls::readBack(device.serial, device.user, device.password); }));
    if (!watcher.isFinished())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    return watcher.result();
}

ReworkOutcome ReworkJob::run(ReworkAction action, const ReworkDevice &device, const QString &reason,
                             BurnListener *listener)
{
    ReworkOutcome out;
    if (!signedInMay(Role::Supervisor)) {
        out.result = ReworkOutcome::Refused;
        return out;
    }
    if (action != ReworkAction::Keep && reason.trimmed().isEmpty()) {
        out.result = ReworkOutcome::NoReason;
        return out;
    }
    const DeviceHolding held = holdingOfDevice(device.serial);
    if (lastStoreCallFailed()) {
        out.why = storeError();
        return out;
    }
    out.recorded = held.serialNumber;
    if (held.isUse == SerialUnused) {
        out.result = ReworkOutcome::NothingHeld;
        return out;
    }
    if (action == ReworkAction::Release && held.isUse != SerialPending) {
        out.result = ReworkOutcome::NotPending;
        return out;
    }

    const devicecalls::ReadBack read = readBack(device);
    out.reported = read.uuid;
    // A replacement may go ahead unread where the SDK cannot read; the others rest on the read.
    if (read.result == devicecalls::ReadBack::NoAnswer
        || (read.result == devicecalls::ReadBack::Unsupported && action != ReworkAction::Replace)) {
        out.result = read.result == devicecalls::ReadBack::NoAnswer ? ReworkOutcome::NoAnswer
                                                                    : ReworkOutcome::CannotRead;
        return out;
    }

    ReworkResult stored = ReworkResult::Failed;
    switch (action) {
    case ReworkAction::Keep:
        if (read.uuid != held.serialNumber) {
            out.result = ReworkOutcome::NotReported;
            return out;
        }
        stored = keepSerial(read.uuid, device.serial, device.type, device.ip,
                            makeLogRecord(logType(), tr("Keep uuid [%1] [%2]").arg(device.serial, read.uuid)));
        break;
    case ReworkAction::Replace:
        stored = replaceSerial(
            held.serialNumber, device.serial, reason, held.customerId, device.type, device.ip,
            [&](const QString &next) {
            return makeLogRecord(
                logType(),
                tr("Replace uuid [%1] [%2] with [%3]: %4").arg(device.serial, held.serialNumber, next, reason));
            },
            &out.replacement);
        break;
    case ReworkAction::Release:
        stored = releaseSerial(
            held.serialNumber, device.serial, reason, read.uuid,
            makeLogRecord(logType(), tr("Release uuid [%1] [%2]: %3").arg(device.serial, held.serialNumber, reason)));
        break;
    }
    out.result = resultOf(stored);
    // Keep made the identifier used (and its label due) in its commit.
    if (action == ReworkAction::Keep && stored == ReworkResult::Done)
        LabelQueue::wakeRunning();
    if (out.result == ReworkOutcome::StoreFailed)
        out.why = storeError();
    if (action != ReworkAction::Replace || stored != ReworkResult::Done)
        return out;

    // Recorded pending for the device: now written like any pending row (a failed write
    // leaves it pending for the next Burn).
    BurnRow row;
    row.key = 0;
    row.type = device.type;
    row.serial = device.serial;
    row.ip = device.ip;
    row.user = device.user;
    row.password = device.password;
    row.uuid = out.replacement;
    row.customerId = held.customerId;
    row.pending = true;
    BurnJob burn;
    out.burn = burn.run({row}, {}, listener);
    if (out.burn.burnt != 1)
        out.result = ReworkOutcome::NotBurnt;
    return out;
}

} // namespace jobs
