// The import run: one file's values into the pool, in batches under the import lock,
// counted, with a log row before the first value and one at the end. No widget, no box:
// the refusal, the tallies and a store failure come back in ImportResult, progress goes
// to the listener.
#pragma once

#include "formats/csvimport.h"
#include "formats/xmlimport.h"
#include "jobs/joblistener.h"
#include "store/datastore.h"

#include <QCoreApplication>
#include <QString>

namespace jobs {

// progress(values read, 0), at most every few tenths of a second while the file is read,
// and once more before the closing log row.
class ImportListener : public JobListener
{
};

// The rows of an export that came in or not, by cause.
struct StatedTally {
    qint64 cameIn = 0;       // stored or learned as used / pending, with the device
    qint64 present = 0;      // already used or pending here for the same device
    qint64 noCustomer = 0;   // this pool has no customer of the row's name
    qint64 otherDevice = 0;  // used or pending here for another device
    qint64 retired = 0;      // retired here
    qint64 deviceHolds = 0;  // the device holds another identifier here
    qint64 unknownState = 0; // a text of the Is-used column that is no state

    qint64 notStored() const { return present + noCustomer + otherDevice + retired + deviceHolds; }
    void add(const StatedTally &t);
};

// Why a value of the file was not stored, for the report the operator may save.
enum class ImportRefusal {
    Unusable,  // empty, too long for a device, or unreadable text
    Pattern,   // does not match the customer's identifier pattern
    ErrorCell, // a cell holding an error, or a stale formula result (the value is its code)
};
struct RefusedValue {
    QString value;
    ImportRefusal why = ImportRefusal::Unusable;
};
// A report lists at most this many refused values (a run may refuse millions).
constexpr int kMaxListedRefusals = 100000;

struct ImportResult {
    enum class Outcome {
        Refused,     // nothing read, nothing stored, nothing logged; `refusal` says why
        Completed,   // every value read
        ReadFailed,  // the file broke part-way; what was read before is stored
        StoreFailed, // the store could not write (`storeFailure`); committed batches stay
    };
    enum class Refusal {
        None,
        CannotOpen,   // the file cannot be read
        NotWorkbook,  // neither XLSX nor XLS, or a workbook that cannot be opened
        Xml,          // an XML file the screen refused: `xml`, and `line`/`column` when malformed
        Csv,          // a CSV file the screen refused: `csv`, `line`
        NotPermitted, // the signed-in person is no administrator: the file was not opened
    };

    Outcome outcome = Outcome::Refused;
    Refusal refusal = Refusal::None;
    xmlimport::Refusal xml = xmlimport::Refusal::None;
    csvimport::Refusal csv = csvimport::Refusal::None;
    qint64 line = 0;
    qint64 column = 0;

    qint64 succeeded = 0;
    qint64 failed = 0;
    StatedTally stated;
    // Of the failed: values committed batches found in the pool, by state.
    NewSerialsTally inPool;
    QString storeFailure;
    // Of the failed: values the customer's pattern refused; the values refused by the run
    // itself (not those the pool held), the first kMaxListedRefusals of them.
    qint64 patternRefused = 0;
    QList<RefusedValue> refusals;
    qint64 refusalsNotListed = 0;
    // The closing log row; logFailure says why it could not be written.
    bool logged = false;
    QString logFailure;
};

class ImportJob
{
    Q_DECLARE_TR_FUNCTIONS(ImportJob)
public:
    enum class Kind {
        None, // no reader: an empty run, logged
        Xml,
        Workbook,
        Csv,
    };
    // The reader a path asks for: XML is tested first; the tests are case-sensitive and
    // match anywhere in the path, and ".xls" also covers ".xlsx".
    static Kind kindOf(const QString &path);

    // The earlier imports of a file with the same bytes (by SHA-256), newest first, so the
    // page can ask before the same identifiers are offered again. False, with storeError(),
    // when the store could not answer; an unreadable file has none.
    static bool earlierImports(const QString &path, QList<BatchReport> *batches);

    ImportJob(const QString &path, int customerId, Kind kind);
    ImportResult run(ImportListener &listener);

private:
    const QString path;
    const int customerId;
    const Kind kind;
};

} // namespace jobs
