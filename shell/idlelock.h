#pragma once

#include "store/datastore.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

class QMainWindow;
class Unlock;

// Locks the main window after a time without keyboard or mouse input anywhere in the
// program: its content is hidden and the password asked again. The same person unlocks, or
// another person logs in there instead (switch user). Lock, unlock and switch are logged.
class IdleLock : public QObject
{
    Q_OBJECT
public:
    // The time is tarnwell.ini's [login] idle_minutes (0: never); TARNWELL_IDLE_SECONDS in
    // the environment, when set, counts in seconds instead.
    explicit IdleLock(QMainWindow *window);

    // Milliseconds without input before the lock; 0 never locks. Restarts the count.
    void setIdleMs(int ms);
    int idleMs() const { return idleMs_; }
    bool isLocked() const { return !unlock_.isNull(); }

signals:
    // Someone else signed in at the lock: what the window offers may change with the role.
    void personChanged();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void lock();
    void unlocked(const LoginOutcome &outcome);

    QMainWindow *window_;
    QTimer timer_;
    int idleMs_ = 0;
    QPointer<Unlock> unlock_;
};
