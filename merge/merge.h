// Merging a station's own pool file into the pool the station now shares (the store that
// tarnwell.ini names in the working folder). The station file is only read.
#pragma once

#include <QHash>
#include <QSqlDatabase>
#include <QString>
#include <QVector>

#include <functional>

struct MergeOptions {
    QString stationFile;
    // Station of the file's log rows that name none (else the file's base name).
    QString station;
    QString reportPath;
    // Identifiers (and log rows) per transaction; 0: the engine's own. On the server a batch
    // holds the stations' claims back while it runs, so it stays short; the file is the
    // merge's alone, and there larger batches write each index page fewer times.
    int batchSize = 0;
    static const int kServerBatch = 2000;
    static const int kFileBatch = 50000;
};

struct MergeCounts {
    qint64 copied = 0;          // identifiers only in the file, now in the target
    qint64 present = 0;         // identifiers the target already holds as the file does (or knows more of)
    qint64 updated = 0;         // unused (or pending for the same device) in the target, now as in the file
    qint64 conflicts = 0;       // left as they are, listed in the report
    qint64 refused = 0;         // values or states a device cannot take, listed in the report, never stored
    qint64 retired = 0;         // retired in the target, listed in the report, never stored again
    qint64 retiredCopied = 0;   // the file's retired identifiers the target had no record of
    qint64 retiredInTarget = 0; // unused in the target, used or pending when the station retired them
    qint64 customersAdded = 0;
    qint64 logsCopied = 0;
    qint64 logsPresent = 0;
};

// One identifier the merge left alone, for the report.
struct MergeConflict {
    QString serialNumber;
    QString customer;
    QString fileDevice;
    QString fileState;
    QString targetDevice;
    QString targetState;
    QString reason;
};

class StationMerge
{
public:
    explicit StationMerge(MergeOptions options);
    ~StationMerge();
    StationMerge(const StationMerge &) = delete;
    StationMerge &operator=(const StationMerge &) = delete;

    // Opens and checks the station file (before the target is touched).
    bool openStationFile();
    // Merges customers, identifiers and log rows into the open store, then writes the report.
    // False on an error (error() says what; whole batches before it stay committed).
    bool run();

    const MergeCounts &counts() const { return counts_; }
    const QVector<MergeConflict> &conflicts() const { return conflicts_; }
    QString error() const { return error_; }
    // Where the report went (after run()).
    QString reportPath() const { return options_.reportPath; }
    // The station given to the file's log rows that name none.
    QString fallbackStation() const;

private:
    struct Customer {
        QString name;
        qint64 targetId = 0;
    };

    bool fail(const QString &message);
    bool mergeCustomers();
    bool mergeRetired();
    bool mergeSerials();
    bool mergeLogs();
    bool writeReport();

    MergeOptions options_;
    QString connectionName_;
    QSqlDatabase station_;
    bool logsHaveStation_ = false;
    QHash<qint64, Customer> customers_; // by the file's CustomerID
    QHash<qint64, QString> targetCustomerNames_;
    MergeCounts counts_;
    QVector<MergeConflict> conflicts_;
    QString error_;
};
