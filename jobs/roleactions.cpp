#include "jobs/roleactions.h"

#include "store/passwordhash.h"

#include <functional>

namespace jobs {

Gated deleteSerialLogged(const QString &serialNumber, const LogRecord &logRow)
{
    if (!signedInMay(Role::Supervisor))
        return Gated::Refused;
    if (!addLog(logRow))
        return Gated::LogFailed;
    return deleteSerial(serialNumber) ? Gated::Done : Gated::StoreFailed;
}

Gated saveCustomer(const QString &name, const QString &value, const QString &hostAddr, int port,
                   const CustomerRules *rules)
{
    if (!signedInMay(Role::Administrator))
        return Gated::Refused;
    if (!rules)
        return updateCustomer(name, value, hostAddr, port) ? Gated::Done : Gated::StoreFailed;
    const int id = customerIdByName(name);
    if (id <= 0 || !beginBatch())
        return Gated::StoreFailed;
    if (!updateCustomer(name, value, hostAddr, port) || !setCustomerRules(id, *rules)) {
        rollbackBatch();
        return Gated::StoreFailed;
    }
    return commitBatch() ? Gated::Done : Gated::StoreFailed;
}

namespace {

QString nameOf(qint64 id)
{
    for (const PersonRow &p : allPeople())
        if (p.id == id)
            return p.name;
    return QString();
}

// Runs `change` and writes its log row in one batch; a change the store refuses, or a log
// row that cannot be written, leaves both out.
People::Result logged(const std::function<PeopleChange()> &change, const std::function<QString()> &describe)
{
    People::Result result;
    if (!signedInMay(Role::Administrator)) {
        result.permitted = false;
        return result;
    }
    if (!beginBatch())
        return result;
    result.change = change();
    if (result.change == PeopleChange::Done
        && (!addLog(makeLogRecord(People::tr("Users"), describe())) || !commitBatch())) {
        result.change = PeopleChange::Failed;
    }
    if (batchIsOpen())
        rollbackBatch();
    return result;
}

} // namespace

QString People::roleName(Role role)
{
    switch (role) {
    case Role::Operator:
        return tr("Operator");
    case Role::Supervisor:
        return tr("Supervisor");
    case Role::Administrator:
        return tr("Administrator");
    }
    return QString();
}

People::Result People::add(const QString &name, const QString &password, Role role)
{
    // Hashed before the batch: the hash takes a while, the write lock should not.
    const QString hash = passwordhash::make(password);
    return logged([&] { return addPerson(name, hash, role); },
                  [&] { return tr("Added %1 as %2").arg(name, roleName(role)); });
}

People::Result People::setDisabled(qint64 id, bool disabled)
{
    if (disabled && signedInMay(Role::Administrator) && signedInPerson().id == id) {
        Result refused;
        refused.ownAccount = true;
        return refused;
    }
    QString name;
    return logged(
        [&] {
        name = nameOf(id);
        return setPersonDisabled(id, disabled);
        },
        [&] { return disabled ? tr("Disabled %1").arg(name) : tr("Enabled %1").arg(name); });
}

People::Result People::setRole(qint64 id, Role role)
{
    QString name;
    const Result result = logged(
        [&] {
        name = nameOf(id);
        return setPersonRole(id, role);
        },
        [&] { return tr("Set the role of %1 to %2").arg(name, roleName(role)); });
    Person me = signedInPerson();
    if (result.done() && me.id == id) {
        me.role = role;
        setSignedInPerson(me);
    }
    return result;
}

People::Result People::setPassword(qint64 id, const QString &password)
{
    const QString hash = passwordhash::make(password);
    QString name;
    return logged(
        [&] {
        name = nameOf(id);
        return setPersonPassword(id, hash);
        },
        [&] { return tr("Set a new password for %1").arg(name); });
}

} // namespace jobs
