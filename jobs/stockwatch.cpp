#include "jobs/stockwatch.h"

namespace jobs {

LowPoolNote StockWatch::note(int customerId)
{
    return noteLowPool(customerId, [](const QString &customerName, qint64 unused) {
        return makeLogRecord(tr("Low pool"), tr("Low pool: %1 %2 unused").arg(customerName).arg(unused));
    });
}

} // namespace jobs
