// The burning page: search, filter, check, Match and Burn, driven as the operator does,
// mostly against a simulated device line on loopback.
#include "device/devicemng.h"
#include "device/workorderdlg.h"
#include "platform/devicesim/simprocess.h"
#include "platform/netsdk/z7netsdk.h"
#include "store/datastore.h"
#include "store/fixedfield.h"
#include "tests/support/testsupport.h"
#include "widgets/messagebox.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>

#include <dlfcn.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

// Every identifier the page has written, in order.
QStringList seenWrites;

template <typename Request>
int seen(Request *request, const char *name)
{
    static const auto real = reinterpret_cast<int (*)(Request *)>(dlsym(RTLD_NEXT, name));
    seenWrites << fixedfield::get(request->uuid);
    return real(request);
}

} // namespace

// The page's calls land here first and then go on to the real library.
extern "C" int Z7_NET_DVR_SetUMEyeUuid(UmeyeUuidRequest *request)
{
    return seen(request, "Z7_NET_DVR_SetUMEyeUuid");
}
extern "C" int Z7_NET_DVR_SetLenovoUuid(LenovoUuidRequest *request)
{
    return seen(request, "Z7_NET_DVR_SetLenovoUuid");
}

namespace {

using devicesim::SimProcess;
using testsupport::cellText;
using testsupport::columnTexts;

QTableWidget *tableOf(QWidget *page)
{
    return testsupport::child<QTableWidget>(page, "tableWidget");
}
using testsupport::child;

bool hasBox(QTableWidget *t, int row)
{
    return t->item(row, 0)->data(Qt::CheckStateRole).isValid();
}
bool checked(QTableWidget *t, int row)
{
    return hasBox(t, row) && t->item(row, 0)->checkState() == Qt::Checked;
}

int rowOf(QTableWidget *t, const QString &deviceSerial)
{
    for (int row = 0; row < t->rowCount(); ++row)
        if (cellText(t, row, 2) == deviceSerial)
            return row;
    return -1;
}

DiscoveryRecord record(const QString &serial, const QString &type, const QString &ip = QStringLiteral("10.0.0.9"))
{
    DiscoveryRecord r{};
    fixedfield::put(r.deviceIp, ip);
    fixedfield::put(r.serialNumber, serial);
    fixedfield::put(r.userName, QStringLiteral("admin"));
    fixedfield::put(r.password, QStringLiteral("12345"));
    fixedfield::put(r.deviceType, type);
    return r;
}

// Reports as the SDK delivers them: from a thread of its own.
void report(DeviceMng *page, const std::vector<DiscoveryRecord> &records)
{
    std::thread sdk([&] {
        for (const DiscoveryRecord &r : records)
            onDeviceDiscovered(&r, page);
    });
    sdk.join();
}

void pool(int customerId, const QString &serial, const QString &device = QString())
{
    QVERIFY(
        testsupport::exec(QStringLiteral("INSERT INTO SerialNumbers(CustomerID, SerialNumber, IsUse, DeviceSerialNum) "
                                         "VALUES(%1, '%2', %3, '%4')")
                              .arg(customerId)
                              .arg(serial)
                              .arg(device.isEmpty() ? 0 : 1)
                              .arg(device)));
}

int isUse(const QString &serial)
{
    return testsupport::value(QStringLiteral("SELECT IsUse FROM SerialNumbers WHERE SerialNumber='%1'").arg(serial))
        .toInt();
}

QStringList logs()
{
    QStringList out;
    const QList<QVariantList> rows = testsupport::rows(
        QStringLiteral("SELECT LogType, LogDescribe FROM Logs ORDER BY LogID"));
    for (const QVariantList &r : rows)
        out << r.at(0).toString() + QLatin1Char('|') + r.at(1).toString();
    return out;
}

// The page with its ticks counted. It counts down fast, but unless told otherwise it holds
// its last second until the test presses Stop: a search must not end on its own before
// the simulated devices, another process, have answered however loaded the machine is.
class Page : public DeviceMng
{
public:
    Page()
    {
        setTickInterval(20);
        show();
    }
    bool holdLastSecond = true;
    QStringList ticks;     // btnSearch's text after each tick
    QList<bool> stopShown; // btnStop enabled after each tick

protected:
    void timerEvent(QTimerEvent *event) override
    {
        if (holdLastSecond && child(this, "btnSearch")->text() == QLatin1String("0s"))
            return;
        DeviceMng::timerEvent(event);
        ticks << child(this, "btnSearch")->text();
        stopShown << child(this, "btnStop")->isEnabled();
    }
};

std::unique_ptr<SimProcess> startLine(const QStringList &args)
{
    auto sim = std::make_unique<SimProcess>();
    if (!sim->start(args)) {
        qWarning("%s", qPrintable(sim->errorText()));
        return nullptr;
    }
    sim->exportTarget();
    return sim;
}

// One search of the whole line: waits for every device, then Stop.
void search(QWidget *page, int devices)
{
    testsupport::click(child(page, "btnSearch"));
    QTRY_COMPARE_WITH_TIMEOUT(tableOf(page)->rowCount(), devices, 15000);
    QTRY_VERIFY(child(page, "btnStop")->isEnabled());
    testsupport::click(child(page, "btnStop"));
}

// Clicks the page's widgets by object name, in order, as the operator does.
void press(QWidget *page, std::initializer_list<const char *> names)
{
    for (const char *name : names)
        testsupport::click(child<QWidget>(page, name));
}

QString simSerial(const SimProcess &sim, int index)
{
    return sim.devices().at(index).toObject().value(QStringLiteral("serial")).toString();
}

} // namespace

class TestDevice : public QObject
{
    Q_OBJECT

private slots:

    void initTestCase()
    {
        qputenv("Z7_NETSDK_TRACE", QDir::current().absoluteFilePath(QStringLiteral("sdk-trace.txt")).toLocal8Bit());
    }

    void init()
    {
        testsupport::freshDatabase();
        MessageBox::clear();
        seenWrites.clear();
        QFile::remove(QStringLiteral("sdk-trace.txt"));
        qputenv("Z7_NETSDK_TARGETS", ""); // no device answers unless a test starts a line
        QCOMPARE(Z7_NET_DVR_Init(), 1);
    }

    void cleanupTestCase() { Z7_NET_DVR_Cleanup(); }

    void countdownFailedStartAndStop()
    {
        // No line answers: the search fails to start, yet counts down 16 ticks with Stop disabled.
        Page page;
        page.holdLastSecond = false;
        QPushButton *search = child(&page, "btnSearch");
        testsupport::click(search);
        QCOMPARE(search->text(), QStringLiteral("15s"));
        QVERIFY(!search->isEnabled());
        QVERIFY(!child(&page, "btnBurn")->isEnabled());
        QTRY_VERIFY(search->isEnabled());
        QStringList expected;
        for (int s = 14; s >= 0; --s)
            expected << QStringLiteral("%1s").arg(s);
        expected << QStringLiteral("Search");
        QCOMPARE(page.ticks, expected);
        QVERIFY(!page.stopShown.contains(true));
        QFile trace(QStringLiteral("sdk-trace.txt"));
        QVERIFY(trace.open(QIODevice::ReadOnly));
        QVERIFY(trace.readAll().contains("StopDiscoveryIPC"));

        // A line answers: Stop ends the search at once, and the next one counts from 15 again.
        const auto sim = startLine({QStringLiteral("--devices"), QStringLiteral("3")});
        QVERIFY(sim);
        page.ticks.clear();
        page.stopShown.clear();
        page.holdLastSecond = true;
        ::search(&page, 3);
        QCOMPARE(search->text(), QStringLiteral("Search"));
        QVERIFY(search->isEnabled());
        QVERIFY(!child(&page, "btnStop")->isEnabled());
        QVERIFY(page.stopShown.first());
        const int ticks = page.ticks.size();
        page.holdLastSecond = false;
        QTest::qWait(100);                  // five ticks' worth
        QCOMPARE(page.ticks.size(), ticks); // no timer left running
        QCOMPARE(tableOf(&page)->rowCount(), 3);

        testsupport::click(search);
        QCOMPARE(search->text(), QStringLiteral("15s"));
        QCOMPARE(tableOf(&page)->rowCount(), 0);
    }

    void rowsCheckBoxesAndSelectAll()
    {
        pool(1, QStringLiteral("U-BURNT"), QStringLiteral("SN-B"));
        pool(1, QStringLiteral("U-1"));
        pool(1, QStringLiteral("U-2"));
        Page page;
        QTableWidget *t = tableOf(&page);
        report(&page,
               {record(QStringLiteral("SN-A"), QStringLiteral("IPC"), QStringLiteral("10.0.0.1")),
                record(QStringLiteral("SN-B"), QStringLiteral("NVR")),
                record(QStringLiteral("SN-A"), QStringLiteral("IPC"))});
        QTRY_COMPARE(t->rowCount(), 3);
        QCOMPARE((QStringList{cellText(t, 0, 0), cellText(t, 0, 1), cellText(t, 0, 2), cellText(t, 0, 3),
                              cellText(t, 0, 4), cellText(t, 0, 5)}),
                 (QStringList{"1", "IPC", "SN-A", "10.0.0.1", "admin", "12345"}));
        QCOMPARE(cellText(t, 2, 0), QStringLiteral("3"));
        QVERIFY(!hasBox(t, 1));
        QCOMPARE(cellText(t, 1, 6), QStringLiteral("U-BURNT"));
        QCOMPARE(cellText(t, 1, 7), QStringLiteral("Has been burning"));
        QVERIFY(hasBox(t, 0) && !checked(t, 0));

        press(&page, {"cbxAll"});
        QVERIFY(checked(t, 0) && checked(t, 2) && !hasBox(t, 1));
        report(&page, {record(QStringLiteral("SN-C"), QStringLiteral("DVR"))});
        QTRY_COMPARE(t->rowCount(), 4);
        QVERIFY(checked(t, 3));

        // Match: the second row of SN-A gets nothing, the device already has one.
        testsupport::click(child(&page, "btnMatch"));
        QCOMPARE(columnTexts(t, 6), (QStringList{"U-2", "U-BURNT", "", "U-1"}));
        QCOMPARE(cellText(t, 0, 7), QStringLiteral("Ready to burn"));

        // Unchecking a row, by its box or by select-all, takes its assignment away;
        // clicking a checked row changes nothing.
        testsupport::clickCheckBox(t, 0);
        QVERIFY(!checked(t, 0));
        QCOMPARE(cellText(t, 0, 6), QString());
        QCOMPARE(cellText(t, 0, 7), QString());
        QTest::mouseClick(t->viewport(), Qt::LeftButton, {}, t->visualItemRect(t->item(3, 3)).center());
        QVERIFY(checked(t, 3));
        QCOMPARE(cellText(t, 3, 7), QStringLiteral("Ready to burn"));
        press(&page, {"cbxAll"});
        for (int row : {0, 2, 3})
            QVERIFY(!checked(t, row) && cellText(t, row, 6).isEmpty() && cellText(t, row, 7).isEmpty());
        QCOMPARE(cellText(t, 1, 6), QStringLiteral("U-BURNT"));
        QCOMPARE(isUse(QStringLiteral("U-1")) + isUse(QStringLiteral("U-2")), 0);

        // Burn with nothing ready (Burn stays enabled) writes and logs nothing and says nothing,
        // yet reloads the pool.
        QSignalSpy reloads(&page, &DeviceMng::sendOnSerial);
        testsupport::click(child(&page, "btnBurn"));
        QCOMPARE(reloads.count(), 1);
        QCOMPARE(logs(), QStringList());
        QVERIFY(seenWrites.isEmpty());
        QVERIFY(MessageBox::shown().isEmpty());
    }

    void matchAssignsNewestUnused()
    {
        pool(1, QStringLiteral("U-OLD"));
        pool(2, QStringLiteral("B-1"));
        pool(1, QStringLiteral("U-NEW"));
        pool(2, QStringLiteral("B-2"));
        const auto sim = startLine({QStringLiteral("--devices"), QStringLiteral("4")});
        QVERIFY(sim);
        Page page;
        QTableWidget *t = tableOf(&page);
        press(&page, {"cbxAll"});
        search(&page, 4);
        testsupport::clickCheckBox(t, 3);

        // Three checked rows, two unused identifiers: the top rows get them, newest first,
        // and the operator is told the pool ran dry.
        testsupport::click(child(&page, "btnMatch"));
        QCOMPARE(columnTexts(t, 6), (QStringList{"U-NEW", "U-OLD", "", ""}));
        QCOMPARE(columnTexts(t, 7), (QStringList{"Ready to burn", "Ready to burn", "", ""}));
        QCOMPARE(MessageBox::last().text,
                 QStringLiteral("1 checked device(s) got no uuid: UMEYE has 0 unused uuid(s) left."));
        // Enough for every checked row: no box.
        pool(1, QStringLiteral("U-SPARE"));
        MessageBox::clear();
        testsupport::click(child(&page, "btnMatch"));
        QCOMPARE(cellText(t, 2, 6), QStringLiteral("U-SPARE"));
        QVERIFY(MessageBox::shown().isEmpty());
        testsupport::clickCheckBox(t, 2);
        QVERIFY(child(&page, "btnBurn")->isEnabled());
        testsupport::click(child(&page, "btnMatch"));
        QCOMPARE(columnTexts(t, 6), (QStringList{"U-NEW", "U-OLD", "", ""}));

        // Another customer: no identifier of the first may stay ready to go out with the second's form.
        child<QComboBox>(&page, "cbxCustomer")->setCurrentIndex(1);
        testsupport::click(child(&page, "btnMatch"));
        QCOMPARE(columnTexts(t, 6), (QStringList{"B-2", "B-1", "", ""}));
        QCOMPARE(cellText(t, 2, 7), QString());
        testsupport::click(child(&page, "btnBurn"));
        QCOMPARE(seenWrites.size(), 2);
        for (int row : {0, 1}) {
            const QJsonObject d = sim->device(cellText(t, row, 2));
            QCOMPARE(d.value(QStringLiteral("uuid")).toString(), cellText(t, row, 6));
            QCOMPARE(d.value(QStringLiteral("form")).toString(), QStringLiteral("lenovo"));
            QCOMPARE(cellText(t, row, 9), cellText(t, row, 6)); // read back from the device
        }
        QCOMPARE(isUse(QStringLiteral("U-NEW")) + isUse(QStringLiteral("U-OLD")), 0);

        // A new search starts with Burn disabled again.
        testsupport::click(child(&page, "btnSearch"));
        QVERIFY(!child(&page, "btnBurn")->isEnabled());
    }

    // The chosen customer's stock on the page, read again after a Burn and while shown (other
    // stations burn from the same pool); below the customer's warning the page says so and
    // the line gets one "Low pool" row.
    void stockAndLowPoolShown()
    {
        for (int i = 1; i <= 5; ++i)
            pool(2, QStringLiteral("B-%1").arg(i));
        CustomerRules rules;
        rules.warnBelow = 4;
        QVERIFY(setCustomerRules(2, rules));
        const auto sim = startLine({QStringLiteral("--devices"), QStringLiteral("2")});
        QVERIFY(sim);
        Page page;
        page.setStockInterval(20);
        auto *stock = child<QLabel>(&page, "lblStock");
        auto *low = child<QLabel>(&page, "lblLowPool");
        child<QComboBox>(&page, "cbxCustomer")->setCurrentIndex(1);
        QCOMPARE(stock->text(), QStringLiteral("Brisvan: 5 unused, 0 pending, 0 used"));
        QVERIFY(low->isHidden());

        search(&page, 2);
        press(&page, {"cbxAll", "btnMatch", "btnBurn"});
        QCOMPARE(stock->text(), QStringLiteral("Brisvan: 3 unused, 0 pending, 2 used"));
        QVERIFY(low->isVisible());
        QCOMPARE(low->text(), QStringLiteral("Low pool: 3 unused left, warning below 4"));
        QCOMPARE(testsupport::count(QStringLiteral("Logs WHERE LogDescribe = 'Low pool: Brisvan 3 unused'")), 1);

        // Another station takes one: the shown page follows without a click.
        QVERIFY(beginBatch());
        QCOMPARE(claimSerial(QStringLiteral("B-1"), 2, QStringLiteral("OTHER"), QStringLiteral("IPC"), {}),
                 ClaimResult::Claimed);
        QVERIFY(commitBatch());
        QTRY_COMPARE(stock->text(), QStringLiteral("Brisvan: 2 unused, 1 pending, 2 used"));
    }

    // An administrator's work order of one device: the page burns for it, the second device
    // is refused with the reason, the page shows the order complete, and its export lists
    // the device.
    void workOrderLimitsTheBurn()
    {
        pool(2, QStringLiteral("B-1"));
        pool(2, QStringLiteral("B-2"));
        {
            WorkOrderDlg dialog;
            child<QComboBox>(&dialog, "cbxOrderCustomer")->setCurrentIndex(1);
            testsupport::type(child<QLineEdit>(&dialog, "lineEditQuantity"), QStringLiteral("0"));
            testsupport::click(child(&dialog, "btnCreate"));
            QCOMPARE(MessageBox::last().text,
                     QStringLiteral("The quantity must be a number of devices from 1 to 10000000."));
            child<QLineEdit>(&dialog, "lineEditQuantity")->clear();
            testsupport::type(child<QLineEdit>(&dialog, "lineEditQuantity"), QStringLiteral("1"));
            testsupport::click(child(&dialog, "btnCreate"));
            QCOMPARE(child<QTableWidget>(&dialog, "tableOrders")->rowCount(), 1);
        }
        const auto sim = startLine({QStringLiteral("--devices"), QStringLiteral("2")});
        QVERIFY(sim);
        Page page;
        child<QComboBox>(&page, "cbxCustomer")->setCurrentIndex(1);
        auto *orders = child<QComboBox>(&page, "cbxOrder");
        QCOMPARE(orders->count(), 2);
        orders->setCurrentIndex(1);
        QCOMPARE(child<QLabel>(&page, "lblOrder")->text(), QStringLiteral("Order 1: 0 used, 0 pending of 1"));
        search(&page, 2);
        press(&page, {"cbxAll", "btnMatch", "btnBurn"});
        QCOMPARE(seenWrites.size(), 1);
        QCOMPARE(testsupport::count(QStringLiteral("Logs WHERE LogDescribe LIKE '%skipped: work order 1 is complete'")),
                 1);
        QCOMPARE(child<QLabel>(&page, "lblOrder")->text(), QStringLiteral("Order 1 complete: 1 used"));

        WorkOrderDlg dialog;
        child<QTableWidget>(&dialog, "tableOrders")->setCurrentCell(0, 0);
        FileDialog::setNextFileName(QDir::current().absoluteFilePath(QStringLiteral("order.csv")));
        testsupport::click(child(&dialog, "btnExportOrder"));
        const QList<QByteArray> lines = testsupport::readFile(QStringLiteral("order.csv")).split('\n');
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines.at(1).startsWith("B-2,") && lines.at(1).endsWith(",used\r"));
    }

    void refusedWritesStayReady()
    {
        const auto sim = startLine(
            QStringLiteral("--devices 3 --refuse 1 --changed-passwords 1").split(QLatin1Char(' ')));
        QVERIFY(sim);
        for (int i = 1; i <= 3; ++i)
            pool(1, QStringLiteral("U-%1").arg(i));
        Page page;
        QTableWidget *t = tableOf(&page);
        search(&page, 3);
        press(&page, {"cbxAll", "btnMatch", "btnBurn"});

        QCOMPARE(seenWrites.size(), 3);
        for (int i = 0; i < 3; ++i) {
            const int row = rowOf(t, simSerial(*sim, i));
            const bool refuses = i != 1;
            QCOMPARE(cellText(t, row, 7),
                     refuses ? QStringLiteral("Write failed") : QStringLiteral("Has been burning"));
            QCOMPARE(checked(t, row), refuses);
        }

        // The next pass tries the refused ones again, and only them, with the same identifiers.
        QStringList pendingIds;
        for (const QString &uuid : qAsConst(seenWrites))
            if (isUse(uuid) == 2)
                pendingIds << uuid;
        seenWrites.clear();
        testsupport::click(child(&page, "btnBurn"));
        QCOMPARE(seenWrites, pendingIds);

        // A new search lists them checked and ready with their own identifiers, even with the
        // select-all box unticked, and Match offers them to nobody else.
        press(&page, {"cbxAll"});
        pool(1, QStringLiteral("U-NEW"));
        search(&page, 3);
        QCOMPARE(columnTexts(t, 7).count(QStringLiteral("Ready to burn")), 2);
        for (int row = 0; row < 3; ++row)
            if (cellText(t, row, 7) == QLatin1String("Ready to burn")) {
                QVERIFY(checked(t, row));
                QVERIFY(pendingIds.contains(cellText(t, row, 6)));
            }
        QVERIFY(child(&page, "btnBurn")->isEnabled());
        testsupport::click(child(&page, "btnMatch"));
        QCOMPARE(columnTexts(t, 6).count(QStringLiteral("U-NEW")), 0);

        // Unticking every row forgets the assignments; ticking them again and Match gives each
        // pending device its own identifier back, never a second one.
        testsupport::click(page.findChild<QCheckBox *>(QStringLiteral("cbxAll"))); // ticks all
        press(&page, {"cbxAll"});
        QCOMPARE(columnTexts(t, 7).count(QStringLiteral("Ready to burn")), 0);
        press(&page, {"cbxAll", "btnMatch"});
        QCOMPARE(columnTexts(t, 6).count(QStringLiteral("U-NEW")), 0);
        for (int row = 0; row < 3; ++row)
            if (cellText(t, row, 7) == QLatin1String("Ready to burn"))
                QVERIFY(pendingIds.contains(cellText(t, row, 6)));
        QCOMPARE(columnTexts(t, 7).count(QStringLiteral("Ready to burn")), 2);
        QCOMPARE(isUse(QStringLiteral("U-NEW")), 0);
    }

    void passSaysEveryOutcome()
    {
        // The closing box and the rows after a pass that meets every outcome: a device that
        // refuses the write, two identifiers deleted since Match, one taken by another program,
        // one device that takes its identifier.
        const auto sim = startLine(QStringLiteral("--devices 5 --refuse 1").split(QLatin1Char(' ')));
        QVERIFY(sim);
        for (int i = 1; i <= 5; ++i)
            pool(1, QStringLiteral("U-%1").arg(i));
        Page page;
        QTableWidget *t = tableOf(&page);
        search(&page, 5);
        press(&page, {"cbxAll", "btnMatch"});
        const int refusing = rowOf(t, simSerial(*sim, 0));
        QList<int> others;
        for (int row = 0; row < 5; ++row)
            if (row != refusing)
                others << row;
        for (int row : {others.at(0), others.at(1)})
            QVERIFY(testsupport::exec(
                QStringLiteral("DELETE FROM SerialNumbers WHERE SerialNumber='%1'").arg(cellText(t, row, 6))));
        QVERIFY(testsupport::exec(QStringLiteral("UPDATE SerialNumbers SET IsUse=1, DeviceSerialNum='ELSEWHERE' "
                                                 "WHERE SerialNumber='%1'")
                                      .arg(cellText(t, others.at(2), 6))));
        const auto sorted = [](QStringList lines) {
            lines.sort();
            return lines;
        };
        const auto lines = [&] { return sorted(MessageBox::last().text.split(QLatin1Char('\n'))); };
        const QString failedLine = QStringLiteral(
            "1 write(s) failed: each uuid stays pending for its device, the next Burn tries it again");
        testsupport::click(child(&page, "btnBurn"));
        QCOMPARE(MessageBox::shown().size(), 1);
        QCOMPARE(MessageBox::last().title, QStringLiteral("Information"));
        QCOMPARE(lines(),
                 sorted({failedLine, "1 device(s) burnt", "1 skipped: uuid taken by another program",
                         "2 skipped: uuid not found in the pool"}));
        QCOMPARE(cellText(t, refusing, 7), QStringLiteral("Write failed"));
        QVERIFY(checked(t, refusing));
        QCOMPARE(cellText(t, others.at(3), 7), QStringLiteral("Has been burning"));
        QCOMPARE(cellText(t, others.at(2), 7), QString());
    }

    void readBackShownOnThePage()
    {
        // Devices that keep every write changed: each burnt row says so, shows what its device
        // holds and stays checked for the next Burn; a new search reads each device back and
        // flags the ones that hold what the pool does not record for them.
        const auto sim = startLine(
            {QStringLiteral("--devices"), QStringLiteral("2"), QStringLiteral("--corrupt"), QStringLiteral("100")});
        QVERIFY(sim);
        pool(1, QStringLiteral("U-1"));
        pool(1, QStringLiteral("U-2"));
        Page page;
        QTableWidget *t = tableOf(&page);
        QCOMPARE(t->horizontalHeaderItem(9)->text(), QStringLiteral("On device"));
        QVERIFY(child<QLabel>(&page, "lblNotVerified")->isHidden()); // the stand-in reads back
        search(&page, 2);
        press(&page, {"cbxAll", "btnMatch", "btnBurn"});
        QVERIFY2(MessageBox::last().text.startsWith(
                     QLatin1String("0 device(s) burnt\n2 written but not confirmed: the device did not report")),
                 qPrintable(MessageBox::last().text));
        QStringList assigned;
        for (int row : {0, 1}) {
            const QString held = sim->device(cellText(t, row, 2)).value(QStringLiteral("uuid")).toString();
            QCOMPARE(cellText(t, row, 7), QStringLiteral("Written, not confirmed"));
            QVERIFY(checked(t, row));
            QCOMPARE(cellText(t, row, 9), held);
            QVERIFY(held != cellText(t, row, 6) && !held.isEmpty());
            assigned << cellText(t, row, 6);
        }
        QCOMPARE(isUse(assigned.at(0)) + isUse(assigned.at(1)), 4); // both pending

        search(&page, 2);
        for (int row : {0, 1}) {
            const QString held = sim->device(cellText(t, row, 2)).value(QStringLiteral("uuid")).toString();
            QTRY_COMPARE(cellText(t, row, 7), QStringLiteral("Device disagrees"));
            QVERIFY(checked(t, row));
            QCOMPARE(t->item(row, 7)->toolTip(),
                     QStringLiteral("The device reports uuid [%1]; the pool records [%2] for it")
                         .arg(held, cellText(t, row, 6)));
        }
    }

    void unreadablePoolIsNeverShownAsUnburnt()
    {
        // While the pool cannot be read, a device is neither shown unburnt nor offered for Burn,
        // and Match says it assigned nothing; once it answers, the next search tells the truth.
        const auto sim = startLine({QStringLiteral("--devices"), QStringLiteral("2")});
        QVERIFY(sim);
        pool(1, QStringLiteral("U-BURNT"), simSerial(*sim, 0));
        pool(1, QStringLiteral("U-1"));
        Page page;
        QTableWidget *t = tableOf(&page);
        search(&page, 2);
        const int open = 1 - rowOf(t, simSerial(*sim, 0));
        QVERIFY(hasBox(t, open));

        const auto breakPool = [] {
            return testsupport::exec(QStringLiteral("ALTER TABLE SerialNumbers RENAME TO SerialNumbersAway"));
        };
        QVERIFY(breakPool());
        testsupport::clickCheckBox(t, open);
        testsupport::click(child(&page, "btnMatch"));
        QCOMPARE(MessageBox::shown().size(), 1);
        QCOMPARE(MessageBox::last().title, QStringLiteral("Error"));
        QVERIFY2(MessageBox::last().text.startsWith(QLatin1String("Nothing was assigned: the pool could not be read.")),
                 qPrintable(MessageBox::last().text));
        QCOMPARE(cellText(t, open, 6), QString());

        search(&page, 2);
        for (int row = 0; row < 2; ++row) {
            QVERIFY(!hasBox(t, row));
            QCOMPARE(cellText(t, row, 6), QString());
            QCOMPARE(cellText(t, row, 7), QStringLiteral("The pool could not be read"));
        }
        press(&page, {"cbxAll"});
        QVERIFY(!hasBox(t, 0) && !hasBox(t, 1));

        QVERIFY(testsupport::exec(QStringLiteral("ALTER TABLE SerialNumbersAway RENAME TO SerialNumbers")));
        search(&page, 2);
        const int burntNow = rowOf(t, simSerial(*sim, 0)), openNow = 1 - burntNow;
        QVERIFY(!hasBox(t, burntNow));
        QCOMPARE(cellText(t, burntNow, 6), QStringLiteral("U-BURNT"));
        // The pool says used, but the simulated device holds nothing: its answer flags the row.
        QTRY_COMPARE(cellText(t, burntNow, 7), QStringLiteral("Device disagrees"));
        QVERIFY(checked(t, openNow)); // the select-all box is ticked
        QCOMPARE(cellText(t, openNow, 7), QString());
    }

    void reportedTextsShownEscapedAndAddressesChecked()
    {
        // A device reporting a right-to-left override in its serial number is shown with it
        // escaped, and claimed with the serial it reported; one reporting something that is
        // not an address is skipped before anything is claimed.
        pool(1, QStringLiteral("U-1"));
        pool(1, QStringLiteral("U-2"));
        Page page;
        QTableWidget *t = tableOf(&page);
        const QString bidi = QStringLiteral("SN") + QChar(0x202E) + QStringLiteral("LIVE");
        report(&page,
               {record(bidi, QStringLiteral("IPC"), QStringLiteral("10.0.0.7")),
                record(QStringLiteral("SN-B"), QStringLiteral("NVR"), QStringLiteral("10.0.0.300"))});
        QTRY_COMPARE(t->rowCount(), 2);
        QCOMPARE(cellText(t, 0, 2), QStringLiteral("SN\\u202eLIVE"));
        QCOMPARE(cellText(t, 1, 3), QStringLiteral("10.0.0.300"));
        press(&page, {"cbxAll", "btnMatch", "btnBurn"});
        QCOMPARE(
            testsupport::value(QStringLiteral("SELECT DeviceSerialNum FROM SerialNumbers WHERE IsUse=2")).toString(),
            bidi);
        QCOMPARE(testsupport::count(QStringLiteral("SerialNumbers WHERE IsUse<>0")), 1);
        QVERIFY(logs().contains(
            QStringLiteral("User operation|Burning uuid [SN-B] [U-1] skipped: device IP is not an address")));
    }

    void reportsNeverReachADeadPage()
    {
        // The SDK keeps the page as its user pointer; a report racing the page's destruction
        // must neither touch it nor arrive later. ASan builds turn a slip into a failure.
        const DiscoveryRecord r = record(QStringLiteral("SN-R"), QStringLiteral("IPC"));
        for (int round = 0; round < 20; ++round) {
            auto *page = new DeviceMng;
            void *user = page;
            std::atomic<bool> stop{false};
            std::thread sdk([&] {
                while (!stop) {
                    onDeviceDiscovered(&r, user);
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                }
            });
            QTRY_VERIFY(tableOf(page)->rowCount() > 2);
            delete page;
            QTest::qWait(5);
            stop = true;
            sdk.join();
            QCoreApplication::sendPostedEvents();
        }
    }
};

TARNWELL_TEST_MAIN(TestDevice)
#include "tst_device.moc"
