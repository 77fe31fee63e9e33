#include "tests/support/testsupport.h"
#include "tests/support/pgcluster.h"

#include <QStyle>
#include <QStyleOptionViewItem>

#include "store/datastore.h"
#include "widgets/messagebox.h"

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QThread>

namespace testsupport {

namespace {

QTemporaryDir *workDir = nullptr;

void copyTree(const QString &from, const QString &to)
{
    QDir().mkpath(to);
    QDirIterator it(from, QDir::Files | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        it.next();
        QFile::copy(it.filePath(), to + QLatin1Char('/') + it.fileName());
    }
}

// The server of a suite that runs against PostgreSQL (TARNWELL_TEST_STORE=postgresql):
// one throwaway cluster for the whole test executable.
PgCluster *server = nullptr;

QSqlDatabase inspector()
{
    const QString name = QStringLiteral("testsupport-inspector");
    if (server)
        return server->connection(name);
    QSqlDatabase db = QSqlDatabase::contains(name) ? QSqlDatabase::database(name, false)
                                                   : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    // The file of the current folder: a test may move the pool elsewhere.
    const QString file = QDir::current().absoluteFilePath(QStringLiteral("mydatabase.db"));
    if (db.isOpen() && db.databaseName() != file)
        db.close();
    db.setDatabaseName(file);
    if (!db.isOpen())
        db.open();
    return db;
}

} // namespace

QString workingDirectory()
{
    return workDir ? workDir->path() : QDir::currentPath();
}

bool onServer()
{
    return server != nullptr;
}

PgCluster *serverCluster()
{
    return server;
}

void pointAtServer(const PgCluster &pg, const QString &station)
{
    QFile ini(QStringLiteral("tarnwell.ini"));
    if (ini.open(QIODevice::WriteOnly | QIODevice::Truncate))
        ini.write(QStringLiteral("[store]\ndriver=postgresql\nhost=%1\nport=%2\ndatabase=%3\nuser=%4\nstation=%5\n")
                      .arg(pg.host())
                      .arg(pg.port())
                      .arg(pg.databaseName(), pg.user(), station)
                      .toUtf8());
    qputenv("TARNWELL_DB_PASSWORD", pg.password().toUtf8());
}

void prepareWorkingDirectory()
{
    workDir = new QTemporaryDir(QDir::tempPath() + QStringLiteral("/tarnwell-test-XXXXXX"));
    QDir::setCurrent(workDir->path());
    copyTree(QStringLiteral(TARNWELL_RUN_DIR "/Resources"), QStringLiteral("Resources"));
    QDir().mkpath(QStringLiteral("language"));
    MessageBox::setScripted(true);
    signInAs(Role::Administrator);
    if (qEnvironmentVariable("TARNWELL_TEST_STORE") == QLatin1String("postgresql")) {
        server = new PgCluster;
        // Suites that burn need a server the program accepts for burning (fsync on); the
        // others keep the faster throwaway settings.
        server->setServerSettings({}, qEnvironmentVariableIsSet("TARNWELL_TEST_DURABLE_SERVER"));
        if (!server->start())
            qFatal("no PostgreSQL server for this suite: %s", qPrintable(server->errorText()));
        pointAtServer(*server, QStringLiteral("test-station"));
    }
    qAddPostRoutine([] {
        closeDatabase();
        delete server;
        server = nullptr;
        delete workDir;
        workDir = nullptr;
    });
}

void freshDatabase()
{
    closeDatabase();
    {
        QSqlDatabase db = QSqlDatabase::database(QStringLiteral("testsupport-inspector"), false);
        if (db.isValid())
            db.close();
    }
    QFile::remove(QStringLiteral("mydatabase.db"));
    if (server) {
        QSqlQuery drop(inspector());
        drop.exec(QStringLiteral(
            "DROP TABLE IF EXISTS SerialNumbers, RetiredSerials, Logs, Customers, Users, SerialCounts, LogCounts, "
            "SchemaVersion, SerialEvents, ImportBatches, Labels, BatchCounts, WorkOrders, EventHours, StockHours CASCADE"));
    }
    openDatabase();
    signInAs(Role::Administrator);
}

void signInAs(Role role, qint64 id, const QString &name)
{
    Person p;
    p.id = id;
    p.name = name;
    p.role = role;
    setSignedInPerson(p);
}

namespace {

QList<QVariantList> rowsOn(const QSqlDatabase &db, const QString &sql)
{
    QList<QVariantList> out;
    QSqlQuery q(db);
    if (!q.exec(sql))
        return out;
    while (q.next()) {
        QVariantList row;
        for (int i = 0; i < q.record().count(); ++i)
            row.append(q.value(i));
        out.append(row);
    }
    return out;
}

} // namespace

QList<QVariantList> rows(const QString &sql)
{
    if (QThread::currentThread() == qApp->thread())
        return rowsOn(inspector(), sql);
    // A connection belongs to the thread that made it: another thread (an SDK call the
    // page makes off the UI thread) reads through one of its own, for this one read.
    const QString name = QStringLiteral("testsupport-reader-%1").arg(quintptr(QThread::currentThreadId()));
    QList<QVariantList> out;
    {
        QSqlDatabase db;
        if (server) {
            db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
            db.setHostName(server->host());
            db.setPort(server->port());
            db.setDatabaseName(server->databaseName());
            db.setUserName(server->user());
            db.setPassword(server->password());
        } else {
            db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            db.setDatabaseName(QDir::current().absoluteFilePath(QStringLiteral("mydatabase.db")));
        }
        if (db.open())
            out = rowsOn(db, sql);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return out;
}

QVariant value(const QString &sql)
{
    const QList<QVariantList> r = rows(sql);
    return r.isEmpty() || r.first().isEmpty() ? QVariant() : r.first().first();
}

bool exec(const QString &sql)
{
    QSqlQuery q(inspector());
    return q.exec(sql);
}

int count(const QString &fromWhere)
{
    return value(QStringLiteral("SELECT COUNT(*) FROM ") + fromWhere).toInt();
}

QStringList column(const QString &sql)
{
    QStringList out;
    for (const QVariantList &row : rows(sql))
        out << row.value(0).toString();
    return out;
}

bool burnInPool(const QString &serialNumber, int customerId, const QString &device, const QString &type,
                const QString &ip)
{
    if (!beginBatch())
        return false;
    if (claimSerial(serialNumber, customerId, device, type, ip) != ClaimResult::Claimed
        || !markSerialUsed(serialNumber, device, type, ip)) {
        rollbackBatch();
        return false;
    }
    return commitBatch();
}

bool fillPool(const QString &prefix, int total, int customerId, bool used, const QString &deviceType)
{
    // One statement, so a pool of thousands costs no more than a few rows.
    if (server)
        return exec(
            QStringLiteral(
                "INSERT INTO SerialNumbers(CustomerID, SerialNumber, IsUse, DeviceType, "
                "DeviceSerialNum, szIP) SELECT %2, '%3' || lpad(i::text, greatest(4, length(i::text)), '0'), %4, "
                "'%5', CASE WHEN %4 = 1 THEN 'DEV%3' || lpad(i::text, greatest(4, length(i::text)), '0') "
                "ELSE '' END, "
                "CASE WHEN %4 = 1 THEN '192.168.1.' || i ELSE '' END FROM generate_series(1, %1) AS i")
                .arg(QString::number(total), QString::number(customerId), QString(prefix).replace('\'', "''"),
                     QString::number(used ? 1 : 0), QString(deviceType).replace('\'', "''")));
    return exec(QStringLiteral("WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM k WHERE i < %1) "
                               "INSERT INTO SerialNumbers(CustomerID, SerialNumber, IsUse, DeviceType, "
                               "DeviceSerialNum, szIP) SELECT %2, '%3' || substr('000' || i, -max(4, length(i))), %4, "
                               "'%5', CASE WHEN %4 THEN 'DEV%3' || substr('000' || i, -max(4, length(i))) ELSE '' END, "
                               "CASE WHEN %4 THEN '192.168.1.' || i ELSE '' END FROM k")
                    .arg(QString::number(total), QString::number(customerId), QString(prefix).replace('\'', "''"),
                         QString::number(used ? 1 : 0), QString(deviceType).replace('\'', "''")));
}

QString dataFile(const QString &name)
{
    return QStringLiteral(TARNWELL_TEST_DATA "/") + name;
}

QString writeFile(const QString &name, const QByteArray &contents)
{
    const QString path = QDir::current().absoluteFilePath(name);
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(contents) != contents.size())
        return QString();
    return path;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void click(QWidget *widget)
{
    QVERIFY2(widget, "widget not found");
    QVERIFY2(widget->isEnabled(), qPrintable(widget->objectName() + QStringLiteral(" is disabled")));
    if (auto *button = qobject_cast<QAbstractButton *>(widget))
        button->click();
    else
        QTest::mouseClick(widget, Qt::LeftButton);
}

QString cellText(const QTableWidget *table, int row, int column)
{
    const QTableWidgetItem *item = table->item(row, column);
    return item ? item->text() : QString();
}

QStringList columnTexts(const QTableWidget *table, int column)
{
    QStringList out;
    for (int row = 0; row < table->rowCount(); ++row)
        out << cellText(table, row, column);
    return out;
}

void clickCheckBox(QTableWidget *table, int row)
{
    QTableWidgetItem *item = table->item(row, 0);
    table->scrollToItem(item);
    QStyleOptionViewItem option;
    option.initFrom(table);
    option.rect = table->visualItemRect(item);
    option.features = QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay;
    option.text = item->text();
    option.displayAlignment = Qt::Alignment(item->textAlignment());
    const QRect box = table->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, table);
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, box.center());
}

void doubleClickCell(QTableWidget *table, int row, int column)
{
    const QTableWidgetItem *item = table->item(row, column);
    QVERIFY2(item, "no such cell");
    const QPoint at = table->visualItemRect(item).center();
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, at);
}

void chooseText(QComboBox *box, const QString &text)
{
    const int index = box->findText(text);
    QVERIFY2(index >= 0, qPrintable(text));
    box->setCurrentIndex(index);
}

void type(QLineEdit *edit, const QString &text)
{
    bool ascii = true;
    for (QChar c : text)
        ascii = ascii && c.unicode() < 0x80;
    if (ascii)
        QTest::keyClicks(edit, text);
    else
        edit->insert(text);
}

void typeLogin(QWidget *login, const QString &name, const QString &password)
{
    auto *nameEdit = login->findChild<QLineEdit *>(QStringLiteral("lineEditName"));
    auto *pwdEdit = login->findChild<QLineEdit *>(QStringLiteral("lineEditPwd"));
    QVERIFY(nameEdit && pwdEdit);
    nameEdit->clear();
    pwdEdit->clear();
    QTest::keyClicks(nameEdit, name);
    QTest::keyClicks(pwdEdit, password);
}

bool logIn(QWidget *login, const QString &name, const QString &password)
{
    typeLogin(login, name, password);
    click(login->findChild<QAbstractButton *>(QStringLiteral("btnLogin")));
    auto *dialog = qobject_cast<QDialog *>(login);
    return dialog && dialog->result() == QDialog::Accepted;
}

QAction *menuAction(QMainWindow *window, const QString &text)
{
    for (QAction *a : window->menuBar()->actions())
        if (a->text() == text)
            return a;
    return nullptr;
}

void triggerMenu(QMainWindow *window, const QString &text)
{
    QAction *action = menuAction(window, text);
    QVERIFY2(action, qPrintable(QStringLiteral("no menu entry ") + text));
    action->trigger();
}

} // namespace testsupport
