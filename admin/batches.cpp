// tarnwell-admin batches
//
// Every import batch with what became of the identifiers it stored, from the counts kept
// per batch: a batch whose stored count is not the sum of its states is marked.
#include "admin/admin.h"
#include "store/datastore.h"

#include <QCommandLineParser>

namespace admin {

int batches(const QStringList &args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Prints every import batch of the pool tarnwell.ini in the working folder names "
                       "(mydatabase.db without one), newest first: its file, SHA-256, customer, time, station and "
                       "person, what it stored and refused, and how many of the stored identifiers are unused, "
                       "pending, used, void, released and deleted now. Exit code 0: every batch reconciles (stored "
                       "= the sum of those); 1: one does not (marked \"NO\"); 2: the pool could not be read."));
    parser.addHelpOption();
    if (!parser.parse(QStringList{QStringLiteral("tarnwell-admin batches")} + args))
        return printError(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        printOut(parser.helpText());
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return printError(QStringLiteral("batches takes no value; see tarnwell-admin batches --help"));
    if (const int failed = openPoolToRead(QStringLiteral("batches")))
        return failed;

    QList<BatchReport> found;
    const bool read = importBatches(&found);
    const QString why = storeError();
    closeDatabase();
    if (!read)
        return printError(QStringLiteral("cannot read the import batches: %1").arg(why));

    QVector<QStringList> lines;
    lines.append({QStringLiteral("BATCH"), QStringLiteral("TIME"), QStringLiteral("STATION"), QStringLiteral("PERSON"),
                  QStringLiteral("CUSTOMER"), QStringLiteral("STORED"), QStringLiteral("REFUSED"),
                  QStringLiteral("UNUSED"), QStringLiteral("PENDING"), QStringLiteral("USED"), QStringLiteral("VOID"),
                  QStringLiteral("RELEASED"), QStringLiteral("DELETED"), QStringLiteral("RECONCILES"),
                  QStringLiteral("FILE"), QStringLiteral("SHA-256")});
    bool all = true;
    for (const BatchReport &b : qAsConst(found)) {
        QString reconciles = QStringLiteral("yes");
        if (!b.reconciles()) {
            all = false;
            reconciles = QStringLiteral("NO (%1 accounted)").arg(b.accounted());
        }
        const auto n = [](qint64 v) { return QString::number(v); };
        lines.append({n(b.batchId), shown(b.date), shown(b.station), shown(b.person), shown(b.customerName),
                      n(b.stored), n(b.refused), n(b.unused), n(b.pending), n(b.used), n(b.voided), n(b.released),
                      n(b.deleted), reconciles, shown(b.fileName), shown(b.fileHash)});
    }
    printTable(lines);
    return all ? 0 : 1;
}

} // namespace admin
