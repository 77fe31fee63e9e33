// Accounts and customers.
#include "store/datastore.h"
#include "store/storecore.h"

#include <QMutex>
#include <QMutexLocker>

using namespace storecore;

namespace {

QMutex personLock;
Person person;

} // namespace

void setSignedInPerson(const Person &p)
{
    QMutexLocker lock(&personLock);
    person = p;
}

Person signedInPerson()
{
    QMutexLocker lock(&personLock);
    return person;
}

bool signedInMay(Role needed)
{
    const Person p = signedInPerson();
    return p.signedIn() && int(p.role) >= int(needed);
}

int checkLogin(const QString &loginName, const QString &password)
{
    const StoreCall call;
    return firstInt(QStringLiteral("SELECT UserID FROM Users WHERE UserName=? AND UserPwd=?"), {loginName, password},
                    -1);
}

bool checkAdminPassword(const QString &password)
{
    const StoreCall call;
    const bool found = run(QStringLiteral("SELECT * FROM Users WHERE UserName='admin' AND UserPwd = ?"), {password})
        && storeQuery.next();
    storeQuery.finish();
    return found;
}

bool setAdminPassword(const QString &password)
{
    const StoreCall call;
    return runOne(QStringLiteral("UPDATE Users SET UserPwd=? WHERE UserName='admin'"), {password});
}

std::unique_ptr<CustomerRecord> customerById(int customerId)
{
    const StoreCall call;
    std::unique_ptr<CustomerRecord> record;
    if (run(kCustomerSelect + QStringLiteral(" WHERE CustomerID=%1").arg(customerId)) && storeQuery.next())
        record = std::make_unique<CustomerRecord>(readCustomerRow());
    storeQuery.finish();
    return record;
}

bool updateCustomer(const QString &customerName, const QString &customerValue, const QString &hostAddr, int port)
{
    const StoreCall call;
    return runOne(QStringLiteral("UPDATE Customers SET CustomerValue=?, CustomerHostAddr=?, CustomerPort=%1 "
                                 "WHERE CustomerName=?")
                      .arg(port),
                  {customerValue, hostAddr, customerName});
}

QList<CustomerRecord> allCustomers()
{
    const StoreCall call;
    QList<CustomerRecord> rows;
    // The file returns its rows in id order; the server returns them as they lie, which an
    // update changes. The customer editor takes its first row for the first customer.
    if (run(storeIsServer() ? kCustomerSelect + QStringLiteral(" ORDER BY CustomerID") : kCustomerSelect))
        while (storeQuery.next())
            rows.append(readCustomerRow());
    return rows;
}
