// The device SDK stand-in through its C ABI against tarnwell-devicesim and against a
// device played by hand (forged and late datagrams, which a simulated line never sends),
// the datagram parser and the target list on their own.
#include "tests/support/testsupport.h"

#include "platform/devicesim/simprocess.h"
#include "platform/netsdk/wire.h"
#include "platform/netsdk/z7netsdk.h"
#include "store/fixedfield.h"

#include <QHash>
#include <QNetworkDatagram>
#include <QSemaphore>
#include <QThread>
#include <QUdpSocket>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <type_traits>

namespace {

// Every report the discovery callback saw, by serial number. It runs on the library's
// thread; a std::mutex, whose locking ThreadSanitizer sees, rather than Qt's.
std::mutex reportsMutex;
QMultiHash<QString, DiscoveryRecord> reports;
int wrongUser = 0;

void Z7_NETSDK_CALL onReport(const DiscoveryRecord *record, void *user)
{
    std::lock_guard<std::mutex> lock(reportsMutex);
    reports.insert(fixedfield::get(record->serialNumber), *record);
    wrongUser += user != &reports;
}

int reportCount(const QString &serial)
{
    std::lock_guard<std::mutex> lock(reportsMutex);
    return reports.count(serial);
}

QString text(const QJsonObject &device, const char *key)
{
    return device.value(QLatin1String(key)).toString();
}
int number(const QJsonObject &device, const char *key)
{
    return device.value(QLatin1String(key)).toInt();
}

// Searches until every expected serial was reported. A run ends when all are in, or
// long after its last probe; then the next run starts, as the operator's next Search would.
bool discover(const QStringList &expected, int runs = 1)
{
    const auto all = [&] {
        std::lock_guard<std::mutex> lock(reportsMutex);
        return std::all_of(expected.begin(), expected.end(), [](const QString &s) { return reports.contains(s); });
    };
    for (int run = 0; run < runs; ++run) {
        {
            std::lock_guard<std::mutex> lock(reportsMutex);
            reports.clear();
        }
        if (!Z7_NET_DVR_StartDiscoveryIPC())
            return false;
        const bool found = QTest::qWaitFor(all, 8000);
        Z7_NET_DVR_StopDiscoveryIPC();
        if (found)
            return true;
    }
    return false;
}

// Starts a simulated line, points the library at it and finds every device once.
bool startLine(devicesim::SimProcess &sim, const QStringList &args)
{
    if (!sim.start(args))
        qWarning("%s", qPrintable(sim.errorText()));
    sim.exportTarget();
    return sim.isRunning() && Z7_NET_DVR_Init() && discover(sim.serials());
}

template <typename Request>
Request requestFor(const QJsonObject &device, const QByteArray &uuid)
{
    Request r;
    std::memset(&r, 0, sizeof r);
    fixedfield::put(r.serialNumber, text(device, "serial"));
    fixedfield::put(r.userName, text(device, "user"));
    fixedfield::put(r.password, text(device, "password"));
    fixedfield::put(r.uuid, uuid);
    if constexpr (std::is_same_v<Request, UmeyeUuidRequest>) {
        fixedfield::put(r.uuidKind, QByteArray("UMEYE"));
        fixedfield::put(r.hostAddr, QByteArray("ums.example.com"));
        r.port[0] = 0xEF; // 48879, little-endian
        r.port[1] = 0xBE;
    } else {
        fixedfield::put(r.uuidKind, QByteArray("LENOVO"));
    }
    return r;
}

int writeLenovo(const QJsonObject &device, const QByteArray &uuid)
{
    LenovoUuidRequest r = requestFor<LenovoUuidRequest>(device, uuid);
    return Z7_NET_DVR_SetLenovoUuid(&r);
}

// Reads a device back; the buffer starts dirty so a failed read must clear it.
int readUuid(const QJsonObject &device, QByteArray *uuid)
{
    UuidReadRequest r;
    std::memset(&r, 'Z', sizeof r);
    fixedfield::put(r.serialNumber, text(device, "serial"));
    fixedfield::put(r.userName, text(device, "user"));
    fixedfield::put(r.password, text(device, "password"));
    const int result = Z7_NET_DVR_GetUuid(&r);
    *uuid = QByteArray(r.uuid, int(fixedfield::length(r.uuid, sizeof r.uuid)));
    return result;
}

// Writes then reads back every device of a line, in order; what each now holds.
QStringList writeAndReadAll(devicesim::SimProcess &sim)
{
    QStringList held;
    for (const QJsonValue &v : sim.devices()) {
        QByteArray uuid;
        if (writeLenovo(v.toObject(), "U-" + v.toObject().value(QLatin1String("serial")).toString().toUtf8()) != 1
            || readUuid(v.toObject(), &uuid) != 1)
            return {QStringLiteral("failed")};
        held << QString::fromUtf8(uuid);
    }
    return held;
}

// Z7_NETSDK_TRACE goes to a fresh file in the test's working directory.
void startTrace()
{
    QFile::remove(QStringLiteral("sdk-trace.txt"));
    qputenv("Z7_NETSDK_TRACE", "sdk-trace.txt");
}

QStringList traceLines()
{
    return QString::fromUtf8(testsupport::readFile(QStringLiteral("sdk-trace.txt")))
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// An announce as bytes on the wire, built here rather than by the encoder under test.
QByteArray rawAnnounce(const QList<QByteArray> &texts)
{
    QByteArray out("Z7NS\x01\x02\x00\x00\x07\x00\x00\x00", 12); // run id 7
    for (const QByteArray &t : texts)
        out += char(t.size()) + t;
    return out;
}

bool decodes(const QByteArray &bytes, z7wire::Message &m)
{
    return z7wire::decode(reinterpret_cast<const std::uint8_t *>(bytes.constData()), std::size_t(bytes.size()), m);
}

template <typename Message>
QByteArray bytesOf(const Message &m)
{
    z7wire::Bytes out;
    z7wire::encode(m, out);
    return QByteArray(reinterpret_cast<const char *>(out.data()), int(out.size()));
}

QByteArray announce(std::uint32_t runId, const std::string &serial)
{
    return bytesOf(z7wire::Announce{runId, "10.0.0.9", serial, "admin", "pw", "IPC"});
}

// A device played by hand on a thread of its own: the handler's replies go back from the
// peer's address or, when forged, from a second socket on another port.
class Peer : public QThread
{
public:
    using Replies = QList<QPair<QByteArray, bool /* forged */>>;
    using Handler = std::function<Replies(const z7wire::Message &)>;
    explicit Peer(Handler handler)
        : handler_(std::move(handler))
    {
        start(), ready_.acquire();
    }
    ~Peer() override { quit_ = true, wait(); }
    QByteArray target() const { return "127.0.0.1:" + QByteArray::number(port_); }

private:
    void run() override
    {
        QUdpSocket socket, forger;
        socket.bind(QHostAddress::LocalHost);
        forger.bind(QHostAddress::LocalHost);
        port_ = socket.localPort();
        ready_.release();
        while (!quit_) {
            socket.waitForReadyRead(20); // how soon it notices that it should end
            while (socket.hasPendingDatagrams()) {
                const QNetworkDatagram d = socket.receiveDatagram();
                z7wire::Message m;
                const Replies replies = decodes(d.data(), m) ? handler_(m) : Replies();
                for (const auto &r : replies)
                    (r.second ? forger : socket).writeDatagram(r.first, d.senderAddress(), quint16(d.senderPort()));
            }
        }
    }
    Handler handler_;
    QSemaphore ready_;
    std::atomic<quint16> port_{0};
    std::atomic<bool> quit_{false};
};

} // namespace

class TestNetSdk : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        qunsetenv("Z7_NETSDK_TRACE");
        qunsetenv("Z7_NETSDK_TARGETS");
        qunsetenv("Z7_NETSDK_ALLOW_REMOTE");
        Z7_NET_DVR_SetDiscoveryCallBack(onReport, &reports);
    }
    void cleanup() { Z7_NET_DVR_Cleanup(); }

    void announceLimits_data()
    {
        QTest::addColumn<QList<QByteArray>>("texts"); // ip, serial, user, password, type
        QTest::addColumn<bool>("accepted");
        const auto with = [](int field, const QByteArray &value) {
            QList<QByteArray> t{"192.168.1.20", "NVR0A1B2C3D00001", "admin", "pw", "NVR"};
            t[field] = value;
            return t;
        };
        const struct {
            const char *name;
            int field, limit;
        } limits[] = {{"ip", 0, 63}, {"serial", 1, 47}, {"user", 2, 31}, {"password", 3, 15}, {"type", 4, 31}};
        for (const auto &l : limits) {
            QTest::addRow("%s %d bytes", l.name, l.limit) << with(l.field, QByteArray(l.limit, 'x')) << true;
            QTest::addRow("%s %d bytes", l.name, l.limit + 1) << with(l.field, QByteArray(l.limit + 1, 'x')) << false;
        }
        QTest::newRow("serial empty") << with(1, "") << false;
        QTest::newRow("serial 47 bytes ending in é") << with(1, QByteArray(45, 'S') + "\xC3\xA9") << true;
        QTest::newRow("serial holding NUL") << with(1, QByteArray("NVR\0X", 5)) << false;
        QTest::newRow("user in Unicode") << with(2, "Ünïcödé ✓ 😀") << true;
        QTest::newRow("user overlong") << with(2, "\xC0\xAF") << false;
        QTest::newRow("user surrogate") << with(2, "\xED\xA0\x80") << false;
        QTest::newRow("user cut character") << with(2, "\xE2\x82") << false;
    }
    void announceLimits()
    {
        QFETCH(QList<QByteArray>, texts);
        QFETCH(bool, accepted);
        const QByteArray wire = rawAnnounce(texts);
        z7wire::Message m;
        QCOMPARE(decodes(wire, m), accepted);
        z7wire::Bytes encoded;
        QCOMPARE(z7wire::encode(z7wire::Announce{7, texts[0].toStdString(), texts[1].toStdString(),
                                                 texts[2].toStdString(), texts[3].toStdString(),
                                                 texts[4].toStdString()},
                                encoded),
                 accepted);
        if (!accepted)
            return;
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(encoded.data()), int(encoded.size())), wire);
        // Every accepted text reaches the record whole, NUL-terminated.
        DiscoveryRecord r;
        std::memset(&r, 0x5A, sizeof r);
        z7wire::toRecord(m.announce, r);
        QCOMPARE(QList<QByteArray>({fixedfield::bytes(r.deviceIp), fixedfield::bytes(r.serialNumber),
                                    fixedfield::bytes(r.userName), fixedfield::bytes(r.password),
                                    fixedfield::bytes(r.deviceType)}),
                 texts);
        QCOMPARE(r.reserved1[0], '\0');
    }

    void malformedDatagramsAreDropped()
    {
        const QByteArray good = rawAnnounce({"10.0.0.1", "IPC1", "admin", "pw", "IPC"});
        z7wire::Message m;
        QVERIFY(decodes(good, m));
        QList<QByteArray> bad{good + '\0', good + QByteArray(z7wire::kMaxDatagram, 'x')};
        for (int cut = 0; cut < good.size(); ++cut)
            bad << good.left(cut);
        for (int at : {0, 4, 5, 7, 12}) { // magic, version, type, reserved, the first text's length
            bad << good;
            bad.last()[at] = char(bad.last()[at] ^ 0xC0);
        }
        bad << QByteArray("Z7NS\x01\x05\x00\x00\x2A\0\0\0\0\0\0\0\x05", 17); // ack status 5
        bad << QByteArray("Z7NS\x01\x01\x00\x00\x01\0\0\0\x89\x13", 14);     // probe spread 5001
        const QByteArray report = bytesOf(z7wire::UuidReport{42, z7wire::Status::Applied, "U-1"});
        QVERIFY(decodes(report, m) && m.report.uuid == "U-1");
        bad << report + '\0' << report.left(report.size() - 1);
        bad << QByteArray(report).replace(16, 1, "\x01", 1);                                // refusal with a uuid
        bad << QByteArray(report).replace(16, 1, "\x05", 1);                                // status 5
        bad << QByteArray(report).replace(17, 4, "\x031\xC0\xAF", 4);                       // overlong UTF-8
        bad << report.left(17) + char(49) + QByteArray(49, 'u');                            // uuid over 48
        bad << bytesOf(z7wire::ReadUuid{42, "S", "admin", "pw"}).replace(16, 2, "\x00", 1); // no serial
        for (const QByteArray &b : qAsConst(bad))
            QVERIFY2(!decodes(b, m), b.toHex().constData());
        QVERIFY(decodes(QByteArray("Z7NS\x01\x01\x00\x00\x01\0\0\0\x88\x13", 14), m)); // spread 5000

        // A caller's full-width texts without a NUL are taken whole, never run into the next field.
        LenovoUuidRequest request;
        std::memset(&request, 'S', sizeof request.serialNumber + sizeof request.userName);
        std::memset(request.password, 'P', sizeof request - offsetof(LenovoUuidRequest, password));
        const z7wire::Write w = z7wire::fromRequest(request);
        QCOMPARE(w.serial + w.user + w.password + w.uuid, std::string(48 + 32, 'S') + std::string(16 + 48, 'P'));
    }

    void targets_data()
    {
        QTest::addColumn<QByteArray>("list");
        QTest::addColumn<bool>("allowRemote");
        QTest::addColumn<QString>("expected");
        const QByteArray mixed(" 192.168.1.255:37020, localhost:6 ,127.0.0.9:65535");
        QTest::newRow("remote mode") << mixed << true << "192.168.1.255:37020 127.0.0.1:6 127.0.0.9:65535";
        QTest::newRow("loopback only") << mixed << false << "127.0.0.1:6 127.0.0.9:65535";
        QTest::newRow("malformed") << QByteArray(
            "x,127.0.0.1:65536,:5,127.0.0.1:,127.0.0.1:0,127.0.0.1:+5,::1:5,127.1:5,,127.0.0.1:8")
                                   << true << "127.0.0.1:8";
        QTest::newRow("empty") << QByteArray() << true << "";
    }
    void targets()
    {
        QFETCH(QByteArray, list);
        QFETCH(bool, allowRemote);
        QStringList parsed;
        for (const z7wire::Endpoint &e : z7wire::parseTargets(list.toStdString(), allowRemote))
            parsed << QString::fromStdString(z7wire::toText(e));
        QTEST(parsed.join(QLatin1Char(' ')), "expected");
    }

    void callsWithoutInitAreHarmlessAndTraced()
    {
        startTrace();
        LenovoUuidRequest request = requestFor<LenovoUuidRequest>({{"serial", "IPC1\nX"}}, "U1");
        const QList<int> results{Z7_NET_DVR_StartDiscoveryIPC(),
                                 Z7_NET_DVR_StopDiscoveryIPC(),
                                 Z7_NET_DVR_SetLenovoUuid(&request),
                                 Z7_NET_DVR_SetUMEyeUuid(nullptr),
                                 Z7_NET_DVR_Cleanup(),
                                 Z7_NET_DVR_Init(),
                                 Z7_NET_DVR_Init(),
                                 Z7_NET_DVR_Cleanup(),
                                 Z7_NET_DVR_Cleanup()};
        QCOMPARE(results, QList<int>({0, 0, 0, 0, 1, 1, 1, 1, 1}));
        QCOMPARE(traceLines(),
                 QStringList({"StartDiscoveryIPC", "StopDiscoveryIPC", "SetLenovoUuid IPC1?X", "SetUMEyeUuid (null)",
                              "Cleanup", "Init", "Init", "Cleanup", "Cleanup"}));
    }

    void aRunTakesOnlyItsOwnAnnouncesAndAcks()
    {
        std::uint32_t run = 0; // only the peer's thread uses it
        Peer peer([&run](const z7wire::Message &m) -> Peer::Replies {
            if (m.type == z7wire::Type::Probe) {
                run = m.probe.runId;
                const auto own = qMakePair(announce(run, "PEER-1"), false);
                return {own, own, own, {announce(run + 1, "STALE"), false}};
            }
            // An announce of the stopped run, an ack from another port, then the device's
            // own refusal: once the write has returned, the first two have been handled.
            return {{announce(run, "LATE"), false},
                    {bytesOf(z7wire::WriteAck{m.write.requestId, z7wire::Status::Applied}), true},
                    {bytesOf(z7wire::WriteAck{m.write.requestId, z7wire::Status::Refused}), false}};
        });
        qputenv("Z7_NETSDK_TARGETS", peer.target());
        QVERIFY(Z7_NET_DVR_Init());
        QVERIFY(discover({"PEER-1"}));
        QCOMPARE(writeLenovo({{"serial", "PEER-1"}, {"user", "admin"}, {"password", "pw"}}, "U-1"), 0);
        QCOMPARE(reportCount("PEER-1"), 1);
        QCOMPARE(reportCount("STALE") + reportCount("LATE"), 0);
        QCOMPARE(wrongUser, 0);
    }

    void readsTakeOnlyTheDevicesOwnAnswer()
    {
        // A malformed answer, one from another port and one to an earlier read come
        // first; only the last, the device's own, may be reported.
        Peer peer([](const z7wire::Message &m) -> Peer::Replies {
            if (m.type == z7wire::Type::Probe)
                return {{announce(m.probe.runId, "PEER-1"), false}};
            if (m.type != z7wire::Type::ReadUuid)
                return {};
            const auto report = [&](std::uint64_t id, const std::string &uuid) {
                return bytesOf(z7wire::UuidReport{id, z7wire::Status::Applied, uuid});
            };
            return {{report(m.read.requestId, "TRAILING") + '\0', false},
                    {report(m.read.requestId, "FORGED"), true},
                    {report(m.read.requestId + 1, "EARLIER"), false},
                    {report(m.read.requestId, "OWN"), false}};
        });
        qputenv("Z7_NETSDK_TARGETS", peer.target());
        QVERIFY(Z7_NET_DVR_Init());
        QVERIFY(discover({"PEER-1"}));
        QByteArray uuid;
        QCOMPARE(readUuid({{"serial", "PEER-1"}, {"user", "admin"}, {"password", "pw"}}, &uuid), 1);
        QCOMPARE(uuid, QByteArray("OWN"));
    }

    void readsReportWhatTheDeviceHolds()
    {
        startTrace();
        devicesim::SimProcess sim;
        QVERIFY(startLine(sim, {"--devices", "3", "--changed-passwords", "1"}));
        const QJsonArray devices = sim.devices();
        const QJsonObject device = devices[0].toObject();
        QByteArray uuid;
        QCOMPARE(readUuid(device, &uuid), 1);
        QCOMPARE(uuid, QByteArray());
        const QByteArray full(48, 'F'); // fills the field: no NUL, nothing cut
        QCOMPARE(writeLenovo(device, full), 1);
        QCOMPARE(readUuid(device, &uuid), 1);
        QCOMPARE(uuid, full);
        QVERIFY(traceLines().contains(QStringLiteral("GetUuid ") + text(device, "serial")));

        QJsonObject wrongPassword = device, unknown = device;
        wrongPassword.insert(QStringLiteral("password"), QStringLiteral("wrong"));
        unknown.insert(QStringLiteral("serial"), QStringLiteral("NOSUCHDEVICE"));
        const struct {
            const char *what;
            QJsonObject device;
        } refused[] = {{"wrong password", wrongPassword},
                       {"changed password", devices[2].toObject()},
                       {"serial the search did not find", unknown}};
        for (const auto &c : refused) {
            QVERIFY2(readUuid(c.device, &uuid) == 0, c.what);
            QVERIFY2(uuid.isEmpty(), c.what);
        }
        sim.stop(); // no answer
        QCOMPARE(readUuid(device, &uuid), 0);
        QVERIFY(uuid.isEmpty());
    }

    // Forgetting and corrupting devices acknowledge every write anyway; each one's state
    // and counts say what it really holds, and the same seed fails the same writes.
    void theSameSeedFailsTheSameWrites()
    {
        QList<QStringList> runs;
        for (int run = 0; run < 2; ++run) {
            devicesim::SimProcess sim;
            QVERIFY(startLine(sim, {"--devices", "12", "--seed", "9", "--forget", "40", "--corrupt", "30"}));
            runs << writeAndReadAll(sim);
            const QJsonArray devices = sim.devices();
            for (int i = 0; i < devices.size(); ++i) {
                const QJsonObject d = devices[i].toObject();
                const QString held = runs.last().value(i);
                QCOMPARE(text(d, "uuid"), held);
                QCOMPARE(number(d, "forgotten"), held.isEmpty() ? 1 : 0);
                QCOMPARE(number(d, "corrupted"),
                         !held.isEmpty() && held != QLatin1String("U-") + text(d, "serial") ? 1 : 0);
            }
            Z7_NET_DVR_Cleanup();
        }
        QCOMPARE(runs[0], runs[1]);
        const QStringList &held = runs[0];
        // Some of each kind, so the comparison is not of twelve good writes.
        QVERIFY(std::count(held.begin(), held.end(), QString()) > 0);
        QVERIFY(
            std::count_if(held.begin(), held.end(), [](const QString &u) { return u.contains('X') || u.contains('Y'); })
            > 0);
    }

    void aSerialFromTwoAddressesIsNotWritten()
    {
        // Two lines of one seed announce the same serial numbers from two ports.
        devicesim::SimProcess first, second;
        QVERIFY2(first.start({"--devices", "3", "--seed", "5"}), qPrintable(first.errorText()));
        QVERIFY2(second.start({"--devices", "3", "--seed", "5"}), qPrintable(second.errorText()));
        startTrace();
        qputenv("Z7_NETSDK_TARGETS", (first.target() + QLatin1Char(',') + second.target()).toLatin1());
        QVERIFY(Z7_NET_DVR_Init());
        const auto conflicts = [&] { return traceLines().filter(QStringLiteral("Conflict ")); };
        QVERIFY(Z7_NET_DVR_StartDiscoveryIPC());
        QTRY_COMPARE_WITH_TIMEOUT(conflicts().size(), 3, 10000);
        Z7_NET_DVR_StopDiscoveryIPC();
        const QJsonArray devices = first.devices();
        const QStringList serials = first.serials();
        for (int i = 0; i < 3; ++i) {
            // "Conflict <serial> <first address> <second address>"
            const QStringList line = conflicts().filter(serials[i]).value(0).split(QLatin1Char(' '));
            QCOMPARE(QSet<QString>(line.begin(), line.end()),
                     QSet<QString>({"Conflict", serials[i], first.target(), second.target()}));
            QCOMPARE(writeLenovo(devices[i].toObject(), "STOLEN"), 0);
            QCOMPARE(number(first.device(serials[i]), "requests") + number(second.device(serials[i]), "requests"), 0);
        }

        // A run that hears one line writes there, and only there.
        first.exportTarget();
        QVERIFY(discover(serials));
        QCOMPARE(writeLenovo(devices[0].toObject(), "U-1"), 1);
        QCOMPARE(text(first.device(serials[0]), "uuid"), QStringLiteral("U-1"));
        QCOMPARE(number(second.device(serials[0]), "requests"), 0);

        // A run that did not hear a device does not write it.
        QUdpSocket silent;
        QVERIFY(silent.bind(QHostAddress::LocalHost));
        qputenv("Z7_NETSDK_TARGETS", "127.0.0.1:" + QByteArray::number(silent.localPort()));
        QVERIFY(Z7_NET_DVR_StartDiscoveryIPC());
        Z7_NET_DVR_StopDiscoveryIPC();
        QCOMPARE(writeLenovo(devices[1].toObject(), "U-2"), 0);
        QCOMPARE(number(first.device(serials[1]), "requests"), 0);
    }

    void writesLandWithEveryFieldOnce()
    {
        // Answers come later than one attempt's wait, so the library sends each write again.
        devicesim::SimProcess sim;
        QVERIFY(startLine(sim, {"--devices", "3", "--delay", "250"}));
        const QJsonArray devices = sim.devices();
        const QStringList serials = sim.serials();
        UmeyeUuidRequest umeye = requestFor<UmeyeUuidRequest>(devices[0].toObject(), QByteArray(48, 'W'));
        QCOMPARE(Z7_NET_DVR_SetUMEyeUuid(&umeye), 1);
        QTRY_VERIFY(number(sim.device(serials[0]), "requests") >= 2);
        QCOMPARE(Z7_NET_DVR_SetUMEyeUuid(&umeye), 1); // the operator's next pass: the same request
        QCOMPARE(number(sim.device(serials[0]), "applied"), 1);
        QCOMPARE(writeLenovo(devices[1].toObject(), "Ünïcödé-UUID-0001"), 1);
        const QJsonObject u = sim.device(serials[0]), l = sim.device(serials[1]);
        QCOMPARE(QStringList({text(u, "form"), text(u, "uuid"), text(u, "uuidKind"), text(u, "hostAddr")}),
                 QStringList({"umeye", QString(48, 'W'), "UMEYE", "ums.example.com"}));
        QCOMPARE(number(u, "port"), 48879);
        QCOMPARE(QStringList({text(l, "form"), text(l, "uuid"), text(l, "uuidKind")}),
                 QStringList({"lenovo", "Ünïcödé-UUID-0001", "LENOVO"}));
        QCOMPARE(writeLenovo(devices[1].toObject(), "CHANGED"), 1); // new content: applied again
        QCOMPARE(number(sim.device(serials[1]), "applied"), 2);
    }

    void refusedWritesReturnZeroAtOnce()
    {
        devicesim::SimProcess sim;
        QVERIFY(startLine(sim, {"--devices", "5", "--refuse", "1", "--changed-passwords", "1"}));
        const QJsonArray devices = sim.devices();
        const QJsonObject healthy = devices[1].toObject();
        QJsonObject wrongPassword = healthy, unknown = healthy;
        wrongPassword.insert(QStringLiteral("password"), QStringLiteral("wrong"));
        unknown.insert(QStringLiteral("serial"), QStringLiteral("NOSUCHDEVICE"));
        const auto sent = [&] {
            int n = 0;
            for (const QJsonValue &v : sim.devices())
                n += number(v.toObject(), "requests");
            return n;
        };
        // Datagrams that reach the line: one for an answered refusal (no repeat), none
        // for what is refused before sending.
        const struct {
            const char *what;
            QJsonObject device;
            QByteArray uuid;
            int sent;
        } cases[] = {
            {"wrong password", wrongPassword, "U-1", 1},
            {"refusing device", devices[0].toObject(), "U-2", 1},
            {"changed password", devices[4].toObject(), "U-3", 1},
            {"serial the search did not find", unknown, "U-4", 0},
            {"uuid not UTF-8", healthy, "\xFF\xFE", 0},
            {"empty uuid", healthy, "", 0},
        };
        for (const auto &c : cases) {
            const int before = sent();
            QVERIFY2(writeLenovo(c.device, c.uuid) == 0, c.what);
            QVERIFY2(sent() - before == c.sent, c.what);
        }
        for (const QJsonValue &v : sim.devices())
            QCOMPARE(number(v.toObject(), "applied"), 0);
        sim.stop(); // a silent device: 0 once every repeat went unanswered
        QCOMPARE(writeLenovo(healthy, "U-5"), 0);
    }
};

TARNWELL_TEST_MAIN(TestNetSdk)
#include "tst_netsdk.moc"
