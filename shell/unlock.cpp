#include "shell/unlock.h"
#include "ui_unlock.h"

#include "shell/login.h"
#include "widgets/messagebox.h"

#include <QCloseEvent>
#include <QIcon>

Unlock::Unlock(const QString &name, QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::Unlock)
{
    ui->setupUi(this);
    setWindowIcon(QIcon(QStringLiteral("./Resources/App.ico")));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setWindowModality(Qt::ApplicationModal);
    setFixedSize(size());
    ui->lineEditName->setText(name);
    ui->lineEditPwd->setFocus();
}

Unlock::~Unlock()
{
    delete ui;
}

void Unlock::reject()
{
    // Escape leaves the window locked.
}

void Unlock::closeEvent(QCloseEvent *event)
{
    event->ignore();
}

void Unlock::on_btnUnlock_clicked()
{
    const QString name = ui->lineEditName->text().trimmed();
    const QString password = ui->lineEditPwd->text().trimmed();
    if (name.isEmpty()) {
        MessageBox::critical(nullptr, tr("Error"), tr("Login name is empty!"), QMessageBox::Yes, QMessageBox::Yes);
        return;
    }
    const LoginOutcome outcome = Login::attempt(name, password);
    ui->lineEditPwd->clear();
    if (outcome.result != LoginOutcome::Ok)
        return;
    emit signedIn(outcome);
    accept();
}
