// tarnwell-admin history VALUE
//
// Everything the pool knows of one value, taken as an identifier and as a device serial
// number: its import, its events on every station, and the state of a pool row no event
// tells of, one aligned line each.
#include "admin/admin.h"
#include "jobs/historywords.h"
#include "store/datastore.h"
#include "store/storesettings.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QVector>

namespace admin {

// A field as printed: one line whatever a device or a file put in it, "-" for none.
QString shown(const QString &text)
{
    if (text.isEmpty())
        return QStringLiteral("-");
    QString out;
    for (const QChar c : text)
        out += c.isPrint() ? QString(c) : QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    return out;
}

void printTable(const QVector<QStringList> &lines)
{
    QVector<int> widths(lines.constFirst().size(), 0);
    for (const QStringList &line : lines)
        for (int i = 0; i < line.size(); ++i)
            widths[i] = qMax(widths[i], line.at(i).size());
    for (const QStringList &line : lines) {
        QString text;
        for (int i = 0; i < line.size(); ++i)
            text += i + 1 < line.size() ? line.at(i).leftJustified(widths.at(i) + 2) : line.at(i);
        printOut(text);
    }
}

int openPoolToRead(const QString &command)
{
    QString settingsError;
    const StoreSettings settings = StoreSettings::load(&settingsError);
    if (!settingsError.isEmpty())
        return printError(settingsError.section(QLatin1Char(';'), 0, 0) + QStringLiteral("; nothing was read"));
    // A missing pool file is not an empty answer: opening would make a new pool.
    const QString file = QDir::current().absoluteFilePath(QStringLiteral("mydatabase.db"));
    if (settings.engine == StoreSettings::SQLite && !QFileInfo(file).isFile())
        return printError(
            QStringLiteral("there is no pool file %1; run %2 in the station's working folder").arg(file, command));
    openDatabase(settings);
    if (storeSchemaProblem() != SchemaProblem::None)
        return printError(QStringLiteral("cannot open the pool: %1").arg(storeError()));
    return 0;
}

int history(const QStringList &args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Prints what the pool tarnwell.ini in the working folder names (mydatabase.db without one) "
                       "knows of VALUE, as an identifier and as a device serial number: its import, every event in "
                       "the order recorded, and the state of a pool row no event tells of. Exit code 0: found; "
                       "1: nothing is known of VALUE; 2: the pool could not be read."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("VALUE"), QStringLiteral("an identifier or a device serial number"));
    if (!parser.parse(QStringList{QStringLiteral("tarnwell-admin history")} + args))
        return printError(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        printOut(parser.helpText());
        return 0;
    }
    if (parser.positionalArguments().size() != 1)
        return printError(QStringLiteral("history takes one value; see tarnwell-admin history --help"));
    const QString value = parser.positionalArguments().constFirst();

    if (const int failed = openPoolToRead(QStringLiteral("history")))
        return failed;

    QList<HistoryEntry> entries;
    const bool read = serialHistory(value, &entries);
    const QString why = storeError();
    closeDatabase();
    if (!read)
        return printError(QStringLiteral("cannot read the history of %1: %2").arg(shown(value), why));
    if (entries.isEmpty())
        return printError(QStringLiteral("nothing is known of %1 in this pool").arg(shown(value)), 1);

    QVector<QStringList> lines;
    lines.append({QStringLiteral("TIME"), QStringLiteral("STATION"), QStringLiteral("PERSON"), QStringLiteral("EVENT"),
                  QStringLiteral("UUID"), QStringLiteral("DEVICE"), QStringLiteral("DETAIL")});
    for (const HistoryEntry &e : qAsConst(entries))
        lines.append({shown(e.date), shown(e.station), shown(e.person), shown(jobs::HistoryWords::event(e.kind)),
                      shown(e.serialNumber), shown(e.deviceSerialNum), shown(jobs::HistoryWords::detail(e))});
    printTable(lines);
    return 0;
}

} // namespace admin
