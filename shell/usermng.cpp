#include "shell/usermng.h"
#include "ui_usermng.h"

#include "jobs/roleactions.h"
#include "widgets/displaytext.h"
#include "widgets/messagebox.h"

#include <QHeaderView>
#include <QIcon>
#include <QTableWidgetItem>

#include <iterator>

namespace {

enum Column {
    ColName,
    ColRole,
    ColState
};

const Role kRoles[] = {Role::Operator, Role::Supervisor, Role::Administrator};

} // namespace

UserMng::UserMng(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::UserMng)
{
    ui->setupUi(this);
    setWindowIcon(QIcon(QStringLiteral("./Resources/App.ico")));
    setWindowFlags(Qt::Window | Qt::WindowCloseButtonHint);
    setFixedSize(size());
    ui->tableWidget->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    for (Role role : kRoles)
        ui->cbxRole->addItem(jobs::People::roleName(role));
    connect(ui->tableWidget, &QTableWidget::itemSelectionChanged, this, &UserMng::onCurrentRowChanged);
    reload(-1);
}

UserMng::~UserMng()
{
    delete ui;
}

void UserMng::reload(qint64 selectId)
{
    people = allPeople();
    QTableWidget *table = ui->tableWidget;
    table->clearContents();
    table->setRowCount(people.size());
    int selectRow = -1;
    for (int row = 0; row < people.size(); ++row) {
        const PersonRow &p = people.at(row);
        table->setItem(row, ColName, new QTableWidgetItem(displayText(p.name)));
        table->setItem(row, ColRole, new QTableWidgetItem(jobs::People::roleName(p.role)));
        table->setItem(row, ColState, new QTableWidgetItem(p.disabled ? tr("Disabled") : tr("Enabled")));
        if (p.id == selectId)
            selectRow = row;
    }
    if (selectRow >= 0)
        table->selectRow(selectRow);
    else
        table->clearSelection();
    onCurrentRowChanged();
}

void UserMng::onCurrentRowChanged()
{
    const int row = ui->tableWidget->currentRow();
    const bool any = ui->tableWidget->selectionModel()->hasSelection() && row >= 0 && row < people.size();
    if (!any) {
        ui->btnDisable->setText(tr("Disable"));
        return;
    }
    const PersonRow &p = people.at(row);
    ui->lineEditName->setText(p.name);
    ui->cbxRole->setCurrentIndex(int(p.role));
    ui->btnDisable->setText(p.disabled ? tr("Enable") : tr("Disable"));
}

const PersonRow *UserMng::chosen()
{
    const int row = ui->tableWidget->currentRow();
    if (!ui->tableWidget->selectionModel()->hasSelection() || row < 0 || row >= people.size()) {
        MessageBox::warning(nullptr, tr("Warning"), tr("Please select a person!"));
        return nullptr;
    }
    return &people.at(row);
}

QString UserMng::typedPassword()
{
    const QString pwd = ui->lineEditPwd->text();
    if (pwd.isEmpty()) {
        MessageBox::warning(nullptr, tr("Warning"), tr("The password is empty!"));
        return QString();
    }
    if (pwd != ui->lineEditConfirmPwd->text()) {
        // "is not same to" is the program's own wording, kept.
        MessageBox::warning(nullptr, tr("Warning"), tr("Confirm password is not same to new password!"));
        return QString();
    }
    // The login trims what it is given: such a password could never be entered.
    if (pwd != pwd.trimmed()) {
        MessageBox::warning(nullptr, tr("Warning"), tr("The password can not begin or end with a blank!"));
        return QString();
    }
    return pwd;
}

Role UserMng::typedRole() const
{
    const int index = ui->cbxRole->currentIndex();
    return index >= 0 && index < int(std::size(kRoles)) ? kRoles[index] : Role::Operator;
}

namespace {

// Words what stopped a change; true when it went through.
bool report(const jobs::People::Result &result, const QString &name)
{
    if (result.done())
        return true;
    QString why;
    if (!result.permitted) {
        why = UserMng::tr("Only an administrator may manage users; nothing was changed.");
    } else if (result.ownAccount) {
        why = UserMng::tr("You can not disable the account you are signed in with.");
    } else {
        switch (result.change) {
        case PeopleChange::Done:
            return true;
        case PeopleChange::NameInvalid:
            why = UserMng::tr("The name can not be empty or begin or end with a blank!");
            break;
        case PeopleChange::NameTooLong:
            why = UserMng::tr("The name can not be longer than %1 bytes!").arg(kMaxPersonNameBytes);
            break;
        case PeopleChange::NameTaken:
            why = UserMng::tr("%1 is taken; choose another name.").arg(displayText(name));
            break;
        case PeopleChange::NoSuchPerson:
        case PeopleChange::NoSuchRole:
            why = UserMng::tr("That person or role is not in the pool; nothing was changed.");
            break;
        case PeopleChange::LastAdministrator:
            why = UserMng::tr("The pool must keep an enabled administrator; nothing was changed.");
            break;
        case PeopleChange::NotAHash:
        case PeopleChange::Failed:
            MessageBox::critical(nullptr, UserMng::tr("Error"),
                                 UserMng::tr("The change could not be saved; nothing was changed.")
                                     + QStringLiteral("\n\n") + storeError());
            return false;
        }
    }
    MessageBox::warning(nullptr, UserMng::tr("Warning"), why);
    return false;
}

} // namespace

void UserMng::on_btnAdd_clicked()
{
    const QString name = ui->lineEditName->text().trimmed();
    const QString pwd = typedPassword();
    if (pwd.isEmpty())
        return;
    if (!report(jobs::People::add(name, pwd, typedRole()), name))
        return;
    ui->lineEditPwd->clear();
    ui->lineEditConfirmPwd->clear();
    qint64 added = -1;
    for (const PersonRow &p : allPeople())
        if (p.name == name)
            added = p.id;
    reload(added);
}

void UserMng::on_btnSetRole_clicked()
{
    const PersonRow *p = chosen();
    if (!p)
        return;
    const qint64 id = p->id;
    if (report(jobs::People::setRole(id, typedRole()), p->name))
        reload(id);
}

void UserMng::on_btnSetPwd_clicked()
{
    const PersonRow *p = chosen();
    if (!p)
        return;
    const qint64 id = p->id;
    const QString name = p->name;
    const QString pwd = typedPassword();
    if (pwd.isEmpty() || !report(jobs::People::setPassword(id, pwd), name))
        return;
    ui->lineEditPwd->clear();
    ui->lineEditConfirmPwd->clear();
    MessageBox::information(nullptr, tr("Information"), tr("The new password of %1 is set.").arg(displayText(name)));
}

void UserMng::on_btnDisable_clicked()
{
    const PersonRow *p = chosen();
    if (!p)
        return;
    const qint64 id = p->id;
    if (report(jobs::People::setDisabled(id, !p->disabled), p->name))
        reload(id);
}
