// The label queue against a ZPL printer on loopback (a listener of the test's own) and a
// folder of PDF files: one label per confirmed device, printed in the order confirmed,
// waiting while the printer is away, and never printed twice by a station killed before
// its labels left.
#include "tests/support/linecheck.h"
#include "tests/support/testsupport.h"
#include "tests/support/zplsink.h"

#include "device/devicemng.h"
#include "jobs/labelqueue.h"
#include "platform/devicesim/simprocess.h"
#include "store/datastore.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QSet>

#include <memory>

namespace {

using testsupport::count;
using testsupport::ZplSink;

// tarnwell.ini of `folder` with [labels]; a [store] section already there stays.
void writeLabelSettings(const QString &printer, const QString &templatePath = QString(),
                        const QString &folder = QStringLiteral("."))
{
    const QString path = QDir(folder).filePath(QStringLiteral("tarnwell.ini"));
    QString ini = QString::fromUtf8(testsupport::readFile(path));
    const int labels = ini.indexOf(QStringLiteral("[labels]"));
    if (labels >= 0)
        ini.truncate(labels);
    ini += QStringLiteral("[labels]\nprinter=%1\n").arg(printer);
    if (!templatePath.isEmpty())
        ini += QStringLiteral("template=%1\n").arg(templatePath);
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(ini.toUtf8());
}

// Makes identifiers used for devices in this order, each with its label due.
void confirm(const QStringList &serials)
{
    for (const QString &s : serials)
        QVERIFY(testsupport::burnInPool(s, 1, QStringLiteral("DEV-") + s, QStringLiteral("IPC"),
                                        QStringLiteral("127.0.0.1")));
}

QStringList labelColumn(const QString &column, const QString &where = QStringLiteral("1=1"))
{
    return testsupport::column(QStringLiteral("SELECT %1 FROM Labels WHERE %2 ORDER BY LabelID").arg(column, where));
}

// A burnstation process on `line` with labels on `printer`, collecting what it prints.
struct Station {
    QProcess process;
    QString output;

    void start(const devicesim::SimProcess &line, int devices, const QString &printer, int rounds)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("Z7_NETSDK_TARGETS"), line.target());
        QString folder = QDir::currentPath();
        if (testsupport::onServer()) {
            folder = QDir::current().absoluteFilePath(QStringLiteral("station"));
            QDir().mkpath(folder);
            const QString here = QDir::currentPath();
            QDir::setCurrent(folder);
            testsupport::pointAtServer(*testsupport::serverCluster(), QStringLiteral("station"));
            QDir::setCurrent(here);
        }
        writeLabelSettings(printer, QDir::current().absoluteFilePath(QStringLiteral("Resources/label-template.txt")),
                           folder);
        process.setWorkingDirectory(folder);
        process.setProcessEnvironment(env);
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process,
                         [this] { output += QString::fromUtf8(process.readAllStandardOutput()); });
        process.start(QStringLiteral(TARNWELL_BURNSTATION),
                      {QStringLiteral("--devices"), QString::number(devices), QStringLiteral("--rounds"),
                       QString::number(rounds), QStringLiteral("--search-ms"), QStringLiteral("3000")});
    }
    bool ended() const { return process.state() == QProcess::NotRunning; }
};

} // namespace

class TestLabelQueue : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        // Back to the suite's own settings: no labels.
        const QString ini = QString::fromUtf8(testsupport::readFile(QStringLiteral("tarnwell.ini")));
        const int labels = ini.indexOf(QStringLiteral("[labels]"));
        if (labels >= 0)
            testsupport::writeFile(QStringLiteral("tarnwell.ini"), ini.left(labels).toUtf8());
    }

    // The page counts the labels that wait and says why; a template or printer put right is
    // taken without a restart, and a printer that drops a label gets it again before any
    // later one.
    void labelsWaitAndPrintInTheirOrder()
    {
        ZplSink sink;
        QVERIFY(sink.open());
        sink.close();
        writeLabelSettings(sink.printer(), QStringLiteral("missing/label.txt"));
        testsupport::freshDatabase();
        QVERIFY(testsupport::fillPool(QStringLiteral("LQ-"), 6, 1));
        // Confirmed out of the pool's order: the labels follow the confirmations.
        const QStringList order = {QStringLiteral("LQ-0004"), QStringLiteral("LQ-0001"), QStringLiteral("LQ-0006"),
                                   QStringLiteral("LQ-0002"), QStringLiteral("LQ-0005")};
        confirm(order);

        DeviceMng page;
        auto *waiting = testsupport::child<QLabel>(&page, "lblLabelsWaiting");
        QVERIFY(waiting && waiting->isHidden());
        jobs::LabelQueue queue;
        page.setLabelQueue(&queue);
        queue.start();
        QTRY_COMPARE(queue.waiting(), 5);
        QVERIFY2(queue.lastError().contains(QStringLiteral("missing/label.txt")), qPrintable(queue.lastError()));
        QVERIFY(!waiting->isHidden());
        QVERIFY2(waiting->text().contains(QLatin1String("5")), qPrintable(waiting->text()));
        QCOMPARE(waiting->toolTip(), queue.lastError());
        QCOMPARE(countWaitingLabels(), 5);

        writeLabelSettings(sink.printer());
        queue.wake();
        QTRY_VERIFY2(queue.lastError().contains(QStringLiteral("127.0.0.1:%1").arg(sink.port())),
                     qPrintable(queue.lastError()));
        QCOMPARE(countWaitingLabels(), 5);
        QCOMPARE(labelColumn(QStringLiteral("LabelState")).join(QString()), QStringLiteral("00000"));

        // Back, but the first label it is sent is lost on the way.
        sink.dropNext = 1;
        QVERIFY(sink.open());
        queue.wake();
        QTRY_COMPARE_WITH_TIMEOUT(sink.jobs.size(), 5, 20000);
        QCOMPARE(sink.qrs(), order);
        QCOMPARE(sink.jobsCut, 0);
        QTRY_VERIFY(waiting->isHidden());
        QCOMPARE(queue.waiting(), 0);
        QCOMPARE(labelColumn(QStringLiteral("LabelState")).join(QString()), QStringLiteral("22222"));
        QCOMPARE(count(QStringLiteral("SerialEvents WHERE EventKind=%1").arg(int(SerialEventKind::LabelPrinted))), 5);
    }

    // A label the program was sending when it stopped: printed when the printer has it, sent
    // again when it has not, handed to a person when the printer cannot tell. A label no
    // printer can make fails with a log row and holds up nobody.
    void labelsLeftSendingAreSettledOnce()
    {
        writeLabelSettings(QStringLiteral("pdf:printed"));
        testsupport::freshDatabase();
        QVERIFY(testsupport::fillPool(QStringLiteral("LS-"), 5, 1));
        confirm({QStringLiteral("LS-0001"), QStringLiteral("LS-0002"), QStringLiteral("LS-0003"),
                 QStringLiteral("LS-0004")});
        const QStringList ids = labelColumn(QStringLiteral("LabelID"));
        const auto file = [&](int i, const QString &serial) {
            return QStringLiteral("printed/label-%1-copy1-%2.pdf").arg(ids.at(i), serial);
        };
        QVERIFY(!testsupport::writeFile(file(0, QStringLiteral("LS-0001")), "printed before the stop").isEmpty());
        QVERIFY(testsupport::exec(
            QStringLiteral("UPDATE Labels SET LabelState=1, LabelPrinter='pdf:printed' WHERE LabelID IN (%1, %2)")
                .arg(ids.at(0), ids.at(1))));
        QVERIFY(testsupport::exec(
            QStringLiteral("UPDATE Labels SET LabelState=1, LabelPrinter='zpl://127.0.0.1:9' WHERE LabelID=%1")
                .arg(ids.at(2))));
        // Its uuid is longer than any QR of the template holds.
        QVERIFY(testsupport::exec(QStringLiteral("UPDATE Labels SET SerialNumber='%1' WHERE LabelID=%2")
                                      .arg(QString(3000, QLatin1Char('L')), ids.at(3))));
        const int logsBefore = count(QStringLiteral("Logs"));

        jobs::LabelQueue queue;
        queue.start();
        QTRY_COMPARE(labelColumn(QStringLiteral("LabelState")).join(QString()), QStringLiteral("2233"));
        QCOMPARE(testsupport::readFile(file(0, QStringLiteral("LS-0001"))), QByteArray("printed before the stop"));
        QVERIFY(QFile::exists(file(1, QStringLiteral("LS-0002"))));
        QCOMPARE(QDir(QStringLiteral("printed")).entryList(QDir::Files).size(), 2);
        QCOMPARE(count(QStringLiteral("Logs")), logsBefore + 2);
        QCOMPARE(count(QStringLiteral("Logs WHERE LogDescribe LIKE '%LS-0003%check the box%'")), 1);
        QVERIFY(!labelColumn(QStringLiteral("LabelError"), QStringLiteral("LabelState=3")).contains(QString()));
        QTRY_COMPARE(queue.waiting(), 0);

        // Settled once: a reprint of the uncertain one is a new copy, printed once.
        int copy = 0;
        QCOMPARE(reprintLabel(
                     QStringLiteral("LS-0003"), QStringLiteral("box had none"),
                     [](int) { return makeLogRecord(QStringLiteral("Label"), QStringLiteral("reprint")); }, &copy),
                 ReprintResult::Queued);
        queue.wake();
        QTRY_COMPARE(count(QStringLiteral("Labels WHERE SerialNumber='LS-0003' AND LabelState=2")), 1);
        QCOMPARE(copy, 2);
        QCOMPARE(QDir(QStringLiteral("printed")).entryList(QDir::Files).size(), 3);
    }

    // A line of 50 devices, some refusing writes, some losing or changing what they took,
    // burnt by a station process until it is done: a label for each confirmed device alone,
    // its QR the identifier the pool records used for that device.
    void oneLabelPerConfirmedDevice()
    {
        devicesim::SimProcess line;
        QVERIFY2(line.start({QStringLiteral("--devices"), QStringLiteral("50"), QStringLiteral("--refuse"),
                             QStringLiteral("4"), QStringLiteral("--forget"), QStringLiteral("10"),
                             QStringLiteral("--corrupt"), QStringLiteral("10"), QStringLiteral("--seed"),
                             QStringLiteral("7")}),
                 qPrintable(line.errorText()));
        testsupport::freshDatabase();
        QVERIFY(testsupport::fillPool(QStringLiteral("LP-"), 80, 1));
        ZplSink sink;
        QVERIFY(sink.open());
        Station station;
        station.start(line, 50, sink.printer(), 6);
        QTRY_VERIFY_WITH_TIMEOUT(station.ended(), 240000);
        QVERIFY2(station.output.contains(QStringLiteral("labels done")), qPrintable(station.output));

        const QStringList wrong = testsupport::disagreements({&line}, false);
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(QLatin1Char('\n'))));
        QStringList used = testsupport::column(QStringLiteral("SELECT SerialNumber FROM SerialNumbers WHERE IsUse=1"));
        QVERIFY2(used.size() >= 30 && used.size() <= 46, qPrintable(station.output)); // the 4 refusing get none
        QStringList printed = sink.qrs();
        QCOMPARE(QSet<QString>(printed.begin(), printed.end()).size(), printed.size());
        std::sort(used.begin(), used.end());
        std::sort(printed.begin(), printed.end());
        QCOMPARE(printed, used);
        QCOMPARE(sink.jobsCut, 0);
        // Each label was made for the device the identifier is used for.
        QCOMPARE(count(QStringLiteral("Labels l JOIN SerialNumbers s ON s.SerialNumber=l.SerialNumber "
                                      "WHERE l.LabelState=2 AND s.IsUse=1 AND s.DeviceSerialNum=l.DeviceSerialNum")),
                 used.size());
        QCOMPARE(count(QStringLiteral("Labels")), used.size());
    }

    // Killed after its confirmations while the printer was away: started again with the
    // printer back, the station prints the labels that were missing, none twice; one cut off
    // while sending goes to a person with a log row instead.
    void killedStationPrintsOnlyTheMissing()
    {
        devicesim::SimProcess line;
        QVERIFY2(line.start({QStringLiteral("--devices"), QStringLiteral("20"), QStringLiteral("--seed"),
                             QStringLiteral("9")}),
                 qPrintable(line.errorText()));
        testsupport::freshDatabase();
        QVERIFY(testsupport::fillPool(QStringLiteral("LK-"), 40, 1));
        ZplSink sink;
        QVERIFY(sink.open());
        sink.close();
        {
            Station first;
            first.start(line, 20, sink.printer(), 4);
            QTRY_VERIFY_WITH_TIMEOUT(first.output.contains(QStringLiteral("labels waiting")) || first.ended(), 120000);
            QVERIFY2(!first.ended(), qPrintable(first.output));
            first.process.kill();
            QTRY_VERIFY(first.ended());
        }
        QCOMPARE(count(QStringLiteral("SerialNumbers WHERE IsUse=1")), 20);
        QCOMPARE(count(QStringLiteral("Labels WHERE LabelState IN (0, 1)")), 20);
        const QStringList cutOff = labelColumn(QStringLiteral("SerialNumber"), QStringLiteral("LabelState=1"));
        QVERIFY(sink.jobs.isEmpty());

        QVERIFY(sink.open());
        Station second;
        second.start(line, 20, sink.printer(), 2);
        QTRY_VERIFY_WITH_TIMEOUT(second.ended(), 120000);
        QVERIFY2(second.process.exitCode() == 0, qPrintable(second.output));
        QStringList printed = sink.qrs();
        QCOMPARE(QSet<QString>(printed.begin(), printed.end()).size(), printed.size());
        QStringList expected = labelColumn(QStringLiteral("SerialNumber"), QStringLiteral("LabelState=2"));
        std::sort(printed.begin(), printed.end());
        std::sort(expected.begin(), expected.end());
        QCOMPARE(printed, expected);
        QCOMPARE(printed.size() + cutOff.size(), 20);
        QCOMPARE(labelColumn(QStringLiteral("SerialNumber"), QStringLiteral("LabelState=3")), cutOff);
        QCOMPARE(count(QStringLiteral("Logs WHERE LogDescribe LIKE '%check the box%'")), cutOff.size());
    }
};

TARNWELL_TEST_MAIN(TestLabelQueue)
#include "tst_labelqueue.moc"
