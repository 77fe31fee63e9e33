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

#include <chrono>
#include <future>

using labels::LabelPrinter;
using labels::LabelTemplate;
using labels::LabelValues;
using labels::PrinterSetting;
using Sent = LabelPrinter::Sent;

namespace {

bool run(const QString &program, const QStringList &args, QByteArray *out = nullptr)
{
    QProcess p;
    p.start(program, args);
    const bool ok = p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (!ok)
        qWarning().noquote() << program << args << "failed:" << p.readAllStandardError();
    if (out)
        *out = p.readAllStandardOutput();
    return ok;
}

// The QR of a PDF page, as a scanner reads it.
QByteArray decodeQr(const QString &pdf)
{
    QByteArray decoded;
    run(QStringLiteral("pdftoppm"),
        {QStringLiteral("-r"), QStringLiteral("300"), QStringLiteral("-png"), QStringLiteral("-singlefile"), pdf,
         QStringLiteral("qr")});
    run(QStringLiteral("zbarimg"), {QStringLiteral("--raw"), QStringLiteral("-q"), QStringLiteral("qr.png")}, &decoded);
    return decoded.trimmed();
}

LabelTemplate shippedTemplate()
{
    LabelTemplate t;
    QString error;
    if (!LabelTemplate::load(QStringLiteral("Resources/label-template.txt"), &t, &error))
        qWarning().noquote() << error;
    return t;
}

LabelValues values(const QString &uuid)
{
    return {uuid,
            QStringLiteral("SN20261208001"),
            QStringLiteral("IPC-Z7"),
            QStringLiteral("优美科技"),
            QStringLiteral("2026-12-08"),
            QStringLiteral("line-3")};
}

std::unique_ptr<LabelPrinter> printerFor(const QString &text)
{
    PrinterSetting s;
    QString error;
    if (!PrinterSetting::parse(text, &s, &error))
        qWarning().noquote() << error;
    return LabelPrinter::make(s);
}

struct Outcome {
    Sent sent = Sent::NotSent;
    QString error;
};

// Prints on a thread of its own, as the print queue does, so that this thread's listener
// answers meanwhile.
std::future<Outcome> printAside(LabelPrinter *printer, const LabelValues &v, const QString &job = QStringLiteral("job"))
{
    return std::async(std::launch::async, [printer, v, job] {
        Outcome o;
        o.sent = printer->print(shippedTemplate(), v, job, &o.error);
        return o;
    });
}

bool ready(const std::future<Outcome> &f)
{
    return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

} // namespace

class TestLabelPrinter : public QObject
{
    Q_OBJECT

private slots:
    void settingIsReadOrRefused_data();
    void settingIsReadOrRefused();
    void zplLabelArrivesWhole();
    void zplNeverPrintedWithoutTheWholeLabel_data();
    void zplNeverPrintedWithoutTheWholeLabel();
    void pdfFolderHoldsWholeSafelyNamedFiles();
    void cupsQueueTakesTheSamePage();
};

void TestLabelPrinter::settingIsReadOrRefused_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected"); // kind|target|port, or the error's words
    QTest::newRow("cups") << "cups:Zebra_ZD421"
                          << "0|Zebra_ZD421|9100";
    QTest::newRow("zpl default port") << " zpl://printer-3.line "
                                      << "1|printer-3.line|9100";
    QTest::newRow("zpl port") << "zpl://10.0.0.5:6101/"
                              << "1|10.0.0.5|6101";
    QTest::newRow("zpl ipv6") << "zpl://[fe80::1]:9101"
                              << "1|fe80::1|9101";
    QTest::newRow("pdf") << "pdf:labels/out"
                         << "2|labels/out|9100";
    QTest::newRow("port 0") << "zpl://host:0"
                            << "a host with a port from 1 to 65535";
    QTest::newRow("port too big") << "zpl://host:65536"
                                  << "a host with a port";
    QTest::newRow("empty port") << "zpl://host:"
                                << "a host with a port";
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
    if (expected.contains(QLatin1Char('|'))) {
        QVERIFY2(PrinterSetting::parse(text, &s, &error), qPrintable(error));
        QCOMPARE(QStringLiteral("%1|%2|%3").arg(s.kind).arg(s.target).arg(s.port), expected);
        QCOMPARE(s.text, text);
    } else {
        QVERIFY(!PrinterSetting::parse(text, &s, &error));
        // The operator is told what was wrong and the three forms that are right.
        QVERIFY2(error.contains(expected) && error.contains(text) && error.contains(QLatin1String("cups:QUEUE"))
                     && error.contains(QLatin1String("zpl://HOST[:PORT]"))
                     && error.contains(QLatin1String("pdf:FOLDER")),
                 qPrintable(error));
    }
}

void TestLabelPrinter::zplLabelArrivesWhole()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    QByteArray received;
    connect(&server, &QTcpServer::newConnection, this, [&] {
        QTcpSocket *s = server.nextPendingConnection();
        connect(s, &QTcpSocket::readyRead, s, [s, &received] { received += s->readAll(); });
        // Like a printer: it reads to the end of the job, then closes.
        connect(s, &QTcpSocket::readChannelFinished, s, [s] { s->disconnectFromHost(); });
    });
    auto printer = printerFor(QStringLiteral("zpl://127.0.0.1:%1").arg(server.serverPort()));
    const QString uuid = QStringLiteral("d3b07384-d9a0-4c9b-8f1e-6a1b2c3d4e5f");
    auto f = printAside(printer.get(), values(uuid));
    QTRY_VERIFY_WITH_TIMEOUT(ready(f), 20000);
    const Outcome o = f.get();
    QVERIFY2(o.sent == Sent::Printed, qPrintable(o.error));
    QVERIFY2(received.startsWith("^XA\n^CI28\n") && received.endsWith("^XZ\n") && received.count("^XA") == 1
                 && received.contains("^FDMA," + uuid.toLatin1() + "^FS"),
             received.constData());

    // A value no QR can hold is refused for good, before any connection.
    const int before = received.size();
    QString error;
    QCOMPARE(printer->print(shippedTemplate(), values(QString(3000, QLatin1Char('u'))), QStringLiteral("job"), &error),
             Sent::Unprintable);
    QVERIFY(!error.isEmpty());
    QCOMPARE(received.size(), before);
    QCOMPARE(printer->delivered(QStringLiteral("job")), LabelPrinter::Delivered::Unknown);
}

void TestLabelPrinter::zplNeverPrintedWithoutTheWholeLabel_data()
{
    QTest::addColumn<QString>("listener");
    QTest::newRow("nobody listens") << "closed";
    QTest::newRow("accepts and closes at once") << "drop";
    QTest::newRow("reads part of the label and closes") << "half";
}

void TestLabelPrinter::zplNeverPrintedWithoutTheWholeLabel()
{
    QFETCH(QString, listener);
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    const quint16 port = server.serverPort();
    if (listener == QLatin1String("closed"))
        server.close();
    connect(&server, &QTcpServer::newConnection, this, [&] {
        QTcpSocket *s = server.nextPendingConnection();
        if (listener == QLatin1String("drop")) {
            s->abort();
            return;
        }
        // Take 64 bytes of the label, leave the rest unread and hang up.
        s->setReadBufferSize(64);
        connect(s, &QTcpSocket::readyRead, s, [s] {
            s->read(64);
            s->abort();
        });
    });
    auto printer = printerFor(QStringLiteral("zpl://127.0.0.1:%1").arg(port));
    QElapsedTimer timer;
    timer.start();
    auto f = printAside(printer.get(), values(QStringLiteral("UMEYE0123456789ABCDEF")));
    QTRY_VERIFY_WITH_TIMEOUT(ready(f), 20000);
    const Outcome o = f.get();
    QCOMPARE(o.sent, Sent::NotSent);
    QVERIFY2(o.error.contains(QStringLiteral("The label printer at 127.0.0.1:%1 does not answer: ").arg(port)),
             qPrintable(o.error));
    QVERIFY2(timer.elapsed() < 2500, qPrintable(QString::number(timer.elapsed()))); // told, not timed out
}

void TestLabelPrinter::pdfFolderHoldsWholeSafelyNamedFiles()
{
    // A hostile identifier in the job's name cannot leave the folder or hide the file.
    const QString uuid = QStringLiteral("../x/设备\\01");
    const QString job = QStringLiteral("label-7-copy1-") + uuid;
    auto printer = printerFor(QStringLiteral("pdf:printed"));
    QString error;
    QCOMPARE(printer->delivered(job), LabelPrinter::Delivered::No);
    QVERIFY2(printer->print(shippedTemplate(), values(uuid), job, &error) == Sent::Printed, qPrintable(error));
    QVERIFY2(printer->print(shippedTemplate(), values(uuid), QStringLiteral("..x"), &error) == Sent::Printed,
             qPrintable(error));
    QCOMPARE(printer->delivered(job), LabelPrinter::Delivered::Yes);
    QCOMPARE(printer->delivered(QStringLiteral("label-7-copy2-") + uuid), LabelPrinter::Delivered::No);

    const QStringList files = QDir(QStringLiteral("printed")).entryList(QDir::Files | QDir::Hidden);
    QCOMPARE(files.size(), 2); // whole files only, no temporary left behind
    for (const QString &name : files)
        QVERIFY2(QRegularExpression(QStringLiteral("^[A-Za-z0-9_-][A-Za-z0-9._-]*\\.pdf$")).match(name).hasMatch(),
                 qPrintable(name));
    QVERIFY(QDir().entryList(QDir::Files).filter(QStringLiteral(".pdf")).isEmpty());
    QCOMPARE(QString::fromUtf8(decodeQr(QStringLiteral("printed/") + files.filter(QStringLiteral("copy1")).value(0))),
             uuid);

    // No folder to make it in: nothing sent, said why; a QR too fine for its item: never printable.
    auto nowhere = printerFor(QStringLiteral("pdf:missing/printed"));
    QCOMPARE(nowhere->print(shippedTemplate(), values(uuid), job, &error), Sent::NotSent);
    QVERIFY2(error.contains(QLatin1String("missing/printed")), qPrintable(error));
    QCOMPARE(nowhere->delivered(job), LabelPrinter::Delivered::No);
    QCOMPARE(printer->print(shippedTemplate(), values(QString(700, QLatin1Char('u'))), QStringLiteral("dense"), &error),
             Sent::Unprintable);
    QCOMPARE(printer->delivered(QStringLiteral("dense")), LabelPrinter::Delivered::No);
}

void TestLabelPrinter::cupsQueueTakesTheSamePage()
{
    const QString cupsd = QStringLiteral("/usr/sbin/cupsd");
    if (!QFileInfo(cupsd).isExecutable())
        QSKIP("no /usr/sbin/cupsd (Debian package cups)");
    // A cupsd of the suite's own: its files, spool, logs and socket in the working folder,
    // nothing of the machine's printing touched. The queue's device is a listener here, so
    // the test holds exactly what the queue sent. Backends run as lp: the folder must be
    // open to pass through.
    const QString dir = testsupport::workingDirectory() + QStringLiteral("/cups");
    for (const QString &sub : {QStringLiteral("root"), QStringLiteral("spool"), QStringLiteral("cache"),
                               QStringLiteral("state"), QStringLiteral("tmp"), QStringLiteral("log")})
        QVERIFY(QDir().mkpath(dir + QLatin1Char('/') + sub));
    const auto open = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
    QVERIFY(QFile::setPermissions(testsupport::workingDirectory(), open) && QFile::setPermissions(dir, open));
    const QString socket = dir + QStringLiteral("/cups.sock");
    testsupport::writeFile(QStringLiteral("cups/root/cups-files.conf"),
                           QStringLiteral("ServerRoot %1/root\nStateDir %1/state\nCacheDir %1/cache\n"
                                          "RequestRoot %1/spool\nTempDir %1/tmp\nErrorLog %1/log/error_log\n"
                                          "AccessLog %1/log/access_log\nPageLog %1/log/page_log\nFileDevice No\n")
                               .arg(dir)
                               .toUtf8());
    testsupport::writeFile(QStringLiteral("cups/root/cupsd.conf"),
                           QStringLiteral("Listen %1\nBrowsing Off\nWebInterface No\nLogLevel info\n"
                                          "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n")
                               .arg(socket)
                               .toUtf8());
    QProcess daemon;
    daemon.setProcessChannelMode(QProcess::MergedChannels);
    daemon.start(cupsd,
                 {QStringLiteral("-f"), QStringLiteral("-c"), dir + QStringLiteral("/root/cupsd.conf"),
                  QStringLiteral("-s"), dir + QStringLiteral("/root/cups-files.conf")});
    QVERIFY(daemon.waitForStarted());
    const auto stop = qScopeGuard([&] {
        daemon.terminate();
        daemon.waitForFinished();
    });
    QTcpServer device;
    QVERIFY(device.listen(QHostAddress::LocalHost));
    QByteArray received;
    bool finished = false;
    connect(&device, &QTcpServer::newConnection, this, [&] {
        QTcpSocket *s = device.nextPendingConnection();
        connect(s, &QTcpSocket::readyRead, s, [s, &received] { received += s->readAll(); });
        connect(s, &QTcpSocket::readChannelFinished, s, [s, &finished] {
            finished = true;
            s->disconnectFromHost();
        });
    });
    const QStringList add{QStringLiteral("-h"), socket,
                          QStringLiteral("-p"), QStringLiteral("tarnwell-test"),
                          QStringLiteral("-v"), QStringLiteral("socket://127.0.0.1:%1").arg(device.serverPort()),
                          QStringLiteral("-E")};
    const auto listening = [&] {
        QLocalSocket probe;
        probe.connectToServer(socket);
        return probe.waitForConnected(1000);
    };
    QTRY_VERIFY_WITH_TIMEOUT(daemon.state() != QProcess::Running || listening(), 30000);
    if (daemon.state() != QProcess::Running || !run(QStringLiteral("lpadmin"), add))
        QSKIP(qPrintable(QStringLiteral("cupsd could not run here: ") + QString::fromLocal8Bit(daemon.readAll())
                         + QString::fromLocal8Bit(testsupport::readFile(dir + QStringLiteral("/log/error_log")))));
    qputenv("CUPS_SERVER", socket.toLocal8Bit());

    QString error;
    QCOMPARE(printerFor(QStringLiteral("cups:no-such-queue"))
                 ->print(shippedTemplate(), values(QStringLiteral("x")), QStringLiteral("job"), &error),
             Sent::NotSent);
    QVERIFY2(error.contains(QLatin1String("\"no-such-queue\"")), qPrintable(error));
    auto printer = printerFor(QStringLiteral("cups:tarnwell-test"));
    const QString uuid = QStringLiteral("UMEYE-优美-0001");
    // From a thread of its own, as the print queue sends: what libcups answered is per thread.
    auto f = printAside(printer.get(), values(uuid), QStringLiteral("label-1-copy1"));
    QTRY_VERIFY_WITH_TIMEOUT(ready(f), 60000);
    Outcome o = f.get();
    QVERIFY2(o.sent == Sent::Printed, qPrintable(o.error));
    QCOMPARE(printer->delivered(QStringLiteral("label-1-copy1")), LabelPrinter::Delivered::Unknown);
    QTRY_VERIFY_WITH_TIMEOUT(finished, 60000);
    QVERIFY(run(QStringLiteral("cupsreject"), {QStringLiteral("-h"), socket, QStringLiteral("tarnwell-test")}));
    // A queue that takes no jobs is not mistaken for one that took the label.
    f = printAside(printer.get(), values(uuid), QStringLiteral("label-1-copy2"));
    QTRY_VERIFY_WITH_TIMEOUT(ready(f), 60000);
    o = f.get();
    QCOMPARE(o.sent, Sent::NotSent);
    QVERIFY2(o.error.contains(QLatin1String("\"tarnwell-test\" did not take the label: ")), qPrintable(o.error));
    QVERIFY(received.startsWith("%PDF") && received.trimmed().endsWith("%%EOF"));
    testsupport::writeFile(QStringLiteral("queued.pdf"), received);
    QCOMPARE(QString::fromUtf8(decodeQr(QStringLiteral("queued.pdf"))), uuid);
    // One page, the label's own size: 50 × 30 mm in whole points.
    QByteArray info;
    run(QStringLiteral("pdfinfo"), {QStringLiteral("queued.pdf")}, &info);
    QVERIFY2(info.contains("Pages:           1") && info.contains("142 x 85 pts"), info.constData());
}

TARNWELL_TEST_MAIN(TestLabelPrinter)
#include "tst_labelprinter.moc"
