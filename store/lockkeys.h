// The server's advisory lock keys, in one place. Each guards one kind of work against
// itself: the schema against two stations making it at once, an import batch against
// another station's import batch, a merge against a second merge. The import and the
// merge have keys of their own, so neither refuses or waits for the other (the merge
// holds the stations' claims back by locking the table per batch). A station's log chain
// is locked per transaction with the class key kLogChain and the station's own key, so a
// station's log rows never wait for another station's.
#pragma once

#include <QtGlobal>

namespace lockkeys {
constexpr qint64 kSchema = 7274461, kImport = 7274462, kMerge = 7274463;
constexpr int kLogChain = 7274464;
} // namespace lockkeys
