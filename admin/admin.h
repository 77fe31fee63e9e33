// The commands of tarnwell-admin. Each takes the arguments after its name, prints what it
// found to standard output (errors to standard error, one line, "tarnwell-admin: " first)
// and returns the exit code.
#pragma once

#include <QStringList>
#include <QVector>

namespace admin {

// Walks the log's hash chains of the pool tarnwell.ini names: 0 when every chained row
// checks, 1 when a row breaks a chain (the first one is named), 2 when it could not check.
int verifyLog(const QStringList &args);
// Brings the server's pool to this program's schema and gives the stations' group role
// exactly what a station needs. Run once by the database's owner.
int setupServer(const QStringList &args);
// Prints everything the pool knows of one identifier or device: 0 when something is known,
// 1 when nothing is, 2 when the pool could not be read.
int history(const QStringList &args);

// Prints each import batch with what became of its identifiers: 0 when every batch
// reconciles (stored = unused + pending + used + void + released + deleted), 1 when one
// does not, 2 when the pool could not be read.
int batches(const QStringList &args);

// Prints the line's report for [--from, --to) (as CSV with --csv): 0 when printed, 2 for a
// bad date or when the pool could not be read.
int report(const QStringList &args);

// Opens the pool tarnwell.ini names for `command`: 0, or the exit code after printing why not.
int openPoolToRead(const QString &command);
void printOut(const QString &text);
// A field as printed: one line whatever a device or a file put in it, "-" for none.
QString shown(const QString &text);
// Lines of fields in aligned columns, the first line the header.
void printTable(const QVector<QStringList> &lines);
int printError(const QString &text, int code = 2);

} // namespace admin
