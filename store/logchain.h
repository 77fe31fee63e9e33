// The operation log's hash chains: each row's LogHash covers its own fields and the hash of
// the row before it of the same station (one chain per LogStation, so stations never wait
// on one another). A row changed, inserted or removed breaks the chain at that point;
// tarnwell-admin verify-log walks it, addLog and the merge extend it.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

namespace logchain {

// What the first chained row of a station follows.
QByteArray seed();

// The hex SHA-256 of the row's fields after `previous`. Each text is length-prefixed, so no
// two rows encode alike. A NULL column counts as an empty text (drivers tell them apart
// unreliably); a row written with nobody signed in holds NULL as its person.
QByteArray rowHash(const QByteArray &previous, const QString &type, const QString &describe, const QString &date,
                   const QString &station, const QString &user);

// The server's advisory lock of one station's chain: the class key (lockkeys::kLogChain)
// and this station's key in it.
int stationLockKey(const QString &station);

// The heads of the chains at one moment, as an export records them beside its file and
// verify-log checks them later: a row cut off the end of a chain leaves no other trace.
struct Head {
    QString station;
    QByteArray hash;
};
// Text, one "chain HASH STATION" line per chain (the station percent-encoded) and a
// "head HASH" line over them all.
QByteArray formatHeads(const QList<Head> &heads);
// False, with why in *error, for a text that is not such a file.
bool parseHeads(const QByteArray &text, QList<Head> *heads, QString *error);
QByteArray overallHead(const QList<Head> &heads);

} // namespace logchain
