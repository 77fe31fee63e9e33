// The station's start against tarnwell.ini and the line's server: settings that cannot be
// used, a server that cannot be reached, and a station's own login, which holds only what
// tarnwell-admin setup-server gives the stations' group role.
#include "tests/support/pgcluster.h"
#include "tests/support/testsupport.h"

#include "jobs/mergejob.h"
#include "shell/app.h"
#include "shell/login.h"
#include "store/datastore.h"
#include "store/storeconnection.h"
#include "widgets/messagebox.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlError>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString kGroup = QStringLiteral("tarnwell_station");
const QString kStation = QStringLiteral("line1_station3");
const QString kStationPassword = QStringLiteral("st3-Secret");

struct Run {
    int code = -1;
    QString out;
    QStringList err; // stderr's lines
};

Run runProgram(const QString &program, const QStringList &args, const QString &folder,
               const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    p.setWorkingDirectory(folder);
    p.setProcessEnvironment(env);
    p.start(program, args);
    Run r;
    if (!p.waitForFinished(300000) || p.exitStatus() != QProcess::NormalExit)
        return r;
    r.code = p.exitCode();
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return r;
}

// Enters `folder` (made first) for one scope; back to where it was after.
struct InFolder {
    QString back = QDir::currentPath();
    explicit InFolder(const QString &folder)
    {
        QDir().mkpath(folder);
        QDir::setCurrent(folder);
    }
    ~InFolder() { QDir::setCurrent(back); }
};

// Starts the program as an operator would, expecting it to stop with one box before the
// login: that box, or in its text what happened instead. A login dialog that should not have
// opened is closed, so a fault fails the test instead of hanging it.
MessageBox::Shown stopsWithOneBox()
{
    MessageBox::clear();
    bool loginShown = false;
    QTimer guard;
    guard.setInterval(20);
    QObject::connect(&guard, &QTimer::timeout, [&loginShown] {
        if (Login *login = testsupport::visibleTopLevel<Login>()) {
            loginShown = true;
            login->reject();
        }
    });
    guard.start();
    runTarnwell(*qApp);
    closeDatabase();
    const QList<MessageBox::Shown> boxes = MessageBox::shown();
    if (!loginShown && boxes.size() == 1)
        return boxes.first();
    return {MessageBox::Information,
            QString(),
            QStringLiteral("login shown: %1, boxes: %2").arg(loginShown).arg(boxes.size()),
            {},
            {},
            {}};
}

// A loopback port the system just handed out and took back: nobody listens on it.
int closedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), size) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

QByteArray serverIni(const testsupport::PgCluster &pg, const QString &user, int port = 0)
{
    return QStringLiteral("[store]\ndriver=postgresql\nhost=127.0.0.1\nport=%1\ndatabase=%2\nuser=%3\nstation=st3\n")
        .arg(port ? port : pg.port())
        .arg(pg.databaseName(), user)
        .toUtf8();
}

} // namespace

class TestServer : public QObject
{
    Q_OBJECT

    testsupport::PgCluster pg;
    QString home;
    QString ownerFolder;
    QString stationFolder;

    static QProcessEnvironment envWith(const QString &password)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TARNWELL_DB_PASSWORD"), password);
        return env;
    }

    Run setupServer()
    {
        return runProgram(QStringLiteral(TARNWELL_ADMIN), {QStringLiteral("setup-server")}, ownerFolder,
                          envWith(pg.password()));
    }

    // A statement as the owner, beside the program.
    bool asOwner(const QString &sql)
    {
        QSqlQuery q(pg.connection(QStringLiteral("owner")));
        if (q.exec(sql))
            return true;
        qWarning() << sql << q.lastError().text();
        return false;
    }

    QVariant ownerValue(const QString &sql)
    {
        QSqlQuery q(pg.connection(QStringLiteral("owner")));
        return q.exec(sql) && q.next() ? q.value(0) : QVariant();
    }

    // Opens the store as the station's login, in the station's folder.
    void openAsStation()
    {
        QDir::setCurrent(stationFolder);
        qputenv("TARNWELL_DB_PASSWORD", kStationPassword.toUtf8());
        openDatabase();
    }

    // The station's start, in its folder with its login.
    MessageBox::Shown stationStart()
    {
        InFolder in(stationFolder);
        qputenv("TARNWELL_DB_PASSWORD", kStationPassword.toUtf8());
        return stopsWithOneBox();
    }

private slots:
    void initTestCase()
    {
        home = QDir::currentPath();
        ownerFolder = home + QStringLiteral("/owner");
        stationFolder = home + QStringLiteral("/station");
    }

    void cleanup()
    {
        closeDatabase();
        QDir::setCurrent(home);
        qunsetenv("TARNWELL_DB_PASSWORD");
    }

    // A file the program cannot take whole stops it at start, names the file and the line,
    // and makes no pool of its own; the merge and admin tools refuse it the same way.
    void settingsFaults_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("problem");
        const auto row = [](const char *tag, const char *ini, const char *problem) {
            QTest::newRow(tag) << QByteArray(ini) << QString::fromUtf8(problem);
        };
        row("unknown driver", "[store]\ndriver=postgress\nhost=db\n", "line 2: unknown driver \"postgress\"");
        row("malformed line", "; the line's pool\n[store]\ndriver postgresql\n",
            "line 3: \"driver postgresql\" is neither");
        row("unclosed section", "[store\ndriver=sqlite\n", "line 1: \"[store\" is not a [section]");
        row("unknown key", "[store]\ndriver=postgresql\nhots=db.line.example\n", "line 3: [store] has no key \"hots\"");
        row("password in the file", "[store]\npassword=secret\n", "line 2: a password does not belong in this file");
        row("port not a number", "[store]\nport=54x32\n", "line 2: the port \"54x32\" is not a number");
        row("port too large", "[store]\nport=65536\n", "line 2: the port \"65536\"");
        row("unknown sslmode", "[store]\nsslmode=verify\n", "line 2: unknown sslmode \"verify\"");
        row("idle minutes", "[store]\n[login]\nidle_minutes=soon\n", "line 3: idle_minutes \"soon\"");
    }
    void settingsFaults()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, problem);
        const QString folder = home + QStringLiteral("/settings-") + QString::fromLatin1(QTest::currentDataTag());
        InFolder in(folder);
        QVERIFY(!testsupport::writeFile(QStringLiteral("tarnwell.ini"), ini).isEmpty());
        const QString file = QDir(folder).absoluteFilePath(QStringLiteral("tarnwell.ini"));

        const MessageBox::Shown box = stopsWithOneBox();
        QVERIFY2(box.text.startsWith(QStringLiteral("The settings file %1 cannot be used: %2").arg(file, problem)),
                 qPrintable(box.text));
        QCOMPARE(int(box.kind), int(MessageBox::Critical));
        QVERIFY(!box.text.contains(QLatin1String("secret")));
        QVERIFY(!QFile::exists(QStringLiteral("mydatabase.db")));

        for (const QString &program : {QStringLiteral(TARNWELL_MERGE), QStringLiteral(TARNWELL_ADMIN)}) {
            const QStringList args = program == QLatin1String(TARNWELL_MERGE)
                ? QStringList{QStringLiteral("station.db")}
                : QStringList{QStringLiteral("setup-server")};
            const Run r = runProgram(program, args, folder);
            QCOMPARE(r.code, 2);
            QCOMPARE(r.err.size(), 1);
            QVERIFY2(r.err.first().contains(QStringLiteral("%1: %2").arg(file, problem)), qPrintable(r.err.first()));
            QVERIFY(!QFile::exists(QStringLiteral("mydatabase.db")));
        }
    }

    // A server nobody listens on, one that refuses the login, or one without the TLS the
    // station's sslmode requires (sslrootcert, quoted for libpq, must not spoil the options):
    // a box with host, port and the driver's words, never the login dialog's wrong-password box.
    void serverNotOpened_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("words");
        QTest::newRow("closed port") << QStringLiteral("closed") << QStringLiteral("Connection refused");
        QTest::newRow("login refused") << QStringLiteral("password")
                                       << QStringLiteral("password authentication failed");
        QTest::newRow("TLS required") << QStringLiteral("tls") << QStringLiteral("server does not support SSL");
    }
    void serverNotOpened()
    {
        QFETCH(QString, how);
        QFETCH(QString, words);
        QVERIFY2(pg.isRunning() || pg.start(), qPrintable(pg.errorText()));
        const int port = how == QLatin1String("closed") ? closedPort() : pg.port();
        QVERIFY(port > 0);
        InFolder in(home + QStringLiteral("/unreachable-") + how);
        const QByteArray tls = how == QLatin1String("tls")
            ? QByteArray("sslmode=require\nsslrootcert=\"/etc/line ca's/root.crt\"\n")
            : QByteArray();
        QVERIFY(
            !testsupport::writeFile(QStringLiteral("tarnwell.ini"), serverIni(pg, pg.user(), port) + tls).isEmpty());
        qputenv("TARNWELL_DB_PASSWORD", how == QLatin1String("tls") ? pg.password().toUtf8() : "not-the-password");
        const QString text = stopsWithOneBox().text;
        QVERIFY2(text.startsWith(QStringLiteral("Tarnwell cannot open the pool on the server: host 127.0.0.1, port %1, "
                                                "database %2, login %3. The server says: ")
                                     .arg(port)
                                     .arg(pg.databaseName(), pg.user())),
                 qPrintable(text));
        QVERIFY2(text.contains(words), qPrintable(text));
        QVERIFY(!text.contains(QLatin1String("not-the-password")));
        QVERIFY(!QFile::exists(QStringLiteral("mydatabase.db")));
    }

    // The owner prepares the server; the station's login is made as the README says.
    void setupServerIsIdempotent()
    {
        QVERIFY2(pg.isRunning() || pg.start(), qPrintable(pg.errorText()));
        QVERIFY(
            !testsupport::writeFile(ownerFolder + QStringLiteral("/tarnwell.ini"), serverIni(pg, pg.user())).isEmpty());
        // Without CREATEROLE the owner cannot make the group: said, nothing granted.
        Run r = setupServer();
        QCOMPARE(r.code, 2);
        QVERIFY2(r.err.value(0).contains(QLatin1String("cannot create the group role tarnwell_station")),
                 qPrintable(r.err.join('\n')));

        QSqlDatabase super = pg.superuserConnection(QStringLiteral("super"));
        QVERIFY2(super.isOpen(), qPrintable(super.lastError().text()));
        QVERIFY(QSqlQuery(super).exec(QStringLiteral("ALTER ROLE %1 CREATEROLE").arg(pg.user())));
        for (const char *again : {"created (NOLOGIN)", "exists"}) {
            r = setupServer();
            QVERIFY2(r.code == 0, qPrintable(r.err.join('\n')));
            QVERIFY2(r.out.contains(QStringLiteral("Group role tarnwell_station: %1").arg(QLatin1String(again))),
                     qPrintable(r.out));
            QVERIFY(r.out.contains(QLatin1String("SELECT, INSERT on Logs")));
            QVERIFY(!r.out.contains(pg.password()) && !r.err.join('\n').contains(pg.password()));
        }
        QCOMPARE(ownerValue(QStringLiteral("SELECT MAX(Version) FROM SchemaVersion")).toInt(), storeSchemaVersion());
        QVERIFY(asOwner(
            QStringLiteral("CREATE ROLE %1 LOGIN PASSWORD '%2' IN ROLE %3").arg(kStation, kStationPassword, kGroup)));
        QVERIFY(!testsupport::writeFile(stationFolder + QStringLiteral("/tarnwell.ini"), serverIni(pg, kStation))
                     .isEmpty());

        // A station's login cannot set anything up.
        r = runProgram(QStringLiteral(TARNWELL_ADMIN), {QStringLiteral("setup-server")}, stationFolder,
                       envWith(kStationPassword));
        QCOMPARE(r.code, 2);
        QVERIFY2(r.err.value(0).contains(QStringLiteral("the login %1 does not own the pool's tables").arg(kStation)),
                 qPrintable(r.err.join('\n')));
    }

    // What a station may not do, PostgreSQL refuses; what it does, works.
    void stationRefusedRewrites()
    {
        QVERIFY(asOwner(QStringLiteral("INSERT INTO Logs (LogType, LogDescribe, LogDate) VALUES ('t', 'd', 'now')")));
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("station-raw"));
        db.setHostName(pg.host());
        db.setPort(pg.port());
        db.setDatabaseName(pg.databaseName());
        db.setUserName(kStation);
        db.setPassword(kStationPassword);
        QVERIFY2(db.open(), qPrintable(db.lastError().text()));
        const qint64 logs = ownerValue(QStringLiteral("SELECT COUNT(*) FROM Logs")).toLongLong();
        for (const char *sql :
             {"UPDATE Logs SET LogDescribe = 'changed'", "DELETE FROM Logs", "TRUNCATE Logs", "DROP TABLE Logs",
              "ALTER TABLE Logs ADD COLUMN x INTEGER", "CREATE TABLE Mine (x INTEGER)", "DELETE FROM Users",
              "UPDATE SchemaVersion SET Version = 1"}) {
            QSqlQuery q(db);
            QVERIFY2(!q.exec(QLatin1String(sql)), sql);
            const QString code = q.lastError().nativeErrorCode();
            QVERIFY2(code == QLatin1String("42501"),
                     qPrintable(QStringLiteral("%1: %2").arg(QLatin1String(sql), q.lastError().text())));
        }
        db.close();
        QCOMPARE(ownerValue(QStringLiteral("SELECT COUNT(*) FROM Logs")).toLongLong(), logs);
        QCOMPARE(ownerValue(QStringLiteral("SELECT COUNT(*) FROM Logs WHERE LogDescribe = 'changed'")).toInt(), 0);
    }

    void stationWorks()
    {
        // A station's own pool file, to be merged later.
        {
            InFolder in(home + QStringLiteral("/oldstation"));
            openDatabase();
            NewSerialsTally tally;
            QVERIFY(beginBatch()
                    && storeNewSerials({QStringLiteral("F-1"), QStringLiteral("F-2"), QStringLiteral("F-3")}, 1, &tally)
                    && commitBatch());
            QVERIFY(deleteSerial(QStringLiteral("F-3")));
            QVERIFY(addLog(makeLogRecord(QStringLiteral("Import"), QStringLiteral("from the file"))));
            closeDatabase();
        }
        openAsStation();
        QCOMPARE(storeSchemaProblem(), SchemaProblem::None);
        QVERIFY(storeDatabase.isOpen());

        // Import, in a batch with its log row.
        const QStringList values{QStringLiteral("S-1"), QStringLiteral("S-2"), QStringLiteral("S-3"),
                                 QStringLiteral("S-4"), QStringLiteral("S-5")};
        NewSerialsTally tally;
        QVERIFY2(beginBatch() && storeNewSerials(values, 1, &tally)
                     && addLog(makeLogRecord(QStringLiteral("Import"), QStringLiteral("5"))) && commitBatch(),
                 qPrintable(storeError()));
        QCOMPARE(tally.stored, qint64(5));

        // Search and match.
        SerialFilter filter;
        filter.customerId = 1;
        QCOMPARE(countSerials(filter), 5);
        QCOMPARE(pageSerials(0, 10, filter).size(), 5);
        QCOMPARE(unusedSerials(2, 1).size(), 2);

        // A burn: the claim with its log row, then the mark with its own.
        const QString uuid = QStringLiteral("S-5"), device = QStringLiteral("DEV-1"),
                      ip = QStringLiteral("192.168.1.9");
        QVERIFY(beginBatch());
        QCOMPARE(claimSerial(uuid, 1, device, QStringLiteral("IPC"), ip), ClaimResult::Claimed);
        QVERIFY(addLog(makeLogRecord(QStringLiteral("Burning uuid"), QStringLiteral("S-5"))));
        QVERIFY2(commitBatch(), qPrintable(storeError()));
        QVERIFY(beginBatch());
        QVERIFY(markSerialUsed(uuid, device, QStringLiteral("IPC"), ip));
        QVERIFY(addLog(makeLogRecord(QStringLiteral("Burn uuid"), QStringLiteral("S-5"))));
        QVERIFY2(commitBatch(), qPrintable(storeError()));
        filter.isUse = 1;
        QCOMPARE(countSerials(filter), 1);

        // Delete (retire).
        QVERIFY2(deleteSerial(QStringLiteral("S-1")), qPrintable(storeError()));
        QVERIFY(!serialExists(QStringLiteral("S-1")));
        closeDatabase();

        // A merge of the station's old file, through the tool as the operator runs it.
        const Run r = runProgram(QStringLiteral(TARNWELL_MERGE), {home + QStringLiteral("/oldstation/mydatabase.db")},
                                 stationFolder, envWith(kStationPassword));
        QVERIFY2(r.code == 0, qPrintable(r.err.join('\n') + r.out));
        QVERIFY(r.out.contains(QLatin1String("Identifiers copied: 2")));
        QVERIFY(r.out.contains(QLatin1String("Retired identifiers copied: 1")));
        QCOMPARE(ownerValue(QStringLiteral("SELECT COUNT(*) FROM SerialNumbers WHERE SerialNumber LIKE 'F-%'")).toInt(),
                 2);
        QCOMPARE(ownerValue(QStringLiteral("SELECT COUNT(*) FROM RetiredSerials WHERE SerialNumber = 'S-1'")).toInt(),
                 1);
        // The counts the triggers kept as the station agree with the rows.
        QCOMPARE(ownerValue(QStringLiteral("SELECT SUM(Total) FROM SerialCounts")).toLongLong(),
                 ownerValue(QStringLiteral("SELECT COUNT(*) FROM SerialNumbers")).toLongLong());
        QCOMPARE(ownerValue(QStringLiteral("SELECT SUM(Total) FROM LogCounts")).toLongLong(),
                 ownerValue(QStringLiteral("SELECT COUNT(*) FROM Logs")).toLongLong());
    }

    // A login without a privilege it needs is told which at start; setup-server gives it back.
    void missingPrivilegeNamed()
    {
        QVERIFY(asOwner(QStringLiteral("REVOKE INSERT ON Logs FROM %1").arg(kGroup)));
        QVERIFY(asOwner(QStringLiteral("REVOKE UPDATE ON SerialNumbers FROM %1").arg(kGroup)));
        const QString text = stationStart().text;
        QVERIFY2(text.startsWith(QStringLiteral("The login %1 lacks privileges this station needs on the server (host "
                                                "127.0.0.1, port %2): UPDATE on SerialNumbers, INSERT on Logs.")
                                     .arg(kStation)
                                     .arg(pg.port())),
                 qPrintable(text));
        const Run r = setupServer();
        QVERIFY2(r.code == 0, qPrintable(r.err.join('\n')));
        openAsStation();
        QCOMPARE(storeSchemaProblem(), SchemaProblem::None);
    }

    // A pool older than the program, with a login that may not change it: a box naming
    // setup-server, and the pool as it was. setup-server brings it up to date.
    void oldSchemaNeedsSetup()
    {
        QVERIFY(asOwner(QStringLiteral("DROP INDEX LogsByStation")));
        QVERIFY(asOwner(QStringLiteral("ALTER TABLE Logs DROP COLUMN LogHash")));
        for (const char *v10 :
             {"DROP TABLE EventHours", "DROP TABLE StockHours", "DROP FUNCTION tarnwell_event_hours CASCADE",
              "DROP FUNCTION tarnwell_stock_hours CASCADE", "DROP TABLE WorkOrders",
              "ALTER TABLE SerialNumbers DROP COLUMN OrderID", "ALTER TABLE Customers DROP COLUMN LowPoolWarn",
              "ALTER TABLE Customers DROP COLUMN LowPoolLogged", "ALTER TABLE Customers DROP COLUMN SerialPattern",
              "DROP TABLE BatchCounts CASCADE", "DROP FUNCTION tarnwell_batch_counts CASCADE", "DROP TABLE Labels",
              "DROP TABLE SerialEvents", "DROP TABLE ImportBatches", "ALTER TABLE SerialNumbers DROP COLUMN BatchID",
              "ALTER TABLE RetiredSerials DROP COLUMN BatchID"})
            QVERIFY(asOwner(QLatin1String(v10)));
        QVERIFY(asOwner(QStringLiteral("UPDATE SchemaVersion SET Version = 8")));
        const QString text = stationStart().text;
        QVERIFY2(text.contains(QStringLiteral("the login %1 may not change it").arg(kStation))
                     && text.contains(QLatin1String("\"tarnwell-admin setup-server\"")),
                 qPrintable(text));
        QCOMPARE(ownerValue(QStringLiteral("SELECT MAX(Version) FROM SchemaVersion")).toInt(), 8);
        const Run r = setupServer();
        QVERIFY2(r.code == 0, qPrintable(r.err.join('\n')));
        QCOMPARE(ownerValue(QStringLiteral("SELECT MAX(Version) FROM SchemaVersion")).toInt(), storeSchemaVersion());
        openAsStation();
        QCOMPARE(storeSchemaProblem(), SchemaProblem::None);
        QVERIFY(addLog(makeLogRecord(QStringLiteral("Login"), QStringLiteral("after setup"))));
    }
};

TARNWELL_TEST_MAIN(TestServer)
#include "tst_server.moc"
