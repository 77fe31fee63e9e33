// The words a history is shown in, shared by the Serial page's History dialog and
// tarnwell-admin history: one word per event kind and the detail line of an entry.
#pragma once

#include "store/history.h"

#include <QCoreApplication>
#include <QString>

namespace jobs {

class HistoryWords
{
    Q_DECLARE_TR_FUNCTIONS(HistoryWords)
public:
    // The event's word ("claimed", "written"...), translated when a translation is loaded.
    static QString event(SerialEventKind kind);
    // The entry's detail with what it links to (the replacement, the replaced identifier,
    // the state a pool row is in).
    static QString detail(const HistoryEntry &entry);
};

} // namespace jobs
