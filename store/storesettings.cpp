#include "store/storesettings.h"

#include <QFile>
#include <QSettings>

StoreSettings StoreSettings::load(QString *error)
{
    StoreSettings s;
    const QString file = QStringLiteral("tarnwell.ini");
    if (QFile::exists(file)) {
        QSettings ini(file, QSettings::IniFormat);
        ini.beginGroup(QStringLiteral("store"));
        const QString driver =
            ini.value(QStringLiteral("driver"), QStringLiteral("sqlite")).toString().trimmed().toLower();
        if (driver == QLatin1String("postgresql") || driver == QLatin1String("qpsql")
            || driver == QLatin1String("postgres")) {
            s.engine = PostgreSQL;
        } else if (driver != QLatin1String("sqlite") && driver != QLatin1String("qsqlite") && error) {
            *error = QStringLiteral("tarnwell.ini names an unknown driver \"%1\"; the SQLite file is used").arg(driver);
        }
        s.host = ini.value(QStringLiteral("host")).toString().trimmed();
        s.port = ini.value(QStringLiteral("port"), 5432).toInt();
        s.database = ini.value(QStringLiteral("database"), QStringLiteral("tarnwell")).toString().trimmed();
        s.user = ini.value(QStringLiteral("user")).toString().trimmed();
        s.station = ini.value(QStringLiteral("station")).toString().trimmed();
        ini.endGroup();
    }
    s.password = qEnvironmentVariable("TARNWELL_DB_PASSWORD");
    return s;
}
