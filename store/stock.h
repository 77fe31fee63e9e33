// A customer's stock of identifiers and the rules an administrator sets for it: warn when
// fewer than N are left, and the pattern every identifier of the customer must match.
// Part of the store's public face (datastore.h includes it).
#pragma once

#include "store/records.h"

#include <QString>
#include <functional>

struct CustomerRules {
    qint64 warnBelow = 0;  // 0: never warn
    QString serialPattern; // a regular expression the whole identifier must match; empty: any
};
// The id of the customer of that exact name; 0 when there is none (or the store failed).
int customerIdByName(const QString &customerName);
// False, with storeError(), when the store could not answer (or the customer is unknown).
bool customerRules(int customerId, CustomerRules *rules);
// True when exactly the customer's row was changed (in the caller's batch when one is open).
bool setCustomerRules(int customerId, const CustomerRules &rules);

// A customer's identifiers by state, from the kept counts: instant in a pool of millions.
struct PoolStock {
    qint64 unused = 0; // offered to devices: unused and released
    qint64 pending = 0;
    qint64 used = 0;
    qint64 warnBelow = 0;
    bool low() const { return warnBelow > 0 && unused < warnBelow; }
};
bool poolStock(int customerId, PoolStock *stock);

// After a change of the customer's stock: when it is below the warning, the first station
// to see it writes `logRow` (one row per crossing for the whole line: a guarded change of
// the customer's row decides who); when it is back at or above, the next crossing is
// armed again. In the caller's batch when one is open, else in its own.
enum class LowPoolNote {
    Fine,
    Low,      // below, already told
    NewlyLow, // below, and this call wrote the row
    Failed,   // storeError() says why
};
LowPoolNote noteLowPool(int customerId,
                        const std::function<LogRecord(const QString &customerName, qint64 unused)> &logRow);
