// Rework of devices that come back holding an identifier: keep it, replace it, or free a
// pending one its device does not hold. Part of the store's public face (datastore.h
// includes it). Each change is one transaction with its log row and its events (the
// caller's batch when one is open). Each is a supervisor's: anyone else is refused and
// nothing is written.
#pragma once

#include "store/records.h"

#include <QString>

#include <functional>
#include <optional>

enum class ReworkResult {
    Done,          // keep: was pending, now used; replace, release: done
    Unchanged,     // keep: already used for the device; only the event was written
    Refused,       // nobody is signed in whose role is supervisor or above
    NotHeld,       // the identifier is not used or pending for that device (unused, released, void, another's)
    NotReadBack,   // release: the device was not read back, so nobody knows it lacks the identifier
    StillReported, // release: the device still reports the identifier
    NoneOffered,   // replace: the customer has no identifier to offer
    Failed,        // the store could not answer or write (storeError()); nothing changed
};

// The device was read back holding `serialNumber`: pending for it -> used (events Kept and
// Confirmed); used for it already -> nothing changes but the Kept event and the log row.
ReworkResult keepSerial(const QString &serialNumber, const QString &deviceSerialNum, const QString &deviceType,
                        const QString &deviceIp, const LogRecord &logRow);

// `oldSerial` (used or pending for the device) -> void (event Voided: related the new one,
// detail the reason), and the customer's next offered identifier pending for the device
// (event Replacement, related the old one), given in *replacement; `logRow` makes the log
// row from the replacement. The caller then writes the replacement into the device as a
// pending row.
ReworkResult replaceSerial(const QString &oldSerial, const QString &deviceSerialNum, const QString &reason,
                           int customerId, const QString &deviceType, const QString &deviceIp,
                           const std::function<LogRecord(const QString &replacement)> &logRow, QString *replacement);

// A pending identifier its device was read back without -> released (event Released, detail
// the reason): offered again by this program. `deviceReport` is what the device reported
// (empty: none); no value means it was not read back, and that is refused.
ReworkResult releaseSerial(const QString &serialNumber, const QString &deviceSerialNum, const QString &reason,
                           const std::optional<QString> &deviceReport, const LogRecord &logRow);
