#pragma once

#include "store/datastore.h"

#include <QDialog>

namespace Ui {
class Unlock;
}

// The locked main window's login: the person who was signed in, or another one.
// It cannot be closed or escaped; only a login ends it.
class Unlock : public QDialog
{
    Q_OBJECT
public:
    explicit Unlock(const QString &name, QWidget *parent = nullptr);
    ~Unlock() override;

    void reject() override;

signals:
    void signedIn(const LoginOutcome &outcome);

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void on_btnUnlock_clicked();

private:
    Ui::Unlock *ui;
};
