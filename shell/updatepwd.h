#pragma once

#include <QDialog>

namespace Ui {
class UpdatePwd;
}

// Changes the signed-in person's own password.
class UpdatePwd : public QDialog
{
    Q_OBJECT
public:
    explicit UpdatePwd(QWidget *parent = nullptr);
    ~UpdatePwd() override;

private slots:
    void on_btnUpdate_clicked();

private:
    Ui::UpdatePwd *ui;
};
