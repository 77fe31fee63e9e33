// A station's own pool file (one this program wrote, of this version or an earlier one),
// read for a merge and never written: opened read only, and refused before anything of it
// is believed when it is locked, needs recovery, was not closed cleanly or is damaged.
// Values are read as the bytes stored, so the rules a device sets can be applied to them.
#pragma once

#include <QByteArray>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

class StationFile
{
public:
    // `path` as the operator named it: the messages repeat it.
    explicit StationFile(QString path);
    ~StationFile();
    StationFile(const StationFile &) = delete;
    StationFile &operator=(const StationFile &) = delete;

    // Opens and checks the whole file. False with error() saying why (and what to do).
    bool open();
    QString error() const { return error_; }
    QString path() const { return path_; }

    struct Customer {
        qint64 id = 0;
        QString name;
        QVariant value, host, port, checked;
    };
    bool readCustomers(QVector<Customer> *customers);

    // One identifier row, with the reason a device could not take it (empty when it can).
    struct Serial {
        QByteArray bytes; // as stored, so values that are not text stay apart
        QString serialNumber;
        QString refused;
        qint64 fileRow = 0; // its SNID
        qint64 customerId = 0;
        int isUse = 0;
        QString state; // the state as the file holds it, for the report
        QString deviceType, deviceSerialNum, deviceIp;
    };
    // The identifiers in the file's order: startSerials(), then nextSerial() until it is
    // false; readFailed() then tells a read error (error() says which) from the end.
    bool startSerials();
    bool nextSerial(Serial *row);

    struct Retired {
        QByteArray bytes;
        QString serialNumber;
        QString refused;
        qint64 fileRow = 0; // its RSID
        qint64 customerId = 0;
        int isUse = 0; // as it was when the station retired it
        QString deviceType, deviceSerialNum, deviceIp, date;
        QString station; // empty when the row names none
    };
    // Empty for files of earlier versions, which retired nothing.
    bool readRetired(QVector<Retired> *rows);

    // The stations the log rows name (empty for rows that name none, and for every row of
    // files from before the station column).
    bool readLogStations(QStringList *stations);
    struct LogRow {
        QString type, describe, date, station;
        QString user; // empty for rows that name no person
    };
    // Walks the file's own log chains: false, with error() naming the first row that breaks
    // one. A broken chain is not copied: in the target its rows would get a new, sound chain.
    bool checkLogChain();
    bool startLogs();
    bool nextLog(LogRow *row);

    bool readFailed() const { return readFailed_; }

    // Used, unused, pending (or the number of a state that is none).
    static QString stateName(int isUse);
    // The rules the import applies to a value before it stores one: empty when a device can
    // take it as it is, else why not.
    static QString refusalOf(const QByteArray &bytes);
    // A stored value for a report: its text, or its bytes escaped; long ones cut.
    static QString shown(const QByteArray &bytes);

private:
    bool fail(const QString &message);
    bool readEnd(const QString &what);

    QString path_;
    QString connectionName_;
    QSqlDatabase db_;
    QSqlQuery rows_;
    qint64 read_ = 0;
    bool readFailed_ = false;
    bool logsHaveStation_ = false;
    bool logsHaveUser_ = false;
    bool logsHaveHash_ = false;
    QString error_;
};
