// The data store: one SQLite file, one connection, one query object.
// Every operation runs on the UI thread and never overlaps another; failures are
// silent and give the operation's value for "nothing found".
#pragma once

#include "store/records.h"

#include <QList>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

#include <memory>

extern QSqlDatabase storeDatabase;
extern QSqlQuery storeQuery;

void openDatabase();
void closeDatabase();

// Groups many writes into one transaction (the import stores thousands of rows).
// Both fail silently like every store operation; committing with no batch open is harmless.
bool beginBatch();
bool commitBatch();

// Accounts and the operation log.
int checkLogin(const QString &loginName, const QString &password);
void addLog(const LogRecord &record);
bool checkAdminPassword(const QString &password);
void setAdminPassword(const QString &password);

// A zero-filled log record holding the two texts (cut to their widths).
LogRecord makeLogRecord(const QString &type, const QString &describe);

// Serial-number pool. `filter` is a fragment of SQL conditions starting with " AND",
// built by the Serial page from its own fixed choices.
int countSerials(const QString &filter);
bool insertSerial(const SerialRecord &record);
bool serialExists(const QString &serialNumber);
void deleteSerial(const QString &serialNumber);
QString serialOfDevice(const QString &deviceSerialNum);
void markSerialUsed(const QString &serialNumber, const QString &deviceSerialNum,
                    const QString &deviceType, const QString &deviceIp);
QList<SerialRecord> pageSerials(int pageIndex, int pageSize, const QString &filter);
QList<SerialRecord> unusedSerials(int count, int customerId);

// Customers.
std::unique_ptr<CustomerRecord> customerById(int customerId);
void updateCustomer(const QString &customerName, const QString &customerValue,
                    const QString &hostAddr, int port);
QList<CustomerRecord> allCustomers();

// Log paging.
int countLogs();
QList<LogRecord> pageLogs(int pageIndex, int pageSize);
