// A customer's stock against its low-pool warning, for the Burning page and the Burn pass:
// after a change of the stock, the line's one "Low pool" log row per crossing.
#pragma once

#include "store/datastore.h"

#include <QCoreApplication>

namespace jobs {

class StockWatch
{
    Q_DECLARE_TR_FUNCTIONS(jobs::StockWatch)

public:
    // Tells the store of the customer's stock now: the first station to find it below the
    // warning writes "Low pool: <customer> <count> unused" for the whole line.
    static LowPoolNote note(int customerId);
};

} // namespace jobs
