#pragma once

#include <QDialog>
#include <QString>

namespace Ui {
class ReprintLabelDlg;
}

// A supervisor's request for another copy of a used identifier's label, with the reason.
// OK asks the store for the copy (on this station, logged); a refusal is said in a box and,
// unless only the reason is missing, closes the dialog with nothing written.
class ReprintLabelDlg : public QDialog
{
    Q_OBJECT
public:
    ReprintLabelDlg(const QString &serialNumber, const QString &deviceSerialNum, const QString &labelState,
                    QWidget *parent = nullptr);
    ~ReprintLabelDlg() override;

    // The copy OK made (0 when none was).
    int copy() const { return copy_; }

private slots:
    void on_btnOk_clicked();
    void on_btnCancel_clicked();

private:
    Ui::ReprintLabelDlg *ui;
    const QString serialNumber;
    int copy_ = 0;
};
