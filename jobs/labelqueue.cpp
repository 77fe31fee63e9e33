#include "jobs/labelqueue.h"

#include "labels/labelprinter.h"
#include "labels/labeltemplate.h"
#include "store/datastore.h"
#include "store/storesettings.h"

#include <QMutex>
#include <QMutexLocker>
#include <QSet>
#include <QTimer>

#include <atomic>
#include <memory>

namespace jobs {

namespace {

QMutex runningLock;
QSet<LabelQueue *> runningQueues;

// How many due labels a round reads at a time; it reads again until none are left.
constexpr int kRoundLimit = 50;
constexpr int kRetryMs = 2000;

QString jobName(const PendingLabel &l)
{
    return QStringLiteral("label-%1-copy%2-%3").arg(l.labelId).arg(l.copy).arg(l.serialNumber);
}

labels::LabelValues valuesOf(const PendingLabel &l)
{
    labels::LabelValues v;
    v.uuid = l.serialNumber;
    v.serial = l.deviceSerialNum;
    v.type = l.deviceType;
    v.customer = l.customerName;
    v.date = l.dueDate;
    v.station = l.station;
    return v;
}

} // namespace

// Lives on the queue's thread; only roundAsked is touched from outside it.
class LabelQueue::Worker : public QObject
{
    Q_DECLARE_TR_FUNCTIONS(jobs::LabelQueue)
    using LabelPrinter = labels::LabelPrinter;

public:
    explicit Worker(LabelQueue *queue)
        : owner(queue)
    {
    }
    std::atomic<bool> roundAsked{false};

    void begin()
    {
        timer = new QTimer(this);
        timer->setInterval(kRetryMs);
        connect(timer, &QTimer::timeout, this, &Worker::round);
        timer->start();
        round();
    }

    void end()
    {
        delete timer;
        timer = nullptr;
        if (storeOpened)
            closeStoreForThisThread();
        storeOpened = false;
    }

    void round()
    {
        roundAsked = false;
        if (!storeOpened && !(storeOpened = openStoreForThisThread())) {
            report(-1, storeError());
            return;
        }
        QString why;
        if (!ready() || !settleUnrecorded() || !settleCutOff())
            why = error;
        else
            why = printDue();
        const int count = countWaitingLabels();
        report(count, count < 0 ? storeError() : (count == 0 ? QString() : why));
    }

private:
    // A copy whose state could not be written after the printer answered: written again
    // at the start of every round until the store takes it.
    struct Unrecorded {
        qint64 labelId = 0;
        LabelPrinter::Sent sent = LabelPrinter::Sent::Printed;
        QString why;
        LogRecord logRow;
    };
    LabelQueue *const owner;
    QTimer *timer = nullptr;
    bool storeOpened = false;
    bool settled = false;
    labels::PrinterSetting setting;
    labels::LabelTemplate labelTemplate;
    std::unique_ptr<LabelPrinter> printer;
    QList<Unrecorded> unrecorded;
    QString error; // why this round stopped
    int reportedCount = -2;
    QString reportedError;

    void report(int count, const QString &why)
    {
        if (count == reportedCount && why == reportedError)
            return;
        reportedCount = count;
        reportedError = why;
        QMetaObject::invokeMethod(
            owner,
            [q = owner, count, why] {
            q->waitingCount = count;
            q->error = why;
            emit q->waitingChanged(count, why);
            },
            Qt::QueuedConnection);
    }

    // The printer and the template, read until both can be used: a file put right is
    // taken at the next round, and labels wait meanwhile.
    bool ready()
    {
        if (printer)
            return true;
        const StoreSettings settings = StoreSettings::load();
        QString why;
        if (!labels::PrinterSetting::parse(settings.labelPrinter, &setting, &why)) {
            error = tr("The label printer setting \"%1\" cannot be used: %2").arg(settings.labelPrinter, why);
            return false;
        }
        const QString path = settings.labelTemplate.isEmpty() ? QStringLiteral("./Resources/label-template.txt")
                                                              : settings.labelTemplate;
        if (!labels::LabelTemplate::load(path, &labelTemplate, &why)) {
            error = tr("The label template %1 cannot be used: %2").arg(path, why);
            return false;
        }
        printer = LabelPrinter::make(setting);
        if (!printer) {
            error = tr("The label printer \"%1\" cannot be used here.").arg(setting.text);
            return false;
        }
        return true;
    }

    bool storeFailed()
    {
        error = tr("The pool could not be reached: %1").arg(storeError());
        return false;
    }

    bool record(const Unrecorded &u)
    {
        switch (u.sent) {
        case LabelPrinter::Sent::Printed:
            return endLabelPrint(u.labelId);
        case LabelPrinter::Sent::NotSent:
            return returnLabel(u.labelId, u.why);
        case LabelPrinter::Sent::Unprintable:
            return failLabel(u.labelId, u.why, u.logRow);
        }
        return false;
    }

    bool settleUnrecorded()
    {
        while (!unrecorded.isEmpty()) {
            if (!record(unrecorded.first()))
                return storeFailed();
            unrecorded.removeFirst();
        }
        return true;
    }

    // Copies this station left sending when it stopped: printed twice is as wrong as not
    // at all, so one the printer cannot vouch for goes to a person.
    bool settleCutOff()
    {
        if (settled)
            return true;
        QList<PendingLabel> cutOff;
        if (!stationLabels(LabelState::Sending, 1000000, &cutOff))
            return storeFailed();
        for (const PendingLabel &l : cutOff) {
            // Another printer than the one this station prints on now cannot be asked.
            const LabelPrinter::Delivered delivered = l.printer == setting.text ? printer->delivered(jobName(l))
                                                                                : LabelPrinter::Delivered::Unknown;
            bool done = false;
            if (delivered == LabelPrinter::Delivered::Yes) {
                done = endLabelPrint(l.labelId);
            } else if (delivered == LabelPrinter::Delivered::No) {
                done = returnLabel(l.labelId, tr("The program stopped before the label left; it prints again."));
            } else {
                const QString why = tr("The program stopped while sending the label to %1; whether it printed is "
                                       "not known. Check the device's box and reprint the label if it has none.")
                                        .arg(l.printer);
                done = failLabel(l.labelId, why,
                                 makeLogRecord(tr("Label"),
                                               tr("Label copy %1 of %2 (device %3) may not have printed: "
                                                  "check the box, reprint if it has none")
                                                   .arg(l.copy)
                                                   .arg(l.serialNumber, l.deviceSerialNum)));
            }
            if (!done)
                return storeFailed();
        }
        settled = true;
        return true;
    }

    // Sends the due labels oldest first; the reason the round stopped, empty when none is left.
    QString printDue()
    {
        for (;;) {
            QList<PendingLabel> due;
            if (!stationLabels(LabelState::Due, kRoundLimit, &due)) {
                storeFailed();
                return error;
            }
            if (due.isEmpty())
                return QString();
            for (const PendingLabel &l : due) {
                if (!beginLabelPrint(l.labelId, setting.text)) {
                    if (!lastStoreCallFailed())
                        continue; // no longer due: another round of this station took it
                    storeFailed();
                    return error;
                }
                Unrecorded u;
                u.labelId = l.labelId;
                u.sent = printer->print(labelTemplate, valuesOf(l), jobName(l), &u.why);
                if (u.sent == LabelPrinter::Sent::Unprintable)
                    u.logRow = makeLogRecord(tr("Label"),
                                             tr("Label copy %1 of %2 (device %3) cannot be printed: %4")
                                                 .arg(l.copy)
                                                 .arg(l.serialNumber, l.deviceSerialNum, u.why));
                if (!record(u)) {
                    unrecorded.append(u);
                    storeFailed();
                    return error;
                }
                // Nothing left: the later labels wait behind this one, in their order.
                if (u.sent == LabelPrinter::Sent::NotSent)
                    return tr("The label printer %1 took nothing: %2").arg(setting.text, u.why);
            }
        }
    }
};

LabelQueue::LabelQueue(QObject *parent)
    : QObject(parent)
    , worker(new Worker(this))
{
    worker->moveToThread(&thread);
}

LabelQueue::~LabelQueue()
{
    {
        const QMutexLocker lock(&runningLock);
        runningQueues.remove(this);
    }
    if (started) {
        QMetaObject::invokeMethod(
            worker, [w = worker] { w->end(); }, Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
    }
    delete worker;
}

void LabelQueue::start()
{
    if (started)
        return;
    started = true;
    thread.setObjectName(QStringLiteral("labels"));
    thread.start();
    worker->roundAsked = true;
    QMetaObject::invokeMethod(
        worker, [w = worker] { w->begin(); }, Qt::QueuedConnection);
    const QMutexLocker lock(&runningLock);
    runningQueues.insert(this);
}

void LabelQueue::wakeRunning()
{
    const QMutexLocker lock(&runningLock);
    for (LabelQueue *queue : qAsConst(runningQueues))
        queue->wake();
}

void LabelQueue::wake()
{
    if (!started || worker->roundAsked.exchange(true))
        return;
    QMetaObject::invokeMethod(
        worker, [w = worker] { w->round(); }, Qt::QueuedConnection);
}

} // namespace jobs
