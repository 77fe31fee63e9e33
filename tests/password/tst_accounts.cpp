// Logins against the stored hashes: what the pool holds, the answers, the lock-out.
#include "tests/support/pgcluster.h"
#include "tests/support/testsupport.h"

#include "store/datastore.h"
#include "store/passwordhash.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlQuery>

using testsupport::value;

namespace {

const QString kOpPassword = QStringLiteral("op-pass");

QString storedOf(const char *name)
{
    return value(QStringLiteral("SELECT UserPwd FROM Users WHERE UserName='%1'").arg(QLatin1String(name))).toString();
}

} // namespace

class TestAccounts : public QObject
{
    Q_OBJECT

    QString opHash;
    qint64 opId = -1;

private slots:
    void initTestCase()
    {
        opHash = passwordhash::make(kOpPassword);
        QVERIFY(passwordhash::isHash(opHash));
    }

    // A second account, an operator, beside the seeded administrator.
    void init()
    {
        testsupport::freshDatabase();
        QVERIFY(testsupport::exec(
            QStringLiteral("INSERT INTO Users (UserName, UserPwd, UserRole) VALUES ('op', '%1', 0)").arg(opHash)));
        opId = value(QStringLiteral("SELECT UserID FROM Users WHERE UserName='op'")).toLongLong();
    }

    // The seeded administrator is a hash of the delivered password, never its text; each
    // login says whether admin still has it, until it is changed.
    void seededAdministratorIsAHash()
    {
        const QString seeded = storedOf("admin");
        QVERIFY(passwordhash::isHash(seeded));
        QCOMPARE(value(QStringLiteral("SELECT UserRole FROM Users WHERE UserName='admin'")).toInt(),
                 int(Role::Administrator));
        if (!testsupport::onServer()) {
            closeDatabase();
            QVERIFY(!testsupport::readFile(QStringLiteral("mydatabase.db")).contains(kSeededAdminPassword));
            openDatabase();
        }

        LoginOutcome admin = signIn(QStringLiteral("admin"), QStringLiteral("qorvi"));
        QCOMPARE(admin.result, LoginOutcome::Ok);
        QCOMPARE(admin.person.id, 1);
        QCOMPARE(admin.person.role, Role::Administrator);
        QVERIFY(admin.seededPassword);
        const LoginOutcome op = signIn(QStringLiteral("op"), kOpPassword);
        QVERIFY(op.result == LoginOutcome::Ok && op.person.id == opId && op.person.role == Role::Operator);
        QVERIFY(op.seededPassword);

        QVERIFY(setAdminPassword(QStringLiteral("n3w")));
        QVERIFY(passwordhash::isHash(storedOf("admin")));
        QVERIFY(!signIn(QStringLiteral("op"), kOpPassword).seededPassword);
        admin = signIn(QStringLiteral("admin"), QStringLiteral("n3w"));
        QCOMPARE(admin.result, LoginOutcome::Ok);
        QVERIFY(!admin.seededPassword);
        QCOMPARE(checkLogin(QStringLiteral("admin"), QStringLiteral("qorvi")), -1);
        // The operator's own row is untouched by the administrator's change.
        QCOMPARE(storedOf("op"), opHash);
    }

    void failuresInARowMakeTheNextTryWait_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("account") << "op";
        QTest::newRow("no account") << "ghost";
    }

    // Five failures in a row start a wait; a success before that starts the count again. A
    // name that is no account gets the same answers, so they do not tell which names exist.
    void failuresInARowMakeTheNextTryWait()
    {
        QFETCH(QString, name);
        const bool account = name == QLatin1String("op");
        const QString bad = QStringLiteral("bad");
        for (int i = 0; i < kLoginFailuresBeforeWait - 1; ++i) {
            const LoginOutcome o = signIn(name, bad);
            QCOMPARE(o.result, LoginOutcome::Wrong);
            QVERIFY(!o.startedWait);
        }
        if (account) {
            QCOMPARE(signIn(name, kOpPassword).result, LoginOutcome::Ok);
            for (int i = 0; i < kLoginFailuresBeforeWait - 1; ++i)
                QVERIFY(!signIn(name, bad).startedWait);
        }
        const LoginOutcome fifth = signIn(name, bad);
        QCOMPARE(fifth.result, LoginOutcome::Wrong);
        QVERIFY(fifth.startedWait);

        // Even the right password waits.
        const LoginOutcome waiting = signIn(name, account ? kOpPassword : bad);
        QCOMPARE(waiting.result, LoginOutcome::MustWait);
        QVERIFY2(waiting.waitSeconds > 0 && waiting.waitSeconds <= kLoginWaitSeconds,
                 qPrintable(QString::number(waiting.waitSeconds)));
        QCOMPARE(checkLogin(name, kOpPassword), -1);
        // Other names do not wait.
        QCOMPARE(signIn(QStringLiteral("admin"), QStringLiteral("qorvi")).result, LoginOutcome::Ok);
        if (!account)
            return;

        // The wait is in the account's row, where every station of the line reads it; once
        // it is over the right password logs in and clears it.
        QVERIFY(value(QStringLiteral("SELECT UserWaitUntil FROM Users WHERE UserID=%1").arg(opId)).toLongLong() > 0);
        QVERIFY(testsupport::exec(QStringLiteral("UPDATE Users SET UserWaitUntil = 1 WHERE UserID=%1").arg(opId)));
        QCOMPARE(signIn(name, kOpPassword).result, LoginOutcome::Ok);
        QCOMPARE(testsupport::rows(
                     QStringLiteral("SELECT UserFailures, UserWaitUntil FROM Users WHERE UserID=%1").arg(opId)),
                 (QList<QVariantList>{{0, 0}}));
    }

    // A disabled account never logs in; only the one who knows its password learns why.
    void disabledAccountNeverLogsIn()
    {
        QVERIFY(testsupport::exec(QStringLiteral("UPDATE Users SET UserDisabled = 1 WHERE UserName='op'")));
        QCOMPARE(signIn(QStringLiteral("op"), kOpPassword).result, LoginOutcome::Disabled);
        QCOMPARE(signIn(QStringLiteral("op"), QStringLiteral("bad")).result, LoginOutcome::Wrong);
        QCOMPARE(checkLogin(QStringLiteral("op"), kOpPassword), -1);
    }

    // On the server every statement is in its log (log_statement=all, as a server kept for
    // audits runs): a typed password, a plain one of an older pool that logs in and is
    // replaced, and a new own password are not in it; what the logins read is.
    void typedPasswordsNeverReachTheServer()
    {
        if (!testsupport::onServer())
            QSKIP("the file has no statement log");
        testsupport::PgCluster pg;
        pg.setServerSettings({QStringLiteral("log_statement=all")});
        QVERIFY2(pg.start(), qPrintable(pg.errorText()));
        closeDatabase();
        testsupport::pointAtServer(pg, QStringLiteral("audited-station"));
        struct Back {
            ~Back()
            {
                closeDatabase();
                testsupport::pointAtServer(*testsupport::serverCluster(), QStringLiteral("test-station"));
                openDatabase();
            }
        } back;
        openDatabase();
        {
            QSqlQuery plain(pg.connection(QStringLiteral("setup")));
            QVERIFY(
                plain.exec(QStringLiteral("UPDATE Users SET UserPwd = 'Plain-Secret-99' WHERE UserName = 'admin'")));
        }
        const QString log = QDir(pg.dataDir()).absoluteFilePath(QStringLiteral("../postgres.log"));
        const qint64 from = QFileInfo(log).size();
        QVERIFY(from > 0);

        QCOMPARE(signIn(QStringLiteral("admin"), QStringLiteral("Typed-Guess-4711")).result, LoginOutcome::Wrong);
        QCOMPARE(signIn(QStringLiteral("admin"), QStringLiteral("Plain-Secret-99")).result, LoginOutcome::Ok);
        QVERIFY(setOwnPassword(1, QStringLiteral("Own-Secret-5")));
        QVERIFY(checkOwnPassword(1, QStringLiteral("Own-Secret-5")));
        QVERIFY(setAdminPassword(QStringLiteral("Admin-Secret-6")));
        QVERIFY(checkAdminPassword(QStringLiteral("Admin-Secret-6")));
        QCOMPARE(signIn(QStringLiteral("nobody"), QStringLiteral("Ghost-Guess-8")).result, LoginOutcome::Wrong);

        // The server writes its log on its own time: wait for the last login's statement.
        QByteArray written;
        QTRY_VERIFY((written = testsupport::readFile(log).mid(from)).contains("nobody"));
        QVERIFY2(written.contains("FROM Users WHERE UserName"), written.constData());
        for (const char *secret : {"Typed-Guess", "Plain-Secret", "Own-Secret", "Admin-Secret", "Ghost-Guess"})
            QVERIFY2(!written.contains(secret), secret);
    }
};

TARNWELL_TEST_MAIN(TestAccounts)
#include "tst_accounts.moc"
