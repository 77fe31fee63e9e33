// Burn against a store that cannot write, each against the simulated line: another
// program holding the write lock, a reader holding the file over the COMMIT (before a
// device is written, and after one was), a read-only folder and a full disk. Every pass
// stops with a box, nothing is written to a device without a committed claim, and the
// line and the pool agree afterwards.
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
#include <sys/mount.h>
#include <unistd.h>

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

// Devices that hold an identifier, and whether the pool says each is pending or used for
// exactly that device (and nothing pending or used that no device holds).
QStringList disagreements(const SimProcess &line)
{
    QStringList out;
    QHash<QString, QString> held;
    for (const QJsonValue &v : line.devices()) {
        const QJsonObject d = v.toObject();
        const QString uuid = d.value(QStringLiteral("uuid")).toString();
        if (uuid.isEmpty())
            continue;
        held.insert(d.value(QStringLiteral("serial")).toString(), uuid);
        const QList<QVariantList> rows = testsupport::rows(
            QStringLiteral("SELECT IsUse, DeviceSerialNum FROM SerialNumbers WHERE SerialNumber='%1'").arg(uuid));
        if (rows.size() != 1 || rows.first().at(0).toInt() == 0
            || rows.first().at(1).toString() != d.value(QStringLiteral("serial")).toString())
            out << QStringLiteral("device %1 holds %2, which the pool does not record for it")
                       .arg(d.value(QStringLiteral("serial")).toString(), uuid);
    }
    for (const QVariantList &r :
         testsupport::rows(QStringLiteral("SELECT SerialNumber, DeviceSerialNum FROM SerialNumbers WHERE IsUse=1")))
        if (held.value(r.at(1).toString()) != r.at(0).toString())
            out << QStringLiteral("%1 is recorded used by %2, which does not hold it")
                       .arg(r.at(0).toString(), r.at(1).toString());
    return out;
}

int writtenDevices(const SimProcess &line)
{
    int n = 0;
    for (const QJsonValue &v : line.devices())
        n += v.toObject().value(QStringLiteral("uuid")).toString().isEmpty() ? 0 : 1;
    return n;
}

bool canMount()
{
    return geteuid() == 0;
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
        QVERIFY(disagreements(*line).isEmpty());
    }

    void readerArrivesAfterAWrite()
    {
        // The first device takes its identifier; then the pool cannot record it (its mark
        // shares the next device's commit). The pass stops before the second device.
        ReadyPage ready(devices);
        readerAfterWrites = 1;
        ready.burn();
        QCOMPARE(MessageBox::shown().size(), 1);
        QVERIFY2(MessageBox::last().text.contains(QLatin1String("but the pool could not record it as used")),
                 qPrintable(MessageBox::last().text));
        QCOMPARE(writtenDevices(*line), 1);
        QCOMPARE(testsupport::count(QStringLiteral("SerialNumbers WHERE IsUse=2")), 1);
        QCOMPARE(testsupport::count(QStringLiteral("SerialNumbers WHERE IsUse=1")), 0);
        QVERIFY(disagreements(*line).isEmpty());
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
        QVERIFY(disagreements(*line).isEmpty());
    }

    void readOnlyFolderAndFullDisk_data()
    {
        QTest::addColumn<bool>("full");
        QTest::newRow("read-only folder") << false;
        QTest::newRow("full disk") << true;
    }

    void readOnlyFolderAndFullDisk()
    {
        QFETCH(bool, full);
        if (!canMount())
            QSKIP("needs root to mount a small file system (permissions do not stop root)");
        // The pool moves to a small file system of its own, which is then made read-only or filled.
        const QString mountPoint = QDir::current().absoluteFilePath(QStringLiteral("small"));
        QVERIFY(QDir().mkpath(mountPoint));
        QVERIFY2(mount("tmpfs", mountPoint.toLocal8Bit().constData(), "tmpfs", 0, "size=1m") == 0, strerror(errno));
        struct Unmount {
            QString at;
            ~Unmount() { umount2(at.toLocal8Bit().constData(), MNT_DETACH); }
        } unmount{mountPoint};
        closeDatabase();
        QVERIFY(QFile::copy(poolFile, mountPoint + QStringLiteral("/mydatabase.db")));
        // Read-only: the folder turns read-only before the program opens the pool (a mount
        // cannot turn read-only under a file open for writing).
        if (!full)
            QVERIFY2(mount(nullptr, mountPoint.toLocal8Bit().constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr)
                         == 0,
                     strerror(errno));
        QDir::setCurrent(mountPoint);
        openDatabase();
        poolFile = mountPoint + QStringLiteral("/mydatabase.db");
        QSqlQuery(storeDatabase).exec(QStringLiteral("PRAGMA busy_timeout=300"));

        ReadyPage ready(devices);
        if (full) {
            QFile filler(mountPoint + QStringLiteral("/filler"));
            QVERIFY(filler.open(QIODevice::WriteOnly));
            const QByteArray block(4096, 'x');
            while (filler.write(block) == block.size()) {
            }
            filler.close();
        }
        ready.burn();
        QCOMPARE(MessageBox::shown().size(), 1);
        QVERIFY2(MessageBox::last().text.startsWith(QLatin1String("Burning stopped")),
                 qPrintable(MessageBox::last().text));
        QCOMPARE(writtenDevices(*line), 0);
        QCOMPARE(testsupport::count(QStringLiteral("SerialNumbers WHERE IsUse<>0")), 0);
        closeDatabase();
        QDir::setCurrent(testsupport::workingDirectory());
    }
};

TARNWELL_TEST_MAIN(TestBurnFaults)
#include "tst_burnfaults.moc"
