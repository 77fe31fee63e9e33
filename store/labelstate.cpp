// The labels of confirmed identifiers: their copies and the states each goes through.
#include "store/datastore.h"
#include "store/storecore.h"

#include <QDateTime>
#include <QMutexLocker>

using namespace storecore;

namespace {

QString now()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString personName()
{
    const Person person = signedInPerson();
    return person.signedIn() ? person.name : QString();
}

bool insertCopy(const QString &serialNumber, const QString &deviceSerialNum, int copy, const QString &reason)
{
    return run(QStringLiteral("INSERT INTO Labels (SerialNumber, DeviceSerialNum, LabelCopy, LabelState, LabelReason, "
                              "DueDate, LabelStation, DueUser) VALUES (?, ?, ?, 0, ?, ?, ?, ?)"),
               {serialNumber, deviceSerialNum, copy, reason, now(), station, personName()});
}

// The placeholders' values come from the pool row as it is now (its device type and
// customer); a label's own row keeps the device it was made for.
const QString kLabelSelect = QStringLiteral(
    "SELECT l.LabelID, l.LabelCopy, l.SerialNumber, l.DeviceSerialNum, "
    "(SELECT s.DeviceType FROM SerialNumbers s WHERE s.SerialNumber=l.SerialNumber LIMIT 1), "
    "(SELECT c.CustomerName FROM SerialNumbers s JOIN Customers c ON c.CustomerID=s.CustomerID "
    "WHERE s.SerialNumber=l.SerialNumber LIMIT 1), "
    "l.DueDate, l.LabelStation, l.LabelPrinter FROM Labels l ");

} // namespace

bool labelsEnabled()
{
    const QMutexLocker lock(&settingsLock);
    return !openedSettings.labelPrinter.isEmpty();
}

bool queueLabel(const QString &serialNumber, const QString &deviceSerialNum)
{
    const StoreCall call;
    return writeInBatch([&] {
        return run(QStringLiteral("INSERT INTO Labels (SerialNumber, DeviceSerialNum, LabelCopy, LabelState, "
                                  "DueDate, LabelStation, DueUser) SELECT ?, ?, 1, 0, ?, ?, ? "
                                  "WHERE NOT EXISTS (SELECT 1 FROM Labels WHERE SerialNumber=?)"),
                   {serialNumber, deviceSerialNum, now(), station, personName(), serialNumber});
    });
}

bool stationLabels(LabelState state, int limit, QList<PendingLabel> *labels)
{
    const StoreCall call;
    labels->clear();
    if (!run(kLabelSelect
                 + QStringLiteral("WHERE l.LabelStation=? AND l.LabelState=? ORDER BY l.LabelID LIMIT %1")
                       .arg(rowLimit(limit)),
             {station, int(state)}))
        return false;
    while (storeQuery.next()) {
        PendingLabel l;
        l.labelId = storeQuery.value(0).toLongLong();
        l.copy = storeQuery.value(1).toInt();
        l.serialNumber = storeQuery.value(2).toString();
        l.deviceSerialNum = storeQuery.value(3).toString();
        l.deviceType = storeQuery.value(4).toString();
        l.customerName = storeQuery.value(5).toString();
        l.dueDate = storeQuery.value(6).toString();
        l.station = storeQuery.value(7).toString();
        l.printer = storeQuery.value(8).toString();
        labels->append(l);
    }
    storeQuery.finish();
    return true;
}

int countWaitingLabels()
{
    const StoreCall call;
    return firstInt(QStringLiteral("SELECT COUNT(*) FROM Labels WHERE LabelStation=? AND LabelState IN (0, 1)"),
                    {station}, -1);
}

bool beginLabelPrint(qint64 labelId, const QString &printer)
{
    const StoreCall call;
    bool moved = false;
    const bool done = writeInBatch([&] {
        const int n = changedRows(QStringLiteral("UPDATE Labels SET LabelState=1, LabelPrinter=?, LabelError=? "
                                                 "WHERE LabelID=? AND LabelState=0"),
                                  {printer, QString(), labelId});
        moved = n == 1;
        return n >= 0;
    });
    return done && moved;
}

bool endLabelPrint(qint64 labelId)
{
    const StoreCall call;
    return writeInBatch([&] {
        if (!run(QStringLiteral("SELECT SerialNumber, DeviceSerialNum, LabelCopy, LabelPrinter, LabelReason "
                                "FROM Labels WHERE LabelID=? AND LabelState=1"),
                 {labelId}))
            return false;
        if (!storeQuery.next()) {
            storeQuery.finish();
            fail(QStringLiteral("label %1 is not being sent").arg(labelId));
            return false;
        }
        SerialEvent e;
        e.kind = SerialEventKind::LabelPrinted;
        e.serialNumber = storeQuery.value(0).toString();
        e.deviceSerialNum = storeQuery.value(1).toString();
        const int copy = storeQuery.value(2).toInt();
        const QString printer = storeQuery.value(3).toString();
        const QString reason = storeQuery.value(4).toString();
        storeQuery.finish();
        // The detail names the copy and the printer; a reprint's reason follows.
        e.detail = QStringLiteral("copy %1 on %2").arg(copy).arg(printer);
        if (!reason.isEmpty())
            e.detail += QStringLiteral(": ") + reason;
        return changedRows(QStringLiteral(
                               "UPDATE Labels SET LabelState=2, PrintedDate=? WHERE LabelID=? AND LabelState=1"),
                           {now(), labelId})
            == 1
            && recordSerialEvent(e);
    });
}

bool returnLabel(qint64 labelId, const QString &why)
{
    const StoreCall call;
    return writeInBatch([&] {
        return changedRows(QStringLiteral(
                               "UPDATE Labels SET LabelState=0, LabelError=? WHERE LabelID=? AND LabelState=1"),
                           {why, labelId})
            == 1;
    });
}

bool failLabel(qint64 labelId, const QString &why, const LogRecord &logRow)
{
    const StoreCall call;
    return writeInBatch([&] {
        return changedRows(QStringLiteral("UPDATE Labels SET LabelState=3, LabelError=? "
                                          "WHERE LabelID=? AND LabelState IN (0, 1)"),
                           {why, labelId})
            == 1
            && addLog(logRow);
    });
}

ReprintResult reprintLabel(const QString &serialNumber, const QString &reason,
                           const std::function<LogRecord(int copy)> &logRow, int *copy)
{
    const StoreCall call;
    if (!signedInMay(Role::Supervisor))
        return ReprintResult::NotAllowed;
    if (reason.trimmed().isEmpty())
        return ReprintResult::NoReason;
    ReprintResult result = ReprintResult::Failed;
    const bool done = writeInBatch([&] {
        if (!run(QStringLiteral("SELECT DeviceSerialNum FROM SerialNumbers WHERE SerialNumber=? AND IsUse=1 LIMIT 1"),
                 {serialNumber}))
            return false;
        if (!storeQuery.next()) {
            storeQuery.finish();
            result = ReprintResult::NotUsed;
            return false;
        }
        const QString device = storeQuery.value(0).toString();
        storeQuery.finish();
        // The next copy after every copy made so far (copy 1 may never have been made: a
        // station without labels at the time).
        const int last = firstInt(QStringLiteral("SELECT COALESCE(MAX(LabelCopy), 0) FROM Labels WHERE SerialNumber=?"),
                                  {serialNumber}, -1);
        if (last < 0)
            return false;
        *copy = last + 1;
        SerialEvent asked;
        asked.kind = SerialEventKind::LabelReprint;
        asked.serialNumber = serialNumber;
        asked.deviceSerialNum = device;
        asked.detail = QStringLiteral("copy %1: %2").arg(QString::number(*copy), reason.trimmed());
        if (!insertCopy(serialNumber, device, *copy, reason.trimmed()) || !addLog(logRow(*copy))
            || !recordSerialEvent(asked))
            return false;
        result = ReprintResult::Queued;
        return true;
    });
    if (!done && result == ReprintResult::Queued)
        return ReprintResult::Failed;
    return done ? ReprintResult::Queued : result;
}

bool labelStatuses(const QStringList &serialNumbers, QHash<QString, LabelStatus> *statuses)
{
    const StoreCall call;
    statuses->clear();
    for (int from = 0; from < serialNumbers.size(); from += kChunk) {
        const int n = qMin(kChunk, serialNumbers.size() - from);
        QSqlQuery *q = execChunk(QStringLiteral(
                                     "SELECT SerialNumber, LabelCopy, LabelState, PrintedDate, LabelPrinter, "
                                     "LabelError, DueDate FROM Labels WHERE SerialNumber IN (%1) ORDER BY LabelCopy")
                                     .arg(placeholders(n, QStringLiteral("?"))),
                                 serialNumbers, from, n);
        if (!q)
            return false;
        // Ordered by copy: the latest copy is the last one seen.
        while (q->next()) {
            LabelStatus s;
            s.copy = q->value(1).toInt();
            s.state = LabelState(q->value(2).toInt());
            s.printedDate = q->value(3).toString();
            s.printer = q->value(4).toString();
            s.error = q->value(5).toString();
            s.dueDate = q->value(6).toString();
            statuses->insert(q->value(0).toString(), s);
        }
        q->finish();
    }
    return true;
}
