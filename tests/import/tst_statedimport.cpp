// An exported pool imported into another pool, through the Serial page: used and pending
// rows come in as what they are, with their devices, or are refused with a count; never
// as unused. The same file as CSV and as XLSX, on both stores.
#include "tests/support/testsupport.h"

#include "serial/serial.h"
#include "store/datastore.h"
#include "store/storeconnection.h"
#include "tests/import/xlsxfile.h"
#include "widgets/messagebox.h"

#include <QDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QSqlQuery>
#include <QTranslator>

#include <memory>

using testsupport::child;
using testsupport::click;

namespace {

const QSize kPageSize(1104, 656);
const QStringList kHeader{"UUID", "Customer", "Is used", "Type", "SN.", "IP"};

// The rows as the CSV export writes them (none of these needs quoting).
QByteArray csvOf(const QList<QStringList> &rows)
{
    QByteArray out("\xEF\xBB\xBF");
    for (const QStringList &r : QList<QStringList>{kHeader} + rows)
        out.append(r.join(QLatin1Char(',')).toUtf8()).append("\r\n");
    return out;
}

// The rows as the XLSX export writes them: inline strings, empty cells left out.
xlsxfile::Entries xlsxOf(const QList<QStringList> &rows)
{
    QByteArray data;
    int n = 0;
    for (const QStringList &r : QList<QStringList>{kHeader} + rows) {
        const QByteArray number = QByteArray::number(++n);
        data.append("<row r=\"").append(number).append("\">");
        for (int c = 0; c < r.size(); ++c)
            if (!r.at(c).isEmpty())
                data.append(xlsxfile::textCell(QString(QChar('A' + c)) + QString::number(n), r.at(c)));
        data.append("</row>");
    }
    return xlsxfile::package({xlsxfile::worksheet(data)});
}

// Every row of the pool as "value customer state device", by value.
QStringList pool()
{
    return testsupport::column(QStringLiteral(
        "SELECT SerialNumber || ' ' || CustomerID || ' ' || IsUse || ' ' || coalesce(DeviceSerialNum, '') "
        "FROM SerialNumbers ORDER BY SerialNumber, SNID"));
}

// The Serial page's state texts in another language, as a translation file would give them.
class StateTranslator : public QTranslator
{
public:
    QString translate(const char *context, const char *sourceText, const char * = nullptr, int = -1) const override
    {
        if (qstrcmp(context, "Serial") != 0)
            return QString();
        if (qstrcmp(sourceText, "YES") == 0)
            return QStringLiteral("是");
        if (qstrcmp(sourceText, "Pending") == 0)
            return QStringLiteral("待定");
        return QString();
    }
    bool isEmpty() const override { return false; }
};

} // namespace

class TestStatedImport : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<Serial> page;

    void runImport(const QString &path)
    {
        FileDialog::setNextFileName(path);
        click(child<QPushButton>(page.get(), "btnChoose"));
        click(child<QRadioButton>(page.get(), "rbBrisvan"));
        const int before = MessageBox::shown().size();
        click(child<QPushButton>(page.get(), "btnImport"));
        QTRY_VERIFY_WITH_TIMEOUT(MessageBox::shown().size() > before, 60000);
        QVERIFY(!child<QDialog>(page.get(), "Loading")->isVisible());
    }

private slots:
    void init()
    {
        testsupport::freshDatabase();
        MessageBox::clear();
        FileDialog::clear();
        page = std::make_unique<Serial>();
        page->resize(kPageSize);
        page->show();
        QVERIFY(QTest::qWaitForWindowExposed(page.get()));
    }

    void cleanup() { page.reset(); }

    // Each case: what this pool holds (statements), the exported rows, the pool after the
    // import and the box. Every case runs as CSV and as XLSX.
    void states_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<QList<QStringList>>("file");
        QTest::addColumn<QStringList>("after");
        QTest::addColumn<QString>("box");

        const auto ins = [](const char *value, int customer, int isUse, const char *device) {
            return QStringLiteral("INSERT INTO SerialNumbers(CustomerID, SerialNumber, IsUse, DeviceType, "
                                  "DeviceSerialNum, szIP) VALUES(%1, '%2', %3, 'NVR', '%4', '10.0.0.9')")
                .arg(customer)
                .arg(QLatin1String(value))
                .arg(isUse)
                .arg(QLatin1String(device));
        };
        const QString done = QStringLiteral("Import completed, import successful %1, failed %2");
        struct Case {
            const char *name;
            QStringList before;
            QList<QStringList> file;
            QStringList after;
            QString box;
        };
        const QList<Case> cases{
            {"used and pending the pool lacks: stored as they are, for the customer named",
             {},
             {{"U-1", "UMEYE", "YES", "NVR", "D-1", "10.0.0.1"},
              {"P-1", "Brisvan", "Pending", "IPC", "D-2", "10.0.0.2"}},
             {"P-1 2 2 D-2", "U-1 1 1 D-1"},
             done.arg(2).arg(0) + "\n2 came in as used or pending, with their devices."},
            {"unused rows: unused of the chosen customer",
             {},
             {{"N-1", "UMEYE", "NO", "", "", ""}},
             {"N-1 2 0 "},
             done.arg(1).arg(0)},
            {"a customer this pool lacks: refused",
             {},
             {{"U-1", "Nobody", "YES", "NVR", "D-1", "10.0.0.1"}},
             {},
             done.arg(0).arg(1) + "\n1 refused: this pool has no customer of the name given."},
            {"unused here: the pool learns the burn",
             {ins("U-1", 1, 0, "")},
             {{"U-1", "UMEYE", "YES", "NVR", "D-1", "10.0.0.1"}},
             {"U-1 1 1 D-1"},
             done.arg(1).arg(0) + "\n1 came in as used or pending, with their devices."},
            {"unused here, but its device holds another: refused",
             {ins("U-1", 1, 0, ""), ins("H-1", 1, 1, "D-1")},
             {{"U-1", "UMEYE", "Pending", "NVR", "D-1", "10.0.0.1"}},
             {"H-1 1 1 D-1", "U-1 1 0 "},
             done.arg(0).arg(1) + "\n1 refused: the device already holds another identifier here."},
            {"used here for the same device: already present",
             {ins("U-1", 1, 1, "D-1")},
             {{"U-1", "UMEYE", "YES", "NVR", "D-1", "10.0.0.1"}},
             {"U-1 1 1 D-1"},
             done.arg(0).arg(1) + "\n1 were already in the pool for the same device."},
            {"pending here for another device: refused, never overwritten",
             {ins("U-1", 1, 2, "D-9")},
             {{"U-1", "UMEYE", "YES", "NVR", "D-1", "10.0.0.1"}},
             {"U-1 1 2 D-9"},
             done.arg(0).arg(1) + "\n1 refused: used or pending here for another device."},
            {"retired here: refused",
             {QStringLiteral("INSERT INTO RetiredSerials(CustomerID, SerialNumber, IsUse, DeviceType, "
                             "DeviceSerialNum, szIP, RetiredDate, RetiredStation) "
                             "VALUES(1, 'U-1', 1, 'NVR', 'D-1', '', '2026-01-01 00:00:00', 'A')")},
             {{"U-1", "UMEYE", "YES", "NVR", "D-1", "10.0.0.1"}},
             {},
             done.arg(0).arg(1) + "\n1 refused: retired here."},
            {"one device named by two rows: the second refused",
             {},
             {{"U-1", "UMEYE", "YES", "NVR", "D-1", "10.0.0.1"}, {"U-2", "UMEYE", "Pending", "NVR", "D-1", "10.0.0.1"}},
             {"U-1 1 1 D-1"},
             done.arg(1).arg(1) + "\n1 came in as used or pending, with their devices."
                 + "\n1 refused: the device already holds another identifier here."},
            {"one value twice, unused then used: it keeps the state",
             {},
             {{"U-1", "UMEYE", "NO", "", "", ""}, {"U-1", "UMEYE", "YES", "NVR", "D-1", "10.0.0.1"}},
             {"U-1 1 1 D-1"},
             done.arg(1).arg(1)
                 + "\n1 came in as used or pending, with their devices."
                 // The server's store names only what other transactions hold.
                 + (testsupport::onServer()
                        ? QString()
                        : QStringLiteral(
                            "\nAlready in the pool, not stored again: 1 used, 0 pending, 0 retired, 0 unused."))},
            {"a state text that is none: refused",
             {},
             {{"U-1", "UMEYE", "Burnt", "NVR", "D-1", "10.0.0.1"}},
             {},
             done.arg(0).arg(1) + "\n1 refused: the Is used text is not a state."},
        };
        for (const char *format : {"csv", "xlsx"})
            for (const Case &c : cases)
                QTest::addRow("%s: %s", format, c.name) << format << c.before << c.file << c.after << c.box;
    }
    void states()
    {
        QFETCH(QString, format);
        QFETCH(QStringList, before);
        QFETCH(QList<QStringList>, file);
        QFETCH(QStringList, after);
        QFETCH(QString, box);
        for (const QString &sql : before)
            QVERIFY2(testsupport::exec(sql), qPrintable(sql));

        QString path;
        if (format == QLatin1String("csv")) {
            path = testsupport::writeFile(QStringLiteral("pool.csv"), csvOf(file));
        } else {
            path = testsupport::workingDirectory() + QStringLiteral("/pool.xlsx");
            QVERIFY(xlsxfile::writeZip(path, xlsxOf(file)));
        }
        runImport(path);
        QCOMPARE(MessageBox::last().text, box);
        QCOMPARE(pool(), after);
    }

    // On the server, a station claiming for a device holds that device's lock until its
    // claim commits: the import's batch waits for it (here: gives up after a short lock
    // timeout) rather than giving the device a second identifier, and after that commit
    // finds the device taken.
    void serverImportWaitsForAClaim()
    {
        if (!testsupport::onServer())
            QSKIP("the file's batch holds the one write lock");
        QSqlDatabase other = QSqlDatabase::cloneDatabase(storeDatabase, QStringLiteral("claiming-station"));
        {
            QVERIFY(other.open());
            QSqlQuery o(other);
            QVERIFY(o.exec(QStringLiteral("BEGIN")));
            QVERIFY(o.exec(QStringLiteral("SELECT pg_advisory_xact_lock(hashtext('D-7'))")));
            QVERIFY(o.exec(QStringLiteral("INSERT INTO SerialNumbers(CustomerID, SerialNumber, IsUse, DeviceType, "
                                          "DeviceSerialNum, szIP) VALUES(1, 'C-7', 2, 'NVR', 'D-7', '')")));
            const QList<StatedSerial> rows{{"X-7", "UMEYE", SerialUsed, "NVR", "D-7", "10.0.0.7"}};
            QVector<StatedOutcome> outcomes;
            QVERIFY(QSqlQuery(storeDatabase).exec(QStringLiteral("SET lock_timeout = '300ms'")));
            QVERIFY(beginBatch());
            QVERIFY(!storeStatedSerials(rows, &outcomes));
            rollbackBatch();
            QVERIFY(o.exec(QStringLiteral("COMMIT")));
            QVERIFY(beginBatch());
            QVERIFY(storeStatedSerials(rows, &outcomes));
            QVERIFY(commitBatch());
            QVERIFY(QSqlQuery(storeDatabase).exec(QStringLiteral("SET lock_timeout = '10s'")));
            QCOMPARE(outcomes, QVector<StatedOutcome>{StatedOutcome::DeviceHolds});
            other.close();
        }
        other = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("claiming-station"));
        QCOMPARE(pool(), QStringList{"C-7 1 2 D-7"});
    }

    // A station working in another language reads the state texts of either language.
    void translatedStateTexts()
    {
        StateTranslator translator;
        QVERIFY(QCoreApplication::installTranslator(&translator));
        const QString path = testsupport::writeFile(QStringLiteral("pool.csv"),
                                                    csvOf({{"T-1", "UMEYE", QStringLiteral("是"), "NVR", "D-1",
                                                            "10.0.0.1"},
                                                           {"T-2", "UMEYE", "Pending", "NVR", "D-2", "10.0.0.2"},
                                                           {"T-3", "UMEYE", "YES", "NVR", "D-3", "10.0.0.3"}}));
        runImport(path);
        QCoreApplication::removeTranslator(&translator);
        QCOMPARE(pool(), (QStringList{"T-1 1 1 D-1", "T-2 1 2 D-2", "T-3 1 1 D-3"}));
    }
};

TARNWELL_TEST_MAIN(TestStatedImport)
#include "tst_statedimport.moc"
