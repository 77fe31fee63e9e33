// tarnwell-merge: copies a station's own pool file (identifiers and log) into the pool the
// station uses now, the one tarnwell.ini in the working folder names (mydatabase.db without
// one). Run it in the station's working folder:
//
//   tarnwell-merge [--station NAME] [--report FILE.csv] STATION.db
//
// Exit code 0: merged; 1: merged, but some identifiers conflict (listed in the report,
// left as they are); 2: an error stopped it (the message says what is merged).
#include "base/poolfile.h"
#include "jobs/mergejob.h"
#include "store/datastore.h"
#include "store/lockkeys.h"
#include "store/storeconnection.h"
#include "store/storesettings.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLockFile>
#include <QSqlError>

#include <cstdio>
#include <utility>

namespace {

void print(FILE *to, const QString &text)
{
    const QByteArray bytes = text.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), to);
    std::fflush(to);
}

int error(const QString &message)
{
    // One line, whatever the driver's text holds.
    print(stderr, QStringLiteral("tarnwell-merge: ") + message.simplified());
    return 2;
}

using jobs::MergeOptions;

// Tells the operator where the merge goes once it starts.
class Console : public jobs::MergeListener
{
public:
    explicit Console(QString line)
        : line_(std::move(line))
    {
    }
    void started() override
    {
        started_ = true;
        print(stdout, line_);
    }
    bool hasStarted() const { return started_; }

private:
    QString line_;
    bool started_ = false;
};

void printCounts(const jobs::MergeJob &merge, const QElapsedTimer &clock)
{
    const jobs::MergeCounts &c = merge.counts();
    print(stdout, QStringLiteral("Customers added: %1").arg(c.customersAdded));
    print(stdout, QStringLiteral("Identifiers copied: %1").arg(c.copied));
    print(stdout, QStringLiteral("Identifiers already present: %1").arg(c.present));
    print(stdout, QStringLiteral("Identifiers updated from unused to used/pending: %1").arg(c.updated));
    print(stdout, QStringLiteral("Conflicts: %1").arg(c.conflicts));
    print(stdout, QStringLiteral("Identifiers refused: %1").arg(c.refused));
    print(stdout, QStringLiteral("Identifiers retired in the pool (not stored): %1").arg(c.retired));
    print(stdout, QStringLiteral("Retired identifiers copied: %1").arg(c.retiredCopied));
    print(stdout,
          QStringLiteral("Retired in the target too (used or pending when the station retired them): %1")
              .arg(c.retiredInTarget));
    print(stdout, QStringLiteral("Log rows copied: %1").arg(c.logsCopied));
    print(stdout, QStringLiteral("Log rows already present: %1").arg(c.logsPresent));
    print(stdout, QStringLiteral("Time: %1 s").arg(double(clock.elapsed()) / 1000.0, 0, 'f', 1));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarnwell-merge"));
    QElapsedTimer clock;
    clock.start();

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Copies a station's pool file (identifiers and log) into the pool that tarnwell.ini in the "
                       "working folder names (mydatabase.db without one). Exit code 0: merged; 1: merged, with "
                       "conflicts listed in the report and left as they are; 2: an error stopped it."));
    parser.addHelpOption();
    const QCommandLineOption stationOption(
        QStringLiteral("station"),
        QStringLiteral("Station of the file's log rows that name none (default: the file's base name)."),
        QStringLiteral("NAME"));
    const QCommandLineOption reportOption(
        QStringLiteral("report"),
        QStringLiteral("Where the CSV report of conflicts goes (default: <file's base name>-conflicts.csv here)."),
        QStringLiteral("FILE.csv"));
    const QCommandLineOption batchOption(
        QStringLiteral("batch"),
        QStringLiteral("Identifiers and log rows per transaction (default %1 on a server, %2 on a pool file).")
            .arg(MergeOptions::kServerBatch)
            .arg(MergeOptions::kFileBatch),
        QStringLiteral("N"));
    parser.addOption(stationOption);
    parser.addOption(reportOption);
    parser.addOption(batchOption);
    parser.addPositionalArgument(QStringLiteral("STATION.db"), QStringLiteral("The station's pool file (only read)."));
    if (!parser.parse(QCoreApplication::arguments()))
        return error(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        print(stdout, parser.helpText());
        return 0;
    }
    if (parser.positionalArguments().size() != 1)
        return error(
            QStringLiteral("name one station file: tarnwell-merge [--station NAME] [--report FILE.csv] STATION.db"));

    MergeOptions options;
    options.stationFile = parser.positionalArguments().first();
    options.station = parser.value(stationOption).trimmed();
    if (parser.isSet(batchOption)) {
        bool batchOk = false;
        options.batchSize = parser.value(batchOption).toInt(&batchOk);
        if (!batchOk || options.batchSize < 1 || options.batchSize > 1000000)
            return error(QStringLiteral("--batch takes a number from 1 to 1000000"));
    }
    options.reportPath = parser.isSet(reportOption)
        ? parser.value(reportOption)
        : QFileInfo(options.stationFile).completeBaseName() + QStringLiteral("-conflicts.csv");
    options.reportPath = QDir::current().absoluteFilePath(options.reportPath);

    // A station program still running on the file would fail its writes while it is read.
    // Asked first: a running program's file also says it is open, which means "crashed" only
    // when nobody runs on it.
    QLockFile stationLock(QFileInfo(options.stationFile).absoluteFilePath() + QStringLiteral(".lock"));
    stationLock.setStaleLockTime(0);
    if (QFileInfo(options.stationFile).isFile() && !stationLock.tryLock(0)
        && stationLock.error() == QLockFile::LockFailedError)
        return error(QStringLiteral("Tarnwell is running on %1; close it first").arg(options.stationFile));

    QString settingsError;
    const StoreSettings settings = StoreSettings::load(&settingsError);
    if (!settingsError.isEmpty())
        return error(QStringLiteral("%1: %2; nothing was merged").arg(StoreSettings::filePath(), settingsError));
    QString target;
    QLockFile poolLock(QStringLiteral("mydatabase.db.lock"));
    if (settings.engine == StoreSettings::SQLite) {
        const QString file = QDir::current().absoluteFilePath(QStringLiteral("mydatabase.db"));
        target = QStringLiteral("the pool file %1").arg(file);
        if (QFileInfo(file).exists()
            && QFileInfo(file).canonicalFilePath() == QFileInfo(options.stationFile).canonicalFilePath())
            return error(
                QStringLiteral("%1 is the target pool itself (this folder's mydatabase.db)").arg(options.stationFile));
        // One program per pool file; the merge counts as one.
        poolLock.setStaleLockTime(0);
        bool locked;
        {
            // The group's in a station folder, as the program's own lock.
            const poolfile::Umask mask(poolfile::folderAt(QFile::encodeName(QDir::currentPath()).toStdString()));
            locked = poolLock.tryLock(0);
        }
        if (!locked)
            return error(
                QStringLiteral("Tarnwell is running in this folder (mydatabase.db.lock); close it before merging"));
    } else {
        target = QStringLiteral("the PostgreSQL database %1 on %2:%3 as %4")
                     .arg(settings.database, settings.host.isEmpty() ? QStringLiteral("localhost") : settings.host)
                     .arg(settings.port)
                     .arg(settings.user);
    }

    options.targetName = target;

    // The station file is checked whole before the target is touched.
    jobs::MergeJob merge(options);
    if (!merge.openStationFile(nullptr))
        return error(merge.error());

    openDatabase();
    if (!storeDatabase.isOpen()) {
        const SchemaProblem problem = storeSchemaProblem();
        if (problem == SchemaProblem::NeedsSetup || problem == SchemaProblem::MissingPrivilege)
            return error(QStringLiteral("cannot merge into %1: %2; the database's owner runs tarnwell-admin "
                                        "setup-server; nothing was merged")
                             .arg(target, storeError()));
        if (problem == SchemaProblem::TooNew)
            return error(
                QStringLiteral("cannot open %1: a newer version of Tarnwell made it; nothing was merged").arg(target));
        return error(QStringLiteral("cannot open %1: %2").arg(target, storeError()));
    }

    Console console(QStringLiteral("Merging %1 into %2 (log rows without a station: %3)")
                        .arg(QFileInfo(options.stationFile).absoluteFilePath(), target, merge.fallbackStation()));
    const bool ok = merge.run(&console);
    closeDatabase();
    // Stopped before it started (another merge, a server that cannot be asked): no counts.
    if (!console.hasStarted())
        return error(merge.error());
    printCounts(merge, clock);
    if (!ok)
        return error(merge.error());
    if (merge.counts().conflicts > 0 || merge.counts().refused > 0) {
        print(stdout,
              QStringLiteral("Report: %1 (%2 conflicts, %3 identifiers refused, nothing overwritten)")
                  .arg(merge.reportPath())
                  .arg(merge.counts().conflicts)
                  .arg(merge.counts().refused));
        return 1;
    }
    print(stdout, QStringLiteral("Report: %1 (no conflicts)").arg(merge.reportPath()));
    return 0;
}
