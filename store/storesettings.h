// Where a station keeps its pool: the SQLite file mydatabase.db in the working folder
// (no settings, as shipped), or a PostgreSQL database shared by the stations of a line,
// named in tarnwell.ini in the working folder:
//
//   [store]
//   driver=postgresql        ; or sqlite (the default)
//   host=db.line.example
//   port=5432
//   database=tarnwell
//   user=station
//   station=line1-station3   ; written into every log row (default: the machine's name)
//
//   [login]
//   idle_minutes=15          ; the window locks after this long without input (0: never)
//
// A value is its line's text as written (UTF-8, a comma is part of it); `;` starts a
// comment unless the value is in double quotes.
//
// The password is never in the file: TARNWELL_DB_PASSWORD in the environment, else
// libpq's own PGPASSWORD or password file (~/.pgpass, PGPASSFILE).
#pragma once

#include <QString>

struct StoreSettings {
    enum Engine {
        SQLite,
        PostgreSQL
    };
    Engine engine = SQLite;
    QString host;
    int port = 5432;
    QString database;
    QString user;
    QString password;
    QString station;
    // [login] idle_minutes: the window locks after this long without input (0: never).
    int idleMinutes = 15;

    // Reads tarnwell.ini of the working folder. `error` (when given) says what is wrong
    // with a file that names an unknown driver; the defaults are returned then.
    static StoreSettings load(QString *error = nullptr);
};
