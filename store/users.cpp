// The people who may sign in: the administrator's management of their accounts.
#include "store/datastore.h"
#include "store/passwordhash.h"
#include "store/storecore.h"

#include <QSet>

using namespace storecore;

namespace {

bool validRole(Role role)
{
    return int(role) >= int(Role::Operator) && int(role) <= int(Role::Administrator);
}

// Runs `change` in the caller's batch, or in one of its own that commits only a change
// that went through.
template <typename Change>
PeopleChange inBatch(Change change)
{
    const bool own = !batchIsOpen();
    if (own && !beginBatch())
        return PeopleChange::Failed;
    const PeopleChange result = change();
    if (!own)
        return result;
    if (result != PeopleChange::Done) {
        rollbackBatch();
        return result;
    }
    return commitBatch() ? PeopleChange::Done : PeopleChange::Failed;
}

// The enabled administrators, locked on the server until the batch ends: two stations
// each disabling a different one of the last two must not both succeed. (The file's batch
// holds the write lock already.)
bool enabledAdministrators(QSet<qint64> *ids)
{
    if (!run(QStringLiteral("SELECT UserID FROM Users WHERE UserRole=? AND UserDisabled=0")
                 + (storeIsServer() ? QStringLiteral(" FOR UPDATE") : QString()),
             {int(Role::Administrator)}))
        return false;
    while (storeQuery.next())
        ids->insert(storeQuery.value(0).toLongLong());
    storeQuery.finish();
    return true;
}

// Whether the person exists; on a failed read, Failed.
PeopleChange personExists(qint64 id)
{
    const int found = firstInt(QStringLiteral("SELECT COUNT(*) FROM Users WHERE UserID=?"), {id}, -1);
    if (found < 0)
        return PeopleChange::Failed;
    return found == 0 ? PeopleChange::NoSuchPerson : PeopleChange::Done;
}

// A change that takes `id` out of the enabled administrators: refused when they are the last.
PeopleChange leavesAnAdministrator(qint64 id)
{
    QSet<qint64> admins;
    if (!enabledAdministrators(&admins))
        return PeopleChange::Failed;
    return admins.size() == 1 && admins.contains(id) ? PeopleChange::LastAdministrator : PeopleChange::Done;
}

PeopleChange updateOne(const QString &sql, std::initializer_list<QVariant> values)
{
    return runOne(sql, values) ? PeopleChange::Done : PeopleChange::Failed;
}

} // namespace

QList<PersonRow> allPeople()
{
    const StoreCall call;
    QList<PersonRow> people;
    if (run(QStringLiteral("SELECT UserID, UserName, UserRole, UserDisabled FROM Users ORDER BY UserID")))
        while (storeQuery.next()) {
            PersonRow p;
            p.id = storeQuery.value(0).toLongLong();
            p.name = storeQuery.value(1).toString();
            // A role this program does not know gives nothing beyond an operator's.
            const int role = storeQuery.value(2).toInt();
            p.role = validRole(Role(role)) ? Role(role) : Role::Operator;
            p.disabled = storeQuery.value(3).toInt() != 0;
            people.append(p);
        }
    storeQuery.finish();
    return people;
}

PeopleChange addPerson(const QString &name, const QString &passwordHash, Role role, qint64 *id)
{
    const StoreCall call;
    if (name.isEmpty() || name.trimmed() != name)
        return PeopleChange::NameInvalid;
    if (name.toUtf8().size() > kMaxPersonNameBytes)
        return PeopleChange::NameTooLong;
    if (!passwordhash::isHash(passwordHash))
        return PeopleChange::NotAHash;
    if (!validRole(role))
        return PeopleChange::NoSuchRole;
    return inBatch([&] {
        const int taken = firstInt(QStringLiteral("SELECT COUNT(*) FROM Users WHERE UserName=?"), {name}, -1);
        if (taken < 0)
            return PeopleChange::Failed;
        if (taken > 0)
            return PeopleChange::NameTaken;
        if (!run(QStringLiteral("INSERT INTO Users (UserName, UserPwd, UserRole, UserDisabled) VALUES (?, ?, ?, 0)"),
                 {name, passwordHash, int(role)}))
            return PeopleChange::Failed;
        if (id) {
            *id = firstInt(QStringLiteral("SELECT UserID FROM Users WHERE UserName=?"), {name}, -1);
            if (*id < 0)
                return PeopleChange::Failed;
        }
        return PeopleChange::Done;
    });
}

PeopleChange setPersonDisabled(qint64 id, bool disabled)
{
    const StoreCall call;
    return inBatch([&] {
        PeopleChange result = personExists(id);
        if (result == PeopleChange::Done && disabled)
            result = leavesAnAdministrator(id);
        if (result != PeopleChange::Done)
            return result;
        return updateOne(QStringLiteral("UPDATE Users SET UserDisabled=? WHERE UserID=?"), {disabled ? 1 : 0, id});
    });
}

PeopleChange setPersonRole(qint64 id, Role role)
{
    const StoreCall call;
    if (!validRole(role))
        return PeopleChange::NoSuchRole;
    return inBatch([&] {
        PeopleChange result = personExists(id);
        if (result == PeopleChange::Done && role != Role::Administrator)
            result = leavesAnAdministrator(id);
        if (result != PeopleChange::Done)
            return result;
        return updateOne(QStringLiteral("UPDATE Users SET UserRole=? WHERE UserID=?"), {int(role), id});
    });
}

PeopleChange setPersonPassword(qint64 id, const QString &passwordHash)
{
    const StoreCall call;
    if (!passwordhash::isHash(passwordHash))
        return PeopleChange::NotAHash;
    return inBatch([&] {
        const PeopleChange result = personExists(id);
        if (result != PeopleChange::Done)
            return result;
        // A new password also lifts a wait the failed logins of the old one imposed.
        return updateOne(QStringLiteral("UPDATE Users SET UserPwd=?, UserFailures=0, UserWaitUntil=0 WHERE UserID=?"),
                         {passwordHash, id});
    });
}
