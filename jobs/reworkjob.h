// Rework of one found device, without widgets: read the device back, then keep the
// identifier it holds, replace it with a new one of its customer (written with the Burn
// job), or release a pending one it does not hold. A supervisor's work; the outcome is a
// value the caller words.
#pragma once

#include "jobs/burnjob.h"
#include "jobs/devicecalls.h"
#include "store/datastore.h"

#include <QCoreApplication>
#include <QString>

namespace jobs {

// The device as discovery reported it.
struct ReworkDevice {
    QString type;
    QString serial;
    QString ip;
    QString user;
    QString password;
};

enum class ReworkAction {
    Keep,
    Replace,
    Release,
};

struct ReworkOutcome {
    enum Result {
        Done,
        Unchanged,     // keep: already used for the device
        Refused,       // not a supervisor: nothing was read or written
        NoReason,      // replace and release need a reason
        NoAnswer,      // the device could not be read back (keep and release need it)
        CannotRead,    // the SDK cannot read identifiers back (keep and release need it)
        NothingHeld,   // the pool records no used or pending identifier for the device
        NotReported,   // keep: the device reports another identifier (or none) than the pool records
        StillReported, // release: the device still reports the identifier
        NotPending,    // release: the identifier is used, not pending
        NoneOffered,   // replace: the customer has no identifier to offer
        StoreFailed,   // the store could not answer or write (`why`); nothing changed
        NotBurnt,      // replace: recorded, but the Burn pass did not make the new one used (`burn`)
    };
    Result result = StoreFailed;
    QString recorded;    // the identifier the pool recorded for the device
    QString reported;    // what the device reported when read back
    QString replacement; // replace: the new identifier, pending for the device (used once burnt)
    BurnSummary burn;    // replace: the Burn pass
    QString why;         // the store's words
};

class ReworkJob
{
    Q_DECLARE_TR_FUNCTIONS(jobs::ReworkJob)
public:
    // What the device reports (read off this thread while it keeps handling events).
    static devicecalls::ReadBack readBack(const ReworkDevice &device);

    // One action for one device. `reason` is kept with the events and the log row.
    static ReworkOutcome run(ReworkAction action, const ReworkDevice &device, const QString &reason,
                             BurnListener *listener = nullptr);
};

} // namespace jobs
