// Accounts and customers.
#include "store/datastore.h"
#include "store/passwordhash.h"
#include "store/storecore.h"

#include <QDateTime>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>

using namespace storecore;

namespace {

QMutex personLock;
Person person;

} // namespace

void setSignedInPerson(const Person &p)
{
    QMutexLocker lock(&personLock);
    person = p;
}

Person signedInPerson()
{
    QMutexLocker lock(&personLock);
    return person;
}

bool signedInMay(Role needed)
{
    const Person p = signedInPerson();
    return p.signedIn() && int(p.role) >= int(needed);
}

const char kSeededAdminPassword[] = "qorvi";

namespace {

const QString kAdmin = QStringLiteral("admin");

// The store's clock in seconds since the epoch, so that every station of a line counts a
// wait from the same time.
QString storeNow()
{
    return storeIsServer() ? QStringLiteral("CAST(EXTRACT(EPOCH FROM clock_timestamp()) AS BIGINT)")
                           : QStringLiteral("CAST(strftime('%s', 'now') AS INTEGER)");
}

// Failures of names that are no account, on this station only: the answer and its delay
// must be those of an account, or a guesser would learn which names exist.
struct Strangers {
    QMutex lock;
    QHash<QString, int> failures;
    QHash<QString, QDateTime> waitUntil;
};
Strangers &strangers()
{
    static Strangers s;
    return s;
}

// Spends on a name that is no account the time a hash check takes.
void checkAgainstNothing(const QString &password)
{
    static const QString nothing = passwordhash::make(QStringLiteral("\x01no account"));
    passwordhash::matches(nothing, password);
}

LoginOutcome strangerAttempt(const QString &name, const QString &password)
{
    LoginOutcome out;
    Strangers &s = strangers();
    {
        QMutexLocker lock(&s.lock);
        const QDateTime until = s.waitUntil.value(name);
        const qint64 left = until.isValid() ? QDateTime::currentDateTimeUtc().secsTo(until) : 0;
        if (left > 0) {
            out.result = LoginOutcome::MustWait;
            out.waitSeconds = int(left);
            return out;
        }
    }
    checkAgainstNothing(password);
    QMutexLocker lock(&s.lock);
    // Bounded, so typing many names cannot grow it without end.
    if (s.failures.size() > 10000) {
        s.failures.clear();
        s.waitUntil.clear();
    }
    const int failures = s.failures.value(name) + 1;
    if (failures >= kLoginFailuresBeforeWait) {
        s.failures.remove(name);
        s.waitUntil.insert(name, QDateTime::currentDateTimeUtc().addSecs(kLoginWaitSeconds));
        out.startedWait = true;
    } else {
        s.failures.insert(name, failures);
    }
    out.result = LoginOutcome::Wrong;
    return out;
}

// Stores `hash` as the password of the row `userId`. On the file the old value's bytes are
// zeroed rather than left in the page's free space, and `scrub` rewrites the whole table so
// that no earlier version of a row (an older pool's plain-text password, left behind by a
// change of its row) stays in the file either. `onlyPlain` leaves a row that another
// station gave a hash in the meantime.
bool storeHash(qint64 userId, const QString &hash, bool onlyPlain, bool scrub)
{
    if (hash.isEmpty()) {
        fail(QStringLiteral("the password's hash could not be made"));
        return false;
    }
    const QString update = onlyPlain
        ? QStringLiteral("UPDATE Users SET UserPwd=? WHERE UserID=? AND UserPwd NOT LIKE ?")
        : QStringLiteral("UPDATE Users SET UserPwd=? WHERE UserID=?");
    const QVariantList values = onlyPlain ? QVariantList{hash, userId, QStringLiteral("$argon2id$%")}
                                          : QVariantList{hash, userId};
    const auto write = [&] {
        const bool ran = run(update, values);
        if (ran && !onlyPlain && storeQuery.numRowsAffected() != 1) {
            fail(QStringLiteral("there is no such account"));
            return false;
        }
        return ran;
    };
    if (storeIsServer() || batchIsOpen())
        return write();

    // Builds of SQLite differ in whether they zero freed bytes: on for this write, then back
    // to the build's own choice.
    const int secureDelete = firstInt(QStringLiteral("PRAGMA secure_delete"), {}, -1);
    if (secureDelete < 0 || !control(QStringLiteral("PRAGMA secure_delete = ON")))
        return false;
    bool ok = control(QStringLiteral("BEGIN IMMEDIATE")) && write();
    if (ok && scrub) {
        // Emptying the whole table zeroes its pages; the rows come back unchanged.
        ok = control(QStringLiteral("CREATE TEMP TABLE UsersKept AS SELECT * FROM Users"))
            && control(QStringLiteral("DELETE FROM Users"))
            && control(QStringLiteral("INSERT INTO Users SELECT * FROM temp.UsersKept"))
            && control(QStringLiteral("DROP TABLE temp.UsersKept"));
    }
    ok = ok && control(QStringLiteral("COMMIT"));
    const QString why = storeError();
    if (!ok) {
        control(QStringLiteral("ROLLBACK"));
        control(QStringLiteral("DROP TABLE IF EXISTS temp.UsersKept"));
    }
    control(QStringLiteral("PRAGMA secure_delete = %1").arg(secureDelete));
    if (!ok)
        fail(why);
    return ok;
}

// The stored password of the row that `where` selects with `value`; null when there is none
// or the store cannot answer (lastStoreCallFailed tells).
QString storedPassword(const QString &where, const QVariant &value)
{
    QString stored;
    if (run(QStringLiteral("SELECT UserPwd FROM Users WHERE ") + where, {value}) && storeQuery.next())
        stored = storeQuery.value(0).toString();
    storeQuery.finish();
    return stored;
}

} // namespace

LoginOutcome signIn(const QString &loginName, const QString &password)
{
    const StoreCall call;
    LoginOutcome out;
    if (!run(QStringLiteral(
                 "SELECT UserID, UserPwd, UserRole, UserDisabled, UserFailures, UserWaitUntil, UserWaitUntil - ")
                 + storeNow() + QStringLiteral(" FROM Users WHERE UserName=?"),
             {loginName}))
        return out;
    if (!storeQuery.next()) {
        storeQuery.finish();
        return lastStoreCallFailed() ? out : strangerAttempt(loginName, password);
    }
    const qint64 id = storeQuery.value(0).toLongLong();
    const QString stored = storeQuery.value(1).toString();
    const int role = storeQuery.value(2).toInt();
    const bool disabled = storeQuery.value(3).toInt() != 0;
    const int failures = storeQuery.value(4).toInt();
    const bool waitSet = storeQuery.value(5).toLongLong() != 0;
    const qint64 waitLeft = storeQuery.value(6).toLongLong();
    storeQuery.finish();

    if (waitLeft > 0) {
        out.result = LoginOutcome::MustWait;
        out.waitSeconds = int(qMin<qint64>(waitLeft, kLoginWaitSeconds));
        return out;
    }
    if (!passwordhash::matches(stored, password)) {
        // Counted on the row itself, so two stations' failures add up.
        const QString last = QString::number(kLoginFailuresBeforeWait - 1);
        if (!run(QStringLiteral("UPDATE Users SET UserWaitUntil = CASE WHEN UserFailures >= ") + last
                     + QStringLiteral(" THEN ") + storeNow() + QStringLiteral(" + ")
                     + QString::number(kLoginWaitSeconds)
                     + QStringLiteral(" ELSE UserWaitUntil END, UserFailures = CASE WHEN UserFailures >= ") + last
                     + QStringLiteral(" THEN 0 ELSE UserFailures + 1 END WHERE UserID=?"),
                 {id}))
            return out;
        out.result = LoginOutcome::Wrong;
        out.startedWait = failures >= kLoginFailuresBeforeWait - 1;
        return out;
    }
    if (disabled) {
        out.result = LoginOutcome::Disabled;
        return out;
    }
    if ((failures != 0 || waitSet)
        && !run(QStringLiteral("UPDATE Users SET UserFailures=0, UserWaitUntil=0 WHERE UserID=?"), {id}))
        return out;
    if (!passwordhash::isHash(stored) && !storeHash(id, passwordhash::make(password), true, true))
        return out;

    if (loginName == kAdmin) {
        out.seededPassword = password == QLatin1String(kSeededAdminPassword);
    } else {
        const QString admin = storedPassword(QStringLiteral("UserName=?"), kAdmin);
        if (lastStoreCallFailed())
            return out;
        out.seededPassword = !admin.isNull() && passwordhash::matches(admin, QLatin1String(kSeededAdminPassword));
    }
    out.person.id = id;
    out.person.name = loginName;
    out.person.role = Role(qBound(0, role, int(Role::Administrator)));
    out.result = LoginOutcome::Ok;
    return out;
}

int checkLogin(const QString &loginName, const QString &password)
{
    const LoginOutcome outcome = signIn(loginName, password);
    return outcome.result == LoginOutcome::Ok ? int(outcome.person.id) : -1;
}

bool checkAdminPassword(const QString &password)
{
    const StoreCall call;
    const QString stored = storedPassword(QStringLiteral("UserName=?"), kAdmin);
    return !stored.isNull() && passwordhash::matches(stored, password);
}

bool setAdminPassword(const QString &password)
{
    const StoreCall call;
    const int id = firstInt(QStringLiteral("SELECT UserID FROM Users WHERE UserName=?"), {kAdmin}, -1);
    if (id < 0) {
        if (!lastStoreCallFailed())
            fail(QStringLiteral("there is no account admin"));
        return false;
    }
    return storeHash(id, passwordhash::make(password), false, false);
}

bool checkOwnPassword(qint64 personId, const QString &password)
{
    const StoreCall call;
    const QString stored = storedPassword(QStringLiteral("UserID=?"), personId);
    return !stored.isNull() && passwordhash::matches(stored, password);
}

bool setOwnPassword(qint64 personId, const QString &password)
{
    const StoreCall call;
    return storeHash(personId, passwordhash::make(password), false, false);
}

std::unique_ptr<CustomerRecord> customerById(int customerId)
{
    const StoreCall call;
    std::unique_ptr<CustomerRecord> record;
    if (run(kCustomerSelect + QStringLiteral(" WHERE CustomerID=%1").arg(customerId)) && storeQuery.next())
        record = std::make_unique<CustomerRecord>(readCustomerRow());
    storeQuery.finish();
    return record;
}

bool updateCustomer(const QString &customerName, const QString &customerValue, const QString &hostAddr, int port)
{
    const StoreCall call;
    return runOne(QStringLiteral("UPDATE Customers SET CustomerValue=?, CustomerHostAddr=?, CustomerPort=%1 "
                                 "WHERE CustomerName=?")
                      .arg(port),
                  {customerValue, hostAddr, customerName});
}

QList<CustomerRecord> allCustomers()
{
    const StoreCall call;
    QList<CustomerRecord> rows;
    // The file returns its rows in id order; the server returns them as they lie, which an
    // update changes. The customer editor takes its first row for the first customer.
    if (run(storeIsServer() ? kCustomerSelect + QStringLiteral(" ORDER BY CustomerID") : kCustomerSelect))
        while (storeQuery.next())
            rows.append(readCustomerRow());
    return rows;
}
