// The export run: every row of one filter of the pool to a CSV or XLSX file, and its log
// row. No widget, no box: the outcome comes back in ExportResult.
#pragma once

#include "formats/tablewriter.h"
#include "jobs/joblistener.h"
#include "store/datastore.h"

#include <QCoreApplication>
#include <QString>

namespace jobs {

// progress(rows written, rows the filter counted), at most every few tenths of a second.
class ExportListener : public JobListener
{
};

// Beside a successful export the heads of the log's chains go to <file>.loghead (text), so
// verify-log can later tell whether rows were cut off the log's end since.
struct ExportResult {
    bool ok = false;
    qint64 written = 0;
    QString failure;     // why it failed: nothing is then left under the file's name
    bool logged = false; // the log row and the heads file were written
    QString logFailure;
};

class ExportJob
{
    Q_DECLARE_TR_FUNCTIONS(ExportJob)
public:
    // The store's selection of the pool's rows, as countSerials and forEachSerial take it.
    using Filter = SerialFilter;

    ExportJob(const QString &path, TableWriter::Format format, const Filter &filter);
    ExportResult run(ExportListener &listener);
    static QString logHeadsPath(const QString &exportPath);

private:
    void writeLogHeads(ExportResult *result) const;

    const QString path;
    const TableWriter::Format format;
    const Filter filter;
};

} // namespace jobs
