#include "customers/customermng.h"
#include "ui_customermng.h"

#include "jobs/roleactions.h"
#include "store/datastore.h"
#include "store/fixedfield.h"
#include "widgets/messagebox.h"

#include <QHeaderView>
#include <QIcon>
#include <QRegularExpression>

namespace {

// Widest identifier kind, in UTF-8 bytes: the device request's field is 16 bytes with its
// NUL, so a 16-byte kind could never be burned.
const int kMaxDescribeBytes = 15;
// The device requests carry the port in 16 bits.
const int kMaxPort = 65535;
const int kMaxHostBytes = 100;

enum Column {
    NameColumn,
    DescribeColumn,
    HostColumn,
    PortColumn,
    ColumnCount
};

} // namespace

CustomerMng::CustomerMng(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::CustomerMng)
{
    ui->setupUi(this);
    setWindowIcon(QIcon(QStringLiteral("./Resources/App.ico")));
    setWindowFlags(Qt::Window | Qt::WindowCloseButtonHint);
    setFixedSize(size());

    ui->lineEditName->setEnabled(false);
    ui->lineEditDescribe->setEnabled(false);
    ui->lineEditAddress->setEnabled(false);
    ui->lineEditPort->setEnabled(false);
    ui->lineEditWarnBelow->setEnabled(false);
    ui->lineEditPattern->setEnabled(false);

    QTableWidget *table = ui->tableWidget;
    table->setColumnCount(ColumnCount);
    table->setHorizontalHeaderLabels({tr("Name"), tr("Describe"), tr("Host address"), tr("Port")});
    table->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    table->verticalHeader()->setVisible(false);
    // Compact rows, so the fixed-size dialog shows both customers without scrolling.
    table->verticalHeader()->setDefaultSectionSize(24);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);

    const QList<CustomerRecord> customers = allCustomers();
    table->setRowCount(customers.size());
    for (int row = 0; row < customers.size(); ++row) {
        const CustomerRecord &c = customers.at(row);
        table->setItem(row, NameColumn, new QTableWidgetItem(fixedfield::get(c.customerName)));
        table->setItem(row, DescribeColumn, new QTableWidgetItem(fixedfield::get(c.customerValue)));
        table->setItem(row, HostColumn, new QTableWidgetItem(fixedfield::get(c.hostAddr)));
        table->setItem(row, PortColumn, new QTableWidgetItem(c.port > 0 ? QString::number(c.port) : QString()));
    }

    connect(table, &QTableWidget::itemDoubleClicked, this, &CustomerMng::onItemDoubleClicked);
}

CustomerMng::~CustomerMng()
{
    delete ui;
}

void CustomerMng::onItemDoubleClicked(QTableWidgetItem *item)
{
    if (!item)
        return;
    const int row = item->row();
    // Only the first customer has a device service of its own to point at.
    ui->lineEditDescribe->setEnabled(true);
    ui->lineEditAddress->setEnabled(row == 0);
    ui->lineEditPort->setEnabled(row == 0);

    QLineEdit *const fields[ColumnCount] = {ui->lineEditName, ui->lineEditDescribe, ui->lineEditAddress,
                                            ui->lineEditPort};
    for (int column = 0; column < ColumnCount; ++column) {
        const QTableWidgetItem *cell = ui->tableWidget->item(row, column);
        fields[column]->setText(cell ? cell->text() : QString());
    }
    CustomerRules rules;
    const bool read = customerRules(customerIdByName(ui->lineEditName->text()), &rules);
    ui->lineEditWarnBelow->setEnabled(read);
    ui->lineEditPattern->setEnabled(read);
    ui->lineEditWarnBelow->setText(rules.warnBelow > 0 ? QString::number(rules.warnBelow) : QString());
    ui->lineEditPattern->setText(rules.serialPattern);
}

void CustomerMng::on_btnUpdate_clicked()
{
    // Used exactly as typed: the store keeps the texts verbatim.
    const QString name = ui->lineEditName->text();
    const QString describe = ui->lineEditDescribe->text();
    const QString host = ui->lineEditAddress->text();
    const QString portText = ui->lineEditPort->text();

    if (describe.isEmpty()) {
        MessageBox::warning(nullptr, tr("Warning"), tr("describe is empty!"));
        return;
    }
    if (describe.toUtf8().size() > kMaxDescribeBytes) {
        // The program's own text, kept, although the limit is kMaxDescribeBytes bytes, not 12 characters.
        MessageBox::warning(nullptr, tr("Warning"), tr("Label length should not be higher than 12 characters"));
        return;
    }
    if (name == tr("UMEYE")) {
        if (host.isEmpty()) {
            MessageBox::warning(nullptr, tr("Warning"), tr("address is empty!"));
            return;
        }
        if (host.toUtf8().size() > kMaxHostBytes) {
            // The program's own text, kept: it says characters although the limit counts bytes.
            MessageBox::warning(nullptr, tr("Warning"), tr("Host address can not be higher than 100 characters"));
            return;
        }
        if (portText.isEmpty()) {
            MessageBox::warning(nullptr, tr("Warning"), tr("Port is empty!"));
            return;
        }
    }
    // Anything that is not a decimal number is stored as 0, which shows as no port.
    bool isNumber = false;
    const qlonglong port = portText.toLongLong(&isNumber, 10);
    if (isNumber && (port < 0 || port > kMaxPort)) {
        MessageBox::warning(nullptr, tr("Warning"), tr("Port must be a number from 0 to 65535!"));
        return;
    }

    // The rules only once the customer's were read into the fields (a double-click).
    CustomerRules rules;
    const bool withRules = ui->lineEditWarnBelow->isEnabled();
    if (withRules) {
        const QString warnText = ui->lineEditWarnBelow->text().trimmed();
        bool warnIsNumber = warnText.isEmpty();
        rules.warnBelow = warnText.isEmpty() ? 0 : warnText.toLongLong(&warnIsNumber, 10);
        if (!warnIsNumber || rules.warnBelow < 0) {
            MessageBox::warning(nullptr, tr("Warning"),
                                tr("Warn below must be a number of identifiers (0 or empty: never warn)."));
            return;
        }
        rules.serialPattern = ui->lineEditPattern->text();
        const QRegularExpression pattern(rules.serialPattern);
        if (!pattern.isValid()) {
            MessageBox::warning(nullptr, tr("Warning"),
                                tr("The UUID pattern is not a valid regular expression: %1 (at character %2).")
                                    .arg(pattern.errorString())
                                    .arg(pattern.patternErrorOffset()));
            return;
        }
    }
    const jobs::Gated saved = jobs::saveCustomer(name, describe, host, isNumber ? int(port) : 0,
                                                 withRules ? &rules : nullptr);
    if (saved == jobs::Gated::Refused) {
        MessageBox::warning(nullptr, tr("Warning"),
                            tr("Only an administrator may edit customers; nothing was changed."));
        return;
    }
    if (saved != jobs::Gated::Done) {
        MessageBox::critical(nullptr, tr("Error"),
                             tr("The customer could not be saved; nothing was changed.") + QStringLiteral("\n\n")
                                 + storeError());
        return;
    }
    MessageBox::information(nullptr, tr("Information"), tr("Update success!"));
    accept();
}
