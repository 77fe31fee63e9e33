// The Burn pass without widgets: checks every row and claims each writable one's identifier
// for its device (all the pass's claims, with their "Burning uuid" log rows, in one commit
// before anything is written), then writes each device through the SDK and reads its
// identifier back, and records the outcomes a few commits at a time: used only for a device
// that reported exactly what was written. It tells a listener what became of each row and
// why it stopped, and never shows a box.
#pragma once

#include "jobs/joblistener.h"
#include "store/datastore.h"

#include <QCoreApplication>
#include <QList>
#include <QPair>
#include <QSet>
#include <QString>

#include <memory>

class QThreadPool;

namespace jobs {

// One device to burn: its texts as it reported them and the identifier assigned to it, with
// the customer whose pool it comes from and whose request form writes it.
struct BurnRow {
    int key = -1; // the caller's handle for the row (the page: its table row); the job only passes it on
    QString type;
    QString serial;
    QString ip;
    QString user;
    QString password;
    QString uuid;
    int customerId = 0;
    bool pending = false; // already claimed for this device by an earlier pass
};

// Why a row was not written in this pass.
struct BurnSkip {
    enum Reason {
        NoCustomer, // `number` is the customer id
        UuidTooLong,
        SerialTooLong,
        UserTooLong,
        PasswordTooLong,
        HostTooLong,
        KindTooLong,
        PortOutOfRange, // `number` is the port
        LogTextTooLong,
        NotAnAddress,
        AlreadyTried, // the device is burnt, or was written or tried earlier in the pass
        NotInPool,    // deleted since Match
        Taken,        // another program claimed the identifier first
        DeviceHolds,  // the device got an identifier from another program meanwhile
        OffPattern,   // the identifier does not match its customer's identifier pattern
        OrderFull,    // the work order (`number`) has its quantity used or pending
        NotOfOrder    // the device is not of the work order's (`number`) customer and type
    };
    Reason reason = NoCustomer;
    int number = 0;
    bool operator==(const BurnSkip &other) const { return reason == other.reason && number == other.number; }
};

// Why a pass stopped; `row` is the device the cause is about.
struct BurnStop {
    enum Cause {
        None,
        ClaimFailed,  // the pass's claims were not committed: no device was written (`row` was first)
        RecordFailed, // outcomes were not recorded: `row` (among others) holds its identifier, still pending
        NotPending,   // `row` holds its identifier, which the pool no longer holds pending for it
        LogFailed,    // a skip or failed write could not be logged (no device was left unrecorded)
        ReadFailed    // the pool could not be read
    };
    Cause cause = None;
    BurnRow row;
    QString why; // the store's own word for it
};

struct BurnSummary {
    bool refused = false; // the store is not durable: nothing was tried
    QString refusal;      // why, in the store's words
    int burnt = 0;
    int failed = 0;
    int notConfirmed = 0;                // written, but the device read back without the identifier
    bool verified = true;                // false: the SDK cannot read identifiers back, so used marks are unverified
    QList<QPair<BurnSkip, int>> skipped; // in the order first met
    BurnStop stop;
};

class BurnListener : public JobListener
{
public:
    // The row's identifier is pending for its device; `row.uuid` is the one claimed (on a
    // server, another one when the one shown was taken).
    virtual void claimed(const BurnRow &row);
    // The device took it; what it reads back is recorded with the next batch of outcomes.
    virtual void written(const BurnRow &row);
    // The device did not take it; it stays pending for the device.
    virtual void writeFailed(const BurnRow &row, int answer);
    // Written and read back, and the device reports `reported` (empty: none) instead: the
    // identifier stays pending for the device, and the next Burn writes and reads it again.
    virtual void notConfirmed(const BurnRow &row, const QString &reported);
    // Used, recorded for the device (after the device reported it back, where it can).
    virtual void recorded(const BurnRow &row);
    virtual void skipped(const BurnRow &row, const BurnSkip &why);
    // The first failure of the pass; nothing more is written in it.
    virtual void stopped(const BurnStop &stop);
};

class BurnJob
{
    Q_DECLARE_TR_FUNCTIONS(jobs::BurnJob)
public:
    // The store steps run on a thread of the job's own with its own connection, which lives
    // as long as the job; the caller's thread keeps handling events (no user input) meanwhile.
    BurnJob();
    ~BurnJob();
    BurnJob(const BurnJob &) = delete;
    BurnJob &operator=(const BurnJob &) = delete;

    // One pass over `rows` in order; a cancel between devices leaves the claimed devices not
    // yet written pending for them (the next Burn writes them). `excluded` holds device serials that get nothing
    // (burnt, or whose holding is unknown). `listener` may be null.
    BurnSummary run(const QList<BurnRow> &rows, QSet<QString> excluded, BurnListener *listener);

    static QString skipText(const BurnSkip &why);

    // The work order the next passes burn for (0: none): a fresh claim counts for it, and is
    // refused once its quantity is used or pending, across every station.
    void setWorkOrder(qint64 orderId) { workOrder = orderId; }
    qint64 workOrderId() const { return workOrder; }

private:
    qint64 workOrder = 0;
    struct Pass;
    bool openStore();
    QThreadPool *storeThread;
    bool storeOpened = false; // touched only on the store thread
};

} // namespace jobs
