// The actions a role gates, behind whichever caller asks: the page that offers them, or code
// that calls them straight. Each checks the signed-in person's role first; a refusal writes
// nothing. (The import's gate is ImportJob's own refusal.)
#pragma once

#include "store/datastore.h"

#include <QCoreApplication>
#include <QString>

namespace jobs {

enum class Gated {
    Done,
    Refused,     // the signed-in person's role lacks the action, or no one is signed in
    LogFailed,   // its log row could not be written, so nothing was (storeError())
    StoreFailed, // the change could not be written (storeError())
};

// A supervisor's Delete of one serial number: its log row first, then the serial number is
// retired, as the Serial page does it.
Gated deleteSerialLogged(const QString &serialNumber, const LogRecord &logRow);

// An administrator's save of one customer's identifier kind, host and port, and with
// `rules` its low-pool warning and identifier pattern, in one transaction.
Gated saveCustomer(const QString &name, const QString &value, const QString &hostAddr, int port,
                   const CustomerRules *rules = nullptr);

// An administrator's changes to the people, each in one batch with its log row (which
// never holds a password): both are written or neither.
class People
{
    Q_DECLARE_TR_FUNCTIONS(People)
public:
    struct Result {
        bool permitted = true;                      // false: the signed-in person is no administrator
        bool ownAccount = false;                    // refused: nobody disables the account they are signed in with
        PeopleChange change = PeopleChange::Failed; // the store's answer when permitted
        bool done() const { return permitted && !ownAccount && change == PeopleChange::Done; }
    };

    static QString roleName(Role role);

    static Result add(const QString &name, const QString &password, Role role);
    static Result setDisabled(qint64 id, bool disabled);
    // A change of the signed-in person's own role takes effect for them at once.
    static Result setRole(qint64 id, Role role);
    static Result setPassword(qint64 id, const QString &password);
};

} // namespace jobs
