// The signed-in person's own password change, and what the login accepts afterwards.
#include "tests/support/testsupport.h"

#include "shell/login.h"
#include "shell/updatepwd.h"
#include "store/datastore.h"
#include "store/passwordhash.h"
#include "widgets/messagebox.h"

#include <QLineEdit>
#include <QPushButton>

namespace {

const char kBlankEdgeWarning[] = "New password can not begin or end with a blank!";

QString storedPassword()
{
    return testsupport::value(QStringLiteral("SELECT UserPwd FROM Users WHERE UserName='admin'")).toString();
}

// Types the three fields and presses Update; returns whether the dialog accepted.
bool submit(UpdatePwd &dialog, const QString &oldPwd, const QString &newPwd, const QString &confirmPwd)
{
    const struct {
        const char *name;
        const QString &text;
    } fields[] = {{"lineEditOldPwd", oldPwd}, {"lineEditNewPwd", newPwd}, {"lineEditConfirmPwd", confirmPwd}};
    for (const auto &f : fields) {
        auto *edit = dialog.findChild<QLineEdit *>(QLatin1String(f.name));
        if (!edit)
            return false;
        edit->clear();
        testsupport::type(edit, f.text);
    }
    testsupport::click(dialog.findChild<QPushButton *>(QStringLiteral("btnUpdate")));
    return dialog.result() == QDialog::Accepted;
}

// Logs the administrator in through a login dialog; returns whether it let them in.
bool loginAs(const QString &password)
{
    Login login;
    return testsupport::logIn(&login, QStringLiteral("admin"), password);
}

} // namespace

class TestUpdatePwd : public QObject
{
    Q_OBJECT

    QString seeded;

private slots:
    // Signed in as the administrator, as the main window's Password entry is reached.
    void init()
    {
        testsupport::freshDatabase();
        QVERIFY(loginAs(QStringLiteral("qorvi")));
        QCOMPARE(signedInPerson().name, QStringLiteral("admin"));
        seeded = storedPassword();
        MessageBox::clear();
    }

    void checksRunInOrder_data()
    {
        QTest::addColumn<QString>("oldPwd");
        QTest::addColumn<QString>("newPwd");
        QTest::addColumn<QString>("confirmPwd");
        QTest::addColumn<QString>("message");
        const auto row =
            [](const char *tag, const char *oldPwd, const char *newPwd, const char *confirmPwd, const char *message) {
            QTest::newRow(tag) << QString::fromUtf8(oldPwd) << QString::fromUtf8(newPwd)
                               << QString::fromUtf8(confirmPwd) << QString::fromUtf8(message);
        };
        const char *const mismatch = "Confirm password is not same to new password!";
        row("empty new beats wrong old and mismatch", "wrong", "", "x", "New password is empty!");
        row("mismatch beats wrong old", "wrong", "abc", "abd", mismatch);
        row("confirmation is case-sensitive", "qorvi", "abc", "ABC", mismatch);
        row("wrong old", "wrong", "abc", "abc", "Old password error!");
        row("old is not trimmed", " qorvi", "abc", "abc", "Old password error!");
        row("blank edge beats wrong old", "wrong", "abc ", "abc ", kBlankEdgeWarning);
        row("leading blank", "qorvi", " secret", " secret", kBlankEdgeWarning);
        row("blanks only", "qorvi", "   ", "   ", kBlankEdgeWarning);
    }

    void checksRunInOrder()
    {
        QFETCH(QString, oldPwd);
        QFETCH(QString, newPwd);
        QFETCH(QString, confirmPwd);
        QFETCH(QString, message);

        UpdatePwd dialog;
        QVERIFY(!submit(dialog, oldPwd, newPwd, confirmPwd));
        QCOMPARE(MessageBox::shown().size(), 1);
        QCOMPARE(MessageBox::last().kind, MessageBox::Warning);
        QCOMPARE(MessageBox::last().text, message);
        QCOMPARE(storedPassword(), seeded);
        // The fields stay as typed for the operator to correct.
        QCOMPARE(dialog.findChild<QLineEdit *>(QStringLiteral("lineEditNewPwd"))->text(), newPwd);
    }

    // With the store closed the old password cannot be checked, which is said so (not as
    // "Old password error!"); a new password's own fault is said without asking the store.
    void newPasswordChecksNeverAskTheStore()
    {
        closeDatabase();
        UpdatePwd dialog;
        submit(dialog, QStringLiteral("qorvi"), QStringLiteral(" abc"), QStringLiteral(" abc"));
        QCOMPARE(MessageBox::last().text, QString::fromLatin1(kBlankEdgeWarning));
        // Control: the same press with a sound new password does reach the closed store.
        submit(dialog, QStringLiteral("qorvi"), QStringLiteral("abc"), QStringLiteral("abc"));
        QCOMPARE(MessageBox::last().kind, MessageBox::Critical);
        QVERIFY2(MessageBox::last().text.startsWith(QLatin1String("The password could not be checked: ")),
                 qPrintable(MessageBox::last().text));
        openDatabase();
        QCOMPARE(storedPassword(), seeded);
    }

    // Stored as typed (an inner blank, case, a quote, non-ASCII), as a hash; only the new one counts.
    void onlyTheNewPasswordLogsIn()
    {
        const QString changed = QStringLiteral("P a'\"\u00fc");
        UpdatePwd dialog;
        QVERIFY(submit(dialog, QStringLiteral("qorvi"), changed, changed));
        QCOMPARE(MessageBox::last().text, QStringLiteral("Update success!"));
        QVERIFY(passwordhash::isHash(storedPassword()));
        MessageBox::clear();

        QVERIFY(!loginAs(QStringLiteral("qorvi")));
        QCOMPARE(MessageBox::last().text, QStringLiteral("Login name or password is error!"));
        QVERIFY(checkAdminPassword(changed));

        // A second change needs the new password as the old one.
        UpdatePwd again;
        QVERIFY(!submit(again, QStringLiteral("qorvi"), QStringLiteral("z"), QStringLiteral("z")));
        QCOMPARE(MessageBox::last().text, QStringLiteral("Old password error!"));
        QVERIFY(submit(again, changed, QStringLiteral("z"), QStringLiteral("z")));
        QVERIFY(loginAs(QStringLiteral("z")));
    }

    // An operator changes their own password, checked against their own: the
    // administrator's password is neither accepted as the old one nor changed.
    void operatorChangesOwnPassword()
    {
        QVERIFY(
            testsupport::exec(QStringLiteral("INSERT INTO Users (UserName, UserPwd, UserRole) VALUES ('op', '%1', 0)")
                                  .arg(passwordhash::make(QStringLiteral("op-pass")))));
        {
            Login login;
            QVERIFY(testsupport::logIn(&login, QStringLiteral("op"), QStringLiteral("op-pass")));
        }
        QCOMPARE(signedInPerson().name, QStringLiteral("op"));
        UpdatePwd dialog;
        QVERIFY(!submit(dialog, QStringLiteral("qorvi"), QStringLiteral("op-new"), QStringLiteral("op-new")));
        QCOMPARE(MessageBox::last().text, QStringLiteral("Old password error!"));
        QVERIFY(submit(dialog, QStringLiteral("op-pass"), QStringLiteral("op-new"), QStringLiteral("op-new")));
        QCOMPARE(storedPassword(), seeded);
        QCOMPARE(checkLogin(QStringLiteral("op"), QStringLiteral("op-new")),
                 testsupport::value(QStringLiteral("SELECT UserID FROM Users WHERE UserName='op'")).toInt());
    }
};

TARNWELL_TEST_MAIN(TestUpdatePwd)
#include "tst_updatepwd.moc"
