// The Report page: each chart draws exactly its table's numbers, the export holds the tables
// shown, the period's buckets (hours or days), and a range that ends before it starts.
#include "tests/support/testsupport.h"

#include "report/reportpage.h"
#include "store/datastore.h"
#include "store/storesettings.h"
#include "widgets/messagebox.h"

#include <QComboBox>
#include <QDateEdit>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>

#include <memory>

namespace {

// Opens the same pool as another station, `person` signed in there.
void beStation(const QString &station, qint64 personId, const QString &person)
{
    closeDatabase();
    StoreSettings settings = StoreSettings::load();
    settings.station = station;
    openDatabase(settings);
    testsupport::signInAs(Role::Operator, personId, person);
}

void record(SerialEventKind kind, const QString &uuid, const QString &device, const QString &detail = QString())
{
    SerialEvent event;
    event.kind = kind;
    event.serialNumber = uuid;
    event.deviceSerialNum = device;
    event.detail = detail;
    QVERIFY2(recordSerialEvent(event), qPrintable(storeError()));
}

QTableWidget *table(const ReportPage &page, const char *name)
{
    return testsupport::child<QTableWidget>(&page, name);
}

// A table's rows as texts, its header first.
QList<QStringList> tableRows(const QTableWidget *t)
{
    QList<QStringList> out;
    QStringList header;
    for (int c = 0; c < t->columnCount(); ++c)
        header << t->horizontalHeaderItem(c)->text();
    out << header;
    for (int r = 0; r < t->rowCount(); ++r) {
        QStringList row;
        for (int c = 0; c < t->columnCount(); ++c)
            row << testsupport::cellText(t, r, c);
        out << row;
    }
    return out;
}

// The CSV's records without its byte order mark. The report's texts hold no comma, quote or
// line break, so a field is the text between commas.
QList<QStringList> csvRows(QByteArray data)
{
    if (data.startsWith("\xEF\xBB\xBF"))
        data.remove(0, 3);
    QList<QStringList> rows;
    for (const QString &line : QString::fromUtf8(data).split(QStringLiteral("\r\n")))
        rows << line.split(QLatin1Char(','));
    return rows;
}

class Page
{
public:
    Page()
        : page(new ReportPage)
    {
        page->resize(1104, 656);
    }
    // Shown as the menu shows it: the page loads the day chosen.
    void show()
    {
        page->show();
        QVERIFY(QTest::qWaitForWindowExposed(page.get()));
    }
    // The report's tables have a header whenever they are built.
    bool tablesBuilt() const { return table(*page, "tableThroughput")->columnCount() > 0; }
    void choose(const QString &period, const QDate &from, const QDate &to = QDate())
    {
        testsupport::chooseText(testsupport::child<QComboBox>(page.get(), "cbxPeriod"), period);
        testsupport::child<QDateEdit>(page.get(), "dateEditFrom")->setDate(from);
        if (to.isValid())
            testsupport::child<QDateEdit>(page.get(), "dateEditTo")->setDate(to);
        testsupport::click(testsupport::child(page.get(), "btnRefresh"));
    }
    int rows(const char *tableName) const { return table(*page, tableName)->rowCount(); }

    std::unique_ptr<ReportPage> page;
};

// The points a chart must draw from the table's column: (row, value), an empty cell a gap
// in a line and a zero-height bar.
QList<QPointF> expectedPoints(const QTableWidget *t, int column, bool line)
{
    QList<QPointF> out;
    for (int r = 0; r < t->rowCount(); ++r) {
        const QString cell = testsupport::cellText(t, r, column);
        if (cell.isEmpty() && line)
            continue;
        out << QPointF(r, cell.isEmpty() ? 0.0 : cell.toDouble());
    }
    return out;
}

} // namespace

class TestReportPage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        testsupport::freshDatabase();
        QVERIFY(testsupport::fillPool(QStringLiteral("U"), 20, 1));
        // A device confirmed on its first write, one that took a second try, one that
        // never answered the read, and a skip, at one station; two clean ones at another.
        beStation(QStringLiteral("st-a"), 2, QStringLiteral("Li Lei"));
        record(SerialEventKind::Written, QStringLiteral("U0001"), QStringLiteral("D1"));
        record(SerialEventKind::Confirmed, QStringLiteral("U0001"), QStringLiteral("D1"));
        record(SerialEventKind::WriteFailed, QStringLiteral("U0002"), QStringLiteral("D2"), QStringLiteral("7"));
        record(SerialEventKind::Written, QStringLiteral("U0002"), QStringLiteral("D2"));
        record(SerialEventKind::Confirmed, QStringLiteral("U0002"), QStringLiteral("D2"));
        record(SerialEventKind::Written, QStringLiteral("U0003"), QStringLiteral("D3"));
        record(SerialEventKind::NotConfirmed, QStringLiteral("U0003"), QStringLiteral("D3"), QStringLiteral("silent"));
        record(SerialEventKind::Skipped, QStringLiteral("U0004"), QStringLiteral("D4"), burnSkipCode(12));
        beStation(QStringLiteral("st-b"), 3, QStringLiteral("Wang Fang"));
        for (const char *n : {"5", "6"}) {
            record(SerialEventKind::Written, QStringLiteral("U000") + QLatin1String(n),
                   QStringLiteral("D") + QLatin1String(n));
            record(SerialEventKind::Confirmed, QStringLiteral("U000") + QLatin1String(n),
                   QStringLiteral("D") + QLatin1String(n));
        }
    }

    void chartsDrawTheTablesAndTheExportHoldsThem()
    {
        Page p;
        p.show();
        if (!p.tablesBuilt())
            QSKIP("this build's report has no tables yet");
        const QTableWidget *throughput = table(*p.page, "tableThroughput");
        QCOMPARE(throughput->rowCount(), 24);
        // Four devices confirmed, at two stations (their columns, then the total).
        int confirmed = 0;
        for (int r = 0; r < throughput->rowCount(); ++r)
            confirmed += testsupport::cellText(throughput, r, throughput->columnCount() - 1).toInt();
        QCOMPARE(confirmed, 4);
        QCOMPARE(throughput->columnCount(), 4);
        QVERIFY2(testsupport::child<QLabel>(p.page.get(), "lblSummary")->text().contains(QLatin1String("4 devices")),
                 qPrintable(testsupport::child<QLabel>(p.page.get(), "lblSummary")->text()));

        // Each chart's series: the table's number columns in order (bars, then the lines).
        struct Drawn {
            const char *chart;
            const char *table;
            QList<int> bars;
            QList<int> lines;
        };
        const int people = table(*p.page, "tablePeople")->columnCount();
        const int failures = table(*p.page, "tableFailures")->columnCount();
        const int customers = table(*p.page, "tableStock")->columnCount();
        QVERIFY(people > 1 && failures > 1 && customers > 1);
        QList<int> personColumns, failureColumns, customerColumns;
        for (int c = 1; c < qMin(people, 4); ++c)
            personColumns << c;
        for (int c = 1; c < failures; ++c)
            failureColumns << c;
        for (int c = 1; c < customers; ++c)
            customerColumns << c;
        const QList<Drawn> charts{{"chartThroughput", "tableThroughput", {1, 2}, {}},
                                  {"chartPeople", "tablePeople", personColumns, {}},
                                  {"chartYield", "tableYield", {1, 2}, {3}},
                                  {"chartFailures", "tableFailures", failureColumns, {}},
                                  {"chartStock", "tableStock", {}, customerColumns}};
        for (const Drawn &d : charts) {
            const QTableWidget *t = table(*p.page, d.table);
            QCOMPARE(p.page->seriesCount(QLatin1String(d.chart)), d.bars.size() + d.lines.size());
            int series = 0;
            for (int c : d.bars)
                QCOMPARE(p.page->seriesPoints(QLatin1String(d.chart), series++), expectedPoints(t, c, false));
            for (int c : d.lines)
                QCOMPARE(p.page->seriesPoints(QLatin1String(d.chart), series++), expectedPoints(t, c, true));
        }

        // The export: every table shown, its header and rows one after another.
        const QString path = testsupport::workingDirectory() + QStringLiteral("/report.csv");
        FileDialog::setNextFileName(path);
        testsupport::click(testsupport::child(p.page.get(), "btnExport"));
        QCOMPARE(MessageBox::last().kind, MessageBox::Information);
        const QList<QStringList> file = csvRows(testsupport::readFile(path));
        for (const char *name :
             {"tableThroughput", "tablePeople", "tableYield", "tableFailures", "tableStock", "tableDaysLeft"}) {
            const QList<QStringList> rows = tableRows(table(*p.page, name));
            const int at = file.indexOf(rows.first());
            QVERIFY2(at >= 0, name);
            QCOMPARE(file.mid(at, rows.size()), rows);
        }
        // A file that cannot be written: the box says so, with the file's name.
        const QString nowhere = testsupport::workingDirectory() + QStringLiteral("/no such folder/report.csv");
        FileDialog::setNextFileName(nowhere);
        testsupport::click(testsupport::child(p.page.get(), "btnExport"));
        QCOMPARE(MessageBox::last().kind, MessageBox::Critical);
        QVERIFY2(MessageBox::last().text.contains(nowhere), qPrintable(MessageBox::last().text));
    }

    // Up to two days a row per hour, longer ranges a row per day; a shift that wraps ends
    // the next morning; a day without events shows no chart, only the words.
    void periodBuckets_data()
    {
        QTest::addColumn<QString>("period");
        QTest::addColumn<int>("fromDays");
        QTest::addColumn<int>("toDays");
        QTest::addColumn<int>("rows");
        QTest::addColumn<QString>("firstRow");
        QTest::addColumn<bool>("empty");
        const QDate today = QDate::currentDate();
        QTest::newRow("day") << "Day" << 0 << 0 << 24 << today.toString(QStringLiteral("yyyy-MM-dd 00")) << false;
        QTest::newRow("night shift") << "Shift 22:00-06:00" << -1 << 0 << 8
                                     << today.addDays(-1).toString(QStringLiteral("yyyy-MM-dd 22")) << true;
        QTest::newRow("two days") << "Range" << -1 << 0 << 48
                                  << today.addDays(-1).toString(QStringLiteral("yyyy-MM-dd 00")) << false;
        QTest::newRow("three days") << "Range" << -2 << 0 << 3
                                    << today.addDays(-2).toString(QStringLiteral("yyyy-MM-dd")) << false;
        QTest::newRow("a past day") << "Day" << -400 << 0 << 24
                                    << today.addDays(-400).toString(QStringLiteral("yyyy-MM-dd 00")) << true;
    }
    void periodBuckets()
    {
        QFETCH(QString, period);
        QFETCH(int, fromDays);
        QFETCH(int, toDays);
        QFETCH(int, rows);
        QFETCH(QString, firstRow);
        QFETCH(bool, empty);
        Page p;
        p.show();
        if (!p.tablesBuilt())
            QSKIP("this build's report has no tables yet");
        const QDate today = QDate::currentDate();
        p.choose(period, today.addDays(fromDays), today.addDays(toDays));
        QCOMPARE(p.rows("tableThroughput"), rows);
        QCOMPARE(p.rows("tableYield"), rows);
        QCOMPARE(testsupport::cellText(table(*p.page, "tableThroughput"), 0, 0), firstRow);
        if (empty)
            for (const char *chart : {"chartThroughput", "chartPeople", "chartYield", "chartFailures"})
                QCOMPARE(p.page->seriesCount(QLatin1String(chart)), 0);
        else
            QVERIFY(p.page->seriesCount(QStringLiteral("chartThroughput")) > 0);
    }

    void rangeEndingBeforeItStartsIsRefused()
    {
        Page p;
        p.show();
        const QList<QStringList> before = tableRows(table(*p.page, "tableThroughput"));
        MessageBox::clear();
        const QDate today = QDate::currentDate();
        p.choose(QStringLiteral("Range"), today, today.addDays(-1));
        QCOMPARE(MessageBox::shown().size(), 1);
        QCOMPARE(MessageBox::last().kind, MessageBox::Warning);
        QVERIFY(MessageBox::last().text.contains(QLatin1String("ends before it starts")));
        QCOMPARE(tableRows(table(*p.page, "tableThroughput")), before);
    }

    void shiftsFromSettings_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QStringList>("periods");
        const QStringList standard{"Day", "Shift 06:00-14:00", "Shift 14:00-22:00", "Shift 22:00-06:00", "Range"};
        QTest::newRow("none") << QByteArray() << standard;
        QTest::newRow("two") << QByteArray("[report]\nshifts=8-20, 20-08\n")
                             << QStringList{"Day", "Shift 08:00-20:00", "Shift 20:00-08:00", "Range"};
        QTest::newRow("to midnight") << QByteArray("[report]\nshifts=00-12,12-24\n")
                                     << QStringList{"Day", "Shift 00:00-12:00", "Shift 12:00-24:00", "Range"};
        for (const char *bad : {"06-14,25-02", "06-06", "06-14,", "early,late"})
            QTest::newRow(bad) << QByteArray("[report]\nshifts=") + bad + "\n" << standard;
    }
    void shiftsFromSettings()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QStringList, periods);
        if (!ini.isEmpty())
            QVERIFY(!testsupport::writeFile(QStringLiteral("tarnwell.ini"), ini).isEmpty());
        ReportPage page;
        QFile::remove(QStringLiteral("tarnwell.ini"));
        const auto *box = testsupport::child<QComboBox>(&page, "cbxPeriod");
        QStringList texts;
        for (int i = 0; i < box->count(); ++i)
            texts << box->itemText(i);
        QCOMPARE(texts, periods);
    }
};

TARNWELL_TEST_MAIN(TestReportPage)
#include "tst_reportpage.moc"
