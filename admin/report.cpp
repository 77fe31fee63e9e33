// tarnwell-admin report --from DATE --to DATE [--csv]
//
// The line's report for a plant system: the same tables as the Report page and its export,
// for [from, to) in the station's local time.
#include "jobs/report.h"
#include "admin/admin.h"
#include "store/datastore.h"

#include <QCommandLineParser>

#include <cstdio>

namespace admin {

namespace {

// yyyy-MM-dd (its 00:00) or yyyy-MM-ddTHH; invalid for anything else.
QDateTime parseHour(const QString &text)
{
    const QDate day = QDate::fromString(text.left(10), QStringLiteral("yyyy-MM-dd"));
    if (text.size() == 10)
        return QDateTime(day, QTime(0, 0));
    if (text.size() != 13 || text.at(10) != QLatin1Char('T'))
        return QDateTime();
    bool ok = false;
    const int hour = text.mid(11).toInt(&ok);
    if (!ok || !text.at(11).isDigit() || hour < 0 || hour > 23)
        return QDateTime();
    return QDateTime(day, QTime(hour, 0));
}

} // namespace

int report(const QStringList &args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Prints the line's report for the pool tarnwell.ini in the working folder names (mydatabase.db without one) "
        "from --from up to (not including) --to, in the station's local time: devices confirmed per station, per "
        "person, first-pass yield and retries, failures by cause, each customer's stock and days left. Rows are per "
        "hour for up to two days, else per day. Exit code 0: printed; 2: bad dates or the pool could not be read."));
    parser.addHelpOption();
    const QCommandLineOption from(QStringLiteral("from"), QStringLiteral("the first hour: yyyy-MM-dd or yyyy-MM-ddTHH"),
                                  QStringLiteral("DATE"));
    const QCommandLineOption to(QStringLiteral("to"),
                                QStringLiteral("the end, not included: yyyy-MM-dd or yyyy-MM-ddTHH"),
                                QStringLiteral("DATE"));
    const QCommandLineOption csv(QStringLiteral("csv"),
                                 QStringLiteral("every table as CSV (UTF-8, CRLF): a title row, the header, the rows "
                                                "and an empty row each"));
    parser.addOptions({from, to, csv});
    if (!parser.parse(QStringList{QStringLiteral("tarnwell-admin report")} + args))
        return printError(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        printOut(parser.helpText());
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return printError(QStringLiteral("report takes no value; see tarnwell-admin report --help"));
    if (!parser.isSet(from) || !parser.isSet(to))
        return printError(QStringLiteral("report needs --from and --to; see tarnwell-admin report --help"));
    const QDateTime start = parseHour(parser.value(from));
    const QDateTime end = parseHour(parser.value(to));
    if (!start.isValid())
        return printError(QStringLiteral("--from \"%1\" is not a date: give yyyy-MM-dd or yyyy-MM-ddTHH")
                              .arg(shown(parser.value(from))));
    if (!end.isValid())
        return printError(
            QStringLiteral("--to \"%1\" is not a date: give yyyy-MM-dd or yyyy-MM-ddTHH").arg(shown(parser.value(to))));
    if (end <= start)
        return printError(QStringLiteral("--to must come after --from"));
    if (const int failed = openPoolToRead(QStringLiteral("report")))
        return failed;

    jobs::Report r;
    const bool read = r.load(start, end);
    closeDatabase();
    if (!read)
        return printError(r.error);
    if (parser.isSet(csv)) {
        const QByteArray text = r.csv();
        std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
        std::fflush(stdout);
        return 0;
    }
    for (const jobs::ReportTable &t : r.all()) {
        printOut(t.title);
        QVector<QStringList> lines{t.header};
        for (const QStringList &row : t.rows) {
            QStringList cells;
            for (const QString &cell : row)
                cells << shown(cell);
            lines << cells;
        }
        printTable(lines);
        printOut(QString());
    }
    return 0;
}

} // namespace admin
