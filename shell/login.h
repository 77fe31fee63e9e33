#pragma once

#include "store/datastore.h"

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

    // One login attempt with the login's answers: every outcome but Ok gets its box here
    // (the store's own words when it failed), and a failure that makes the next try wait is
    // logged with the name and the station. Used by the lock of the main window too.
    static LoginOutcome attempt(const QString &name, const QString &password);
    // The box after a login while the administrator still has the delivered password.
    static void warnOfSeededPassword();

private slots:
    void on_btnLogin_clicked();
    void on_btnExit_clicked();

private:
    Ui::Login *ui;
};
