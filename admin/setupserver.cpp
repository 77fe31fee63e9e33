// tarnwell-admin setup-server [--role NAME] [--host HOST] [--port N] [--database NAME] [--user LOGIN]
//
// Run once (and again after each new version of the program) by the login that owns the
// line's database, in a folder whose tarnwell.ini names the server, or with the options.
// Brings the pool to this program's schema, makes the stations' group role (NOLOGIN) when it
// is missing and gives it exactly what a station needs (stationPrivileges()): the stations'
// own logins are members of it and never own anything. Run again, it does the same and
// takes back whatever else the role was given on the pool's tables.
#include "admin/admin.h"

#include "store/datastore.h"
#include "store/storeconnection.h"
#include "store/storesettings.h"

#include <QCommandLineParser>
#include <QRegularExpression>
#include <QSqlError>

namespace admin {

namespace {

// Runs one statement on the pool's connection; false, with its error, when it fails.
bool exec(const QString &sql, QString *why, const QVariantList &values = {})
{
    QSqlQuery q(storeDatabase);
    // GRANT, CREATE ROLE and the like cannot be prepared: only statements with values are.
    bool done = false;
    if (values.isEmpty()) {
        done = q.exec(sql);
    } else {
        q.prepare(sql);
        for (const QVariant &v : values)
            q.addBindValue(v);
        done = q.exec();
    }
    if (done)
        return true;
    *why = q.lastError().text().simplified();
    return false;
}

// The first column of the first row of `sql`; an invalid value when there is none or it fails.
QVariant value(const QString &sql, const QVariantList &values = {})
{
    QSqlQuery q(storeDatabase);
    q.prepare(sql);
    for (const QVariant &v : values)
        q.addBindValue(v);
    return q.exec() && q.next() ? q.value(0) : QVariant();
}

QString openFailure(const StoreSettings &settings)
{
    const QString where = QStringLiteral("the pool on %1, database %2").arg(settings.serverText(), settings.database);
    switch (storeSchemaProblem()) {
    case SchemaProblem::NotOpened:
        return QStringLiteral("cannot open %1: %2").arg(where, storeError());
    case SchemaProblem::TooNew:
        return QStringLiteral("%1 was made by a newer version of Tarnwell; it was left as it is").arg(where);
    case SchemaProblem::NeedsSetup:
    case SchemaProblem::MissingPrivilege:
        return QStringLiteral("%1: %2; run setup-server as the login that owns the database").arg(where, storeError());
    default:
        return QStringLiteral("%1 could not be brought to this version: %2").arg(where, storeError());
    }
}

} // namespace

int setupServer(const QStringList &args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Brings the line's PostgreSQL pool to this version of Tarnwell and gives the stations' group "
                       "role exactly what a station needs. Run it as the login that owns the database, in a folder "
                       "whose tarnwell.ini names the server, or with the options. The password is taken from "
                       "TARNWELL_DB_PASSWORD, PGPASSWORD or ~/.pgpass."));
    parser.addHelpOption();
    const QCommandLineOption roleOption(QStringLiteral("role"),
                                        QStringLiteral("The stations' group role (default tarnwell_station)."),
                                        QStringLiteral("NAME"), QStringLiteral("tarnwell_station"));
    const QCommandLineOption hostOption(QStringLiteral("host"), QStringLiteral("The server (default: tarnwell.ini's)."),
                                        QStringLiteral("HOST"));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("The server's port."),
                                        QStringLiteral("N"));
    const QCommandLineOption databaseOption(QStringLiteral("database"), QStringLiteral("The line's database."),
                                            QStringLiteral("NAME"));
    const QCommandLineOption userOption(QStringLiteral("user"), QStringLiteral("The database owner's login."),
                                        QStringLiteral("LOGIN"));
    parser.addOptions({roleOption, hostOption, portOption, databaseOption, userOption});
    if (!parser.parse(QStringList{QStringLiteral("tarnwell-admin setup-server")} + args))
        return printError(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        printOut(parser.helpText());
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return printError(
            QStringLiteral("setup-server takes no argument \"%1\"").arg(parser.positionalArguments().first()));

    QString settingsError;
    StoreSettings settings = StoreSettings::load(&settingsError);
    if (!settingsError.isEmpty())
        return printError(QStringLiteral("%1: %2").arg(StoreSettings::filePath(), settingsError));
    bool named = false;
    if (parser.isSet(hostOption))
        settings.host = parser.value(hostOption), named = true;
    if (parser.isSet(portOption)) {
        bool ok = false;
        settings.port = parser.value(portOption).toInt(&ok);
        if (!ok || settings.port < 1 || settings.port > 65535)
            return printError(QStringLiteral("--port takes a number from 1 to 65535"));
        named = true;
    }
    if (parser.isSet(databaseOption))
        settings.database = parser.value(databaseOption), named = true;
    if (parser.isSet(userOption))
        settings.user = parser.value(userOption), named = true;
    if (named)
        settings.engine = StoreSettings::PostgreSQL;
    if (settings.engine != StoreSettings::PostgreSQL)
        return printError(QStringLiteral("setup-server prepares a PostgreSQL pool, and %1 names none: run it in a "
                                         "station's folder whose tarnwell.ini names the server, or give --host, "
                                         "--database and --user")
                              .arg(StoreSettings::filePath()));
    if (settings.database.isEmpty())
        settings.database = QStringLiteral("tarnwell");
    // Spliced into GRANT and CREATE ROLE (names cannot be bound): plain lower-case names only.
    const QString role = parser.value(roleOption);
    if (!QRegularExpression(QStringLiteral("^[a-z_][a-z0-9_]{0,62}$")).match(role).hasMatch())
        return printError(
            QStringLiteral("--role \"%1\" is not a plain role name (lower-case letters, digits and _)").arg(role));

    // Opening as the owner applies the schema's changes (and makes the tables of a new pool).
    openDatabase(settings);
    if (!storeDatabase.isOpen())
        return printError(openFailure(settings));
    const QString login = value(QStringLiteral("SELECT current_user")).toString();
    const QString owner = value(QStringLiteral("SELECT pg_get_userbyid(relowner) FROM pg_class WHERE oid = "
                                               "to_regclass('serialnumbers')"))
                              .toString();
    if (!value(QStringLiteral("SELECT pg_has_role(relowner, 'USAGE') FROM pg_class WHERE oid = "
                              "to_regclass('serialnumbers')"))
             .toBool()) {
        closeDatabase();
        return printError(
            QStringLiteral("the login %1 does not own the pool's tables (%2 does); run setup-server as %2")
                .arg(login, owner));
    }
    printOut(QStringLiteral("Pool: database %1 on %2, schema version %3, owned by %4")
                 .arg(settings.database, settings.serverText())
                 .arg(storeSchemaVersion())
                 .arg(owner));

    QString why;
    const auto stop = [&](const QString &what) {
        // Nothing half-granted stays: closing the connection rolls an open transaction back.
        closeDatabase();
        return printError(what);
    };
    const QVariant canLogin = value(QStringLiteral("SELECT rolcanlogin FROM pg_roles WHERE rolname = ?"), {role});
    if (!canLogin.isValid()) {
        if (!exec(QStringLiteral("CREATE ROLE %1 NOLOGIN").arg(role), &why))
            return stop(QStringLiteral("cannot create the group role %1 (%2); give %3 CREATEROLE, or have a superuser "
                                       "run: createuser --no-login %1")
                            .arg(role, why, login));
        printOut(QStringLiteral("Group role %1: created (NOLOGIN)").arg(role));
    } else if (canLogin.toBool()) {
        return stop(QStringLiteral("%1 is a login role, not a group: name the stations' group with --role").arg(role));
    } else {
        printOut(QStringLiteral("Group role %1: exists").arg(role));
    }
    // A group that is (or inherits) the owner would own the pool: no schema changes is then
    // beyond any grant.
    if (value(QStringLiteral("SELECT r.rolsuper OR pg_has_role(r.oid, ?, 'MEMBER') FROM pg_roles r WHERE "
                             "r.rolname = ?"),
              {owner, role})
            .toBool())
        return stop(QStringLiteral("the group role %1 is a superuser or a member of the owner %2; it cannot be "
                                   "limited to what a station needs")
                        .arg(role, owner));

    // One transaction: a station never sees half of the grants.
    const QString schema = value(QStringLiteral("SELECT quote_ident(current_schema())")).toString();
    const QString database = value(QStringLiteral("SELECT quote_ident(current_database())")).toString();
    QStringList done;
    QStringList sql{QStringLiteral("BEGIN"),
                    QStringLiteral("GRANT CONNECT ON DATABASE %1 TO %2").arg(database, role),
                    QStringLiteral("GRANT USAGE ON SCHEMA %1 TO %2").arg(schema, role),
                    QStringLiteral("REVOKE CREATE ON SCHEMA %1 FROM %2").arg(schema, role),
                    QStringLiteral("REVOKE ALL ON ALL TABLES IN SCHEMA %1 FROM %2").arg(schema, role),
                    QStringLiteral("REVOKE ALL ON ALL SEQUENCES IN SCHEMA %1 FROM %2").arg(schema, role)};
    for (const StorePrivilege &p : stationPrivileges()) {
        sql << QStringLiteral("GRANT %1 ON TABLE %2 TO %3").arg(p.privileges.join(QStringLiteral(", ")), p.table, role);
        done << QStringLiteral("  %1 on %2").arg(p.privileges.join(QStringLiteral(", ")), p.table);
    }
    sql << QStringLiteral("COMMIT");
    for (const QString &one : qAsConst(sql))
        if (!exec(one, &why))
            return stop(QStringLiteral("\"%1\" failed: %2; nothing was granted").arg(one, why));
    printOut(QStringLiteral("Granted to %1 (and nothing else on the pool's tables):").arg(role));
    for (const QString &line : qAsConst(done))
        printOut(line);

    // What the role holds through PUBLIC: on servers before PostgreSQL 15 everyone may create
    // tables in the public schema unless that was taken back.
    int code = 0;
    if (value(QStringLiteral("SELECT has_schema_privilege(?, current_schema(), 'CREATE')"), {role}).toBool()) {
        exec(QStringLiteral("REVOKE CREATE ON SCHEMA %1 FROM PUBLIC").arg(schema), &why);
        if (value(QStringLiteral("SELECT has_schema_privilege(?, current_schema(), 'CREATE')"), {role}).toBool()) {
            printError(QStringLiteral("%1 may still create tables in the schema %2 (through PUBLIC); as a superuser "
                                      "run: REVOKE CREATE ON SCHEMA %2 FROM PUBLIC")
                           .arg(role, schema),
                       1);
            code = 1;
        } else {
            printOut(QStringLiteral("Took back CREATE on the schema %1 from PUBLIC").arg(schema));
        }
    }
    printOut(QStringLiteral("Station logins: CREATE ROLE <name> LOGIN PASSWORD '...' IN ROLE %1").arg(role));
    closeDatabase();
    return code;
}

} // namespace admin
