// Roles: what the window offers each role, what the jobs refuse when called straight, the
// Users dialog driven by an administrator, and the pool never left without one.
#include "tests/support/testsupport.h"

#include "jobs/importjob.h"
#include "jobs/roleactions.h"
#include "serial/serial.h"
#include "shell/tarnwell.h"
#include "shell/usermng.h"
#include "store/datastore.h"
#include "store/passwordhash.h"
#include "widgets/messagebox.h"

#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QThread>

#include <atomic>
#include <memory>

Q_DECLARE_METATYPE(Role)
Q_DECLARE_METATYPE(PeopleChange)

using testsupport::child;
using testsupport::count;

namespace {

// What the store holds that a refused action must leave alone.
QString poolState()
{
    QStringList out;
    for (const char *table : {"SerialNumbers", "RetiredSerials", "Logs", "Users"})
        out << QString::number(count(QLatin1String(table)));
    for (const QVariantList &row :
         testsupport::rows(QStringLiteral("SELECT CustomerValue, CustomerHostAddr, CustomerPort FROM Customers")))
        for (const QVariant &v : row)
            out << v.toString();
    return out.join(QLatin1Char('|'));
}

QString storedPassword(const QString &name)
{
    return testsupport::value(QStringLiteral("SELECT UserPwd FROM Users WHERE UserName='%1'").arg(name)).toString();
}

qint64 idOf(const QString &name)
{
    return testsupport::value(QStringLiteral("SELECT UserID FROM Users WHERE UserName='%1'").arg(name)).toLongLong();
}

void clickRow(QTableWidget *table, int row)
{
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, table->visualItemRect(table->item(row, 0)).center());
}

void retype(QLineEdit *edit, const QString &text)
{
    edit->clear();
    testsupport::type(edit, text);
}

} // namespace

class TestRoles : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        testsupport::freshDatabase();
        MessageBox::clear();
    }

    void windowOffersByRole_data()
    {
        QTest::addColumn<Role>("role");
        QTest::newRow("operator") << Role::Operator;
        QTest::newRow("supervisor") << Role::Supervisor;
        QTest::newRow("administrator") << Role::Administrator;
    }

    // Hidden for the role, and offered again when an administrator takes over the window.
    void windowOffersByRole()
    {
        QFETCH(Role, role);
        testsupport::signInAs(role, 7, QStringLiteral("someone"));
        {
            Tarnwell w;
            auto *serial = w.findChild<Serial *>();
            QVERIFY(serial);
            for (int pass = 0; pass < 2; ++pass) {
                const bool admin = pass == 1 || role == Role::Administrator;
                const bool supervisor = admin || role == Role::Supervisor;
                for (const char *entry : {"Serail Number", "Burning", "Password", "Log", "Report", "Exit"})
                    QVERIFY2(testsupport::menuAction(&w, QLatin1String(entry))->isVisible(), entry);
                QCOMPARE(testsupport::menuAction(&w, QStringLiteral("Customer"))->isVisible(), admin);
                QCOMPARE(testsupport::menuAction(&w, QStringLiteral("Users"))->isVisible(), admin);
                for (const char *button : {"btnDelete", "btnReprintLabel"})
                    QCOMPARE(!child<QPushButton>(serial, button)->isHidden(), supervisor);
                QCOMPARE(!child<QGroupBox>(serial, "groupBox_2")->isHidden(), admin);
                for (const char *button : {"btnSearch", "btnExport"})
                    QVERIFY2(!child<QPushButton>(serial, button)->isHidden(), button);
                testsupport::signInAs(Role::Administrator);
                w.applyRole();
            }
        }
        openDatabase(); // the window closed it
    }

    void jobsRefuseByRole_data()
    {
        QTest::addColumn<Role>("role");
        QTest::newRow("nobody signed in") << Role(-1);
        QTest::newRow("operator") << Role::Operator;
        QTest::newRow("supervisor") << Role::Supervisor;
        QTest::newRow("administrator") << Role::Administrator;
    }

    // Called straight, each job checks the role itself; a refusal writes nothing at all.
    void jobsRefuseByRole()
    {
        QFETCH(Role, role);
        QVERIFY(testsupport::fillPool(QStringLiteral("D"), 3));
        if (int(role) < 0)
            setSignedInPerson(Person());
        else
            testsupport::signInAs(role, 5, QStringLiteral("someone"));
        const bool admin = role == Role::Administrator;
        const bool supervisor = admin || role == Role::Supervisor;

        QString before = poolState();
        const QString csv = testsupport::writeFile(QStringLiteral("r.csv"), "R-1,R-2\n");
        jobs::ImportListener listener;
        const jobs::ImportResult imported = jobs::ImportJob(csv, 1, jobs::ImportJob::Kind::Csv).run(listener);
        QCOMPARE(imported.refusal == jobs::ImportResult::Refusal::NotPermitted, !admin);
        QCOMPARE(count(QStringLiteral("SerialNumbers WHERE SerialNumber LIKE 'R-%'")), admin ? 2 : 0);
        if (!admin)
            QCOMPARE(poolState(), before);

        before = poolState();
        const jobs::Gated deleted = jobs::deleteSerialLogged(QStringLiteral("D0001"),
                                                             makeLogRecord(QStringLiteral("t"), QStringLiteral("d")));
        QCOMPARE(deleted, supervisor ? jobs::Gated::Done : jobs::Gated::Refused);
        QCOMPARE(count(QStringLiteral("RetiredSerials WHERE SerialNumber='D0001'")), supervisor ? 1 : 0);
        if (!supervisor)
            QCOMPARE(poolState(), before);

        before = poolState();
        QCOMPARE(jobs::saveCustomer(QStringLiteral("UMEYE"), QStringLiteral("V"), QStringLiteral("h.example"), 1),
                 admin ? jobs::Gated::Done : jobs::Gated::Refused);
        QCOMPARE(jobs::People::add(QStringLiteral("newcomer"), QStringLiteral("pw"), Role::Operator).permitted, admin);
        QCOMPARE(jobs::People::setPassword(1, QStringLiteral("mine")).permitted, admin);
        QCOMPARE(jobs::People::setRole(1, Role::Operator).permitted, admin); // refused otherwise: last administrator
        QCOMPARE(jobs::People::setDisabled(1, true).permitted, admin);
        if (!admin)
            QCOMPARE(poolState(), before);
        else
            QCOMPARE(count(QStringLiteral("Users WHERE UserName='newcomer'")), 1);
    }

    // An administrator adds a person, changes their role, disables and enables them and
    // sets their password; the log says each, never a password.
    void usersDialog()
    {
        UserMng dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Users"));
        auto *table = child<QTableWidget>(&dialog, "tableWidget");
        auto *name = child<QLineEdit>(&dialog, "lineEditName");
        auto *pwd = child<QLineEdit>(&dialog, "lineEditPwd");
        auto *confirm = child<QLineEdit>(&dialog, "lineEditConfirmPwd");
        auto *role = child<QComboBox>(&dialog, "cbxRole");
        QCOMPARE(testsupport::columnTexts(table, 0), QStringList{QStringLiteral("admin")});
        QCOMPARE(testsupport::cellText(table, 0, 1), QStringLiteral("Administrator"));

        retype(name, QStringLiteral("  olga "));
        testsupport::chooseText(role, QStringLiteral("Operator"));
        retype(pwd, QStringLiteral("first-pw"));
        retype(confirm, QStringLiteral("first-pw"));
        testsupport::click(child(&dialog, "btnAdd"));
        QCOMPARE(testsupport::columnTexts(table, 0), (QStringList{QStringLiteral("admin"), QStringLiteral("olga")}));
        QCOMPARE(testsupport::cellText(table, 1, 1), QStringLiteral("Operator"));
        QCOMPARE(testsupport::cellText(table, 1, 2), QStringLiteral("Enabled"));
        QVERIFY(passwordhash::matches(storedPassword(QStringLiteral("olga")), QStringLiteral("first-pw")));
        // The same name again is refused, said, and nothing is added.
        retype(pwd, QStringLiteral("x"));
        retype(confirm, QStringLiteral("x"));
        testsupport::click(child(&dialog, "btnAdd"));
        QCOMPARE(MessageBox::last().text, QStringLiteral("olga is taken; choose another name."));
        QCOMPARE(count(QStringLiteral("Users")), 2);

        clickRow(table, 1);
        testsupport::chooseText(role, QStringLiteral("Supervisor"));
        testsupport::click(child(&dialog, "btnSetRole"));
        QCOMPARE(testsupport::cellText(table, 1, 1), QStringLiteral("Supervisor"));
        testsupport::click(child(&dialog, "btnDisable"));
        QCOMPARE(testsupport::cellText(table, 1, 2), QStringLiteral("Disabled"));
        QCOMPARE(child(&dialog, "btnDisable")->text(), QStringLiteral("Enable"));
        testsupport::click(child(&dialog, "btnDisable"));
        QCOMPARE(testsupport::cellText(table, 1, 2), QStringLiteral("Enabled"));

        retype(pwd, QStringLiteral("second-pw"));
        retype(confirm, QStringLiteral("second-pw"));
        testsupport::click(child(&dialog, "btnSetPwd"));
        QCOMPARE(MessageBox::last().text, QStringLiteral("The new password of olga is set."));
        QVERIFY(passwordhash::matches(storedPassword(QStringLiteral("olga")), QStringLiteral("second-pw")));

        QCOMPARE(testsupport::column(
                     QStringLiteral("SELECT LogDescribe FROM Logs WHERE LogType='Users' ORDER BY LogID")),
                 (QStringList{QStringLiteral("Added olga as Operator"),
                              QStringLiteral("Set the role of olga to Supervisor"), QStringLiteral("Disabled olga"),
                              QStringLiteral("Enabled olga"), QStringLiteral("Set a new password for olga")}));
        QCOMPARE(count(QStringLiteral("Logs WHERE LogDescribe LIKE '%pw%' OR LogDescribe LIKE '%$argon%'")), 0);
        for (const auto &box : MessageBox::shown())
            QVERIFY2(!box.text.contains(QStringLiteral("-pw")), qPrintable(box.text));
    }

    // An administrator who demotes themself loses the administrator's menu entries at once.
    void ownRoleChangeTakesEffect()
    {
        QCOMPARE(addPerson(QStringLiteral("second"), passwordhash::make(QStringLiteral("s")), Role::Administrator),
                 PeopleChange::Done);
        {
            Tarnwell w;
            testsupport::whenShown<UserMng>([](UserMng *dialog) {
                auto *table = child<QTableWidget>(dialog, "tableWidget");
                clickRow(table, 0);
                testsupport::chooseText(child<QComboBox>(dialog, "cbxRole"), QStringLiteral("Supervisor"));
                testsupport::click(child(dialog, "btnSetRole"));
                dialog->close();
            });
            testsupport::triggerMenu(&w, QStringLiteral("Users"));
            QCOMPARE(signedInPerson().role, Role::Supervisor);
            QVERIFY(!testsupport::menuAction(&w, QStringLiteral("Users"))->isVisible());
            QVERIFY(!testsupport::menuAction(&w, QStringLiteral("Customer"))->isVisible());
        }
        openDatabase();
    }

    // The pool always keeps an enabled administrator; a disabled one does not count.
    void lastAdministratorStays()
    {
        const qint64 admin = 1;
        QCOMPARE(setPersonDisabled(admin, true), PeopleChange::LastAdministrator);
        QCOMPARE(setPersonRole(admin, Role::Supervisor), PeopleChange::LastAdministrator);
        QCOMPARE(setPersonRole(admin, Role::Administrator), PeopleChange::Done);
        const QString hash = passwordhash::make(QStringLiteral("p"));
        QCOMPARE(addPerson(QStringLiteral("bea"), hash, Role::Administrator), PeopleChange::Done);
        QCOMPARE(addPerson(QStringLiteral("cai"), hash, Role::Administrator), PeopleChange::Done);
        QCOMPARE(setPersonDisabled(idOf(QStringLiteral("cai")), true), PeopleChange::Done);
        QCOMPARE(setPersonRole(admin, Role::Operator), PeopleChange::Done);
        QCOMPARE(setPersonDisabled(idOf(QStringLiteral("bea")), true), PeopleChange::LastAdministrator);
        QCOMPARE(setPersonRole(idOf(QStringLiteral("bea")), Role::Operator), PeopleChange::LastAdministrator);
        QCOMPARE(count(QStringLiteral("Users WHERE UserRole=2 AND UserDisabled=0")), 1);
        QCOMPARE(setPersonDisabled(42, true), PeopleChange::NoSuchPerson);

        // Through the dialog: the signed-in administrator cannot disable themself either.
        testsupport::signInAs(Role::Administrator, idOf(QStringLiteral("bea")), QStringLiteral("bea"));
        UserMng dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        clickRow(child<QTableWidget>(&dialog, "tableWidget"), 1);
        testsupport::click(child(&dialog, "btnDisable"));
        QCOMPARE(MessageBox::last().text, QStringLiteral("You can not disable the account you are signed in with."));
        testsupport::chooseText(child<QComboBox>(&dialog, "cbxRole"), QStringLiteral("Operator"));
        testsupport::click(child(&dialog, "btnSetRole"));
        QCOMPARE(MessageBox::last().text,
                 QStringLiteral("The pool must keep an enabled administrator; nothing was changed."));
        QCOMPARE(count(QStringLiteral("Logs WHERE LogType='Users'")), 0);
    }

    // Two stations each disabling one of the last two administrators: the second waits for
    // the first and is refused, so one stays enabled.
    void concurrentDisablesKeepOneAdministrator()
    {
        if (!testsupport::onServer())
            QSKIP("the file's batch holds the one write lock; stations share the pool on the server");
        const QString hash = passwordhash::make(QStringLiteral("p"));
        QCOMPARE(addPerson(QStringLiteral("bea"), hash, Role::Administrator), PeopleChange::Done);
        const qint64 bea = idOf(QStringLiteral("bea"));
        QVERIFY(beginBatch());
        QCOMPARE(setPersonDisabled(1, true), PeopleChange::Done);
        std::atomic<bool> finished{false};
        PeopleChange other = PeopleChange::Done;
        std::unique_ptr<QThread> station(QThread::create([&] {
            if (openStoreForThisThread()) {
                other = setPersonDisabled(bea, true);
                closeStoreForThisThread();
            } else {
                other = PeopleChange::Failed;
            }
            finished = true;
        }));
        station->start();
        QTRY_VERIFY_WITH_TIMEOUT(finished
                                     || testsupport::value(QStringLiteral("SELECT COUNT(*) FROM pg_stat_activity "
                                                                          "WHERE wait_event_type='Lock'"))
                                             .toInt()
                                         > 0,
                                 30000);
        QVERIFY(commitBatch());
        QVERIFY(station->wait(30000));
        QCOMPARE(other, PeopleChange::LastAdministrator);
        QCOMPARE(count(QStringLiteral("Users WHERE UserRole=2 AND UserDisabled=0")), 1);
    }

    void addPersonRefuses_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("hashed");
        QTest::addColumn<PeopleChange>("expected");
        QTest::newRow("empty") << QString() << true << PeopleChange::NameInvalid;
        QTest::newRow("65 bytes in 33 letters") << QString(33, QChar(0xe9)) << true << PeopleChange::NameTooLong;
        QTest::newRow("64 bytes") << QString(32, QChar(0xe9)) << true << PeopleChange::Done;
        QTest::newRow("taken") << QStringLiteral("admin") << true << PeopleChange::NameTaken;
        QTest::newRow("plain password") << QStringLiteral("ann") << false << PeopleChange::NotAHash;
    }

    void addPersonRefuses()
    {
        QFETCH(QString, name);
        QFETCH(bool, hashed);
        QFETCH(PeopleChange, expected);
        const QString password = QStringLiteral("pw");
        QCOMPARE(addPerson(name, hashed ? passwordhash::make(password) : password, Role::Operator), expected);
        QCOMPARE(count(QStringLiteral("Users")), expected == PeopleChange::Done ? 2 : 1);
        QCOMPARE(count(QStringLiteral("Users WHERE UserPwd='pw'")), 0);
    }
};

TARNWELL_TEST_MAIN(TestRoles)
#include "tst_roles.moc"
