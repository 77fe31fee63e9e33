#include "jobs/exportjob.h"

#include "formats/exportformat.h"
#include "store/datastore.h"
#include "store/logchain.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QSaveFile>

namespace jobs {

namespace {

const int kProgressIntervalMs = 100;

// One exported row as the table shows it, as UTF-8 (the fields already are). `states`
// holds the Is-used texts by IsUse; a state without one is written as its number, which
// an import refuses rather than taking it for unused. The Label column comes last.
QList<QByteArray> rowOf(const SerialBytes &r, const QList<QByteArray> &states)
{
    const QByteArray state = r.isUse >= 0 && r.isUse < states.size() ? states.at(r.isUse) : QByteArray::number(r.isUse);
    const QByteArray label = r.labelState < 0
        ? QByteArray()
        : exportformat::labelText(r.labelState, r.labelCopy, QString::fromUtf8(r.labelError)).toUtf8();
    return {r.serialNumber, r.customerName, state, r.deviceType, r.deviceSerialNum, r.deviceIp, label};
}

QList<QByteArray> utf8(const QStringList &texts)
{
    QList<QByteArray> out;
    for (const QString &t : texts)
        out << t.toUtf8();
    return out;
}

} // namespace

QString ExportJob::logHeadsPath(const QString &exportPath)
{
    return exportPath + QStringLiteral(".loghead");
}

void ExportJob::writeLogHeads(ExportResult *result) const
{
    // Read after the export's own log row, so cutting that row off shows too.
    QList<logchain::Head> heads;
    QString why;
    if (!readLogChainHeads(&heads)) {
        why = storeError();
    } else {
        QSaveFile file(logHeadsPath(path));
        if (!file.open(QIODevice::WriteOnly) || file.write(logchain::formatHeads(heads)) < 0 || !file.commit())
            why = file.errorString();
    }
    if (why.isEmpty())
        return;
    // The export stands; what is missing is the log's proof of it, which the page reports
    // as it reports a log row that was not written.
    result->logged = false;
    const QString headsFailure = tr("the log heads could not be written to %1: %2").arg(logHeadsPath(path), why);
    result->logFailure = result->logFailure.isEmpty() ? headsFailure
                                                      : result->logFailure + QStringLiteral("; ") + headsFailure;
}

ExportJob::ExportJob(const QString &filePath, TableWriter::Format fileFormat, const Filter &rows)
    : path(filePath)
    , format(fileFormat)
    , filter(rows)
{
}

ExportResult ExportJob::run(ExportListener &listener)
{
    ExportResult result;
    const QString name = QFileInfo(path).fileName();
    const int total = countSerials(filter);
    QList<QByteArray> states;
    for (int isUse = 0; isUse < exportformat::kStates; ++isUse)
        states << exportformat::stateText(isUse).toUtf8();

    std::unique_ptr<TableWriter> writer = TableWriter::create(format);
    bool ok = writer->open(path) && writer->row(utf8(exportformat::header() << exportformat::labelTitle()));
    QString why;
    if (ok) {
        QElapsedTimer sinceEvents;
        sinceEvents.start();
        const bool read = forEachSerial(filter, [&](const SerialBytes &r) {
            if (!writer->row(rowOf(r, states)))
                return false;
            ++result.written;
            if (sinceEvents.elapsed() >= kProgressIntervalMs) {
                listener.progress(result.written, total);
                sinceEvents.restart();
            }
            return true;
        });
        if (!read)
            why = storeError();
        ok = read && writer->error.isEmpty() && writer->commit();
    }
    if (!ok && why.isEmpty())
        why = writer->error;
    writer.reset(); // removes what a failed export left behind

    result.ok = ok;
    result.failure = why;
    result.logged = addLog(makeLogRecord(tr("Export serial number"),
                                         ok ? tr("Export %1 serial numbers to %2").arg(result.written).arg(name)
                                            : tr("Export to %1 failed: %2").arg(name, why)));
    if (!result.logged)
        result.logFailure = storeError();
    if (ok)
        writeLogHeads(&result);
    return result;
}

} // namespace jobs
