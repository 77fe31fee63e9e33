#include "store/storesettings.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QStringList>

namespace {

const char kFileName[] = "tarnwell.ini";

// The keys of each [section] of an INI file as written. QSettings is not used: it reads a
// value with a comma as a list (whose text is empty, so "line 1, station 3" became the
// machine's name), takes the file's bytes as Latin-1 and skips lines it cannot read. Here
// a value is the rest of its line, up to a `;` that starts a comment, without the blanks
// around it; a value in double quotes is the text between them, `;` and all. Lines
// starting with `;` or `#` are comments. The file is UTF-8; a later key replaces an
// earlier one. Any other line is an error: the file says something the program would
// otherwise ignore.
struct Ini {
    QHash<QString, QHash<QString, QString>> sections;
    QHash<QString, int> lineOf; // "section/key" -> line number, for messages
    QString error;
};

Ini parse(const QByteArray &bytes)
{
    Ini ini;
    const QString text = QString::fromUtf8(bytes.startsWith("\xEF\xBB\xBF") ? bytes.mid(3) : bytes);
    QString section;
    int number = 0;
    for (const QStringRef &raw : text.splitRef(QLatin1Char('\n'))) {
        ++number;
        const QStringRef line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            const int close = line.indexOf(QLatin1Char(']'));
            const QStringRef after = close > 0 ? line.mid(close + 1).trimmed() : QStringRef();
            if (close <= 1 || !(after.isEmpty() || after.startsWith(QLatin1Char(';')))) {
                ini.error = QStringLiteral("line %1: \"%2\" is not a [section]").arg(number).arg(line);
                return ini;
            }
            section = line.mid(1, close - 1).trimmed().toString();
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0) {
            ini.error =
                QStringLiteral("line %1: \"%2\" is neither a [section], a comment nor key=value").arg(number).arg(line);
            return ini;
        }
        if (section.isEmpty()) {
            ini.error = QStringLiteral("line %1: \"%2\" stands before any [section]").arg(number).arg(line);
            return ini;
        }
        QStringRef value = line.mid(equals + 1).trimmed();
        if (value.startsWith(QLatin1Char('"'))) {
            const int close = value.indexOf(QLatin1Char('"'), 1);
            if (close < 0) {
                ini.error = QStringLiteral("line %1: the value's closing \" is missing").arg(number);
                return ini;
            }
            value = value.mid(1, close - 1);
        } else {
            const int comment = value.indexOf(QLatin1Char(';'));
            if (comment >= 0)
                value = value.left(comment).trimmed();
        }
        const QString key = line.left(equals).trimmed().toString();
        ini.sections[section].insert(key, value.toString());
        ini.lineOf.insert(section + QLatin1Char('/') + key, number);
    }
    return ini;
}

// A whole number from `low` to `high`; false for anything else ("5432x", "", "0").
bool number(const QString &text, int low, int high, int *value)
{
    bool ok = false;
    const int n = text.trimmed().toInt(&ok);
    if (!ok || n < low || n > high)
        return false;
    *value = n;
    return true;
}

} // namespace

QString StoreSettings::filePath()
{
    return QDir::current().absoluteFilePath(QLatin1String(kFileName));
}

QString StoreSettings::serverText() const
{
    return QStringLiteral("%1, port %2").arg(host.isEmpty() ? QStringLiteral("localhost") : host).arg(port);
}

StoreSettings StoreSettings::load(QString *error)
{
    StoreSettings s;
    s.password = qEnvironmentVariable("TARNWELL_DB_PASSWORD");
    QFile file{QString::fromLatin1(kFileName)};
    if (!file.exists())
        return s;
    const auto refuse = [&](const QString &why) {
        if (error)
            *error = why;
        StoreSettings defaults;
        defaults.password = s.password;
        return defaults;
    };
    if (!file.open(QIODevice::ReadOnly))
        return refuse(QStringLiteral("it cannot be read (%1)").arg(file.errorString()));
    const Ini ini = parse(file.readAll());
    if (!ini.error.isEmpty())
        return refuse(ini.error);
    const QHash<QString, QString> store = ini.sections.value(QStringLiteral("store"));
    const auto at = [&](const QString &key) {
        return QStringLiteral("line %1: ").arg(ini.lineOf.value(QStringLiteral("store/") + key));
    };

    static const QStringList known{QStringLiteral("driver"),   QStringLiteral("host"),       QStringLiteral("port"),
                                   QStringLiteral("database"), QStringLiteral("user"),       QStringLiteral("station"),
                                   QStringLiteral("sslmode"),  QStringLiteral("sslrootcert")};
    for (auto it = store.cbegin(); it != store.cend(); ++it) {
        if (known.contains(it.key()))
            continue;
        if (it.key().compare(QLatin1String("password"), Qt::CaseInsensitive) == 0)
            return refuse(at(it.key())
                          + QStringLiteral("a password does not belong in this file (every operator of the station can "
                                           "read it); give it in TARNWELL_DB_PASSWORD or the operator's ~/.pgpass"));
        return refuse(at(it.key())
                      + QStringLiteral("[store] has no key \"%1\" (it knows %2)")
                            .arg(it.key(), known.join(QStringLiteral(", "))));
    }

    const QString driver = store.value(QStringLiteral("driver"), QStringLiteral("sqlite")).trimmed().toLower();
    if (driver == QLatin1String("postgresql") || driver == QLatin1String("qpsql")
        || driver == QLatin1String("postgres"))
        s.engine = PostgreSQL;
    else if (driver != QLatin1String("sqlite") && driver != QLatin1String("qsqlite"))
        return refuse(at(QStringLiteral("driver"))
                      + QStringLiteral("unknown driver \"%1\" (postgresql or sqlite)").arg(driver));

    s.host = store.value(QStringLiteral("host")).trimmed();
    if (store.contains(QStringLiteral("port")) && !number(store.value(QStringLiteral("port")), 1, 65535, &s.port))
        return refuse(at(QStringLiteral("port"))
                      + QStringLiteral("the port \"%1\" is not a number from 1 to 65535")
                            .arg(store.value(QStringLiteral("port"))));
    s.database = store.value(QStringLiteral("database"), QStringLiteral("tarnwell")).trimmed();
    s.user = store.value(QStringLiteral("user")).trimmed();
    s.station = store.value(QStringLiteral("station")).trimmed();

    s.sslMode = store.value(QStringLiteral("sslmode")).trimmed();
    static const QStringList modes{QStringLiteral("disable"),   QStringLiteral("allow"),
                                   QStringLiteral("prefer"),    QStringLiteral("require"),
                                   QStringLiteral("verify-ca"), QStringLiteral("verify-full")};
    if (store.contains(QStringLiteral("sslmode")) && !modes.contains(s.sslMode))
        return refuse(at(QStringLiteral("sslmode"))
                      + QStringLiteral("unknown sslmode \"%1\" (%2)").arg(s.sslMode, modes.join(QStringLiteral(", "))));
    s.sslRootCert = store.value(QStringLiteral("sslrootcert")).trimmed();
    // The driver takes its options as one text split at `;`.
    if (s.sslRootCert.contains(QLatin1Char(';')))
        return refuse(at(QStringLiteral("sslrootcert")) + QStringLiteral("the path may not hold a \";\""));

    const QHash<QString, QString> login = ini.sections.value(QStringLiteral("login"));
    if (login.contains(QStringLiteral("idle_minutes"))
        && !number(login.value(QStringLiteral("idle_minutes")), 0, 24 * 60, &s.idleMinutes))
        return refuse(QStringLiteral("line %1: idle_minutes \"%2\" is not a number of minutes from 0 to 1440")
                          .arg(ini.lineOf.value(QStringLiteral("login/idle_minutes")))
                          .arg(login.value(QStringLiteral("idle_minutes"))));

    // Labels are on only with a printer; which kind of printer it names is the labels'
    // business (the station words a bad one where it prints).
    const QHash<QString, QString> labels = ini.sections.value(QStringLiteral("labels"));
    static const QStringList labelKeys{QStringLiteral("printer"), QStringLiteral("template")};
    for (auto it = labels.cbegin(); it != labels.cend(); ++it)
        if (!labelKeys.contains(it.key()))
            return refuse(QStringLiteral("line %1: [labels] has no key \"%2\" (it knows %3)")
                              .arg(ini.lineOf.value(QStringLiteral("labels/") + it.key()))
                              .arg(it.key(), labelKeys.join(QStringLiteral(", "))));
    s.labelPrinter = labels.value(QStringLiteral("printer")).trimmed();
    s.labelTemplate = labels.value(QStringLiteral("template")).trimmed();
    if (ini.sections.contains(QStringLiteral("labels")) && s.labelPrinter.isEmpty())
        return refuse(QStringLiteral("[labels] needs printer= (cups:QUEUE, zpl://HOST:PORT or pdf:FOLDER)"));
    // A bad shift list only costs the page its shifts, never the station its pool.
    s.reportShifts = ini.sections.value(QStringLiteral("report")).value(QStringLiteral("shifts")).trimmed();
    return s;
}
