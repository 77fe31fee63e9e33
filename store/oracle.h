// The pool's reads as first designed, with the filter as SQL text: whole statements that
// count or skip every row they pass. The fast paths (count tables, keys, narrowed filters)
// must give exactly their rows; tests check them against these. Not for the program.
#pragma once

#include "store/datastore.h"

#include <QList>
#include <QString>

namespace oracle {

// The filter as the Serial page once wrote it: conditions starting with " AND", values
// in the text (the type's quotes doubled, its wildcards escaped).
QString filterText(const SerialFilter &filter);
// COUNT(*) of the pool's rows the filter selects.
int countSerials(const QString &filter);
// The filter's rows, newest first, skipping pageIndex * pageSize of them.
QList<SerialRecord> pageSerials(int pageIndex, int pageSize, const QString &filter);

} // namespace oracle
