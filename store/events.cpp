// The events of identifiers and devices.
#include "store/datastore.h"
#include "store/storecore.h"

#include <QDateTime>

using namespace storecore;

namespace {

// Texts are stored as given; "none" is the empty text (the store binds no NULL text).
bool insertEvent(const SerialEvent &e)
{
    const QString date = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const Person person = signedInPerson();
    return run(QStringLiteral("INSERT INTO SerialEvents (SerialNumber, DeviceSerialNum, EventKind, EventDetail, "
                              "RelatedSerial, EventDate, EventStation, EventUser) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"),
               {e.serialNumber, e.deviceSerialNum, int(e.kind), e.detail, e.related, date, station,
                person.signedIn() ? person.name : QString()});
}

} // namespace

bool recordSerialEvent(const SerialEvent &event)
{
    const StoreCall call;
    if (batchIsOpen())
        return insertEvent(event);
    if (!beginBatch())
        return false;
    if (!insertEvent(event)) {
        const QString why = storeError();
        rollbackBatch();
        fail(why);
        return false;
    }
    return commitBatch();
}
