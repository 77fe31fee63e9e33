#pragma once

#include <QDialog>

namespace Ui { class UpdatePwd; }

class UpdatePwd : public QDialog
{
    Q_OBJECT
public:
    explicit UpdatePwd(QWidget *parent = nullptr);
    ~UpdatePwd() override;

private:
    Ui::UpdatePwd *ui;
};
