// Burn against a store that cannot write, each against the simulated line: another
// program holding the write lock, a reader holding the file over the COMMIT (before a
// device is written, and after one was). Every pass
// stops with a box, nothing is written to a device without a committed claim, and the
// line and the pool agree afterwards.
#include "tests/support/linecheck.h"
#include "tests/support/testsupport.h"

#include "device/devicemng.h"
#include "platform/devicesim/simprocess.h"
#include "platform/netsdk/z7netsdk.h"
#include "store/datastore.h"
#include "store/fixedfield.h"
#include "store/storeconnection.h"
#include "widgets/messagebox.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QJsonArray>
#include <QPushButton>
#include <QSqlError>
#include <QSqlQuery>
#include <QTableWidget>

#include <dlfcn.h>
#include <sqlite3.h>

#include <atomic>
#include <memory>

namespace {

// A reader of its own (raw SQLite: usable from the SDK call's thread) that holds a read
// transaction until released.
class Reader
{
public:
    bool hold(const QString &file)
    {
        if (sqlite3_open_v2(file.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
            return false;
        return sqlite3_exec(db, "BEGIN; SELECT COUNT(*) FROM Logs;", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    void release()
    {
        if (db) {
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            sqlite3_close(db);
            db = nullptr;
        }
    }
    ~Reader() { release(); }

private:
    sqlite3 *db = nullptr;
};

// Set by a test: after this many successful writes, a reader takes the file.
std::atomic<int> readerAfterWrites{-1};
Reader lateReader;
QString poolFile;

int afterWrite(int result)
{
    if (result && readerAfterWrites.load() > 0 && --readerAfterWrites == 0)
        lateReader.hold(poolFile);
    return result;
}

} // namespace

extern "C" int Z7_NET_DVR_SetUMEyeUuid(UmeyeUuidRequest *request)
{
    static const auto real = reinterpret_cast<int (*)(UmeyeUuidRequest *)>(dlsym(RTLD_NEXT, "Z7_NET_DVR_SetUMEyeUuid"));
    return afterWrite(real(request));
}

namespace {

using devicesim::SimProcess;

using testsupport::child;

// The page after a search of the whole line, every device checked and matched for UMEYE.
struct ReadyPage {
    DeviceMng page;
    explicit ReadyPage(int devices)
    {
        page.show();
        auto *table = child<QTableWidget>(&page, "tableWidget");
        testsupport::click(child(&page, "btnSearch"));
        QTRY_COMPARE_WITH_TIMEOUT(table->rowCount(), devices, 15000);
        QTRY_VERIFY(child(&page, "btnStop")->isEnabled());
        testsupport::click(child(&page, "btnStop"));
        testsupport::click(child<QCheckBox>(&page, "cbxAll"));
        testsupport::click(child(&page, "btnMatch"));
    }
    void burn() { testsupport::click(child(&page, "btnBurn")); }
    QString state(int row) { return testsupport::cellText(child<QTableWidget>(&page, "tableWidget"), row, 7); }
};

int writtenDevices(const SimProcess &line)
{
    int n = 0;
    for (const QJsonValue &v : line.devices())
        n += v.toObject().value(QStringLiteral("uuid")).toString().isEmpty() ? 0 : 1;
    return n;
}

} // namespace

class TestBurnFaults : public QObject
{
    Q_OBJECT

    std::unique_ptr<SimProcess> line;
    const int devices = 3;

private slots:
    void initTestCase() { QCOMPARE(Z7_NET_DVR_Init(), 1); }

    void init()
    {
        QDir::setCurrent(testsupport::workingDirectory());
        testsupport::freshDatabase();
        poolFile = QDir::current().absoluteFilePath(QStringLiteral("mydatabase.db"));
        MessageBox::clear();
        QVERIFY(testsupport::fillPool(QStringLiteral("ID-"), 10, 1));
        line = std::make_unique<SimProcess>();
        QVERIFY2(line->start({QStringLiteral("--devices"), QString::number(devices)}), qPrintable(line->errorText()));
        line->exportTarget();
        // Waits on another connection are short here; the program waits the driver's default.
        QSqlQuery(storeDatabase).exec(QStringLiteral("PRAGMA busy_timeout=300"));
    }

    void cleanup()
    {
        lateReader.release();
        readerAfterWrites = -1;
        line.reset();
    }

    void cleanupTestCase() { Z7_NET_DVR_Cleanup(); }

    void lockedBeforeThePass_data()
    {
        QTest::addColumn<bool>("writer");
        QTest::newRow("another program holds the write lock") << true;
        QTest::newRow("a reader holds the file over the commit") << false;
    }

    void lockedBeforeThePass()
    {
        QFETCH(bool, writer);
        ReadyPage ready(devices);
        Reader reader;
        QVERIFY(writer ? testsupport::exec(QStringLiteral("BEGIN IMMEDIATE")) : reader.hold(poolFile));
        ready.burn();
        QCOMPARE(MessageBox::shown().size(), 1);
        QVERIFY2(MessageBox::last().text.startsWith(
                     QLatin1String("Burning stopped: the pool could not record that uuid")),
                 qPrintable(MessageBox::last().text));
        QVERIFY(MessageBox::last().text.contains(QLatin1String("locked")));
        // The failed COMMIT was rolled back: no transaction stays open behind the program.
        QVERIFY(!batchIsOpen());
        QVERIFY(writer ? testsupport::exec(QStringLiteral("ROLLBACK")) : (reader.release(), true));
        QCOMPARE(writtenDevices(*line), 0);
        QCOMPARE(testsupport::count(QStringLiteral("SerialNumbers WHERE IsUse<>0")), 0);
        QCOMPARE(testsupport::count(QStringLiteral("Logs")), 0);
        QCOMPARE(ready.state(0), QStringLiteral("Ready to burn"));

        // Once the lock is free the same rows burn.
        ready.burn();
        QCOMPARE(writtenDevices(*line), devices);
        QCOMPARE(testsupport::count(QStringLiteral("SerialNumbers WHERE IsUse=1")), devices);
        QVERIFY(testsupport::disagreements({line.get()}, false).isEmpty());
    }

    void readerArrivesAfterAWrite()
    {
        // Every claim is committed, then the first device takes its identifier and the pool
        // stops taking commits: the devices are written, but their records are not, so each
        // identifier stays pending for its device and the pass says so.
        ReadyPage ready(devices);
        readerAfterWrites = 1;
        ready.burn();
        QCOMPARE(MessageBox::shown().size(), 1);
        QVERIFY2(MessageBox::last().text.contains(QLatin1String("but the pool could not record it as used")),
                 qPrintable(MessageBox::last().text));
        QCOMPARE(writtenDevices(*line), devices);
        QCOMPARE(testsupport::count(QStringLiteral("SerialNumbers WHERE IsUse=2")), devices);
        QCOMPARE(testsupport::count(QStringLiteral("SerialNumbers WHERE IsUse=1")), 0);
        QVERIFY(testsupport::disagreements({line.get()}, false).isEmpty());
        QCOMPARE(ready.state(0), QStringLiteral("Ready to burn"));

        // The next Burn sends the first identifier again (the device takes it as the same
        // write) and finishes every device.
        lateReader.release();
        ready.burn();
        QCOMPARE(MessageBox::shown().size(), 2);
        QCOMPARE(MessageBox::last().title, QStringLiteral("Information"));
        QCOMPARE(MessageBox::last().text, QStringLiteral("3 device(s) burnt"));
        QCOMPARE(testsupport::count(QStringLiteral("SerialNumbers WHERE IsUse=1")), devices);
        for (const QJsonValue &v : line->devices())
            QCOMPARE(v.toObject().value(QStringLiteral("applied")).toInt(), 1);
        QVERIFY(testsupport::disagreements({line.get()}, false).isEmpty());
    }
};

TARNWELL_TEST_MAIN(TestBurnFaults)
#include "tst_burnfaults.moc"
