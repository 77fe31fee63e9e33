#include "shell/idlelock.h"

#include "shell/login.h"
#include "shell/unlock.h"
#include "store/storesettings.h"

#include <QApplication>
#include <QEvent>
#include <QMainWindow>
#include <QMenuBar>

IdleLock::IdleLock(QMainWindow *window)
    : QObject(window)
    , window_(window)
{
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &IdleLock::lock);
    qApp->installEventFilter(this);
    bool ok = false;
    const int seconds = qEnvironmentVariableIntValue("TARNWELL_IDLE_SECONDS", &ok);
    setIdleMs(ok && seconds >= 0 ? seconds * 1000 : StoreSettings::load().idleMinutes * 60 * 1000);
}

void IdleLock::setIdleMs(int ms)
{
    idleMs_ = qMax(0, ms);
    timer_.stop();
    if (idleMs_ > 0 && !isLocked())
        timer_.start(idleMs_);
}

bool IdleLock::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::MouseButtonPress:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::TouchBegin:
    case QEvent::InputMethod:
        if (idleMs_ > 0 && !isLocked())
            timer_.start(idleMs_);
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void IdleLock::lock()
{
    if (isLocked())
        return;
    const Person person = signedInPerson();
    window_->centralWidget()->hide();
    window_->menuBar()->hide();
    addLog(makeLogRecord(tr("Lock"), tr("Locked after %1 s without input").arg(idleMs_ / 1000)));
    unlock_ = new Unlock(person.name, window_);
    unlock_->setAttribute(Qt::WA_DeleteOnClose);
    connect(unlock_, &Unlock::signedIn, this, &IdleLock::unlocked);
    unlock_->open();
}

void IdleLock::unlocked(const LoginOutcome &outcome)
{
    const Person before = signedInPerson();
    // The log row names the person now signed in.
    setSignedInPerson(outcome.person);
    if (outcome.person.id == before.id)
        addLog(makeLogRecord(tr("Unlock"), tr("Unlock")));
    else
        addLog(makeLogRecord(tr("Switch user"), tr("Switch user from %1 to %2").arg(before.name, outcome.person.name)));
    window_->menuBar()->show();
    window_->centralWidget()->show();
    if (outcome.person.id != before.id)
        emit personChanged();
    if (outcome.seededPassword)
        Login::warnOfSeededPassword();
    if (idleMs_ > 0)
        timer_.start(idleMs_);
}
