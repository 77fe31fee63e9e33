// The pool's side of merging a station's file into it: what the pool records for the
// file's identifiers, devices, retired values, customers and log rows, and the writes a
// merge decides on, in batches (beginBatch .. commitBatch) on the calling thread's store
// connection. Deciding is the merge job's; this only reads and writes, binding every value.
#pragma once

#include <QHash>
#include <QSet>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

class StationMerge
{
public:
    StationMerge();
    // Gives back the server's merge lock and the file's cache size, if it took them.
    ~StationMerge();
    StationMerge(const StationMerge &) = delete;
    StationMerge &operator=(const StationMerge &) = delete;

    // The driver's text of the last read or write that failed.
    QString error() const { return error_; }

    bool isOpen() const;
    // The tables this version makes are there. False with error().
    bool checkTarget();
    // On the server, one merge at a time (its own advisory lock: imports do not wait for
    // it). On the file, which is the merge's alone, a larger page cache.
    enum class Lock {
        Taken,
        Busy,   // another merge holds it
        Failed, // the server could not be asked; error() says why
    };
    Lock takeLock();

    // A batch of the merge's writes. On the server each batch locks the tables it reads
    // and writes (lockTable), so no station's claim slips between its lookups and writes.
    bool begin();
    bool lockTable(const QString &table);
    bool commit();
    void rollback();

    // Table statistics taken again after many rows (the server plans its lookups by them).
    void refreshStatistics();

    // Customers by name, and their names by key.
    bool readCustomers(QHash<QString, qint64> *byName, QHash<qint64, QString> *names);
    bool addCustomer(const QString &name, const QString &value, const QString &host, int port, int checked);

    // For the lookups below: prepared once per merge.
    bool prepare();

    // Of `values`: those RetiredSerials holds.
    bool retiredOf(const QStringList &values, QSet<QString> *retired);
    // Of `values`: those the pool holds unused.
    bool unusedOf(const QStringList &values, QSet<QString> *unused);

    struct Retired {
        qint64 customerId = 0;
        QString serialNumber;
        int isUse = 0;
        QString deviceType, deviceSerialNum, deviceIp, date, station;
    };
    bool addRetired(const Retired &row);
    // Takes an identifier the pool holds unused out of SerialNumbers (it is retired).
    bool takeOutUnused(const QString &serialNumber);

    // What the pool records for an identifier: its strongest row (a burnt one outranks a
    // pending one, which outranks an unused one), as the claims read it.
    struct Held {
        bool present = false; // a row holds it
        qint64 customerId = 0;
        int isUse = 0;
        QString deviceSerialNum;
    };
    bool serialsOf(const QStringList &values, QHash<QString, Held> *held);
    // The identifier each device holds, used or pending (its strongest).
    struct Holding {
        QString serialNumber;
        int isUse = 0;
    };
    bool holdingsOf(const QStringList &devices, QHash<QString, Holding> *holdings);

    struct Serial {
        qint64 customerId = 0;
        QString serialNumber;
        int isUse = 0;
        QString deviceType, deviceSerialNum, deviceIp;
    };
    // New identifiers, several rows per statement, in their order.
    bool addSerials(const QVector<const Serial *> &rows);
    // An identifier unused in every row that holds it takes the row's state and device;
    // false (and nothing changed) when it is no longer unused.
    bool learnState(const Serial &row);
    // Pending for the row's device -> used; false when it no longer is.
    bool confirmPending(const Serial &row);

    // The pool's log rows of these stations (every row when they are many), each once.
    bool readLogs(const QStringList &stations,
                  const std::function<void(const QString &type, const QString &describe, const QString &date,
                                           const QString &station)> &row);
    struct LogRow {
        QString type, describe, date, station, user;
    };
    // Appends the rows, in their order, to the target's chain of each one's station (inside
    // the batch; on the server under each station's chain lock, as the stations' own rows).
    bool addLogs(const QVector<LogRow> &rows);

private:
    bool failed(const QSqlQuery &q);
    bool lookup(QSqlQuery &q, const QStringList &values, const std::function<void(QSqlQuery &)> &row);

    QSqlQuery retired_, unused_, addRetired_, takeOut_;
    QSqlQuery bySerial_, byDevice_, learn_, confirm_, insertSerials_;
    QSqlQuery insertLogs_, logHead_;
    bool locked_ = false;
    int cacheSize_ = 0; // the file's own, given back
    QString error_;
};
