// The report's tables from the hour counts.
#include "jobs/report.h"

#include "base/csvfield.h"
#include "jobs/burnjob.h"

#include <QHash>
#include <QMap>
#include <QSet>

#include <algorithm>
#include <memory>

namespace jobs {

namespace {

const QString kHourFormat = QStringLiteral("yyyy-MM-dd HH");

QString hourText(const QDateTime &t)
{
    return t.toString(kHourFormat);
}

QString number(qint64 n)
{
    return QString::number(n);
}

// One decimal, always with the point ("93.5"): QString::number is locale-free.
QString decimal(double v)
{
    return QString::number(v, 'f', 1);
}

bool confirms(SerialEventKind kind)
{
    return kind == SerialEventKind::Confirmed || kind == SerialEventKind::Recorded;
}

bool writes(SerialEventKind kind)
{
    return kind == SerialEventKind::Written || kind == SerialEventKind::WriteFailed;
}

// The rows of the range: each bucket's label and the hour its end falls on (hour text), so
// every hour or day has its row even when nothing happened in it.
struct Buckets {
    QStringList labels;
    QStringList ends;
    QHash<QString, int> index;

    int of(const QString &hour, bool hourly) const { return index.value(hourly ? hour : hour.left(10), -1); }
};

Buckets bucketsOf(const QDateTime &from, const QDateTime &to, bool hourly)
{
    Buckets b;
    // Local hours: a day that skips an hour has 23 rows, one that repeats an hour keeps one
    // row for its two (they share the text the events are counted under).
    for (QDateTime t = from; t < to; t = t.addSecs(3600)) {
        const QString hour = hourText(t);
        const QString label = hourly ? hour : hour.left(10);
        if (b.index.contains(label)) {
            if (!hourly)
                continue;
            b.ends.last() = hourText(t.addSecs(3600));
            continue;
        }
        b.index.insert(label, b.labels.size());
        b.labels << label;
        b.ends << (hourly ? hourText(t.addSecs(3600))
                          : hourText(QDateTime(QDate::fromString(label, Qt::ISODate).addDays(1), QTime(0, 0))));
    }
    return b;
}

QString skipWords(const QString &code)
{
    for (int reason = BurnSkip::NoCustomer; reason <= BurnSkip::NotOfOrder; ++reason) {
        if (burnSkipCode(reason) != code)
            continue;
        // The event keeps the reason alone: the texts that name a number get words without it.
        switch (reason) {
        case BurnSkip::NoCustomer:
            return Report::tr("no such customer");
        case BurnSkip::PortOutOfRange:
            return Report::tr("port out of range");
        case BurnSkip::OrderFull:
            return Report::tr("work order complete");
        case BurnSkip::NotOfOrder:
            return Report::tr("device not of the work order's customer and type");
        default:
            return BurnJob::skipText({BurnSkip::Reason(reason), 0});
        }
    }
    return code;
}

QString stopWords(const QString &code)
{
    for (int cause = BurnStop::ClaimFailed; cause <= BurnStop::ReadFailed; ++cause) {
        if (burnStopCode(cause) != code)
            continue;
        switch (BurnStop::Cause(cause)) {
        case BurnStop::ClaimFailed:
            return Report::tr("a claim could not be recorded");
        case BurnStop::RecordFailed:
            return Report::tr("a written device could not be recorded");
        case BurnStop::NotPending:
            return Report::tr("the uuid was no longer pending for its device");
        case BurnStop::LogFailed:
            return Report::tr("the operation log could not be written");
        case BurnStop::ReadFailed:
            return Report::tr("the pool could not be read");
        case BurnStop::None:
            break;
        }
    }
    return code;
}

// The words of a failure's cause; empty for the kinds that are no failure.
QString causeWords(const EventHour &h)
{
    switch (h.kind) {
    case SerialEventKind::WriteFailed:
        return Report::tr("Device refused (SDK answer %1)").arg(h.cause);
    case SerialEventKind::NotConfirmed:
        return h.cause == QLatin1String("silent") ? Report::tr("Not confirmed: no answer")
                                                  : Report::tr("Not confirmed: other identifier");
    case SerialEventKind::Skipped:
        return Report::tr("Skipped: %1").arg(skipWords(h.cause));
    case SerialEventKind::PassStopped:
        return Report::tr("Store stopped the pass: %1").arg(stopWords(h.cause));
    default:
        return QString();
    }
}

struct PersonCounts {
    qint64 confirmed = 0;
    qint64 written = 0;
    qint64 firstPass = 0;
    qint64 tries = 0;
};

struct Failure {
    QString cause;
    qint64 events = 0;
    qint64 devices = 0;
};

QList<QByteArray> utf8(const QStringList &cells)
{
    QList<QByteArray> out;
    out.reserve(cells.size());
    for (const QString &c : cells)
        out << c.toUtf8();
    return out;
}

// Every table as it goes to a file: its title, header, rows and an empty row.
QList<QStringList> fileRows(const QList<ReportTable> &tables)
{
    QList<QStringList> out;
    for (const ReportTable &t : tables) {
        out << QStringList{t.title} << t.header << t.rows << QStringList();
    }
    return out;
}

} // namespace

bool Report::load(const QDateTime &from, const QDateTime &to)
{
    error.clear();
    // Whole hours: a from inside an hour takes the hour from its start, a to inside one up to its end.
    const QDateTime fromLocal = from.toLocalTime();
    const QDateTime toLocal = to.toLocalTime();
    rangeFrom = QDateTime(fromLocal.date(), QTime(fromLocal.time().hour(), 0));
    rangeTo = QDateTime(toLocal.date(), QTime(toLocal.time().hour(), 0));
    if (rangeTo < toLocal)
        rangeTo = rangeTo.addSecs(3600);
    if (rangeTo < rangeFrom)
        rangeTo = rangeFrom;
    hourly = rangeFrom.secsTo(rangeTo) <= 48 * 3600;
    totalConfirmed = totalWritten = totalFirstPass = 0;
    for (ReportTable &t : tables)
        t.rows.clear();

    const QString fromHour = hourText(rangeFrom);
    const QString toHour = hourText(rangeTo);
    QList<EventHour> events;
    QList<StockHour> stockChanges;
    QList<CustomerStockNow> customers;
    if (!eventHours(fromHour, toHour, &events) || !stockHours(fromHour, &stockChanges) || !customerStocks(&customers)) {
        error = tr("The report could not be read from the pool: %1").arg(storeError());
        return false;
    }
    const QString firstKept = firstStockHour();
    const QString nowHour = hourText(QDateTime::currentDateTime());

    const Buckets buckets = bucketsOf(rangeFrom, rangeTo, hourly);
    const int n = buckets.labels.size();
    const QString bucketWord = hourly ? tr("Hour") : tr("Day");

    // Throughput and yield per bucket, people, failures.
    QStringList stations;
    QMap<QString, QVector<qint64>> confirmedAt; // station -> per bucket
    QVector<qint64> written(n), firstPass(n), tries(n);
    QMap<QString, PersonCounts> people;
    QMap<QString, Failure> failures; // by cause words
    for (const EventHour &h : qAsConst(events)) {
        const int b = buckets.of(h.hour, hourly);
        if (b < 0)
            continue;
        PersonCounts &p = people[h.person];
        if (confirms(h.kind)) {
            QVector<qint64> &perBucket = confirmedAt[h.station];
            if (perBucket.isEmpty())
                perBucket.resize(n);
            perBucket[b] += h.devices;
            firstPass[b] += h.firstPass;
            p.confirmed += h.devices;
            p.firstPass += h.firstPass;
            totalConfirmed += h.devices;
            totalFirstPass += h.firstPass;
        } else if (writes(h.kind)) {
            written[b] += h.devices;
            tries[b] += h.events;
            p.written += h.devices;
            p.tries += h.events;
            totalWritten += h.devices;
        }
        const QString cause = causeWords(h);
        if (!cause.isEmpty()) {
            Failure &f = failures[cause];
            f.cause = cause;
            f.events += h.events;
            f.devices += h.devices;
        }
    }
    stations = confirmedAt.keys(); // QMap: sorted

    ReportTable &through = tables[0];
    through.name = QStringLiteral("throughput");
    through.title = hourly ? tr("Devices confirmed per hour") : tr("Devices confirmed per day");
    through.header = QStringList{bucketWord} << stations << tr("Total");
    for (int b = 0; b < n; ++b) {
        QStringList row{buckets.labels.at(b)};
        qint64 total = 0;
        for (const QString &s : qAsConst(stations)) {
            const qint64 v = confirmedAt.value(s).value(b);
            row << number(v);
            total += v;
        }
        through.rows << (row << number(total));
    }

    ReportTable &who = tables[1];
    who.name = QStringLiteral("people");
    who.title = tr("Devices per person");
    who.header = QStringList{tr("Person"),          tr("Confirmed devices"),
                             tr("Written devices"), tr("First-pass devices"),
                             tr("Write tries"),     tr("Retries")};
    for (auto it = people.cbegin(); it != people.cend(); ++it) {
        const PersonCounts &p = it.value();
        if (p.confirmed == 0 && p.written == 0 && p.tries == 0)
            continue;
        who.rows << QStringList{it.key().isEmpty() ? tr("(nobody)") : it.key(),
                                number(p.confirmed),
                                number(p.written),
                                number(p.firstPass),
                                number(p.tries),
                                number(p.tries - p.written)};
    }

    ReportTable &yieldTable = tables[2];
    yieldTable.name = QStringLiteral("yield");
    yieldTable.title = hourly ? tr("First-pass yield per hour") : tr("First-pass yield per day");
    yieldTable.header =
        QStringList{bucketWord,        tr("Written devices"), tr("First-pass devices"), tr("First-pass yield %"),
                    tr("Write tries"), tr("Retries")};
    for (int b = 0; b < n; ++b)
        yieldTable.rows << QStringList{buckets.labels.at(b),
                                       number(written.at(b)),
                                       number(firstPass.at(b)),
                                       written.at(b) > 0 ? decimal(100.0 * firstPass.at(b) / written.at(b)) : QString(),
                                       number(tries.at(b)),
                                       number(tries.at(b) - written.at(b))};

    ReportTable &failed = tables[3];
    failed.name = QStringLiteral("failures");
    failed.title = tr("Failures by cause");
    failed.header = QStringList{tr("Cause"), tr("Events"), tr("Devices")};
    QList<Failure> byEvents = failures.values();
    std::stable_sort(byEvents.begin(), byEvents.end(),
                     [](const Failure &a, const Failure &b) { return a.events > b.events; });
    for (const Failure &f : qAsConst(byEvents))
        failed.rows << QStringList{f.cause, number(f.events), number(f.devices)};

    // Stock: worked back from now through every kept hour after the bucket's end.
    std::sort(customers.begin(), customers.end(),
              [](const CustomerStockNow &a, const CustomerStockNow &b) { return a.customerId < b.customerId; });
    QHash<int, qint64> takenInRange;
    for (const StockHour &s : qAsConst(stockChanges))
        if (s.hour >= fromHour && s.hour < toHour)
            takenInRange[s.customerId] += s.taken;

    ReportTable &stockTable = tables[4];
    stockTable.name = QStringLiteral("stock");
    stockTable.title = hourly ? tr("Stock at the end of each hour") : tr("Stock at the end of each day");
    stockTable.header = QStringList{bucketWord};
    for (const CustomerStockNow &c : qAsConst(customers))
        stockTable.header << c.customerName;
    // The net change of every kept hour at or after each bucket's end, per customer: one walk
    // back through both (a range months ago reads every hour since, once).
    std::stable_sort(stockChanges.begin(), stockChanges.end(),
                     [](const StockHour &a, const StockHour &b) { return a.hour < b.hour; });
    QVector<QHash<int, qint64>> netAfter(n);
    QHash<int, qint64> net;
    int next = stockChanges.size();
    for (int b = n - 1; b >= 0; --b) {
        for (; next > 0 && stockChanges.at(next - 1).hour >= buckets.ends.at(b); --next)
            net[stockChanges.at(next - 1).customerId] += stockChanges.at(next - 1).added
                - stockChanges.at(next - 1).taken;
        netAfter[b] = net;
    }
    for (int b = 0; b < n; ++b) {
        const QString end = buckets.ends.at(b);
        QStringList row{buckets.labels.at(b)};
        // Known once the pool kept every change after the bucket's end; a bucket that has
        // not begun yet has no stock.
        const bool began = (hourly ? buckets.labels.at(b) : buckets.labels.at(b) + QStringLiteral(" 00")) <= nowHour;
        const bool known = began && (end > nowHour || (!firstKept.isEmpty() && end > firstKept));
        for (const CustomerStockNow &c : qAsConst(customers)) {
            if (!known) {
                row << QString();
                continue;
            }
            row << number(c.unused - netAfter.at(b).value(c.customerId));
        }
        stockTable.rows << row;
    }

    ReportTable &left = tables[5];
    left.name = QStringLiteral("days-left");
    left.title = tr("Days of stock left");
    left.header = QStringList{tr("Customer"), tr("Stock now"), tr("Taken in range"), tr("Burn rate per day"),
                              tr("Days left")};
    const double days = rangeFrom.secsTo(rangeTo) / 86400.0;
    for (const CustomerStockNow &c : qAsConst(customers)) {
        const qint64 taken = takenInRange.value(c.customerId);
        const double rate = days > 0 ? taken / days : 0;
        left.rows << QStringList{c.customerName, number(c.unused), number(taken), decimal(rate),
                                 rate > 0 ? decimal(c.unused / rate) : QString()};
    }
    return true;
}

bool Report::exportTo(const QString &path, TableWriter::Format format, QString *why) const
{
    std::unique_ptr<TableWriter> writer = TableWriter::create(format);
    writer->sheetName = QStringLiteral("Report");
    bool ok = writer->open(path);
    const QList<QStringList> rows = fileRows(tables);
    for (int i = 0; ok && i < rows.size(); ++i)
        ok = writer->row(utf8(rows.at(i)));
    ok = ok && writer->commit();
    if (!ok && why)
        *why = writer->error;
    return ok;
}

QByteArray Report::csv() const
{
    // The file's rules without its byte order mark: a plant system reads plain UTF-8.
    QByteArray out;
    const QList<QStringList> rows = fileRows(tables);
    for (const QStringList &row : rows) {
        for (int i = 0; i < row.size(); ++i) {
            if (i > 0)
                out += ',';
            const QByteArray field = row.at(i).toUtf8();
            csvfield::append(out, field.constData(), std::size_t(field.size()));
        }
        out += "\r\n";
    }
    return out;
}

} // namespace jobs
