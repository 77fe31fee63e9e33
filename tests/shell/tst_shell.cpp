// Start-up, login gate, main window and shutdown, driven the way an operator would.
#include "testsupport.h"

#include "app.h"
#include "datastore.h"
#include "login.h"
#include "messagebox.h"
#include "tarnwell.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>

namespace {

QStringList traceLines()
{
    QFile f(QStringLiteral("sdk-trace.txt"));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList lines;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (!line.trimmed().isEmpty())
            lines << QString::fromUtf8(line.trimmed());
    return lines;
}

int logCount(const QString &type)
{
    return testsupport::value(QStringLiteral("SELECT COUNT(*) FROM Logs WHERE LogType='%1'").arg(type)).toInt();
}

template <typename T>
T *topLevel()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *t = qobject_cast<T *>(w); t && t->isVisible())
            return t;
    return nullptr;
}

// Runs `step` as soon as a visible top-level T exists (inside the modal loop or event loop).
template <typename T, typename F>
void whenShown(F step)
{
    auto *timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, step] {
        if (T *w = topLevel<T>()) {
            timer->stop();
            timer->deleteLater();
            step(w);
        }
    });
    timer->start();
}

void typeLogin(Login *login, const QString &name, const QString &password)
{
    auto *nameEdit = login->findChild<QLineEdit *>(QStringLiteral("lineEditName"));
    auto *pwdEdit = login->findChild<QLineEdit *>(QStringLiteral("lineEditPwd"));
    nameEdit->clear();
    pwdEdit->clear();
    QTest::keyClicks(nameEdit, name);
    QTest::keyClicks(pwdEdit, password);
}

QAction *menuEntry(Tarnwell *w, const QString &text)
{
    for (QAction *a : w->menuBar()->actions())
        if (a->text() == text)
            return a;
    return nullptr;
}

void checkAndExit(Tarnwell *w, bool confirm, bool &checked)
    {
            QCOMPARE(w->size(), QSize(1104, 679));
            QCOMPARE(w->minimumSize(), w->maximumSize());
            QCOMPARE(int(w->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint
                                              | Qt::WindowCloseButtonHint)),
                     int(Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint));
            QStringList texts;
            for (QAction *a : w->menuBar()->actions())
                texts << a->text();
            QCOMPARE(texts, (QStringList{"Serail Number", "Burning", "Customer", "Password", "Log", "Exit"}));
            auto *stack = w->findChild<QStackedWidget *>(QStringLiteral("stackedWidget"));
            QCOMPARE(stack->count(), 3);
            QCOMPARE(stack->currentWidget()->metaObject()->className(), "Serial");
            menuEntry(w, QStringLiteral("Burning"))->trigger();
            QCOMPARE(stack->currentWidget()->metaObject()->className(), "DeviceMng");
            menuEntry(w, QStringLiteral("Log"))->trigger();
            QCOMPARE(stack->currentWidget()->metaObject()->className(), "Log");
            QVERIFY(storeDatabase.isOpen());
            checked = true;

            MessageBox::clear();
            MessageBox::setNextAnswer(confirm ? QMessageBox::Yes : QMessageBox::Cancel);
            menuEntry(w, QStringLiteral("Exit"))->trigger();
            QCOMPARE(MessageBox::last().title, QStringLiteral("question"));
            QCOMPARE(MessageBox::last().text, QStringLiteral("Whether to exit"));
            QCOMPARE(MessageBox::last().defaultButton, QMessageBox::Yes);
            if (!confirm) {
                QVERIFY(w->isVisible());
                QCOMPARE(logCount(QStringLiteral("Logout")), 0);
                w->close(); // the title-bar close asks nothing
            }
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
        MessageBox::clear();
    }

    void translationChoice()
    {
        QDir().mkpath(QStringLiteral("language"));
        QCOMPARE(chooseTranslation(), QString());
        for (const char *name : {"language/b.qm", "language/A.qm", "language/c.txt"}) {
            QFile f(QString::fromLatin1(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        QCOMPARE(QFileInfo(chooseTranslation()).fileName(), QStringLiteral("A.qm"));
        QFile::remove(QStringLiteral("language/b.qm"));
        QFile::remove(QStringLiteral("language/A.qm"));
        QFile::remove(QStringLiteral("language/c.txt"));
    }

    void loginChecksInOrder()
    {
        Login login;
        login.show();
        auto *btnLogin = login.findChild<QPushButton *>(QStringLiteral("btnLogin"));
        QCOMPARE(login.size(), QSize(329, 167));
        QVERIFY(btnLogin->autoDefault());

        typeLogin(&login, QStringLiteral("   "), QStringLiteral("wrong"));
        testsupport::click(btnLogin);
        QCOMPARE(MessageBox::last().title, QStringLiteral("Error"));
        QCOMPARE(MessageBox::last().text, QStringLiteral("Login name is empty!"));
        QCOMPARE(MessageBox::last().kind, MessageBox::Critical);

        for (const auto &pwd : {QStringLiteral("qorvi2"), QStringLiteral("QORVI"), QStringLiteral("")}) {
            typeLogin(&login, QStringLiteral("admin"), pwd);
            testsupport::click(btnLogin);
            QCOMPARE(MessageBox::last().text, QStringLiteral("Login name or password is error!"));
        }
        typeLogin(&login, QStringLiteral("Admin"), QStringLiteral("qorvi"));
        testsupport::click(btnLogin);
        QCOMPARE(MessageBox::last().text, QStringLiteral("Login name or password is error!"));
        QCOMPARE(MessageBox::shown().size(), 5);
        QVERIFY(login.isVisible());
        QCOMPARE(logCount(QStringLiteral("Login")), 0);

        // The typed password is trimmed before it is compared.
        typeLogin(&login, QStringLiteral(" admin "), QStringLiteral("  qorvi\t"));
        testsupport::click(btnLogin);
        QCOMPARE(login.result(), int(QDialog::Accepted));
        QCOMPARE(MessageBox::shown().size(), 5);
        const auto logs = testsupport::rows(QStringLiteral("SELECT LogType, LogDescribe, LogDate FROM Logs"));
        QCOMPARE(logs.size(), 1);
        QCOMPARE(logs[0][0].toString(), QStringLiteral("Login"));
        QCOMPARE(logs[0][1].toString(), QStringLiteral("Login"));
        QVERIFY(QDateTime::fromString(logs[0][2].toString(), QStringLiteral("yyyy-MM-dd HH:mm:ss")).isValid());
    }

    void enterInPasswordFieldLogsIn()
    {
        Login login;
        login.show();
        QVERIFY(QTest::qWaitForWindowActive(&login));
        typeLogin(&login, QStringLiteral("admin"), QStringLiteral("qorvi"));
        QTest::keyClick(login.findChild<QLineEdit *>(QStringLiteral("lineEditPwd")), Qt::Key_Return);
        QCOMPARE(login.result(), int(QDialog::Accepted));
    }

    void rejectedLoginEndsWithoutSdk()
    {
        whenShown<Login>([](Login *login) {
            testsupport::click(login->findChild<QPushButton *>(QStringLiteral("btnExit")));
        });
        const int code = runTarnwell(*qApp);
        QCOMPARE(code, 0);
        QVERIFY(topLevel<Tarnwell>() == nullptr);
        QCOMPARE(traceLines(), QStringList());
        QCOMPARE(logCount(QStringLiteral("Login")), 0);
    }

    void mainWindowAndExit_data()
    {
        QTest::addColumn<bool>("confirm");
        QTest::newRow("Yes") << true;
        QTest::newRow("Cancel then title-bar close") << false;
    }

    void mainWindowAndExit()
    {
        QFETCH(bool, confirm);
        whenShown<Login>([](Login *login) {
            typeLogin(login, QStringLiteral("admin"), QStringLiteral("qorvi"));
            testsupport::click(login->findChild<QPushButton *>(QStringLiteral("btnLogin")));
        });
        bool checked = false;
        whenShown<Tarnwell>([&checked, confirm](Tarnwell *w) {
            checkAndExit(w, confirm, checked);
            if (!checked)
                w->close(); // a failed check must not leave the event loop running
        });
        const int code = runTarnwell(*qApp);
        QVERIFY(checked);
        QCOMPARE(code, 0);
        QCOMPARE(logCount(QStringLiteral("Login")), 1);
        QCOMPARE(logCount(QStringLiteral("Logout")), confirm ? 1 : 0);
        QCOMPARE(MessageBox::shown().size(), 1);
        QVERIFY(!storeDatabase.isOpen());
        const QStringList trace = traceLines();
        QVERIFY2(trace.contains(QStringLiteral("Init")), qPrintable(trace.join(',')));
        QVERIFY2(trace.contains(QStringLiteral("Cleanup")), qPrintable(trace.join(',')));
        QVERIFY(trace.indexOf(QStringLiteral("Init")) < trace.lastIndexOf(QStringLiteral("Cleanup")));
        openDatabase(); // for the next test's fresh start
    }

    void secondStartKeepsPasswordAndAddsNothing()
    {
        setAdminPassword(QStringLiteral("n3w"));
        closeDatabase();
        openDatabase();
        QCOMPARE(testsupport::value(QStringLiteral("SELECT COUNT(*) FROM Users")).toInt(), 1);
        QCOMPARE(testsupport::value(QStringLiteral("SELECT COUNT(*) FROM Customers")).toInt(), 2);
        QCOMPARE(checkLogin(QStringLiteral("admin"), QStringLiteral("n3w")), 1);
        QCOMPARE(checkLogin(QStringLiteral("admin"), QStringLiteral("qorvi")), -1);
    }
};

TARNWELL_TEST_MAIN(TestShell)
#include "tst_shell.moc"
