// The station's label printing: a thread of its own, with its own store connection, that
// sends this station's due labels to the printer of tarnwell.ini's [labels], oldest first,
// one at a time. Each copy is marked sending (committed) before it leaves and printed after
// the printer took it; a printer that takes nothing ends the round and the label waits,
// ahead of every later one, for the next round (every 2 s, or at once on wake()). A copy
// the program left sending when it stopped is settled at start: printed when the printer
// says it has it, due again when it says it has not, failed (for a supervisor's reprint)
// when it cannot tell, so nothing prints twice on its own. A Burn pass never waits for it:
// after a commit that confirms devices it only calls wakeRunning().
#pragma once

#include <QCoreApplication>
#include <QObject>
#include <QString>
#include <QThread>

namespace jobs {

class LabelQueue : public QObject
{
    Q_OBJECT

public:
    explicit LabelQueue(QObject *parent = nullptr);
    // Stops after the label being sent, if any, and closes the thread's connection.
    ~LabelQueue() override;

    // Starts the thread: settles the copies left sending, then the first round.
    void start();
    // Wakes every started queue of the program (the Burn pass and rework after their commits).
    static void wakeRunning();

    // The latest count and error the thread reported (also given by waitingChanged).
    int waiting() const { return waitingCount; }
    QString lastError() const { return error; }

public slots:
    // A round at once (a round already asked for is not asked twice).
    void wake();

signals:
    // Labels of this station due or sending, and why they wait (empty when nothing went
    // wrong); -1 when the store could not count them.
    void waitingChanged(int count, const QString &lastError);

private:
    class Worker;
    QThread thread;
    Worker *worker = nullptr;
    bool started = false;
    int waitingCount = 0;
    QString error;
};

} // namespace jobs
