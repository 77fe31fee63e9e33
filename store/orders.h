// Work orders: an administrator's order of a quantity of devices of one customer (and one
// device type, or any), which stations burn against. A claim for an order is refused once the
// order's used and pending identifiers reach its quantity, across every station, in the
// claim's own transaction. Part of the store's public face (datastore.h includes it).
#pragma once

#include <QList>
#include <QString>

struct WorkOrder {
    qint64 orderId = 0;
    int customerId = 0;
    QString customerName;
    QString deviceType; // empty: any type
    qint64 quantity = 0;
    QString note;
    QString date;
    QString station;
    QString person;
    qint64 used = 0;
    qint64 pending = 0;
    bool complete() const { return used >= quantity; }
    bool full() const { return used + pending >= quantity; }
};

// A new order, named by this station and the signed-in person (administrators only: 0 with
// nothing written otherwise). In the caller's batch when one is open. The new OrderID, or 0
// with storeError().
qint64 createWorkOrder(int customerId, const QString &deviceType, qint64 quantity, const QString &note);
// Every order, newest first, with its progress (counted through the order's own index).
// False, with storeError(), when the store could not answer.
bool workOrders(QList<WorkOrder> *orders);

// Inside the claim's batch, before a claim for the order: takes the order's row lock for the
// rest of the transaction (stations claiming for one order take turns) and says whether a
// device of that customer and type may still be claimed for it.
enum class OrderRoom {
    Room,
    Full,    // used + pending reached the quantity
    NotOfIt, // no such order, or another customer or device type
    Failed,  // storeError() says why
};
OrderRoom takeOrderRoom(qint64 orderId, int customerId, const QString &deviceType);
// Inside the same batch, after the claim: the identifier now pending for the device counts
// for the order.
bool countClaimForOrder(qint64 orderId, const QString &serialNumber, const QString &deviceSerialNum);
// The identifiers of an order with their devices and states, for its export. False, with
// storeError(), when the store could not answer.
struct OrderDevice {
    QString serialNumber;
    int isUse = 0;
    QString deviceType;
    QString deviceSerialNum;
    QString deviceIp;
};
bool workOrderDevices(qint64 orderId, QList<OrderDevice> *devices);
