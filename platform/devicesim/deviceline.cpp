#include "platform/devicesim/deviceline.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkDatagram>
#include <QUdpSocket>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

std::string utf8(const QString &text)
{
    return text.toUtf8().toStdString();
}

QString fromUtf8(const std::string &text)
{
    return QString::fromUtf8(text.data(), int(text.size()));
}

// A password the device now wants instead of the one it still reports; never equal to it.
QString changedPassword(const QString &reported)
{
    return reported.left(14) + (reported.endsWith(QLatin1Char('#')) ? QStringLiteral("*") : QStringLiteral("#"));
}

z7wire::Announce announceOf(const SimDevice &d)
{
    z7wire::Announce a;
    a.ip = utf8(d.ip);
    a.serial = utf8(d.serial);
    a.user = utf8(d.user);
    a.password = utf8(d.password);
    a.type = utf8(d.type);
    return a;
}

QVector<SimDevice> generate(const LineOptions &options)
{
    static const char *const kTypes[] = {"DVR", "NVR", "IPC"};
    static const char kPasswordChars[] = "ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnpqrstuvwxyz23456789";
    std::mt19937_64 random(options.seed);
    QVector<SimDevice> devices;
    devices.reserve(options.devices);
    for (int i = 0; i < options.devices; ++i) {
        SimDevice d;
        d.type = options.type.isEmpty() ? QLatin1String(kTypes[random() % 3]) : options.type;
        // The index keeps serial numbers unique; the random part makes seeds differ.
        d.serial = QStringLiteral("%1%2%3")
                       .arg(d.type)
                       .arg(quint32(random()), 8, 16, QLatin1Char('0'))
                       .arg(i + 1, 5, 10, QLatin1Char('0'))
                       .toUpper();
        d.ip = QStringLiteral("192.168.%1.%2").arg(1 + i / 200).arg(20 + i % 200);
        d.user = QStringLiteral("admin");
        for (int k = 0; k < 8; ++k)
            d.password += QLatin1Char(kPasswordChars[random() % (sizeof kPasswordChars - 1)]);
        devices.append(d);
    }
    return devices;
}

bool deviceFromJson(const QJsonObject &o, SimDevice &d, QString *error)
{
    const char *const texts[] = {"serial", "type", "ip", "user", "password"};
    for (const char *key : texts) {
        if (!o.value(QLatin1String(key)).isString()) {
            *error = QStringLiteral("\"%1\" is missing or not a text").arg(QLatin1String(key));
            return false;
        }
    }
    d.serial = o.value(QLatin1String("serial")).toString();
    d.type = o.value(QLatin1String("type")).toString();
    d.ip = o.value(QLatin1String("ip")).toString();
    d.user = o.value(QLatin1String("user")).toString();
    d.password = o.value(QLatin1String("password")).toString();
    z7wire::Bytes probe;
    if (!z7wire::encode(announceOf(d), probe)) {
        *error = QStringLiteral("device \"%1\" has an empty or too long text").arg(d.serial);
        return false;
    }
    d.form = o.value(QLatin1String("form")).toString();
    d.uuid = o.value(QLatin1String("uuid")).toString();
    d.uuidKind = o.value(QLatin1String("uuidKind")).toString();
    d.hostAddr = o.value(QLatin1String("hostAddr")).toString();
    d.requestId = o.value(QLatin1String("requestId")).toString();
    d.port = o.value(QLatin1String("port")).toInt();
    d.applied = o.value(QLatin1String("applied")).toInt();
    d.requests = o.value(QLatin1String("requests")).toInt();
    d.forgotten = o.value(QLatin1String("forgotten")).toInt();
    d.corrupted = o.value(QLatin1String("corrupted")).toInt();
    return true;
}

} // namespace

QJsonObject SimDevice::toJson() const
{
    QJsonObject o;
    o.insert(QStringLiteral("serial"), serial);
    o.insert(QStringLiteral("type"), type);
    o.insert(QStringLiteral("ip"), ip);
    o.insert(QStringLiteral("user"), user);
    o.insert(QStringLiteral("password"), password);
    o.insert(QStringLiteral("loginPassword"), loginPassword);
    o.insert(QStringLiteral("refusesWrites"), refusesWrites);
    o.insert(QStringLiteral("applied"), applied);
    o.insert(QStringLiteral("requests"), requests);
    o.insert(QStringLiteral("forgotten"), forgotten);
    o.insert(QStringLiteral("corrupted"), corrupted);
    if (!form.isEmpty()) {
        o.insert(QStringLiteral("form"), form);
        o.insert(QStringLiteral("uuid"), uuid);
        o.insert(QStringLiteral("uuidKind"), uuidKind);
        o.insert(QStringLiteral("requestId"), requestId);
        if (form == QLatin1String("umeye")) {
            o.insert(QStringLiteral("hostAddr"), hostAddr);
            o.insert(QStringLiteral("port"), port);
        }
    }
    return o;
}

DeviceLine::DeviceLine(const LineOptions &options, QObject *parent)
    : QObject(parent)
    , options_(options)
    , random_(std::random_device{}())
    , faultRandom_(options.seed ^ 0x5eedfa17c0ffee11ull)
{
    sendTimer_.setSingleShot(true);
    sendTimer_.setTimerType(Qt::PreciseTimer);
    connect(&sendTimer_, &QTimer::timeout, this, &DeviceLine::sendDue);
    clock_.start();
}

bool DeviceLine::load(const QString &stateFile, QString *error)
{
    stateFile_ = stateFile;
    QVector<SimDevice> devices;
    if (!stateFile.isEmpty() && QFileInfo::exists(stateFile)) {
        QFile file(stateFile);
        if (!file.open(QIODevice::ReadOnly)) {
            *error = file.errorString();
            return false;
        }
        QJsonParseError parseError;
        const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parseError);
        if (doc.isNull()) {
            *error = parseError.errorString();
            return false;
        }
        const QJsonArray list = doc.object().value(QLatin1String("devices")).toArray();
        if (list.isEmpty()) {
            *error = QStringLiteral("it holds no \"devices\" list");
            return false;
        }
        for (const QJsonValue &value : list) {
            SimDevice d;
            if (!deviceFromJson(value.toObject(), d, error))
                return false;
            devices.append(d);
        }
    } else {
        devices = generate(options_);
    }
    QHash<QString, int> bySerial;
    for (int i = 0; i < devices.size(); ++i) {
        if (bySerial.contains(devices[i].serial)) {
            *error = QStringLiteral("serial number \"%1\" appears twice").arg(devices[i].serial);
            return false;
        }
        bySerial.insert(devices[i].serial, i);
        // Faults belong to this run's options, not to the file.
        devices[i].refusesWrites = i < options_.refusing;
        devices[i].loginPassword = i >= devices.size() - options_.changedPasswords
            ? changedPassword(devices[i].password)
            : devices[i].password;
    }
    devices_ = devices;
    bySerial_ = bySerial;
    return true;
}

bool DeviceLine::listen(quint16 port, QString *error)
{
    socket_ = new QUdpSocket(this);
    // No address sharing: a second line on the same port must fail, not split the traffic.
    if (!socket_->bind(QHostAddress::LocalHost, port, QAbstractSocket::DontShareAddress)) {
        *error = socket_->errorString();
        return false;
    }
    connect(socket_, &QUdpSocket::readyRead, this, &DeviceLine::readPending);
    if (!saveState()) {
        *error = QStringLiteral("cannot write the state file %1").arg(stateFile_);
        return false;
    }
    return true;
}

quint16 DeviceLine::port() const
{
    return socket_ ? socket_->localPort() : 0;
}

bool DeviceLine::lost()
{
    return options_.loss > 0 && std::generate_canonical<double, 32>(random_) < options_.loss;
}

void DeviceLine::readPending()
{
    while (socket_->hasPendingDatagrams()) {
        const qint64 size = socket_->pendingDatagramSize();
        const QNetworkDatagram datagram = socket_->receiveDatagram(z7wire::kMaxDatagram + 1);
        if (size < 0 || size > qint64(z7wire::kMaxDatagram) || !datagram.senderAddress().isLoopback())
            continue;
        const QByteArray data = datagram.data();
        z7wire::Message message;
        if (!z7wire::decode(reinterpret_cast<const std::uint8_t *>(data.constData()), std::size_t(data.size()),
                            message))
            continue;
        const QHostAddress from = datagram.senderAddress();
        const quint16 fromPort = quint16(datagram.senderPort());
        if (message.type == z7wire::Type::Probe)
            handleProbe(message.probe, from, fromPort);
        else if (message.type == z7wire::Type::WriteUmeye || message.type == z7wire::Type::WriteLenovo)
            handleWrite(message.write, from, fromPort);
        else if (message.type == z7wire::Type::ReadUuid)
            handleRead(message.read, from, fromPort);
    }
}

void DeviceLine::handleProbe(const z7wire::Probe &probe, const QHostAddress &from, quint16 fromPort)
{
    for (const SimDevice &d : qAsConst(devices_)) {
        if (lost()) // each device hears a broadcast on its own
            continue;
        z7wire::Announce a = announceOf(d);
        a.runId = probe.runId;
        z7wire::Bytes datagram;
        if (!z7wire::encode(a, datagram))
            continue;
        const int spread = probe.spreadMs ? int(random_() % (probe.spreadMs + 1u)) : 0;
        answer(datagram, from, fromPort, options_.delayMs + spread);
    }
}

void DeviceLine::handleWrite(const z7wire::Write &write, const QHostAddress &from, quint16 fromPort)
{
    if (lost())
        return;
    z7wire::WriteAck ack;
    ack.requestId = write.requestId;
    const int index = bySerial_.value(fromUtf8(write.serial), -1);
    SimDevice *d = index >= 0 ? &devices_[index] : nullptr;
    const QString requestId = QString::number(write.requestId, 16);
    if (!d) {
        ack.status = z7wire::Status::UnknownDevice;
    } else {
        const SimDevice before = *d;
        ++d->requests;
        if (fromUtf8(write.user) != d->user || fromUtf8(write.password) != d->loginPassword) {
            ack.status = z7wire::Status::BadCredentials;
        } else if (d->refusesWrites) {
            ack.status = z7wire::Status::Refused;
        } else {
            if (d->requestId != requestId) // a repeat of the applied write is not applied again
                applyWrite(*d, write, requestId);
            ack.status = z7wire::Status::Applied;
        }
        // Answer only what is stored: a success the library reports is on disk, and the
        // count of attempts shows how many a refusal cost.
        if (!saveState()) {
            *d = before;
            if (ack.status == z7wire::Status::Applied)
                ack.status = z7wire::Status::Refused;
        }
    }
    z7wire::Bytes datagram;
    z7wire::encode(ack, datagram);
    answer(datagram, from, fromPort, options_.delayMs);
}

void DeviceLine::applyWrite(SimDevice &d, const z7wire::Write &write, const QString &requestId)
{
    ++d.applied;
    const int draw = (options_.forgetPercent || options_.corruptPercent) ? int(faultRandom_() % 100) : 100;
    if (draw < options_.forgetPercent) {
        // The value never reached storage: the device holds nothing, and a repeat of this
        // write is applied afresh, as a device that lost it would.
        d.form.clear();
        d.uuid.clear();
        d.uuidKind.clear();
        d.hostAddr.clear();
        d.port = 0;
        d.requestId.clear();
        ++d.forgotten;
        return;
    }
    d.form = write.umeye ? QStringLiteral("umeye") : QStringLiteral("lenovo");
    d.uuid = fromUtf8(write.uuid);
    d.uuidKind = fromUtf8(write.uuidKind);
    d.hostAddr = fromUtf8(write.hostAddr);
    d.port = write.port;
    d.requestId = requestId;
    if (draw < options_.forgetPercent + options_.corruptPercent) {
        // One character flipped: still a valid text of the same length, never the value
        // written. The id is dropped so the same write is applied again next time.
        QString &u = d.uuid;
        int at = int(faultRandom_() % uint(u.size()));
        while (at < u.size() && u.at(at).isSurrogate()) // never leave half a character
            ++at;
        if (at == u.size())
            u = QStringLiteral("X");
        else
            u[at] = u[at] == QLatin1Char('X') ? QLatin1Char('Y') : QLatin1Char('X');
        d.requestId.clear();
        ++d.corrupted;
    }
}

void DeviceLine::handleRead(const z7wire::ReadUuid &read, const QHostAddress &from, quint16 fromPort)
{
    if (lost())
        return;
    z7wire::UuidReport report;
    report.requestId = read.requestId;
    const int index = bySerial_.value(fromUtf8(read.serial), -1);
    const SimDevice *d = index >= 0 ? &devices_[index] : nullptr;
    if (!d)
        report.status = z7wire::Status::UnknownDevice;
    else if (fromUtf8(read.user) != d->user || fromUtf8(read.password) != d->loginPassword)
        report.status = z7wire::Status::BadCredentials;
    else {
        report.status = z7wire::Status::Applied;
        report.uuid = utf8(d->uuid);
    }
    z7wire::Bytes datagram;
    if (!z7wire::encode(report, datagram)) // a state file's uuid over the limit: refuse, never cut
        z7wire::encode(z7wire::UuidReport{read.requestId, z7wire::Status::Invalid, {}}, datagram);
    answer(datagram, from, fromPort, options_.delayMs);
}

void DeviceLine::answer(const z7wire::Bytes &datagram, const QHostAddress &to, quint16 toPort, int delayMs)
{
    Outgoing out{QByteArray(reinterpret_cast<const char *>(datagram.data()), int(datagram.size())), to, toPort};
    const qint64 due = clock_.elapsed() + delayMs;
    const bool first = queue_.empty() || due < queue_.begin()->first;
    queue_.emplace(due, out);
    if (options_.duplicates > 0 && std::generate_canonical<double, 32>(random_) < options_.duplicates)
        queue_.emplace(due, out);
    if (first)
        sendTimer_.start(int(qMax<qint64>(0, due - clock_.elapsed())));
}

void DeviceLine::sendDue()
{
    const qint64 now = clock_.elapsed();
    while (!queue_.empty() && queue_.begin()->first <= now) {
        const Outgoing out = queue_.begin()->second;
        queue_.erase(queue_.begin());
        if (!lost())
            socket_->writeDatagram(out.data, out.to, out.port);
    }
    if (!queue_.empty())
        sendTimer_.start(int(qMax<qint64>(0, queue_.begin()->first - clock_.elapsed())));
}

bool DeviceLine::saveState()
{
    if (stateFile_.isEmpty())
        return true;
    QJsonArray list;
    for (const SimDevice &d : qAsConst(devices_))
        list.append(d.toJson());
    QJsonObject root;
    root.insert(QStringLiteral("format"), 1);
    root.insert(QStringLiteral("port"), int(port()));
    root.insert(QStringLiteral("devices"), list);
    return replaceFile(QFile::encodeName(stateFile_), QJsonDocument(root).toJson(QJsonDocument::Indented));
}

bool DeviceLine::replaceFile(const QByteArray &path, const QByteArray &bytes)
{
    // A temporary file of this process and call, then rename: a reader sees the old
    // state or the new, never half, and two lines sharing a state path never write into
    // one temporary file. Synced before and after the rename: an acknowledged write must
    // survive a power cut (unless --no-sync trades that for speed).
    const QByteArray temp = path + '.' + QByteArray::number(qint64(::getpid())) + '.'
        + QByteArray::number(quint64(random_()), 36) + ".tmp";
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = true;
    for (qint64 done = 0; ok && done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, std::size_t(bytes.size() - done));
        if (n > 0)
            done += n;
        else if (!(n < 0 && errno == EINTR))
            ok = false;
    }
    ok = (!options_.sync || ::fsync(fd) == 0) && ok;
    ok = ::close(fd) == 0 && ok;
    if (!ok || std::rename(temp.constData(), path.constData()) != 0) {
        ::unlink(temp.constData());
        return false;
    }
    if (!options_.sync)
        return true;
    const QByteArray folder = QFile::encodeName(QFileInfo(QFile::decodeName(path)).absolutePath());
    const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return false;
    ok = ::fsync(dir) == 0;
    ::close(dir);
    return ok;
}
