#pragma once

#include <QDialog>

namespace Ui {
class BatchesDlg;
}

// Every import batch with what became of the identifiers it stored, read once when built,
// newest first; a batch whose stored count is not the sum of its states is marked.
class BatchesDlg : public QDialog
{
    Q_OBJECT
public:
    explicit BatchesDlg(QWidget *parent = nullptr);
    ~BatchesDlg() override;

    bool loaded() const { return loaded_; }

private slots:
    void on_btnClose_clicked();

private:
    Ui::BatchesDlg *ui;
    bool loaded_ = false;
};
