// The data store: one SQLite file, one connection, one query object.
// Every operation runs on the UI thread and never overlaps another. Reads that fail give
// the operation's value for "nothing found"; writes tell whether they took effect, and
// storeError() says why the last one did not.
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

// Groups writes into one transaction that takes the write lock at once (BEGIN IMMEDIATE).
// commitBatch() is true only when everything since beginBatch() is on disk; when the
// COMMIT fails the batch is rolled back, so no transaction stays open behind the caller.
// One batch at a time: beginBatch() with one open fails and leaves it open.
bool beginBatch();
bool commitBatch();
void rollbackBatch();
bool batchIsOpen();

// The driver's text for the last write or statement that failed.
QString storeError();

// Accounts and the operation log.
int checkLogin(const QString &loginName, const QString &password);
bool addLog(const LogRecord &record);
bool checkAdminPassword(const QString &password);
// True when the administrator's row was changed.
bool setAdminPassword(const QString &password);

// A zero-filled log record holding the two texts (cut to their widths).
LogRecord makeLogRecord(const QString &type, const QString &describe);

// Serial-number pool. `filter` is a fragment of SQL conditions starting with " AND",
// built by the Serial page from its own fixed choices.
int countSerials(const QString &filter);
bool insertSerial(const SerialRecord &record);
bool serialExists(const QString &serialNumber);
// True when the statement ran (a serial number no longer present is already deleted).
bool deleteSerial(const QString &serialNumber);
QString serialOfDevice(const QString &deviceSerialNum);
bool markSerialUsed(const QString &serialNumber, const QString &deviceSerialNum,
                    const QString &deviceType, const QString &deviceIp);
QList<SerialRecord> pageSerials(int pageIndex, int pageSize, const QString &filter);
QList<SerialRecord> unusedSerials(int count, int customerId);

// Customers.
std::unique_ptr<CustomerRecord> customerById(int customerId);
// True when exactly the named customer's row was changed.
bool updateCustomer(const QString &customerName, const QString &customerValue,
                    const QString &hostAddr, int port);
QList<CustomerRecord> allCustomers();

// Log paging.
int countLogs();
QList<LogRecord> pageLogs(int pageIndex, int pageSize);

// ---- Streaming read for the export ----------------------------------------------------
#include <functional>
// Visits every serial number of `filter` (as for pageSerials) in the Serial page's order,
// newest first, in chunks of a few thousand rows, so a pool of any size costs one chunk
// of memory. Stops early when `visit` returns false. False when a read failed
// (storeError() says why); rows already visited stay visited.
bool forEachSerial(const QString &filter, const std::function<bool(const SerialRecord &)> &visit);
