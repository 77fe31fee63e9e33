// The log page: page size from the table height, paging controls, newest first.
#include "tests/support/testsupport.h"

#include "log/log.h"
#include "store/datastore.h"
#include "widgets/messagebox.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSysInfo>
#include <QTableWidget>
#include <QTranslator>

#include <functional>
#include <memory>

namespace {

// Rows per page follow the table height: 25 px a row after 130 px of chrome.
int tableHeightFor(int rows)
{
    return rows * 25 + 130;
}

void addEntries(int first, int last)
{
    for (int i = first; i <= last; ++i)
        addLog(makeLogRecord(QStringLiteral("Type %1").arg(i), QStringLiteral("entry %1").arg(i)));
}

class Page
{
public:
    Page()
        : log(new Log)
    {
        log->resize(849, 615);
        log->show();
        if (!QTest::qWaitForWindowExposed(log.get()))
            qWarning("log page not exposed");
    }

    QTableWidget *table() const { return log->findChild<QTableWidget *>(QStringLiteral("tableWidget")); }
    QComboBox *selector() const { return log->findChild<QComboBox *>(QStringLiteral("cbxPage")); }
    QString summary() const { return log->findChild<QLabel *>(QStringLiteral("lblPage"))->text(); }
    QPushButton *button(const char *name) const { return log->findChild<QPushButton *>(QLatin1String(name)); }

    // Resizes the page until its table is `height` px high (the layout takes the rest).
    void setTableHeight(int height)
    {
        for (int attempt = 0; attempt < 3 && table()->height() != height; ++attempt) {
            log->resize(log->width(), log->height() + height - table()->height());
            QCoreApplication::processEvents();
        }
    }

    // "FPNL" with a dash for each disabled button: First, Prev, Next, Last.
    QString buttons() const
    {
        QString s;
        const char *names[] = {"btnFirst", "btnPrev", "btnNext", "btnLast"};
        const char letters[] = "FPNL";
        for (int i = 0; i < 4; ++i)
            s += button(names[i])->isEnabled() ? QLatin1Char(letters[i]) : QLatin1Char('-');
        return s;
    }

    // Column 1 of every row, empty rows as "".
    QStringList describes() const { return testsupport::columnTexts(table(), 1); }

    std::unique_ptr<Log> log;
};

QStringList entries(int newest, int oldest, int rows)
{
    QStringList out;
    for (int i = newest; i >= oldest; --i)
        out << QStringLiteral("entry %1").arg(i);
    while (out.size() < rows)
        out << QString();
    return out;
}

QString summaryText(int total, int pages, int current)
{
    return QStringLiteral("A total of %1 logs, %2 pages, the current %3 page").arg(total).arg(pages).arg(current);
}

class FakeTranslator : public QTranslator
{
public:
    bool isEmpty() const override { return false; }
    QString translate(const char *context, const char *source, const char *, int) const override
    {
        if (qstrcmp(context, "Log") != 0)
            return QString();
        if (qstrcmp(source, "Login") == 0)
            return QStringLiteral("Anmeldung");
        if (qstrcmp(source, "A total of %1 logs, %2 pages, the current %3 page") == 0)
            return QStringLiteral("%1 Einträge, %2 Seiten, Seite %3");
        return QString();
    }
};

} // namespace

class TestLog : public QObject
{
    Q_OBJECT

private slots:
    void init() { testsupport::freshDatabase(); }

    void pagesAtEighteenRows_data()
    {
        QTest::addColumn<int>("total");
        QTest::addColumn<int>("pages");
        QTest::newRow("36 entries") << 36 << 2;
        QTest::newRow("37 entries") << 37 << 3;
    }

    // Walks every page with Next and back with Prev: newest first, each entry exactly once.
    void pagesAtEighteenRows()
    {
        QFETCH(int, total);
        QFETCH(int, pages);
        addEntries(1, total);
        Page p;
        p.setTableHeight(tableHeightFor(18));
        QCOMPARE(p.table()->rowCount(), 18);
        QCOMPARE(p.selector()->count(), pages);

        for (int page = 1; page <= pages; ++page) {
            if (page > 1)
                testsupport::click(p.button("btnNext"));
            const int newest = total - (page - 1) * 18;
            QCOMPARE(p.describes(), entries(newest, qMax(1, newest - 17), 18));
            QCOMPARE(p.selector()->currentIndex(), page - 1);
            QCOMPARE(p.summary(), summaryText(total, pages, page));
            QCOMPARE(p.buttons(),
                     page == 1           ? QStringLiteral("--NL")
                         : page == pages ? QStringLiteral("FP--")
                                         : QStringLiteral("FPNL"));
        }
        QCOMPARE(p.table()->item(0, 0)->text(), QStringLiteral("Type %1").arg(total - (pages - 1) * 18));

        testsupport::click(p.button("btnFirst"));
        QCOMPARE(p.describes(), entries(total, total - 17, 18));
        testsupport::click(p.button("btnLast"));
        QCOMPARE(p.summary(), summaryText(total, pages, pages));
        testsupport::click(p.button("btnPrev"));
        QCOMPARE(p.summary(), summaryText(total, pages, pages - 1));
        QCOMPARE(p.describes(), entries(total - (pages - 2) * 18, total - (pages - 1) * 18 + 1, 18));
    }

    // The selector chooses the page; the -1 it reports while empty must not move or reload it.
    void selectorChoosesThePage()
    {
        addEntries(1, 37);
        Page p;
        p.setTableHeight(tableHeightFor(18));
        p.selector()->setCurrentIndex(2);
        QCOMPARE(p.describes(), entries(1, 1, 18));
        QCOMPARE(p.summary(), summaryText(37, 3, 3));
        QCOMPARE(p.buttons(), QStringLiteral("FP--"));
        p.selector()->setCurrentIndex(1);
        QCOMPARE(p.describes(), entries(19, 2, 18));
        QCOMPARE(p.buttons(), QStringLiteral("FPNL"));
        QVERIFY(QMetaObject::invokeMethod(p.log.get(), "onPageChange", Q_ARG(int, -1)));
        QCOMPARE(p.describes(), entries(19, 2, 18));
        QCOMPARE(p.summary(), summaryText(37, 3, 2));
    }

    void refreshReturnsToFirstPageWithNewEntries()
    {
        addEntries(1, 37);
        Page p;
        p.setTableHeight(tableHeightFor(18));
        testsupport::click(p.button("btnLast"));
        // Written while someone is signed in: the rows name them.
        testsupport::signInAs(Role::Operator, 2, QStringLiteral("Wang Fang"));
        addEntries(38, 40);
        testsupport::signInAs(Role::Administrator);

        p.log->refreshPaging(); // what choosing "Log" in the menu does
        QCOMPARE(p.selector()->count(), 3);
        QCOMPARE(p.selector()->currentIndex(), 0);
        QCOMPARE(p.summary(), summaryText(40, 3, 1));
        QCOMPARE(p.describes(), entries(40, 23, 18));
        QCOMPARE(p.buttons(), QStringLiteral("--NL"));
        // Each row names the station that wrote it; on the file that is the machine's name.
        QCOMPARE(testsupport::columnTexts(p.table(), 3).first(), QSysInfo::machineHostName());
        QCOMPARE(testsupport::columnTexts(p.table(), 3).last(), QSysInfo::machineHostName());
        // ... and the person signed in there beside it.
        QCOMPARE(p.table()->horizontalHeaderItem(4)->text(), QStringLiteral("Person"));
        QCOMPARE(testsupport::columnTexts(p.table(), 4).mid(0, 4),
                 (QStringList{QStringLiteral("Wang Fang"), QStringLiteral("Wang Fang"), QStringLiteral("Wang Fang"),
                              QStringLiteral("admin")}));
    }

    // 605 px hold 19 rows; a table too short for one row still pages one entry.
    void tableHeightSetsRows()
    {
        addEntries(1, 40);
        Page p;
        p.setTableHeight(605);
        QCOMPARE(p.table()->height(), 605);
        QCOMPARE(p.table()->rowCount(), 19);
        QCOMPARE(p.summary(), summaryText(40, 3, 1));
        QCOMPARE(p.describes(), entries(40, 22, 19));

        p.log->setMinimumHeight(0);
        p.setTableHeight(100);
        QVERIFY(p.table()->height() < tableHeightFor(1));
        QCOMPARE(p.table()->rowCount(), 1);
        QCOMPARE(p.selector()->count(), 40);
        QCOMPARE(p.describes(), entries(40, 40, 1));
        testsupport::click(p.button("btnLast"));
        QCOMPARE(p.describes(), entries(1, 1, 1));
    }

    void textsPassTheTranslationLayer()
    {
        addLog(makeLogRecord(QStringLiteral("Login"), QStringLiteral("Login")));
        FakeTranslator translator;
        QCoreApplication::installTranslator(&translator);
        Page p;
        p.setTableHeight(tableHeightFor(5));
        QCoreApplication::removeTranslator(&translator);
        QCOMPARE(p.table()->item(0, 0)->text(), QStringLiteral("Anmeldung"));
        QCOMPARE(p.table()->item(0, 1)->text(), QStringLiteral("Anmeldung"));
        QCOMPARE(p.summary(), QStringLiteral("1 Einträge, 1 Seiten, Seite 1"));
    }

    // A log that cannot be read is an error the operator sees; the page shown stays as it
    // was rather than turning into an empty log.
    void unreadableLogIsAnErrorNotAnEmptyPage()
    {
        addEntries(1, 12);
        Page p;
        p.setTableHeight(tableHeightFor(5));
        QCOMPARE(p.describes(), entries(12, 8, 5));
        const QString summary = p.summary();
        closeDatabase();
        const std::function<void()> actions[] = {[&] { testsupport::click(p.button("btnNext")); },
                                                 [&] { testsupport::click(p.button("btnLast")); },
                                                 [&] { p.log->refreshPaging(); }};
        for (const auto &action : actions) {
            MessageBox::clear();
            action();
            QCOMPARE(MessageBox::shown().size(), 1);
            QCOMPARE(MessageBox::last().kind, MessageBox::Critical);
            QCOMPARE(MessageBox::last().title, QStringLiteral("Error"));
            QVERIFY2(MessageBox::last().text.contains(QLatin1String("could not be read"))
                         && MessageBox::last().text.contains(storeError()),
                     qPrintable(MessageBox::last().text));
            QCOMPARE(p.describes(), entries(12, 8, 5));
            QCOMPARE(p.summary(), summary);
        }
        openDatabase();
        MessageBox::clear();
        testsupport::click(p.button("btnNext"));
        QCOMPARE(p.describes(), entries(7, 3, 5));
        QVERIFY(MessageBox::shown().isEmpty());
    }
};

TARNWELL_TEST_MAIN(TestLog)
#include "tst_log.moc"
