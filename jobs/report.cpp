// The report's tables from the hour counts.
#include "jobs/report.h"

// A stand-in until the tables are built from the hour counts: the range is taken, the
// tables stay empty, and nothing is exported.
namespace jobs {

bool Report::load(const QDateTime &from, const QDateTime &to)
{
    rangeFrom = from;
    rangeTo = to;
    hourly = from.secsTo(to) <= 48 * 3600;
    return true;
}

bool Report::exportTo(const QString &, TableWriter::Format, QString *why) const
{
    if (why)
        *why = QStringLiteral("the report's tables are not built yet");
    return false;
}

QByteArray Report::csv() const
{
    return QByteArray();
}

} // namespace jobs
