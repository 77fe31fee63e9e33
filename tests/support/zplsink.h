// A ZPL label printer on 127.0.0.1 for tests and benchmarks. Like a printer's raw port it
// reads each connection to its end, then closes; it keeps each ^XA..^XZ job's QR identifier
// and when it arrived.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

#include <chrono>
#include <functional>

namespace testsupport {

// Nanoseconds on the clock the sink stamps arrivals with.
inline qint64 steadyNsecs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The identifier in a job's QR: the ^FD field after ^BQ, without its "MA," mode, with ^FH's
// _XX escapes undone. Empty when the job has no QR field.
inline QString zplQr(const QByteArray &job)
{
    const int bq = job.indexOf("^BQ");
    const int fd = bq < 0 ? -1 : job.indexOf("^FD", bq);
    const int fs = fd < 0 ? -1 : job.indexOf("^FS", fd);
    if (fs < 0)
        return QString();
    QByteArray field = job.mid(fd + 3, fs - fd - 3);
    if (field.startsWith("MA,"))
        field.remove(0, 3);
    QByteArray raw;
    for (int i = 0; i < field.size(); ++i) {
        bool ok = false;
        const int b = field.at(i) == '_' ? field.mid(i + 1, 2).toInt(&ok, 16) : 0;
        if (ok) {
            raw += char(b);
            i += 2;
        } else {
            raw += field.at(i);
        }
    }
    return QString::fromUtf8(raw);
}

class ZplSink
{
public:
    struct Job {
        QString qr;
        qint64 arrivedNs = 0;
    };
    QList<Job> jobs;
    int jobsCut = 0;  // connections that ended without a whole ^XA..^XZ job
    int dropNext = 0; // this many next connections are reset on arrival (nothing read)
    std::function<void(const Job &)> arrived;

    // Listens on 127.0.0.1 at `port` (0: any free one, kept for the next open()).
    bool open(quint16 port = 0)
    {
        if (!server.listen(QHostAddress::LocalHost, port ? port : portNumber))
            return false;
        portNumber = server.serverPort();
        QObject::connect(
            &server, &QTcpServer::newConnection, &server, [this] { accept(); }, Qt::UniqueConnection);
        return true;
    }
    // Nobody listens any more: a connection is refused.
    void close() { server.close(); }
    quint16 port() const { return portNumber; }
    QString printer() const { return QStringLiteral("zpl://127.0.0.1:%1").arg(portNumber); }
    QStringList qrs() const
    {
        QStringList out;
        for (const Job &j : jobs)
            out << j.qr;
        return out;
    }

private:
    QTcpServer server;
    quint16 portNumber = 0;

    void accept()
    {
        while (QTcpSocket *s = server.nextPendingConnection()) {
            if (dropNext > 0) {
                --dropNext;
                s->abort();
                s->deleteLater();
                continue;
            }
            auto *buffer = new QByteArray;
            QObject::connect(s, &QTcpSocket::readyRead, s, [s, buffer] { *buffer += s->readAll(); });
            QObject::connect(s, &QTcpSocket::readChannelFinished, s, [s] { s->disconnectFromHost(); });
            QObject::connect(s, &QTcpSocket::disconnected, s, [this, s, buffer] {
                *buffer += s->readAll();
                take(*buffer);
                delete buffer;
                s->deleteLater();
            });
        }
    }

    void take(const QByteArray &data)
    {
        int from = 0;
        bool whole = false;
        for (;;) {
            const int start = data.indexOf("^XA", from);
            const int end = start < 0 ? -1 : data.indexOf("^XZ", start);
            if (end < 0)
                break;
            Job j;
            j.qr = zplQr(data.mid(start, end - start));
            j.arrivedNs = steadyNsecs();
            jobs.append(j);
            whole = true;
            if (arrived)
                arrived(j);
            from = end + 3;
        }
        if (!whole)
            ++jobsCut;
    }
};

} // namespace testsupport
