#pragma once

#include <QDialog>
#include <QString>

namespace Ui {
class HistoryDlg;
}

// What the pool knows of one identifier (and of the devices it went to), one row per
// event in the order recorded. Read once when built; read-only.
class HistoryDlg : public QDialog
{
    Q_OBJECT
public:
    HistoryDlg(const QString &value, QWidget *parent = nullptr);
    ~HistoryDlg() override;

    // False when the store could not answer (the dialog then says so in its label).
    bool loaded() const { return loaded_; }

private slots:
    void on_btnClose_clicked();

private:
    Ui::HistoryDlg *ui;
    bool loaded_ = false;
};
