#include "merge/merge.h"

#include "base/csvfield.h"
#include "store/datastore.h"
#include "store/fixedfield.h"
#include "store/storeconnection.h"

#include "base/utf8.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUrl>
#include <QVariant>

#include <cstring>
#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif
#include <unordered_map>
#include <utility>

namespace {

// Values per IN (...) lookup and rows per multi-row INSERT: well inside both engines'
// limits on bound parameters, large enough that a round trip carries real work.
const int kLookupChunk = 500;
const int kInsertChunk = 250;

QString stateName(int isUse)
{
    switch (isUse) {
    case SerialUnused:
        return QStringLiteral("unused");
    case SerialUsed:
        return QStringLiteral("used");
    case SerialPending:
        return QStringLiteral("pending");
    default:
        return QStringLiteral("state %1").arg(isUse);
    }
}

bool knownState(int isUse)
{
    return isUse == SerialUnused || isUse == SerialUsed || isUse == SerialPending;
}

// The store keeps texts, never NULL, in the columns it compares.
QString text(const QVariant &v)
{
    const QString s = v.toString();
    return s.isNull() ? QStringLiteral("") : s;
}

// "(?,?,?),(?,?,?)": `rows` groups of `columns` placeholders.
QString placeholders(int rows, int columns)
{
    QString group = QStringLiteral("(?");
    for (int c = 1; c < columns; ++c)
        group += QStringLiteral(",?");
    group += QLatin1Char(')');
    QString all;
    all.reserve(rows * (group.size() + 1));
    for (int r = 0; r < rows; ++r) {
        if (r > 0)
            all += QLatin1Char(',');
        all += group;
    }
    return all;
}

QString queryError(const QSqlQuery &q)
{
    return q.lastError().text().trimmed();
}

// One identifier row of the station file, its customer mapped to the target's.
struct FileSerial {
    QString serialNumber;
    QByteArray bytes;   // as stored, so values that are not text stay apart
    qint64 fileRow = 0; // its SNID in the file
    QString refused;    // why the value or its state cannot be taken, or empty
    qint64 fileCustomerId = 0;
    bool customerKnown = false; // the file has a customer row for fileCustomerId
    QString customerName;
    qint64 targetCustomerId = 0;
    int isUse = SerialUnused;
    QString fileState; // the state as the file holds it, for the report
    QString deviceType;
    QString deviceSerialNum;
    QString deviceIp;
};

// A stored value for the report: the text when it is text, else its bytes escaped; long
// ones cut, with their length (the reason names the file's row, so none is mistaken).
QString shown(const QByteArray &bytes)
{
    const int kShown = 64;
    QString out;
    if (!bytes.contains('\0') && utf8::valid(bytes.constData(), std::size_t(bytes.size()))) {
        out = QString::fromUtf8(bytes.left(fixedfield::cutLength(bytes, kShown)));
    } else {
        for (int i = 0; i < qMin(kShown, bytes.size()); ++i) {
            const unsigned char c = static_cast<unsigned char>(bytes.at(i));
            if (c >= 0x20 && c < 0x7F && c != '\\')
                out += QLatin1Char(char(c));
            else
                out += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
        }
    }
    if (bytes.size() > kShown)
        out += QStringLiteral("... (%1 bytes)").arg(bytes.size());
    return out;
}

// The rules the import applies to a value before it stores one: a device must be able to
// take it as it is. Empty when it may be stored, else why not.
QString refusalOf(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return QStringLiteral("the identifier is empty");
    if (bytes.contains('\0'))
        return QStringLiteral("the identifier holds a NUL byte");
    if (!utf8::valid(bytes.constData(), std::size_t(bytes.size())))
        return QStringLiteral("the identifier is not valid UTF-8");
    if (QString::fromUtf8(bytes).trimmed().isEmpty())
        return QStringLiteral("the identifier is only blanks");
    if (!fixedfield::fitsWithNul(bytes, sizeof(SerialRecord::serialNumber)))
        return QStringLiteral("the identifier is %1 bytes long; a device takes at most %2")
            .arg(bytes.size())
            .arg(sizeof(SerialRecord::serialNumber) - 1);
    return QString();
}

// What the target records for an identifier: its strongest row (a burnt one outranks a
// pending one, which outranks an unused one), as the claims read it.
struct TargetSerial {
    bool present = false;
    qint64 customerId = 0;
    int isUse = SerialUnused;
    QString deviceSerialNum;
};

int rank(int isUse)
{
    return isUse == SerialUsed ? 3 : isUse == SerialPending ? 2 : isUse == SerialUnused ? 0 : 1;
}

// What the target records for a device: the identifier it holds (used or pending).
struct Holding {
    QString serialNumber;
    int isUse = SerialUnused;
};

// Log rows are matched on their four texts. The digest of those keeps the memory per row
// small whatever their length; a collision of two different rows is out of reach.
struct LogKey {
    quint64 a = 0;
    quint64 b = 0;
    bool operator==(const LogKey &o) const { return a == o.a && b == o.b; }
};
struct LogKeyHash {
    std::size_t operator()(const LogKey &k) const { return std::size_t(k.a ^ (k.b * 0x9E3779B97F4A7C15ULL)); }
};

LogKey logKey(const QString &type, const QString &describe, const QString &date, const QString &station)
{
    QCryptographicHash h(QCryptographicHash::Md5);
    // Each text with its length ahead, so no split of the texts can read as another.
    for (const QString *s : {&type, &describe, &date, &station}) {
        const QByteArray bytes = s->toUtf8();
        const quint32 n = quint32(bytes.size());
        h.addData(reinterpret_cast<const char *>(&n), sizeof n);
        h.addData(bytes);
    }
    const QByteArray d = h.result();
    LogKey k;
    std::memcpy(&k.a, d.constData(), 8);
    std::memcpy(&k.b, d.constData() + 8, 8);
    return k;
}

// Holds the write lock on a target table for the batch. On the file BEGIN IMMEDIATE has
// taken it already; on the server a station's claim would otherwise slip between the
// lookups and the writes (stations wait for the batch, which is short).
bool lockTable(const QString &table, QString *error)
{
    if (!storeIsServer())
        return true;
    QSqlQuery q(storeDatabase);
    if (!q.exec(QStringLiteral("LOCK TABLE %1 IN SHARE ROW EXCLUSIVE MODE").arg(table))) {
        *error = queryError(q);
        return false;
    }
    return true;
}

// The server chooses between the index and reading the whole table by its statistics; a
// pool that grew by a million rows since they were taken looks small or unknown, and each
// lookup of a chunk then reads the whole table. Taking them costs a fraction of a second
// (a sample), and the stations' claims profit too. Without the right to, the server skips it.
void refreshStatistics(const QString &table)
{
    if (storeIsServer())
        QSqlQuery(storeDatabase).exec(QStringLiteral("ANALYZE %1").arg(table));
}
const qint64 kRowsBetweenStatistics = 100000;

// Runs `q` (prepared with an IN list of kLookupChunk placeholders) over `values` chunk by
// chunk, a short chunk padded with its last value, and hands each row to `row`.
bool lookupChunks(QSqlQuery &q, const QStringList &values, const std::function<void(QSqlQuery &)> &row, QString *why)
{
    for (int at = 0; at < values.size(); at += kLookupChunk) {
        for (int i = 0; i < kLookupChunk; ++i)
            q.addBindValue(values.at(qMin(at + i, values.size() - 1)));
        if (!q.exec()) {
            *why = queryError(q);
            return false;
        }
        while (q.next())
            row(q);
        q.finish();
    }
    return true;
}

// A write-ahead log of only its header holds no changes.
const qint64 kWalHeaderBytes = 32;
// A writer's commit holds the file briefly; longer than this, the file is being written.
const int kBusyMilliseconds = 1000;

// A rollback journal that still holds a transaction starts with SQLite's magic number; one
// emptied or zeroed at the end of a transaction does not, and SQLite ignores it too.
bool journalHasHeader(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    static const char magic[] = {'\xd9', '\xd5', '\x05', '\xf9', '\x20', '\xa1', '\x63', '\xd7'};
    return f.read(sizeof magic) == QByteArray::fromRawData(magic, sizeof magic);
}

// True when another process holds SQLite's write lock on the file (its reserved byte, as
// SQLite's own check asks), that is, a program is in the middle of writing it. Asked before
// this process opens the file: closing any descriptor of it would drop this process's locks.
bool writerHolds(const QString &path)
{
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const off_t kReservedByte = 0x40000001;
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = kReservedByte;
    lock.l_len = 1;
    const bool held = ::fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
    ::close(fd);
    return held;
#else
    Q_UNUSED(path);
    return false;
#endif
}

} // namespace

StationMerge::StationMerge(MergeOptions options)
    : options_(std::move(options))
    , connectionName_(QStringLiteral("tarnwell-merge-station"))
{
}

StationMerge::~StationMerge()
{
    station_.close();
    station_ = QSqlDatabase();
    QSqlDatabase::removeDatabase(connectionName_);
}

bool StationMerge::fail(const QString &message)
{
    error_ = message;
    return false;
}

QString StationMerge::fallbackStation() const
{
    return options_.station.isEmpty() ? QFileInfo(options_.stationFile).completeBaseName() : options_.station;
}

bool StationMerge::openStationFile()
{
    const QFileInfo info(options_.stationFile);
    if (!info.exists())
        return fail(QStringLiteral("%1: no such file").arg(options_.stationFile));
    if (!info.isFile())
        return fail(QStringLiteral("%1: not a file").arg(options_.stationFile));
    const QString path = info.absoluteFilePath();
    const QString name = options_.stationFile;
    const QString recover = QStringLiteral(
        "Open it once with Tarnwell in its own folder (the file with its journal beside it), close Tarnwell, "
        "then merge it; nothing was merged");

    // Changes still outside the file: reading the file alone would miss them.
    const QFileInfo wal(path + QStringLiteral("-wal"));
    if (wal.exists() && wal.size() > kWalHeaderBytes)
        return fail(QStringLiteral("%1 needs recovery: its write-ahead log %2 holds changes that are not in the "
                                   "file yet. Open it once with the program that wrote it, in its own folder, "
                                   "close that program, then merge it; nothing was merged")
                        .arg(name, wal.fileName()));
    const bool journal = journalHasHeader(path + QStringLiteral("-journal"));
    const QString locked = QStringLiteral("%1 is locked: another program is writing it. Close that program, then "
                                          "merge it; nothing was merged")
                               .arg(name);
    if (writerHolds(path))
        return fail(locked);

    station_ = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName_);
    // Read-only, by URI as well as by flag, so SQLite itself can neither write the file nor
    // roll back a journal beside it: the station's own record stays exactly as it was.
    station_.setDatabaseName(QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded) + QStringLiteral("?mode=ro"));
    station_.setConnectOptions(
        QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyMilliseconds));
    if (!station_.open())
        return fail(QStringLiteral("%1: cannot open it: %2").arg(name, station_.lastError().text()));
    const QString hot = QStringLiteral("%1 needs recovery: its journal %2 holds a transaction that was never "
                                       "finished (the station stopped while writing). %3")
                            .arg(name, QFileInfo(path + QStringLiteral("-journal")).fileName(), recover);
    const QString notPool = QStringLiteral("%1 is not a Tarnwell pool: ").arg(name);
    {
        QSqlQuery q(station_);
        if (!q.exec(QStringLiteral("SELECT COUNT(*) FROM sqlite_master"))) {
            const QString code = q.lastError().nativeErrorCode();
            if (code == QLatin1String("5") || code == QLatin1String("6"))
                return fail(locked);
            // A hot journal makes a read-only connection refuse every read.
            if (journal)
                return fail(hot);
            return fail(notPool + queryError(q));
        }
        // A journal SQLite did not call hot is one a writer holds open now.
        if (journal)
            return fail(locked);
    }

    // Files of this version record whether the program closed them; older ones cannot say.
    if (!station_.record(QStringLiteral("StationState")).isEmpty()) {
        QSqlQuery q(station_);
        if (!q.exec(QStringLiteral("SELECT StateValue FROM StationState WHERE StateID = 1")))
            return fail(QStringLiteral("%1: cannot read it: %2").arg(name, queryError(q)));
        if (q.next() && q.value(0).toString() != QLatin1String("closed"))
            return fail(QStringLiteral("%1 was not closed cleanly: it was copied from a running or crashed station "
                                       "without its journal and may lack its last transaction. %2")
                            .arg(name, recover));
    }

    // The whole file, before anything of it is believed. The quick form checks every page and
    // the table trees the merge reads, not whether the station's indexes agree with them
    // (the merge reads no index of the file): 1-2 s for a pool of a million, where the full
    // check takes 9-14 s.
    {
        QSqlQuery q(station_);
        q.setForwardOnly(true);
        if (!q.exec(QStringLiteral("PRAGMA quick_check(10)")))
            return fail(QStringLiteral("%1 is damaged: SQLite cannot check it: %2; nothing was merged")
                            .arg(name, queryError(q)));
        QStringList problems;
        while (q.next())
            problems << q.value(0).toString();
        if (problems != QStringList{QStringLiteral("ok")})
            return fail(QStringLiteral("%1 is damaged: SQLite's integrity check says: %2; nothing was merged")
                            .arg(name, problems.join(QStringLiteral("; "))));
    }

    const struct {
        const char *table;
        QStringList columns;
    } required[] = {
        {"SerialNumbers",
         {QStringLiteral("SNID"), QStringLiteral("SerialNumber"), QStringLiteral("CustomerID"), QStringLiteral("IsUse"),
          QStringLiteral("DeviceType"), QStringLiteral("DeviceSerialNum"), QStringLiteral("szIP")}},
        {"Customers", {QStringLiteral("CustomerID"), QStringLiteral("CustomerName")}},
        {"Logs",
         {QStringLiteral("LogID"), QStringLiteral("LogType"), QStringLiteral("LogDescribe"),
          QStringLiteral("LogDate")}},
    };
    for (const auto &t : required) {
        const QSqlRecord record = station_.record(QLatin1String(t.table));
        if (record.isEmpty())
            return fail(notPool + QStringLiteral("it has no table %1").arg(QLatin1String(t.table)));
        for (const QString &column : t.columns)
            if (record.indexOf(column) < 0)
                return fail(notPool
                            + QStringLiteral("its table %1 has no column %2").arg(QLatin1String(t.table), column));
    }
    // Files of versions before the station column have none.
    logsHaveStation_ = station_.record(QStringLiteral("Logs")).indexOf(QStringLiteral("LogStation")) >= 0;
    return true;
}

bool StationMerge::run()
{
    if (!storeDatabase.isOpen())
        return fail(QStringLiteral("the target pool is not open"));
    if (options_.batchSize <= 0)
        options_.batchSize = storeIsServer() ? MergeOptions::kServerBatch : MergeOptions::kFileBatch;
    // The tables the merge writes, as this version makes them (the server folds the names,
    // so the driver's record() cannot be asked).
    for (const char *sql :
         {"SELECT SerialNumber, CustomerID, IsUse, DeviceType, DeviceSerialNum, szIP FROM SerialNumbers",
          "SELECT CustomerID, CustomerName, CustomerValue, CustomerHostAddr, CustomerPort, "
          "CustomerSvrChecked FROM Customers",
          "SELECT LogType, LogDescribe, LogDate, LogStation FROM Logs"}) {
        QSqlQuery q(storeDatabase);
        if (!q.exec(QLatin1String(sql) + QStringLiteral(" WHERE 1=0")))
            return fail(QStringLiteral("the target pool cannot be used (its tables could not be made or read): %1")
                            .arg(queryError(q)));
    }
    if (!mergeCustomers() || !mergeRetired() || !mergeSerials() || !mergeLogs())
        return false;
    return writeReport();
}

bool StationMerge::mergeCustomers()
{
    struct FileCustomer {
        qint64 id;
        QString name;
        QVariant value, host, port, checked;
    };
    QVector<FileCustomer> file;
    {
        const QSqlRecord record = station_.record(QStringLiteral("Customers"));
        auto column = [&](const char *name) {
            return record.indexOf(QLatin1String(name)) >= 0 ? QString::fromLatin1(name) : QStringLiteral("NULL");
        };
        QSqlQuery q(station_);
        q.setForwardOnly(true);
        if (!q.exec(QStringLiteral("SELECT CustomerID, CustomerName, %1, %2, %3, %4 FROM Customers ORDER BY CustomerID")
                        .arg(column("CustomerValue"), column("CustomerHostAddr"), column("CustomerPort"),
                             column("CustomerSvrChecked"))))
            return fail(QStringLiteral("%1: cannot read its customers: %2").arg(options_.stationFile, queryError(q)));
        while (q.next())
            file.append(
                {q.value(0).toLongLong(), q.value(1).toString(), q.value(2), q.value(3), q.value(4), q.value(5)});
        if (q.lastError().isValid())
            return fail(QStringLiteral("%1: cannot read its customers: %2").arg(options_.stationFile, queryError(q)));
    }

    if (!beginBatch())
        return fail(QStringLiteral("cannot write the target's customers (nothing was merged): %1").arg(storeError()));
    auto abandon = [&](const QString &what) {
        rollbackBatch();
        return fail(QStringLiteral("cannot write the target's customers (nothing was merged): %1").arg(what));
    };
    QString why;
    if (!lockTable(QStringLiteral("Customers"), &why))
        return abandon(why);
    auto readTarget = [&](QHash<QString, qint64> *byName) {
        QSqlQuery q(storeDatabase);
        if (!q.exec(QStringLiteral("SELECT CustomerID, CustomerName FROM Customers"))) {
            why = queryError(q);
            return false;
        }
        while (q.next()) {
            byName->insert(q.value(1).toString(), q.value(0).toLongLong());
            targetCustomerNames_.insert(q.value(0).toLongLong(), q.value(1).toString());
        }
        return true;
    };
    QHash<QString, qint64> byName;
    if (!readTarget(&byName))
        return abandon(why);
    QSqlQuery add(storeDatabase);
    add.prepare(QStringLiteral("INSERT INTO Customers (CustomerName, CustomerValue, CustomerHostAddr, CustomerPort, "
                               "CustomerSvrChecked) VALUES (?, ?, ?, ?, ?)"));
    qint64 added = 0;
    for (const FileCustomer &c : file) {
        if (byName.contains(c.name))
            continue;
        add.addBindValue(c.name);
        add.addBindValue(text(c.value));
        add.addBindValue(text(c.host));
        add.addBindValue(c.port.toInt());
        add.addBindValue(c.checked.toInt());
        if (!add.exec())
            return abandon(QStringLiteral("customer \"%1\": %2").arg(c.name, queryError(add)));
        byName.insert(c.name, 0);
        ++added;
    }
    if (added > 0) {
        byName.clear();
        if (!readTarget(&byName))
            return abandon(why);
    }
    if (!commitBatch())
        return fail(QStringLiteral("cannot write the target's customers (nothing was merged): %1").arg(storeError()));
    counts_.customersAdded = added;
    for (const FileCustomer &c : file)
        customers_.insert(c.id, {c.name, byName.value(c.name)});
    return true;
}

// The station's retired identifiers join the target's (those it has no record of retiring),
// before any identifier is merged: a value the station took out of its pool is then not
// brought in as usable. One the target still holds unused while the station had it used or
// pending when it retired it may be in a device: the target retires it too (the pool learns
// the burn, as for the identifiers below). One the station retired unused is a conflict for
// someone to check, and the target keeps it as it is.
bool StationMerge::mergeRetired()
{
    if (station_.record(QStringLiteral("RetiredSerials")).isEmpty())
        return true; // files of earlier versions
    QSqlQuery source(station_);
    source.setForwardOnly(true);
    if (!source.exec(QStringLiteral("SELECT CAST(SerialNumber AS BLOB), CustomerID, IsUse, DeviceType, "
                                    "DeviceSerialNum, szIP, RetiredDate, RetiredStation, RSID FROM RetiredSerials "
                                    "ORDER BY RSID")))
        return fail(QStringLiteral("%1: cannot read its retired identifiers: %2")
                        .arg(options_.stationFile, queryError(source)));
    struct Retired {
        QString serialNumber;
        qint64 customerId = 0;
        QVariant isUse, deviceType, deviceSerialNum, deviceIp, date, station;
    };
    QVector<Retired> rows;
    while (source.next()) {
        const QByteArray bytes = source.value(0).toByteArray();
        const QString refused = refusalOf(bytes);
        if (!refused.isEmpty()) {
            conflicts_.append({shown(bytes), QString(), source.value(4).toString(), QStringLiteral("retired"),
                               QString(), QString(),
                               QStringLiteral("refused: %1 (retired row %2 of the station file)")
                                   .arg(refused)
                                   .arg(source.value(8).toLongLong())});
            ++counts_.refused;
            continue;
        }
        const auto c = customers_.constFind(source.value(1).toLongLong());
        rows.append({QString::fromUtf8(bytes), c != customers_.constEnd() ? c->targetId : 0, source.value(2),
                     source.value(3), source.value(4), source.value(5), source.value(6), source.value(7)});
    }
    if (source.lastError().isValid())
        return fail(QStringLiteral("%1: cannot read its retired identifiers: %2")
                        .arg(options_.stationFile, queryError(source)));

    const QString in = QStringLiteral("(") + placeholders(1, kLookupChunk).mid(1);
    QSqlQuery known(storeDatabase);
    QSqlQuery unused(storeDatabase);
    QSqlQuery insert(storeDatabase);
    QSqlQuery takeOut(storeDatabase);
    known.setForwardOnly(true);
    unused.setForwardOnly(true);
    if (!takeOut.prepare(QStringLiteral("DELETE FROM SerialNumbers WHERE SerialNumber=? AND IsUse=0"))
        || !known.prepare(QStringLiteral("SELECT SerialNumber FROM RetiredSerials WHERE SerialNumber IN ") + in)
        || !unused.prepare(QStringLiteral("SELECT SerialNumber FROM SerialNumbers WHERE IsUse=0 AND SerialNumber IN ")
                           + in)
        || !insert.prepare(QStringLiteral("INSERT INTO RetiredSerials (CustomerID, SerialNumber, IsUse, DeviceType, "
                                          "DeviceSerialNum, szIP, RetiredDate, RetiredStation) "
                                          "VALUES (?, ?, ?, ?, ?, ?, ?, ?)")))
        return fail(QStringLiteral("cannot prepare the target's statements: %1")
                        .arg(queryError(known) + queryError(unused) + queryError(insert)));
    const QString fallback = fallbackStation();
    for (int from = 0; from < rows.size(); from += options_.batchSize) {
        const int n = qMin(options_.batchSize, rows.size() - from);
        QStringList values;
        for (int i = 0; i < n; ++i)
            values << rows.at(from + i).serialNumber;
        QSet<QString> inTarget, unusedInTarget;
        QString why;
        auto lookup = [&](QSqlQuery &q, QSet<QString> *found) {
            return lookupChunks(
                q, values, [found](QSqlQuery &row) { found->insert(row.value(0).toString()); }, &why);
        };
        bool ok = beginBatch();
        if (!ok)
            why = storeError();
        // SerialNumbers too: no station claims an unused value between the lookup and its retiring.
        ok = ok && lockTable(QStringLiteral("RetiredSerials"), &why) && lockTable(QStringLiteral("SerialNumbers"), &why)
            && lookup(known, &inTarget) && lookup(unused, &unusedInTarget);
        qint64 copied = 0;
        qint64 takenOut = 0;
        QVector<MergeConflict> found;
        for (int i = 0; ok && i < n; ++i) {
            const Retired &r = rows.at(from + i);
            if (unusedInTarget.contains(r.serialNumber)) {
                unusedInTarget.remove(r.serialNumber);
                const int was = r.isUse.toInt();
                if (was != SerialUsed && was != SerialPending) {
                    found.append({r.serialNumber, targetCustomerNames_.value(r.customerId),
                                  r.deviceSerialNum.toString(), QStringLiteral("retired"), QString(),
                                  stateName(SerialUnused),
                                  QStringLiteral("retired unused in the station file, unused in the target: left as "
                                                 "it is")});
                    continue;
                }
                takeOut.addBindValue(r.serialNumber);
                if (!takeOut.exec()) {
                    why = queryError(takeOut);
                    ok = false;
                    break;
                }
                ++takenOut;
            }
            if (inTarget.contains(r.serialNumber))
                continue;
            for (const QVariant &v :
                 {QVariant(r.customerId), QVariant(r.serialNumber), QVariant(r.isUse.toInt()),
                  QVariant(text(r.deviceType)), QVariant(text(r.deviceSerialNum)), QVariant(text(r.deviceIp)),
                  QVariant(text(r.date)), QVariant(r.station.toString().isEmpty() ? fallback : r.station.toString())})
                insert.addBindValue(v);
            if (!insert.exec()) {
                why = queryError(insert);
                ok = false;
            }
            inTarget.insert(r.serialNumber);
            ++copied;
        }
        if (ok && !commitBatch()) {
            why = storeError();
            ok = false;
        }
        if (!ok) {
            rollbackBatch();
            return fail(QStringLiteral("cannot write retired identifiers into the target: %1. None of the last %2 "
                                       "was stored; run the same command again to finish.")
                            .arg(why)
                            .arg(n));
        }
        counts_.retiredCopied += copied;
        counts_.retiredInTarget += takenOut;
        counts_.conflicts += found.size();
        conflicts_ += found;
    }
    return true;
}

bool StationMerge::mergeSerials()
{
    QSqlQuery source(station_);
    source.setForwardOnly(true);
    // The value's bytes as stored (a text that is not UTF-8 would come back mangled, two of
    // them as one), the state with its kind (a text there is no state at all).
    if (!source.exec(QStringLiteral("SELECT CAST(SerialNumber AS BLOB), CustomerID, IsUse, typeof(IsUse), "
                                    "DeviceType, DeviceSerialNum, szIP, SNID FROM SerialNumbers ORDER BY SNID")))
        return fail(
            QStringLiteral("%1: cannot read its identifiers: %2").arg(options_.stationFile, queryError(source)));

    // Prepared once: the lookups take a full chunk of values each time (a short one is
    // padded with its last value), the single-row updates are few.
    const QString in = QStringLiteral("(") + placeholders(1, kLookupChunk).mid(1);
    QSqlQuery bySerial(storeDatabase);
    QSqlQuery byDevice(storeDatabase);
    QSqlQuery toState(storeDatabase);
    QSqlQuery pendingToUsed(storeDatabase);
    QSqlQuery insertFull(storeDatabase);
    QSqlQuery byRetired(storeDatabase);
    bySerial.setForwardOnly(true);
    byDevice.setForwardOnly(true);
    byRetired.setForwardOnly(true);
    const QString insertSql = QStringLiteral("INSERT INTO SerialNumbers (CustomerID, SerialNumber, IsUse, DeviceType, "
                                             "DeviceSerialNum, szIP) VALUES ");
    if (!bySerial.prepare(QStringLiteral("SELECT SerialNumber, CustomerID, IsUse, DeviceSerialNum FROM SerialNumbers "
                                         "WHERE SerialNumber IN ")
                          + in)
        || !byDevice.prepare(QStringLiteral("SELECT DeviceSerialNum, SerialNumber, IsUse FROM SerialNumbers "
                                            "WHERE IsUse<>0 AND DeviceSerialNum IN ")
                             + in)
        // Only an identifier still unused (in every row that holds it) takes the file's state.
        || !toState.prepare(QStringLiteral("UPDATE SerialNumbers SET IsUse=?, DeviceType=?, DeviceSerialNum=?, szIP=? "
                                           "WHERE SerialNumber=? AND IsUse=0"))
        || !pendingToUsed.prepare(QStringLiteral("UPDATE SerialNumbers SET IsUse=1, DeviceType=?, szIP=? "
                                                 "WHERE SerialNumber=? AND IsUse=2 AND DeviceSerialNum=?"))
        || !insertFull.prepare(insertSql + placeholders(kInsertChunk, 6))
        || !byRetired.prepare(QStringLiteral("SELECT SerialNumber FROM RetiredSerials WHERE SerialNumber IN ") + in)) {
        QString why;
        for (const QSqlQuery *q : {&bySerial, &byDevice, &toState, &pendingToUsed, &insertFull, &byRetired})
            if (q->lastError().isValid())
                why = queryError(*q);
        return fail(QStringLiteral("cannot prepare the target's statements: %1").arg(why));
    }

    qint64 merged = 0; // file rows in committed batches
    MergeCounts batchCounts;
    QVector<MergeConflict> batchConflicts;
    QString why;

    auto lookup = [&](QSqlQuery &q, const QStringList &values, const std::function<void(QSqlQuery &)> &row) {
        return lookupChunks(q, values, row, &why);
    };

    // Inserts waiting in this batch; written before any update so the writes keep the order
    // in which they were decided (an identifier twice in the file: copied, then updated).
    QVector<const FileSerial *> inserts;
    auto flushInserts = [&]() {
        for (int at = 0; at < inserts.size(); at += kInsertChunk) {
            const int n = qMin(kInsertChunk, inserts.size() - at);
            QSqlQuery tail(storeDatabase);
            QSqlQuery &q = n == kInsertChunk ? insertFull : tail;
            if (n != kInsertChunk && !tail.prepare(insertSql + placeholders(n, 6))) {
                why = queryError(tail);
                return false;
            }
            for (int i = 0; i < n; ++i) {
                const FileSerial &r = *inserts.at(at + i);
                q.addBindValue(r.targetCustomerId);
                q.addBindValue(r.serialNumber);
                q.addBindValue(r.isUse);
                q.addBindValue(r.deviceType);
                q.addBindValue(r.deviceSerialNum);
                q.addBindValue(r.deviceIp);
            }
            if (!q.exec()) {
                why = queryError(q);
                return false;
            }
        }
        inserts.clear();
        return true;
    };
    auto changedOne = [&](QSqlQuery &q) {
        if (!q.exec()) {
            why = queryError(q);
            return false;
        }
        if (q.numRowsAffected() < 1) {
            why = QStringLiteral("an identifier changed in the target during the merge");
            return false;
        }
        return true;
    };

    auto mergeBatch = [&](const QVector<FileSerial> &rows) {
        batchCounts = MergeCounts();
        batchConflicts.clear();
        inserts.clear();
        if (!beginBatch()) {
            why = storeError();
            return false;
        }
        if (!lockTable(QStringLiteral("SerialNumbers"), &why))
            return false;

        QStringList serials;
        QStringList devices;
        {
            QSet<QString> seenSerials, seenDevices;
            for (const FileSerial &r : rows) {
                if (!r.refused.isEmpty())
                    continue;
                if (!seenSerials.contains(r.serialNumber)) {
                    seenSerials.insert(r.serialNumber);
                    serials.append(r.serialNumber);
                }
                if (r.isUse != SerialUnused && !r.deviceSerialNum.isEmpty()
                    && !seenDevices.contains(r.deviceSerialNum)) {
                    seenDevices.insert(r.deviceSerialNum);
                    devices.append(r.deviceSerialNum);
                }
            }
        }
        QHash<QString, TargetSerial> target;
        QHash<QString, Holding> holdings;
        QSet<QString> retired;
        const bool read = lookup(byRetired, serials, [&](QSqlQuery &q) { retired.insert(q.value(0).toString()); })
            && lookup(
                              bySerial, serials,
                              [&](QSqlQuery &q) {
            TargetSerial &t = target[q.value(0).toString()];
            const int isUse = q.value(2).toInt();
            if (!t.present || rank(isUse) > rank(t.isUse))
                t = {true, q.value(1).toLongLong(), isUse, q.value(3).toString()};
                              })
            && lookup(byDevice, devices, [&](QSqlQuery &q) {
                   Holding &h = holdings[q.value(0).toString()];
                   const int isUse = q.value(2).toInt();
                   if (h.serialNumber.isEmpty() || rank(isUse) > rank(h.isUse))
                       h = {q.value(1).toString(), isUse};
               });
        if (!read)
            return false;

        for (const FileSerial &r : rows) {
            if (!r.refused.isEmpty()) {
                batchConflicts.append(
                    {shown(r.bytes), r.customerKnown ? r.customerName : QString::number(r.fileCustomerId),
                     r.deviceSerialNum, r.fileState, QString(), QString(),
                     QStringLiteral("refused: %1 (row %2 of the station file)").arg(r.refused).arg(r.fileRow)});
                ++batchCounts.refused;
                continue;
            }
            TargetSerial &t = target[r.serialNumber];
            auto conflict = [&](const QString &reason) {
                batchConflicts.append({r.serialNumber,
                                       r.customerKnown ? r.customerName : QString::number(r.fileCustomerId),
                                       r.deviceSerialNum, stateName(r.isUse), t.present ? t.deviceSerialNum : QString(),
                                       t.present ? stateName(t.isUse) : QStringLiteral("absent"), reason});
                ++batchCounts.conflicts;
            };
            const auto held = holdings.constFind(r.deviceSerialNum);
            const bool deviceHoldsOther = r.isUse != SerialUnused && !r.deviceSerialNum.isEmpty()
                && held != holdings.constEnd() && held->serialNumber != r.serialNumber;
            const QString heldText = deviceHoldsOther
                ? QStringLiteral("device %1 holds %2 (%3) in the target")
                      .arg(r.deviceSerialNum, held->serialNumber, stateName(held->isUse))
                : QString();

            if (!r.customerKnown) {
                conflict(QStringLiteral("customer %1 is not in the station file").arg(r.fileCustomerId));
            } else if (!t.present && retired.contains(r.serialNumber)) {
                // Used is forever: a value the pool took out never comes back through a file.
                batchConflicts.append({r.serialNumber, r.customerName, r.deviceSerialNum, stateName(r.isUse), QString(),
                                       QStringLiteral("retired"),
                                       QStringLiteral("retired in the target: never stored again")});
                ++batchCounts.retired;
            } else if (!t.present) {
                if (deviceHoldsOther) {
                    conflict(heldText);
                } else {
                    inserts.append(&r);
                    t = {true, r.targetCustomerId, r.isUse, r.deviceSerialNum};
                    if (r.isUse != SerialUnused && !r.deviceSerialNum.isEmpty())
                        holdings.insert(r.deviceSerialNum, {r.serialNumber, r.isUse});
                    ++batchCounts.copied;
                }
            } else if (t.customerId != r.targetCustomerId) {
                conflict(QStringLiteral("it belongs to customer %1 in the target")
                             .arg(targetCustomerNames_.value(t.customerId, QString::number(t.customerId))));
            } else if (r.isUse == SerialUnused) {
                ++batchCounts.present; // the target knows as much or more
            } else if (t.isUse == SerialUnused) {
                // The target must learn the burn, unless its device holds another identifier.
                if (deviceHoldsOther) {
                    conflict(heldText);
                } else {
                    if (!flushInserts())
                        return false;
                    toState.addBindValue(r.isUse);
                    toState.addBindValue(r.deviceType);
                    toState.addBindValue(r.deviceSerialNum);
                    toState.addBindValue(r.deviceIp);
                    toState.addBindValue(r.serialNumber);
                    if (!changedOne(toState))
                        return false;
                    t.isUse = r.isUse;
                    t.deviceSerialNum = r.deviceSerialNum;
                    if (!r.deviceSerialNum.isEmpty())
                        holdings.insert(r.deviceSerialNum, {r.serialNumber, r.isUse});
                    ++batchCounts.updated;
                }
            } else if (t.deviceSerialNum != r.deviceSerialNum) {
                conflict(QStringLiteral("it is %1 for another device in the target").arg(stateName(t.isUse)));
            } else if (r.isUse == SerialUsed && t.isUse == SerialPending) {
                // Claimed for this device in the target; the station saw the write confirmed.
                if (!flushInserts())
                    return false;
                pendingToUsed.addBindValue(r.deviceType);
                pendingToUsed.addBindValue(r.deviceIp);
                pendingToUsed.addBindValue(r.serialNumber);
                pendingToUsed.addBindValue(r.deviceSerialNum);
                if (!changedOne(pendingToUsed))
                    return false;
                t.isUse = SerialUsed;
                holdings.insert(r.deviceSerialNum, {r.serialNumber, SerialUsed});
                ++batchCounts.updated;
            } else {
                ++batchCounts.present;
            }
        }
        if (!flushInserts())
            return false;
        if (!commitBatch()) {
            why = storeError();
            return false;
        }
        return true;
    };

    QVector<FileSerial> rows;
    rows.reserve(options_.batchSize);
    refreshStatistics(QStringLiteral("SerialNumbers"));
    qint64 writtenSinceStatistics = 0;
    bool more = source.next();
    while (more) {
        rows.clear();
        while (more && rows.size() < options_.batchSize) {
            FileSerial r;
            r.bytes = source.value(0).toByteArray();
            r.fileRow = source.value(7).toLongLong();
            r.refused = refusalOf(r.bytes);
            if (r.refused.isEmpty())
                r.serialNumber = QString::fromUtf8(r.bytes);
            r.fileCustomerId = source.value(1).toLongLong();
            const auto c = customers_.constFind(r.fileCustomerId);
            if (c != customers_.constEnd()) {
                r.customerKnown = true;
                r.customerName = c->name;
                r.targetCustomerId = c->targetId;
            }
            const QVariant isUse = source.value(2);
            r.isUse = isUse.toInt();
            r.fileState = stateName(r.isUse);
            if (source.value(3).toString() != QLatin1String("integer") || !knownState(r.isUse)) {
                r.fileState = isUse.isNull() ? QStringLiteral("NULL") : shown(isUse.toByteArray());
                if (r.refused.isEmpty())
                    r.refused = QStringLiteral("unknown usage state %1 in the station file").arg(r.fileState);
            }
            r.deviceType = text(source.value(4));
            r.deviceSerialNum = text(source.value(5));
            r.deviceIp = text(source.value(6));
            rows.append(r);
            more = source.next();
        }
        if (!more && source.lastError().isValid())
            return fail(QStringLiteral("%1: cannot read its identifiers after row %2: %3")
                            .arg(options_.stationFile)
                            .arg(merged + rows.size())
                            .arg(queryError(source)));
        if (!mergeBatch(rows)) {
            rollbackBatch();
            return fail(QStringLiteral("cannot write identifiers %1 to %2 of the station file into the target: %3. "
                                       "Nothing of them was stored (the %4 before them are merged); "
                                       "run the same command again to finish.")
                            .arg(merged + 1)
                            .arg(merged + rows.size())
                            .arg(why)
                            .arg(merged));
        }
        merged += rows.size();
        counts_.copied += batchCounts.copied;
        counts_.present += batchCounts.present;
        counts_.updated += batchCounts.updated;
        counts_.conflicts += batchCounts.conflicts;
        counts_.refused += batchCounts.refused;
        counts_.retired += batchCounts.retired;
        conflicts_ += batchConflicts;
        writtenSinceStatistics += batchCounts.copied;
        if (writtenSinceStatistics >= kRowsBetweenStatistics) {
            refreshStatistics(QStringLiteral("SerialNumbers"));
            writtenSinceStatistics = 0;
        }
    }
    if (writtenSinceStatistics > 0)
        refreshStatistics(QStringLiteral("SerialNumbers"));
    return true;
}

bool StationMerge::mergeLogs()
{
    const QString fallback = fallbackStation();
    const QString stationColumn = logsHaveStation_ ? QStringLiteral("LogStation") : QStringLiteral("NULL");

    // The stations the file's rows will carry; only the target's rows of those can match.
    QStringList stations;
    {
        QSqlQuery q(station_);
        if (!q.exec(QStringLiteral("SELECT DISTINCT %1 FROM Logs").arg(stationColumn)))
            return fail(QStringLiteral("%1: cannot read its log: %2").arg(options_.stationFile, queryError(q)));
        QSet<QString> seen;
        while (q.next()) {
            const QString s = q.value(0).toString();
            seen.insert(s.isEmpty() ? fallback : s);
        }
        stations = seen.values();
    }
    if (stations.isEmpty())
        return true;

    // How often each row is in the target, then in the file: a row the file holds n times
    // is copied until the target holds it n times, so a second run copies nothing and two
    // identical events of one second both arrive.
    struct Seen {
        qint64 target = 0;
        qint64 file = 0;
    };
    std::unordered_map<LogKey, Seen, LogKeyHash> keys;
    {
        // Few stations (the usual case) are asked for by name; many, by reading every row.
        const bool byStation = stations.size() <= kLookupChunk;
        QString sql = QStringLiteral(
            "SELECT LogID, LogType, LogDescribe, LogDate, LogStation FROM Logs WHERE LogID > ?");
        if (byStation)
            sql += QStringLiteral(" AND LogStation IN (") + placeholders(1, stations.size()).mid(1);
        sql += QStringLiteral(" ORDER BY LogID LIMIT 20000");
        QSqlQuery q(storeDatabase);
        q.setForwardOnly(true);
        if (!q.prepare(sql))
            return fail(QStringLiteral("cannot read the target's log: %1").arg(queryError(q)));
        qint64 after = -1;
        for (;;) {
            q.addBindValue(after);
            if (byStation)
                for (const QString &s : stations)
                    q.addBindValue(s);
            if (!q.exec())
                return fail(QStringLiteral("cannot read the target's log: %1").arg(queryError(q)));
            int n = 0;
            while (q.next()) {
                ++n;
                after = q.value(0).toLongLong();
                ++keys[logKey(q.value(1).toString(), q.value(2).toString(), q.value(3).toString(),
                              q.value(4).toString())]
                      .target;
            }
            q.finish();
            if (n < 20000)
                break;
        }
    }

    QSqlQuery source(station_);
    source.setForwardOnly(true);
    if (!source.exec(
            QStringLiteral("SELECT LogType, LogDescribe, LogDate, %1 FROM Logs ORDER BY LogID").arg(stationColumn)))
        return fail(QStringLiteral("%1: cannot read its log: %2").arg(options_.stationFile, queryError(source)));

    const QString insertSql = QStringLiteral("INSERT INTO Logs (LogType, LogDescribe, LogDate, LogStation) VALUES ");
    QSqlQuery insertFull(storeDatabase);
    if (!insertFull.prepare(insertSql + placeholders(kInsertChunk, 4)))
        return fail(QStringLiteral("cannot prepare the target's statements: %1").arg(queryError(insertFull)));

    struct Row {
        QString type, describe, date, station;
    };
    QVector<Row> pending;
    qint64 read = 0;
    auto writePending = [&]() {
        if (pending.isEmpty())
            return true;
        QString why;
        bool ok = beginBatch();
        if (!ok)
            why = storeError();
        for (int at = 0; ok && at < pending.size(); at += kInsertChunk) {
            const int n = qMin(kInsertChunk, pending.size() - at);
            QSqlQuery tail(storeDatabase);
            QSqlQuery &q = n == kInsertChunk ? insertFull : tail;
            if (n != kInsertChunk && !tail.prepare(insertSql + placeholders(n, 4))) {
                why = queryError(tail);
                ok = false;
                break;
            }
            for (int i = 0; i < n; ++i) {
                const Row &r = pending.at(at + i);
                q.addBindValue(r.type);
                q.addBindValue(r.describe);
                q.addBindValue(r.date);
                q.addBindValue(r.station);
            }
            if (!q.exec()) {
                why = queryError(q);
                ok = false;
            }
        }
        if (ok && !commitBatch()) {
            why = storeError();
            ok = false;
        }
        if (!ok) {
            rollbackBatch();
            return fail(QStringLiteral("cannot write log rows into the target: %1. None of the last %2 was stored "
                                       "(%3 log rows are merged); run the same command again to finish.")
                            .arg(why)
                            .arg(pending.size())
                            .arg(counts_.logsCopied));
        }
        counts_.logsCopied += pending.size();
        pending.clear();
        return true;
    };
    while (source.next()) {
        ++read;
        Row r{text(source.value(0)), text(source.value(1)), text(source.value(2)), source.value(3).toString()};
        if (r.station.isEmpty())
            r.station = fallback;
        Seen &seen = keys[logKey(r.type, r.describe, r.date, r.station)];
        if (++seen.file <= seen.target) {
            ++counts_.logsPresent;
            continue;
        }
        pending.append(r);
        if (pending.size() >= options_.batchSize && !writePending())
            return false;
    }
    if (source.lastError().isValid())
        return fail(QStringLiteral("%1: cannot read its log after row %2: %3")
                        .arg(options_.stationFile)
                        .arg(read)
                        .arg(queryError(source)));
    return writePending();
}

bool StationMerge::writeReport()
{
    QSaveFile file(options_.reportPath);
    if (!file.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("cannot write the report %1: %2").arg(options_.reportPath, file.errorString()));
    // RFC 4180 with a byte order mark (spreadsheet programs then read it as UTF-8), CRLF,
    // through the export's writer: no field a spreadsheet would run.
    QByteArray out = "\xEF\xBB\xBF";
    auto row = [&out](const QStringList &cells) {
        for (int i = 0; i < cells.size(); ++i) {
            if (i > 0)
                out += ',';
            const QByteArray field = cells.at(i).toUtf8();
            csvfield::append(out, field.constData(), std::size_t(field.size()));
        }
        out += "\r\n";
    };
    row({QStringLiteral("Identifier"), QStringLiteral("Customer"), QStringLiteral("File device"),
         QStringLiteral("File state"), QStringLiteral("Target device"), QStringLiteral("Target state"),
         QStringLiteral("Reason")});
    for (const MergeConflict &c : conflicts_)
        row({c.serialNumber, c.customer, c.fileDevice, c.fileState, c.targetDevice, c.targetState, c.reason});
    if (file.write(out) != out.size() || !file.commit())
        return fail(QStringLiteral("cannot write the report %1: %2").arg(options_.reportPath, file.errorString()));
    return true;
}
