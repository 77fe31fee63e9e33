#include "serial/reprintlabeldlg.h"
#include "ui_reprintlabeldlg.h"

#include "store/datastore.h"
#include "widgets/displaytext.h"
#include "widgets/messagebox.h"

ReprintLabelDlg::ReprintLabelDlg(const QString &serial, const QString &deviceSerialNum, const QString &labelState,
                                 QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::ReprintLabelDlg)
    , serialNumber(serial)
{
    ui->setupUi(this);
    ui->lblUuid->setText(displayText(serial));
    ui->lblDevice->setText(displayText(deviceSerialNum));
    ui->lblState->setText(labelState.isEmpty() ? tr("None yet") : labelState);
}

ReprintLabelDlg::~ReprintLabelDlg()
{
    delete ui;
}

void ReprintLabelDlg::on_btnOk_clicked()
{
    const QString reason = ui->lineEditReason->text().trimmed();
    int copy = 0;
    // One arg() with every value: a reason holding "%1" stays the operator's text.
    const ReprintResult result = reprintLabel(
        serialNumber, reason,
        [&](int n) {
        return makeLogRecord(tr("Reprint label"),
                             tr("Reprint label uuid [%1] copy %2: %3").arg(serialNumber, QString::number(n), reason));
        },
        &copy);
    switch (result) {
    case ReprintResult::Queued:
        copy_ = copy;
        if (!labelsEnabled())
            MessageBox::warning(nullptr, tr("Warning"),
                                tr("Copy %1 of the label of %2 waits for this station's label printer, and this "
                                   "station has none set in tarnwell.ini.")
                                    .arg(QString::number(copy), displayText(serialNumber)),
                                QMessageBox::Ok);
        accept();
        return;
    case ReprintResult::NoReason:
        MessageBox::warning(nullptr, tr("Warning"), tr("Please say why the label is printed again."), QMessageBox::Ok);
        ui->lineEditReason->setFocus();
        return; // the operator may type one and press OK again
    case ReprintResult::NotAllowed:
        MessageBox::warning(nullptr, tr("Warning"), tr("Only a supervisor or an administrator may reprint labels."),
                            QMessageBox::Ok);
        break;
    case ReprintResult::NotUsed:
        MessageBox::warning(
            nullptr, tr("Warning"),
            tr("%1 is not in a confirmed device, so it has no label to print again.").arg(displayText(serialNumber)),
            QMessageBox::Ok);
        break;
    case ReprintResult::Failed:
        MessageBox::critical(
            nullptr, tr("Error"),
            tr("The reprint could not be written, so no label will be printed:\n\n%1").arg(storeError()));
        break;
    }
    reject();
}

void ReprintLabelDlg::on_btnCancel_clicked()
{
    reject();
}
