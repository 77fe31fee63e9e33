// Shared test harness: each test executable runs offscreen in a fresh temporary
// working directory holding Resources/ and an empty language/, like the run folder.
#pragma once

#include "store/datastore.h"

#include <QApplication>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <QVariantList>

class QAction;
class QComboBox;
class QLineEdit;
class QMainWindow;
class QPushButton;
class QTableWidget;

namespace testsupport {

// Called by TARNWELL_TEST_MAIN before the tests run.
void prepareWorkingDirectory();

// The test's own temporary working directory.
QString workingDirectory();

class PgCluster;
// True when the suite runs against a PostgreSQL server (TARNWELL_TEST_STORE=postgresql):
// the working folder's tarnwell.ini points the store at a throwaway cluster of its own.
bool onServer();
PgCluster *serverCluster();
// Writes tarnwell.ini in the working folder for that server, with this station name, and
// puts the password where the program takes it from.
void pointAtServer(const PgCluster &pg, const QString &station);

// Closes the store, removes mydatabase.db and opens a fresh one with the seed rows, signed
// in as the seeded administrator (as is every suite from the start).
void freshDatabase();
// Signs in a person of `role` for the suite's store calls and pages (by default the seeded
// administrator's id and name); the login's own check is not involved.
void signInAs(Role role, qint64 id = 1, const QString &name = QStringLiteral("admin"));

// Reads rows straight from mydatabase.db on a connection of its own (not the store's),
// so tests check what is really stored. Each row is a list of column values.
QList<QVariantList> rows(const QString &sql);
QVariant value(const QString &sql);

// Runs `sql` on the test's own connection (setup of odd states the program can't make).
bool exec(const QString &sql);

// SELECT COUNT(*) FROM `fromWhere` (a table and its conditions), on the test's connection.
int count(const QString &fromWhere);

// The first column of every row of `sql`, as texts.
QStringList column(const QString &sql);

// Adds serial numbers "<prefix>0001".."<prefix><total>" for `customerId` straight into the
// file, in that order (the last is the newest). Used ones get `deviceType`, the device
// serial "DEV<serial number>" and the address 192.168.1.<i>.
bool fillPool(const QString &prefix, int total, int customerId = 1, bool used = false,
              const QString &deviceType = QString());

// Takes `serialNumber` through the pool as a burn does: claimed for the device, then marked
// used with it (through the store, in one batch). False when any step did not take effect.
bool burnInPool(const QString &serialNumber, int customerId, const QString &device, const QString &type,
                const QString &ip);

// A committed fixture under tests/data.
QString dataFile(const QString &name);

// Writes `contents` to `name` in the working directory (making its folders); the
// absolute path, or an empty text when it could not be written.
QString writeFile(const QString &name, const QByteArray &contents);
QByteArray readFile(const QString &path);

// Presses a push button, check box or radio button the way an operator would.
void click(QWidget *widget);

// A widget of `parent` by its object name (nullptr when there is none).
template <typename T = QPushButton>
T *child(const QObject *parent, const char *name)
{
    return parent->findChild<T *>(QLatin1String(name));
}

// A cell's text; "" where the cell has no item.
QString cellText(const QTableWidget *table, int row, int column);

// The texts of one table column, top to bottom ("" where a cell has no item).
QStringList columnTexts(const QTableWidget *table, int column);

// Double-clicks a cell (pressed once first: the view reports a double-click only on the cell it saw pressed).
void doubleClickCell(QTableWidget *table, int row, int column);

// Clicks the check box of a row's first cell where the operator's mouse would.
void clickCheckBox(QTableWidget *table, int row);

// Chooses the combo box entry with this text; fails the test when there is none.
void chooseText(QComboBox *box, const QString &text);

// Keys `text` into `edit`: QTest can only key in ASCII, other characters arrive as an
// input method would commit them.
void type(QLineEdit *edit, const QString &text);

// Replaces the name and password in a login dialog (lineEditName, lineEditPwd).
void typeLogin(QWidget *login, const QString &name, const QString &password);

// ... then presses btnLogin; returns whether the dialog accepted.
bool logIn(QWidget *login, const QString &name, const QString &password);

// The main window's menu-bar action with this text, or nullptr.
QAction *menuAction(QMainWindow *window, const QString &text);

// Triggers that action; fails the test when there is none.
void triggerMenu(QMainWindow *window, const QString &text);

// The visible top-level T, or nullptr.
template <typename T>
T *visibleTopLevel()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *t = qobject_cast<T *>(w); t && t->isVisible())
            return t;
    return nullptr;
}

// Runs `step` once a visible top-level T exists, from inside whatever loop is running
// (a modal dialog's or the application's).
template <typename T, typename F>
void whenShown(F step)
{
    auto *timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, step] {
        if (T *w = visibleTopLevel<T>()) {
            timer->stop();
            timer->deleteLater();
            step(w);
        }
    });
    timer->start();
}

} // namespace testsupport

#define TARNWELL_TEST_MAIN(TestObject)                                                                                 \
    int main(int argc, char *argv[])                                                                                   \
    {                                                                                                                  \
        qputenv("QT_QPA_PLATFORM", "offscreen");                                                                       \
        QApplication app(argc, argv);                                                                                  \
        testsupport::prepareWorkingDirectory();                                                                        \
        TestObject tc;                                                                                                 \
        QTEST_SET_MAIN_SOURCE_PATH                                                                                     \
        return QTest::qExec(&tc, argc, argv);                                                                          \
    }
