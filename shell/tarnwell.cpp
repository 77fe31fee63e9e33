#include "shell/tarnwell.h"
#include "ui_tarnwell.h"

#include "customers/customermng.h"
#include "device/devicemng.h"
#include "jobs/labelqueue.h"
#include "log/log.h"
#include "platform/netsdk/z7netsdk.h"
#include "report/reportpage.h"
#include "serial/serial.h"
#include "shell/idlelock.h"
#include "shell/updatepwd.h"
#include "shell/usermng.h"
#include "store/datastore.h"
#include "widgets/messagebox.h"

#include <QAction>
#include <QIcon>

Tarnwell::Tarnwell(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::TarnwellClass)
{
    ui->setupUi(this);
    setWindowIcon(QIcon(QStringLiteral("./Resources/App.ico")));
    setWindowFlags(Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(size());

    Z7_NET_DVR_Init();

    serial = new Serial(this);
    deviceMng = new DeviceMng(this);
    log = new Log(this);
    report = new ReportPage(this);
    // Signed in by now: the station prints the labels of what it confirms.
    if (labelsEnabled()) {
        labelQueue = new jobs::LabelQueue(this);
        deviceMng->setLabelQueue(labelQueue);
        labelQueue->start();
    }
    connect(deviceMng, &DeviceMng::sendOnSerial, serial, &Serial::onSerial);
    ui->stackedWidget->addWidget(serial);
    ui->stackedWidget->addWidget(deviceMng);
    ui->stackedWidget->addWidget(log);
    ui->stackedWidget->addWidget(report);

    const struct {
        const char *text;
        void (Tarnwell::*handler)();
    } entries[] = {
        // "Serail" is the program's own spelling, kept.
        {QT_TR_NOOP("Serail Number"), &Tarnwell::on_menuSerial_Number_clicked},
        {QT_TR_NOOP("Burning"), &Tarnwell::on_menuBurning_clicked},
        {QT_TR_NOOP("Customer"), &Tarnwell::on_menuCustomers_clicked},
        {QT_TR_NOOP("Password"), &Tarnwell::on_menuPassword_clicked},
        {QT_TR_NOOP("Users"), &Tarnwell::on_menuUsers_clicked},
        {QT_TR_NOOP("Log"), &Tarnwell::on_menuLogs_clicked},
        {QT_TR_NOOP("Report"), &Tarnwell::on_menuReport_clicked},
        {QT_TR_NOOP("Exit"), &Tarnwell::on_menuExit_clicked},
    };
    QList<QAction *> actions;
    for (const auto &entry : entries) {
        auto *action = new QAction(tr(entry.text), this);
        ui->menuBar->addAction(action);
        actions.append(action);
    }
    for (int i = 0; i < actions.size(); ++i)
        connect(actions.at(i), &QAction::triggered, this, entries[i].handler);
    customerAction = actions.at(2);
    usersAction = actions.at(4);
    applyRole();

    // Another person may log in at the lock: what the window offers follows their role.
    connect(new IdleLock(this), &IdleLock::personChanged, this, &Tarnwell::applyRole);
}

void Tarnwell::applyRole()
{
    const bool administrator = signedInMay(Role::Administrator);
    customerAction->setVisible(administrator);
    usersAction->setVisible(administrator);
    serial->applyRole();
    deviceMng->applyRole();
}

Tarnwell::~Tarnwell()
{
    // The pages die with the base class, after the SDK is released and the database
    // closed, so no discovery report can reach a page that is going away. The label queue
    // ends first, with its connection, after the label it is sending.
    delete labelQueue;
    Z7_NET_DVR_Cleanup();
    closeDatabase();
    delete ui;
}

void Tarnwell::on_menuSerial_Number_clicked()
{
    ui->stackedWidget->setCurrentWidget(serial);
}

void Tarnwell::on_menuBurning_clicked()
{
    ui->stackedWidget->setCurrentWidget(deviceMng);
}

void Tarnwell::on_menuCustomers_clicked()
{
    CustomerMng dialog(this);
    dialog.exec();
}

void Tarnwell::on_menuPassword_clicked()
{
    UpdatePwd dialog(this);
    dialog.exec();
}

void Tarnwell::on_menuUsers_clicked()
{
    UserMng dialog(this);
    dialog.exec();
    // The administrator may have changed their own role.
    applyRole();
}

void Tarnwell::on_menuLogs_clicked()
{
    log->refreshPaging();
    ui->stackedWidget->setCurrentWidget(log);
}

void Tarnwell::on_menuReport_clicked()
{
    // The page loads when it is shown; shown already, the entry loads it again.
    if (ui->stackedWidget->currentWidget() == report)
        report->refresh();
    else
        ui->stackedWidget->setCurrentWidget(report);
}

void Tarnwell::on_menuExit_clicked()
{
    // "Whether to exit" is the program's own wording, kept.
    if (MessageBox::question(nullptr, tr("question"), tr("Whether to exit"), QMessageBox::Yes | QMessageBox::Cancel,
                             QMessageBox::Yes)
        != QMessageBox::Yes)
        return;
    addLog(makeLogRecord(tr("Logout"), tr("Logout")));
    close();
}
