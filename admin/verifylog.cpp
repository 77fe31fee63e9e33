// tarnwell-admin verify-log [--expect-heads FILE] [--write-heads FILE]
//
// Walks every station's chain of the operation log, in LogID order, and checks each row's
// hash against its fields and the hash of the row before it in its station's chain.
#include "admin/admin.h"
#include "store/datastore.h"
#include "store/logchain.h"
#include "store/storeconnection.h"
#include "store/storesettings.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>

namespace admin {

namespace {

// Rows read per statement: the log may hold tens of millions, and no read stays open long.
const int kPage = 50000;

struct Chain {
    QByteArray head;
    qint64 chained = 0;
    bool started = false;
};

struct Walk {
    qint64 rows = 0, chained = 0, unchained = 0;
    QHash<QString, Chain> chains;
    // The first row that breaks a chain (LogID order), and why.
    qint64 brokenId = -1;
    QString brokenStation, brokenWhy;
    // Heads an earlier export recorded, per station, and those found in their chain.
    QHash<QString, QSet<QByteArray>> expected;
    QSet<QByteArray> found;
};

void check(Walk &walk, qint64 id, const QSqlQuery &q, bool withStation, bool withUser, bool withHash)
{
    ++walk.rows;
    const QString station = withStation ? q.value(4).toString() : QString();
    const QVariant stored = withHash ? q.value(6) : QVariant();
    const QString key = station.isNull() ? QString(QLatin1String("")) : station;
    Chain &chain = walk.chains[key];
    const auto breaks = [&](const QString &why) {
        if (walk.brokenId < 0) {
            walk.brokenId = id;
            walk.brokenStation = key;
            walk.brokenWhy = why;
        }
    };
    if (stored.isNull()) {
        // Written before the chain; once a station's chain has begun, a row without a hash
        // was put there behind the program's back.
        if (chain.started)
            breaks(QStringLiteral("it has no hash, yet it follows chained rows of its station (inserted, or its "
                                  "hash removed)"));
        ++walk.unchained;
        return;
    }
    const QByteArray hash = stored.toString().toLatin1();
    const QByteArray previous = chain.started ? chain.head : logchain::seed();
    const QString user = withUser ? q.value(5).toString() : QString();
    if (logchain::rowHash(previous, q.value(1).toString(), q.value(2).toString(), q.value(3).toString(), station, user)
        != hash)
        breaks(QStringLiteral("its hash does not follow from its fields and the row before it in the station's "
                              "chain (the row was changed or inserted, or a row before it removed)"));
    chain.head = hash;
    chain.started = true;
    ++chain.chained;
    ++walk.chained;
    const auto wanted = walk.expected.constFind(key);
    if (wanted != walk.expected.constEnd() && wanted->contains(hash))
        walk.found.insert(hash);
}

QString describe(const QString &station)
{
    return QStringLiteral("\"%1\"").arg(station);
}

} // namespace

int verifyLog(const QStringList &args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Checks the operation log's hash chains of the pool tarnwell.ini in the working folder names "
                       "(mydatabase.db without one). Exit code 0: every chained row checks; 1: a row breaks a chain "
                       "or a recorded head is gone; 2: it could not check."));
    parser.addHelpOption();
    const QCommandLineOption expectOption(
        QStringLiteral("expect-heads"),
        QStringLiteral("Heads recorded earlier (an export's FILE.loghead): each must still be in its chain."),
        QStringLiteral("FILE"));
    const QCommandLineOption writeOption(QStringLiteral("write-heads"),
                                         QStringLiteral("Also record the heads found now in FILE."),
                                         QStringLiteral("FILE"));
    parser.addOption(expectOption);
    parser.addOption(writeOption);
    if (!parser.parse(QStringList{QStringLiteral("tarnwell-admin verify-log")} + args))
        return printError(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        printOut(parser.helpText());
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return printError(QStringLiteral("verify-log takes no file names; see tarnwell-admin verify-log --help"));

    Walk walk;
    QList<logchain::Head> expectedHeads;
    if (parser.isSet(expectOption)) {
        QFile file(parser.value(expectOption));
        if (!file.open(QIODevice::ReadOnly))
            return printError(
                QStringLiteral("cannot read the heads file %1: %2").arg(file.fileName(), file.errorString()));
        QString why;
        if (!logchain::parseHeads(file.readAll(), &expectedHeads, &why))
            return printError(QStringLiteral("%1 is not a heads file: %2").arg(file.fileName(), why));
        for (const logchain::Head &head : expectedHeads)
            walk.expected[head.station].insert(head.hash);
    }

    QString settingsError;
    const StoreSettings settings = StoreSettings::load(&settingsError);
    if (!settingsError.isEmpty())
        return printError(settingsError.section(QLatin1Char(';'), 0, 0) + QStringLiteral("; nothing was checked"));
    QSqlDatabase db;
    QString target;
    if (settings.engine == StoreSettings::SQLite) {
        // Read only, and never made: a missing pool is not an empty log.
        const QString file = QDir::current().absoluteFilePath(QStringLiteral("mydatabase.db"));
        target = QStringLiteral("the pool file %1").arg(file);
        if (!QFileInfo(file).isFile())
            return printError(
                QStringLiteral("there is no %1; run verify-log in the station's working folder").arg(target));
        db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("verify-log"));
        db.setDatabaseName(file);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (!db.open())
            return printError(QStringLiteral("cannot open %1: %2").arg(target, db.lastError().text()));
    } else {
        target = QStringLiteral("the PostgreSQL database %1 on %2:%3")
                     .arg(settings.database, settings.host.isEmpty() ? QStringLiteral("localhost") : settings.host)
                     .arg(settings.port);
        openDatabase();
        if (!storeDatabase.isOpen())
            return printError(QStringLiteral("cannot open %1: %2").arg(target, storeDatabase.lastError().text()));
        db = storeDatabase;
    }

    // A pool of an earlier version lacks the newer columns: its rows are all unchained.
    QSqlQuery probe(db);
    const auto has = [&](const char *column) {
        return probe.exec(QStringLiteral("SELECT %1 FROM Logs WHERE 1=0").arg(QLatin1String(column)));
    };
    if (!has("LogID"))
        return printError(QStringLiteral("cannot read the log of %1: %2").arg(target, probe.lastError().text()));
    const bool withStation = has("LogStation"), withUser = has("LogUser"), withHash = has("LogHash");
    const QString sql = QStringLiteral("SELECT LogID, LogType, LogDescribe, LogDate, %1, %2, %3 FROM Logs "
                                       "WHERE LogID > ? ORDER BY LogID LIMIT %4")
                            .arg(withStation ? QStringLiteral("LogStation") : QStringLiteral("NULL"),
                                 withUser ? QStringLiteral("LogUser") : QStringLiteral("NULL"),
                                 withHash ? QStringLiteral("LogHash") : QStringLiteral("NULL"))
                            .arg(kPage);
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.prepare(sql))
        return printError(QStringLiteral("cannot read the log of %1: %2").arg(target, q.lastError().text()));
    qint64 after = -1;
    for (;;) {
        q.addBindValue(after);
        if (!q.exec())
            return printError(QStringLiteral("cannot read the log of %1 after LogID %2: %3")
                                  .arg(target)
                                  .arg(after)
                                  .arg(q.lastError().text()));
        int n = 0;
        while (q.next()) {
            ++n;
            after = q.value(0).toLongLong();
            check(walk, after, q, withStation, withUser, withHash);
        }
        q.finish();
        if (n < kPage)
            break;
    }

    QList<logchain::Head> heads;
    QStringList stations = walk.chains.keys();
    std::sort(stations.begin(), stations.end());
    printOut(QStringLiteral("Checked %1 log rows of %2: %3 chained, %4 unchained (written before the chain)")
                 .arg(walk.rows)
                 .arg(target)
                 .arg(walk.chained)
                 .arg(walk.unchained));
    for (const QString &station : stations) {
        const Chain &chain = walk.chains.value(station);
        if (!chain.started)
            continue;
        heads.append({station, chain.head});
        printOut(QStringLiteral("Chain of station %1: %2 rows, head %3")
                     .arg(describe(station))
                     .arg(chain.chained)
                     .arg(QString::fromLatin1(chain.head)));
    }
    printOut(QStringLiteral("Head of all chains: %1").arg(QString::fromLatin1(logchain::overallHead(heads))));

    if (parser.isSet(writeOption)) {
        QFile file(parser.value(writeOption));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(logchain::formatHeads(heads)) < 0
            || !file.flush())
            return printError(
                QStringLiteral("cannot write the heads file %1: %2").arg(file.fileName(), file.errorString()));
    }

    int status = 0;
    if (walk.brokenId >= 0) {
        printOut(QStringLiteral("BROKEN: log row %1 (station %2) breaks the chain: %3")
                     .arg(walk.brokenId)
                     .arg(describe(walk.brokenStation), walk.brokenWhy));
        status = 1;
    }
    for (const logchain::Head &head : expectedHeads) {
        if (walk.found.contains(head.hash))
            continue;
        printOut(QStringLiteral("MISSING: the chain of station %1 no longer holds the head %2 recorded in %3 (rows "
                                "cut off its end, or the chain replaced)")
                     .arg(describe(head.station), QString::fromLatin1(head.hash), parser.value(expectOption)));
        status = 1;
    }
    if (status == 0)
        printOut(expectedHeads.isEmpty() ? QStringLiteral("Every chain checks.")
                                         : QStringLiteral("Every chain checks, and holds every recorded head."));
    return status;
}

} // namespace admin
