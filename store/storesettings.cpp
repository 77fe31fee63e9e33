#include "store/storesettings.h"

#include <QFile>
#include <QHash>

namespace {

// The keys of one [group] of an INI file as written. QSettings is not used: it reads a
// value with a comma as a list (whose text is empty, so "line 1, station 3" became the
// machine's name) and takes the file's bytes as Latin-1. Here a value is the rest of its
// line, up to a `;` that starts a comment, without the blanks around it; a value in double
// quotes is the text between them, `;` and all. Lines starting with `;` or `#` are
// comments. The file is UTF-8; a later key replaces an earlier one.
QHash<QString, QString> iniGroup(const QByteArray &bytes, const QString &group)
{
    QHash<QString, QString> keys;
    const QString text = QString::fromUtf8(bytes.startsWith("\xEF\xBB\xBF") ? bytes.mid(3) : bytes);
    bool inGroup = false;
    for (const QStringRef &raw : text.splitRef(QLatin1Char('\n'))) {
        const QStringRef line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            const int close = line.indexOf(QLatin1Char(']'));
            inGroup = close > 0 && line.mid(1, close - 1).trimmed() == group;
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        if (!inGroup || equals <= 0)
            continue;
        QStringRef value = line.mid(equals + 1).trimmed();
        if (value.startsWith(QLatin1Char('"'))) {
            const int close = value.indexOf(QLatin1Char('"'), 1);
            value = close > 0 ? value.mid(1, close - 1) : value.mid(1);
        } else {
            const int comment = value.indexOf(QLatin1Char(';'));
            if (comment >= 0)
                value = value.left(comment).trimmed();
        }
        keys.insert(line.left(equals).trimmed().toString(), value.toString());
    }
    return keys;
}

} // namespace

StoreSettings StoreSettings::load(QString *error)
{
    StoreSettings s;
    QFile file(QStringLiteral("tarnwell.ini"));
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray bytes = file.readAll();
        const QHash<QString, QString> ini = iniGroup(bytes, QStringLiteral("store"));
        const QString driver = ini.value(QStringLiteral("driver"), QStringLiteral("sqlite")).trimmed().toLower();
        if (driver == QLatin1String("postgresql") || driver == QLatin1String("qpsql")
            || driver == QLatin1String("postgres")) {
            s.engine = PostgreSQL;
        } else if (driver != QLatin1String("sqlite") && driver != QLatin1String("qsqlite") && error) {
            *error = QStringLiteral("tarnwell.ini names an unknown driver \"%1\"; the SQLite file is used").arg(driver);
        }
        s.host = ini.value(QStringLiteral("host")).trimmed();
        bool ok = false;
        const int port = ini.value(QStringLiteral("port")).toInt(&ok);
        s.port = ok ? port : 5432;
        s.database = ini.value(QStringLiteral("database"), QStringLiteral("tarnwell")).trimmed();
        s.user = ini.value(QStringLiteral("user")).trimmed();
        s.station = ini.value(QStringLiteral("station")).trimmed();
        bool minutesOk = false;
        const int minutes =
            iniGroup(bytes, QStringLiteral("login")).value(QStringLiteral("idle_minutes")).toInt(&minutesOk);
        if (minutesOk && minutes >= 0)
            s.idleMinutes = minutes;
    }
    s.password = qEnvironmentVariable("TARNWELL_DB_PASSWORD");
    return s;
}
