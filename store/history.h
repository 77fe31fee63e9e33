// What happened to each identifier and each device: one event per change, written in the
// same transaction as the change, and the history read back by value. Part of the store's
// public face (datastore.h includes it).
#pragma once

#include <QList>
#include <QString>

// What an event tells of. Stored as the number: never renumber.
enum class SerialEventKind {
    Imported = 1,      // detail: the file (from its import batch)
    Claimed = 2,       // pending for the device
    Written = 3,       // the device said it took the identifier
    WriteFailed = 4,   // the device did not take it (detail: the SDK's answer)
    Confirmed = 5,     // read back from the device and recorded used
    NotConfirmed = 6,  // written, but the device reports something else (detail: what it reports)
    Kept = 7,          // rework: the identifier the device holds was kept for it
    Voided = 8,        // rework: replaced (related: the replacement; detail: the reason)
    Released = 9,      // a pending identifier freed (detail: the reason)
    Deleted = 10,      // retired from the pool
    Exported = 11,     // detail: the file
    LabelPrinted = 12, // detail: "copy N on PRINTER", and ": REASON" for a reprint
    Recorded = 13,     // recorded used without a read-back (an SDK that cannot read)
    Replacement = 14,  // rework: claimed in place of `related`
    LabelReprint = 15, // a supervisor asked another copy (detail: "copy N: REASON")
    Skipped = 16,      // the Burn did not write the device (detail: burnSkipCode)
    PassStopped = 17,  // the store stopped a Burn pass at this device (detail: burnStopCode)
    // Never stored: what a history shows of an identifier whose pool row no event
    // accounts for (burnt or retired before events were kept); the entry's isUse and
    // retired say its state.
    PoolState = 0,
};

// One event as it is recorded. The store stamps it with the time, this station and the
// signed-in person. An empty text means none (stored as the empty text).
struct SerialEvent {
    SerialEventKind kind = SerialEventKind::Claimed;
    QString serialNumber;    // the identifier (empty for an event of a device alone)
    QString deviceSerialNum; // the device (empty when none is concerned)
    QString detail;
    QString related; // another identifier the event links to
};

// Appends the event: inside the caller's batch when one is open (it commits or rolls back
// with the change), else in a transaction of its own. False, with storeError(), when the
// store could not write it.
bool recordSerialEvent(const SerialEvent &event);

// One import run: an ImportBatches row naming the file, its SHA-256 (hex), the customer,
// the time, this station and the signed-in person. Every identifier the run stores carries
// its BatchID. Inside the caller's batch when one is open, else in a transaction of its own.
// The new BatchID, or 0 with storeError() when the store could not write it.
qint64 recordImportBatch(const QString &fileName, const QString &fileHash, int customerId);
// What the run has stored and refused so far, written over the row's counts (same
// transaction rules). False, with storeError(), when the row could not be changed.
bool countImportBatch(qint64 batchId, qint64 stored, qint64 refused);

// An import batch and what became of the identifiers it stored, from counts kept per
// batch: stored equals the sum of the states when nothing was lost or made up.
struct BatchReport {
    qint64 batchId = 0;
    QString fileName;
    QString fileHash;
    QString date;
    QString station;
    QString person;
    QString customerName;
    qint64 stored = 0;
    qint64 refused = 0;
    qint64 unused = 0;
    qint64 pending = 0;
    qint64 used = 0;
    qint64 voided = 0;
    qint64 released = 0;
    qint64 deleted = 0;
    qint64 other = 0; // a usage state this program does not know
    qint64 accounted() const { return unused + pending + used + voided + released + deleted + other; }
    bool reconciles() const { return stored == accounted(); }
};
// Every batch, newest first; with `fileHash`, only the imports of a file with that hash.
// False, with storeError(), when the store could not answer.
bool importBatches(QList<BatchReport> *batches, const QString &fileHash = QString());

// One line of a history, as found.
struct HistoryEntry {
    SerialEventKind kind = SerialEventKind::Claimed;
    QString date; // yyyy-MM-dd HH:mm:ss, the station's clock
    QString station;
    QString person; // empty: nobody was signed in, or the event predates people
    QString serialNumber;
    QString deviceSerialNum;
    QString detail;
    QString related;
    // PoolState: the row's IsUse (SerialUse), and whether it is a retired row.
    int isUse = -1;
    bool retired = false;
};

// Every event of `value`, taken as an identifier and as a device serial number, from every
// station, in the order they were recorded (the import first, from the identifier's batch;
// its detail is the file's name). A pool row of the value (as identifier or device) that no
// event names comes last as a PoolState entry. Only indexed lookups: a pool of millions
// answers as fast as an empty one. Empty when nothing is known of the value. False, with
// storeError(), when the store could not answer.
bool serialHistory(const QString &value, QList<HistoryEntry> *entries);
