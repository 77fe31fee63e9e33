// The serial-number page and the busy dialog it owns, driven through their widgets.
#include "tests/support/testsupport.h"

#include "serial/serial.h"
#include "store/datastore.h"
#include "widgets/messagebox.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QTableWidget>
#include <QTranslator>

#include <memory>

using testsupport::click;

namespace {

const QSize kPageSize(1104, 656); // the main window's page area

using Checks = QVector<Qt::CheckState>;

void addSerials(const QString &prefix, int count, int customerId = 1, bool used = false, const QString &type = {})
{
    QVERIFY(testsupport::fillPool(prefix, count, customerId, used, type));
}

int poolSize()
{
    return testsupport::count(QStringLiteral("SerialNumbers"));
}

QString expectedLabel(int total, int pages, int current)
{
    return QStringLiteral("A total of %1 serial number, %2 pages, the current %3 page")
        .arg(total)
        .arg(pages)
        .arg(current);
}

// Answers "NVR" in the page's context with quotes and LIKE wildcards in it.
class TrickyTypeTranslator : public QTranslator
{
public:
    static QString nvr() { return QStringLiteral("N'V%_\\R"); }
    QString translate(const char *context, const char *sourceText, const char *, int) const override
    {
        if (qstrcmp(context, "Serial") == 0 && qstrcmp(sourceText, "NVR") == 0)
            return nvr();
        return QString();
    }
    bool isEmpty() const override { return false; }
};

} // namespace

class TestSerial : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<Serial> page;

    template <class T>
    T *w(const char *name)
    {
        T *found = page->findChild<T *>(QLatin1String(name));
        if (!found)
            qFatal("no widget %s", name);
        return found;
    }
    QTableWidget *table() { return w<QTableWidget>("tableWidget"); }
    QComboBox *cbxPage() { return w<QComboBox>("cbxPage"); }
    QString label() { return w<QLabel>("label_5")->text(); }
    int pageSize() { return table()->rowCount(); }

    void showPage(QSize size = kPageSize)
    {
        page.reset(new Serial);
        page->resize(size);
        page->show();
        QVERIFY(QTest::qWaitForWindowExposed(page.get()));
    }

    void search(int use, int type, int customer)
    {
        w<QComboBox>("cbxUse")->setCurrentIndex(use);
        w<QComboBox>("cbxType")->setCurrentIndex(type);
        w<QComboBox>("cbxCustomer")->setCurrentIndex(customer);
        click(w<QPushButton>("btnSearch"));
    }

    // Serial numbers listed on the page shown, top to bottom.
    QStringList listed()
    {
        QStringList out;
        for (int row = 0; row < table()->rowCount() && table()->item(row, 0); ++row)
            out << table()->item(row, 1)->text();
        return out;
    }

    Checks checks()
    {
        Checks out;
        for (int row = 0; row < table()->rowCount() && table()->item(row, 0); ++row)
            out << table()->item(row, 0)->checkState();
        return out;
    }

    // First, Prev, Next, Last.
    QList<bool> pagingEnabled()
    {
        return {w<QPushButton>("btnSerialFirst")->isEnabled(), w<QPushButton>("btnSerialPrev")->isEnabled(),
                w<QPushButton>("btnSerialNext")->isEnabled(), w<QPushButton>("btnSerialLast")->isEnabled()};
    }

    // Table, selector, buttons and label all tell the same page.
    void verifyOnPage(int current, int pages, int total)
    {
        QCOMPARE(label(), expectedLabel(total, pages, current));
        QCOMPARE(cbxPage()->count(), pages);
        QCOMPARE(cbxPage()->itemText(pages - 1), QString::number(pages));
        QCOMPARE(cbxPage()->currentIndex(), current - 1);
        const bool back = current > 1, forward = current < pages;
        QCOMPARE(pagingEnabled(), (QList<bool>{back, back, forward, forward}));
        const int rowsHere = current < pages ? pageSize() : total - (pages - 1) * pageSize();
        QCOMPARE(listed().size(), rowsHere);
        for (int row = 0; row < pageSize(); ++row) {
            if (row < rowsHere)
                QCOMPARE(table()->item(row, 0)->text(), QString::number(row + 1));
            else
                QVERIFY(!table()->item(row, 0));
        }
    }

private slots:
    void init()
    {
        testsupport::freshDatabase();
        MessageBox::clear();
    }
    void cleanup() { page.reset(); }

    // --- layout and paging ---

    void emptyPoolShowsOneEmptyPage()
    {
        page.reset(new Serial);
        page->refreshPaging(); // before the first layout there is no page size yet
        click(w<QPushButton>("btnSearch"));
        QCOMPARE(label(), QStringLiteral("N page, the current page M"));

        showPage();
        QVERIFY2(pageSize() >= 12, "the main window's page holds at least 12 rows");
        const QRect lastRow = table()->visualRect(table()->model()->index(pageSize() - 1, 0));
        QVERIFY2(lastRow.bottom() < table()->viewport()->height(), "a whole page is seen without scrolling");
        verifyOnPage(1, 1, 0);
    }

    // A pool that cannot be read is an error the operator sees; the page shown stays as it
    // was rather than turning into an empty pool.
    void unreadablePoolIsAnErrorNotAnEmptyPage()
    {
        showPage();
        const int ps = pageSize();
        addSerials(QStringLiteral("U"), 2 * ps);
        click(w<QPushButton>("btnSearch"));
        verifyOnPage(1, 2, 2 * ps);
        const QStringList before = listed();
        closeDatabase();
        for (const char *button : {"btnSearch", "btnSerialNext", "btnSerialLast"}) {
            MessageBox::clear();
            click(w<QPushButton>(button));
            QCOMPARE(MessageBox::shown().size(), 1);
            QCOMPARE(MessageBox::last().kind, MessageBox::Critical);
            QCOMPARE(MessageBox::last().title, QStringLiteral("Error"));
            QVERIFY2(MessageBox::last().text.contains(QLatin1String("could not be read"))
                         && MessageBox::last().text.contains(storeError()),
                     qPrintable(MessageBox::last().text));
            verifyOnPage(1, 2, 2 * ps);
            QCOMPARE(listed(), before);
        }
        openDatabase();
        MessageBox::clear();
        click(w<QPushButton>("btnSerialNext"));
        verifyOnPage(2, 2, 2 * ps);
        QVERIFY(MessageBox::shown().isEmpty());
    }

    void pagesFollowThePoolSize()
    {
        showPage();
        const int ps = pageSize();
        addSerials(QStringLiteral("U"), 2 * ps);
        click(w<QPushButton>("btnSearch"));
        verifyOnPage(1, 2, 2 * ps); // an exact multiple adds no page
        QCOMPARE(listed().first(), QStringLiteral("U%1").arg(2 * ps, 4, 10, QLatin1Char('0')));

        addSerials(QStringLiteral("V"), 1);
        click(w<QPushButton>("btnSearch"));
        verifyOnPage(1, 3, 2 * ps + 1); // one more adds one
        QCOMPARE(listed().first(), QStringLiteral("V0001"));

        click(w<QPushButton>("btnSerialNext"));
        verifyOnPage(2, 3, 2 * ps + 1); // row numbers restart at 1
        QCOMPARE(listed().first(), QStringLiteral("U%1").arg(2 * ps - (ps - 1), 4, 10, QLatin1Char('0')));
        click(w<QPushButton>("btnSerialLast"));
        verifyOnPage(3, 3, 2 * ps + 1);
        QCOMPARE(listed(), QStringList{QStringLiteral("U0001")});
        click(w<QPushButton>("btnSerialPrev"));
        verifyOnPage(2, 3, 2 * ps + 1);
        click(w<QPushButton>("btnSerialFirst"));
        verifyOnPage(1, 3, 2 * ps + 1);

        cbxPage()->setCurrentIndex(2); // the selector
        verifyOnPage(3, 3, 2 * ps + 1);

        // A recount from the last page lands on page 1, everything agreeing.
        click(w<QPushButton>("btnSearch"));
        verifyOnPage(1, 3, 2 * ps + 1);
    }

    void filtersCountAndListTheRightRows_data()
    {
        QTest::addColumn<int>("use");
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("customer");
        QTest::addColumn<QStringList>("expected");

        // A: UMEYE unused, B: Brisvan unused, C: UMEYE NVR, D: Brisvan NVR-4K, E: Brisvan DVR, F: UMEYE IPC,
        // G: UMEYE void, H: Brisvan released
        QTest::newRow("all") << 0 << 0 << 0
                             << QStringList{"A", "A", "A", "B", "B", "C", "C", "D", "E", "E", "F", "G", "H"};
        QTest::newRow("not used") << 1 << 0 << 0 << QStringList{"A", "A", "A", "B", "B"};
        QTest::newRow("has been used") << 2 << 0 << 0 << QStringList{"C", "C", "D", "E", "E", "F"};
        QTest::newRow("void") << 4 << 0 << 0 << QStringList{"G"};
        QTest::newRow("released") << 5 << 0 << 0 << QStringList{"H"};
        QTest::newRow("NVR matches any type containing it") << 0 << 2 << 0 << QStringList{"C", "C", "D"};
        QTest::newRow("UMEYE") << 0 << 0 << 1 << QStringList{"A", "A", "A", "C", "C", "F", "G"};
        QTest::newRow("used NVR of Brisvan") << 2 << 2 << 2 << QStringList{"D"};
        QTest::newRow("unused NVR") << 1 << 2 << 0 << QStringList{};
    }

    void filtersCountAndListTheRightRows()
    {
        QFETCH(int, use);
        QFETCH(int, type);
        QFETCH(int, customer);
        QFETCH(QStringList, expected);

        addSerials(QStringLiteral("A"), 3, 1);
        addSerials(QStringLiteral("B"), 2, 2);
        addSerials(QStringLiteral("C"), 2, 1, true, QStringLiteral("NVR"));
        addSerials(QStringLiteral("D"), 1, 2, true, QStringLiteral("NVR-4K"));
        addSerials(QStringLiteral("E"), 2, 2, true, QStringLiteral("DVR"));
        addSerials(QStringLiteral("F"), 1, 1, true, QStringLiteral("IPC"));
        addSerials(QStringLiteral("G"), 1, 1);
        addSerials(QStringLiteral("H"), 1, 2);
        QVERIFY(testsupport::exec(QStringLiteral("UPDATE SerialNumbers SET IsUse=3 WHERE SerialNumber LIKE 'G%'")));
        QVERIFY(testsupport::exec(QStringLiteral("UPDATE SerialNumbers SET IsUse=4 WHERE SerialNumber LIKE 'H%'")));
        showPage();
        QVERIFY(pageSize() >= 13);

        // Start from another page and filter to check that Search replaces the old filter.
        search(2, 0, 1);
        search(use, type, customer);
        QCOMPARE(label(), expectedLabel(expected.size(), 1, 1));
        QStringList kinds;
        for (const QString &uuid : listed())
            kinds << uuid.left(1);
        std::sort(kinds.begin(), kinds.end());
        QCOMPARE(kinds, expected);
        if (use >= 4) // the table names the usage as the filter does
            QCOMPARE(table()->item(0, 3)->text(), w<QComboBox>("cbxUse")->itemText(use));
    }

    void typeFilterTakesTheTranslationLiterally()
    {
        TrickyTypeTranslator translator;
        QCoreApplication::installTranslator(&translator);
        addSerials(QStringLiteral("EXACT"), 1, 1, true, TrickyTypeTranslator::nvr());
        addSerials(QStringLiteral("INNER"), 1, 1, true, QStringLiteral("x") + TrickyTypeTranslator::nvr() + "y");
        // Each would match if its wildcard were left unescaped: % and _.
        addSerials(QStringLiteral("WILDP"), 1, 1, true, QStringLiteral("N'Vx_\\R"));
        addSerials(QStringLiteral("WILDU"), 1, 1, true, QStringLiteral("N'V%y\\R"));
        addSerials(QStringLiteral("PLAIN"), 1, 1, true, QStringLiteral("NVR"));
        showPage();
        QCoreApplication::removeTranslator(&translator);

        QCOMPARE(w<QComboBox>("cbxType")->itemText(2), TrickyTypeTranslator::nvr());
        search(0, 2, 0);
        QCOMPARE(label(), expectedLabel(2, 1, 1));
        QCOMPARE(listed(), (QStringList{"INNER0001", "EXACT0001"}));
        QCOMPARE(poolSize(), 5);
    }

    // A group box too low for a single row must still page (and not divide by zero).
    void lowGroupBoxKeepsOneRowPerPage()
    {
        addSerials(QStringLiteral("U"), 3);
        page.reset(new Serial);
        page->layout()->setSizeConstraint(QLayout::SetNoConstraint);
        page->setMinimumSize(0, 0);
        page->resize(kPageSize.width(), 120);
        page->show();
        QVERIFY(QTest::qWaitForWindowExposed(page.get()));
        QVERIFY(w<QGroupBox>("groupBox")->height() < 175);
        QCOMPARE(pageSize(), 1);
        verifyOnPage(1, 3, 3);
        click(w<QPushButton>("btnSerialLast"));
        QCOMPARE(listed(), QStringList{QStringLiteral("U0001")});
    }

    void newSizeRecountsWithTheFilterKept()
    {
        addSerials(QStringLiteral("A"), 40, 1);
        addSerials(QStringLiteral("B"), 30, 2);
        showPage();
        search(0, 0, 2);
        click(w<QPushButton>("btnSerialNext"));
        page->resize(kPageSize.width(), kPageSize.height() + 100);
        QTRY_COMPARE(pageSize(), (w<QGroupBox>("groupBox")->height() - 150) / 25);
        const int pages = (30 + pageSize() - 1) / pageSize();
        verifyOnPage(1, pages, 30);
        QVERIFY(listed().first().startsWith('B'));
    }

    // --- check marks ---

    void checkMarksFollowSelectAllOnly()
    {
        showPage();
        const int ps = pageSize();
        addSerials(QStringLiteral("U"), 2 * ps + 1);
        click(w<QPushButton>("btnSearch"));

        // A mark of one's own is gone after a page change or a reload.
        QVERIFY(table()->item(0, 0)->flags() & Qt::ItemIsUserCheckable);
        table()->item(0, 0)->setCheckState(Qt::Checked);
        click(w<QPushButton>("btnSerialNext"));
        click(w<QPushButton>("btnSerialPrev"));
        QCOMPARE(checks(), Checks(ps, Qt::Unchecked));
        table()->item(1, 0)->setCheckState(Qt::Checked);
        page->onSerial();
        QCOMPARE(checks(), Checks(ps, Qt::Unchecked));

        // Select-all holds on every page and through reloads.
        click(w<QCheckBox>("chkAll"));
        QCOMPARE(checks(), Checks(ps, Qt::Checked));
        click(w<QPushButton>("btnSerialNext"));
        QCOMPARE(checks(), Checks(ps, Qt::Checked));
        click(w<QPushButton>("btnSerialLast"));
        page->onSerial();
        QCOMPARE(checks(), Checks{Qt::Checked});
        click(w<QCheckBox>("chkAll"));
        QCOMPARE(checks(), Checks{Qt::Unchecked});
    }

    // --- delete ---

    void deleteThatChangesNothing_data()
    {
        QTest::addColumn<bool>("checked");
        QTest::addColumn<int>("yesAnswers"); // before the Cancel
        QTest::newRow("nothing checked") << false << 0;
        QTest::newRow("first confirmation refused") << true << 0;
        QTest::newRow("second confirmation refused") << true << 1;
    }

    void deleteThatChangesNothing()
    {
        QFETCH(bool, checked);
        QFETCH(int, yesAnswers);
        addSerials(QStringLiteral("U"), 3);
        showPage();
        if (checked)
            table()->item(0, 0)->setCheckState(Qt::Checked);
        for (int i = 0; i < yesAnswers; ++i)
            MessageBox::setNextAnswer(QMessageBox::Yes);
        MessageBox::setNextAnswer(QMessageBox::Cancel);

        click(w<QPushButton>("btnDelete"));
        QCOMPARE(MessageBox::shown().size(), checked ? yesAnswers + 1 : 1);
        if (!checked) {
            const MessageBox::Shown box = MessageBox::last();
            QCOMPARE(box.kind, MessageBox::Warning);
            QCOMPARE(box.title, QStringLiteral("Warning"));
            QCOMPARE(box.text, QStringLiteral("Please select serial number!"));
            QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        }
        QCOMPARE(poolSize(), 3);
        QCOMPARE(testsupport::count(QStringLiteral("Logs")), 0);
        QCOMPARE(table()->item(0, 0)->checkState(), checked ? Qt::Checked : Qt::Unchecked);
    }

    void deleteOnTheLastPageLogsDeletesAndReturnsToPageOne()
    {
        showPage();
        const int ps = pageSize();
        addSerials(QStringLiteral("U"), 2 * ps + 2);
        // Records, for each deleted row, whether its log row already existed.
        QVERIFY(testsupport::exec("CREATE TABLE deleteAudit(sn VARCHAR, logged INTEGER)"));
        QVERIFY(testsupport::exec(
            "CREATE TRIGGER auditDelete AFTER DELETE ON SerialNumbers BEGIN INSERT INTO deleteAudit "
            "VALUES(old.SerialNumber, (SELECT COUNT(*) FROM Logs WHERE LogType='Delete serail number' "
            "AND LogDescribe='Delete serail number ' || old.SerialNumber)); END"));
        click(w<QPushButton>("btnSearch"));
        click(w<QPushButton>("btnSerialLast"));
        QCOMPARE(listed(), (QStringList{"U0002", "U0001"}));
        click(w<QCheckBox>("chkAll")); // checks only what this page shows

        click(w<QPushButton>("btnDelete"));
        const QList<MessageBox::Shown> boxes = MessageBox::shown();
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes.at(0).title, QStringLiteral("question"));
        QCOMPARE(boxes.at(0).text, QStringLiteral("Whether to delete!"));
        QCOMPARE(boxes.at(1).text,
                 QStringLiteral("After deleting the data can not be restored, \n may cause serious "
                                "consequences, whether or not to delete the serial number"));
        for (const MessageBox::Shown &box : boxes) {
            QCOMPARE(box.kind, MessageBox::Question);
            QCOMPARE(box.buttons, QMessageBox::Yes | QMessageBox::Cancel);
            QCOMPARE(box.defaultButton, QMessageBox::Yes);
        }

        QCOMPARE(testsupport::rows("SELECT sn, logged FROM deleteAudit ORDER BY sn"),
                 (QList<QVariantList>{{"U0001", 1}, {"U0002", 1}}));
        QCOMPARE(testsupport::rows("SELECT LogType, LogDescribe FROM Logs ORDER BY LogID"),
                 (QList<QVariantList>{{"Delete serail number", "Delete serail number U0002"},
                                      {"Delete serail number", "Delete serail number U0001"}}));
        QCOMPARE(poolSize(), 2 * ps);
        QVERIFY(!w<QCheckBox>("chkAll")->isChecked());
        verifyOnPage(1, 2, 2 * ps);
        QCOMPARE(checks(), Checks(ps, Qt::Unchecked));

        // Only the rows checked go.
        const QStringList before = listed();
        table()->item(1, 0)->setCheckState(Qt::Checked);
        table()->item(3, 0)->setCheckState(Qt::Checked);
        click(w<QPushButton>("btnDelete"));
        QCOMPARE(poolSize(), 2 * ps - 2);
        QCOMPARE(listed().mid(0, 3), (QStringList{before.at(0), before.at(2), before.at(4)}));
        QCOMPARE(testsupport::count(QStringLiteral("Logs")), 4);
    }

    // Delete retires. A used identifier is in a device, so deleting one asks once more and
    // says what it means (the answer not given is Cancel); pending and unused ones are asked
    // about twice, as ever. Retired rows keep their state and device, and leave the page.
    void deleteRetiresAndAsksOnceMoreForUsed_data()
    {
        QTest::addColumn<int>("state");      // of U0002, checked together with the unused U0003
        QTest::addColumn<bool>("confirmed"); // the answer to the question about used ones
        QTest::newRow("unused") << int(SerialUnused) << true;
        QTest::newRow("pending") << int(SerialPending) << true;
        QTest::newRow("used, confirmed") << int(SerialUsed) << true;
        QTest::newRow("used, refused") << int(SerialUsed) << false;
    }

    void deleteRetiresAndAsksOnceMoreForUsed()
    {
        QFETCH(int, state);
        QFETCH(bool, confirmed);
        addSerials(QStringLiteral("U"), 3);
        const QString device = QStringLiteral("DEV-2");
        if (state == SerialUsed) {
            QVERIFY(testsupport::burnInPool(QStringLiteral("U0002"), 1, device, QStringLiteral("NVR"),
                                            QStringLiteral("10.0.0.2")));
        } else if (state == SerialPending) {
            QVERIFY(beginBatch());
            QCOMPARE(claimSerial(QStringLiteral("U0002"), 1, device, QStringLiteral("NVR"), QStringLiteral("10.0.0.2")),
                     ClaimResult::Claimed);
            QVERIFY(commitBatch());
        }
        showPage();
        QCOMPARE(listed(), (QStringList{"U0003", "U0002", "U0001"}));
        table()->item(0, 0)->setCheckState(Qt::Checked);
        table()->item(1, 0)->setCheckState(Qt::Checked);
        MessageBox::setNextAnswer(QMessageBox::Yes);
        MessageBox::setNextAnswer(QMessageBox::Yes);
        if (confirmed && state == SerialUsed)
            MessageBox::setNextAnswer(QMessageBox::Yes);
        click(w<QPushButton>("btnDelete"));

        const QList<MessageBox::Shown> boxes = MessageBox::shown();
        QCOMPARE(boxes.size(), state == SerialUsed ? 3 : 2);
        if (state == SerialUsed) {
            const MessageBox::Shown &box = boxes.last();
            QCOMPARE(box.kind, MessageBox::Question);
            QCOMPARE(box.title, QStringLiteral("question"));
            QVERIFY2(box.text.startsWith(QLatin1String("1 of the checked serial numbers have been burnt")),
                     qPrintable(box.text));
            QVERIFY2(box.text.contains(QLatin1String("retired")), qPrintable(box.text));
            QCOMPARE(box.buttons, QMessageBox::Yes | QMessageBox::Cancel);
            QCOMPARE(box.defaultButton, QMessageBox::Cancel);
        }
        if (!confirmed) {
            QCOMPARE(poolSize(), 3);
            QCOMPARE(testsupport::count(QStringLiteral("RetiredSerials")), 0);
            QCOMPARE(testsupport::count(QStringLiteral("Logs")), 0);
            QCOMPARE(listed(), (QStringList{"U0003", "U0002", "U0001"}));
            return;
        }
        QCOMPARE(testsupport::rows("SELECT LogType, LogDescribe FROM Logs ORDER BY LogID"),
                 (QList<QVariantList>{{"Delete serail number", "Delete serail number U0003"},
                                      {"Delete serail number", "Delete serail number U0002"}}));
        const QString held = state == SerialUnused ? QStringLiteral("") : device;
        QCOMPARE(testsupport::rows("SELECT SerialNumber, IsUse, DeviceSerialNum FROM RetiredSerials ORDER BY RSID"),
                 (QList<QVariantList>{{"U0003", 0, ""}, {"U0002", state, held}}));
        QCOMPARE(testsupport::column("SELECT SerialNumber FROM SerialNumbers"), QStringList{"U0001"});
        QCOMPARE(listed(), QStringList{"U0001"});
        QCOMPARE(label(), expectedLabel(1, 1, 1));
    }
};

TARNWELL_TEST_MAIN(TestSerial)
#include "tst_serial.moc"
