// The label printers against real receivers: a ZPL printer played by a listener on loopback,
// a folder of PDF files, and a print queue of a cupsd of the suite's own.
#include "labels/labelprinter.h"
#include "tests/support/testsupport.h"

#include <QDir>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>

#include <future>

using labels::LabelPrinter;
using labels::PrinterSetting;
using Sent = LabelPrinter::Sent;
using Delivered = LabelPrinter::Delivered;

namespace {

QByteArray run(const QString &program, const QStringList &args, bool *ok = nullptr)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(program, args);
    const bool done = p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (ok)
        *ok = done;
    return p.readAllStandardOutput();
}

// The QR of a PDF page, as a scanner reads it.
QString decodeQr(const QString &pdf)
{
    run(QStringLiteral("pdftoppm"), QStringLiteral("-r 300 -png -singlefile %1 qr").arg(pdf).split(QLatin1Char(' ')));
    return QString::fromUtf8(
        run(QStringLiteral("zbarimg"), {QStringLiteral("--raw"), QStringLiteral("-q"), QStringLiteral("qr.png")})
            .trimmed());
}

struct Outcome {
    Sent sent = Sent::NotSent;
    QString error;
};

// Prints as the print queue does, on a thread of its own, so this thread's receivers answer.
std::future<Outcome> printAside(const QString &printer, const QString &uuid, const QString &job = QStringLiteral("job"))
{
    return std::async(std::launch::async, [=] {
        PrinterSetting s;
        Outcome o;
        labels::LabelTemplate t;
        if (!PrinterSetting::parse(printer, &s, &o.error)
            || !labels::LabelTemplate::load(QStringLiteral("Resources/label-template.txt"), &t, &o.error))
            return o;
        const labels::LabelValues v{uuid,
                                    QStringLiteral("SN1"),
                                    QStringLiteral("IPC-Z7"),
                                    QStringLiteral("优美科技"),
                                    QStringLiteral("2026-12-08"),
                                    QStringLiteral("line-3")};
        o.sent = LabelPrinter::make(s)->print(t, v, job, &o.error);
        return o;
    });
}

Outcome outcome(std::future<Outcome> f)
{
    if (!QTest::qWaitFor([&] { return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 60000))
        return {Sent::NotSent, QStringLiteral("still printing after a minute")};
    return f.get();
}

Delivered delivered(const QString &printer, const QString &job)
{
    PrinterSetting s;
    QString error;
    PrinterSetting::parse(printer, &s, &error);
    return LabelPrinter::make(s)->delivered(job);
}

// A receiver on loopback: takes what comes and closes when the sender has finished, or,
// with `readAtMost`, hangs up after that many bytes (0: at once), leaving the rest unread.
struct Receiver {
    QTcpServer server;
    QByteArray received;
    bool finished = false;
    explicit Receiver(int readAtMost = -1)
    {
        server.listen(QHostAddress::LocalHost);
        QObject::connect(&server, &QTcpServer::newConnection, [this, readAtMost] {
            QTcpSocket *s = server.nextPendingConnection();
            if (readAtMost == 0)
                return s->abort();
            s->setReadBufferSize(qMax(readAtMost, 0));
            QObject::connect(s, &QTcpSocket::readyRead, s, [this, s, readAtMost] {
                received += readAtMost < 0 ? s->readAll() : s->read(readAtMost);
                if (readAtMost > 0)
                    s->abort();
            });
            QObject::connect(s, &QTcpSocket::readChannelFinished, s, [this, s] {
                finished = true;
                s->disconnectFromHost();
            });
        });
    }
};

} // namespace

class TestLabelPrinter : public QObject
{
    Q_OBJECT

private slots:
    void settingIsReadOrRefused_data();
    void settingIsReadOrRefused();
    void zplPrintedOnlyWhenTheWholeLabelWasTaken_data();
    void zplPrintedOnlyWhenTheWholeLabelWasTaken();
    void pdfFolderHoldsWholeSafelyNamedFiles();
    void cupsQueueTakesTheSamePage();
};

void TestLabelPrinter::settingIsReadOrRefused_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected"); // kind|target|port, or the error's words
    QTest::newRow("cups") << "cups:Zebra_ZD421"
                          << "0|Zebra_ZD421|9100";
    QTest::newRow("zpl") << " zpl://printer-3.line "
                         << "1|printer-3.line|9100";
    QTest::newRow("zpl ipv6 port") << "zpl://[fe80::1]:6101/"
                                   << "1|fe80::1|6101";
    QTest::newRow("pdf") << "pdf:labels/out"
                         << "2|labels/out|9100";
    QTest::newRow("port 0") << "zpl://host:0"
                            << "is not a host with a port from 1 to 65535";
    QTest::newRow("port too big") << "zpl://host:65536"
                                  << "is not a host with a port";
    QTest::newRow("no queue") << "cups:"
                              << "no print queue";
    QTest::newRow("unknown") << "lpr://host"
                             << "not a kind of printer";
}

void TestLabelPrinter::settingIsReadOrRefused()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    PrinterSetting s;
    QString error;
    const bool ok = PrinterSetting::parse(text, &s, &error);
    if (expected.contains(QLatin1Char('|'))) {
        QVERIFY2(ok, qPrintable(error));
        QCOMPARE(QStringLiteral("%1|%2|%3").arg(s.kind).arg(s.target).arg(s.port), expected);
        QCOMPARE(s.text, text);
        return;
    }
    // What was wrong, and the three forms that are right.
    QVERIFY(!ok);
    for (const QString &part : {expected, text, QStringLiteral("cups:QUEUE"), QStringLiteral("zpl://HOST[:PORT]"),
                                QStringLiteral("pdf:FOLDER")})
        QVERIFY2(error.contains(part), qPrintable(error));
}

void TestLabelPrinter::zplPrintedOnlyWhenTheWholeLabelWasTaken_data()
{
    QTest::addColumn<int>("readAtMost");
    QTest::newRow("a printer that reads it all") << -1;
    QTest::newRow("nobody listens") << -2;
    QTest::newRow("accepts and hangs up at once") << 0;
    QTest::newRow("reads part and hangs up") << 64;
}

void TestLabelPrinter::zplPrintedOnlyWhenTheWholeLabelWasTaken()
{
    QFETCH(int, readAtMost);
    Receiver printer(readAtMost);
    const quint16 port = printer.server.serverPort();
    if (readAtMost == -2)
        printer.server.close();
    const QString uuid = QStringLiteral("d3b07384-d9a0-4c9b-8f1e-6a1b2c3d4e5f");
    QElapsedTimer timer;
    timer.start();
    const Outcome o = outcome(printAside(QStringLiteral("zpl://127.0.0.1:%1").arg(port), uuid));
    if (readAtMost == -1) {
        QVERIFY2(o.sent == Sent::Printed, qPrintable(o.error));
        QVERIFY2(printer.received.startsWith("^XA\n^CI28\n") && printer.received.endsWith("^XZ\n")
                     && printer.received.contains("^FDMA," + uuid.toLatin1() + "^FS"),
                 printer.received.constData());
        // A value no QR holds is refused for good, before any connection.
        QCOMPARE(outcome(printAside(QStringLiteral("zpl://127.0.0.1:1"), QString(3000, QLatin1Char('u')))).sent,
                 Sent::Unprintable);
        return;
    }
    QCOMPARE(o.sent, Sent::NotSent);
    QVERIFY2(o.error.startsWith(QStringLiteral("The label printer at 127.0.0.1:%1 does not answer: ").arg(port)),
             qPrintable(o.error));
    QVERIFY2(timer.elapsed() < 2500, qPrintable(QString::number(timer.elapsed()))); // told, not timed out
}

void TestLabelPrinter::pdfFolderHoldsWholeSafelyNamedFiles()
{
    // A hostile identifier in the job's name neither leaves the folder nor hides the file.
    const QString uuid = QStringLiteral("../x/设备\\01"), job = QStringLiteral("label-7-copy1-") + uuid;
    const QString folder = QStringLiteral("pdf:printed");
    QCOMPARE(delivered(folder, job), Delivered::No);
    for (const QString &name : {job, QStringLiteral("..x")}) {
        const Outcome o = outcome(printAside(folder, uuid, name));
        QVERIFY2(o.sent == Sent::Printed, qPrintable(o.error));
    }
    QCOMPARE(delivered(folder, job), Delivered::Yes);
    QCOMPARE(delivered(folder, QStringLiteral("label-7-copy2-") + uuid), Delivered::No);
    const QStringList files = QDir(QStringLiteral("printed")).entryList(QDir::Files | QDir::Hidden);
    QCOMPARE(files.size(), 2); // whole files only, no temporary left behind
    QVERIFY2(files.filter(QRegularExpression(QStringLiteral("^[A-Za-z0-9_-][A-Za-z0-9._-]*\\.pdf$"))) == files,
             qPrintable(files.join(QLatin1Char(' '))));
    QCOMPARE(decodeQr(QStringLiteral("printed/") + files.filter(QStringLiteral("copy1")).value(0)), uuid);

    const Outcome nowhere = outcome(printAside(QStringLiteral("pdf:missing/printed"), uuid));
    QCOMPARE(nowhere.sent, Sent::NotSent);
    QVERIFY2(nowhere.error.contains(QLatin1String("missing/printed")), qPrintable(nowhere.error));
    // Too fine to scan on its item: never printable, nothing written.
    QCOMPARE(outcome(printAside(folder, QString(700, QLatin1Char('u')), QStringLiteral("dense"))).sent,
             Sent::Unprintable);
    QCOMPARE(delivered(folder, QStringLiteral("dense")), Delivered::No);
}

void TestLabelPrinter::cupsQueueTakesTheSamePage()
{
    const QString cupsd = QStringLiteral("/usr/sbin/cupsd");
    if (!QFileInfo(cupsd).isExecutable())
        QSKIP("no /usr/sbin/cupsd (Debian package cups)");
    // A cupsd of the suite's own, all its files and its socket in the working folder; the
    // machine's printing is not touched. The queue's device is a receiver here. Its backend
    // runs as lp, so the folders must let it pass.
    const QString dir = testsupport::workingDirectory() + QStringLiteral("/cups"), socket = dir + "/cups.sock";
    for (const char *sub : {"root", "spool", "cache", "state", "tmp", "log"})
        QVERIFY(QDir().mkpath(dir + QLatin1Char('/') + QLatin1String(sub)));
    const auto open = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
    QVERIFY(QFile::setPermissions(testsupport::workingDirectory(), open) && QFile::setPermissions(dir, open));
    testsupport::writeFile("cups/root/cups-files.conf",
                           QStringLiteral("ServerRoot %1/root\nStateDir %1/state\nCacheDir %1/cache\nRequestRoot "
                                          "%1/spool\nTempDir %1/tmp\nErrorLog %1/log/error_log\nAccessLog "
                                          "%1/log/access_log\nPageLog %1/log/page_log\n")
                               .arg(dir)
                               .toUtf8());
    testsupport::writeFile(
        "cups/root/cupsd.conf",
        "Listen " + socket.toUtf8()
            + "\nBrowsing Off\nWebInterface No\n<Location />\n Order allow,deny\n Allow all\n</Location>\n");
    QProcess daemon;
    daemon.setProcessChannelMode(QProcess::MergedChannels);
    daemon.start(cupsd, {"-f", "-c", dir + "/root/cupsd.conf", "-s", dir + "/root/cups-files.conf"});
    QVERIFY(daemon.waitForStarted());
    const auto stop = qScopeGuard([&] {
        daemon.terminate();
        daemon.waitForFinished();
    });
    Receiver device;
    const auto listening = [&] {
        QLocalSocket probe;
        probe.connectToServer(socket);
        return probe.waitForConnected(1000);
    };
    QTRY_VERIFY_WITH_TIMEOUT(daemon.state() != QProcess::Running || listening(), 30000);
    bool added = false;
    run(QStringLiteral("lpadmin"),
        {"-h", socket, "-p", "tarnwell-test", "-v",
         QStringLiteral("socket://127.0.0.1:%1").arg(device.server.serverPort()), "-E"},
        &added);
    if (!added)
        QSKIP(qPrintable(QStringLiteral("cupsd could not run here: ")
                         + QString::fromLocal8Bit(daemon.readAll() + testsupport::readFile(dir + "/log/error_log"))));
    qputenv("CUPS_SERVER", socket.toLocal8Bit());

    Outcome o = outcome(printAside(QStringLiteral("cups:no-such-queue"), QStringLiteral("x")));
    QCOMPARE(o.sent, Sent::NotSent);
    QVERIFY2(o.error.contains(QLatin1String("\"no-such-queue\"")), qPrintable(o.error));
    const QString uuid = QStringLiteral("UMEYE-优美-0001");
    o = outcome(printAside(QStringLiteral("cups:tarnwell-test"), uuid, QStringLiteral("label-1-copy1")));
    QVERIFY2(o.sent == Sent::Printed, qPrintable(o.error));
    QCOMPARE(delivered(QStringLiteral("cups:tarnwell-test"), QStringLiteral("label-1-copy1")), Delivered::Unknown);
    QTRY_VERIFY_WITH_TIMEOUT(device.finished, 60000);
    QVERIFY(device.received.startsWith("%PDF") && device.received.trimmed().endsWith("%%EOF"));
    testsupport::writeFile(QStringLiteral("queued.pdf"), device.received);
    QCOMPARE(decodeQr(QStringLiteral("queued.pdf")), uuid);
    // One page of the label's own size, 50 × 30 mm in whole points.
    const QByteArray info = run(QStringLiteral("pdfinfo"), {QStringLiteral("queued.pdf")});
    QVERIFY2(info.contains("Pages:           1") && info.contains("142 x 85 pts"), info.constData());

    // A queue that takes no jobs is not mistaken for one that took the label.
    run(QStringLiteral("cupsreject"), {"-h", socket, "tarnwell-test"});
    o = outcome(printAside(QStringLiteral("cups:tarnwell-test"), uuid, QStringLiteral("label-1-copy2")));
    QCOMPARE(o.sent, Sent::NotSent);
    QVERIFY2(o.error.contains(QLatin1String("\"tarnwell-test\" did not take the label: ")), qPrintable(o.error));
}

TARNWELL_TEST_MAIN(TestLabelPrinter)
#include "tst_labelprinter.moc"
