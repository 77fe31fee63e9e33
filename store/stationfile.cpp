#include "store/stationfile.h"

#include "store/datastore.h"
#include "store/fixedfield.h"
#include "store/logchain.h"

#include "base/utf8.h"

#include <QAtomicInt>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlRecord>
#include <QUrl>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif
#include <utility>

namespace {

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

QString queryError(const QSqlQuery &q)
{
    return q.lastError().text().trimmed();
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

StationFile::StationFile(QString path)
    : path_(std::move(path))
{
    // Each file a connection of its own: a caller may hold two.
    static QAtomicInt files;
    connectionName_ = QStringLiteral("tarnwell-station-file-%1").arg(files.fetchAndAddRelaxed(1));
}

StationFile::~StationFile()
{
    rows_ = QSqlQuery();
    db_.close();
    db_ = QSqlDatabase();
    QSqlDatabase::removeDatabase(connectionName_);
}

bool StationFile::fail(const QString &message)
{
    error_ = message;
    return false;
}

QString StationFile::stateName(int isUse)
{
    switch (isUse) {
    case SerialUnused:
        return QStringLiteral("unused");
    case SerialUsed:
        return QStringLiteral("used");
    case SerialPending:
        return QStringLiteral("pending");
    case SerialVoid:
        return QStringLiteral("void");
    case SerialReleased:
        return QStringLiteral("released");
    default:
        return QStringLiteral("state %1").arg(isUse);
    }
}

// The text when it is text, else its bytes escaped; long
// ones cut, with their length (the reason names the file's row, so none is mistaken).
QString StationFile::shown(const QByteArray &bytes)
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

QString StationFile::refusalOf(const QByteArray &bytes)
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

bool StationFile::open()
{
    const QFileInfo info(path_);
    if (!info.exists())
        return fail(QStringLiteral("%1: no such file").arg(path_));
    if (!info.isFile())
        return fail(QStringLiteral("%1: not a file").arg(path_));
    const QString path = info.absoluteFilePath();
    const QString name = path_;
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

    db_ = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName_);
    // Read-only, by URI as well as by flag, so SQLite itself can neither write the file nor
    // roll back a journal beside it: the station's own record stays exactly as it was.
    db_.setDatabaseName(QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded) + QStringLiteral("?mode=ro"));
    db_.setConnectOptions(
        QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyMilliseconds));
    if (!db_.open())
        return fail(QStringLiteral("%1: cannot open it: %2").arg(name, db_.lastError().text()));
    const QString hot = QStringLiteral("%1 needs recovery: its journal %2 holds a transaction that was never "
                                       "finished (the station stopped while writing). %3")
                            .arg(name, QFileInfo(path + QStringLiteral("-journal")).fileName(), recover);
    const QString notPool = QStringLiteral("%1 is not a Tarnwell pool: ").arg(name);
    {
        QSqlQuery q(db_);
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
    if (!db_.record(QStringLiteral("StationState")).isEmpty()) {
        QSqlQuery q(db_);
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
        QSqlQuery q(db_);
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
        const QSqlRecord record = db_.record(QLatin1String(t.table));
        if (record.isEmpty())
            return fail(notPool + QStringLiteral("it has no table %1").arg(QLatin1String(t.table)));
        for (const QString &column : t.columns)
            if (record.indexOf(column) < 0)
                return fail(notPool
                            + QStringLiteral("its table %1 has no column %2").arg(QLatin1String(t.table), column));
    }
    // Files of versions before the station column have none.
    logsHaveStation_ = db_.record(QStringLiteral("Logs")).indexOf(QStringLiteral("LogStation")) >= 0;
    // ... and before the person and the chain, none of those.
    logsHaveUser_ = db_.record(QStringLiteral("Logs")).indexOf(QStringLiteral("LogUser")) >= 0;
    logsHaveHash_ = db_.record(QStringLiteral("Logs")).indexOf(QStringLiteral("LogHash")) >= 0;
    return true;
}

bool StationFile::readEnd(const QString &what)
{
    // A read loop ends at the last row or at an error; only the query tells them apart.
    if (!rows_.lastError().isValid())
        return false;
    readFailed_ = true;
    rows_.finish();
    return fail(
        QStringLiteral("%1: cannot read its %2 after row %3: %4").arg(path_, what).arg(read_).arg(queryError(rows_)));
}

bool StationFile::readCustomers(QVector<Customer> *customers)
{
    // Files of earlier versions lack some of the columns.
    const QSqlRecord record = db_.record(QStringLiteral("Customers"));
    auto column = [&](const char *name) {
        return record.indexOf(QLatin1String(name)) >= 0 ? QString::fromLatin1(name) : QStringLiteral("NULL");
    };
    QSqlQuery q(db_);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT CustomerID, CustomerName, %1, %2, %3, %4 FROM Customers ORDER BY CustomerID")
                    .arg(column("CustomerValue"), column("CustomerHostAddr"), column("CustomerPort"),
                         column("CustomerSvrChecked"))))
        return fail(QStringLiteral("%1: cannot read its customers: %2").arg(path_, queryError(q)));
    while (q.next())
        customers->append(
            {q.value(0).toLongLong(), q.value(1).toString(), q.value(2), q.value(3), q.value(4), q.value(5)});
    if (q.lastError().isValid())
        return fail(QStringLiteral("%1: cannot read its customers: %2").arg(path_, queryError(q)));
    return true;
}

bool StationFile::startSerials()
{
    read_ = 0;
    readFailed_ = false;
    rows_ = QSqlQuery(db_);
    rows_.setForwardOnly(true);
    // The value's bytes as stored (a text that is not UTF-8 would come back mangled, two of
    // them as one), the state with its kind (a text there is no state at all).
    if (!rows_.exec(QStringLiteral("SELECT CAST(SerialNumber AS BLOB), CustomerID, IsUse, typeof(IsUse), "
                                   "DeviceType, DeviceSerialNum, szIP, SNID FROM SerialNumbers ORDER BY SNID")))
        return fail(QStringLiteral("%1: cannot read its identifiers: %2").arg(path_, queryError(rows_)));
    return true;
}

bool StationFile::nextSerial(Serial *r)
{
    if (!rows_.next())
        return readEnd(QStringLiteral("identifiers"));
    ++read_;
    *r = Serial();
    r->bytes = rows_.value(0).toByteArray();
    r->fileRow = rows_.value(7).toLongLong();
    r->refused = refusalOf(r->bytes);
    if (r->refused.isEmpty())
        r->serialNumber = QString::fromUtf8(r->bytes);
    r->customerId = rows_.value(1).toLongLong();
    const QVariant isUse = rows_.value(2);
    r->isUse = isUse.toInt();
    r->state = stateName(r->isUse);
    if (rows_.value(3).toString() != QLatin1String("integer") || !knownState(r->isUse)) {
        r->state = isUse.isNull() ? QStringLiteral("NULL") : shown(isUse.toByteArray());
        if (r->refused.isEmpty())
            r->refused = QStringLiteral("unknown usage state %1 in the station file").arg(r->state);
    }
    r->deviceType = text(rows_.value(4));
    r->deviceSerialNum = text(rows_.value(5));
    r->deviceIp = text(rows_.value(6));
    return true;
}

bool StationFile::readRetired(QVector<Retired> *rows)
{
    if (db_.record(QStringLiteral("RetiredSerials")).isEmpty())
        return true;
    QSqlQuery q(db_);
    q.setForwardOnly(true);
    if (q.exec(QStringLiteral("SELECT CAST(SerialNumber AS BLOB), CustomerID, IsUse, DeviceType, DeviceSerialNum, "
                              "szIP, RetiredDate, RetiredStation, RSID FROM RetiredSerials ORDER BY RSID"))) {
        while (q.next()) {
            Retired r;
            r.bytes = q.value(0).toByteArray();
            r.refused = refusalOf(r.bytes);
            if (r.refused.isEmpty())
                r.serialNumber = QString::fromUtf8(r.bytes);
            r.customerId = q.value(1).toLongLong();
            r.isUse = q.value(2).toInt();
            r.deviceType = text(q.value(3));
            r.deviceSerialNum = text(q.value(4));
            r.deviceIp = text(q.value(5));
            r.date = text(q.value(6));
            r.station = q.value(7).toString();
            r.fileRow = q.value(8).toLongLong();
            rows->append(r);
        }
    }
    if (q.lastError().isValid())
        return fail(QStringLiteral("%1: cannot read its retired identifiers: %2").arg(path_, queryError(q)));
    return true;
}

bool StationFile::readLogStations(QStringList *stations)
{
    QSqlQuery q(db_);
    if (!q.exec(QStringLiteral("SELECT DISTINCT %1 FROM Logs")
                    .arg(logsHaveStation_ ? QStringLiteral("LogStation") : QStringLiteral("NULL"))))
        return fail(QStringLiteral("%1: cannot read its log: %2").arg(path_, queryError(q)));
    while (q.next())
        stations->append(q.value(0).toString());
    return true;
}

bool StationFile::checkLogChain()
{
    if (!logsHaveHash_)
        return true;
    QSqlQuery q(db_);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT LogID, LogType, LogDescribe, LogDate, %1, %2, LogHash FROM Logs ORDER BY LogID")
                    .arg(logsHaveStation_ ? QStringLiteral("LogStation") : QStringLiteral("NULL"),
                         logsHaveUser_ ? QStringLiteral("LogUser") : QStringLiteral("NULL"))))
        return fail(QStringLiteral("%1: cannot read its log: %2").arg(path_, queryError(q)));
    logchain::Walker walk;
    while (q.next())
        walk.add(q.value(0).toLongLong(), q.value(1).toString(), q.value(2).toString(), q.value(3).toString(),
                 q.value(4).toString(), q.value(5).toString(), q.value(6));
    if (q.lastError().isValid())
        return fail(QStringLiteral("%1: cannot read its log: %2").arg(path_, queryError(q)));
    if (!walk.broken())
        return true;
    return fail(QStringLiteral("%1: its log was changed behind the program's back: log row %2 (station \"%3\") breaks "
                               "its chain (%4). Nothing was merged; tarnwell-admin verify-log in a folder holding "
                               "the file as mydatabase.db shows the same")
                    .arg(path_)
                    .arg(walk.brokenId())
                    .arg(walk.brokenStation(), walk.brokenWhy()));
}

bool StationFile::startLogs()
{
    read_ = 0;
    readFailed_ = false;
    rows_ = QSqlQuery(db_);
    rows_.setForwardOnly(true);
    if (!rows_.exec(QStringLiteral("SELECT LogType, LogDescribe, LogDate, %1, %2 FROM Logs ORDER BY LogID")
                        .arg(logsHaveStation_ ? QStringLiteral("LogStation") : QStringLiteral("NULL"),
                             logsHaveUser_ ? QStringLiteral("LogUser") : QStringLiteral("NULL"))))
        return fail(QStringLiteral("%1: cannot read its log: %2").arg(path_, queryError(rows_)));
    return true;
}

bool StationFile::nextLog(LogRow *row)
{
    if (!rows_.next())
        return readEnd(QStringLiteral("log"));
    ++read_;
    *row = {text(rows_.value(0)), text(rows_.value(1)), text(rows_.value(2)), rows_.value(3).toString(),
            rows_.value(4).toString()};
    return true;
}
