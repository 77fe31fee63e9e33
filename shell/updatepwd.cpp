#include "shell/updatepwd.h"
#include "ui_updatepwd.h"

#include "store/datastore.h"
#include "widgets/messagebox.h"

#include <QIcon>

UpdatePwd::UpdatePwd(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::UpdatePwd)
{
    ui->setupUi(this);
    setWindowIcon(QIcon(QStringLiteral("./Resources/App.ico")));
    setWindowFlags(Qt::Window | Qt::WindowCloseButtonHint);
    setFixedSize(size());
}

UpdatePwd::~UpdatePwd()
{
    delete ui;
}

void UpdatePwd::on_btnUpdate_clicked()
{
    // Used exactly as typed: the store checks and hashes them verbatim.
    const QString oldPwd = ui->lineEditOldPwd->text();
    const QString newPwd = ui->lineEditNewPwd->text();
    const QString confirmPwd = ui->lineEditConfirmPwd->text();

    if (newPwd.isEmpty()) {
        MessageBox::warning(nullptr, tr("Warning"), tr("New password is empty!"));
        return;
    }
    if (newPwd != confirmPwd) {
        // "is not same to" is the program's own wording, kept.
        MessageBox::warning(nullptr, tr("Warning"), tr("Confirm password is not same to new password!"));
        return;
    }
    // The login trims what it is given, so a password with white space at either end
    // could never be entered again. Refused with the other checks on the new password,
    // before the store is asked anything.
    if (newPwd != newPwd.trimmed()) {
        MessageBox::warning(nullptr, tr("Warning"), tr("New password can not begin or end with a blank!"));
        return;
    }
    const Person person = signedInPerson();
    if (!checkOwnPassword(person.id, oldPwd)) {
        // A store that cannot answer is not a wrong password.
        if (lastStoreCallFailed())
            MessageBox::critical(nullptr, tr("Error"), tr("The password could not be checked: %1").arg(storeError()));
        else
            MessageBox::warning(nullptr, tr("Warning"), tr("Old password error!"));
        return;
    }
    // A change that did not reach the file must not be reported as done: the old password
    // would be the one that logs in next time.
    if (!setOwnPassword(person.id, newPwd)) {
        MessageBox::critical(nullptr, tr("Error"),
                             tr("The password could not be changed; the old one stays.") + QStringLiteral("\n\n")
                                 + storeError());
        return;
    }
    MessageBox::information(nullptr, tr("Information"), tr("Update success!"));
    accept();
}
