// The device SDK stand-in through its C ABI against tarnwell-devicesim, the datagram
// parser on its own, and the simulator's command line.
#include "tests/support/testsupport.h"

#include "store/fixedfield.h"
#include "platform/devicesim/simprocess.h"
#include "platform/netsdk/wire.h"
#include "platform/netsdk/z7netsdk.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>

#include <atomic>
#include <cstring>
#include <mutex>

namespace {

// Everything the discovery callback saw; it runs on the library's thread. A std::mutex,
// whose locking ThreadSanitizer sees, rather than Qt's.
struct Collector {
    std::mutex mutex;
    QHash<QString, int> counts;
    QHash<QString, DiscoveryRecord> records;
    QElapsedTimer clock;
    qint64 lastNewMs = -1;
    std::atomic<int> reports{0};
    std::atomic<int> wrongUser{0};
    std::atomic<bool> stopped{false};
    std::atomic<int> late{0};

    void reset()
    {
        std::lock_guard<std::mutex> lock(mutex);
        counts.clear();
        records.clear();
        lastNewMs = -1;
        reports = 0;
        stopped = false;
        late = 0;
        clock.start();
    }
    int distinct()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return counts.size();
    }
};

Collector collector;

void Z7_NETSDK_CALL onReport(const DiscoveryRecord *record, void *user)
{
    if (user != &collector)
        ++collector.wrongUser;
    if (collector.stopped)
        ++collector.late;
    std::lock_guard<std::mutex> lock(collector.mutex);
    const QString serial = fixedfield::get(record->serialNumber);
    if (++collector.counts[serial] == 1) {
        collector.records.insert(serial, *record);
        collector.lastNewMs = collector.clock.elapsed();
    }
    ++collector.reports;
}

QString text(const QJsonObject &device, const char *key)
{
    return device.value(QLatin1String(key)).toString();
}

QStringList serialsOf(const devicesim::SimProcess &sim)
{
    QStringList serials;
    const QJsonArray devices = sim.devices();
    for (const QJsonValue &d : devices)
        serials << text(d.toObject(), "serial");
    return serials;
}

// Runs discovery until every expected serial was reported, starting a new run (as the
// operator searching again would) when one run leaves some out.
bool discover(const QStringList &expected, int runs = 1, int runMs = 6000)
{
    QSet<QString> found;
    for (int run = 0; run < runs; ++run) {
        collector.reset();
        if (!Z7_NET_DVR_StartDiscoveryIPC())
            return false;
        QDeadlineTimer deadline(runMs);
        while (!deadline.hasExpired() && collector.distinct() < expected.size())
            QTest::qWait(20);
        Z7_NET_DVR_StopDiscoveryIPC();
        std::lock_guard<std::mutex> lock(collector.mutex);
        for (auto it = collector.counts.cbegin(); it != collector.counts.cend(); ++it)
            found.insert(it.key());
        if (found.contains(QSet<QString>(expected.begin(), expected.end())))
            return true;
    }
    return false;
}

template <typename Request>
Request requestFor(const QJsonObject &device, const QByteArray &kind, const QByteArray &uuid)
{
    Request r;
    std::memset(&r, 0, sizeof r);
    fixedfield::put(r.serialNumber, text(device, "serial"));
    fixedfield::put(r.userName, text(device, "user"));
    fixedfield::put(r.password, text(device, "password"));
    fixedfield::put(r.uuidKind, kind);
    fixedfield::put(r.uuid, uuid);
    return r;
}

UmeyeUuidRequest umeyeFor(const QJsonObject &device, const QByteArray &uuid)
{
    auto r = requestFor<UmeyeUuidRequest>(device, "UMEYE", uuid);
    fixedfield::put(r.hostAddr, QByteArray("ums.example.com"));
    r.port[0] = 0xEF; // 48879, little-endian
    r.port[1] = 0xBE;
    return r;
}

LenovoUuidRequest lenovoFor(const QJsonObject &device, const QByteArray &uuid)
{
    return requestFor<LenovoUuidRequest>(device, "LENOVO", uuid);
}

// Starts a simulated line, points the library at it and finds every device once.
bool startLine(devicesim::SimProcess &sim, const QStringList &args)
{
    if (!sim.start(args)) {
        qWarning("%s", qPrintable(sim.errorText()));
        return false;
    }
    sim.exportTarget();
    return Z7_NET_DVR_Init() && discover(serialsOf(sim));
}

z7wire::Bytes announceBytes(z7wire::Announce a)
{
    z7wire::Bytes out;
    z7wire::encode(a, out);
    return out;
}

bool decodes(const z7wire::Bytes &bytes)
{
    z7wire::Message m;
    return z7wire::decode(bytes.data(), bytes.size(), m);
}

} // namespace

class TestNetSdk : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        qunsetenv("Z7_NETSDK_TRACE");
        qunsetenv("Z7_NETSDK_TARGETS");
        Z7_NET_DVR_SetDiscoveryCallBack(onReport, &collector);
    }
    void cleanup() { Z7_NET_DVR_Cleanup(); }

    void datagramsAreValidatedBeforeUse()
    {
        z7wire::Announce a;
        a.runId = 0x01020304;
        a.ip = "192.168.1.20";
        a.serial = "NVR0A1B2C3D00001";
        a.user = "admin";
        a.password = std::string(15, 'p');
        a.type = "NVR";
        const z7wire::Bytes good = announceBytes(a);
        z7wire::Message m;
        QVERIFY(z7wire::decode(good.data(), good.size(), m));
        QCOMPARE(int(m.type), int(z7wire::Type::Announce));
        QCOMPARE(m.announce.serial, a.serial);
        QCOMPARE(m.announce.password, a.password);

        for (std::size_t cut = 0; cut < good.size(); ++cut)
            QVERIFY2(!z7wire::decode(good.data(), cut, m), "a truncated datagram was accepted");
        z7wire::Bytes bad = good;
        bad.push_back(0);
        QVERIFY(!decodes(bad)); // trailing byte
        for (std::size_t at : {std::size_t(0), std::size_t(4), std::size_t(5), std::size_t(7)}) {
            bad = good;
            bad[at] ^= 0x40; // magic, version, type, reserved
            QVERIFY(!decodes(bad));
        }
        // A length byte pointing past the end.
        bad = good;
        bad[z7wire::kHeaderSize + 4] = 0xFF;
        QVERIFY(!decodes(bad));

        // Texts that would not fit the record with their NUL, hold a NUL, or are not UTF-8.
        z7wire::Announce odd = a;
        odd.password = std::string(16, 'p');
        QVERIFY(announceBytes(odd).empty());
        odd = a;
        odd.serial.clear();
        QVERIFY(announceBytes(odd).empty());
        for (const std::string &t : {std::string("ab\0cd", 5), std::string("\xC0\xAF"),
                                     std::string("\xED\xA0\x80"), std::string("\xE2\x82")}) {
            bad = good;
            const std::size_t userAt = z7wire::kHeaderSize + 4 + 1 + a.ip.size() + 1 + a.serial.size();
            bad.erase(bad.begin() + long(userAt), bad.begin() + long(userAt + 1 + a.user.size()));
            bad.insert(bad.begin() + long(userAt), std::uint8_t(t.size()));
            bad.insert(bad.begin() + long(userAt + 1), t.begin(), t.end());
            QVERIFY2(!decodes(bad), t.c_str());
        }
        QVERIFY(z7wire::validUtf8("Ünïcödé ✓ 😀"));

        z7wire::Bytes tooLong(z7wire::kMaxDatagram + 1, 0);
        std::copy(good.begin(), good.end(), tooLong.begin());
        QVERIFY(!decodes(tooLong));

        z7wire::Bytes ack;
        QVERIFY(z7wire::encode(z7wire::WriteAck{42, z7wire::Status::Refused}, ack));
        ack.back() = 9; // no such status
        QVERIFY(!decodes(ack));
    }

    void requestsAndRecordsStayInsideTheirFields()
    {
        // Full-width texts without a NUL are taken whole and never run into the next field.
        LenovoUuidRequest lenovo;
        std::memset(&lenovo, 0, sizeof lenovo);
        fixedfield::put(lenovo.serialNumber, QByteArray(48, 'S'));
        fixedfield::put(lenovo.userName, QByteArray(32, 'U'));
        fixedfield::put(lenovo.password, QByteArray(16, 'P'));
        fixedfield::put(lenovo.uuidKind, QByteArray(16, 'K'));
        fixedfield::put(lenovo.uuid, QByteArray(48, 'I'));
        const z7wire::Write w = z7wire::fromRequest(lenovo);
        QCOMPARE(w.serial, std::string(48, 'S'));
        QCOMPARE(w.password, std::string(16, 'P'));
        QCOMPARE(w.uuidKind, std::string(16, 'K'));
        QCOMPARE(w.uuid, std::string(48, 'I'));

        z7wire::Announce a;
        a.ip = std::string(63, '1');
        a.serial = std::string(47, 'S');
        a.type = std::string(31, 'T');
        DiscoveryRecord record;
        std::memset(&record, 0x5A, sizeof record);
        z7wire::toRecord(a, record);
        QCOMPARE(fixedfield::bytes(record.deviceIp), QByteArray(63, '1'));
        QCOMPARE(fixedfield::bytes(record.serialNumber), QByteArray(47, 'S'));
        QCOMPARE(record.serialNumber[47], '\0');
        QCOMPARE(fixedfield::bytes(record.deviceType), QByteArray(31, 'T'));
        QCOMPARE(record.reserved1[0], '\0');

        // The request id follows the content, so the same write sent again is the same request.
        z7wire::Write other = w;
        QCOMPARE(z7wire::contentId(other), z7wire::contentId(w));
        other.uuid.back() = 'J';
        QVERIFY(z7wire::contentId(other) != z7wire::contentId(w));
    }

    void callsWithoutInitAreHarmlessAndTraced()
    {
        QTemporaryDir dir;
        const QString tracePath = dir.filePath(QStringLiteral("trace.txt"));
        qputenv("Z7_NETSDK_TRACE", QFile::encodeName(tracePath));
        LenovoUuidRequest request = lenovoFor({{QStringLiteral("serial"), QStringLiteral("IPC1\nX")}}, "U1");
        QCOMPARE(Z7_NET_DVR_StartDiscoveryIPC(), 0);
        QCOMPARE(Z7_NET_DVR_StopDiscoveryIPC(), 0);
        QCOMPARE(Z7_NET_DVR_SetLenovoUuid(&request), 0);
        QCOMPARE(Z7_NET_DVR_SetUMEyeUuid(nullptr), 0);
        QCOMPARE(Z7_NET_DVR_Cleanup(), 1);
        QCOMPARE(Z7_NET_DVR_Init(), 1);
        QCOMPARE(Z7_NET_DVR_Init(), 1);
        QCOMPARE(Z7_NET_DVR_SetDiscoveryCallBack(onReport, &collector), 1);
        QCOMPARE(Z7_NET_DVR_Cleanup(), 1);
        QCOMPARE(Z7_NET_DVR_Cleanup(), 1);
        QFile trace(tracePath);
        QVERIFY(trace.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(trace.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts),
                 QStringList({"StartDiscoveryIPC", "StopDiscoveryIPC", "SetLenovoUuid IPC1?X",
                              "SetUMEyeUuid (null)", "Cleanup", "Init", "Init", "SetDiscoveryCallBack",
                              "Cleanup", "Cleanup"}));
    }

    void probesGoOnlyToLoopbackTargets()
    {
        devicesim::SimProcess sim;
        QVERIFY2(sim.start({"--devices", "3"}), qPrintable(sim.errorText()));
        QVERIFY(Z7_NET_DVR_Init());
        const QByteArray port = QByteArray::number(sim.port());
        for (const QByteArray &targets : {QByteArray(QByteArray("192.0.2.7:") + port), QByteArray("garbage,127.0.0.1:99999,:5,127.0.0.1:"),
                                          QByteArray("")}) {
            qputenv("Z7_NETSDK_TARGETS", targets);
            QVERIFY2(!Z7_NET_DVR_StartDiscoveryIPC(), targets.constData());
            Z7_NET_DVR_StopDiscoveryIPC();
        }
        qputenv("Z7_NETSDK_TARGETS", "192.0.2.7:" + port + ", localhost:" + port);
        QVERIFY(discover(serialsOf(sim)));
    }

    void discoversFiveHundredDevicesEachOnce()
    {
        devicesim::SimProcess sim;
        QVERIFY2(sim.start({"--devices", "500", "--seed", "7"}), qPrintable(sim.errorText()));
        sim.exportTarget();
        const QJsonArray devices = sim.devices();
        QCOMPARE(devices.size(), 500);
        QVERIFY(Z7_NET_DVR_Init());
        collector.reset();
        QVERIFY(Z7_NET_DVR_StartDiscoveryIPC());
        QTRY_COMPARE_WITH_TIMEOUT(collector.distinct(), 500, 15000);
        qInfo("discovery of 500 devices: all reported after %lld ms", collector.lastNewMs);
        // Every repeated probe has been answered by now; none of it may show twice.
        QTest::qWait(int(qMax<qint64>(0, 5500 - collector.clock.elapsed())));
        Z7_NET_DVR_StopDiscoveryIPC();
        QCOMPARE(collector.wrongUser.load(), 0);
        QCOMPARE(collector.reports.load(), 500);
        for (const QJsonValue &v : devices) {
            const QJsonObject d = v.toObject();
            const DiscoveryRecord r = collector.records.value(text(d, "serial"));
            QCOMPARE(fixedfield::get(r.deviceIp), text(d, "ip"));
            QCOMPARE(fixedfield::get(r.userName), text(d, "user"));
            QCOMPARE(fixedfield::get(r.password), text(d, "password"));
            QCOMPARE(fixedfield::get(r.deviceType), text(d, "type"));
        }

        // Stop in the middle of the burst: nothing may arrive once it has returned.
        collector.reset();
        QVERIFY(Z7_NET_DVR_StartDiscoveryIPC());
        QTRY_VERIFY_WITH_TIMEOUT(collector.reports >= 50, 15000);
        Z7_NET_DVR_StopDiscoveryIPC();
        collector.stopped = true;
        QTest::qWait(600);
        QCOMPARE(collector.late.load(), 0);
    }

    void writesLandWithEveryFieldAndSurviveARestart()
    {
        devicesim::SimProcess sim;
        QVERIFY(startLine(sim, {"--devices", "3"}));
        const QJsonArray devices = sim.devices();
        const QByteArray fullWidthUuid(48, 'W');
        UmeyeUuidRequest umeye = umeyeFor(devices[0].toObject(), fullWidthUuid);
        QCOMPARE(Z7_NET_DVR_SetUMEyeUuid(&umeye), 1);
        const QString unicodeUuid = QStringLiteral("Ünïcödé-UUID-0001");
        LenovoUuidRequest lenovo = lenovoFor(devices[1].toObject(), unicodeUuid.toUtf8());
        QCOMPARE(Z7_NET_DVR_SetLenovoUuid(&lenovo), 1);

        const auto check = [&] {
            const QJsonObject u = sim.device(text(devices[0].toObject(), "serial"));
            QCOMPARE(text(u, "form"), QStringLiteral("umeye"));
            QCOMPARE(text(u, "uuid"), QString::fromLatin1(fullWidthUuid));
            QCOMPARE(text(u, "uuidKind"), QStringLiteral("UMEYE"));
            QCOMPARE(text(u, "hostAddr"), QStringLiteral("ums.example.com"));
            QCOMPARE(u.value(QLatin1String("port")).toInt(), 48879);
            QCOMPARE(u.value(QLatin1String("applied")).toInt(), 1);
            const QJsonObject l = sim.device(text(devices[1].toObject(), "serial"));
            QCOMPARE(text(l, "form"), QStringLiteral("lenovo"));
            QCOMPARE(text(l, "uuid"), unicodeUuid);
            QCOMPARE(text(l, "uuidKind"), QStringLiteral("LENOVO"));
            QVERIFY(!l.contains(QLatin1String("hostAddr")));
            QVERIFY(!sim.device(text(devices[2].toObject(), "serial")).contains(QLatin1String("uuid")));
        };
        check();

        sim.stop();
        QVERIFY2(sim.start({"--devices", "3", "--seed", "99"}), qPrintable(sim.errorText()));
        check(); // the state file, not the new options, decides the line
        sim.exportTarget();
        QVERIFY(discover(serialsOf(sim))); // the restarted line answers from a new port
        LenovoUuidRequest again = lenovoFor(devices[2].toObject(), "AFTER-RESTART");
        QCOMPARE(Z7_NET_DVR_SetLenovoUuid(&again), 1);
        QCOMPARE(text(sim.device(text(devices[2].toObject(), "serial")), "uuid"), QStringLiteral("AFTER-RESTART"));
    }

    void failedWritesReturnZeroAndChangeNothing()
    {
        devicesim::SimProcess sim;
        QVERIFY(startLine(sim, {"--devices", "5", "--refuse", "1", "--changed-passwords", "1"}));
        const QJsonArray devices = sim.devices();
        const QJsonObject refusing = devices[0].toObject();
        const QJsonObject healthy = devices[1].toObject();
        const QJsonObject changed = devices[4].toObject();
        QVERIFY(refusing.value(QLatin1String("refusesWrites")).toBool());
        QVERIFY(text(changed, "loginPassword") != text(changed, "password"));

        QElapsedTimer clock;
        const auto attempt = [&](const char *what, LenovoUuidRequest request) {
            clock.start();
            QCOMPARE(Z7_NET_DVR_SetLenovoUuid(&request), 0);
            qInfo("%s: 0 after %lld ms", what, clock.elapsed());
        };
        LenovoUuidRequest wrongPassword = lenovoFor(healthy, "U-1");
        fixedfield::put(wrongPassword.password, QByteArray("wrong"));
        attempt("wrong password", wrongPassword);
        attempt("refusing device", lenovoFor(refusing, "U-2"));
        attempt("changed password", lenovoFor(changed, "U-3"));
        LenovoUuidRequest unknown = lenovoFor(healthy, "U-4");
        fixedfield::put(unknown.serialNumber, QByteArray("NOSUCHDEVICE"));
        attempt("unknown serial", unknown);
        LenovoUuidRequest notUtf8 = lenovoFor(healthy, QByteArray("\xFF\xFE"));
        attempt("uuid not UTF-8", notUtf8);
        attempt("empty uuid", lenovoFor(healthy, QByteArray()));
        for (const QJsonValue &v : sim.devices())
            QCOMPARE(v.toObject().value(QLatin1String("applied")).toInt(), 0);

        sim.stop();
        clock.start();
        UmeyeUuidRequest silent = umeyeFor(healthy, "U-5");
        QCOMPARE(Z7_NET_DVR_SetUMEyeUuid(&silent), 0);
        qInfo("stopped simulator: 0 after %lld ms", clock.elapsed());
        QVERIFY(clock.elapsed() < 10000);
    }

    void aRetriedWriteIsAppliedOnce()
    {
        // Answers come later than one attempt's wait, so the library sends the write again.
        devicesim::SimProcess sim;
        QVERIFY(startLine(sim, {"--devices", "2", "--delay", "400"}));
        const QJsonObject device = sim.devices()[0].toObject();
        UmeyeUuidRequest request = umeyeFor(device, "ONCE-0001");
        QCOMPARE(Z7_NET_DVR_SetUMEyeUuid(&request), 1);
        QTRY_VERIFY(sim.device(text(device, "serial")).value(QLatin1String("requests")).toInt() >= 2);
        QCOMPARE(sim.device(text(device, "serial")).value(QLatin1String("applied")).toInt(), 1);
        // The operator's next pass with the same write is the same request too.
        QCOMPARE(Z7_NET_DVR_SetUMEyeUuid(&request), 1);
        QCOMPARE(sim.device(text(device, "serial")).value(QLatin1String("applied")).toInt(), 1);
        request = umeyeFor(device, "ONCE-0002");
        QCOMPARE(Z7_NET_DVR_SetUMEyeUuid(&request), 1);
        QCOMPARE(sim.device(text(device, "serial")).value(QLatin1String("applied")).toInt(), 2);
    }

    void everyDeviceIsBurntOnceDespiteLoss()
    {
        devicesim::SimProcess sim;
        QVERIFY2(sim.start({"--devices", "100", "--loss", "0.3", "--duplicates", "0.3"}),
                 qPrintable(sim.errorText()));
        sim.exportTarget();
        QVERIFY(Z7_NET_DVR_Init());
        const QStringList serials = serialsOf(sim);
        QVERIFY(discover(serials, 5));
        {
            std::lock_guard<std::mutex> lock(collector.mutex);
            for (int count : qAsConst(collector.counts))
                QCOMPARE(count, 1); // duplicated answers are reported once
        }
        const QJsonArray devices = sim.devices();
        int firstCall = 0;
        for (int i = 0; i < devices.size(); ++i) {
            // A failed write stays ready, and the operator's next Burn pass sends it again.
            LenovoUuidRequest request = lenovoFor(devices[i].toObject(), "LOSS-" + QByteArray::number(i));
            int calls = 0;
            bool burnt = false;
            while (!burnt && calls < 5) {
                burnt = Z7_NET_DVR_SetLenovoUuid(&request);
                ++calls;
            }
            QVERIFY2(burnt, qPrintable(serials[i]));
            firstCall += calls == 1;
        }
        qInfo("30%% loss: %d of %d writes succeeded on the first call", firstCall, int(devices.size()));
        for (int i = 0; i < devices.size(); ++i) {
            const QJsonObject d = sim.device(serials[i]);
            QCOMPARE(text(d, "uuid"), QStringLiteral("LOSS-%1").arg(i));
            QCOMPARE(d.value(QLatin1String("applied")).toInt(), 1);
        }
    }

    void simulatorKeepsBrokenStateAndItsPort()
    {
        // A state file it cannot read is reported and kept as it was.
        QTemporaryDir dir;
        const QString statePath = dir.filePath(QStringLiteral("broken.json"));
        QFile broken(statePath);
        QVERIFY(broken.open(QIODevice::WriteOnly));
        broken.write("{\"devices\": [ {\"serial\": ");
        broken.close();
        QProcess bad;
        bad.start(devicesim::SimProcess::program(), {"--state", statePath, "--port", "0"});
        QVERIFY(bad.waitForFinished(10000));
        QVERIFY(bad.exitCode() != 0);
        QVERIFY(QString::fromUtf8(bad.readAllStandardError()).contains(statePath));
        QVERIFY(broken.open(QIODevice::ReadOnly));
        QCOMPARE(broken.readAll(), QByteArray("{\"devices\": [ {\"serial\": "));

        // Two lines cannot share a port.
        devicesim::SimProcess first, second;
        QVERIFY2(first.start({"--devices", "1"}), qPrintable(first.errorText()));
        QVERIFY(!second.start({"--devices", "1", "--port", QString::number(first.port())}, 5000));
    }
};

TARNWELL_TEST_MAIN(TestNetSdk)
#include "tst_netsdk.moc"
