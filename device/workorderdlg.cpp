#include "device/workorderdlg.h"
#include "ui_workorderdlg.h"

#include "base/csvfield.h"
#include "store/datastore.h"
#include "widgets/displaytext.h"
#include "widgets/messagebox.h"

#include <QHeaderView>
#include <QSaveFile>
#include <QTableWidgetItem>

namespace {

// An order larger than any line makes in a year is a typing error.
constexpr qint64 kMaxQuantity = 10000000;

} // namespace

WorkOrderDlg::WorkOrderDlg(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::WorkOrderDlg)
{
    ui->setupUi(this);
    setWindowIcon(QIcon(QStringLiteral("./Resources/App.ico")));
    ui->tableOrders->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    ui->cbxOrderCustomer->addItems({tr("UMEYE"), tr("Brisvan")});
    const bool administrator = signedInMay(Role::Administrator);
    for (QWidget *w : std::initializer_list<QWidget *>{ui->cbxOrderCustomer, ui->lineEditOrderType,
                                                       ui->lineEditQuantity, ui->lineEditNote, ui->btnCreate})
        w->setEnabled(administrator);
    reload();
}

WorkOrderDlg::~WorkOrderDlg()
{
    delete ui;
}

void WorkOrderDlg::reload()
{
    QList<WorkOrder> orders;
    if (!workOrders(&orders)) {
        MessageBox::critical(nullptr, tr("Error"), tr("The work orders could not be read: %1").arg(storeError()));
        return;
    }
    QTableWidget *table = ui->tableOrders;
    table->setRowCount(orders.size());
    for (int row = 0; row < orders.size(); ++row) {
        const WorkOrder &o = orders.at(row);
        const QStringList cells{QString::number(o.orderId),
                                displayText(o.customerName),
                                o.deviceType.isEmpty() ? tr("any") : displayText(o.deviceType),
                                QString::number(o.quantity),
                                QString::number(o.used),
                                QString::number(o.pending),
                                displayText(o.note),
                                o.date,
                                displayText(o.station),
                                displayText(o.person)};
        for (int col = 0; col < cells.size(); ++col)
            table->setItem(row, col, new QTableWidgetItem(cells.at(col)));
        table->item(row, 0)->setData(Qt::UserRole, o.orderId);
    }
}

void WorkOrderDlg::on_btnCreate_clicked()
{
    bool number = false;
    const qint64 quantity = ui->lineEditQuantity->text().trimmed().toLongLong(&number);
    if (!number || quantity < 1 || quantity > kMaxQuantity) {
        MessageBox::warning(nullptr, tr("Warning"),
                            tr("The quantity must be a number of devices from 1 to %1.").arg(kMaxQuantity));
        return;
    }
    const QString type = ui->lineEditOrderType->text().trimmed();
    // A device reports its type in a field of that size: a longer one could never match.
    if (type.toUtf8().size() >= int(sizeof(SerialRecord::deviceType))) {
        MessageBox::warning(nullptr, tr("Warning"), tr("The device type is longer than any device reports."));
        return;
    }
    const int customerId = ui->cbxOrderCustomer->currentIndex() + 1;
    const QString note = ui->lineEditNote->text();
    qint64 id = 0;
    bool done = beginBatch();
    if (done) {
        id = createWorkOrder(customerId, type, quantity, note);
        done = id > 0
            && addLog(makeLogRecord(tr("Work order"),
                                    tr("Work order %1 created: %2 x %3 %4")
                                        .arg(id)
                                        .arg(quantity)
                                        .arg(ui->cbxOrderCustomer->currentText(), type.isEmpty() ? tr("any") : type)));
        if (done)
            done = commitBatch();
        else
            rollbackBatch();
    }
    if (!done) {
        MessageBox::critical(nullptr, tr("Error"), tr("The work order could not be created: %1").arg(storeError()));
        return;
    }
    ui->lineEditQuantity->clear();
    ui->lineEditNote->clear();
    reload();
}

void WorkOrderDlg::on_btnExportOrder_clicked()
{
    const int row = ui->tableOrders->currentRow();
    if (row < 0 || !ui->tableOrders->item(row, 0)) {
        MessageBox::warning(nullptr, tr("Warning"), tr("Please select a work order!"));
        return;
    }
    const qint64 orderId = ui->tableOrders->item(row, 0)->data(Qt::UserRole).toLongLong();
    QList<OrderDevice> devices;
    if (!workOrderDevices(orderId, &devices)) {
        MessageBox::critical(nullptr, tr("Error"), tr("The work order could not be read: %1").arg(storeError()));
        return;
    }
    const QString path = FileDialog::getSaveFileName(this, tr("Save"), QStringLiteral("order-%1.csv").arg(orderId),
                                                     tr("Files") + QStringLiteral("(*.csv)"));
    if (path.isEmpty())
        return;
    QByteArray out("\xEF\xBB\xBF");
    const auto line = [&out](const QStringList &fields) {
        for (int i = 0; i < fields.size(); ++i) {
            if (i > 0)
                out += ',';
            const QByteArray bytes = fields.at(i).toUtf8();
            csvfield::append(out, bytes.constData(), std::size_t(bytes.size()));
        }
        out += "\r\n";
    };
    line({tr("UUID"), tr("SN."), tr("Type"), tr("IP"), tr("State")});
    for (const OrderDevice &d : qAsConst(devices))
        line({d.serialNumber, d.deviceSerialNum, d.deviceType, d.deviceIp,
              d.isUse == SerialUsed          ? tr("used")
                  : d.isUse == SerialPending ? tr("pending")
                  : d.isUse == SerialVoid    ? tr("void")
                                             : tr("other")});
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(out) != out.size() || !file.commit())
        MessageBox::critical(nullptr, tr("Error"), tr("The file could not be written: %1").arg(file.errorString()));
    else
        MessageBox::information(nullptr, tr("Information"),
                                tr("%n device(s) of work order %1 exported.", nullptr, devices.size()).arg(orderId));
}

void WorkOrderDlg::on_btnClose_clicked()
{
    close();
}
