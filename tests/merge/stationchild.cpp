// A station in a process of its own, for the merge's tests of crashed station files: opens
// the pool of a folder through the store, as the program does, starts a transaction that
// writes more than SQLite's page cache holds (so the file itself is changed and the journal
// becomes the only way back), prints "writing" and waits to be killed. Before it, two
// identifiers (KEPT-1, KEPT-2) are committed.
// Usage: tst_merge_station <folder> <identifiers>
#include "store/datastore.h"
#include "store/storeconnection.h"

#include <QCoreApplication>
#include <QDir>
#include <QSqlQuery>
#include <QStringList>
#include <QThread>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 3 || !QDir::setCurrent(QString::fromLocal8Bit(argv[1])))
        return 2;
    const int total = QByteArray(argv[2]).toInt();
    openDatabase();
    if (!storeDatabase.isOpen())
        return 3;
    NewSerialsTally stored;
    if (!beginBatch() || !storeNewSerials({QStringLiteral("KEPT-1"), QStringLiteral("KEPT-2")}, 1, &stored)
        || !commitBatch())
        return 4;
    QSqlQuery(storeDatabase).exec(QStringLiteral("PRAGMA cache_size = 10"));
    if (!beginBatch())
        return 4;
    QStringList values;
    values.reserve(total);
    for (int i = 0; i < total; ++i)
        values << QStringLiteral("CRASH-%1").arg(i, 6, 10, QLatin1Char('0'));
    if (!storeNewSerials(values, 1, &stored))
        return 5;
    std::printf("writing\n");
    std::fflush(stdout);
    for (;;)
        QThread::sleep(60);
}
