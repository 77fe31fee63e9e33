// Shows the main window on the serial page with a filtered pool and keeps it up for a
// while, so that a screen grab can be taken (not a test):
//
//   cmake --build <build> --target serial_screenshot
//   xvfb-run -s '-screen 0 1104x679x24' sh -c '<build>/tests/serial_screenshot &
//       sleep 5; import -window root docs/serial-page.png; wait'
#include "tests/support/testsupport.h"

#include "shell/tarnwell.h"
#include "store/datastore.h"

#include <QComboBox>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    testsupport::prepareWorkingDirectory();
    openDatabase();

    // 20 000 serial numbers of both customers, most of the older ones burned.
    testsupport::exec(QStringLiteral(
        "WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM k WHERE i < 20000), "
        "r(i, used) AS (SELECT i, i < 15000 AND (i * 7919) % 10 < 8 FROM k) "
        "INSERT INTO SerialNumbers(CustomerID, SerialNumber, IsUse, DeviceType, DeviceSerialNum, szIP) "
        "SELECT CASE WHEN (i * 31) % 5 < 3 THEN 1 ELSE 2 END, "
        "printf('%08X%08X%04X', i * 2654435761 % 4294967296, i * 40503 % 4294967296, i), used, "
        "CASE WHEN used THEN CASE i % 4 WHEN 0 THEN 'DVR' WHEN 1 THEN 'NVR' WHEN 2 THEN 'IPC' ELSE 'NVR-4K' END "
        "ELSE '' END, "
        "CASE WHEN used THEN printf('ZW%010d', 7300000 + i * 7) ELSE '' END, "
        "CASE WHEN used THEN printf('192.168.%d.%d', 10 + i / 250 % 20, 2 + i % 250) ELSE '' END FROM r"));

    Tarnwell window;
    window.move(0, 0);
    window.show();

    QWidget *page = window.findChild<QWidget *>(QStringLiteral("Serial"));
    page->findChild<QComboBox *>(QStringLiteral("cbxUse"))->setCurrentIndex(2);  // Has been used
    page->findChild<QComboBox *>(QStringLiteral("cbxType"))->setCurrentIndex(2); // NVR
    page->findChild<QPushButton *>(QStringLiteral("btnSearch"))->click();
    page->findChild<QPushButton *>(QStringLiteral("btnSerialNext"))->click();
    auto *table = page->findChild<QTableWidget *>(QStringLiteral("tableWidget"));
    table->item(1, 0)->setCheckState(Qt::Checked);
    table->item(2, 0)->setCheckState(Qt::Checked);
    table->selectRow(4);

    QTimer::singleShot(15000, &app, &QApplication::quit);
    return app.exec();
}
