#pragma once

#include <QDialog>

namespace Ui {
class Login;
}

// The gate in front of the main window. Building it opens the database.
class Login : public QDialog
{
    Q_OBJECT
public:
    explicit Login(QWidget *parent = nullptr);
    ~Login() override;

private slots:
    void on_btnLogin_clicked();
    void on_btnExit_clicked();

private:
    Ui::Login *ui;
};
