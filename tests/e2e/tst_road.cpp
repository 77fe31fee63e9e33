// The road of a typical burn through the real main window, as an operator drives it:
// log in, import two pools, search the simulated line, Match, Burn, check the pool, the
// devices and the log, change the password, exit.
#include "tests/support/testsupport.h"

#include "platform/devicesim/simprocess.h"
#include "shell/app.h"
#include "shell/login.h"
#include "shell/tarnwell.h"
#include "shell/updatepwd.h"
#include "store/datastore.h"
#include "widgets/messagebox.h"

#include <QComboBox>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QTableWidget>

namespace {

const QString kDemo = QStringLiteral(TARNWELL_SOURCE_DIR "/demo/");

using testsupport::cellText;
using testsupport::chooseText;
using testsupport::triggerMenu;
using testsupport::whenShown;

QWidget *page(Tarnwell *w, int index)
{
    return w->findChild<QStackedWidget *>(QStringLiteral("stackedWidget"))->widget(index);
}

using testsupport::child;

void importFile(QWidget *serial, const QString &path, const char *radio, int expectedStored)
{
    MessageBox::clear();
    FileDialog::setNextFileName(path);
    testsupport::click(child(serial, "btnChoose"));
    QCOMPARE(child<QLineEdit>(serial, "lineEditPath")->text(), path);
    testsupport::click(child<QRadioButton>(serial, radio));
    testsupport::click(child(serial, "btnImport"));
    QTRY_VERIFY_WITH_TIMEOUT(!MessageBox::shown().isEmpty(), 20000);
    QCOMPARE(MessageBox::last().text,
             QStringLiteral("Import completed, import successful %1, failed 0").arg(expectedStored));
}

// Searches until `expected` rows are listed, then stops the search as an operator would.
void search(QWidget *device, int expected)
{
    auto *table = child<QTableWidget>(device, "tableWidget");
    testsupport::click(child(device, "btnSearch"));
    QTRY_COMPARE_WITH_TIMEOUT(table->rowCount(), expected, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(child(device, "btnStop")->isEnabled(), 3000);
    testsupport::click(child(device, "btnStop"));
    QCOMPARE(child(device, "btnSearch")->text(), QStringLiteral("Search"));
}

struct Road {
    devicesim::SimProcess *sim;
    QStringList nvrSerials;       // the simulated NVRs, in the order the search lists them
    QMap<QString, QString> burnt; // device serial -> identifier
    bool done = false;
};

void drive(Tarnwell *w, Road &road)
{
    QWidget *serial = page(w, 0);
    QWidget *device = page(w, 1);
    QWidget *log = page(w, 2);

    // The XLSX pool goes to Brisvan first, so UMEYE's XML pool is the newest on page 1.
    importFile(serial, kDemo + QStringLiteral("demo-pool.xlsx"), "rbBrisvan", 40);
    importFile(serial, kDemo + QStringLiteral("demo-pool.xml"), "rbUMEYE", 40);
    auto *serialTable = child<QTableWidget>(serial, "tableWidget");
    QCOMPARE(cellText(serialTable, 0, 2), QStringLiteral("UMEYE"));
    QCOMPARE(cellText(serialTable, 0, 3), QStringLiteral("NO"));
    const QString newestUmeye = cellText(serialTable, 0, 1);

    triggerMenu(w, QStringLiteral("Burning"));
    auto *table = child<QTableWidget>(device, "tableWidget");
    chooseText(child<QComboBox>(device, "cbxType"), QStringLiteral("NVR"));
    search(device, road.nvrSerials.size());
    for (int r = 0; r < table->rowCount(); ++r) {
        QCOMPARE(cellText(table, r, 1), QStringLiteral("NVR"));
        QVERIFY(road.nvrSerials.contains(cellText(table, r, 2)));
        QCOMPARE(table->item(r, 0)->checkState(), Qt::Unchecked);
    }

    // Three devices for UMEYE: they get the newest unused UMEYE identifiers.
    for (int r = 0; r < 3; ++r)
        table->item(r, 0)->setCheckState(Qt::Checked);
    chooseText(child<QComboBox>(device, "cbxCustomer"), QStringLiteral("UMEYE"));
    testsupport::click(child(device, "btnMatch"));
    QCOMPARE(cellText(table, 0, 6), newestUmeye);
    for (int r = 0; r < 3; ++r)
        QCOMPARE(cellText(table, r, 7), QStringLiteral("Ready to burn"));
    QCOMPARE(cellText(table, 3, 6), QString());
    testsupport::click(child(device, "btnBurn"));
    for (int r = 0; r < 3; ++r) {
        QCOMPARE(cellText(table, r, 7), QStringLiteral("Has been burning"));
        road.burnt.insert(cellText(table, r, 2), cellText(table, r, 6));
    }

    // One more device for Brisvan: the other request form, without the server fields.
    table->item(3, 0)->setCheckState(Qt::Checked);
    chooseText(child<QComboBox>(device, "cbxCustomer"), QStringLiteral("Brisvan"));
    testsupport::click(child(device, "btnMatch"));
    QCOMPARE(cellText(table, 3, 7), QStringLiteral("Ready to burn"));
    testsupport::click(child(device, "btnBurn"));
    QCOMPARE(cellText(table, 3, 7), QStringLiteral("Has been burning"));
    road.burnt.insert(cellText(table, 3, 2), cellText(table, 3, 6));

    // The devices hold what was burnt, in the form of their customer.
    for (auto it = road.burnt.cbegin(); it != road.burnt.cend(); ++it) {
        const QJsonObject d = road.sim->device(it.key());
        QStringList held;
        for (const char *key : {"uuid", "form", "uuidKind", "hostAddr"})
            held << d.value(QLatin1String(key)).toString();
        held << QString::number(d.value(QStringLiteral("port")).toInt());
        const bool umeye = it.key() != cellText(table, 3, 2);
        QCOMPARE(held,
                 (umeye ? QStringList{it.value(), "umeye", "DeviceID", "svr.umeye.example", "5800"}
                        : QStringList{it.value(), "lenovo", "GoolinkGID", "", "0"}));
    }

    // The Serial page reloaded after the burn: the three UMEYE identifiers are used.
    triggerMenu(w, QStringLiteral("Serail Number"));
    for (int r = 0; r < 3; ++r) {
        const QString uuid = cellText(serialTable, r, 1);
        const QString dev = road.burnt.key(uuid);
        QVERIFY2(!dev.isEmpty(), qPrintable(uuid));
        QCOMPARE(cellText(serialTable, r, 3), QStringLiteral("YES"));
        QCOMPARE(cellText(serialTable, r, 4), QStringLiteral("NVR"));
        QCOMPARE(cellText(serialTable, r, 5), dev);
        QCOMPARE(cellText(serialTable, r, 6), road.sim->device(dev).value(QStringLiteral("ip")).toString());
    }

    // The log, newest first: four burns (each claimed, written, confirmed), two imports (each
    // ended and begun), the login.
    triggerMenu(w, QStringLiteral("Log"));
    auto *logTable = child<QTableWidget>(log, "tableWidget");
    QStringList types;
    for (int r = 0; r < logTable->rowCount() && !cellText(logTable, r, 0).isEmpty(); ++r)
        types << cellText(logTable, r, 0);
    QStringList expected;
    for (int i = 0; i < 17; ++i)
        expected << (i < 12       ? QStringLiteral("User operation")
                         : i < 16 ? QStringLiteral("Import serail number")
                                  : QStringLiteral("Login"));
    QCOMPARE(types, expected);
    const QString last =
        QStringLiteral("Burning uuid [%1] [%2]").arg(cellText(table, 3, 2), road.burnt.value(cellText(table, 3, 2)));
    QCOMPARE(QStringList({cellText(logTable, 0, 1), cellText(logTable, 1, 1), cellText(logTable, 2, 1)}),
             (QStringList{last + QStringLiteral(" confirmed"), last + QStringLiteral(" written"), last}));

    // A new password, then Exit.
    whenShown<UpdatePwd>([](UpdatePwd *dialog) {
        QTest::keyClicks(child<QLineEdit>(dialog, "lineEditOldPwd"), QStringLiteral("qorvi"));
        QTest::keyClicks(child<QLineEdit>(dialog, "lineEditNewPwd"), QStringLiteral("line-2"));
        QTest::keyClicks(child<QLineEdit>(dialog, "lineEditConfirmPwd"), QStringLiteral("line-2"));
        testsupport::click(child(dialog, "btnUpdate"));
    });
    triggerMenu(w, QStringLiteral("Password"));
    QCOMPARE(MessageBox::last().text, QStringLiteral("Update success!"));
    MessageBox::setNextAnswer(QMessageBox::Yes);
    road.done = true;
    triggerMenu(w, QStringLiteral("Exit"));
}

} // namespace

class TestRoad : public QObject
{
    Q_OBJECT

private slots:
    void typicalBurn()
    {
        QFile::remove(QStringLiteral("mydatabase.db"));
        closeDatabase();
        devicesim::SimProcess sim;
        QVERIFY2(sim.start({QStringLiteral("--devices"), QStringLiteral("24")}), qPrintable(sim.errorText()));
        sim.exportTarget();

        Road road{&sim, {}, {}, false};
        for (const QJsonValue &v : sim.devices())
            if (v.toObject().value(QStringLiteral("type")).toString() == QStringLiteral("NVR"))
                road.nvrSerials << v.toObject().value(QStringLiteral("serial")).toString();
        QVERIFY2(road.nvrSerials.size() >= 4, "the simulated line needs four NVRs");

        whenShown<Login>(
            [](Login *login) { testsupport::logIn(login, QStringLiteral("admin"), QStringLiteral("qorvi")); });
        whenShown<Tarnwell>([&road](Tarnwell *w) {
            drive(w, road);
            if (!road.done)
                w->close();
        });
        QCOMPARE(runTarnwell(*qApp), 0);
        QVERIFY(road.done);
        QCOMPARE(testsupport::value(QStringLiteral("SELECT LogType FROM Logs ORDER BY LogID DESC LIMIT 1")).toString(),
                 QStringLiteral("Logout"));
        QCOMPARE(testsupport::value(QStringLiteral("SELECT COUNT(*) FROM SerialNumbers WHERE IsUse=1")).toInt(), 4);
    }
};

TARNWELL_TEST_MAIN(TestRoad)
#include "tst_road.moc"
