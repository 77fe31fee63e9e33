// What the package's launcher hands the program about the station folder (environment):
// refusals close it before any pool file is touched, the earlier pool's note lets it go on,
// and each operator's translation folder is the one the program loads from.
#include "tests/support/testsupport.h"

#include "shell/app.h"
#include "shell/login.h"
#include "store/datastore.h"
#include "widgets/messagebox.h"

#include <QDir>
#include <QFile>
#include <QPushButton>

namespace {

const char *const kVariables[] = {"TARNWELL_STATION_DIR",   "TARNWELL_STATION_REFUSED", "TARNWELL_STATION_GROUP",
                                  "TARNWELL_STATION_USER",  "TARNWELL_OLD_SETTINGS",    "TARNWELL_OLD_POOL",
                                  "TARNWELL_MERGE_COMMAND", "TARNWELL_LANGUAGE_DIR"};

} // namespace

class TestStationNotice : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        closeDatabase();
        QFile::remove(QStringLiteral("mydatabase.db"));
        MessageBox::clear();
    }

    void cleanup()
    {
        for (const char *name : kVariables)
            qunsetenv(name);
    }

    void refusalsCloseBeforeThePool_data()
    {
        QTest::addColumn<QByteArray>("refused");
        QTest::addColumn<QByteArray>("oldSettings");
        QTest::addColumn<QString>("expected");
        QTest::newRow("not in the group") << QByteArray("group") << QByteArray()
                                          << QStringLiteral("This station keeps its pool in /srv/station, which only "
                                                            "the members of the group line may use, and your account "
                                                            "ana is not one of them. Ask the administrator of this PC "
                                                            "to add you:\n\nsudo adduser ana line\n\nthen log out");
        QTest::newRow("joined after logging in")
            << QByteArray("relogin") << QByteArray()
            << QStringLiteral("Your account ana was added to the group line, which may use this station's pool in "
                              "/srv/station, after you logged in. Log out and log in again");
        QTest::newRow("settings left in the operator's folder")
            << QByteArray() << QByteArray("/home/ana/.local/share/tarnwell/tarnwell.ini")
            << QStringLiteral("Your own folder holds settings /home/ana/.local/share/tarnwell/tarnwell.ini (for "
                              "example the line's server), but this station's folder /srv/station has none, so "
                              "Tarnwell would start on a pool of its own. Put them there for every operator of this "
                              "PC:\n\ninstall -m 660 /home/ana/.local/share/tarnwell/tarnwell.ini /srv/station/\n\n");
    }

    void refusalsCloseBeforeThePool()
    {
        QFETCH(QByteArray, refused);
        QFETCH(QByteArray, oldSettings);
        QFETCH(QString, expected);
        qputenv("TARNWELL_STATION_DIR", "/srv/station");
        qputenv("TARNWELL_STATION_GROUP", "line");
        qputenv("TARNWELL_STATION_USER", "ana");
        if (!refused.isEmpty())
            qputenv("TARNWELL_STATION_REFUSED", refused);
        if (!oldSettings.isEmpty())
            qputenv("TARNWELL_OLD_SETTINGS", oldSettings);
        // The earlier pool's note waits: the refusal is what the operator must act on.
        qputenv("TARNWELL_OLD_POOL", "/home/ana/.local/share/tarnwell/mydatabase.db");

        QCOMPARE(runTarnwell(*qApp), 1);
        QCOMPARE(MessageBox::shown().size(), 1);
        QCOMPARE(int(MessageBox::last().kind), int(MessageBox::Critical));
        QVERIFY2(MessageBox::last().text.startsWith(expected), qPrintable(MessageBox::last().text));
        QVERIFY(MessageBox::last().text.endsWith(QLatin1String("Tarnwell closes.")));
        for (const char *file : {"mydatabase.db", "mydatabase.db.lock"})
            QVERIFY2(!QFile::exists(QLatin1String(file)), file);
    }

    // Said at each start while the file is there, then on to the login.
    void earlierPoolNoteGoesOn()
    {
        qputenv("TARNWELL_STATION_DIR", "/srv/station");
        qputenv("TARNWELL_OLD_POOL", "/home/ana/.local/share/tarnwell/mydatabase.db");
        const QByteArray command = "cd /srv/station && /opt/tarnwell/tarnwell-merge --station pc3 --report "
                                   "/home/ana/tarnwell-merge-report.csv /home/ana/.local/share/tarnwell/mydatabase.db";
        qputenv("TARNWELL_MERGE_COMMAND", command);
        for (int start = 1; start <= 2; ++start) {
            MessageBox::clear();
            bool login = false;
            testsupport::whenShown<Login>([&login](Login *dialog) {
                login = true;
                testsupport::click(testsupport::child(dialog, "btnExit"));
            });
            QCOMPARE(runTarnwell(*qApp), 0);
            QVERIFY(login);
            QCOMPARE(MessageBox::shown().size(), 1);
            const MessageBox::Shown note = MessageBox::shown().first();
            QCOMPARE(int(note.kind), int(MessageBox::Warning));
            QVERIFY(note.text.startsWith(QLatin1String(
                "An earlier version kept a pool of your own in /home/ana/.local/share/tarnwell/mydatabase.db;")));
            QVERIFY2(note.text.contains(QLatin1String("\n\n") + QString::fromUtf8(command) + QLatin1String("\n\n")),
                     qPrintable(note.text));
        }
    }

    void translationFromTheOperatorsFolder()
    {
        const QString own = QDir::current().absoluteFilePath(QStringLiteral("own-language"));
        QVERIFY(QDir().mkpath(own));
        QVERIFY(!testsupport::writeFile(QStringLiteral("own-language/tarnwell_zh_CN.qm"), "x").isEmpty());
        QVERIFY(!testsupport::writeFile(QStringLiteral("language/tarnwell_de.qm"), "x").isEmpty());
        qputenv("TARNWELL_LANGUAGE_DIR", QFile::encodeName(own));
        QCOMPARE(QFileInfo(chooseTranslation()).absoluteFilePath(), own + QStringLiteral("/tarnwell_zh_CN.qm"));
        // English chosen: the folder is empty, and the working folder's is not looked at.
        QVERIFY(QFile::remove(own + QStringLiteral("/tarnwell_zh_CN.qm")));
        QCOMPARE(chooseTranslation(), QString());
        QFile::remove(QStringLiteral("language/tarnwell_de.qm"));
    }
};

TARNWELL_TEST_MAIN(TestStationNotice)
#include "tst_stationnotice.moc"
