// Two stations, two pools, one line: station A burns some devices and exports its pool;
// station B imports that file and burns the rest of the line. Both through the main window
// as an operator drives it, devices from the simulator. No identifier may end up in two
// devices, and B's pool records every identifier a device holds, for that device.
#include "tests/support/testsupport.h"

#include "platform/devicesim/simprocess.h"
#include "shell/app.h"
#include "shell/login.h"
#include "shell/tarnwell.h"
#include "store/datastore.h"
#include "widgets/messagebox.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QTableWidget>

namespace {

using testsupport::cellText;
using testsupport::child;
using testsupport::chooseText;
using testsupport::click;
using testsupport::triggerMenu;
using testsupport::whenShown;

const int kPool = 6;  // the customer's list
const int kBurnA = 3; // devices station A burns

QWidget *page(Tarnwell *w, int index)
{
    return w->findChild<QStackedWidget *>(QStringLiteral("stackedWidget"))->widget(index);
}

QString importFile(QWidget *serial, const QString &path)
{
    MessageBox::clear();
    FileDialog::setNextFileName(path);
    click(child(serial, "btnChoose"));
    click(child<QRadioButton>(serial, "rbUMEYE"));
    click(child(serial, "btnImport"));
    if (!QTest::qWaitFor([] { return !MessageBox::shown().isEmpty(); }, 30000))
        return QStringLiteral("no box");
    return MessageBox::last().text;
}

// Searches the whole line and stops the search once every device is listed.
bool searchAll(QWidget *device, int devices)
{
    auto *table = child<QTableWidget>(device, "tableWidget");
    click(child(device, "btnSearch"));
    if (!QTest::qWaitFor([&] { return table->rowCount() == devices; }, 10000))
        return false;
    if (!QTest::qWaitFor([&] { return child(device, "btnStop")->isEnabled(); }, 3000))
        return false;
    click(child(device, "btnStop"));
    return true;
}

// Ticks up to `count` rows that can be ticked (not burnt), Match for UMEYE, then Burn.
void matchAndBurn(QWidget *device, int count)
{
    auto *table = child<QTableWidget>(device, "tableWidget");
    for (int r = 0, ticked = 0; r < table->rowCount() && ticked < count; ++r)
        if (table->item(r, 0)->data(Qt::CheckStateRole).isValid()) {
            table->item(r, 0)->setCheckState(Qt::Checked);
            ++ticked;
        }
    chooseText(child<QComboBox>(device, "cbxCustomer"), QStringLiteral("UMEYE"));
    click(child(device, "btnMatch"));
    click(child(device, "btnBurn"));
}

struct Station {
    std::function<void(Tarnwell *)> run;
    bool done = false;
};

void runStation(Station &station)
{
    whenShown<Login>([](Login *login) { testsupport::logIn(login, QStringLiteral("admin"), QStringLiteral("qorvi")); });
    whenShown<Tarnwell>([&station](Tarnwell *w) {
        station.run(w);
        station.done = true;
        MessageBox::setNextAnswer(QMessageBox::Yes); // the question before leaving
        triggerMenu(w, QStringLiteral("Exit"));
    });
    QCOMPARE(runTarnwell(*qApp), 0);
    QVERIFY(station.done);
}

} // namespace

class TestRoundTrip : public QObject
{
    Q_OBJECT

private slots:
    void exportedPoolBurnsNothingTwice()
    {
        devicesim::SimProcess sim;
        QVERIFY2(sim.start({QStringLiteral("--devices"), QStringLiteral("12")}), qPrintable(sim.errorText()));
        sim.exportTarget();
        const int devices = sim.devices().size();

        QByteArray list = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<serials>\n";
        for (int i = 1; i <= kPool; ++i)
            list.append("<r><uuid>RT-").append(QByteArray::number(i)).append("</uuid></r>\n");
        list.append("</serials>\n");
        const QString listPath = testsupport::writeFile(QStringLiteral("customer-list.xml"), list);
        const QString exported = QDir::current().absoluteFilePath(QStringLiteral("station-a.csv"));
        const QString home = QDir::currentPath();

        // Station A: the customer's list, three devices burnt, the pool exported.
        closeDatabase();
        QFile::remove(QStringLiteral("mydatabase.db"));
        QString failure;
        Station a;
        a.run = [&](Tarnwell *w) {
            QWidget *serial = page(w, 0);
            if (importFile(serial, listPath) != QStringLiteral("Import completed, import successful 6, failed 0"))
                failure = QStringLiteral("A's import: ") + MessageBox::last().text;
            triggerMenu(w, QStringLiteral("Burning"));
            if (!searchAll(page(w, 1), devices))
                failure = QStringLiteral("A's search");
            matchAndBurn(page(w, 1), kBurnA);
            triggerMenu(w, QStringLiteral("Serail Number"));
            MessageBox::clear();
            FileDialog::setNextFileName(exported);
            click(child(serial, "btnExport"));
            if (!QTest::qWaitFor([] { return !MessageBox::shown().isEmpty(); }, 30000))
                failure = QStringLiteral("A's export");
        };
        runStation(a);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        QCOMPARE(testsupport::count(QStringLiteral("SerialNumbers WHERE IsUse=1")), kBurnA);

        // Station B, a folder and a pool of its own: A's export, then the rest of the line.
        QVERIFY(QDir().mkpath(QStringLiteral("station-b/Resources")));
        for (const QString &f : QDir(QStringLiteral("Resources")).entryList(QDir::Files))
            QFile::copy(QStringLiteral("Resources/") + f, QStringLiteral("station-b/Resources/") + f);
        closeDatabase();
        QVERIFY(QDir::setCurrent(home + QStringLiteral("/station-b")));
        Station b;
        b.run = [&](Tarnwell *w) {
            const QString box = importFile(page(w, 0), exported);
            if (box
                != QStringLiteral("Import completed, import successful 6, failed 0\n"
                                  "3 came in as used or pending, with their devices."))
                failure = QStringLiteral("B's import: ") + box;
            triggerMenu(w, QStringLiteral("Burning"));
            if (!searchAll(page(w, 1), devices))
                failure = QStringLiteral("B's search");
            matchAndBurn(page(w, 1), devices);
        };
        runStation(b);
        const QString bFailure = failure;

        // The line: every identifier of the list in one device at most, all of them burnt,
        // and B's pool says which device holds each.
        QMap<QString, QString> holder; // identifier -> device
        for (const QJsonValue &v : sim.devices()) {
            const QJsonObject d = v.toObject();
            const QString uuid = d.value(QStringLiteral("uuid")).toString();
            if (uuid.isEmpty())
                continue;
            const QString serial = d.value(QStringLiteral("serial")).toString();
            QVERIFY2(!holder.contains(uuid), qPrintable(uuid + " in " + holder.value(uuid) + " and " + serial));
            holder.insert(uuid, serial);
        }
        QCOMPARE(holder.size(), kPool);
        QVERIFY2(bFailure.isEmpty(), qPrintable(bFailure));
        for (auto it = holder.cbegin(); it != holder.cend(); ++it)
            QCOMPARE(testsupport::value(QStringLiteral("SELECT DeviceSerialNum FROM SerialNumbers "
                                                       "WHERE SerialNumber='%1' AND IsUse=1")
                                            .arg(it.key()))
                         .toString(),
                     it.value());
        QVERIFY(QDir::setCurrent(home));
    }
};

TARNWELL_TEST_MAIN(TestRoundTrip)
#include "tst_roundtrip.moc"
