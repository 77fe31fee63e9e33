#pragma once

#include <QDialog>

namespace Ui {
class CustomerMng;
}
class QTableWidgetItem;

// Edits each customer's identifier kind and, for the first customer listed, the
// address of its device service. Built fresh for every opening.
class CustomerMng : public QDialog
{
    Q_OBJECT
public:
    explicit CustomerMng(QWidget *parent = nullptr);
    ~CustomerMng() override;

private slots:
    void on_btnUpdate_clicked();
    void onItemDoubleClicked(QTableWidgetItem *item);

private:
    Ui::CustomerMng *ui;
};
