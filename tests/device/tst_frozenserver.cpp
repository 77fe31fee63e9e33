// The burning page against a pool server that stops answering without closing anything:
// every server process is stopped (SIGSTOP) in the middle of a pass. The pass stops with a
// box within the store's bound while the window keeps painting; once it runs again (SIGCONT)
// the next search reconnects and shows what the pool holds, and the line and the pool agree.
#include "tests/support/pgcluster.h"
#include "tests/support/testsupport.h"

#include "device/devicemng.h"
#include "platform/devicesim/simprocess.h"
#include "platform/netsdk/z7netsdk.h"
#include "store/datastore.h"
#include "widgets/messagebox.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>

#include <dlfcn.h>
#include <signal.h>

#include <atomic>
#include <memory>

namespace {

// Set by the test: the write (counted from 1) before which every server process is stopped.
std::atomic<int> freezeBeforeWrite{0};
std::atomic<int> writes{0};
QList<qint64> frozen;

void freezeServer()
{
    frozen = testsupport::serverCluster()->serverProcesses();
    for (qint64 pid : qAsConst(frozen))
        ::kill(pid_t(pid), SIGSTOP);
}

void thawServer()
{
    for (qint64 pid : qAsConst(frozen))
        ::kill(pid_t(pid), SIGCONT);
    frozen.clear();
}

} // namespace

// The page's writes land here first (on the SDK call's thread), then go on to the real library.
extern "C" int Z7_NET_DVR_SetUMEyeUuid(UmeyeUuidRequest *request)
{
    static const auto real = reinterpret_cast<int (*)(UmeyeUuidRequest *)>(dlsym(RTLD_NEXT, "Z7_NET_DVR_SetUMEyeUuid"));
    if (++writes == freezeBeforeWrite.load())
        freezeServer();
    return real(request);
}

namespace {

using testsupport::cellText;

using testsupport::child;

int rowOf(QTableWidget *t, const QString &deviceSerial)
{
    for (int row = 0; row < t->rowCount(); ++row)
        if (cellText(t, row, 2) == deviceSerial)
            return row;
    return -1;
}

// A search of the whole line, held on its last second until every device has answered
// however slowly the pool is asked about each.
class Page : public DeviceMng
{
public:
    Page()
    {
        setTickInterval(20);
        show();
    }

protected:
    void timerEvent(QTimerEvent *event) override
    {
        if (child(this, "btnSearch")->text() == QLatin1String("0s"))
            return;
        DeviceMng::timerEvent(event);
    }
};

void search(Page *page, int devices, int timeoutMs)
{
    testsupport::click(child(page, "btnSearch"));
    QTRY_COMPARE_WITH_TIMEOUT(child<QTableWidget>(page, "tableWidget")->rowCount(), devices, timeoutMs);
    QTRY_VERIFY(child(page, "btnStop")->isEnabled());
    testsupport::click(child(page, "btnStop"));
}

} // namespace

class TestFrozenServer : public QObject
{
    Q_OBJECT

    std::unique_ptr<devicesim::SimProcess> line;
    const int devices = 3;
    int bound = 0; // the store's wait, in ms

private slots:
    void initTestCase()
    {
        if (!testsupport::onServer())
            QSKIP("a frozen server needs a server");
        bound = qEnvironmentVariableIntValue("TARNWELL_STORE_TIMEOUT_MS");
        QVERIFY2(bound > 0, "the suite runs with a short store bound (TARNWELL_STORE_TIMEOUT_MS)");
        QCOMPARE(Z7_NET_DVR_Init(), 1);
    }

    void init()
    {
        testsupport::freshDatabase();
        MessageBox::clear();
        QVERIFY(testsupport::fillPool(QStringLiteral("ID-"), 10, 1));
        line = std::make_unique<devicesim::SimProcess>();
        QVERIFY2(line->start({QStringLiteral("--devices"), QString::number(devices)}), qPrintable(line->errorText()));
        line->exportTarget();
        writes = 0;
    }

    void cleanup()
    {
        thawServer(); // a failed check must not leave the server stopped
        freezeBeforeWrite = 0;
        line.reset();
    }

    void cleanupTestCase() { Z7_NET_DVR_Cleanup(); }

    void passStopsWithinTheBoundAndTheNextSearchTellsTheTruth()
    {
        Page page;
        auto *table = child<QTableWidget>(&page, "tableWidget");
        search(&page, devices, 15000);
        testsupport::click(child<QCheckBox>(&page, "cbxAll"));
        testsupport::click(child(&page, "btnMatch"));
        const QStringList order = testsupport::columnTexts(table, 2);

        // Every claim is committed before the first write; the server stops before the second
        // device's write, so the devices are written but their records, due at the pass's
        // end, cannot be made: each identifier stays pending for its device.
        freezeBeforeWrite = 2;
        int ticks = 0;
        QTimer painter;
        connect(&painter, &QTimer::timeout, [&] { ++ticks; });
        painter.start(50);
        QElapsedTimer took;
        took.start();
        testsupport::click(child(&page, "btnBurn"));
        const qint64 passMs = took.elapsed();
        painter.stop();
        QVERIFY2(!frozen.isEmpty(),
                 qPrintable(QStringLiteral("%1 writes; %2").arg(writes).arg(MessageBox::last().text)));
        qInfo("the pass stopped %lld ms after Burn (store bound %d ms); the UI timer fired %d times", passMs, bound,
              ticks);
        QCOMPARE(MessageBox::shown().size(), 1);
        QCOMPARE(MessageBox::last().title, QStringLiteral("Error"));
        QVERIFY2(MessageBox::last().text.startsWith(QStringLiteral("Burning stopped: device [%1] holds uuid [%2], but "
                                                                   "the pool could not record it as used.")
                                                        .arg(order.at(0), cellText(table, 0, 6))),
                 qPrintable(MessageBox::last().text));
        QVERIFY2(MessageBox::last().text.contains(QLatin1String("0 device(s) burnt")),
                 qPrintable(MessageBox::last().text));
        // The UI thread waited for the store no longer than for one of its 50 ms ticks.
        QVERIFY2(ticks >= bound / 50 / 2, qPrintable(QString::number(ticks)));
        for (int row = 0; row < devices; ++row)
            QCOMPARE(cellText(table, row, 7), QStringLiteral("Ready to burn"));

        // Running again: the next search reconnects and shows the truth.
        thawServer();
        search(&page, devices, 15000);
        for (const QString &device : order) {
            const int row = rowOf(table, device);
            QCOMPARE(cellText(table, row, 7), QStringLiteral("Ready to burn"));
            QCOMPARE(cellText(table, row, 6), line->device(device).value(QStringLiteral("uuid")).toString());
            QCOMPARE(table->item(row, 0)->checkState(), Qt::Checked);
        }

        // And the next pass finishes the line.
        testsupport::click(child(&page, "btnMatch"));
        testsupport::click(child(&page, "btnBurn"));
        QCOMPARE(MessageBox::last().title, QStringLiteral("Information"));
        QCOMPARE(MessageBox::last().text, QStringLiteral("3 device(s) burnt"));
        QCOMPARE(testsupport::count(QStringLiteral("SerialNumbers WHERE IsUse=2")), 0);
        for (const QJsonValue &v : line->devices()) {
            const QJsonObject d = v.toObject();
            const QString uuid = d.value(QStringLiteral("uuid")).toString();
            QVERIFY(!uuid.isEmpty());
            QCOMPARE(testsupport::value(QStringLiteral("SELECT DeviceSerialNum FROM SerialNumbers WHERE IsUse=1 AND "
                                                       "SerialNumber='%1'")
                                            .arg(uuid))
                         .toString(),
                     d.value(QStringLiteral("serial")).toString());
        }
    }
};

TARNWELL_TEST_MAIN(TestFrozenServer)
#include "tst_frozenserver.moc"
