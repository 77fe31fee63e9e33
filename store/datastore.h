// The data store: the pool in one SQLite file or on the line's PostgreSQL server, one
// connection per thread. The UI thread's connection is openDatabase()'s; a worker thread opens
// one of its own (openStoreForThisThread) and every call then runs on the calling thread's
// connection. Reads that fail give the operation's value for "nothing found" and
// lastStoreCallFailed() tells that apart from a true "nothing"; writes tell whether they
// took effect, and storeError() says why the last one did not.
#pragma once

#include "store/history.h"
#include "store/labelstate.h"
#include "store/orders.h"
#include "store/records.h"
#include "store/report.h"
#include "store/rework.h"
#include "store/stock.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <memory>

// Opens the pool named by tarnwell.ini (the SQLite file mydatabase.db without one), makes
// the tables, indexes and seed rows that are missing.
// A pool file records in its table StationState whether it was closed cleanly: "open" from
// openDatabase() until closeDatabase() sets "closed".
// The pool records its schema version; openDatabase() brings an older one to this
// program's version, each change once and in a transaction with its version number (a pool
// without a number, made by an earlier release, is recognised by the tables it has). A pool
// newer than the program, or one whose change failed, is left as it was and not opened.
void openDatabase();
// The same with these settings instead of tarnwell.ini's (tarnwell-admin's options).
struct StoreSettings;
void openDatabase(const StoreSettings &settings);
void closeDatabase();
int storeSchemaVersion();
// Why openDatabase() left the pool closed (storeError() gives the details).
enum class SchemaProblem {
    None,
    TooNew,           // the pool's version (given in *version) is newer than this program's
    MigrationFailed,  // a change could not be made (storeError() says why); the pool keeps its old version
    Settings,         // tarnwell.ini cannot be used (storeError() says which line and why); nothing was opened
    NotOpened,        // the server or the file could not be opened (storeError(): the driver's words)
    NeedsSetup,       // the server's pool is older (*version) and this login may not change its schema
    MissingPrivilege, // this login lacks privileges a station needs (storeError() lists them)
};
SchemaProblem storeSchemaProblem(int *version = nullptr);
// What a station's login needs on the server, table by table (privileges as PostgreSQL
// names them): tarnwell-admin setup-server grants exactly these to the stations' group
// role, and openDatabase() checks them for a login that does not own the pool.
struct StorePrivilege {
    QString table;
    QStringList privileges;
};
QList<StorePrivilege> stationPrivileges();
// A connection of the calling (worker) thread to the pool openDatabase() opened: the same
// settings and session settings, no schema work. False, with storeError(), when it cannot
// open. Close it on the same thread before the thread ends.
bool openStoreForThisThread();
void closeStoreForThisThread();

// True when the most recent store call on this thread could not reach the store or its
// statement failed (storeError() says why). Reset at the start of every store call.
bool lastStoreCallFailed();

// True when a commit the store acknowledges is on disk: always for the file; on the
// server, when this session's synchronous_commit and the server's fsync are both on.
// False with the reason for the operator in *why otherwise, or when the server cannot
// be asked.
bool storeIsDurable(QString *why);

// On the server a statement that gets no answer within the bound (15 s; the environment's
// TARNWELL_STORE_TIMEOUT_MS at open, for tests) fails: the connection is cut, the call
// reports the failure, and the next call outside a batch connects again. A connection
// lost inside a batch ends the batch (batchIsOpen() turns false) and every call fails
// until its owner ends it with rollbackBatch() or commitBatch() (which then fails):
// nothing the owner meant for the batch can be committed on its own.
int storeTimeoutMs();

// True when the pool is on a PostgreSQL server shared by several stations.
bool storeIsServer();
// The name every log row of this program carries.
QString stationName();

// Groups writes into one transaction that takes the write lock at once (BEGIN IMMEDIATE).
// commitBatch() is true only when everything since beginBatch() is on disk; when the
// COMMIT fails the batch is rolled back, so no transaction stays open behind the caller.
// One batch at a time: beginBatch() with one open fails and leaves it open.
bool beginBatch();
bool commitBatch();
void rollbackBatch();
bool batchIsOpen();

// The driver's text for the last write or statement that failed.
QString storeError();

// Accounts and the operation log. Passwords are kept as hashes and checked on this
// station: the typed text never goes into a statement. checkLogin is signIn's id (-1 for
// every answer but Ok).
int checkLogin(const QString &loginName, const QString &password);
// Appends a row to the log, naming this station and the signed-in person, chained to the
// station's previous row (its hash covers the row and that row's hash). Inside the caller's
// batch it commits with the batch; otherwise in a transaction of its own.
bool addLog(const LogRecord &record);
bool checkAdminPassword(const QString &password);
// True when the administrator's row was changed.
bool setAdminPassword(const QString &password);

// What a person may do: an operator searches, matches, burns, pages and exports; a
// supervisor also deletes and releases pending identifiers; an administrator also imports,
// edits customers and people and sets every password. Stored in Users.UserRole.
enum class Role {
    Operator = 0,
    Supervisor = 1,
    Administrator = 2,
};
// The person signed in on this station (the program's own login). Every log row names them.
struct Person {
    qint64 id = -1;
    QString name;
    Role role = Role::Operator;
    bool signedIn() const { return id >= 0; }
};
// Set by the login (and a switch of user); cleared with Person(). Process-wide.
void setSignedInPerson(const Person &person);
Person signedInPerson();
// True when someone is signed in whose role is `needed` or above.
bool signedInMay(Role needed);

// The password the administrator account is delivered with.
extern const char kSeededAdminPassword[];
// Failed logins in a row for one name before the next try must wait, and how long.
constexpr int kLoginFailuresBeforeWait = 5;
constexpr int kLoginWaitSeconds = 30;
// What a login attempt came to. Wrong covers a name that is no account, so the answer never
// tells which names exist; Disabled is told only to the one who typed the right password.
struct LoginOutcome {
    enum Result {
        Ok,
        Wrong,
        Disabled,
        MustWait,   // too many failures: waitSeconds are left before the next try
        StoreFailed // the store could not answer or record the attempt (storeError())
    };
    Result result = StoreFailed;
    Person person;               // Ok: who signed in (not yet set as the signed-in person)
    int waitSeconds = 0;         // MustWait
    bool startedWait = false;    // Wrong: this failure made the next try wait
    bool seededPassword = false; // Ok: admin still has kSeededAdminPassword
};
// Checks `password` against the stored hash of `loginName` (exact name). Five failures in
// a row make the next try wait 30 s, kept in the account's row so every station sees it
// (for names that are no account, in this process); a success resets the count. An older
// pool's plain-text password is replaced by its hash at its first success.
LoginOutcome signIn(const QString &loginName, const QString &password);
// The signed-in person's own password: checked against and stored as their own hash.
bool checkOwnPassword(qint64 personId, const QString &password);
// True when the person's row was changed.
bool setOwnPassword(qint64 personId, const QString &password);

// The people who may sign in, as an administrator manages them. A person is never deleted
// (the log names them): they are disabled. No change leaves the pool without an enabled
// administrator. Passwords come and go only as passwordhash's hashes, and never out.
struct PersonRow {
    qint64 id = -1;
    QString name;
    Role role = Role::Operator;
    bool disabled = false;
};
// The longest name, in bytes of UTF-8.
constexpr int kMaxPersonNameBytes = 64;
enum class PeopleChange {
    Done,
    NameInvalid,       // empty, or a blank at either end (the login trims what is typed)
    NameTooLong,       // longer than kMaxPersonNameBytes bytes
    NameTaken,         // someone (enabled or not) has that name already
    NotAHash,          // the password was not given as a hash
    NoSuchPerson,      // no person has that id
    NoSuchRole,        // the role is none of Role's
    LastAdministrator, // the pool would be left without an enabled administrator
    Failed,            // the store could not answer or write; storeError() says why
};
// Everyone, in the order they were added.
QList<PersonRow> allPeople();
// Each runs in the caller's batch when one is open (so a log row can go with it), else in
// its own; a refused change writes nothing.
PeopleChange addPerson(const QString &name, const QString &passwordHash, Role role, qint64 *id = nullptr);
PeopleChange setPersonDisabled(qint64 id, bool disabled);
PeopleChange setPersonRole(qint64 id, Role role);
PeopleChange setPersonPassword(qint64 id, const QString &passwordHash);

// A zero-filled log record holding the two texts (cut to their widths).
LogRecord makeLogRecord(const QString &type, const QString &describe);

// Which rows of the pool the Serial page shows: one customer's (0: any), in one usage
// (SerialUse; -1: any), of a device type (empty: any). A row's type matches when it
// contains the text as SQL LIKE sees it (on the file ASCII letters match in either case);
// the text's own %, _ and \ match only themselves.
struct SerialFilter {
    int customerId = 0;
    int isUse = -1;
    QString deviceType;
};

// Serial-number pool.
int countSerials(const SerialFilter &filter);
bool insertSerial(const SerialRecord &record);
bool serialExists(const QString &serialNumber);
// What storeNewSerials did with the values it was given: stored, or left out because the
// pool already holds the value (for any customer) in that state. A value held in several
// states counts once, by the first of used, pending, retired, unused.
struct NewSerialsTally {
    qint64 stored = 0;
    qint64 unused = 0;
    qint64 used = 0;
    qint64 pending = 0;
    qint64 retired = 0;
};
// The import's bulk form of serialExists and insertSerial, a few statements per thousand
// values, inside the caller's batch: of `values` (distinct), stores those the pool has
// never held (neither in SerialNumbers nor retired, for any customer) as unused
// identifiers of the customer, in their order, each naming the import batch `batchId`
// (0: none); *tally says what became of them. False, with storeError(), when the store
// could not answer or write (the caller rolls the batch back).
bool storeNewSerials(const QStringList &values, int customerId, NewSerialsTally *tally, qint64 batchId = 0);
// Retires every row holding the serial number: it moves to RetiredSerials with its state,
// device and import batch (and the time and station), so it is never offered, claimed or
// imported again; the pool's counts drop with it, and a Deleted event tells of it. One
// transaction: the caller's batch when one is
// open, else its own. True when that went through (a serial number no longer in the pool
// is already retired or never was).
bool deleteSerial(const QString &serialNumber);
QString serialOfDevice(const QString &deviceSerialNum);
// Pending -> used, for the device the identifier was claimed for; true when it was.
bool markSerialUsed(const QString &serialNumber, const QString &deviceSerialNum, const QString &deviceType,
                    const QString &deviceIp);
QList<SerialRecord> pageSerials(int pageIndex, int pageSize, const SerialFilter &filter);
QList<SerialRecord> unusedSerials(int count, int customerId);

// Usage values of IsUse. Pending: claimed for one device (its type, serial number and IP
// are recorded) before the identifier is written into it; never offered to another device.
// A build that knows only 0 and 1 neither offers nor counts it as unused.
// Void: taken out of a device by a replacement (its device stays recorded); never offered
// again. Released: a pending identifier its device was read back without, freed by a
// supervisor; this program offers it again, builds that know only 0 to 2 never do.
enum SerialUse {
    SerialUnused = 0,
    SerialUsed = 1,
    SerialPending = 2,
    SerialVoid = 3,
    SerialReleased = 4
};

// The same identifiers unusedSerials offers, as whole values: a record's field may cut a
// stored value, and a cut value could name a different row.
QStringList unusedSerialNumbers(int count, int customerId);

// Claims an unused identifier of the customer for a device: unused -> pending, in one
// statement that checks it is still unused (and the device holds none yet). Run it inside a
// batch with the log row that says where the identifier goes.
enum class ClaimResult {
    Claimed,     // the identifier is now pending for the device
    Taken,       // another program claimed or used it first (or it is gone)
    DeviceHolds, // the device already holds a used or pending identifier
    Failed,      // the store could not write; storeError() says why
};
ClaimResult claimSerial(const QString &serialNumber, int customerId, const QString &deviceSerialNum,
                        const QString &deviceType, const QString &deviceIp);

// One row of the pool as the Serial page shows it, with whole values (a record's fields
// may cut a stored value) and the row's key.
struct SerialRow {
    qint64 snid = 0;
    QString serialNumber;
    QString customerName;
    int isUse = SerialUnused;
    QString deviceType;
    QString deviceSerialNum;
    QString deviceIp;
};
// The rows pageSerials returns, newest first.
QList<SerialRow> pageSerialRows(int pageIndex, int pageSize, const SerialFilter &filter);
// The same pages reached without skipping rows, for a pool of millions: the `count` rows
// just older than `snid` (the next page), just newer (the previous page), each newest
// first; and page `pageIndex` skipped to from whichever end of the `total` rows is nearer.
// For an unchanged pool each gives exactly the rows pageSerials gives for that page.
QList<SerialRow> serialRowsBelow(qint64 snid, int count, const SerialFilter &filter);
QList<SerialRow> serialRowsAbove(qint64 snid, int count, const SerialFilter &filter);
QList<SerialRow> seekSerialPage(int pageIndex, int pageSize, const SerialFilter &filter, int total);

// On the server, where several stations claim from one pool: claims the customer's newest
// unused identifier for the device, skipping those other stations are claiming at this
// moment, and gives it in `claimed`. On the file it claims nothing and answers Taken.
ClaimResult claimNextSerial(int customerId, const QString &deviceSerialNum, const QString &deviceType,
                            const QString &deviceIp, QString *claimed);

// The identifier recorded for a device, used or pending (never void or released); isUse 0
// and empty when none.
struct DeviceHolding {
    QString serialNumber;
    int isUse = SerialUnused;
    int customerId = 0;
};
DeviceHolding holdingOfDevice(const QString &deviceSerialNum);

// Customers.
std::unique_ptr<CustomerRecord> customerById(int customerId);
// True when exactly the named customer's row was changed.
bool updateCustomer(const QString &customerName, const QString &customerValue, const QString &hostAddr, int port);
QList<CustomerRecord> allCustomers();

// The last hash of every station's log chain (stations without a chained row have none), in
// the order of the station names. False, with storeError(), when the log could not be read.
namespace logchain {
struct Head;
}
bool readLogChainHeads(QList<logchain::Head> *heads);

// Log paging.
int countLogs();
QList<LogRecord> pageLogs(int pageIndex, int pageSize);
// The same page with the station and the person that wrote each row (empty for rows of
// earlier versions, and the person for rows written with nobody signed in).
struct LogRow {
    QString type;
    QString describe;
    QString date;
    QString station;
    qint64 id = 0;
    QString user;
};
QList<LogRow> pageLogRows(int pageIndex, int pageSize);
// By key, as for the pool: the next and previous pages, and a page skipped to from the
// nearer end of `total` rows.
QList<LogRow> logRowsBelow(qint64 logId, int count);
QList<LogRow> logRowsAbove(qint64 logId, int count);
QList<LogRow> seekLogPage(int pageIndex, int pageSize, int total);

// Every serial number of `filter` (as for pageSerials) in the Serial page's order, newest
// first, for the export: whole values as UTF-8 bytes, valid only during the visit.
struct SerialBytes {
    QByteArray serialNumber;
    QByteArray customerName;
    int isUse = SerialUnused;
    QByteArray deviceType;
    QByteArray deviceSerialNum;
    QByteArray deviceIp;
    // The latest copy of its label: its LabelState (-1: no label), copy and why it failed.
    int labelState = -1;
    int labelCopy = 0;
    QByteArray labelError;
};
// Read in chunks by key, so a pool of any size costs one chunk of memory and no read stays
// open between chunks. Stops early when `visit` returns false. False when a read failed
// (storeError() says why); rows already visited stay visited.
bool forEachSerial(const SerialFilter &filter, const std::function<bool(const SerialBytes &)> &visit);

// A row of an exported pool that names an identifier in a state other than unused, with its device.
struct StatedSerial {
    QString serialNumber;
    QString customerName;   // matched by name among this pool's customers
    int isUse = SerialUsed; // any SerialUse but SerialUnused
    QString deviceType;
    QString deviceSerialNum;
    QString deviceIp;
};
// What storeStatedSerials did with one row.
enum class StatedOutcome {
    Stored,          // the pool lacked it: stored with its state and device
    Learned,         // it was unused here: it took the row's state and device
    Present,         // already held here (not unused) for the same device: nothing to do
    UnknownCustomer, // this pool has no customer of that name
    OtherDevice,     // already held here (not unused) for another device
    Retired,         // retired here
    DeviceHolds,     // the device already holds another identifier here
};
// The import's step for such rows, inside the caller's batch, in their order (a row sees
// what the rows before it did). An identifier held here is never overwritten, and no
// device ends with two identifiers. `outcomes` gets one entry per row; a row stored anew
// names the import batch `batchId` (0: none). False, with storeError(), when the store
// could not answer or write (the caller rolls back).
bool storeStatedSerials(const QList<StatedSerial> &rows, QVector<StatedOutcome> *outcomes, qint64 batchId = 0);
