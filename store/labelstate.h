// The label of each confirmed identifier, kept in the pool so that none is lost and none is
// printed twice: one Labels row per copy. Copy 1 is made due in the transaction that marks
// the identifier used (markSerialUsed, rework's keep) when tarnwell.ini has [labels]; the
// station that confirmed it prints it. A due copy is marked sending (committed) before it
// leaves the station, and printed after the printer took it; a copy left sending by a
// program that stopped is settled at the next start. A reprint is a new copy, asked by a
// supervisor with a reason. Part of the store's public face (datastore.h includes it).
#pragma once

#include "store/records.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

// Stored as the number: never renumber.
enum class LabelState {
    Due = 0,
    Sending = 1,
    Printed = 2,
    Failed = 3, // cannot be printed, or cut off while sending and not known to have printed
};

// True when this station makes labels (tarnwell.ini has [labels] with a printer).
bool labelsEnabled();

// Inside the caller's batch: makes copy 1 of the identifier's label due on this station
// (nothing when the identifier has a label row already). False, with storeError(), when
// the store could not write it. markSerialUsed and rework's keep call it themselves.
bool queueLabel(const QString &serialNumber, const QString &deviceSerialNum);

// A label copy as the printer needs it: the values of its placeholders.
struct PendingLabel {
    qint64 labelId = 0;
    int copy = 1;
    QString serialNumber;
    QString deviceSerialNum;
    QString deviceType;
    QString customerName;
    QString dueDate; // yyyy-MM-dd HH:mm:ss
    QString station;
    QString printer; // sending: the printer it was sent to
};

// This station's labels in `state` (Due or Sending), oldest first, at most `limit`.
// False, with storeError(), when the store could not answer.
bool stationLabels(LabelState state, int limit, QList<PendingLabel> *labels);
// This station's labels due or sending; -1 when the store could not answer.
int countWaitingLabels();

// Due -> Sending, naming the printer, committed before the label leaves: true only when
// this call moved it (a copy already sending or printed is never sent again).
bool beginLabelPrint(qint64 labelId, const QString &printer);
// Sending -> Printed, with the time and a LabelPrinted event, in one transaction.
bool endLabelPrint(qint64 labelId);
// Sending -> Due: nothing left the station; `why` goes to the row for the page.
bool returnLabel(qint64 labelId, const QString &why);
// Due or Sending -> Failed with the reason, and `logRow`, in one transaction.
bool failLabel(qint64 labelId, const QString &why, const LogRecord &logRow);

// A reprint: a new due copy of a used identifier's label on this station, with the reason,
// a log row naming the copy and a LabelReprint event, in one transaction. Supervisors and up.
enum class ReprintResult {
    Queued,     // *copy: the new copy's number
    NotAllowed, // the signed-in person is no supervisor: nothing written
    NotUsed,    // the identifier is not used (no confirmed device to label)
    NoReason,   // the reason is empty
    Failed,     // storeError() says why
};
ReprintResult reprintLabel(const QString &serialNumber, const QString &reason,
                           const std::function<LogRecord(int copy)> &logRow, int *copy);

// The latest copy of each identifier's label, for the pages and the export.
struct LabelStatus {
    LabelState state = LabelState::Due;
    int copy = 1;
    QString printedDate;
    QString dueDate;
    QString printer;
    QString error; // why it waits or failed
};
// The identifiers of `serialNumbers` that have a label, with their latest copy. False, with
// storeError(), when the store could not answer.
bool labelStatuses(const QStringList &serialNumbers, QHash<QString, LabelStatus> *statuses);
