#include "device/reworkdlg.h"
#include "ui_reworkdlg.h"

#include "store/datastore.h"
#include "widgets/displaytext.h"
#include "widgets/messagebox.h"

#include <QIcon>

using jobs::ReworkAction;
using jobs::ReworkOutcome;

ReworkDlg::ReworkDlg(const jobs::ReworkDevice &reworked, QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::ReworkDlg)
    , device(reworked)
{
    ui->setupUi(this);
    setWindowIcon(QIcon(QStringLiteral("./Resources/App.ico")));
    setWindowFlags(Qt::Window | Qt::WindowCloseButtonHint);
    ui->lblDevice->setText(
        tr("%1 %2 at %3").arg(displayText(device.type), displayText(device.serial), displayText(device.ip)));
    showFacts();
}

ReworkDlg::~ReworkDlg()
{
    delete ui;
}

void ReworkDlg::showFacts()
{
    const jobs::devicecalls::ReadBack read = jobs::ReworkJob::readBack(device);
    switch (read.result) {
    case jobs::devicecalls::ReadBack::Reported:
        ui->lblReported->setText(read.uuid.isEmpty() ? tr("no identifier") : displayText(read.uuid));
        break;
    case jobs::devicecalls::ReadBack::NoAnswer:
        ui->lblReported->setText(tr("no answer"));
        break;
    case jobs::devicecalls::ReadBack::Unsupported:
        ui->lblReported->setText(tr("cannot be read with this SDK"));
        break;
    }
    const DeviceHolding held = holdingOfDevice(device.serial);
    if (lastStoreCallFailed())
        ui->lblRecorded->setText(tr("the pool could not be read: %1").arg(storeError()));
    else if (held.isUse == SerialUsed)
        ui->lblRecorded->setText(tr("%1 (used)").arg(displayText(held.serialNumber)));
    else if (held.isUse == SerialPending)
        ui->lblRecorded->setText(tr("%1 (pending)").arg(displayText(held.serialNumber)));
    else
        ui->lblRecorded->setText(tr("no identifier"));
}

void ReworkDlg::on_btnOk_clicked()
{
    const ReworkAction action = ui->rbReplace->isChecked() ? ReworkAction::Replace
        : ui->rbRelease->isChecked()                       ? ReworkAction::Release
                                                           : ReworkAction::Keep;
    const QString reason = ui->lineEditReason->text().trimmed();
    if (action != ReworkAction::Keep && reason.isEmpty()) {
        MessageBox::warning(nullptr, tr("Warning"), tr("Please enter the reason for the rework!"));
        return;
    }
    last = jobs::ReworkJob::run(action, device, reason);
    const QString text = outcomeText(action);
    switch (last.result) {
    case ReworkOutcome::Done:
    case ReworkOutcome::Unchanged:
        MessageBox::information(nullptr, tr("Information"), text);
        accept();
        return;
    case ReworkOutcome::NotBurnt:
        // Recorded: the old identifier is void whatever the write did.
        MessageBox::warning(nullptr, tr("Warning"), text);
        accept();
        return;
    case ReworkOutcome::StoreFailed:
        MessageBox::critical(nullptr, tr("Error"), text);
        break;
    default:
        MessageBox::warning(nullptr, tr("Warning"), text);
        break;
    }
    showFacts();
}

void ReworkDlg::on_btnCancel_clicked()
{
    reject();
}

QString ReworkDlg::outcomeText(ReworkAction action) const
{
    const QString recorded = displayText(last.recorded);
    const QString fresh = displayText(last.replacement);
    switch (last.result) {
    case ReworkOutcome::Done:
        if (action == ReworkAction::Keep)
            return tr("%1 is recorded used for the device.").arg(recorded);
        if (action == ReworkAction::Replace)
            return tr("%1 is void; the device now holds %2.").arg(recorded, fresh);
        return tr("%1 is released and will be offered again.").arg(recorded);
    case ReworkOutcome::Unchanged:
        return tr("%1 was already recorded used for the device; nothing changed.").arg(recorded);
    case ReworkOutcome::Refused:
        return tr("Only a supervisor may rework a device.");
    case ReworkOutcome::NoReason:
        return tr("Please enter the reason for the rework!");
    case ReworkOutcome::NoAnswer:
        return tr("The device did not answer when read back; nothing was changed.");
    case ReworkOutcome::CannotRead:
        return tr("This SDK cannot read identifiers back; only a replacement is possible.");
    case ReworkOutcome::NothingHeld:
        return tr("The pool records no used or pending identifier for the device; nothing was changed.");
    case ReworkOutcome::NotReported:
        return tr("The device reports %1, not %2; nothing was changed.")
            .arg(last.reported.isEmpty() ? tr("no identifier") : displayText(last.reported), recorded);
    case ReworkOutcome::StillReported:
        return tr("The device still reports %1; it cannot be released.").arg(recorded);
    case ReworkOutcome::NotPending:
        return tr("%1 is used, not pending; only a pending identifier can be released.").arg(recorded);
    case ReworkOutcome::NoneOffered:
        return tr("The customer has no unused identifier left; nothing was changed.");
    case ReworkOutcome::StoreFailed:
        return tr("The pool could not be changed; nothing was changed.\n\n%1").arg(last.why);
    case ReworkOutcome::NotBurnt:
        return tr("%1 is void and %2 is recorded pending for the device, but it was not burnt: "
                  "the next Burn of the device writes it again.")
            .arg(recorded, fresh);
    }
    return QString();
}
