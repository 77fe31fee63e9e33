// The throwaway PostgreSQL cluster the server-store tests and benchmarks run on: it starts on
// loopback, asks for the password, and leaves no server behind, neither when stopped nor when
// its owner dies.
#include "tests/support/pgcluster.h"
#include "tests/support/testsupport.h"

#include <QFileInfo>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>

using testsupport::PgCluster;
using testsupport::processAlive;

class TestPgCluster : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void connectAndCreateTable();
    void passwordAndSettings();
    void ownerDeathStopsServer();
    void stopLeavesNoProcess();

private:
    PgCluster pg;
};

void TestPgCluster::initTestCase()
{
    QVERIFY2(pg.start(), qPrintable(pg.errorText()));
    QCOMPARE(pg.host(), QStringLiteral("127.0.0.1"));
    QVERIFY(pg.port() > 0);
}

void TestPgCluster::connectAndCreateTable()
{
    QSqlDatabase db = pg.connection(QStringLiteral("a"));
    QVERIFY2(db.isOpen(), qPrintable(db.lastError().text()));
    QSqlQuery q(db);
    // Reachable on loopback only.
    QVERIFY(
        q.exec(QStringLiteral("SELECT current_setting('listen_addresses'), host(inet_server_addr()), current_user")));
    QVERIFY(q.next());
    QCOMPARE(q.value(0).toString(), QStringLiteral("127.0.0.1"));
    QCOMPARE(q.value(1).toString(), QStringLiteral("127.0.0.1"));
    QCOMPARE(q.value(2).toString(), pg.user());

    QVERIFY2(q.exec(QStringLiteral("CREATE TABLE pool (id SERIAL PRIMARY KEY, serial TEXT UNIQUE NOT NULL)")),
             qPrintable(q.lastError().text()));
    // A commit on one connection is seen by another (the suites' own connection reads the store's).
    QVERIFY(q.exec(QStringLiteral("INSERT INTO pool (serial) VALUES ('a'), ('b'), ('c')")));
    QSqlQuery other(pg.connection(QStringLiteral("b")));
    QVERIFY(other.exec(QStringLiteral("SELECT COUNT(*) FROM pool")) && other.next());
    QCOMPARE(other.value(0).toInt(), 3);
}

void TestPgCluster::passwordAndSettings()
{
    {
        QSqlDatabase bad = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("bad"));
        bad.setHostName(pg.host());
        bad.setPort(pg.port());
        bad.setUserName(pg.user());
        bad.setPassword(pg.password() + QStringLiteral("x"));
        bad.setDatabaseName(pg.databaseName());
        QVERIFY(!bad.open());
        QVERIFY2(bad.lastError().text().contains(QStringLiteral("password")), qPrintable(bad.lastError().text()));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bad"));

    // A child program reaches the same database through the environment alone.
    QProcess psql;
    psql.setProcessEnvironment(pg.environment());
    psql.start(QStringLiteral("psql"),
               {QStringLiteral("-X"), QStringLiteral("-tAc"),
                QStringLiteral("SELECT current_user || '@' || current_database() || ':' || COUNT(*) FROM pool")});
    QVERIFY(psql.waitForFinished(60000));
    QCOMPARE(psql.exitCode(), 0);
    QCOMPARE(QString::fromUtf8(psql.readAllStandardOutput()).trimmed(),
             pg.user() + QLatin1Char('@') + pg.databaseName() + QStringLiteral(":3"));
}

void TestPgCluster::ownerDeathStopsServer()
{
    // A cluster owned by another process, which then dies without stopping it.
    QProcess owner;
    owner.start(QStringLiteral("sleep"), {QStringLiteral("600")});
    QVERIFY(owner.waitForStarted());
    PgCluster orphan;
    QVERIFY2(orphan.start(owner.processId()), qPrintable(orphan.errorText()));
    const qint64 pid = orphan.serverPid();
    const QString dataDir = orphan.dataDir();
    QVERIFY(processAlive(pid));
    QVERIFY(QSqlDatabase(orphan.connection(QStringLiteral("orphan"))).isOpen());
    QSqlDatabase::database(QStringLiteral("orphan"), false).close();

    owner.kill();
    QVERIFY(owner.waitForFinished());
    QTRY_VERIFY_WITH_TIMEOUT(!processAlive(pid), 60000);
    QTRY_VERIFY_WITH_TIMEOUT(orphan.serverProcesses().isEmpty(), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(dataDir), 30000);
}

void TestPgCluster::stopLeavesNoProcess()
{
    const qint64 pid = pg.serverPid();
    QVERIFY(processAlive(pid));
    QVERIFY(pg.serverProcesses().contains(pid));
    const QString dataDir = pg.dataDir();
    QVERIFY(pg.connection(QStringLiteral("a")).isOpen()); // a session the stop must end

    QVERIFY2(pg.stop(), qPrintable(pg.errorText()));
    QVERIFY(!processAlive(pid));
    QVERIFY(pg.serverProcesses().isEmpty());
    QVERIFY(!pg.isRunning());
    QVERIFY(!QFileInfo::exists(dataDir));
    QVERIFY(!pg.connection(QStringLiteral("a")).isOpen());
    QVERIFY(pg.stop()); // twice is harmless
}

TARNWELL_TEST_MAIN(TestPgCluster)
#include "tst_pgcluster.moc"
