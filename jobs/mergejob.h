// Merging a station's own pool file into the pool the store has open: its customers, its
// retired values, its identifiers (each decided against what the pool records: copied,
// learnt, present, or left as it is and listed) and its log rows, then the report of what
// was left alone. The station file is only read. Whole batches are committed; a failure
// stops the merge with a message saying what is merged, and the same merge run again
// finishes the work (nothing is ever stored twice).
#pragma once

#include "jobs/joblistener.h"

#include <QHash>
#include <QString>
#include <QVector>

#include <memory>

class StationFile;
class StationMerge;

namespace jobs {

struct MergeOptions {
    QString stationFile;
    // Station of the file's log rows that name none (else the file's base name).
    QString station;
    QString reportPath;
    // How the messages name the pool the store has open.
    QString targetName;
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

class MergeListener : public JobListener
{
public:
    enum class Stop {
        StationFile, // the file cannot be trusted or read; nothing was merged
        Target,      // the pool cannot be used
        Busy,        // another merge runs on the server
        Write,       // a batch could not be written; the batches before it are merged
        Cancelled,   // asked to stop; the batches before are merged
        Report,      // merged, but the report could not be written
    };
    // The station file is checked and the pool locked: the merge starts.
    virtual void started();
    // The merge stopped before its end; `message` says why and what is merged.
    virtual void stopped(Stop reason, const QString &message);
};

class MergeJob
{
public:
    explicit MergeJob(MergeOptions options);
    ~MergeJob();
    MergeJob(const MergeJob &) = delete;
    MergeJob &operator=(const MergeJob &) = delete;

    // Opens and checks the station file, before the pool is touched.
    bool openStationFile(MergeListener *listener);
    // Merges into the store's open pool, then writes the report. progress() counts the
    // file's identifier rows in committed batches. False when it stopped (error() says why).
    bool run(MergeListener *listener);

    const MergeCounts &counts() const { return counts_; }
    const QVector<MergeConflict> &conflicts() const { return conflicts_; }
    QString error() const { return error_; }
    QString reportPath() const { return options_.reportPath; }
    // The station given to the file's log rows that name none.
    QString fallbackStation() const;

private:
    struct Customer {
        QString name;
        qint64 targetId = 0;
    };

    bool fail(MergeListener::Stop reason, const QString &message);
    bool merge();
    bool mergeCustomers();
    bool mergeRetired();
    bool mergeSerials();
    bool mergeLogs();
    bool writeReport();

    MergeOptions options_;
    std::unique_ptr<StationFile> file_;
    std::unique_ptr<StationMerge> pool_;
    MergeListener *listener_ = nullptr;
    QHash<qint64, Customer> customers_; // by the file's CustomerID
    QHash<qint64, QString> targetCustomerNames_;
    MergeCounts counts_;
    QVector<MergeConflict> conflicts_;
    QString error_;
};

} // namespace jobs
