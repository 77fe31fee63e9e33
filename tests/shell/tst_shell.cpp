// Start-up, login gate, main window and shutdown, driven the way an operator would.
#include "tests/support/testsupport.h"

#include "shell/app.h"
#include "shell/idlelock.h"
#include "shell/login.h"
#include "shell/tarnwell.h"
#include "shell/unlock.h"
#include "store/datastore.h"
#include "store/passwordhash.h"
#include "store/storeconnection.h"
#include "widgets/messagebox.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QLockFile>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>

#include <cerrno>

#include <unistd.h>

namespace {

QStringList traceLines()
{
    return QString::fromUtf8(testsupport::readFile(QStringLiteral("sdk-trace.txt")))
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

int logCount(const QString &type)
{
    return testsupport::value(QStringLiteral("SELECT COUNT(*) FROM Logs WHERE LogType='%1'").arg(type)).toInt();
}

using testsupport::whenShown;

// An operator beside the seeded administrator.
void addOperator()
{
    QVERIFY(testsupport::exec(QStringLiteral("INSERT INTO Users (UserName, UserPwd, UserRole) VALUES ('op', '%1', 0)")
                                  .arg(passwordhash::make(QStringLiteral("op-pass")))));
}

} // namespace

class TestShell : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QFile::remove(QStringLiteral("sdk-trace.txt"));
        qputenv("Z7_NETSDK_TRACE", QDir::current().absoluteFilePath(QStringLiteral("sdk-trace.txt")).toUtf8());
        testsupport::freshDatabase();
        setSignedInPerson(Person());
        MessageBox::clear();
    }

    void loginChecksInOrder()
    {
        Login login;
        login.show();
        auto *btnLogin = login.findChild<QPushButton *>(QStringLiteral("btnLogin"));

        testsupport::typeLogin(&login, QStringLiteral("   "), QStringLiteral("wrong"));
        testsupport::click(btnLogin);
        QCOMPARE(MessageBox::last().text, QStringLiteral("Login name is empty!"));

        // A wrong password, and the name in another case.
        for (const auto &[name, pwd] : {std::pair{"admin", "QORVI"}, std::pair{"Admin", "qorvi"}}) {
            testsupport::typeLogin(&login, QLatin1String(name), QLatin1String(pwd));
            testsupport::click(btnLogin);
            QCOMPARE(MessageBox::last().text, QStringLiteral("Login name or password is error!"));
        }
        QCOMPARE(MessageBox::shown().size(), 3);
        QVERIFY(login.isVisible());
        QCOMPARE(logCount(QStringLiteral("Login")), 0);

        // The typed password is trimmed before it is compared.
        testsupport::typeLogin(&login, QStringLiteral(" admin "), QStringLiteral("  qorvi\t"));
        testsupport::click(btnLogin);
        QCOMPARE(login.result(), int(QDialog::Accepted));
        QCOMPARE(signedInPerson().name, QStringLiteral("admin"));
        // admin still has the delivered password: the login says so.
        QCOMPARE(MessageBox::shown().size(), 4);
        QVERIFY(MessageBox::last().text.startsWith(QLatin1String("The account admin still has the password")));
        QCOMPARE(testsupport::column(QStringLiteral("SELECT LogType FROM Logs")), QStringList{QStringLiteral("Login")});
    }

    void secondProgramInTheFolderStopsAtOnce()
    {
        // Another program holds the pool: this one says so and ends with 0, before the
        // login (which would open the file) and without an SDK call.
        testsupport::freshDatabase();
        closeDatabase();
        QFile::remove(QStringLiteral("mydatabase.db"));
        {
            QLockFile other(QStringLiteral("mydatabase.db.lock"));
            QVERIFY(other.tryLock(0));
            QCOMPARE(runTarnwell(*qApp), 0);
            QVERIFY(!QFile::exists(QStringLiteral("mydatabase.db")));
            QCOMPARE(MessageBox::shown().size(), 1);
            QVERIFY(MessageBox::last().text.startsWith(QLatin1String("Tarnwell is already running in this folder")));
            QCOMPARE(traceLines(), QStringList());
        }
        // Once the other one is gone the next start goes on to the login; rejected, it ends
        // without an SDK call or a log row, and leaves no lock behind.
        bool login = false;
        whenShown<Login>([&login](Login *dialog) {
            login = true;
            testsupport::click(testsupport::child(dialog, "btnExit"));
        });
        QCOMPARE(runTarnwell(*qApp), 0);
        QVERIFY(login);
        QVERIFY(testsupport::visibleTopLevel<Tarnwell>() == nullptr);
        QCOMPARE(traceLines(), QStringList());
        QVERIFY(!QFile::exists(QStringLiteral("mydatabase.db.lock")));
        QCOMPARE(logCount(QStringLiteral("Login")), 0);
        testsupport::freshDatabase();
    }

    void unwritableFolderIsNotAnotherProgram_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("folder removed") << "removed";
        QTest::newRow("read-only folder") << "read-only";
    }

    // A folder that cannot take the lock file is said to be that, by name and with the
    // system's cause: nobody runs there, so "already running" would send the operator
    // looking for a window that does not exist. Nothing is opened or started.
    void unwritableFolderIsNotAnotherProgram()
    {
        QFETCH(QString, how);
        const bool removed = how == QLatin1String("removed");
        if (!removed && ::geteuid() == 0)
            QSKIP("root writes in a read-only folder");
        closeDatabase();
        const QString folder = QDir::current().absoluteFilePath(QStringLiteral("unwritable"));
        QVERIFY(QDir().mkpath(folder));
        struct Back {
            QString home = QDir::currentPath();
            QString folder;
            QByteArray pwd = qgetenv("PWD");
            ~Back()
            {
                QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
                QDir::setCurrent(home);
                QDir(folder).removeRecursively();
                qputenv("PWD", pwd);
            }
        } back{QDir::currentPath(), folder};
        QVERIFY(QDir::setCurrent(folder));
        qputenv("PWD", QFile::encodeName(folder)); // as the shell that started it knows its folder
        if (removed)
            QVERIFY(QDir(folder).removeRecursively());
        else
            QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));

        QCOMPARE(runTarnwell(*qApp), 0);
        QCOMPARE(MessageBox::shown().size(), 1);
        const MessageBox::Shown box = MessageBox::last();
        QCOMPARE(int(box.kind), int(MessageBox::Critical));
        QCOMPARE(box.title, QStringLiteral("Error"));
        QVERIFY2(box.text.startsWith(QStringLiteral("Tarnwell cannot write in the folder %1 (%2)")
                                         .arg(folder, qt_error_string(removed ? ENOENT : EACCES))),
                 qPrintable(box.text));
        QVERIFY(!QFile::exists(folder + QStringLiteral("/mydatabase.db")));
        QCOMPARE(traceLines(), QStringList());
    }

    // Exit answered Cancel keeps the window and logs no Logout; the title bar then closes it
    // without asking. (Exit answered Yes is the end-to-end suite's.) The SDK is set up for
    // the window and cleaned up after it.
    void exitCancelledThenTitleBarClose()
    {
        whenShown<Login>(
            [](Login *login) { testsupport::logIn(login, QStringLiteral("admin"), QStringLiteral("qorvi")); });
        bool stayed = false;
        whenShown<Tarnwell>([&stayed](Tarnwell *w) {
            MessageBox::clear();
            MessageBox::setNextAnswer(QMessageBox::Cancel);
            testsupport::triggerMenu(w, QStringLiteral("Exit"));
            stayed = w->isVisible() && MessageBox::last().text == QLatin1String("Whether to exit")
                && MessageBox::last().defaultButton == QMessageBox::Yes;
            w->close(); // the title-bar close asks nothing
        });
        QCOMPARE(runTarnwell(*qApp), 0);
        QVERIFY(stayed);
        QCOMPARE(MessageBox::shown().size(), 1);
        QCOMPARE(logCount(QStringLiteral("Login")), 1);
        QCOMPARE(logCount(QStringLiteral("Logout")), 0);
        QVERIFY(!storeDatabase.isOpen());
        const QStringList trace = traceLines();
        QVERIFY2(trace.contains(QStringLiteral("Init"))
                     && trace.indexOf(QStringLiteral("Init")) < trace.lastIndexOf(QStringLiteral("Cleanup")),
                 qPrintable(trace.join(',')));
        openDatabase(); // for the next test's fresh start
    }

    // The login's own answers beside the wrong-password box: the wait after five failures
    // (logged with name and station, never the typed text), a disabled account, a store that
    // cannot answer; and the delivered password's warning for whoever logs in.
    void loginAnswers()
    {
        addOperator();
        Login login;
        login.show();
        auto *btnLogin = login.findChild<QPushButton *>(QStringLiteral("btnLogin"));
        for (int i = 0; i < kLoginFailuresBeforeWait; ++i) {
            testsupport::typeLogin(&login, QStringLiteral("op"), QStringLiteral("typed-guess"));
            testsupport::click(btnLogin);
            QCOMPARE(MessageBox::last().text, QStringLiteral("Login name or password is error!"));
        }
        const auto locked = testsupport::rows(
            QStringLiteral("SELECT LogDescribe, LogStation FROM Logs WHERE LogType='Login locked'"));
        QCOMPARE(locked.size(), 1);
        QCOMPARE(locked[0][0].toString(), QStringLiteral("5 failed logins in a row for op: the next try waits 30 s"));
        QCOMPARE(locked[0][1].toString(), stationName());
        QCOMPARE(testsupport::count(QStringLiteral("Logs WHERE LogDescribe LIKE '%typed-guess%'")), 0);

        testsupport::typeLogin(&login, QStringLiteral("op"), QStringLiteral("op-pass"));
        testsupport::click(btnLogin);
        QVERIFY2(MessageBox::last().text.startsWith(
                     QLatin1String("Too many failed logins for this name. Try again in ")),
                 qPrintable(MessageBox::last().text));

        QVERIFY(testsupport::exec(QStringLiteral("UPDATE Users SET UserWaitUntil = 0, UserDisabled = 1")));
        testsupport::click(btnLogin);
        QCOMPARE(MessageBox::last().text,
                 QStringLiteral("This account is disabled. An administrator can enable it again."));

        closeDatabase();
        testsupport::click(btnLogin);
        QCOMPARE(MessageBox::last().kind, MessageBox::Critical);
        QVERIFY2(MessageBox::last().text.startsWith(QLatin1String("The login could not be checked: ")),
                 qPrintable(MessageBox::last().text));
        openDatabase();
        QVERIFY(login.isVisible());
        QCOMPARE(logCount(QStringLiteral("Login")), 0);
        QVERIFY(!signedInPerson().signedIn());

        QVERIFY(testsupport::exec(QStringLiteral("UPDATE Users SET UserDisabled = 0")));
        MessageBox::clear();
        testsupport::click(btnLogin);
        QCOMPARE(login.result(), int(QDialog::Accepted));
        QCOMPARE(signedInPerson().name, QStringLiteral("op"));
        QCOMPARE(signedInPerson().role, Role::Operator);
        QCOMPARE(MessageBox::shown().size(), 1);
        QCOMPARE(MessageBox::last().kind, MessageBox::Warning);
        QVERIFY(MessageBox::last().text.startsWith(QLatin1String("The account admin still has the password")));
        QCOMPARE(logCount(QStringLiteral("Login")), 1);
    }

    // A login whose log row cannot be written lets nobody in: the log names every person.
    void loginWithoutItsLogRowIsRefused()
    {
        QVERIFY(testsupport::exec(QStringLiteral(
            "CREATE TRIGGER RefuseLogs BEFORE INSERT ON Logs BEGIN SELECT RAISE(ABORT, 'log refused'); END")));
        Login login;
        QVERIFY(!testsupport::logIn(&login, QStringLiteral("admin"), QStringLiteral("qorvi")));
        QVERIFY2(MessageBox::last().text.startsWith(QLatin1String("The login could not be logged: log refused")),
                 qPrintable(MessageBox::last().text));
        QVERIFY(!signedInPerson().signedIn());
        QVERIFY(testsupport::exec(QStringLiteral("DROP TRIGGER RefuseLogs")));
    }

    // With no input the window hides its content and asks for the password; Escape does not
    // open it, a wrong password neither. The same person unlocks; at the next lock another
    // person logs in instead. Each step is logged.
    void idleLockUnlockAndSwitchUser()
    {
        addOperator();
        {
            Login login;
            QVERIFY(testsupport::logIn(&login, QStringLiteral("admin"), QStringLiteral("qorvi")));
        }
        Tarnwell window;
        window.show();
        auto *idle = window.findChild<IdleLock *>();
        QVERIFY(idle);
        QCOMPARE(idle->idleMs(), 15 * 60 * 1000); // tarnwell.ini's default
        QSignalSpy switched(idle, &IdleLock::personChanged);
        QVERIFY(testsupport::menuAction(&window, QStringLiteral("Users"))->isVisible());
        idle->setIdleMs(50);

        QTRY_VERIFY(idle->isLocked());
        QVERIFY(!window.centralWidget()->isVisible());
        QVERIFY(!window.menuBar()->isVisible());
        auto *unlock = testsupport::visibleTopLevel<Unlock>();
        QVERIFY(unlock);
        QCOMPARE(unlock->findChild<QLineEdit *>(QStringLiteral("lineEditName"))->text(), QStringLiteral("admin"));
        QTest::keyClick(unlock, Qt::Key_Escape);
        unlock->close();
        QVERIFY(unlock->isVisible());
        MessageBox::clear();
        testsupport::typeLogin(unlock, QStringLiteral("admin"), QStringLiteral("wrong"));
        testsupport::click(testsupport::child(unlock, "btnUnlock"));
        QCOMPARE(MessageBox::last().text, QStringLiteral("Login name or password is error!"));
        QVERIFY(unlock->isVisible());
        QVERIFY(!window.centralWidget()->isVisible());

        testsupport::typeLogin(unlock, QStringLiteral("admin"), QStringLiteral("qorvi"));
        testsupport::click(testsupport::child(unlock, "btnUnlock"));
        QVERIFY(window.centralWidget()->isVisible());
        QVERIFY(window.menuBar()->isVisible());
        QCOMPARE(signedInPerson().name, QStringLiteral("admin"));
        QCOMPARE(switched.count(), 0);

        // Locked again after the next quiet spell; the operator logs in there instead.
        QTRY_VERIFY(testsupport::visibleTopLevel<Unlock>());
        unlock = testsupport::visibleTopLevel<Unlock>();
        testsupport::typeLogin(unlock, QStringLiteral("op"), QStringLiteral("op-pass"));
        idle->setIdleMs(0);
        testsupport::click(testsupport::child(unlock, "btnUnlock"));
        QTRY_VERIFY(!idle->isLocked());
        QVERIFY(window.centralWidget()->isVisible());
        QCOMPARE(signedInPerson().name, QStringLiteral("op"));
        QCOMPARE(switched.count(), 1);
        // The window offers what the operator's role allows.
        QVERIFY(!testsupport::menuAction(&window, QStringLiteral("Users"))->isVisible());
        QVERIFY(!testsupport::menuAction(&window, QStringLiteral("Customer"))->isVisible());

        QCOMPARE(testsupport::column(QStringLiteral("SELECT LogType FROM Logs ORDER BY LogID")),
                 (QStringList{QStringLiteral("Login"), QStringLiteral("Lock"), QStringLiteral("Unlock"),
                              QStringLiteral("Lock"), QStringLiteral("Switch user")}));
        QCOMPARE(testsupport::value(QStringLiteral("SELECT LogDescribe FROM Logs WHERE LogType='Switch user'")),
                 QVariant(QStringLiteral("Switch user from admin to op")));
        // The seconds through the environment, for whoever starts the program.
        qputenv("TARNWELL_IDLE_SECONDS", "7");
        QCOMPARE(IdleLock(&window).idleMs(), 7000);
        qunsetenv("TARNWELL_IDLE_SECONDS");
    }
};

TARNWELL_TEST_MAIN(TestShell)
#include "tst_shell.moc"
