// The claim protocol: unused -> pending for one device, pending -> used, and what a device
// holds.
#include "store/datastore.h"
#include "store/storecore.h"

using namespace storecore;

bool markSerialUsed(const QString &serialNumber, const QString &deviceSerialNum, const QString &deviceType,
                    const QString &deviceIp)
{
    const StoreCall call;
    // The label is made due with the mark, in one transaction: a label for every
    // identifier recorded used, and none for one that is not.
    const bool labels = labelsEnabled();
    const bool own = labels && !batchIsOpen();
    if (own && !beginBatch())
        return false;
    const auto give_up = [own] {
        if (own) {
            const QString why = storeError();
            rollbackBatch();
            fail(why);
        }
        return false;
    };
    // Only an identifier claimed for this very device becomes used by it; a write that
    // changes nothing (deleted meanwhile, claimed for another device) is a failure.
    if (!run(QStringLiteral("UPDATE SerialNumbers SET IsUse=1, DeviceType=?, DeviceSerialNum=?, szIP=? "
                            "WHERE SerialNumber=? AND IsUse=2 AND DeviceSerialNum=?"),
             {deviceType, deviceSerialNum, deviceIp, serialNumber, deviceSerialNum}))
        return give_up();
    if (storeQuery.numRowsAffected() < 1) {
        failureText = QStringLiteral("%1 is not pending for device %2").arg(serialNumber, deviceSerialNum);
        return give_up();
    }
    if (labels && !queueLabel(serialNumber, deviceSerialNum))
        return give_up();
    return !own || commitBatch();
}

ClaimResult claimSerial(const QString &serialNumber, int customerId, const QString &deviceSerialNum,
                        const QString &deviceType, const QString &deviceIp)
{
    const StoreCall call;
    if (!lockDevice(deviceSerialNum))
        return ClaimResult::Failed;
    // (The unary + keeps SQLite on the SerialNumber index: by (CustomerID, IsUse) it would
    // walk all of a customer's unused identifiers.)
    // One statement, so the check and the change cannot be split by another writer: the
    // identifier must be the customer's, still free (unused or released) in every row that
    // holds it (a value stored twice moves as a whole, as markSerialUsed marks it whole),
    // and the device must hold no used or pending identifier (a void one it may).
    if (!run(QStringLiteral(
                 "UPDATE SerialNumbers SET IsUse=2, DeviceType=?, DeviceSerialNum=?, szIP=? "
                 "WHERE SerialNumber=? AND IsUse IN (0, 4) "
                 "AND EXISTS (SELECT 1 FROM SerialNumbers WHERE SerialNumber=? AND +CustomerID=? AND +IsUse IN (0, 4)) "
                 "AND NOT EXISTS (SELECT 1 FROM SerialNumbers WHERE SerialNumber=? AND IsUse NOT IN (0, 4)) "
                 "AND NOT EXISTS (SELECT 1 FROM SerialNumbers WHERE DeviceSerialNum=? AND IsUse IN (1, 2))"),
             {deviceType, deviceSerialNum, deviceIp, serialNumber, serialNumber, customerId, serialNumber,
              deviceSerialNum}))
        return ClaimResult::Failed;
    if (storeQuery.numRowsAffected() >= 1)
        return ClaimResult::Claimed;
    const DeviceHolding held = holdingOfDevice(deviceSerialNum);
    if (held.isUse != SerialUnused)
        return ClaimResult::DeviceHolds;
    return ClaimResult::Taken;
}

ClaimResult claimNextSerial(int customerId, const QString &deviceSerialNum, const QString &deviceType,
                            const QString &deviceIp, QString *claimed)
{
    const StoreCall call;
    if (!storeIsServer())
        return ClaimResult::Taken;
    if (!lockDevice(deviceSerialNum))
        return ClaimResult::Failed;
    // The newest unused identifier of the customer (then the newest released one) that no
    // other station holds locked at this moment (no waiting on them), that no row records
    // in another state, and that fits the device request with its NUL.
    for (const int isUse : {int(SerialUnused), int(SerialReleased)}) {
        if (!run(QStringLiteral(
                     "UPDATE SerialNumbers SET IsUse=2, DeviceType=?, DeviceSerialNum=?, szIP=? "
                     "WHERE SNID=(SELECT s.SNID FROM SerialNumbers s WHERE s.CustomerID=? AND s.IsUse=? "
                     "AND octet_length(s.SerialNumber) < 48 "
                     "AND NOT EXISTS (SELECT 1 FROM SerialNumbers d WHERE d.SerialNumber=s.SerialNumber "
                     "AND d.IsUse NOT IN (0, 4)) ORDER BY s.SNID DESC LIMIT 1 FOR UPDATE SKIP LOCKED) "
                     "AND IsUse IN (0, 4) "
                     "AND NOT EXISTS (SELECT 1 FROM SerialNumbers WHERE DeviceSerialNum=? AND IsUse IN (1, 2)) "
                     "RETURNING SerialNumber"),
                 {deviceType, deviceSerialNum, deviceIp, customerId, isUse, deviceSerialNum}))
            return ClaimResult::Failed;
        const bool got = storeQuery.next();
        if (got && claimed)
            *claimed = storeQuery.value(0).toString();
        storeQuery.finish();
        if (got)
            return ClaimResult::Claimed;
    }
    return holdingOfDevice(deviceSerialNum).isUse != SerialUnused ? ClaimResult::DeviceHolds : ClaimResult::Taken;
}

DeviceHolding holdingOfDevice(const QString &deviceSerialNum)
{
    const StoreCall call;
    // A burnt identifier outranks a pending one; a device should never hold both. A void
    // one it no longer holds.
    DeviceHolding held;
    if (run(QStringLiteral("SELECT SerialNumber, IsUse, CustomerID FROM SerialNumbers "
                           "WHERE DeviceSerialNum=? AND IsUse IN (1, 2) ORDER BY IsUse=1 DESC, SNID DESC LIMIT 1"),
            {deviceSerialNum})
        && storeQuery.next()) {
        held.serialNumber = storeQuery.value(0).toString();
        held.isUse = storeQuery.value(1).toInt();
        held.customerId = storeQuery.value(2).toInt();
    }
    storeQuery.finish();
    return held;
}
