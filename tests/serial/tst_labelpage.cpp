// Labels on the Serial page: the Label column (each row's latest copy, one read per page),
// the supervisor's reprint through its dialog, the label column of the export (and the
// export imported back), and the history of prints and reprints. On both engines.
#include "tests/support/testsupport.h"

#include "jobs/exportjob.h"
#include "jobs/historywords.h"
#include "jobs/importjob.h"
#include "serial/reprintlabeldlg.h"
#include "serial/serial.h"
#include "store/datastore.h"
#include "widgets/messagebox.h"

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>

#include <memory>

using testsupport::child;
using testsupport::click;

namespace {

const QSize kPageSize(1104, 656);
const int kColUuid = 1;
const int kColLabel = 7;
const QString kPrinter = QStringLiteral("pdf:labels");

// The oldest copy of `serial` that is due on this station.
qint64 dueLabel(const QString &serial)
{
    QList<PendingLabel> due;
    if (!stationLabels(LabelState::Due, 100, &due))
        return 0;
    for (const PendingLabel &l : qAsConst(due))
        if (l.serialNumber == serial)
            return l.labelId;
    return 0;
}

bool print(const QString &serial)
{
    const qint64 id = dueLabel(serial);
    return id > 0 && beginLabelPrint(id, kPrinter) && endLabelPrint(id);
}

int reprint(const QString &serial, const QString &reason)
{
    int copy = 0;
    const ReprintResult r = reprintLabel(
        serial, reason, [](int n) { return makeLogRecord(QStringLiteral("t"), QStringLiteral("copy %1").arg(n)); },
        &copy);
    return r == ReprintResult::Queued ? copy : -int(r);
}

} // namespace

class TestLabelPage : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<Serial> page;

    QTableWidget *table() { return child<QTableWidget>(page.get(), "tableWidget"); }
    int rowOf(const QString &serial)
    {
        for (int row = 0; row < table()->rowCount(); ++row)
            if (testsupport::cellText(table(), row, kColUuid) == serial)
                return row;
        return -1;
    }
    QString labelOf(const QString &serial) { return testsupport::cellText(table(), rowOf(serial), kColLabel); }

    void newPage()
    {
        page = std::make_unique<Serial>();
        page->resize(kPageSize);
        page->show();
        QVERIFY(QTest::qWaitForWindowExposed(page.get()));
    }

    // L-0001..L-0006 used; L-0002 due, L-0003 printed, L-0004 failed, L-0005 printed and
    // reprinted (copy 2 due), L-0006 printed twice.
    void labelsInEveryState()
    {
        QVERIFY(testsupport::fillPool(QStringLiteral("L-"), 6, 1, true, QStringLiteral("NVR")));
        for (int i = 2; i <= 6; ++i)
            QVERIFY(queueLabel(QStringLiteral("L-000%1").arg(i), QStringLiteral("DEVL-000%1").arg(i)));
        QVERIFY(print(QStringLiteral("L-0003")));
        const qint64 failing = dueLabel(QStringLiteral("L-0004"));
        QVERIFY(beginLabelPrint(failing, kPrinter));
        QVERIFY(failLabel(failing, QStringLiteral("out of paper"),
                          makeLogRecord(QStringLiteral("t"), QStringLiteral("f"))));
        QVERIFY(print(QStringLiteral("L-0005")));
        QCOMPARE(reprint(QStringLiteral("L-0005"), QStringLiteral("torn")), 2);
        QVERIFY(print(QStringLiteral("L-0006")));
        QCOMPARE(reprint(QStringLiteral("L-0006"), QStringLiteral("smudged: ink")), 2);
        QVERIFY(print(QStringLiteral("L-0006")));
    }

private slots:
    void init()
    {
        testsupport::freshDatabase();
        MessageBox::clear();
    }
    void cleanup() { page.reset(); }

    // Each row shows its latest copy; the printer and time are in the tooltip; the history
    // tells each print (with a reprint's reason) and each reprint asked.
    void columnAndHistoryShowTheLatestCopy()
    {
        labelsInEveryState();
        newPage();
        QCOMPARE(table()->horizontalHeaderItem(kColLabel)->text(), QStringLiteral("Label"));
        QCOMPARE(labelOf(QStringLiteral("L-0001")), QString());
        QCOMPARE(labelOf(QStringLiteral("L-0002")), QStringLiteral("Waiting"));
        QCOMPARE(labelOf(QStringLiteral("L-0003")), QStringLiteral("Printed"));
        QCOMPARE(labelOf(QStringLiteral("L-0004")), QStringLiteral("Failed: out of paper"));
        QCOMPARE(labelOf(QStringLiteral("L-0005")), QStringLiteral("Waiting, copy 2"));
        QCOMPARE(labelOf(QStringLiteral("L-0006")), QStringLiteral("Printed, copy 2"));
        const QString tip = table()->item(rowOf(QStringLiteral("L-0006")), kColLabel)->toolTip();
        QVERIFY2(tip.startsWith(QStringLiteral("Printed on pdf:labels at ")), qPrintable(tip));
        QVERIFY(table()->item(rowOf(QStringLiteral("L-0004")), kColLabel)->toolTip().contains(kPrinter));

        QList<HistoryEntry> entries;
        QVERIFY(serialHistory(QStringLiteral("L-0006"), &entries));
        QStringList told;
        for (const HistoryEntry &e : qAsConst(entries))
            if (e.kind == SerialEventKind::LabelPrinted || e.kind == SerialEventKind::LabelReprint)
                told << jobs::HistoryWords::event(e.kind) + QStringLiteral(" | ") + jobs::HistoryWords::detail(e);
        QCOMPARE(told,
                 QStringList({"label printed | copy 1 on pdf:labels", "label reprint asked | copy 2: smudged: ink",
                              "label printed | copy 2 on pdf:labels, reprinted: smudged: ink"}));
    }

    // A supervisor reprints a selected used row: a reason is asked for, then copy 2 is due
    // with it, logged and in the history. An unused row offers no reprint; an operator sees
    // no button, and the dialog (were it opened) refuses with nothing written.
    void reprintFromThePage()
    {
        QVERIFY(testsupport::fillPool(QStringLiteral("N-"), 1, 1));
        labelsInEveryState();
        testsupport::signInAs(Role::Supervisor);
        newPage();
        QPushButton *reprintButton = child<QPushButton>(page.get(), "btnReprintLabel");
        QVERIFY(reprintButton->isVisible());
        table()->setCurrentCell(rowOf(QStringLiteral("N-0001")), kColUuid);
        QVERIFY(!reprintButton->isEnabled());
        table()->setCurrentCell(rowOf(QStringLiteral("L-0003")), kColUuid);
        QVERIFY(reprintButton->isEnabled());

        const int labels = testsupport::count(QStringLiteral("Labels"));
        const int logs = testsupport::count(QStringLiteral("Logs"));
        bool askedForReason = false;
        testsupport::whenShown<ReprintLabelDlg>([&](ReprintLabelDlg *dialog) {
            QCOMPARE(child<QLabel>(dialog, "lblState")->text(), QStringLiteral("Printed"));
            click(child<QPushButton>(dialog, "btnOk")); // no reason yet: asked for one, stays open
            askedForReason = MessageBox::last().text == QStringLiteral("Please say why the label is printed again.")
                && dialog->isVisible() && testsupport::count(QStringLiteral("Labels")) == labels;
            testsupport::type(child<QLineEdit>(dialog, "lineEditReason"), QStringLiteral("torn 100%"));
            click(child<QPushButton>(dialog, "btnOk"));
        });
        click(reprintButton);
        QVERIFY(askedForReason);
        QCOMPARE(labelOf(QStringLiteral("L-0003")), QStringLiteral("Waiting, copy 2"));
        QCOMPARE(testsupport::rows(QStringLiteral("SELECT LabelCopy, LabelState, COALESCE(LabelReason, '') FROM Labels "
                                                  "WHERE SerialNumber='L-0003' ORDER BY LabelCopy")),
                 QList<QVariantList>({{1, 2, ""}, {2, 0, "torn 100%"}}));
        QCOMPARE(testsupport::count(QStringLiteral("Logs WHERE LogType='Reprint label' AND LogDescribe="
                                                   "'Reprint label uuid [L-0003] copy 2: torn 100%'")),
                 1);
        QCOMPARE(testsupport::count(QStringLiteral("Logs")), logs + 1);
        QCOMPARE(testsupport::count(QStringLiteral("SerialEvents WHERE EventKind=15 AND SerialNumber='L-0003' "
                                                   "AND EventDetail='copy 2: torn 100%'")),
                 1);

        // Not used, and not a supervisor: refused in words, nothing written.
        const int before = testsupport::count(QStringLiteral("Labels"));
        const auto refused = [&](const QString &serial, const QString &text) {
            ReprintLabelDlg dialog(serial, QString(), QString());
            dialog.show();
            testsupport::type(child<QLineEdit>(&dialog, "lineEditReason"), QStringLiteral("torn"));
            click(child<QPushButton>(&dialog, "btnOk"));
            QCOMPARE(MessageBox::last().text, text);
            QCOMPARE(dialog.result(), int(QDialog::Rejected));
            QCOMPARE(testsupport::count(QStringLiteral("Labels")), before);
        };
        refused(QStringLiteral("N-0001"),
                QStringLiteral("N-0001 is not in a confirmed device, so it has no label "
                               "to print again."));
        testsupport::signInAs(Role::Operator);
        page->applyRole();
        QVERIFY(!reprintButton->isVisible());
        refused(QStringLiteral("L-0002"), QStringLiteral("Only a supervisor or an administrator may reprint labels."));
        QCOMPARE(testsupport::count(QStringLiteral("Logs")), logs + 1);
    }

    // The export ends each row with its label; the file imports back into a fresh pool with
    // every row's state and device (the import reads the columns before the label's).
    void exportEndsWithTheLabelAndImportsBack()
    {
        labelsInEveryState();
        const QString path = QDir::current().absoluteFilePath(QStringLiteral("labels.csv"));
        jobs::ExportListener quiet;
        const jobs::ExportResult out =
            jobs::ExportJob(path, TableWriter::Format::Csv, jobs::ExportJob::Filter()).run(quiet);
        QVERIFY2(out.ok, qPrintable(out.failure));
        QStringList lines =
            QString::fromUtf8(testsupport::readFile(path)).remove(QChar(0xFEFF)).split(QStringLiteral("\r\n"));
        QCOMPARE(lines.value(0), QStringLiteral("UUID,Customer,Is used,Type,SN.,IP,Label"));
        lines.sort();
        QCOMPARE(lines.mid(1).join(QLatin1Char('\n')),
                 QStringLiteral("L-0001,UMEYE,YES,NVR,DEVL-0001,192.168.1.1,\n"
                                "L-0002,UMEYE,YES,NVR,DEVL-0002,192.168.1.2,Waiting\n"
                                "L-0003,UMEYE,YES,NVR,DEVL-0003,192.168.1.3,Printed\n"
                                "L-0004,UMEYE,YES,NVR,DEVL-0004,192.168.1.4,Failed: out of paper\n"
                                "L-0005,UMEYE,YES,NVR,DEVL-0005,192.168.1.5,\"Waiting, copy 2\"\n"
                                "L-0006,UMEYE,YES,NVR,DEVL-0006,192.168.1.6,\"Printed, copy 2\"\n"
                                "UUID,Customer,Is used,Type,SN.,IP,Label"));

        testsupport::freshDatabase();
        jobs::ImportListener importing;
        const jobs::ImportResult in = jobs::ImportJob(path, 1, jobs::ImportJob::kindOf(path)).run(importing);
        QCOMPARE(in.outcome, jobs::ImportResult::Outcome::Completed);
        QCOMPARE(in.failed, qint64(0));
        QCOMPARE(in.stated.cameIn, qint64(6));
        QCOMPARE(testsupport::count(QStringLiteral("SerialNumbers WHERE IsUse=1 AND DeviceSerialNum LIKE 'DEVL-%'")),
                 6);
    }
};

TARNWELL_TEST_MAIN(TestLabelPage)
#include "tst_labelpage.moc"
