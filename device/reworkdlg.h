// A supervisor's rework of one found device: what the device reports and what the pool
// records, and the choice to keep, replace or release its identifier.
#pragma once

#include "jobs/reworkjob.h"

#include <QDialog>

namespace Ui {
class ReworkDlg;
}

class ReworkDlg : public QDialog
{
    Q_OBJECT
public:
    // Reads the device back and looks the pool up before it is shown.
    explicit ReworkDlg(const jobs::ReworkDevice &device, QWidget *parent = nullptr);
    ~ReworkDlg() override;

    // The outcome of the last action OK ran.
    const jobs::ReworkOutcome &outcome() const { return last; }

private slots:
    void on_btnOk_clicked();
    void on_btnCancel_clicked();

private:
    void showFacts();
    QString outcomeText(jobs::ReworkAction action) const;

    Ui::ReworkDlg *ui;
    jobs::ReworkDevice device;
    jobs::ReworkOutcome last;
};
