// What the line did, hour by hour: counts of the Burn's events per station and person, and
// each customer's stock, kept by triggers in the same transaction as every event and every
// change of the pool (whoever writes), so a report reads a few rows per hour instead of the
// events themselves and can never disagree with them. Part of the store's public face
// (datastore.h includes it).
#pragma once

#include "store/history.h"

#include <QList>
#include <QString>

// Hours are the text "yyyy-MM-dd HH" of the clock that stamped the event (a station's own),
// so they sort and compare as text; a range is [from, to).

// One hour's events of one kind at one station by one person.
struct EventHour {
    QString hour;
    QString station;
    QString person; // empty: nobody was signed in
    SerialEventKind kind = SerialEventKind::Written;
    // Why, for the kinds that fail: WriteFailed the SDK's answer; NotConfirmed "silent" (the
    // device did not answer the read) or "differs"; Skipped and PassStopped their code
    // (burnSkipCode / burnStopCode). Empty for the others.
    QString cause;
    qint64 events = 0;
    // Of them, the device's first of its kind: Written / WriteFailed its first write try
    // (ever, at any station); Confirmed / Recorded its first confirmation. Unique devices.
    qint64 devices = 0;
    // Confirmed / Recorded: first confirmations of devices written exactly once before.
    qint64 firstPass = 0;
};
// The kept counts of the hours in [fromHour, toHour), of the kinds a report reads (Written,
// WriteFailed, Confirmed, NotConfirmed, Recorded, Skipped, PassStopped). False, with
// storeError(), when the store could not answer.
bool eventHours(const QString &fromHour, const QString &toHour, QList<EventHour> *rows);

// How a customer's stock (unused and released identifiers) changed in one hour: `added`
// came in (imported, released, restored), `taken` went out (claimed, deleted, ...). The
// hour is the store's clock: the file's station, the server's session (set to the
// station's time zone at connection).
struct StockHour {
    QString hour;
    int customerId = 0;
    qint64 added = 0;
    qint64 taken = 0;
};
// Every kept hour from `fromHour` on (up to now, so the stock at the start of a past range
// can be worked back from the stock now), oldest first. Hours before the pool kept them
// (schema version 15) have no rows. False, with storeError(), when the store could not answer.
bool stockHours(const QString &fromHour, QList<StockHour> *rows);

// Every customer and its stock now (unused and released), from the kept counts.
struct CustomerStockNow {
    int customerId = 0;
    QString customerName;
    qint64 unused = 0;
};
bool customerStocks(QList<CustomerStockNow> *rows);

// The first hour the pool kept stock changes for (empty: none yet). Before it the stock
// over time is not known.
QString firstStockHour();

// Stable codes stored as the detail of Skipped and PassStopped events (BurnSkip::Reason,
// BurnStop::Cause by number): a report groups by them whatever the language.
QString burnSkipCode(int reason);
QString burnStopCode(int cause);
