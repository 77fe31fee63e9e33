// SimProcess: runs tarnwell-devicesim as a child process for tests and benchmarks.
//
//   devicesim::SimProcess sim;
//   QVERIFY2(sim.start({"--devices", "500", "--loss", "0.3"}), qPrintable(sim.errorText()));
//   sim.exportTarget();                 // Z7_NETSDK_TARGETS=127.0.0.1:<its port>
//   ... Z7_NET_DVR_Init(), discovery, writes ...
//   QJsonObject d = sim.device(serial); // that device's entry in the state file
//   sim.stop();
//
// start(args, readyTimeoutMs): starts the simulator with args and waits until it
//   listens. Unless args name them, it adds "--port 0" (a free port of its own, so
//   parallel runs never meet) and "--state <file in a temporary folder the object
//   owns>". Calling start again after stop reuses that state file, which is how a
//   restart is simulated. False, with errorText(), if it fails or is not ready in time.
//   It also adds "--no-sync" unless `sync` is set: no test simulates a power cut, and
//   an fsync per write on a busy disk can outlast the library's wait for an answer.
// stop(): ends the process (SIGTERM, then SIGKILL) and waits for it. The destructor stops.
// port(), target(), exportTarget(): where it listens once started.
// stateFile(), state(), devices(), serials(), device(serial): the state file as last written.
// program(): the simulator binary: TARNWELL_DEVICESIM when the build defines it (link
//   the CMake target tarnwell_simprocess), else tarnwell-devicesim beside the running program.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace devicesim {

class SimProcess
{
public:
    SimProcess() = default;
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;
    ~SimProcess() { stop(); }

    static QString program()
    {
#ifdef TARNWELL_DEVICESIM
        return QStringLiteral(TARNWELL_DEVICESIM);
#else
        return QCoreApplication::applicationDirPath() + QStringLiteral("/tarnwell-devicesim");
#endif
    }

    bool start(const QStringList &args = {}, int readyTimeoutMs = 15000)
    {
        stop();
        error_.clear();
        QStringList all = args;
        if (!all.contains(QStringLiteral("--port")))
            all << QStringLiteral("--port") << QStringLiteral("0");
        if (!sync && !all.contains(QStringLiteral("--no-sync")))
            all << QStringLiteral("--no-sync");
        const int stateAt = all.indexOf(QStringLiteral("--state"));
        if (stateAt >= 0 && stateAt + 1 < all.size()) {
            stateFile_ = all.at(stateAt + 1);
        } else {
            if (!tempDir_)
                tempDir_ = std::make_unique<QTemporaryDir>();
            stateFile_ = tempDir_->filePath(QStringLiteral("devicesim-state.json"));
            all << QStringLiteral("--state") << stateFile_;
        }
        process_ = std::make_unique<QProcess>();
        process_->setProcessChannelMode(QProcess::SeparateChannels);
        process_->start(program(), all);
        const QRegularExpression ready(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
        QByteArray out;
        QDeadlineTimer deadline(readyTimeoutMs);
        while (!deadline.hasExpired()) {
            if (process_->state() == QProcess::NotRunning && !process_->bytesAvailable())
                break;
            process_->waitForReadyRead(int(qBound<qint64>(1, deadline.remainingTime(), 100)));
            out += process_->readAllStandardOutput();
            const QRegularExpressionMatch m = ready.match(QString::fromUtf8(out));
            if (m.hasMatch()) {
                port_ = quint16(m.captured(1).toUInt());
                return true;
            }
        }
        error_ = QStringLiteral("%1 did not start: %2 %3")
                     .arg(program(), process_->errorString(), QString::fromUtf8(process_->readAllStandardError()));
        stop();
        return false;
    }

    void stop()
    {
        if (!process_)
            return;
        if (process_->state() != QProcess::NotRunning) {
            process_->terminate();
            if (!process_->waitForFinished(5000)) {
                process_->kill();
                process_->waitForFinished(5000);
            }
        }
        process_.reset();
        port_ = 0;
    }

    bool sync = false; // keep the simulator's fsync of its state file (see start)

    bool isRunning() const
    {
        return process_ && process_->state() == QProcess::Running;
    }
    QString errorText() const
    {
        return error_;
    }
    quint16 port() const
    {
        return port_;
    }
    QString target() const
    {
        return QStringLiteral("127.0.0.1:%1").arg(port_);
    }
    void exportTarget() const
    {
        qputenv("Z7_NETSDK_TARGETS", target().toLatin1());
    }

    QString stateFile() const
    {
        return stateFile_;
    }
    QJsonObject state() const
    {
        QFile file(stateFile_);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QJsonDocument::fromJson(file.readAll()).object();
    }
    QJsonArray devices() const
    {
        return state().value(QStringLiteral("devices")).toArray();
    }
    QStringList serials() const
    {
        QStringList out;
        const QJsonArray list = devices();
        for (const QJsonValue &v : list)
            out << v.toObject().value(QStringLiteral("serial")).toString();
        return out;
    }
    QJsonObject device(const QString &serial) const
    {
        const QJsonArray list = devices();
        for (const QJsonValue &v : list) {
            if (v.toObject().value(QStringLiteral("serial")).toString() == serial)
                return v.toObject();
        }
        return {};
    }

private:
    std::unique_ptr<QProcess> process_;
    std::unique_ptr<QTemporaryDir> tempDir_;
    QString stateFile_;
    QString error_;
    quint16 port_ = 0;
};

} // namespace devicesim
