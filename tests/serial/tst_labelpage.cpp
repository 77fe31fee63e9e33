// Labels on the Serial page: the Label column (each row's latest copy, one read per page),
// the supervisor's reprint through its dialog, the export's label column (and the export
// imported back), and the history of prints and reprints. On both engines.
#include "tests/support/testsupport.h"

#include "jobs/exportjob.h"
#include "jobs/historywords.h"
#include "jobs/importjob.h"
#include "serial/reprintlabeldlg.h"
#include "serial/serial.h"
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

const QString kPrinter = QStringLiteral("pdf:labels");
const LogRecord kLogRow = makeLogRecord(QStringLiteral("t"), QStringLiteral("t"));

// Prints the copy of `serial` that is due on this station.
bool print(const QString &serial)
{
    QList<PendingLabel> due;
    stationLabels(LabelState::Due, 100, &due);
    for (const PendingLabel &l : qAsConst(due))
        if (l.serialNumber == serial)
            return beginLabelPrint(l.labelId, kPrinter) && endLabelPrint(l.labelId);
    return false;
}

bool reprint(const QString &serial, const QString &reason)
{
    int copy = 0;
    return reprintLabel(
               serial, reason, [](int) { return kLogRow; }, &copy)
        == ReprintResult::Queued
        && copy == 2;
}

} // namespace

class TestLabelPage : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<Serial> page;

    QTableWidget *table() { return child<QTableWidget>(page.get(), "tableWidget"); }
    // The page lists the newest first: L-0006 in row 0.
    int rowOf(int i) { return 6 - i; }

    void newPage()
    {
        page = std::make_unique<Serial>();
        page->resize(1104, 656);
        page->show();
        QVERIFY(QTest::qWaitForWindowExposed(page.get()));
    }

    // L-0001..L-0006 used; 2 due, 3 printed, 4 failed, 5 reprinted (copy 2 due), 6 printed twice.
    void labelsInEveryState()
    {
        QVERIFY(testsupport::fillPool(QStringLiteral("L-"), 6, 1, true, QStringLiteral("NVR")));
        for (int i = 2; i <= 6; ++i)
            QVERIFY(queueLabel(QStringLiteral("L-000%1").arg(i), QStringLiteral("DEVL-000%1").arg(i)));
        QVERIFY(print(QStringLiteral("L-0003")));
        QList<PendingLabel> due;
        QVERIFY(stationLabels(LabelState::Due, 100, &due));
        const qint64 failing = due.at(1).labelId; // L-0004's
        QVERIFY(beginLabelPrint(failing, kPrinter) && failLabel(failing, QStringLiteral("out of paper"), kLogRow));
        QVERIFY(print(QStringLiteral("L-0005")) && reprint(QStringLiteral("L-0005"), QStringLiteral("torn")));
        QVERIFY(print(QStringLiteral("L-0006")) && reprint(QStringLiteral("L-0006"), QStringLiteral("smudged: ink")));
        QVERIFY(print(QStringLiteral("L-0006")));
    }

private slots:
    void init()
    {
        testsupport::freshDatabase();
        MessageBox::clear();
    }
    void cleanup() { page.reset(); }

    // Each row shows its latest copy, the printer and time in the tooltip; the history tells
    // each print (with a reprint's reason) and each reprint asked.
    void columnAndHistoryShowTheLatestCopy()
    {
        labelsInEveryState();
        newPage();
        QCOMPARE(table()->horizontalHeaderItem(7)->text(), QStringLiteral("Label"));
        QCOMPARE(testsupport::columnTexts(table(), 7).mid(0, 6),
                 QStringList({"Printed, copy 2", "Waiting, copy 2", "Failed: out of paper", "Printed", "Waiting", ""}));
        QVERIFY(table()->item(rowOf(6), 7)->toolTip().startsWith(QStringLiteral("Printed on pdf:labels at 20")));

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
    // no button, and the dialog (were it open) refuses with nothing written.
    void reprintFromThePage()
    {
        labelsInEveryState();
        QVERIFY(testsupport::fillPool(QStringLiteral("N-"), 1, 1)); // unused, in row 0
        testsupport::signInAs(Role::Supervisor);
        newPage();
        QPushButton *button = child<QPushButton>(page.get(), "btnReprintLabel");
        QVERIFY(button->isVisible());
        table()->setCurrentCell(0, 1);
        QVERIFY(!button->isEnabled());
        table()->setCurrentCell(rowOf(3) + 1, 1);
        QVERIFY(button->isEnabled());

        const int logs = testsupport::count(QStringLiteral("Logs"));
        bool askedForReason = false;
        testsupport::whenShown<ReprintLabelDlg>([&](ReprintLabelDlg *dialog) {
            QCOMPARE(child<QLabel>(dialog, "lblState")->text(), QStringLiteral("Printed"));
            click(child<QPushButton>(dialog, "btnOk"));
            askedForReason = MessageBox::last().text == QStringLiteral("Please say why the label is printed again.")
                && dialog->isVisible() && testsupport::count(QStringLiteral("Labels WHERE LabelCopy=2")) == 2;
            testsupport::type(child<QLineEdit>(dialog, "lineEditReason"), QStringLiteral("torn 100%"));
            click(child<QPushButton>(dialog, "btnOk"));
        });
        click(button);
        QVERIFY(askedForReason);
        QCOMPARE(testsupport::cellText(table(), rowOf(3) + 1, 7), QStringLiteral("Waiting, copy 2"));
        QCOMPARE(testsupport::rows(QStringLiteral("SELECT LabelCopy, LabelState, COALESCE(LabelReason, '') FROM Labels "
                                                  "WHERE SerialNumber='L-0003' ORDER BY LabelCopy")),
                 QList<QVariantList>({{1, 2, ""}, {2, 0, "torn 100%"}}));
        QCOMPARE(testsupport::column(QStringLiteral("SELECT LogDescribe FROM Logs WHERE LogType='Reprint label'")),
                 QStringList{"Reprint label uuid [L-0003] copy 2: torn 100%"});
        QCOMPARE(testsupport::count(
                     QStringLiteral("SerialEvents WHERE EventKind=15 AND EventDetail='copy 2: torn 100%'")),
                 1);

        const auto refused = [&](const QString &serial, const QString &text) {
            ReprintLabelDlg dialog(serial, QString(), QString());
            dialog.show();
            testsupport::type(child<QLineEdit>(&dialog, "lineEditReason"), QStringLiteral("torn"));
            click(child<QPushButton>(&dialog, "btnOk"));
            QCOMPARE(MessageBox::last().text, text);
            QCOMPARE(dialog.result(), int(QDialog::Rejected));
            QCOMPARE(testsupport::count(QStringLiteral("Labels WHERE LabelCopy=2")), 3);
            QCOMPARE(testsupport::count(QStringLiteral("Logs")), logs + 1);
        };
        refused(QStringLiteral("N-0001"),
                QStringLiteral("N-0001 is not in a confirmed device, so it has no label to "
                               "print again."));
        testsupport::signInAs(Role::Operator);
        page->applyRole();
        QVERIFY(button->isHidden());
        refused(QStringLiteral("L-0002"), QStringLiteral("Only a supervisor or an administrator may reprint labels."));
    }

    // The export ends each row with its label; the file imports back into a fresh pool with
    // every row's state and device (the import reads the columns before the label's).
    void exportEndsWithTheLabelAndImportsBack()
    {
        labelsInEveryState();
        const QString path = QDir::current().absoluteFilePath(QStringLiteral("labels.csv"));
        jobs::ExportListener quiet;
        QVERIFY(jobs::ExportJob(path, TableWriter::Format::Csv, SerialFilter()).run(quiet).ok);
        const QStringList lines = QString::fromUtf8(testsupport::readFile(path).mid(3)).split(QStringLiteral("\r\n"));
        QCOMPARE(lines.mid(0, 4),
                 QStringList({"UUID,Customer,Is used,Type,SN.,IP,Label",
                              "L-0006,UMEYE,YES,NVR,DEVL-0006,192.168.1.6,\"Printed, copy 2\"",
                              "L-0005,UMEYE,YES,NVR,DEVL-0005,192.168.1.5,\"Waiting, copy 2\"",
                              "L-0004,UMEYE,YES,NVR,DEVL-0004,192.168.1.4,Failed: out of paper"}));
        QCOMPARE(lines.value(6), QStringLiteral("L-0001,UMEYE,YES,NVR,DEVL-0001,192.168.1.1,"));

        testsupport::freshDatabase();
        jobs::ImportListener importing;
        const jobs::ImportResult in = jobs::ImportJob(path, 1, jobs::ImportJob::kindOf(path)).run(importing);
        QCOMPARE(in.outcome, jobs::ImportResult::Outcome::Completed);
        QCOMPARE(in.failed, qint64(0));
        QCOMPARE(testsupport::count(QStringLiteral("SerialNumbers WHERE IsUse=1 AND DeviceSerialNum LIKE 'DEVL-%'")),
                 6);
    }
};

TARNWELL_TEST_MAIN(TestLabelPage)
#include "tst_labelpage.moc"
