// Rework of a found device: keep, replace and release against a simulated line and both
// stores, what each refuses, and the dialog that offers them.
#include "device/devicemng.h"
#include "device/reworkdlg.h"
#include "jobs/exportjob.h"
#include "jobs/reworkjob.h"
#include "platform/devicesim/simprocess.h"
#include "platform/netsdk/z7netsdk.h"
#include "store/datastore.h"
#include "store/fixedfield.h"
#include "tests/support/testsupport.h"
#include "widgets/messagebox.h"

#include <QDeadlineTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMutex>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QThread>

namespace {

using devicesim::SimProcess;
using jobs::ReworkAction;
using jobs::ReworkDevice;
using jobs::ReworkOutcome;

struct Found {
    QMutex mutex;
    QList<ReworkDevice> devices;
};

void Z7_NETSDK_CALL discovered(const DiscoveryRecord *record, void *user)
{
    auto *found = static_cast<Found *>(user);
    QMutexLocker lock(&found->mutex);
    found->devices << ReworkDevice{fixedfield::get(record->deviceType), fixedfield::get(record->serialNumber),
                                   fixedfield::get(record->deviceIp), fixedfield::get(record->userName),
                                   fixedfield::get(record->password)};
}

// The line's devices in its order, once each answered discovery (the SDK reaches only
// devices it found).
QList<ReworkDevice> search(const SimProcess &line)
{
    Found found;
    Z7_NET_DVR_SetDiscoveryCallBack(discovered, &found);
    Z7_NET_DVR_StartDiscoveryIPC();
    const QStringList serials = line.serials();
    QDeadlineTimer deadline(15000);
    for (;;) {
        QMutexLocker lock(&found.mutex);
        if (found.devices.size() >= serials.size() || deadline.hasExpired())
            break;
        lock.unlock();
        QThread::msleep(10);
    }
    Z7_NET_DVR_StopDiscoveryIPC();
    Z7_NET_DVR_SetDiscoveryCallBack(nullptr, nullptr);
    QList<ReworkDevice> devices;
    for (const QString &serial : serials)
        for (const ReworkDevice &d : qAsConst(found.devices))
            if (d.serial == serial) {
                devices << d;
                break;
            }
    return devices;
}

int isUse(const QString &serial)
{
    return testsupport::value(QStringLiteral("SELECT IsUse FROM SerialNumbers WHERE SerialNumber='%1'").arg(serial))
        .toInt();
}

// Events of one identifier: "kind device related detail", in order.
QStringList events(const QString &serial)
{
    return testsupport::column(QStringLiteral("SELECT EventKind || ' ' || DeviceSerialNum || ' ' || RelatedSerial || "
                                              "' ' || EventDetail FROM SerialEvents WHERE SerialNumber='%1' "
                                              "ORDER BY EventID")
                                   .arg(serial));
}

// The pool's rows, events and log, to show a refusal wrote nothing.
QString snapshot()
{
    return testsupport::column(QStringLiteral("SELECT SerialNumber || IsUse || DeviceSerialNum FROM SerialNumbers "
                                              "ORDER BY SNID"))
               .join(QLatin1Char(','))
        + QString::number(testsupport::count(QStringLiteral("SerialEvents")))
        + QString::number(testsupport::count(QStringLiteral("Logs")));
}

// The counts kept per usage, against a plain count of the rows; the pool's import batch
// still adds up to what it stored.
void checkCounts()
{
    for (int use = 0; use <= 4; ++use) {
        SerialFilter f;
        f.isUse = use;
        QCOMPARE(countSerials(f), testsupport::count(QStringLiteral("SerialNumbers WHERE IsUse=%1").arg(use)));
    }
    QList<BatchReport> batches;
    QVERIFY(importBatches(&batches));
    QCOMPARE(batches.size(), 1);
    QVERIFY2(batches.first().reconciles(), qPrintable(QString::number(batches.first().accounted())));
    QCOMPARE(batches.first().voided,
             qint64(testsupport::count(
                 QStringLiteral("SerialNumbers WHERE IsUse=3 AND BatchID=%1").arg(batches.first().batchId))));
}

bool claim(const QString &serial, const QString &device)
{
    return beginBatch()
        && claimSerial(serial, 1, device, QStringLiteral("IPC"), QStringLiteral("127.0.0.9")) == ClaimResult::Claimed
        && commitBatch();
}

// Writes `uuid` into the device straight through the SDK, leaving the pool as it is.
bool writeInto(const ReworkDevice &d, const QString &uuid)
{
    jobs::BurnRow row;
    row.serial = d.serial;
    row.user = d.user;
    row.password = d.password;
    row.uuid = uuid;
    row.customerId = 2;
    const auto customer = customerById(2);
    return customer && jobs::devicecalls::write(row, *customer) != 0;
}

} // namespace

class TestRework : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QCOMPARE(Z7_NET_DVR_Init(), 1); }
    void cleanupTestCase() { Z7_NET_DVR_Cleanup(); }
    void init()
    {
        testsupport::freshDatabase();
        testsupport::signInAs(Role::Supervisor, 1, QStringLiteral("admin"));
        QVERIFY(testsupport::fillPool(QStringLiteral("U-"), 4));
        // The pool as one import batch, so every rework is seen reconciling.
        QVERIFY(testsupport::exec(
            QStringLiteral("INSERT INTO ImportBatches (FileName, FileHash, CustomerID, BatchDate, Stored) VALUES "
                           "('u.xml', 'h', 1, '2026-12-08 00:00:00', (SELECT COUNT(*) FROM SerialNumbers))")));
        QVERIFY(testsupport::exec(
            QStringLiteral("UPDATE SerialNumbers SET BatchID = (SELECT MAX(BatchID) FROM ImportBatches)")));
    }
    void storeRefusesWhatIsNotHeld_data();
    void storeRefusesWhatIsNotHeld();
    void keepConfirmsPendingAndLeavesUsed();
    void replaceVoidsAndBurnsTheNext();
    void releaseNeedsTheDeviceWithoutIt();
    void statedVoidRowHoldsNoDevice();
    void dialogDrivesRework();
};

void TestRework::storeRefusesWhatIsNotHeld_data()
{
    QTest::addColumn<QString>("op");
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QString>("device");
    QTest::addColumn<int>("expected");
    // In the pool: U-0004 used for D1, U-0003 pending for D2, U-0002 void for D1.
    const auto row = [](const char *name, const char *op, const char *serial, const char *device, ReworkResult r) {
        QTest::newRow(name) << QString::fromLatin1(op) << QString::fromLatin1(serial) << QString::fromLatin1(device)
                            << int(r);
    };
    row("keep unused", "keep", "U-0001", "D1", ReworkResult::NotHeld);
    row("keep another device's", "keep", "U-0003", "D1", ReworkResult::NotHeld);
    row("keep another device's used one", "keep", "U-0004", "D2", ReworkResult::NotHeld);
    row("keep void", "keep", "U-0002", "D1", ReworkResult::NotHeld);
    row("keep as operator", "keep-operator", "U-0004", "D1", ReworkResult::Refused);
    row("replace unused", "replace", "U-0001", "D1", ReworkResult::NotHeld);
    row("replace void", "replace", "U-0002", "D1", ReworkResult::NotHeld);
    row("replace another device's", "replace", "U-0003", "D1", ReworkResult::NotHeld);
    row("replace as operator", "replace-operator", "U-0004", "D1", ReworkResult::Refused);
    row("release used", "release", "U-0004", "D1", ReworkResult::NotHeld);
    row("release another device's", "release", "U-0003", "D1", ReworkResult::NotHeld);
    row("release unread", "release-unread", "U-0003", "D2", ReworkResult::NotReadBack);
    row("release still reported", "release-reported", "U-0003", "D2", ReworkResult::StillReported);
    row("release as operator", "release-operator", "U-0003", "D2", ReworkResult::Refused);
}

void TestRework::storeRefusesWhatIsNotHeld()
{
    QFETCH(QString, op);
    QFETCH(QString, serial);
    QFETCH(QString, device);
    QFETCH(int, expected);
    QVERIFY(testsupport::burnInPool(QStringLiteral("U-0004"), 1, QStringLiteral("D1"), QStringLiteral("IPC"),
                                    QStringLiteral("127.0.0.9")));
    QVERIFY(claim(QStringLiteral("U-0003"), QStringLiteral("D2")));
    QVERIFY(testsupport::exec(
        QStringLiteral("UPDATE SerialNumbers SET IsUse=3, DeviceSerialNum='D1' WHERE SerialNumber='U-0002'")));
    if (op.endsWith(QLatin1String("-operator")))
        testsupport::signInAs(Role::Operator);
    const LogRecord log = makeLogRecord(QStringLiteral("Rework"), QStringLiteral("test"));
    const QString before = snapshot();
    ReworkResult got = ReworkResult::Done;
    if (op.startsWith(QLatin1String("keep"))) {
        got = keepSerial(serial, device, QStringLiteral("IPC"), QStringLiteral("127.0.0.9"), log);
    } else if (op.startsWith(QLatin1String("replace"))) {
        QString next;
        got = replaceSerial(
            serial, device, QStringLiteral("r"), 1, QStringLiteral("IPC"), QStringLiteral("127.0.0.9"),
            [&](const QString &) { return log; }, &next);
        QVERIFY(next.isEmpty());
    } else {
        const std::optional<QString> report = op == QLatin1String("release-unread") ? std::nullopt
            : op == QLatin1String("release-reported")                               ? std::optional<QString>(serial)
                                                                                    : std::optional<QString>(QString());
        got = releaseSerial(serial, device, QStringLiteral("r"), report, log);
    }
    QCOMPARE(int(got), expected);
    QCOMPARE(snapshot(), before);
    // Nothing in the pool offers a void identifier, nor claims or imports it again.
    QVERIFY(!unusedSerialNumbers(10, 1).contains(QStringLiteral("U-0002")));
    QVERIFY(beginBatch());
    QCOMPARE(claimSerial(QStringLiteral("U-0002"), 1, QStringLiteral("D9"), QString(), QString()), ClaimResult::Taken);
    NewSerialsTally tally;
    QVERIFY(storeNewSerials({QStringLiteral("U-0002")}, 1, &tally));
    QCOMPARE(tally.stored, 0);
    rollbackBatch();
    // A device with only a void identifier holds none: it may be given one.
    QCOMPARE(holdingOfDevice(QStringLiteral("D1")).serialNumber, QStringLiteral("U-0004"));
    QVERIFY(testsupport::exec(QStringLiteral("DELETE FROM SerialNumbers WHERE SerialNumber='U-0004'")));
    QCOMPARE(holdingOfDevice(QStringLiteral("D1")).isUse, int(SerialUnused));
    QCOMPARE(serialOfDevice(QStringLiteral("D1")), QString());
}

void TestRework::keepConfirmsPendingAndLeavesUsed()
{
    SimProcess line;
    QVERIFY2(line.start({QStringLiteral("--devices"), QStringLiteral("2")}), qPrintable(line.errorText()));
    line.exportTarget();
    const QList<ReworkDevice> found = search(line);
    QCOMPARE(found.size(), 2);
    const ReworkDevice &a = found.at(0), &b = found.at(1);
    // a holds U-0004, recorded used; b holds U-0003, still pending for it.
    QVERIFY(testsupport::burnInPool(QStringLiteral("U-0004"), 1, a.serial, a.type, a.ip));
    QVERIFY(writeInto(a, QStringLiteral("U-0004")));
    QVERIFY(claim(QStringLiteral("U-0003"), b.serial));
    QVERIFY(writeInto(b, QStringLiteral("U-0003")));

    SerialFilter used;
    used.isUse = SerialUsed;
    const int usedBefore = countSerials(used);
    jobs::ReworkOutcome kept = jobs::ReworkJob::run(ReworkAction::Keep, a, QString());
    QCOMPARE(kept.result, ReworkOutcome::Unchanged);
    QCOMPARE(countSerials(used), usedBefore);
    checkCounts();
    QCOMPARE(events(QStringLiteral("U-0004")), QStringList{QStringLiteral("7 %1  ").arg(a.serial)});

    kept = jobs::ReworkJob::run(ReworkAction::Keep, b, QString());
    QCOMPARE(kept.result, ReworkOutcome::Done);
    QCOMPARE(isUse(QStringLiteral("U-0003")), int(SerialUsed));
    QCOMPARE(events(QStringLiteral("U-0003")),
             (QStringList{QStringLiteral("7 %1  ").arg(b.serial), QStringLiteral("5 %1  ").arg(b.serial)}));
    checkCounts();
    QCOMPARE(testsupport::column(QStringLiteral("SELECT LogType || '|' || LogDescribe FROM Logs "
                                                "WHERE LogType='Rework' ORDER BY LogID")),
             (QStringList{QStringLiteral("Rework|Keep uuid [%1] [U-0004]").arg(a.serial),
                          QStringLiteral("Rework|Keep uuid [%1] [U-0003]").arg(b.serial)}));

    // A device that reports another identifier than the pool records is not kept.
    QVERIFY(writeInto(a, QStringLiteral("X-1")));
    const QString after = snapshot();
    QCOMPARE(jobs::ReworkJob::run(ReworkAction::Keep, a, QString()).result, ReworkOutcome::NotReported);
    QCOMPARE(snapshot(), after);
}

void TestRework::replaceVoidsAndBurnsTheNext()
{
    SimProcess line;
    QVERIFY2(line.start({QStringLiteral("--devices"), QStringLiteral("1")}), qPrintable(line.errorText()));
    line.exportTarget();
    const QList<ReworkDevice> found = search(line);
    QCOMPARE(found.size(), 1);
    const ReworkDevice &d = found.first();
    QVERIFY(testsupport::burnInPool(QStringLiteral("U-0004"), 1, d.serial, d.type, d.ip));
    QVERIFY(writeInto(d, QStringLiteral("U-0004")));

    QCOMPARE(jobs::ReworkJob::run(ReworkAction::Replace, d, QStringLiteral(" ")).result, ReworkOutcome::NoReason);
    const ReworkOutcome out = jobs::ReworkJob::run(ReworkAction::Replace, d, QStringLiteral("label smudged"));
    QCOMPARE(out.result, ReworkOutcome::Done);
    QCOMPARE(out.replacement, QStringLiteral("U-0003"));
    QCOMPARE(isUse(QStringLiteral("U-0004")), int(SerialVoid));
    QCOMPARE(isUse(QStringLiteral("U-0003")), int(SerialUsed));
    // The void one keeps its device on record; the device now reports the new one.
    QCOMPARE(testsupport::value(QStringLiteral("SELECT DeviceSerialNum FROM SerialNumbers WHERE SerialNumber='U-0004'"))
                 .toString(),
             d.serial);
    QCOMPARE(jobs::ReworkJob::readBack(d).uuid, QStringLiteral("U-0003"));
    QCOMPARE(events(QStringLiteral("U-0004")), QStringList{QStringLiteral("8 %1 U-0003 label smudged").arg(d.serial)});
    QCOMPARE(events(QStringLiteral("U-0003")).value(0), QStringLiteral("14 %1 U-0004 label smudged").arg(d.serial));
    const DeviceHolding h = holdingOfDevice(d.serial);
    QVERIFY2(!lastStoreCallFailed(), qPrintable(storeError()));
    QCOMPARE(h.serialNumber, QStringLiteral("U-0003"));
    checkCounts();
    // The void one is neither offered nor exported as unused.
    QVERIFY(!unusedSerialNumbers(10, 1).contains(QStringLiteral("U-0004")));
}

void TestRework::releaseNeedsTheDeviceWithoutIt()
{
    SimProcess line;
    QVERIFY2(line.start({QStringLiteral("--devices"), QStringLiteral("1")}), qPrintable(line.errorText()));
    line.exportTarget();
    const QList<ReworkDevice> found = search(line);
    QCOMPARE(found.size(), 1);
    const ReworkDevice &d = found.first();
    // Claimed U-0001 (the oldest) for the device, and the device took it: still reported.
    QVERIFY(claim(QStringLiteral("U-0001"), d.serial));
    QVERIFY(writeInto(d, QStringLiteral("U-0001")));
    QCOMPARE(jobs::ReworkJob::run(ReworkAction::Release, d, QStringLiteral("r")).result, ReworkOutcome::StillReported);
    QCOMPARE(isUse(QStringLiteral("U-0001")), int(SerialPending));

    // The device now holds something else: the pending one is freed.
    QVERIFY(writeInto(d, QStringLiteral("X-1")));
    const ReworkOutcome out = jobs::ReworkJob::run(ReworkAction::Release, d, QStringLiteral("board swapped"));
    QCOMPARE(out.result, ReworkOutcome::Done);
    QCOMPARE(isUse(QStringLiteral("U-0001")), int(SerialReleased));
    QCOMPARE(events(QStringLiteral("U-0001")).last(), QStringLiteral("9 %1  board swapped").arg(d.serial));
    checkCounts();

    // Offered again by this program after every unused one; a program that knows only
    // 0 to 2 reads only IsUse=0 and never sees it.
    QCOMPARE(unusedSerialNumbers(10, 1),
             (QStringList{QStringLiteral("U-0004"), QStringLiteral("U-0003"), QStringLiteral("U-0002"),
                          QStringLiteral("U-0001")}));
    QCOMPARE(fixedfield::get(unusedSerials(10, 1).last().serialNumber), QStringLiteral("U-0001"));
    QCOMPARE(testsupport::count(QStringLiteral("SerialNumbers WHERE IsUse=0 AND SerialNumber='U-0001'")), 0);
    // The export names both states, so its import never takes them for unused.
    QVERIFY(testsupport::exec(QStringLiteral("UPDATE SerialNumbers SET IsUse=3 WHERE SerialNumber='U-0002'")));
    jobs::ExportListener quiet;
    const QString path = testsupport::workingDirectory() + QStringLiteral("/pool.csv");
    QVERIFY(jobs::ExportJob(path, TableWriter::Format::Csv, SerialFilter()).run(quiet).ok);
    const QByteArray exported = testsupport::readFile(path);
    QVERIFY2(exported.contains("U-0001,UMEYE,Released,") && exported.contains("U-0002,UMEYE,Void,"),
             exported.constData());
    QVERIFY(testsupport::exec(QStringLiteral("UPDATE SerialNumbers SET IsUse=0 WHERE SerialNumber='U-0002'")));
    QVERIFY(claim(QStringLiteral("U-0001"), QStringLiteral("D7")));
    QCOMPARE(isUse(QStringLiteral("U-0001")), int(SerialPending));
    checkCounts();
}

void TestRework::statedVoidRowHoldsNoDevice()
{
    // An exported pool's void row is stored void, and its device may still take another.
    QVector<StatedOutcome> outcomes;
    QVERIFY(beginBatch());
    QVERIFY(storeStatedSerials({{QStringLiteral("V-1"), QStringLiteral("UMEYE"), SerialVoid, QStringLiteral("IPC"),
                                 QStringLiteral("D5"), QString()},
                                {QStringLiteral("V-2"), QStringLiteral("UMEYE"), SerialUsed, QStringLiteral("IPC"),
                                 QStringLiteral("D5"), QString()}},
                               &outcomes));
    QVERIFY(commitBatch());
    QCOMPARE(outcomes, (QVector<StatedOutcome>{StatedOutcome::Stored, StatedOutcome::Stored}));
    QCOMPARE(isUse(QStringLiteral("V-1")), int(SerialVoid));
    QCOMPARE(holdingOfDevice(QStringLiteral("D5")).serialNumber, QStringLiteral("V-2"));
    checkCounts();
}

void TestRework::dialogDrivesRework()
{
    SimProcess line;
    QVERIFY2(line.start({QStringLiteral("--devices"), QStringLiteral("1")}), qPrintable(line.errorText()));
    line.exportTarget();
    const QList<ReworkDevice> found = search(line);
    QCOMPARE(found.size(), 1);
    const ReworkDevice &d = found.first();
    QVERIFY(testsupport::burnInPool(QStringLiteral("U-0004"), 1, d.serial, d.type, d.ip));
    QVERIFY(writeInto(d, QStringLiteral("U-0004")));

    ReworkDlg dialog(d);
    dialog.show();
    using testsupport::child;
    QCOMPARE(child<QLabel>(&dialog, "lblReported")->text(), QStringLiteral("U-0004"));
    QCOMPARE(child<QLabel>(&dialog, "lblRecorded")->text(), QStringLiteral("U-0004 (used)"));

    // A release needs a reason, and only a pending identifier can be released.
    MessageBox::clear();
    testsupport::click(child<QRadioButton>(&dialog, "rbRelease"));
    testsupport::click(child<QPushButton>(&dialog, "btnOk"));
    QCOMPARE(MessageBox::last().text, QStringLiteral("Please enter the reason for the rework!"));
    testsupport::type(child<QLineEdit>(&dialog, "lineEditReason"), QStringLiteral("bad flash"));
    testsupport::click(child<QPushButton>(&dialog, "btnOk"));
    QCOMPARE(MessageBox::last().text,
             QStringLiteral("U-0004 is used, not pending; only a pending identifier can be released."));
    QVERIFY(dialog.isVisible());

    testsupport::click(child<QRadioButton>(&dialog, "rbReplace"));
    testsupport::click(child<QPushButton>(&dialog, "btnOk"));
    QCOMPARE(MessageBox::last().kind, MessageBox::Information);
    QCOMPARE(MessageBox::last().text, QStringLiteral("U-0004 is void; the device now holds U-0003."));
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(isUse(QStringLiteral("U-0004")), int(SerialVoid));
    QCOMPARE(isUse(QStringLiteral("U-0003")), int(SerialUsed));

    // The Burning page offers Rework to supervisors only, for a selected device.
    DeviceMng page;
    QVERIFY(child<QPushButton>(&page, "btnRework")->isVisibleTo(&page));
    testsupport::click(child<QPushButton>(&page, "btnRework"));
    QCOMPARE(MessageBox::last().text, QStringLiteral("Please select a device!"));

    // Rework from the page's row: the row then shows what the pool records for the device.
    auto *table = child<QTableWidget>(&page, "tableWidget");
    testsupport::click(child<QPushButton>(&page, "btnSearch"));
    QTRY_COMPARE_WITH_TIMEOUT(table->rowCount(), 1, 15000);
    QTRY_VERIFY(child<QPushButton>(&page, "btnStop")->isEnabled());
    testsupport::click(child<QPushButton>(&page, "btnStop"));
    QCOMPARE(testsupport::cellText(table, 0, 6), QStringLiteral("U-0003"));
    table->setCurrentCell(0, 2);
    testsupport::whenShown<ReworkDlg>([](ReworkDlg *shown) {
        testsupport::click(child<QRadioButton>(shown, "rbReplace"));
        testsupport::type(child<QLineEdit>(shown, "lineEditReason"), QStringLiteral("scratched"));
        testsupport::click(child<QPushButton>(shown, "btnOk"));
    });
    testsupport::click(child<QPushButton>(&page, "btnRework"));
    QCOMPARE(isUse(QStringLiteral("U-0003")), int(SerialVoid));
    QCOMPARE(testsupport::cellText(table, 0, 6), QStringLiteral("U-0002"));
    QCOMPARE(testsupport::cellText(table, 0, 7), QStringLiteral("Has been burning"));
    testsupport::signInAs(Role::Operator);
    page.applyRole();
    QVERIFY(!child<QPushButton>(&page, "btnRework")->isVisibleTo(&page));

    // An operator is refused: nothing is read or written.
    ReworkDlg again(d);
    const QString before = snapshot();
    testsupport::click(child<QPushButton>(&again, "btnOk"));
    QCOMPARE(MessageBox::last().text, QStringLiteral("Only a supervisor may rework a device."));
    QCOMPARE(snapshot(), before);
}

TARNWELL_TEST_MAIN(TestRework)
#include "tst_rework.moc"
