#pragma once

#include <QMainWindow>

class QAction;
namespace Ui {
class TarnwellClass;
}
class Serial;
class DeviceMng;
class Log;
class ReportPage;
namespace jobs {
class LabelQueue;
}

// The main window: menu bar, page stack, and the owner of the device SDK's lifetime.
class Tarnwell : public QMainWindow
{
    Q_OBJECT
public:
    explicit Tarnwell(QWidget *parent = nullptr);
    ~Tarnwell() override;

    // Menu handlers, connected to the menu actions. They are not declared as
    // slots because the actions carry no object names to auto-connect by.
    void on_menuSerial_Number_clicked();
    void on_menuBurning_clicked();
    void on_menuCustomers_clicked();
    void on_menuPassword_clicked();
    void on_menuUsers_clicked();
    void on_menuLogs_clicked();
    void on_menuReport_clicked();
    void on_menuExit_clicked();

public slots:
    // Offers what the signed-in person's role allows: call it when that person changes.
    void applyRole();

private:
    Ui::TarnwellClass *ui;
    Serial *serial = nullptr;
    DeviceMng *deviceMng = nullptr;
    jobs::LabelQueue *labelQueue = nullptr; // only with labels on
    Log *log = nullptr;
    ReportPage *report = nullptr;
    // The menu entries for administrators only.
    QAction *customerAction = nullptr;
    QAction *usersAction = nullptr;
};
