#include "testsupport.h"

#include "datastore.h"
#include "messagebox.h"

#include <QAbstractButton>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>

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

QSqlDatabase inspector()
{
    const QString name = QStringLiteral("testsupport-inspector");
    QSqlDatabase db = QSqlDatabase::contains(name) ? QSqlDatabase::database(name, false)
                                                   : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    db.setDatabaseName(QDir::current().absoluteFilePath(QStringLiteral("mydatabase.db")));
    if (!db.isOpen())
        db.open();
    return db;
}

} // namespace

void prepareWorkingDirectory()
{
    workDir = new QTemporaryDir(QDir::tempPath() + QStringLiteral("/tarnwell-test-XXXXXX"));
    QDir::setCurrent(workDir->path());
    copyTree(QStringLiteral(TARNWELL_RUN_DIR "/Resources"), QStringLiteral("Resources"));
    QDir().mkpath(QStringLiteral("language"));
    MessageBox::setScripted(true);
    qAddPostRoutine([] { delete workDir; workDir = nullptr; });
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
    openDatabase();
}

QList<QVariantList> rows(const QString &sql)
{
    QList<QVariantList> out;
    QSqlQuery q(inspector());
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

void click(QWidget *widget)
{
    QVERIFY2(widget, "widget not found");
    QVERIFY2(widget->isEnabled(), qPrintable(widget->objectName() + QStringLiteral(" is disabled")));
    if (auto *button = qobject_cast<QAbstractButton *>(widget))
        button->click();
    else
        QTest::mouseClick(widget, Qt::LeftButton);
}

} // namespace testsupport
