// A line of simulated devices behind one loopback UDP port, speaking the protocol of
// docs/protocol.md, with the faults a factory network shows.
#pragma once

#include "platform/netsdk/wire.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>

#include <map>
#include <random>

class QUdpSocket;

struct SimDevice {
    QString serial, type, ip, user;
    QString password;      // the one it reports in discovery
    QString loginPassword; // the one a write must carry; differs on a changed-password device
    bool refusesWrites = false;
    // What the last applied write left in the device; form is empty until then.
    QString form, uuid, uuidKind, hostAddr, requestId;
    int port = 0;
    int applied = 0;   // writes applied
    int requests = 0;  // writes that reached it, repeats and refused ones included
    int forgotten = 0; // writes acknowledged as applied that it did not keep (--forget)
    int corrupted = 0; // writes acknowledged as applied that it kept changed (--corrupt)

    QJsonObject toJson() const;
};

struct LineOptions {
    int devices = 24;
    quint64 seed = 1;
    QString type;             // "DVR", "NVR", "IPC", or empty for a mix
    double loss = 0;          // chance that any one datagram, in or out, is lost
    int delayMs = 0;          // added to every answer
    int refusing = 0;         // the first N devices refuse writes
    int changedPasswords = 0; // the last N devices accept only a changed password
    double duplicates = 0;    // chance that an answer is sent twice
    bool sync = true;         // fsync the state file before a write is acknowledged
    int forgetPercent = 0;    // share of applied writes acknowledged but not kept
    int corruptPercent = 0;   // share of applied writes acknowledged but kept changed
};

class DeviceLine : public QObject
{
    Q_OBJECT
public:
    explicit DeviceLine(const LineOptions &options, QObject *parent = nullptr);

    // The devices the seed and options give, or those the state file holds when it
    // exists. False with a message when the file cannot be used; it is left untouched.
    bool load(const QString &stateFile, QString *error);
    const QVector<SimDevice> &devices() const { return devices_; }

    // Binds 127.0.0.1:port (0 picks a free port) and writes the state file.
    bool listen(quint16 port, QString *error);
    quint16 port() const;

private:
    void readPending();
    void handleProbe(const z7wire::Probe &probe, const QHostAddress &from, quint16 fromPort);
    void handleWrite(const z7wire::Write &write, const QHostAddress &from, quint16 fromPort);
    void handleRead(const z7wire::ReadUuid &read, const QHostAddress &from, quint16 fromPort);
    void applyWrite(SimDevice &d, const z7wire::Write &write, const QString &requestId);
    void answer(const z7wire::Bytes &datagram, const QHostAddress &to, quint16 toPort, int delayMs);
    void sendDue();
    bool lost();
    bool saveState();
    bool replaceFile(const QByteArray &path, const QByteArray &bytes);

    struct Outgoing {
        QByteArray data;
        QHostAddress to;
        quint16 port;
    };

    LineOptions options_;
    QString stateFile_;
    QVector<SimDevice> devices_;
    QHash<QString, int> bySerial_;
    QUdpSocket *socket_ = nullptr;
    QTimer sendTimer_;
    QElapsedTimer clock_;
    std::multimap<qint64, Outgoing> queue_; // due time (ms on clock_) -> datagram
    std::mt19937_64 random_;
    // Drawn once per applied write, from the seed: the same run of writes meets the
    // same forgetting and corrupting devices, whatever the loss and timing did.
    std::mt19937_64 faultRandom_;
};
