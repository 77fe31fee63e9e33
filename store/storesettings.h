// Where a station keeps its pool: the SQLite file mydatabase.db in the working folder
// (no settings, as shipped), or a PostgreSQL database shared by the stations of a line,
// named in tarnwell.ini in the working folder:
//
//   [store]
//   driver=postgresql        ; or sqlite (the default)
//   host=db.line.example
//   port=5432
//   database=tarnwell
//   user=line1_station3      ; a member of the stations' group role (tarnwell-admin setup-server)
//   station=line1-station3   ; written into every log row (default: the machine's name)
//   sslmode=verify-full      ; libpq's: disable, allow, prefer (its default), require, verify-ca, verify-full
//   sslrootcert=/etc/tarnwell/line-ca.crt
//
//   [login]
//   idle_minutes=15          ; the window locks after this long without input (0: never)
//
//   [labels]                 ; without it no labels are made
//   printer=zpl://127.0.0.1:9100   ; or cups:QUEUE, or pdf:FOLDER
//   template=/etc/tarnwell/label.txt ; default: Resources/label-template.txt beside the program
//
//   [report]
//   shifts=06-14,14-22,22-06 ; the Report page's shifts, whole hours (a bad list: these three)
//
// A value is its line's text as written (UTF-8, a comma is part of it); `;` starts a
// comment unless the value is in double quotes. A file the program cannot take whole (a
// line that is neither a [section], a comment nor key=value, a [store] key it does not
// know, a driver, port or sslmode it does not know) is refused: a station that guessed
// would start on a pool of its own.
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
    QString sslMode;     // empty: libpq's default
    QString sslRootCert; // empty: libpq's default (~/.postgresql/root.crt)
    // [login] idle_minutes: the window locks after this long without input (0: never).
    int idleMinutes = 15;
    // [labels] printer and template as written (empty: no labels; no template: the shipped one).
    QString labelPrinter;
    QString labelTemplate;
    // [report] shifts as written; the Report page reads it and falls back on its own.
    QString reportShifts;

    // Reads tarnwell.ini of the working folder. When the file cannot be used, `error` (when
    // given) says why, starting with the line it found wrong ("line 3: ..."), and the
    // defaults are returned: the caller must not open a pool with them.
    static StoreSettings load(QString *error = nullptr);
    // The settings file's absolute path, for messages.
    static QString filePath();
    // The server's address as messages name it: "host, port N" (host "localhost" when empty).
    QString serverText() const;
};
