// The line's report from the pool's hour counts, a Burn's events by two stations and two
// people and a customer's import and claims over two hours and two days, through the tables,
// their CSV and XLSX files and tarnwell-admin report.
#include "tests/support/testsupport.h"

#include "formats/workbook.h"
#include "jobs/burnjob.h"
#include "jobs/importjob.h"
#include "jobs/report.h"
#include "store/datastore.h"
#include "store/storesettings.h"

#include <QProcess>

#include <cmath>
#include <ctime>

using Rows = QMap<QString, QStringList>;

namespace {

// The day the test's events fall on: hours 12 to 14 of `day` and 00 to 02 of the next,
// each within a day of now so a time zone can put the clock there.
QDate lineDay()
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    return now.time().hour() < 12 ? now.date().addDays(-1) : now.date();
}
const QDate day = lineDay();

QString label(const QDate &d, int hour = -1)
{
    return hour < 0 ? d.toString(Qt::ISODate)
                    : QStringLiteral("%1 %2").arg(d.toString(Qt::ISODate)).arg(hour, 2, 10, QLatin1Char('0'));
}

// Sets this process's clock to the hour `hour` of `date` through its time zone: the store
// stamps events with the local time.
void setClock(const QDate &date, int hour)
{
    const qint64 ahead = QDateTime::currentDateTimeUtc().secsTo(QDateTime(date, QTime(hour, 0), Qt::UTC));
    const int offset = int(std::ceil(ahead / 3600.0));
    QVERIFY2(qAbs(offset) <= 24, "the day moved on while the test ran");
    qputenv("TZ", QStringLiteral("TWL%1%2").arg(offset > 0 ? '-' : '+').arg(qAbs(offset)).toLatin1());
    tzset();
}

// ... then reopens the store as `station` with `person` signed in (empty: nobody), so a
// server session takes the same zone.
void actAt(const QDate &date, int hour, const QString &station = QStringLiteral("S-A"),
           const QString &person = QStringLiteral("admin"))
{
    setClock(date, hour);
    StoreSettings settings = StoreSettings::load();
    settings.station = station;
    closeDatabase();
    openDatabase(settings);
    QVERIFY2(storeSchemaProblem() == SchemaProblem::None, qPrintable(storeError()));
    if (person.isEmpty())
        setSignedInPerson(Person());
    else
        testsupport::signInAs(Role::Administrator, person == QLatin1String("admin") ? 1 : 7, person);
}

// alice at S-A, 12:xx: D1 confirmed on its first write, D2 written twice, D3 refused once,
// written, not confirmed (silent). bob at S-B, 13:xx: D3 written again and confirmed, D4 read
// back otherwise, two skips as taken, one for its port, a pass stopped. Nobody at S-A, 00:xx
// the next day: D8 recorded without a read-back.
void burnTheLine()
{
    using K = SerialEventKind;
    const auto ev = [](K kind, const char *device, const QString &detail = {}) {
        return SerialEvent{kind, QStringLiteral("U-") + device, QLatin1String(device), detail, {}};
    };
    const auto record = [](const QList<SerialEvent> &events) {
        for (const SerialEvent &e : events)
            QVERIFY2(recordSerialEvent(e), qPrintable(storeError()));
    };
    actAt(day, 12, QStringLiteral("S-A"), QStringLiteral("alice"));
    record({ev(K::Written, "D1"), ev(K::Confirmed, "D1"), ev(K::Written, "D2"), ev(K::Written, "D2"),
            ev(K::Confirmed, "D2"), ev(K::WriteFailed, "D3", "-7"), ev(K::Written, "D3"), ev(K::NotConfirmed, "D3")});
    actAt(day, 13, QStringLiteral("S-B"), QStringLiteral("bob"));
    record({ev(K::Written, "D3"), ev(K::Confirmed, "D3"), ev(K::Written, "D4"), ev(K::NotConfirmed, "D4", "OTHER-UUID"),
            ev(K::Skipped, "D5", burnSkipCode(jobs::BurnSkip::Taken)),
            ev(K::Skipped, "D6", burnSkipCode(jobs::BurnSkip::Taken)),
            ev(K::Skipped, "D7", burnSkipCode(jobs::BurnSkip::PortOutOfRange)),
            ev(K::PassStopped, "D9", burnStopCode(jobs::BurnStop::RecordFailed))});
    actAt(day.addDays(1), 0, QStringLiteral("S-A"), QString());
    record({ev(K::Written, "D8"), ev(K::Recorded, "D8")});
}

// Five identifiers of Brisvan imported at 12:xx, two claimed at 14:xx, one at 01:xx the next day.
void stockTheLine()
{
    actAt(day, 12);
    const QString path = testsupport::writeFile(QStringLiteral("five.xml"),
                                                "<r><x><v>U1</v><v>U2</v><v>U3</v><v>U4</v><v>U5</v></x></r>");
    struct : jobs::ImportListener {
    } listener;
    QCOMPARE(jobs::ImportJob(path, 2, jobs::ImportJob::Kind::Xml).run(listener).succeeded, 5);
    const auto claim = [](const QString &uuid) {
        QVERIFY(beginBatch());
        QCOMPARE(claimSerial(uuid, 2, QStringLiteral("DEV-") + uuid, QStringLiteral("IPC"), {}), ClaimResult::Claimed);
        QVERIFY(commitBatch());
    };
    actAt(day, 14);
    claim(QStringLiteral("U1"));
    claim(QStringLiteral("U2"));
    actAt(day.addDays(1), 1);
    claim(QStringLiteral("U3"));
}

// A table of one row per hour of [first, first + hours) or per day of [first day, + days),
// `zero` in every row but those of `rows`.
QList<QStringList> everyBucket(const QDateTime &first, int count, bool hourly, const QStringList &zero,
                               const Rows &rows)
{
    QList<QStringList> out;
    for (int i = 0; i < count; ++i) {
        const QDateTime t = hourly ? first.addSecs(3600 * i) : first.addDays(i);
        const QString l = hourly ? label(t.date(), t.time().hour()) : label(t.date());
        out << (QStringList{l} + rows.value(l, zero));
    }
    return out;
}

struct Ran {
    int exitCode = -1;
    QByteArray out, err;
};

Ran admin(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral(TARNWELL_ADMIN), QStringList{QStringLiteral("report")} + args);
    const bool ended = p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit;
    return {ended ? p.exitCode() : -1, p.readAllStandardOutput(), p.readAllStandardError()};
}

// Every row a workbook's first sheet holds below its first, as wide as its used range.
struct SheetRows : ValueSink {
    QStringList header;
    QList<QStringList> rows;
    int width = 0;
    bool value(const QString &) override { return false; }
    int wholeRows(const QStringList &h) override
    {
        header = h;
        return width;
    }
    bool row(const QStringList &cells) override
    {
        rows << cells;
        return true;
    }
};

} // namespace

class TestReport : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        setClock(day, 12);
        testsupport::freshDatabase();
    }

    // Unique devices apart from tries: a device written twice is one written device and two
    // tries, confirmed on its first write only when written once, counted at the station and
    // person that confirmed it. Stock at the end of each hour or day is worked back from now
    // across the claims after it, unknown before the pool kept its changes. Every hour or day
    // of the range has its row. The CSV and XLSX files and tarnwell-admin report hold the same rows.
    void reportOfTheLine_data()
    {
        QTest::addColumn<QDateTime>("from");
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("hourly");
        QTest::addColumn<Rows>("throughput");
        QTest::addColumn<Rows>("yield");
        QTest::addColumn<Rows>("stock");
        QTest::addColumn<QStringList>("brisvanLeft");
        const QDate next = day.addDays(1);
        QTest::newRow("hours") << QDateTime(day, QTime(11, 0)) << 15 << true
                               << Rows{{label(day, 12), {"2", "0", "2"}},
                                       {label(day, 13), {"0", "1", "1"}},
                                       {label(next, 0), {"1", "0", "1"}}}
                               << Rows{{label(day, 12), {"3", "1", "33.3", "5", "2"}},
                                       {label(day, 13), {"1", "0", "0.0", "2", "1"}},
                                       {label(next, 0), {"1", "1", "100.0", "1", "0"}}}
                               << Rows{{label(day, 11), {"", ""}},
                                       {label(day, 12), {"0", "5"}},
                                       {label(day, 13), {"0", "5"}},
                                       {label(next, 1), {"0", "2"}}}
                               << QStringList{"Brisvan", "2", "3", "4.8", "0.4"};
        QTest::newRow("days")
            << QDateTime(day.addDays(-1), QTime(0, 0)) << 3 << false
            << Rows{{label(day), {"2", "1", "3"}}, {label(next), {"1", "0", "1"}}}
            << Rows{{label(day), {"4", "1", "25.0", "7", "3"}}, {label(next), {"1", "1", "100.0", "1", "0"}}}
            << Rows{{label(day.addDays(-1)), {"", ""}}, {label(day), {"0", "3"}}, {label(next), {"0", "2"}}}
            << QStringList{"Brisvan", "2", "3", "1.0", "2.0"};
    }
    void reportOfTheLine()
    {
        QFETCH(QDateTime, from);
        QFETCH(int, count);
        QFETCH(bool, hourly);
        QFETCH(Rows, throughput);
        QFETCH(Rows, yield);
        QFETCH(Rows, stock);
        burnTheLine();
        stockTheLine(); // the clock stays at 01:xx the next day
        from = QDateTime(from.date(), from.time());
        const QDateTime to = hourly ? from.addSecs(3600 * count) : from.addDays(count);
        jobs::Report r;
        QVERIFY2(r.load(from, to), qPrintable(r.error));
        QCOMPARE(r.perHour(), hourly);

        const QString bucket = hourly ? "Hour" : "Day";
        QCOMPARE(r.throughput().header, (QStringList{bucket, "S-A", "S-B", "Total"}));
        QCOMPARE(r.throughput().rows, everyBucket(from, count, hourly, {"0", "0", "0"}, throughput));
        QCOMPARE(r.yield().rows, everyBucket(from, count, hourly, {"0", "0", "", "0", "0"}, yield));
        QCOMPARE((QList<qint64>{r.confirmedDevices(), r.writtenDevices(), r.firstPassDevices()}),
                 (QList<qint64>{4, 5, 2}));
        QCOMPARE(r.people().rows,
                 (QList<QStringList>{{"(nobody)", "1", "1", "1", "1", "0"},
                                     {"alice", "2", "3", "1", "5", "2"},
                                     {"bob", "1", "1", "0", "2", "1"}}));
        QCOMPARE(r.failures().rows,
                 (QList<QStringList>{{"Skipped: uuid taken by another program", "2", "0"},
                                     {"Device refused (SDK answer -7)", "1", "1"},
                                     {"Not confirmed: no answer", "1", "0"},
                                     {"Not confirmed: other identifier", "1", "0"},
                                     {"Skipped: port out of range", "1", "0"},
                                     {"Store stopped the pass: a written device could not be recorded", "1", "0"}}));
        QCOMPARE(r.stock().header, (QStringList{bucket, "UMEYE", "Brisvan"}));
        QCOMPARE(r.stock().rows, everyBucket(from, count, hourly, {"0", "3"}, stock));
        QFETCH(QStringList, brisvanLeft);
        QCOMPARE(r.daysLeft().rows, (QList<QStringList>{{"UMEYE", "0", "0", "0.0", ""}, brisvanLeft}));

        QList<QStringList> expected;
        QStringList lines;
        for (const jobs::ReportTable &t : r.all())
            expected << QStringList{t.title} << t.header << t.rows << QStringList();
        for (const QStringList &row : qAsConst(expected))
            lines << row.join(QLatin1Char(',')) + QStringLiteral("\r\n");
        QCOMPARE(QString::fromUtf8(r.csv()), lines.join(QString()));
        QString why;
        QVERIFY2(r.exportTo(QStringLiteral("report.csv"), TableWriter::Format::Csv, &why), qPrintable(why));
        QCOMPARE(testsupport::readFile(QStringLiteral("report.csv")), QByteArray("\xEF\xBB\xBF") + r.csv());
        QVERIFY2(r.exportTo(QStringLiteral("report.xlsx"), TableWriter::Format::Xlsx, &why), qPrintable(why));
        const std::unique_ptr<WorkbookReader> book = WorkbookReader::forFile(QStringLiteral("report.xlsx"), &why);
        QVERIFY2(book && book->open(QStringLiteral("report.xlsx")), qPrintable(book ? book->errorText() : why));
        UsedRange range;
        QVERIFY2(book->usedRange(0, &range), qPrintable(book->errorText()));
        SheetRows sheet;
        sheet.width = range.columnCount;
        QVERIFY2(book->readValues(0, sheet), qPrintable(book->errorText()));
        QCOMPARE(sheet.header.value(0), r.throughput().title);
        QList<QStringList> filled; // the reader's rows: no empty one, each as wide as the sheet
        for (QStringList row : expected.mid(1)) {
            while (!row.isEmpty() && row.size() < sheet.width)
                row << QString();
            if (!row.isEmpty())
                filled << row;
        }
        QCOMPARE(sheet.rows, filled);

        closeDatabase();
        const auto date = [hourly](const QDateTime &t) {
            return hourly ? t.toString("yyyy-MM-ddTHH") : label(t.date());
        };
        const Ran ran = admin({"--from", date(from), "--to", date(to), "--csv"});
        QCOMPARE(ran.exitCode, 0);
        QCOMPARE(ran.out, r.csv());
    }

    void adminRefusesBadDates()
    {
        for (const QStringList &bad : QList<QStringList>{{"--from", "2026-02-30", "--to", "2026-03-02"},
                                                         {"--from", "2026-03-01", "--to", "2026-03-01T24"},
                                                         {"--from", "2026-03-02", "--to", "2026-03-01T23"},
                                                         {"--from", "2026-03-01 12", "--to", "2026-03-02"}}) {
            const Ran ran = admin(bad + QStringList{"--csv"});
            QCOMPARE(ran.exitCode, 2);
            QVERIFY(ran.out.isEmpty());
            QVERIFY2(ran.err.startsWith("tarnwell-admin: --"), ran.err.constData());
        }
    }
};

TARNWELL_TEST_MAIN(TestReport)
#include "tst_report.moc"
