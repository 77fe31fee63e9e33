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
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace admin {

namespace {

// Rows read per statement: the log may hold tens of millions, and no read stays open long.
const int kPage = 50000;

// A station's name as printed: whatever a row holds, one line that cannot pass for another.
QString describe(const QString &station)
{
    QString shown;
    for (const QChar c : station)
        shown += c.isPrint() && c != QLatin1Char('"') && c != QLatin1Char('\\')
            ? QString(c)
            : QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    return QStringLiteral("\"%1\"").arg(shown);
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

    logchain::Walker walk;
    QList<logchain::Head> expectedHeads;
    if (parser.isSet(expectOption)) {
        QFile file(parser.value(expectOption));
        if (!file.open(QIODevice::ReadOnly))
            return printError(
                QStringLiteral("cannot read the heads file %1: %2").arg(file.fileName(), file.errorString()));
        QString why;
        if (!logchain::parseHeads(file.readAll(), &expectedHeads, &why))
            return printError(QStringLiteral("%1 is not a heads file: %2").arg(file.fileName(), why));
        walk.expect(expectedHeads);
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
                QStringLiteral("there is no pool file %1; run verify-log in the station's working folder").arg(file));
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
            // A row without a station joins the chain of the empty name.
            walk.add(after, q.value(1).toString(), q.value(2).toString(), q.value(3).toString(),
                     withStation ? q.value(4).toString() : QString(), withUser ? q.value(5).toString() : QString(),
                     withHash ? q.value(6) : QVariant());
        }
        q.finish();
        if (n < kPage)
            break;
    }

    printOut(QStringLiteral("Checked %1 log rows of %2: %3 chained, %4 unchained (written before the chain)")
                 .arg(walk.rows())
                 .arg(target)
                 .arg(walk.chained())
                 .arg(walk.unchained()));
    for (auto c = walk.chains().cbegin(); c != walk.chains().cend(); ++c)
        printOut(QStringLiteral("Chain of station %1: %2 rows, head %3")
                     .arg(describe(c.key()))
                     .arg(c->chained)
                     .arg(QString::fromLatin1(c->head)));
    const QList<logchain::Head> heads = walk.heads();
    printOut(QStringLiteral("Head of all chains: %1").arg(QString::fromLatin1(logchain::overallHead(heads))));

    if (parser.isSet(writeOption)) {
        QFile file(parser.value(writeOption));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(logchain::formatHeads(heads)) < 0
            || !file.flush())
            return printError(
                QStringLiteral("cannot write the heads file %1: %2").arg(file.fileName(), file.errorString()));
    }

    int status = 0;
    if (walk.broken()) {
        printOut(QStringLiteral("BROKEN: log row %1 (station %2) breaks the chain: %3")
                     .arg(walk.brokenId())
                     .arg(describe(walk.brokenStation()), walk.brokenWhy()));
        status = 1;
    }
    for (const logchain::Head &head : expectedHeads) {
        if (walk.found(head))
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
