#include "shell/login.h"
#include "ui_login.h"

#include "store/datastore.h"
#include "widgets/messagebox.h"

#include <QIcon>

Login::Login(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::Login)
{
    ui->setupUi(this);
    setWindowIcon(QIcon(QStringLiteral("./Resources/App.ico")));
    setWindowFlags(Qt::WindowCloseButtonHint);
    setFixedSize(size());
    openDatabase();
}

Login::~Login()
{
    delete ui;
}

void Login::on_btnLogin_clicked()
{
    const QString name = ui->lineEditName->text().trimmed();
    const QString password = ui->lineEditPwd->text().trimmed();
    if (name.isEmpty()) {
        MessageBox::critical(nullptr, tr("Error"), tr("Login name is empty!"), QMessageBox::Yes, QMessageBox::Yes);
        return;
    }
    if (checkLogin(name, password) < 0) {
        // "is error" is the program's own wording, kept.
        MessageBox::critical(nullptr, tr("Error"), tr("Login name or password is error!"), QMessageBox::Yes);
        return;
    }
    addLog(makeLogRecord(tr("Login"), tr("Login")));
    accept();
}

void Login::on_btnExit_clicked()
{
    reject();
}
