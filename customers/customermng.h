#pragma once

#include <QDialog>

namespace Ui { class CustomerMng; }

class CustomerMng : public QDialog
{
    Q_OBJECT
public:
    explicit CustomerMng(QWidget *parent = nullptr);
    ~CustomerMng() override;

private:
    Ui::CustomerMng *ui;
};
