// Work orders and their quotas.
#include "store/datastore.h"
#include "store/storecore.h"

#include <QDateTime>

using namespace storecore;

qint64 createWorkOrder(int customerId, const QString &deviceType, qint64 quantity, const QString &note)
{
    const StoreCall call;
    if (!signedInMay(Role::Administrator)) {
        fail(QStringLiteral("only an administrator may create work orders"));
        return 0;
    }
    const Person person = signedInPerson();
    const QString date = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const QString insert = QStringLiteral("INSERT INTO WorkOrders (CustomerID, DeviceType, Quantity, OrderNote, "
                                          "OrderDate, OrderStation, OrderUser) VALUES (?, ?, ?, ?, ?, ?, ?)");
    const QVariantList values{customerId, deviceType, quantity, note, date, station, person.name};
    if (storeIsServer()) {
        if (!run(insert + QStringLiteral(" RETURNING OrderID"), values) || !storeQuery.next())
            return 0;
        const qint64 id = storeQuery.value(0).toLongLong();
        storeQuery.finish();
        return id;
    }
    if (!run(insert, values))
        return 0;
    const qint64 id = storeQuery.lastInsertId().toLongLong();
    storeQuery.finish();
    return id;
}

bool workOrders(QList<WorkOrder> *orders)
{
    const StoreCall call;
    orders->clear();
    if (!run(QStringLiteral(
            "SELECT o.OrderID, o.CustomerID, c.CustomerName, o.DeviceType, o.Quantity, o.OrderNote, o.OrderDate, "
            "o.OrderStation, o.OrderUser, "
            "(SELECT COUNT(*) FROM SerialNumbers s WHERE s.OrderID = o.OrderID AND s.IsUse = 1), "
            "(SELECT COUNT(*) FROM SerialNumbers s WHERE s.OrderID = o.OrderID AND s.IsUse = 2) "
            "FROM WorkOrders o LEFT JOIN Customers c ON c.CustomerID = o.CustomerID ORDER BY o.OrderID DESC")))
        return false;
    while (storeQuery.next()) {
        WorkOrder o;
        o.orderId = storeQuery.value(0).toLongLong();
        o.customerId = storeQuery.value(1).toInt();
        o.customerName = storeQuery.value(2).toString();
        o.deviceType = storeQuery.value(3).toString();
        o.quantity = storeQuery.value(4).toLongLong();
        o.note = storeQuery.value(5).toString();
        o.date = storeQuery.value(6).toString();
        o.station = storeQuery.value(7).toString();
        o.person = storeQuery.value(8).toString();
        o.used = storeQuery.value(9).toLongLong();
        o.pending = storeQuery.value(10).toLongLong();
        orders->append(o);
    }
    storeQuery.finish();
    return true;
}

OrderRoom takeOrderRoom(qint64 orderId, int customerId, const QString &deviceType)
{
    const StoreCall call;
    // A change of the order's own row: the server holds its lock to the end of the claim's
    // transaction, so the next station counts after this one's claims (the file's write lock
    // does the same for the whole transaction).
    if (!run(QStringLiteral("UPDATE WorkOrders SET Quantity = Quantity WHERE OrderID=?"), {orderId}))
        return OrderRoom::Failed;
    storeQuery.finish();
    if (!run(QStringLiteral("SELECT CustomerID, DeviceType, Quantity, "
                            "(SELECT COUNT(*) FROM SerialNumbers s WHERE s.OrderID = o.OrderID AND s.IsUse IN (1, 2)) "
                            "FROM WorkOrders o WHERE OrderID=?"),
             {orderId}))
        return OrderRoom::Failed;
    if (!storeQuery.next()) {
        storeQuery.finish();
        return OrderRoom::NotOfIt;
    }
    const int customer = storeQuery.value(0).toInt();
    const QString type = storeQuery.value(1).toString();
    const qint64 quantity = storeQuery.value(2).toLongLong();
    const qint64 taken = storeQuery.value(3).toLongLong();
    storeQuery.finish();
    if (customer != customerId || (!type.isEmpty() && type.compare(deviceType, Qt::CaseInsensitive) != 0))
        return OrderRoom::NotOfIt;
    return taken < quantity ? OrderRoom::Room : OrderRoom::Full;
}

bool countClaimForOrder(qint64 orderId, const QString &serialNumber, const QString &deviceSerialNum)
{
    const StoreCall call;
    return run(QStringLiteral("UPDATE SerialNumbers SET OrderID=? WHERE SerialNumber=? AND IsUse=2 "
                              "AND DeviceSerialNum=?"),
               {orderId, serialNumber, deviceSerialNum})
        && storeQuery.numRowsAffected() >= 1;
}

bool workOrderDevices(qint64 orderId, QList<OrderDevice> *devices)
{
    const StoreCall call;
    devices->clear();
    if (!run(QStringLiteral("SELECT SerialNumber, IsUse, DeviceType, DeviceSerialNum, szIP FROM SerialNumbers "
                            "WHERE OrderID=? ORDER BY SNID"),
             {orderId}))
        return false;
    while (storeQuery.next())
        devices->append({storeQuery.value(0).toString(), storeQuery.value(1).toInt(), storeQuery.value(2).toString(),
                         storeQuery.value(3).toString(), storeQuery.value(4).toString()});
    storeQuery.finish();
    return true;
}
