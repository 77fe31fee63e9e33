#include "store/logchain.h"

#include <QCryptographicHash>
#include <QList>
#include <QPair>
#include <QRegularExpression>
#include <QUrl>
#include <QtEndian>

#include <algorithm>

namespace logchain {

namespace {

void addText(QCryptographicHash &hash, const QString &text)
{
    char length[4];
    const QByteArray bytes = text.toUtf8();
    qToBigEndian<quint32>(quint32(bytes.size()), length);
    hash.addData(length, 4);
    hash.addData(bytes);
}

} // namespace

QByteArray seed()
{
    return QByteArray(64, '0');
}

QByteArray rowHash(const QByteArray &previous, const QString &type, const QString &describe, const QString &date,
                   const QString &station, const QString &user)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    // The version tag lets a later encoding live beside this one.
    hash.addData("tarnwell-log-1", 14);
    hash.addData(previous);
    addText(hash, type);
    addText(hash, describe);
    addText(hash, date);
    addText(hash, station);
    addText(hash, user);
    return hash.result().toHex();
}

QByteArray overallHead(const QList<Head> &heads)
{
    // In the stations' order as this program sorts them (a server's collation may differ).
    QList<Head> sorted = heads;
    std::sort(sorted.begin(), sorted.end(), [](const Head &a, const Head &b) { return a.station < b.station; });
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData("tarnwell-log-heads-1", 20);
    for (const Head &head : sorted) {
        addText(hash, head.station);
        hash.addData(head.hash);
    }
    return hash.result().toHex();
}

QByteArray formatHeads(const QList<Head> &heads)
{
    QByteArray text("# Tarnwell log heads; check them with: tarnwell-admin verify-log --expect-heads FILE\n");
    for (const Head &head : heads)
        text.append("chain ").append(head.hash).append(' ').append(QUrl::toPercentEncoding(head.station)).append('\n');
    text.append("head ").append(overallHead(heads)).append('\n');
    return text;
}

bool parseHeads(const QByteArray &text, QList<Head> *heads, QString *error)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{64}$"));
    heads->clear();
    bool overall = false;
    int lineNumber = 0;
    for (const QByteArray &raw : text.split('\n')) {
        ++lineNumber;
        const QByteArray line = raw.trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QList<QByteArray> parts = line.split(' ');
        // A station of an empty name leaves nothing after the hash.
        const bool chain = (parts.size() == 3 || parts.size() == 2) && parts.at(0) == "chain";
        const bool head = parts.size() == 2 && parts.at(0) == "head";
        if ((!chain && !head) || !hex.match(QString::fromLatin1(parts.at(1))).hasMatch()) {
            *error = QStringLiteral("line %1 is neither \"chain HASH STATION\" nor \"head HASH\"").arg(lineNumber);
            return false;
        }
        if (chain)
            heads->append({QUrl::fromPercentEncoding(parts.value(2)), parts.at(1)});
        else
            overall = true;
    }
    if (!overall) {
        *error = QStringLiteral("it has no \"head\" line (cut short?)");
        return false;
    }
    return true;
}

int stationLockKey(const QString &station)
{
    const QByteArray digest = QCryptographicHash::hash(station.toUtf8(), QCryptographicHash::Sha256);
    return qFromBigEndian<qint32>(digest.constData());
}

void Walker::add(qint64 id, const QString &type, const QString &describe, const QString &date, const QString &station,
                 const QString &user, const QVariant &hash)
{
    ++rows_;
    const auto breaks = [&](const QString &why) {
        if (brokenId_ < 0) {
            brokenId_ = id;
            brokenStation_ = station;
            brokenWhy_ = why;
        }
    };
    auto chain = chains_.find(station);
    if (hash.isNull()) {
        // Once a station's chain has begun, a row without a hash was put there behind the
        // program's back.
        if (chain != chains_.end())
            breaks(QStringLiteral("it has no hash, yet it follows chained rows of its station (inserted, or its "
                                  "hash removed)"));
        return;
    }
    const QByteArray stored = hash.toString().toLatin1();
    const QByteArray previous = chain != chains_.end() ? chain->head : seed();
    if (rowHash(previous, type, describe, date, station, user) != stored)
        breaks(QStringLiteral("its hash does not follow from its fields and the row before it in the station's "
                              "chain (the row was changed or inserted, or a row before it removed)"));
    if (chain == chains_.end())
        chain = chains_.insert(station, Chain());
    chain->head = stored;
    ++chain->chained;
    ++chained_;
    const auto wanted = expected_.constFind(station);
    if (wanted != expected_.constEnd() && wanted->contains(stored))
        found_.insert(stored);
}

QList<Head> Walker::heads() const
{
    QList<Head> out;
    for (auto c = chains_.cbegin(); c != chains_.cend(); ++c)
        out.append({c.key(), c->head});
    return out;
}

void Walker::expect(const QList<Head> &heads)
{
    for (const Head &head : heads)
        expected_[head.station].insert(head.hash);
}

} // namespace logchain
