// Customers' stock and rules.
#include "store/datastore.h"
#include "store/storecore.h"

using namespace storecore;

namespace {

bool readStock(int customerId, PoolStock *stock)
{
    *stock = PoolStock();
    if (!run(QStringLiteral("SELECT IsUse, SUM(Total) FROM SerialCounts WHERE CustomerID=? GROUP BY IsUse"),
             {customerId}))
        return false;
    while (storeQuery.next()) {
        const qint64 n = storeQuery.value(1).toLongLong();
        switch (storeQuery.value(0).toInt()) {
        case SerialUnused:
        case SerialReleased:
            stock->unused += n;
            break;
        case SerialPending:
            stock->pending += n;
            break;
        case SerialUsed:
            stock->used += n;
            break;
        default:
            break;
        }
    }
    storeQuery.finish();
    if (!run(QStringLiteral("SELECT LowPoolWarn FROM Customers WHERE CustomerID=?"), {customerId}))
        return false;
    if (storeQuery.next())
        stock->warnBelow = storeQuery.value(0).toLongLong();
    storeQuery.finish();
    return true;
}

} // namespace

int customerIdByName(const QString &customerName)
{
    const StoreCall call;
    return firstInt(QStringLiteral("SELECT CustomerID FROM Customers WHERE CustomerName=?"), {customerName}, 0);
}

bool customerRules(int customerId, CustomerRules *rules)
{
    const StoreCall call;
    *rules = CustomerRules();
    if (!run(QStringLiteral("SELECT LowPoolWarn, SerialPattern FROM Customers WHERE CustomerID=?"), {customerId}))
        return false;
    const bool found = storeQuery.next();
    if (found) {
        rules->warnBelow = storeQuery.value(0).toLongLong();
        rules->serialPattern = storeQuery.value(1).toString();
    }
    storeQuery.finish();
    if (!found)
        fail(QStringLiteral("there is no customer %1").arg(customerId));
    return found;
}

bool setCustomerRules(int customerId, const CustomerRules &rules)
{
    const StoreCall call;
    // A new threshold is judged afresh: the next change of stock below it is told.
    return writeInBatch([&] {
        return runOne(QStringLiteral("UPDATE Customers SET LowPoolWarn=?, SerialPattern=?, LowPoolLogged=0 "
                                     "WHERE CustomerID=?"),
                      {rules.warnBelow, rules.serialPattern, customerId});
    });
}

bool poolStock(int customerId, PoolStock *stock)
{
    const StoreCall call;
    return readStock(customerId, stock);
}

LowPoolNote noteLowPool(int customerId,
                        const std::function<LogRecord(const QString &customerName, qint64 unused)> &logRow)
{
    const StoreCall call;
    LowPoolNote note = LowPoolNote::Fine;
    const bool done = writeInBatch([&] {
        PoolStock stock;
        if (!readStock(customerId, &stock))
            return false;
        // Only the change from 0 to 1 writes the row: a second station, or this one again,
        // finds it set (on the server it waits for the first one's commit and then finds it).
        if (!run(stock.low() ? QStringLiteral("UPDATE Customers SET LowPoolLogged=1 WHERE CustomerID=? "
                                              "AND LowPoolLogged=0")
                             : QStringLiteral("UPDATE Customers SET LowPoolLogged=0 WHERE CustomerID=? "
                                              "AND LowPoolLogged<>0"),
                 {customerId}))
            return false;
        const int changed = storeQuery.numRowsAffected();
        storeQuery.finish();
        if (!stock.low())
            return true;
        note = LowPoolNote::Low;
        if (changed != 1)
            return true;
        const std::unique_ptr<CustomerRecord> customer = customerById(customerId);
        const QString name = customer ? fixedfield::get(customer->customerName) : QString::number(customerId);
        if (!addLog(logRow(name, stock.unused)))
            return false;
        note = LowPoolNote::NewlyLow;
        return true;
    });
    return done ? note : LowPoolNote::Failed;
}
