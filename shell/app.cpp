#include "shell/app.h"

#include "shell/login.h"
#include "shell/stationnotice.h"
#include "shell/tarnwell.h"

#include "base/poolfile.h"
#include "store/datastore.h"
#include "store/storesettings.h"
#include "widgets/messagebox.h"
#include <QApplication>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QSysInfo>
#include <QTranslator>

#include <cerrno>

#include <signal.h>

QString chooseTranslation()
{
    // The package's launcher keeps each operator's choice in the operator's own folder.
    const QString folder = qEnvironmentVariable("TARNWELL_LANGUAGE_DIR", QStringLiteral("./language"));
    const QFileInfoList files = QDir(folder).entryInfoList({QStringLiteral("*.qm")});
    return files.isEmpty() ? QString() : files.first().filePath();
}

namespace {

// The working folder by name; a removed one has none left, but the shell that started
// the program still knows it.
QString workingFolder()
{
    const QString here = QDir::currentPath();
    return QDir::toNativeSeparators(here.isEmpty() ? qEnvironmentVariable("PWD") : here);
}

// Why the working folder cannot take a new file, as the system says it.
QString writeFailure()
{
    QFile probe(QStringLiteral("mydatabase.db.lock-probe"));
    if (!probe.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return probe.errorString();
    probe.close();
    probe.remove();
    return QCoreApplication::translate("Tarnwell", "the lock file could not be made");
}

// Whether the lock is another program's that still runs. A lock left by a program that
// is gone is only in the way when the folder does not let it be removed.
bool heldByAnotherProgram(const QLockFile &lock)
{
    qint64 pid = 0;
    QString host, application;
    if (!lock.getLockInfo(&pid, &host, &application) || host != QSysInfo::machineHostName())
        return true; // unreadable, or another machine's (a shared folder): assume it runs
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

// Why the pool could not be opened, for the operator: what is wrong and who can put it right.
QString startProblemText(SchemaProblem problem, int poolVersion)
{
    QString error;
    const StoreSettings settings = StoreSettings::load(&error);
    const QString host = settings.host.isEmpty() ? QStringLiteral("localhost") : settings.host;
    const QString login = settings.user.isEmpty() ? qEnvironmentVariable("USER") : settings.user;
    switch (problem) {
    case SchemaProblem::TooNew:
        return QCoreApplication::translate("Tarnwell",
                                           "The pool was made by a newer version of Tarnwell (schema version %1; "
                                           "this one knows up to %2). It was left as it is; this one closes.")
            .arg(poolVersion)
            .arg(storeSchemaVersion());
    case SchemaProblem::Settings:
        return QCoreApplication::translate("Tarnwell",
                                           "The settings file %1 cannot be used: %2. Nothing was opened; correct "
                                           "the file and start Tarnwell again.")
            .arg(QDir::toNativeSeparators(StoreSettings::filePath()), error.isEmpty() ? storeError() : error);
    case SchemaProblem::NotOpened:
        if (settings.engine == StoreSettings::PostgreSQL)
            return QCoreApplication::translate("Tarnwell",
                                               "Tarnwell cannot open the pool on the server: host %1, port %2, "
                                               "database %3, login %4. The server says: %5 Check that the server "
                                               "runs and can be reached, and the login and its password; this one "
                                               "closes.")
                .arg(host)
                .arg(settings.port)
                .arg(settings.database, login, storeError());
        return QCoreApplication::translate("Tarnwell", "Tarnwell cannot open the pool file %1: %2 This one closes.")
            .arg(QDir::toNativeSeparators(QDir::current().absoluteFilePath(QStringLiteral("mydatabase.db"))),
                 storeError());
    case SchemaProblem::NeedsSetup:
        return QCoreApplication::translate("Tarnwell",
                                           "The pool on the server (host %1, port %2) is older than this version of "
                                           "Tarnwell, and the login %3 may not change it. The database's owner runs "
                                           "\"tarnwell-admin setup-server\" once, then the stations start again. "
                                           "Nothing was changed; this one closes.")
            .arg(host)
            .arg(settings.port)
            .arg(login);
    case SchemaProblem::MissingPrivilege:
        return QCoreApplication::translate("Tarnwell",
                                           "The login %1 lacks privileges this station needs on the server (host "
                                           "%2, port %3): %4. The database's owner runs \"tarnwell-admin "
                                           "setup-server\" and makes %1 a member of the stations' group role; this "
                                           "one closes.")
            .arg(login, host)
            .arg(settings.port)
            .arg(storeError());
    case SchemaProblem::MigrationFailed:
    case SchemaProblem::None:
        break;
    }
    return QCoreApplication::translate("Tarnwell",
                                       "The pool could not be brought to this version of Tarnwell (%1). It was "
                                       "left as it was; this one closes.")
        .arg(storeError());
}

} // namespace

int runTarnwell(QApplication &app)
{
    QTranslator translator;
    const QString file = chooseTranslation();
    if (!file.isEmpty()) {
        translator.load(file);
        app.installTranslator(&translator);
    }

    if (!stationNoticesAllowStart()) {
        app.removeTranslator(&translator);
        return 1;
    }

    // One program per pool file: a second one would hand out the same identifiers. The
    // lock dies with the process, so a crash leaves nothing to clean up. In a station
    // folder it is the group's, so another operator can tell a crashed program's lock and
    // take it over.
    QLockFile poolLock(QStringLiteral("mydatabase.db.lock"));
    poolLock.setStaleLockTime(0);
    bool locked;
    {
        const poolfile::Umask mask(poolfile::folderAt(QFile::encodeName(QDir::currentPath()).toStdString()));
        locked = poolLock.tryLock(0);
    }
    if (!locked) {
        if (poolLock.error() == QLockFile::LockFailedError && heldByAnotherProgram(poolLock)) {
            MessageBox::warning(nullptr, QCoreApplication::translate("Tarnwell", "Warning"),
                                QCoreApplication::translate("Tarnwell",
                                                            "Tarnwell is already running in this folder. "
                                                            "Use that window; this one closes."));
        } else {
            // Nobody holds the lock: the folder cannot take a file (read-only, removed, full),
            // so it cannot hold the pool either.
            MessageBox::critical(nullptr, QCoreApplication::translate("Tarnwell", "Error"),
                                 QCoreApplication::translate("Tarnwell",
                                                             "Tarnwell cannot write in the folder %1 (%2), so it "
                                                             "cannot keep its pool there. Start it in a folder it "
                                                             "may write; this one closes.")
                                     .arg(workingFolder(), writeFailure()));
        }
        app.removeTranslator(&translator);
        return 0;
    }

    Login login;
    int poolVersion = 0;
    const SchemaProblem problem = storeSchemaProblem(&poolVersion);
    if (problem != SchemaProblem::None) {
        // The pool was left as it was, and no login is asked for on a pool that is not open.
        MessageBox::critical(nullptr, QCoreApplication::translate("Tarnwell", "Error"),
                             startProblemText(problem, poolVersion));
        app.removeTranslator(&translator);
        return 0;
    }
    if (login.exec() != QDialog::Accepted) {
        app.removeTranslator(&translator);
        return 0;
    }

    int code;
    {
        Tarnwell window;
        window.show();
        code = app.exec();
    }
    app.removeTranslator(&translator);
    return code;
}
