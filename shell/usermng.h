#pragma once

#include "store/datastore.h"

#include <QDialog>
#include <QList>

namespace Ui {
class UserMng;
}

// An administrator's list of the people who may sign in: add one, set a role, set a new
// password, disable or enable. Built fresh for every opening.
class UserMng : public QDialog
{
    Q_OBJECT
public:
    explicit UserMng(QWidget *parent = nullptr);
    ~UserMng() override;

private slots:
    void on_btnAdd_clicked();
    void on_btnSetRole_clicked();
    void on_btnSetPwd_clicked();
    void on_btnDisable_clicked();
    void onCurrentRowChanged();

private:
    void reload(qint64 selectId);
    // The person of the row chosen; nullptr (after a box) when none is.
    const PersonRow *chosen();
    // The typed password when it may be one; empty (after a box) otherwise.
    QString typedPassword();
    Role typedRole() const;

    Ui::UserMng *ui;
    QList<PersonRow> people;
};
