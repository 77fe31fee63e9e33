// The line's report without widgets: what the Report page draws, its export and
// tarnwell-admin report all come from these tables, so a chart, its table and the exported
// file agree row for row.
#pragma once

#include "formats/tablewriter.h"
#include "store/report.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

namespace jobs {

// One table of the report: a header and rows of texts. The first column names the row
// (an hour or day, a station, a person, a cause, a customer); the others are numbers
// written as plain decimals ("12", "93.5"), so a chart reads them back exactly.
struct ReportTable {
    QString name; // a stable key: "throughput", "people", "yield", "failures", "stock", "days-left"
    QString title;
    QStringList header;
    QList<QStringList> rows;
};

class Report
{
    Q_DECLARE_TR_FUNCTIONS(jobs::Report)
public:
    // Reads the store for [from, to) in the station's local time, whole hours (a from or to
    // inside an hour takes the whole hour). Rows are per hour for a range of up to two
    // days, else per day. False, with error, when the store could not answer.
    bool load(const QDateTime &from, const QDateTime &to);
    QString error;

    QDateTime from() const { return rangeFrom; }
    QDateTime to() const { return rangeTo; }
    bool perHour() const { return hourly; }

    // Devices confirmed (unique) per hour or day, a column per station and the total.
    const ReportTable &throughput() const { return tables.at(0); }
    // Per person: devices confirmed, devices written, confirmed on the first write, retries.
    const ReportTable &people() const { return tables.at(1); }
    // Per hour or day: devices written, confirmed on the first write, first-pass yield (%),
    // write tries, retries.
    const ReportTable &yield() const { return tables.at(2); }
    // Per cause (device refused with the SDK's answer, not confirmed, skipped and why, the
    // store stopped the pass): events and devices.
    const ReportTable &failures() const { return tables.at(3); }
    // Per hour or day: each customer's stock at its end (a column per customer). Empty
    // cells before the pool kept stock.
    const ReportTable &stock() const { return tables.at(4); }
    // Per customer: stock now, taken in the range, burn rate per day, projected days left
    // (empty when nothing was taken).
    const ReportTable &daysLeft() const { return tables.at(5); }
    const QList<ReportTable> &all() const { return tables; }

    // Totals over the range, for the page's summary line and checks.
    qint64 confirmedDevices() const { return totalConfirmed; }
    qint64 writtenDevices() const { return totalWritten; }
    qint64 firstPassDevices() const { return totalFirstPass; }

    // Every table, one after another: a title row, the header, the rows and an empty row
    // each (XLSX: the same rows on one sheet). False, with why, when the file could not be
    // written (nothing is left under its name).
    bool exportTo(const QString &path, TableWriter::Format format, QString *why) const;
    // The CSV text exportTo writes, for tarnwell-admin report.
    QByteArray csv() const;

private:
    QDateTime rangeFrom;
    QDateTime rangeTo;
    bool hourly = true;
    QList<ReportTable> tables = QList<ReportTable>()
        << ReportTable() << ReportTable() << ReportTable() << ReportTable() << ReportTable() << ReportTable();
    qint64 totalConfirmed = 0;
    qint64 totalWritten = 0;
    qint64 totalFirstPass = 0;
};

} // namespace jobs
