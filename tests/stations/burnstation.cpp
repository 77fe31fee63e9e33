// burnstation: one burning station without an operator or a widget, for the tests that need
// real processes (stations on one pool, a station killed during its passes). In the working
// folder's pool it searches until the line has answered, gives every device that is not
// burnt its pending identifier or one of the customer's newest unused ones (as Match does),
// and runs the Burn job; again, until every device found is burnt or the rounds run out.
// With [labels] in its tarnwell.ini it runs the label queue as the program does, and once the
// line is burnt waits for its labels ("labels waiting N" while they wait, "labels done").
// It prints one line per step ("search N", "burning N", "pass done", "stopped: <cause>") so
// a harness can tell where it is, and exits 0 when every device it found is burnt (and its
// labels printed), 1 when rounds ran out, 2 on bad arguments, 3 when labels still wait.
// With --order it burns for that work order and ends (0) once the order is complete and none
// of its devices waits pending.
//   burnstation --devices N [--customer 1|2] [--rounds R] [--search-ms MS] [--labels-ms MS] [--order ID]
// The line is found through Z7_NETSDK_TARGETS like the program's.
#include "jobs/burnjob.h"
#include "jobs/labelqueue.h"
#include "platform/netsdk/z7netsdk.h"
#include "store/datastore.h"
#include "store/fixedfield.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMap>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

void say(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

// The devices a search found, by serial; filled on the SDK's thread.
struct Found {
    QMutex mutex;
    QMap<QString, jobs::BurnRow> devices;
    int size()
    {
        QMutexLocker lock(&mutex);
        return devices.size();
    }
};

void Z7_NETSDK_CALL discovered(const DiscoveryRecord *record, void *user)
{
    jobs::BurnRow r;
    r.ip = fixedfield::get(record->deviceIp);
    r.serial = fixedfield::get(record->serialNumber);
    r.user = fixedfield::get(record->userName);
    r.password = fixedfield::get(record->password);
    r.type = fixedfield::get(record->deviceType);
    auto *found = static_cast<Found *>(user);
    QMutexLocker lock(&found->mutex);
    if (!found->devices.contains(r.serial))
        found->devices.insert(r.serial, r);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("devices"), QStringLiteral("Devices the line holds."), QStringLiteral("N")});
    parser.addOption({QStringLiteral("customer"), QStringLiteral("Customer to Match (1 or 2)."), QStringLiteral("ID"),
                      QStringLiteral("1")});
    parser.addOption({QStringLiteral("rounds"), QStringLiteral("Search-Match-Burn rounds at most."),
                      QStringLiteral("R"), QStringLiteral("20")});
    parser.addOption({QStringLiteral("search-ms"), QStringLiteral("Longest wait for the line to answer."),
                      QStringLiteral("MS"), QStringLiteral("15000")});
    parser.addOption({QStringLiteral("labels-ms"), QStringLiteral("Longest wait for the labels after the line."),
                      QStringLiteral("MS"), QStringLiteral("60000")});
    parser.addOption({QStringLiteral("order"), QStringLiteral("Work order to burn for."), QStringLiteral("ID"),
                      QStringLiteral("0")});
    parser.process(app);
    const qint64 order = parser.value(QStringLiteral("order")).toLongLong();
    const int devices = parser.value(QStringLiteral("devices")).toInt();
    const int customer = parser.value(QStringLiteral("customer")).toInt();
    if (devices < 1 || customer < 1 || customer > 2)
        return 2;

    openDatabase();
    // The person at the station, as the login sets it: every log row names them.
    setSignedInPerson({1, QStringLiteral("operator at %1").arg(stationName()), Role::Operator});
    Z7_NET_DVR_Init();
    int result = 1;
    std::unique_ptr<jobs::LabelQueue> labels;
    if (labelsEnabled()) {
        labels = std::make_unique<jobs::LabelQueue>();
        labels->start();
    }
    {
        Found found;
        Z7_NET_DVR_SetDiscoveryCallBack(discovered, &found);
        jobs::BurnJob job;
        job.setWorkOrder(order);
        const int rounds = parser.value(QStringLiteral("rounds")).toInt();
        for (int round = 0; round < rounds; ++round) {
            {
                QMutexLocker lock(&found.mutex);
                found.devices.clear();
            }
            Z7_NET_DVR_StartDiscoveryIPC();
            const QDeadlineTimer deadline(parser.value(QStringLiteral("search-ms")).toInt());
            while (found.size() < devices && !deadline.hasExpired())
                QThread::msleep(10);
            Z7_NET_DVR_StopDiscoveryIPC();
            QList<jobs::BurnRow> listed;
            {
                QMutexLocker lock(&found.mutex);
                listed = found.devices.values();
            }
            say(QStringLiteral("search %1").arg(listed.size()));

            // What the pool holds for each: burnt ones are left out, pending ones get theirs.
            QSet<QString> burnt;
            QList<jobs::BurnRow> open;
            int unassigned = 0;
            for (jobs::BurnRow r : listed) {
                const DeviceHolding held = holdingOfDevice(r.serial);
                if (lastStoreCallFailed() || held.isUse == SerialUsed) {
                    burnt.insert(r.serial);
                    continue;
                }
                r.customerId = held.isUse == SerialPending ? held.customerId : customer;
                r.uuid = held.isUse == SerialPending ? held.serialNumber : QString();
                r.pending = held.isUse == SerialPending;
                unassigned += r.uuid.isEmpty() ? 1 : 0;
                open.append(r);
            }
            if (open.isEmpty() && listed.size() >= devices) {
                result = 0;
                break;
            }
            if (order > 0
                && std::none_of(open.cbegin(), open.cend(), [](const jobs::BurnRow &r) { return r.pending; })) {
                QList<WorkOrder> orders;
                workOrders(&orders);
                const auto it = std::find_if(orders.cbegin(), orders.cend(),
                                             [order](const WorkOrder &o) { return o.orderId == order; });
                if (it != orders.cend() && it->complete()) {
                    say(QStringLiteral("order complete"));
                    result = 0;
                    break;
                }
            }
            const QStringList fresh = unassigned ? unusedSerialNumbers(unassigned, customer) : QStringList();
            QList<jobs::BurnRow> ready;
            int next = 0;
            for (jobs::BurnRow r : open) {
                if (r.uuid.isEmpty() && next < fresh.size())
                    r.uuid = fresh.at(next++);
                if (!r.uuid.isEmpty()) {
                    r.key = ready.size();
                    ready.append(r);
                }
            }
            say(QStringLiteral("burning %1").arg(open.size()));
            const jobs::BurnSummary done = job.run(ready, burnt, nullptr);
            if (done.refused)
                say(QStringLiteral("refused: ") + done.refusal);
            if (done.stop.cause != jobs::BurnStop::None)
                say(QStringLiteral("stopped: %1 %2 %3").arg(done.stop.cause).arg(done.stop.row.serial, done.stop.why));
            say(QStringLiteral("pass done: %1 burnt, %2 failed").arg(done.burnt).arg(done.failed));
        }
        Z7_NET_DVR_SetDiscoveryCallBack(nullptr, nullptr);
    }
    if (labels) {
        // The queue works on its own thread; this one only watches the count.
        const QDeadlineTimer deadline(parser.value(QStringLiteral("labels-ms")).toInt());
        int waiting = countWaitingLabels();
        say(QStringLiteral("labels waiting %1").arg(waiting));
        while (waiting != 0 && !deadline.hasExpired()) {
            QThread::msleep(20);
            waiting = countWaitingLabels();
        }
        say(waiting == 0 ? QStringLiteral("labels done") : QStringLiteral("labels waiting %1").arg(waiting));
        result = waiting == 0 ? result : 3;
    }
    labels.reset();
    Z7_NET_DVR_Cleanup();
    closeDatabase();
    return result;
}
