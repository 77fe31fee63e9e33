// The operation log's hash chains: each row's LogHash covers its own fields and the hash of
// the row before it of the same station (one chain per LogStation, so stations never wait
// on one another). A row changed, inserted or removed breaks the chain at that point;
// tarnwell-admin verify-log walks it, addLog and the merge extend it.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QPair>
#include <QSet>
#include <QString>
#include <QVariant>

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
// One hash over every chain's head, whatever order they are given in.
QByteArray overallHead(const QList<Head> &heads);

// Checks rows handed to it in LogID order, each against its station's chain. Rows without a
// hash before their station's first chained row were written before the chain (unchained);
// one after it is a break. The first row that breaks a chain is kept.
class Walker
{
public:
    // `station` and `hash` as the columns hold them (a NULL hash: an unchained row).
    void add(qint64 id, const QString &type, const QString &describe, const QString &date, const QString &station,
             const QString &user, const QVariant &hash);

    struct Chain {
        QByteArray head;
        qint64 chained = 0;
    };
    qint64 rows() const { return rows_; }
    qint64 chained() const { return chained_; }
    qint64 unchained() const { return rows_ - chained_; }
    // The chains that hold a chained row, by station.
    const QMap<QString, Chain> &chains() const { return chains_; }
    QList<Head> heads() const;

    bool broken() const { return brokenId_ >= 0; }
    qint64 brokenId() const { return brokenId_; }
    QString brokenStation() const { return brokenStation_; }
    QString brokenWhy() const { return brokenWhy_; }

    // Heads recorded earlier: found() tells whether the chain held each (intact up to it).
    void expect(const QList<Head> &heads);
    bool found(const Head &head) const { return found_.contains(head.hash); }

private:
    qint64 rows_ = 0, chained_ = 0;
    QMap<QString, Chain> chains_;
    qint64 brokenId_ = -1;
    QString brokenStation_, brokenWhy_;
    QHash<QString, QSet<QByteArray>> expected_;
    QSet<QByteArray> found_;
};

} // namespace logchain
