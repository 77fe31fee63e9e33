#include "shell/login.h"
#include "ui_login.h"

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

LoginOutcome Login::attempt(const QString &name, const QString &password)
{
    const LoginOutcome outcome = signIn(name, password);
    switch (outcome.result) {
    case LoginOutcome::Ok:
        break;
    case LoginOutcome::Wrong:
        if (outcome.startedWait)
            addLog(makeLogRecord(tr("Login locked"),
                                 tr("%1 failed logins in a row for %2: the next try waits %3 s")
                                     .arg(kLoginFailuresBeforeWait)
                                     .arg(name)
                                     .arg(kLoginWaitSeconds)));
        // "is error" is the program's own wording, kept.
        MessageBox::critical(nullptr, tr("Error"), tr("Login name or password is error!"), QMessageBox::Yes);
        break;
    case LoginOutcome::MustWait:
        MessageBox::critical(nullptr, tr("Error"),
                             tr("Too many failed logins for this name. Try again in %1 s.").arg(outcome.waitSeconds),
                             QMessageBox::Yes);
        break;
    case LoginOutcome::Disabled:
        MessageBox::critical(nullptr, tr("Error"),
                             tr("This account is disabled. An administrator can enable it again."), QMessageBox::Yes);
        break;
    case LoginOutcome::StoreFailed:
        MessageBox::critical(nullptr, tr("Error"), tr("The login could not be checked: %1").arg(storeError()),
                             QMessageBox::Yes);
        break;
    }
    return outcome;
}

void Login::warnOfSeededPassword()
{
    MessageBox::warning(nullptr, tr("Warning"),
                        tr("The account admin still has the password it was delivered with, which anyone can look "
                           "up. Log in as admin and change it under Password."));
}

void Login::on_btnLogin_clicked()
{
    const QString name = ui->lineEditName->text().trimmed();
    const QString password = ui->lineEditPwd->text().trimmed();
    if (name.isEmpty()) {
        MessageBox::critical(nullptr, tr("Error"), tr("Login name is empty!"), QMessageBox::Yes, QMessageBox::Yes);
        return;
    }
    const LoginOutcome outcome = attempt(name, password);
    if (outcome.result != LoginOutcome::Ok)
        return;
    // The log row names the person, so they are signed in first; without the row nobody is.
    setSignedInPerson(outcome.person);
    if (!addLog(makeLogRecord(tr("Login"), tr("Login")))) {
        setSignedInPerson(Person());
        MessageBox::critical(nullptr, tr("Error"), tr("The login could not be logged: %1").arg(storeError()),
                             QMessageBox::Yes);
        return;
    }
    if (outcome.seededPassword)
        warnOfSeededPassword();
    accept();
}

void Login::on_btnExit_clicked()
{
    reject();
}
