#pragma once

#include <QDialog>

namespace Ui {
class WorkOrderDlg;
}

// The work orders with their progress; an administrator creates one (customer, device type,
// quantity, note), anyone exports an order's identifiers with their devices.
class WorkOrderDlg : public QDialog
{
    Q_OBJECT
public:
    explicit WorkOrderDlg(QWidget *parent = nullptr);
    ~WorkOrderDlg() override;

private slots:
    void on_btnCreate_clicked();
    void on_btnExportOrder_clicked();
    void on_btnClose_clicked();

private:
    void reload();

    Ui::WorkOrderDlg *ui;
};
