// The hour counts a report reads.
#include "store/datastore.h"
#include "store/storecore.h"

using namespace storecore;

bool eventHours(const QString &, const QString &, QList<EventHour> *rows)
{
    rows->clear();
    return true;
}

bool stockHours(const QString &, QList<StockHour> *rows)
{
    rows->clear();
    return true;
}

bool customerStocks(QList<CustomerStockNow> *rows)
{
    rows->clear();
    return true;
}

QString firstStockHour()
{
    return QString();
}

QString burnSkipCode(int reason)
{
    static const char *const codes[] = {"no-customer",    "uuid-too-long",     "serial-too-long",
                                        "user-too-long",  "password-too-long", "host-too-long",
                                        "kind-too-long",  "port-out-of-range", "log-text-too-long",
                                        "not-an-address", "already-tried",     "not-in-pool",
                                        "taken",          "device-holds",      "off-pattern",
                                        "order-full",     "not-of-order"};
    return reason >= 0 && reason < int(sizeof codes / sizeof *codes) ? QLatin1String(codes[reason])
                                                                     : QStringLiteral("skip-%1").arg(reason);
}

QString burnStopCode(int cause)
{
    static const char *const codes[] = {"none",        "claim-failed", "record-failed",
                                        "not-pending", "log-failed",   "read-failed"};
    return cause >= 0 && cause < int(sizeof codes / sizeof *codes) ? QLatin1String(codes[cause])
                                                                   : QStringLiteral("stop-%1").arg(cause);
}
