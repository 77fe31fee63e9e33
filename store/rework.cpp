// Rework: keep, replace and release, each a guarded change with its log row and events in
// one transaction.
#include "store/datastore.h"
#include "store/storecore.h"

using namespace storecore;

namespace {

bool event(SerialEventKind kind, const QString &serialNumber, const QString &deviceSerialNum,
           const QString &detail = QString(), const QString &related = QString())
{
    return recordSerialEvent({kind, serialNumber, deviceSerialNum, detail, related});
}

// Runs `body` in the caller's batch, or in one of its own that commits only what `body`
// did in full. Anything but Done and Unchanged leaves a batch of the caller's to roll back.
template <typename Body>
ReworkResult inTransaction(const QString &deviceSerialNum, Body body)
{
    if (!signedInMay(Role::Supervisor))
        return ReworkResult::Refused;
    const bool own = !batchIsOpen();
    if (own && !beginBatch())
        return ReworkResult::Failed;
    ReworkResult result = lockDevice(deviceSerialNum) ? body() : ReworkResult::Failed;
    if (!own)
        return result;
    const bool done = result == ReworkResult::Done || result == ReworkResult::Unchanged;
    if (done)
        return commitBatch() ? result : ReworkResult::Failed;
    const QString why = storeError();
    rollbackBatch();
    if (result == ReworkResult::Failed)
        fail(why);
    return result;
}

} // namespace

ReworkResult keepSerial(const QString &serialNumber, const QString &deviceSerialNum, const QString &deviceType,
                        const QString &deviceIp, const LogRecord &logRow)
{
    const StoreCall call;
    return inTransaction(deviceSerialNum, [&] {
        const int confirmed = changedRows(QStringLiteral("UPDATE SerialNumbers SET IsUse=1, DeviceType=?, szIP=? "
                                                         "WHERE SerialNumber=? AND IsUse=2 AND DeviceSerialNum=?"),
                                          {deviceType, deviceIp, serialNumber, deviceSerialNum});
        if (confirmed < 0)
            return ReworkResult::Failed;
        ReworkResult result = ReworkResult::Done;
        if (confirmed == 0) {
            const int used = firstInt(QStringLiteral("SELECT COUNT(*) FROM SerialNumbers "
                                                     "WHERE SerialNumber=? AND IsUse=1 AND DeviceSerialNum=?"),
                                      {serialNumber, deviceSerialNum}, -1);
            if (used < 0)
                return ReworkResult::Failed;
            if (used == 0)
                return ReworkResult::NotHeld;
            result = ReworkResult::Unchanged;
        }
        if (!event(SerialEventKind::Kept, serialNumber, deviceSerialNum)
            || (result == ReworkResult::Done && !event(SerialEventKind::Confirmed, serialNumber, deviceSerialNum))
            || (result == ReworkResult::Done && labelsEnabled() && !queueLabel(serialNumber, deviceSerialNum))
            || !addLog(logRow))
            return ReworkResult::Failed;
        return result;
    });
}

ReworkResult replaceSerial(const QString &oldSerial, const QString &deviceSerialNum, const QString &reason,
                           int customerId, const QString &deviceType, const QString &deviceIp,
                           const std::function<LogRecord(const QString &replacement)> &logRow, QString *replacement)
{
    const StoreCall call;
    return inTransaction(deviceSerialNum, [&] {
        // Void first: the device then holds nothing, so the claim below may give it one.
        const int voided = changedRows(QStringLiteral("UPDATE SerialNumbers SET IsUse=3 "
                                                      "WHERE SerialNumber=? AND IsUse IN (1, 2) AND DeviceSerialNum=?"),
                                       {oldSerial, deviceSerialNum});
        if (voided < 0)
            return ReworkResult::Failed;
        if (voided == 0)
            return ReworkResult::NotHeld;
        QString next;
        ClaimResult claimed = ClaimResult::Taken;
        if (storeIsServer()) {
            claimed = claimNextSerial(customerId, deviceSerialNum, deviceType, deviceIp, &next);
        } else {
            // The file's batch holds the write lock: what is offered now is still free below.
            const QStringList offered = unusedSerialNumbers(1, customerId);
            if (lastStoreCallFailed())
                return ReworkResult::Failed;
            if (!offered.isEmpty()) {
                next = offered.first();
                claimed = claimSerial(next, customerId, deviceSerialNum, deviceType, deviceIp);
            }
        }
        if (claimed == ClaimResult::Failed)
            return ReworkResult::Failed;
        if (claimed == ClaimResult::DeviceHolds) {
            fail(QStringLiteral("device %1 holds another identifier").arg(deviceSerialNum));
            return ReworkResult::Failed;
        }
        if (claimed != ClaimResult::Claimed)
            return ReworkResult::NoneOffered;
        if (!event(SerialEventKind::Voided, oldSerial, deviceSerialNum, reason, next)
            || !event(SerialEventKind::Replacement, next, deviceSerialNum, reason, oldSerial) || !addLog(logRow(next)))
            return ReworkResult::Failed;
        if (replacement)
            *replacement = next;
        return ReworkResult::Done;
    });
}

ReworkResult releaseSerial(const QString &serialNumber, const QString &deviceSerialNum, const QString &reason,
                           const std::optional<QString> &deviceReport, const LogRecord &logRow)
{
    const StoreCall call;
    return inTransaction(deviceSerialNum, [&] {
        if (!deviceReport)
            return ReworkResult::NotReadBack;
        if (*deviceReport == serialNumber)
            return ReworkResult::StillReported;
        // Free again, like unused: the device it was pending for is in its events.
        const int released =
            changedRows(QStringLiteral("UPDATE SerialNumbers SET IsUse=4, DeviceType='', DeviceSerialNum='', szIP='' "
                                       "WHERE SerialNumber=? AND IsUse=2 AND DeviceSerialNum=?"),
                        {serialNumber, deviceSerialNum});
        if (released < 0)
            return ReworkResult::Failed;
        if (released == 0)
            return ReworkResult::NotHeld;
        if (!event(SerialEventKind::Released, serialNumber, deviceSerialNum, reason) || !addLog(logRow))
            return ReworkResult::Failed;
        return ReworkResult::Done;
    });
}
